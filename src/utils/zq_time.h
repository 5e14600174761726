// A point in time: unsigned nanoseconds since the epoch of the clock it was read from (the wall
// clock for now(), the monotonic clock for monoTime()). Plain value type.
#pragma once

#include "utils/duration.h"

#include <cstdint>

class CTime {
public:
    CTime() = default;
    explicit CTime(unsigned long ns) : m_u64NanoSec(ns) {}
    // Sign-extended, then taken as unsigned.
    explicit CTime(int ns) : m_u64NanoSec(static_cast<uint64_t>(static_cast<int64_t>(ns))) {}
    // Seconds; truncated, saturated at 0 and at the uint64 maximum (NaN gives 0).
    explicit CTime(double seconds);
    CTime(unsigned int sec, unsigned int nsec)
        : m_u64NanoSec(static_cast<uint64_t>(sec) * 1000000000u + static_cast<uint64_t>(nsec))
    {
    }
    CTime(const CTime&) = default;
    CTime& operator=(const CTime&) = default;

    static CTime now();
    static CTime monoTime();

    uint64_t toNanosecond() const { return m_u64NanoSec; }
    uint64_t toMicrosecond() const;
    uint64_t toMillisecond() const;
    double toSecond() const;
    bool isZero() const { return m_u64NanoSec == 0; }

    // this - other, wrapping, taken as signed.
    CDuration operator-(const CTime& other) const;
    // Modular 64-bit arithmetic.
    CTime operator+(const CDuration& span) const;
    CTime operator-(const CDuration& span) const;
    CTime& operator+=(const CDuration& span);
    CTime& operator-=(const CDuration& span);

    bool operator==(const CTime& other) const { return m_u64NanoSec == other.m_u64NanoSec; }
    bool operator!=(const CTime& other) const { return m_u64NanoSec != other.m_u64NanoSec; }
    bool operator>(const CTime& other) const { return m_u64NanoSec > other.m_u64NanoSec; }
    bool operator<(const CTime& other) const { return m_u64NanoSec < other.m_u64NanoSec; }
    bool operator>=(const CTime& other) const { return m_u64NanoSec >= other.m_u64NanoSec; }
    bool operator<=(const CTime& other) const { return m_u64NanoSec <= other.m_u64NanoSec; }

private:
    uint64_t m_u64NanoSec{0};
};
