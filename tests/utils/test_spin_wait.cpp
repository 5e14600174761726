// The look before a blocking wait: never on a pinned real-time thread, never by a pinned thread
// for a thread of its own process; short on a real-time thread with several CPUs, which sleeps at
// once for its next few waits after a look that found nothing.
#include "utils/spin_wait.h"

#include <pthread.h>

#include <atomic>
#include <thread>
#include <vector>

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

TEST_F(SpinWaitTest, APinnedRealTimeThreadNeverLooks)
{
    bool refused = false;
    const bool worthwhile = onThread([&] {
        sched_param param{};
        param.sched_priority = 10;
        if (!pinToOneCpu() || pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0) {
            refused = true;
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        return spinWorthwhile(now, SPIN_PEER_IN_PROCESS) || spinWorthwhile(now, SPIN_PEER_OTHER_PROCESS);
    });
    if (refused) {
        GTEST_SKIP() << "real-time scheduling or pinning refused here";
    }
    EXPECT_FALSE(worthwhile);
    // The condition is looked at once, and a false one is not looked at again.
    int looks = 0;
    EXPECT_FALSE(onThread([&] {
        sched_param param{};
        param.sched_priority = 10;
        pinToOneCpu();
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        return spinUntil([&] { return ++looks > 1; }, 1000000);
    }));
    EXPECT_EQ(looks, 1);
}

// A real thread under SCHED_FIFO with every CPU of the process: a look that runs out (bounded,
// else this would take the whole second asked for), then waits that look once each and sleep.
TEST_F(SpinWaitTest, ARealTimeThreadOnSeveralCpusLooksThenBacksOff)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
    if (CPU_COUNT(&set) < 2) {
        GTEST_SKIP() << "this process has a single CPU";
    }
    bool refused = false;
    bool worthwhile = false;
    std::vector<int> looks;
    onThread([&] {
        sched_param param{};
        param.sched_priority = 10;
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0) {
            refused = true;
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        worthwhile = spinWorthwhile(now, SPIN_PEER_IN_PROCESS) && spinWorthwhile(now, SPIN_PEER_OTHER_PROCESS);
        for (int wait = 0; wait < SPIN_RT_BACKOFF_WAITS + 2; ++wait) {
            int n = 0;
            spinUntil([&] { return ++n < 0; }, 1000000, SPIN_PEER_OTHER_PROCESS);
            looks.push_back(n);
        }
        return true;
    });
    if (refused) {
        GTEST_SKIP() << "real-time scheduling refused here";
    }
    EXPECT_TRUE(worthwhile);
    ASSERT_EQ(looks.size(), static_cast<size_t>(SPIN_RT_BACKOFF_WAITS + 2));
    EXPECT_GE(looks.front(), 2);
    for (int wait = 1; wait <= SPIN_RT_BACKOFF_WAITS; ++wait) {
        EXPECT_EQ(looks[static_cast<size_t>(wait)], 1) << "wait " << wait;
    }
    EXPECT_GE(looks.back(), 2);
}

// The rule itself, with the thread's policy and CPUs and the clock given by the test.
class SpinRuleTest : public ::testing::Test {
protected:
    static SpinThread_t s_thread;
    static int s_probes;
    static SpinThread_t probe()
    {
        ++s_probes;
        return s_thread;
    }
    void SetUp() override
    {
        s_thread = SpinThread_t{false, 4};
        s_probes = 0;
    }
    const std::chrono::steady_clock::time_point m_t0 = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
};
SpinThread_t SpinRuleTest::s_thread{false, 4};
int SpinRuleTest::s_probes = 0;

TEST_F(SpinRuleTest, TheBudgetFollowsPolicyCpusAndPeer)
{
    struct Case {
        bool realTime;
        int cpus;
        SpinPeer_e peer;
        int asked;
        int expected;
    };
    const Case cases[] = {
        {false, 4, SPIN_PEER_IN_PROCESS, SPIN_WAIT_US, SPIN_WAIT_US},
        {false, 4, SPIN_PEER_OTHER_PROCESS, SPIN_WAIT_US, SPIN_WAIT_US},
        {false, 1, SPIN_PEER_IN_PROCESS, SPIN_WAIT_US, 0},
        {false, 1, SPIN_PEER_OTHER_PROCESS, SPIN_WAIT_US, SPIN_WAIT_US},
        {false, 0, SPIN_PEER_IN_PROCESS, SPIN_WAIT_US, SPIN_WAIT_US},
        {true, 1, SPIN_PEER_IN_PROCESS, SPIN_WAIT_US, 0},
        {true, 1, SPIN_PEER_OTHER_PROCESS, SPIN_WAIT_US, 0},
        {true, 0, SPIN_PEER_OTHER_PROCESS, SPIN_WAIT_US, 0},
        {true, 2, SPIN_PEER_IN_PROCESS, SPIN_WAIT_US, SPIN_RT_WAIT_US},
        {true, 8, SPIN_PEER_OTHER_PROCESS, SPIN_WAIT_US, SPIN_RT_WAIT_US},
        {true, 8, SPIN_PEER_OTHER_PROCESS, 1000000, SPIN_RT_WAIT_US},
        {false, 8, SPIN_PEER_OTHER_PROCESS, 1000000, 1000000},
        {true, 8, SPIN_PEER_OTHER_PROCESS, SPIN_RT_WAIT_US / 2, SPIN_RT_WAIT_US / 2},
        {true, 8, SPIN_PEER_IN_PROCESS, 0, 0},
        {false, 8, SPIN_PEER_IN_PROCESS, 0, 0},
    };
    for (const Case& c : cases) {
        s_thread = SpinThread_t{c.realTime, c.cpus};
        CSpinRule rule(probe);
        EXPECT_EQ(rule.lookBudgetUs(m_t0, c.peer, c.asked), c.expected)
            << "real-time " << c.realTime << " cpus " << c.cpus << " peer " << c.peer << " asked " << c.asked;
        EXPECT_EQ(rule.worthwhile(m_t0, c.peer),
                  !(c.cpus == 1 && (c.realTime || c.peer == SPIN_PEER_IN_PROCESS)) && !(c.realTime && c.cpus == 0))
            << "real-time " << c.realTime << " cpus " << c.cpus << " peer " << c.peer;
    }
}

TEST_F(SpinRuleTest, ARealTimeLookThatFoundNothingSleepsTheNextFewWaits)
{
    s_thread = SpinThread_t{true, 4};
    CSpinRule rule(probe);
    // The waits a back-off of `n` sleeps at once, then the look after it.
    auto expectBackOff = [&](int n, const char* what) {
        for (int wait = 0; wait < n; ++wait) {
            ASSERT_EQ(rule.lookBudgetUs(m_t0, wait % 2 ? SPIN_PEER_IN_PROCESS : SPIN_PEER_OTHER_PROCESS, SPIN_WAIT_US),
                      0)
                << what << ": wait " << wait;
        }
        ASSERT_EQ(rule.lookBudgetUs(m_t0, SPIN_PEER_OTHER_PROCESS, SPIN_WAIT_US), SPIN_RT_WAIT_US) << what;
    };
    ASSERT_EQ(rule.lookBudgetUs(m_t0, SPIN_PEER_OTHER_PROCESS, 1000000), SPIN_RT_WAIT_US);
    // A look that found what it waited for keeps the next one.
    rule.lookEnded(true);
    ASSERT_EQ(rule.lookBudgetUs(m_t0, SPIN_PEER_OTHER_PROCESS, SPIN_WAIT_US), SPIN_RT_WAIT_US);
    rule.lookEnded(false);
    expectBackOff(SPIN_RT_BACKOFF_WAITS, "first");
    // Fruitless looks in a row: twice as long each time, up to the most.
    int length = SPIN_RT_BACKOFF_WAITS;
    while (length < SPIN_RT_BACKOFF_MAX_WAITS) {
        length *= 2;
        rule.lookEnded(false);
        expectBackOff(length, "in a row");
    }
    rule.lookEnded(false);
    expectBackOff(SPIN_RT_BACKOFF_MAX_WAITS, "at the most");
    // A look that finds its condition starts over; a wait that asks for no look at all does not
    // count off the back-off's waits.
    rule.lookEnded(true);
    ASSERT_EQ(rule.lookBudgetUs(m_t0, SPIN_PEER_OTHER_PROCESS, SPIN_WAIT_US), SPIN_RT_WAIT_US);
    rule.lookEnded(false);
    EXPECT_EQ(rule.lookBudgetUs(m_t0, SPIN_PEER_OTHER_PROCESS, 0), 0);
    expectBackOff(SPIN_RT_BACKOFF_WAITS, "after a find");

    // A normal thread's look that ran out changes nothing for its next wait.
    s_thread = SpinThread_t{false, 4};
    CSpinRule normal(probe);
    ASSERT_EQ(normal.lookBudgetUs(m_t0, SPIN_PEER_IN_PROCESS, SPIN_WAIT_US), SPIN_WAIT_US);
    normal.lookEnded(false);
    EXPECT_EQ(normal.lookBudgetUs(m_t0, SPIN_PEER_IN_PROCESS, SPIN_WAIT_US), SPIN_WAIT_US);
}

TEST_F(SpinRuleTest, PolicyAndCpusAreLookedAtAgainAfterTheRecheckTime)
{
    CSpinRule rule(probe);
    EXPECT_EQ(rule.lookBudgetUs(m_t0, SPIN_PEER_IN_PROCESS, SPIN_WAIT_US), SPIN_WAIT_US);
    EXPECT_EQ(s_probes, 1);
    // The application makes the thread real-time and pins it: seen at the next recheck only.
    s_thread = SpinThread_t{true, 1};
    const auto justBefore = m_t0 + SPIN_AFFINITY_RECHECK - std::chrono::microseconds(1);
    EXPECT_EQ(rule.lookBudgetUs(justBefore, SPIN_PEER_IN_PROCESS, SPIN_WAIT_US), SPIN_WAIT_US);
    EXPECT_EQ(s_probes, 1);
    EXPECT_EQ(rule.lookBudgetUs(m_t0 + SPIN_AFFINITY_RECHECK, SPIN_PEER_IN_PROCESS, SPIN_WAIT_US), 0);
    EXPECT_EQ(s_probes, 2);
    // Unpinned again while in back-off; back to a normal policy: the back-off ends with it.
    s_thread = SpinThread_t{true, 4};
    const auto t1 = m_t0 + 2 * SPIN_AFFINITY_RECHECK;
    EXPECT_EQ(rule.lookBudgetUs(t1, SPIN_PEER_IN_PROCESS, SPIN_WAIT_US), SPIN_RT_WAIT_US);
    rule.lookEnded(false);
    EXPECT_EQ(rule.lookBudgetUs(t1, SPIN_PEER_IN_PROCESS, SPIN_WAIT_US), 0);
    s_thread = SpinThread_t{false, 4};
    EXPECT_EQ(rule.lookBudgetUs(t1 + SPIN_AFFINITY_RECHECK, SPIN_PEER_IN_PROCESS, SPIN_WAIT_US), SPIN_WAIT_US);
    EXPECT_EQ(s_probes, 4);
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
