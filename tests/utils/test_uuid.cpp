// Identifier generation on a scripted clock, the process-wide generator and the text form.
#include "utils/uuid.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

// Hands out scripted readings, then counts on by one from the last.
struct ScriptedClock {
    static int64_t now()
    {
        std::lock_guard<std::mutex> lock(s_mtx);
        ++s_reads;
        if (!s_script.empty()) {
            s_last = s_script.front();
            s_script.pop_front();
        } else {
            ++s_last;
        }
        return s_last;
    }
    static void script(std::deque<int64_t> values)
    {
        std::lock_guard<std::mutex> lock(s_mtx);
        s_script = std::move(values);
        s_reads = 0;
        s_last = 0;
    }
    static int reads()
    {
        std::lock_guard<std::mutex> lock(s_mtx);
        return s_reads;
    }

    inline static std::mutex s_mtx;
    inline static std::deque<int64_t> s_script;
    inline static int s_reads = 0;
    inline static int64_t s_last = 0;
};

using ScriptedGen = CBasicUUIDGen<ScriptedClock>;

// The bytes that the documented seeding gives for a process number and a stamp.
std::vector<unsigned char> seededBytes(int64_t pid, int64_t stamp, size_t len)
{
    const auto p = static_cast<uint64_t>(pid);
    const auto s = static_cast<uint64_t>(stamp);
    std::seed_seq seq{static_cast<uint32_t>(p), static_cast<uint32_t>(p >> 32), static_cast<uint32_t>(s),
                      static_cast<uint32_t>(s >> 32)};
    std::mt19937 engine(seq);
    std::uniform_int_distribution<int> dist(0, 255);
    std::vector<unsigned char> bytes(len);
    for (auto& b : bytes) {
        b = static_cast<unsigned char>(dist(engine));
    }
    return bytes;
}

std::vector<unsigned char> generated(ScriptedGen& gen, size_t len)
{
    std::vector<unsigned char> bytes(len);
    gen.generate(bytes.data(), len);
    return bytes;
}

class UUIDGenTest : public ::testing::Test {};

TEST_F(UUIDGenTest, SeedsFromProcessNumberAndStamp)
{
    ScriptedClock::script({0x123456789abcdefLL});
    ScriptedGen gen;
    EXPECT_EQ(generated(gen, 8), seededBytes(getpid(), 0x123456789abcdefLL, 8));
    EXPECT_EQ(ScriptedClock::reads(), 1);
    EXPECT_EQ(ScriptedGen::getThisProcessPid(), static_cast<int64_t>(getpid()));
}

TEST_F(UUIDGenTest, SecondCallInTheSameTickWaitsForTheClock)
{
    ScriptedClock::script({100, 100, 100, 101});
    ScriptedGen gen;
    const auto first = generated(gen, 8);
    const auto second = generated(gen, 8);
    EXPECT_EQ(ScriptedClock::reads(), 4); // one, then two equal readings waited out
    EXPECT_EQ(first, seededBytes(getpid(), 100, 8));
    EXPECT_EQ(second, seededBytes(getpid(), 101, 8));
    EXPECT_NE(first, second);
}

TEST_F(UUIDGenTest, ZeroLengthWritesNothingButTakesTheStamp)
{
    ScriptedClock::script({7, 7, 8});
    ScriptedGen gen;
    unsigned char buf[8];
    memset(buf, 0xAA, sizeof(buf));
    gen.generate(buf, 0);
    for (unsigned char b : buf) {
        EXPECT_EQ(b, 0xAA);
    }

    // The stamp 7 was taken: the next call waits for 8. Only `len` bytes are written.
    gen.generate(buf, 3);
    EXPECT_EQ(ScriptedClock::reads(), 3);
    const auto expected = seededBytes(getpid(), 8, 3);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 3), expected);
    for (size_t i = 3; i < sizeof(buf); ++i) {
        EXPECT_EQ(buf[i], 0xAA);
    }
}

TEST_F(UUIDGenTest, BackwardStepOfTheClockDoesNotWait)
{
    ScriptedClock::script({50, 40});
    ScriptedGen gen;
    generated(gen, 8);
    EXPECT_EQ(generated(gen, 8), seededBytes(getpid(), 40, 8));
    EXPECT_EQ(ScriptedClock::reads(), 2);
}

// Each reading repeats once, so that concurrent callers keep meeting the previous stamp.
struct SlowClock {
    static int64_t now() { return 1000 + s_reads.fetch_add(1) / 2; }
    inline static std::atomic<int64_t> s_reads{0};
};

TEST_F(UUIDGenTest, ConcurrentCallersNeverShareAStamp)
{
    CBasicUUIDGen<SlowClock> gen;
    constexpr int kThreads = 8;
    constexpr int kPerThread = 25;
    std::vector<std::vector<std::string>> ids(kThreads);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&gen, &ids, t] {
            for (int i = 0; i < kPerThread; ++i) {
                CUUID<8> id;
                gen.generate(id.m_u8Uuid, 8);
                ids[t].push_back(id.toString());
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    std::set<std::string> distinct;
    for (const auto& list : ids) {
        distinct.insert(list.begin(), list.end());
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kPerThread));
}

TEST_F(UUIDGenTest, ProcessWideInstanceIsSharedByThreads)
{
    CUUIDGen* mine = CUUIDGen::instance();
    CUUIDGen* theirs = nullptr;
    std::thread([&theirs] { theirs = CUUIDGen::instance(); }).join();
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(mine, theirs);
}

TEST(UUIDTest, TextIsLowercaseHexInStorageOrder)
{
    CUUID<8> id;
    EXPECT_EQ(id.toString(), "0000000000000000"); // zero until generated

    const unsigned char bytes[8] = {0x0a, 0xff, 0x00, 0x10, 0x01, 0xab, 0x7f, 0x80};
    memcpy(id.m_u8Uuid, bytes, sizeof(bytes));
    EXPECT_EQ(id.toString(), "0aff001001ab7f80");
}

TEST(UUIDTest, GenerateFillsFromTheProcessWideGenerator)
{
    CUUID<8> a;
    CUUID<8> b;
    CUUID<8>::generate(a);
    CUUID<8>::generate(b);
    const std::string text = a.toString();
    ASSERT_EQ(text.size(), 16u);
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
    // Distinct stamps give distinct seeds.
    EXPECT_NE(text, b.toString());
}

} // namespace
