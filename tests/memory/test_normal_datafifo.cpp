// The in-process package FIFO: both overflow policies, depth 0, waiting, clearing, destruction.
#include "memory/normal_datafifo.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"
#include "support/thread_state.h"
#include "support/zqtest.h"

namespace {

class NormalDataFifoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MemConfig_t cfg{};
        cfg.m_iKey = -1;
        cfg.m_u32MaxPoolSize = 0x100000;
        cfg.m_stGroup[0] = MemGroup_t{0, 256, 32};
        cfg.m_iGroupCount = 1;
        ASSERT_TRUE(m_pool.init(cfg));
        m_center.setMemPool(&m_pool);
    }
    void TearDown() override { EXPECT_EQ(m_pool.getUsedSize(), 0u) << "a package was left behind"; }

    // n packages numbered 1..n in m_iLen, each with no holder yet.
    std::vector<DataPackage_t*> makePackages(int n)
    {
        std::vector<DataPackage_t*> pkgs;
        for (int i = 1; i <= n; ++i) {
            DataPackage_t* pkg = m_center.createPackage(16);
            pkg->m_iLen = i;
            pkgs.push_back(pkg);
        }
        return pkgs;
    }
    // As the fan-out does: a reference for the FIFO, dropped again when it refuses.
    int push(CDataFifo& fifo, DataPackage_t* pkg)
    {
        m_center.referPackage(pkg);
        int ret = fifo.pushDataPackage(pkg);
        if (ret != 0) {
            m_center.releasePackage(pkg);
        }
        return ret;
    }
    std::vector<int> drain(CDataFifo& fifo)
    {
        std::vector<int> lens;
        while (DataPackage_t* pkg = fifo.getDataPackage(0)) {
            lens.push_back(pkg->m_iLen);
            fifo.releaseDataPackage(pkg);
        }
        return lens;
    }
    static int count(DataPackage_t* pkg) { return getChunkAddr(pkg)->m_iRefCount.load(); }

    CNormalMemPool m_pool;
    CDataCenter m_center;
};

TEST_F(NormalDataFifoTest, DropOldestKeepsTheNewest)
{
    CNormalDataFifo fifo(&m_center, FIFO_POLICY_DROP_OLDEST, 8);
    std::vector<DataPackage_t*> pkgs = makePackages(9);
    for (DataPackage_t* pkg : pkgs) {
        EXPECT_EQ(push(fifo, pkg), 0);
    }
    EXPECT_EQ(count(pkgs[0]), 0) << "the oldest was released";
    EXPECT_EQ(m_pool.getUsedSize(), 8u * 256);
    EXPECT_EQ(drain(fifo), (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(NormalDataFifoTest, OtherPoliciesRefuseTheNew)
{
    for (int policy : {int(FIFO_POLICY_REJECT_NEW), 0, 3}) {
        CNormalDataFifo fifo(&m_center, policy, 8);
        std::vector<DataPackage_t*> pkgs = makePackages(9);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(push(fifo, pkgs[i]), 0);
        }
        EXPECT_EQ(push(fifo, pkgs[8]), -1) << policy;
        EXPECT_EQ(drain(fifo), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8})) << policy;
    }
}

TEST_F(NormalDataFifoTest, DepthZeroRefusesEveryPackageUnderBothPolicies)
{
    for (int policy : {int(FIFO_POLICY_DROP_OLDEST), int(FIFO_POLICY_REJECT_NEW)}) {
        CNormalDataFifo fifo(&m_center, policy, 0);
        DataPackage_t* pkg = makePackages(1)[0];
        EXPECT_EQ(push(fifo, pkg), -1) << policy;
        EXPECT_EQ(fifo.getCount(), 0u);
        EXPECT_EQ(count(pkg), 0);
    }
}

TEST_F(NormalDataFifoTest, WaitsForAPackageOrTimesOut)
{
    CNormalDataFifo fifo(&m_center, 1, 8);
    EXPECT_EQ(fifo.getDataPackage(0), nullptr);
    EXPECT_EQ(fifo.getDataPackage(1), nullptr);
    for (int timeout : {30000, -1}) {
        DataPackage_t* pkg = makePackages(1)[0];
        std::thread pusher([&] { push(fifo, pkg); });
        DataPackage_t* got = fifo.getDataPackage(timeout);
        pusher.join();
        EXPECT_EQ(got, pkg) << timeout;
        fifo.releaseDataPackage(got);
    }
}

// Voluntary context switches of the calling thread so far, as the kernel counts them.
long voluntarySwitches()
{
    std::ifstream status("/proc/thread-self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return std::stol(line.substr(line.find(':') + 1));
        }
    }
    return -1;
}

TEST_F(NormalDataFifoTest, NoWaitOnAnEmptyFifoNeverSleeps)
{
    // A sender takes what else is queued with a zero timeout after each package: even a sleep that
    // ends at once costs a timer's slack (tens of microseconds) per message.
    CNormalDataFifo fifo(&m_center, 1, 8);
    const long before = voluntarySwitches();
    ASSERT_GE(before, 0);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(fifo.getDataPackage(0), nullptr);
    }
    EXPECT_EQ(voluntarySwitches(), before);
}

TEST_F(NormalDataFifoTest, PackagePushedWhileTheReaderSleepsWakesIt)
{
    // The reader is asleep in a wait far longer than the test's limit before the package comes: a
    // wake-up lost on the way would leave it there (the test then hangs until its time limit).
    CNormalDataFifo fifo(&m_center, 1, 8);
    for (int timeout : {-1, 600000}) {
        DataPackage_t* pkg = makePackages(1)[0];
        bool asleep = false;
        auto reader = zqtest::runUntilAsleep([&] { return fifo.getDataPackage(timeout); }, &asleep);
        EXPECT_TRUE(asleep) << timeout;
        ASSERT_EQ(push(fifo, pkg), 0);
        DataPackage_t* got = reader.get();
        EXPECT_EQ(got, pkg) << timeout;
        fifo.releaseDataPackage(got);
    }
}

TEST_F(NormalDataFifoTest, ClearAndDestructionReleaseWhatIsQueued)
{
    auto fifo = std::make_unique<CNormalDataFifo>(&m_center, 1, 8);
    EXPECT_EQ(fifo->getDataCenter(), &m_center);
    for (DataPackage_t* pkg : makePackages(2)) {
        push(*fifo, pkg);
    }
    fifo->clear();
    EXPECT_EQ(fifo->getCount(), 0u);
    EXPECT_TRUE(fifo->isEnable()) << "a cleared FIFO still works";

    std::vector<DataPackage_t*> pkgs = makePackages(3);
    for (DataPackage_t* pkg : pkgs) {
        m_center.pushPackage(pkg);
    }
    EXPECT_EQ(count(pkgs[2]), 1);
    fifo.reset();
    EXPECT_EQ(m_pool.getUsedSize(), 0u) << "all three were released";

    DataPackage_t* later = makePackages(1)[0];
    m_center.referPackage(later);
    m_center.pushPackage(later);
    EXPECT_EQ(count(later), 1) << "the destroyed FIFO was detached";
    m_center.releasePackage(later);
}

TEST_F(NormalDataFifoTest, FifoWithoutCenterHoldsNothing)
{
    CNormalDataFifo fifo(nullptr, 1, 8);
    DataPackage_t* pkg = makePackages(1)[0];
    EXPECT_EQ(push(fifo, pkg), -1);
    EXPECT_EQ(fifo.pushDataPackage(nullptr), -1);
    EXPECT_EQ(count(pkg), 0) << "and the refused package went back to the pool";
}

} // namespace
