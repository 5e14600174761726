// The stopwatch, on a time source the test sets, and once on the monotonic clock.
#include "utils/sand_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

struct ManualClock {
    static CTime now() { return CTime(static_cast<unsigned long>(s_ns)); }
    inline static uint64_t s_ns = 0;
};

using ManualSandClock = CBasicSandClock<ManualClock>;

class SandClockTest : public ::testing::Test {
protected:
    void SetUp() override { ManualClock::s_ns = 0; }
};

TEST_F(SandClockTest, ReadsWholeMillisecondsOfBothEnds)
{
    struct Case {
        uint64_t startNs;
        uint64_t nowNs;
        int64_t elapsed;
    };
    const Case cases[] = {
        {5000000, 5000000, 0}, // read at once
        {5000000, 5999999, 0},          {5000000, 6000000, 1},
        {900000, 1000000, 1},  // 0.1 ms across a millisecond boundary
        {900000, 1800000, 1},  // 0.9 ms
        {1100000, 2000000, 1}, // 0.9 ms
        {1100000, 2200000, 1}, // 1.1 ms
        {1900000, 3000000, 2}, // 1.1 ms
        {1000000000, 2500000000, 1500},
    };
    for (const Case& c : cases) {
        ManualClock::s_ns = c.startNs;
        ManualSandClock clock;
        ManualClock::s_ns = c.nowNs;
        EXPECT_EQ(clock.elapsedMilliSecond(), c.elapsed) << c.startNs << " -> " << c.nowNs;
    }
}

TEST_F(SandClockTest, ResetRestartsTheWindow)
{
    ManualClock::s_ns = 1000000000;
    ManualSandClock clock;
    ManualClock::s_ns = 3400000000;
    EXPECT_EQ(clock.elapsedMilliSecond(), 2400);
    EXPECT_EQ(clock.elapsedMilliSecond(), 2400); // reading leaves the start alone

    clock.reset();
    EXPECT_EQ(clock.elapsedMilliSecond(), 0);
    ManualClock::s_ns = 3400000000 + 1250000000;
    EXPECT_EQ(clock.elapsedMilliSecond(), 1250);
}

TEST(SandClockMonotonicTest, ElapsedCoversAtLeastTheTimeSlept)
{
    CSandClock clock;
    EXPECT_GE(clock.elapsedMilliSecond(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(clock.elapsedMilliSecond(), 20);
}

} // namespace
