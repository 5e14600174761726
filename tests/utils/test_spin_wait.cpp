// The look before a blocking wait: never on a real-time thread, never by a pinned thread for a
// thread of its own process.
#include "utils/spin_wait.h"

#include <pthread.h>

#include <atomic>
#include <thread>

#include "support/zqtest.h"

namespace {

class SpinWaitTest : public ::testing::Test {
protected:
    // Runs `fn` on a fresh thread (spinWorthwhile caches per thread) and returns its result.
    template <typename Fn> static bool onThread(Fn fn)
    {
        bool result = false;
        std::thread([&] { result = fn(); }).join();
        return result;
    }
    // Binds the calling thread to one CPU it may use; false when it cannot.
    static bool pinToOneCpu()
    {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof(set), &set) != 0) {
            return false;
        }
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set)) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(cpu, &one);
                return sched_setaffinity(0, sizeof(one), &one) == 0;
            }
        }
        return false;
    }
};

TEST_F(SpinWaitTest, ARealTimeThreadNeverLooks)
{
    bool refused = false;
    const bool worthwhile = onThread([&] {
        sched_param param{};
        param.sched_priority = 10;
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0) {
            refused = true;
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        return spinWorthwhile(now, SPIN_PEER_IN_PROCESS) || spinWorthwhile(now, SPIN_PEER_OTHER_PROCESS);
    });
    if (refused) {
        GTEST_SKIP() << "real-time scheduling refused here";
    }
    EXPECT_FALSE(worthwhile);
    // The condition is looked at once, and a false one is not looked at again.
    int looks = 0;
    EXPECT_FALSE(onThread([&] {
        sched_param param{};
        param.sched_priority = 10;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        return spinUntil([&] { return ++looks > 1; }, 1000000);
    }));
    EXPECT_EQ(looks, 1);
}

TEST_F(SpinWaitTest, APinnedThreadLooksOnlyForAnotherProcess)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
    if (CPU_COUNT(&set) < 2) {
        GTEST_SKIP() << "this process has a single CPU";
    }
    struct Case {
        bool pinned;
        SpinPeer_e peer;
        bool expected;
    };
    const Case cases[] = {
        {false, SPIN_PEER_IN_PROCESS, true},
        {false, SPIN_PEER_OTHER_PROCESS, true},
        {true, SPIN_PEER_IN_PROCESS, false},
        {true, SPIN_PEER_OTHER_PROCESS, true},
    };
    for (const Case& c : cases) {
        const bool worthwhile = onThread([&] {
            if (c.pinned && !pinToOneCpu()) {
                return !c.expected;
            }
            return spinWorthwhile(std::chrono::steady_clock::now(), c.peer);
        });
        EXPECT_EQ(worthwhile, c.expected) << c.pinned << " " << c.peer;
    }
}

TEST_F(SpinWaitTest, ATrueConditionOrNoBudgetTakesOneLook)
{
    int looks = 0;
    EXPECT_TRUE(spinUntil([&] { return ++looks >= 1; }));
    EXPECT_EQ(looks, 1);
    looks = 0;
    EXPECT_FALSE(spinUntil([&] { return ++looks > 1; }, 0, SPIN_PEER_OTHER_PROCESS));
    EXPECT_EQ(looks, 1);
}

} // namespace
