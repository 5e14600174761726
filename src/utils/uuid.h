// Random identifiers. CUUIDGen is the process-wide generator: each request seeds a fresh engine
// from the process number and a wall-clock stamp that the generator never hands out twice in a
// row. Any thread may call generate; m_mtxGen serialises the calls and guards m_i64LastTime.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

// Nanoseconds of the system clock since the Unix epoch.
struct CSystemClockSource {
    static int64_t now()
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
};

// The generator over a time source with a static `int64_t now()`; tests give their own source.
template <typename ClockSource> class CBasicUUIDGen {
public:
    CBasicUUIDGen() = default;
    CBasicUUIDGen(const CBasicUUIDGen&) = delete;
    CBasicUUIDGen& operator=(const CBasicUUIDGen&) = delete;

    static CBasicUUIDGen* instance()
    {
        static CBasicUUIDGen singleton;
        return &singleton;
    }

    static int64_t getThisProcessPid() { return static_cast<int64_t>(getpid()); }

    // Fills the first `len` bytes at `buf` with random bytes.
    void generate(unsigned char* buf, unsigned long len)
    {
        std::lock_guard<std::mutex> lock(m_mtxGen);
        // The clock is read under the lock, so no caller can take the stamp of the one before it.
        // Only equality is waited out: requiring a later stamp would sleep out a backward step.
        int64_t now = ClockSource::now();
        while (now == m_i64LastTime) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            now = ClockSource::now();
        }
        m_i64LastTime = now;

        const auto pid = static_cast<uint64_t>(getThisProcessPid());
        const auto stamp = static_cast<uint64_t>(now);
        std::seed_seq seq{static_cast<uint32_t>(pid), static_cast<uint32_t>(pid >> 32), static_cast<uint32_t>(stamp),
                          static_cast<uint32_t>(stamp >> 32)};
        std::mt19937 engine(seq);
        std::uniform_int_distribution<int> byteDist(0, 255);
        for (unsigned long i = 0; buf != nullptr && i < len; ++i) {
            buf[i] = static_cast<unsigned char>(byteDist(engine));
        }
    }

private:
    std::mutex m_mtxGen;
    int64_t m_i64LastTime{0};
};

using CUUIDGen = CBasicUUIDGen<CSystemClockSource>;

// An identifier of N random bytes; all zero until generated.
template <std::size_t N> class CUUID {
public:
    static void generate(CUUID& uuid) { CUUIDGen::instance()->generate(uuid.m_u8Uuid, N); }

    // Each byte in storage order as two lowercase hexadecimal digits.
    std::string toString() const
    {
        std::string text;
        text.reserve(N * 2);
        for (std::size_t i = 0; i < N; ++i) {
            char pair[3];
            snprintf(pair, sizeof(pair), "%02x", m_u8Uuid[i]);
            text += pair;
        }
        return text;
    }

    unsigned char m_u8Uuid[N]{};
};
