// Scheduling, name and affinity of a started thread; refusal of a thread that is not running.
#include "support/zqtest.h"
#include "utils/thread_utils.h"

#include <future>
#include <pthread.h>
#include <sched.h>

namespace {

class ThreadUtilsTest : public ::testing::Test {
protected:
    // A thread that stays alive until the test ends.
    void SetUp() override
    {
        m_thread = std::thread([future = m_release.get_future()]() { future.wait(); });
    }

    void TearDown() override
    {
        m_release.set_value();
        m_thread.join();
    }

    int policyOf(int* priority)
    {
        int policy = -1;
        sched_param param{};
        EXPECT_EQ(pthread_getschedparam(m_thread.native_handle(), &policy, &param), 0);
        *priority = param.sched_priority;
        return policy;
    }

    std::string nameOf()
    {
        char name[64] = {};
        EXPECT_EQ(pthread_getname_np(m_thread.native_handle(), name, sizeof(name)), 0);
        return name;
    }

    cpu_set_t affinityOf()
    {
        cpu_set_t set;
        CPU_ZERO(&set);
        EXPECT_EQ(pthread_getaffinity_np(m_thread.native_handle(), sizeof(set), &set), 0);
        return set;
    }

    std::promise<void> m_release;
    std::thread m_thread;
};

TEST_F(ThreadUtilsTest, ThreadsNotRunningAreRefused)
{
    std::thread joined([] {});
    joined.join();
    const struct {
        const char* line;
        bool (*call)(std::thread&);
    } cases[] = {
        {"Failed to set thread policy and priority !",
         [](std::thread& t) { return CThreadUtils::setPolicyAndPriority(t, CThreadUtils::SCHED_POLICY_OTHER, 0); }},
        {"Failed to set thread name !", [](std::thread& t) { return CThreadUtils::setThreadName(t, "zq"); }},
        {"Failed to set thread affinity !", [](std::thread& t) { return CThreadUtils::bindToCore(t, 0); }},
    };
    for (const auto& c : cases) {
        std::thread never;
        for (std::thread* t : {&never, &joined}) {
            zqtest::OutputCapture cap;
            EXPECT_FALSE(c.call(*t)) << c.line;
            cap.stop();
            EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", c.line)) << cap.out();
        }
    }
}

TEST_F(ThreadUtilsTest, SetsTheNormalPolicy)
{
    zqtest::OutputCapture cap;
    EXPECT_TRUE(CThreadUtils::setPolicyAndPriority(m_thread, CThreadUtils::SCHED_POLICY_OTHER, 0));
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "Set thread policy SCHED_OTHER priority 0 [0, 0].")) << cap.out();
    int priority = -1;
    EXPECT_EQ(policyOf(&priority), SCHED_OTHER);
    EXPECT_EQ(priority, 0);
}

TEST_F(ThreadUtilsTest, RefusedPolicyOrPriorityLeavesTheThreadAlone)
{
    const struct {
        int policy;
        int priority;
    } cases[] = {
        {CThreadUtils::SCHED_POLICY_OTHER, 5}, // only 0 is valid for the normal policy
        {CThreadUtils::SCHED_POLICY_FIFO, 1000},
        {3, 0}, // a system policy without a name here
        {-1, 0},
    };
    for (const auto& c : cases) {
        zqtest::OutputCapture cap;
        EXPECT_FALSE(
            CThreadUtils::setPolicyAndPriority(m_thread, static_cast<CThreadUtils::SchedPolicy>(c.policy), c.priority))
            << c.policy << " " << c.priority;
        cap.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Failed to set thread policy and priority !")) << cap.out();
        int priority = -1;
        EXPECT_EQ(policyOf(&priority), SCHED_OTHER);
    }
}

TEST_F(ThreadUtilsTest, RealTimePolicyIsSetOrRefusedCleanly)
{
    zqtest::OutputCapture cap;
    bool set = CThreadUtils::setPolicyAndPriority(m_thread, CThreadUtils::SCHED_POLICY_FIFO, 10);
    cap.stop();
    int priority = -1;
    int policy = policyOf(&priority);
    if (set) {
        const std::string text = "Set thread policy SCHED_FIFO priority 10 [" +
                                 std::to_string(sched_get_priority_min(SCHED_FIFO)) + ", " +
                                 std::to_string(sched_get_priority_max(SCHED_FIFO)) + "].";
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", text)) << cap.out();
        EXPECT_EQ(policy, SCHED_FIFO);
        EXPECT_EQ(priority, 10);
    } else {
        // This process may not use real-time scheduling.
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Failed to set thread policy and priority !")) << cap.out();
        EXPECT_EQ(policy, SCHED_OTHER);
    }
}

TEST_F(ThreadUtilsTest, NamesTheThread)
{
    EXPECT_TRUE(CThreadUtils::setThreadName(m_thread, "zq-worker"));
    EXPECT_EQ(nameOf(), "zq-worker");

    // The system allows 15 characters.
    zqtest::OutputCapture cap;
    EXPECT_FALSE(CThreadUtils::setThreadName(m_thread, "sixteen-chars-xx"));
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Failed to set thread name !")) << cap.out();
    EXPECT_EQ(nameOf(), "zq-worker");
}

TEST_F(ThreadUtilsTest, BindsToOneAllowedCore)
{
    cpu_set_t allowed = affinityOf();
    int core = 0;
    while (core < CPU_SETSIZE && !CPU_ISSET(core, &allowed)) {
        ++core;
    }
    ASSERT_LT(core, CPU_SETSIZE);

    zqtest::OutputCapture cap;
    EXPECT_TRUE(CThreadUtils::bindToCore(m_thread, core));
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "34", "Bind thread to core " + std::to_string(core) + " .")) << cap.out();
    cpu_set_t now = affinityOf();
    EXPECT_EQ(CPU_COUNT(&now), 1);
    EXPECT_TRUE(CPU_ISSET(core, &now));
}

TEST_F(ThreadUtilsTest, CoresOutsideTheSetAreRefused)
{
    cpu_set_t before = affinityOf();
    for (int core : {-1, 1024, 5000}) {
        zqtest::OutputCapture cap;
        EXPECT_FALSE(CThreadUtils::bindToCore(m_thread, core)) << core;
        cap.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Failed to set thread affinity !")) << cap.out();
        cpu_set_t after = affinityOf();
        EXPECT_TRUE(CPU_EQUAL(&before, &after));
    }
}

} // namespace
