// Fan-out order and references, the callback registry, the data manager facade, and FIFOs
// created and destroyed while packages are published.
#include "memory/datacenter.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "memory/normal_datafifo.h"
#include "memory/normal_mem_pool.h"
#include "support/zqtest.h"

namespace {

// Records every push it sees, keeping (0) or refusing (-1) as told.
class CRecordingFifo : public CDataFifo {
public:
    CRecordingFifo(std::vector<std::string>* log, std::string name, int result)
        : CDataFifo(1, 8), m_log(log), m_name(std::move(name)), m_result(result)
    {
    }
    void clear() override {}
    int pushDataPackage(DataPackage_t*) override
    {
        m_log->push_back(m_name);
        return m_result;
    }
    DataPackage_t* getDataPackage(int) override { return nullptr; }
    void releaseDataPackage(DataPackage_t*) override {}

private:
    std::vector<std::string>* m_log;
    std::string m_name;
    int m_result;
};

MemConfig_t smallCfg()
{
    MemConfig_t cfg{};
    cfg.m_iKey = -1;
    cfg.m_u32MaxPoolSize = 0x1000000;
    cfg.m_stGroup[0] = MemGroup_t{0, 512, 64};
    cfg.m_stGroup[1] = MemGroup_t{1, 8192, 64};
    cfg.m_iGroupCount = 2;
    return cfg;
}

class DataCenterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_pool.init(smallCfg()));
        m_center.setMemPool(&m_pool);
    }
    static int count(DataPackage_t* pkg) { return getChunkAddr(pkg)->m_iRefCount.load(); }

    CNormalMemPool m_pool;
    CDataCenter m_center;
};

TEST_F(DataCenterTest, FifosInAttachOrderThenCallbacksInIdOrder)
{
    std::vector<std::string> log;
    CRecordingFifo a(&log, "fifo a", -1), b(&log, "fifo b", -1);
    ASSERT_EQ(m_center.attachFifo(&b), 0);
    ASSERT_EQ(m_center.attachFifo(&a), 0);
    std::vector<int> ids;
    for (const char* name : {"cb 1", "cb 2", "cb 3"}) {
        ids.push_back(m_center.registerCallBack([&log, name](int id, DataPackage_t*) {
            log.push_back(std::string(name) + " id " + std::to_string(id));
            return -1;
        }));
    }
    EXPECT_EQ(ids, (std::vector<int>{1, 2, 3}));
    m_center.unregisterCallBack(2);
    m_center.unregisterCallBack(99);
    EXPECT_EQ(m_center.registerCallBack([&log](int id, DataPackage_t*) {
        log.push_back("cb 4 id " + std::to_string(id));
        return -1;
    }),
              4)
        << "ids are never reused";

    DataPackage_t* pkg = m_center.createPackage(10);
    ASSERT_NE(pkg, nullptr);
    EXPECT_EQ(m_center.pushPackage(pkg), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"fifo b", "fifo a", "cb 1 id 1", "cb 3 id 3", "cb 4 id 4"}));
    EXPECT_EQ(m_pool.getUsedSize(), 0u) << "nobody kept it, so it went back before push returned";
    m_center.detachFifo(&a);
    m_center.detachFifo(&b);
}

TEST_F(DataCenterTest, EachKeepingConsumerHoldsOneReference)
{
    CNormalDataFifo f1(&m_center, 1, 8), f2(&m_center, 1, 8);
    std::vector<DataPackage_t*> kept;
    int id = m_center.registerCallBack([&kept](int, DataPackage_t* pkg) {
        kept.push_back(pkg);
        return 0;
    });
    DataPackage_t* pkg = m_center.createPackage(100);
    EXPECT_EQ(m_center.pushPackage(pkg), 0);
    EXPECT_EQ(count(pkg), 3);
    ASSERT_EQ(kept.size(), 1u);
    m_center.releasePackage(kept[0]);
    for (CNormalDataFifo* f : {&f1, &f2}) {
        DataPackage_t* got = f->getDataPackage(0);
        EXPECT_EQ(got, pkg);
        f->releaseDataPackage(got);
    }
    EXPECT_EQ(m_pool.getUsedSize(), 0u);
    m_center.unregisterCallBack(id);
}

TEST_F(DataCenterTest, ArgumentsAndDuplicatesAreRefused)
{
    std::vector<std::string> log;
    CRecordingFifo a(&log, "a", -1);
    EXPECT_EQ(m_center.pushPackage(nullptr), -1);
    EXPECT_EQ(m_center.attachFifo(nullptr), -1);
    EXPECT_EQ(m_center.detachFifo(nullptr), -1);
    EXPECT_EQ(m_center.detachFifo(&a), -1);
    EXPECT_EQ(m_center.registerCallBack(DataCallBack_t()), -1);
    EXPECT_EQ(m_center.attachFifo(&a), 0);
    EXPECT_EQ(m_center.attachFifo(&a), -1);
    m_center.pushPackage(m_center.createPackage(1));
    EXPECT_EQ(log.size(), 1u) << "a FIFO attached twice is still pushed to once";
    EXPECT_EQ(m_center.detachFifo(&a), 0);
}

TEST(DataManagerTest, WithoutPool)
{
    CDataManager mgr;
    mgr.setMemPool(nullptr);
    EXPECT_EQ(mgr.getMemPool(), nullptr);
    EXPECT_EQ(mgr.getEmptyDataPkg(10, 100), nullptr);
    EXPECT_EQ(mgr.putFullDataPkg(nullptr, 0), -1);
    EXPECT_FALSE(mgr.getMemPoolType());
    EXPECT_EQ(mgr.getMemPoolAddr(), nullptr);
    EXPECT_EQ(mgr.getMemPoolKey(), -1);
    MemPoolLayout_t layout = mgr.getMemPoolLayout();
    MemPoolLayout_t zero{};
    EXPECT_EQ(memcmp(&layout, &zero, sizeof(layout)), 0);
    mgr.destroyDataFifo(nullptr);
    mgr.putEmptyDataPkg(nullptr);
    mgr.releaseDataPkg(nullptr);
    mgr.referDataPkg(nullptr);
}

TEST(DataManagerTest, ForwardsToCenterAndPool)
{
    CNormalMemPool pool;
    ASSERT_TRUE(pool.init(smallCfg()));
    CDataManager mgr;
    mgr.setMemPool(&pool);
    mgr.setMemPool(nullptr);
    EXPECT_EQ(mgr.getMemPool(), &pool) << "a null pool is ignored";
    EXPECT_EQ(mgr.getDataCenter()->getMemPool(), &pool);
    EXPECT_FALSE(mgr.getMemPoolType());
    EXPECT_EQ(mgr.getMemPoolLayout().m_iGroupCount, 2);

    // A receiver discards a fresh package by referring and releasing it.
    DataPackage_t* fresh = mgr.getEmptyDataPkg(600, -1);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->m_iSize, 8192);
    mgr.referDataPkg(fresh);
    mgr.putEmptyDataPkg(fresh);
    EXPECT_EQ(pool.getUsedSize(), 0u);

    CDataFifo* fifo = mgr.createDataFifo(-1, -1);
    ASSERT_NE(fifo, nullptr);
    EXPECT_EQ(fifo->getPolicy(), FIFO_POLICY_REJECT_NEW);
    EXPECT_EQ(fifo->getDepth(), 8);
    int seen = 0;
    int id = mgr.registerCallBack([&seen](int, DataPackage_t*) { return ++seen, -1; });
    EXPECT_EQ(id, 1);
    DataPackage_t* pkg = mgr.getEmptyDataPkg(10, 0);
    EXPECT_EQ(mgr.putFullDataPkg(pkg, pkg->m_iLen), 0);
    EXPECT_EQ(seen, 1);
    DataPackage_t* got = fifo->getDataPackage(0);
    EXPECT_EQ(got, pkg) << "the new FIFO is attached";
    fifo->releaseDataPackage(got);
    mgr.unregisterCallBack(id);
    mgr.destroyDataFifo(fifo);
    mgr.putFullDataPkg(mgr.getEmptyDataPkg(10, 0), 10);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(pool.getUsedSize(), 0u);
}

// Reader threads keep opening and closing FIFOs (as senders do when channels come and go)
// while writers publish: no reference may be lost, so every chunk ends back in its pool.
TEST(DataManagerStressTest, FifosComeAndGoWhilePublishing)
{
    CNormalMemPool pool;
    ASSERT_TRUE(pool.init(smallCfg()));
    CDataManager mgr;
    mgr.setMemPool(&pool);

    std::atomic<bool> stop{false};
    std::atomic<int> published{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 3; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < 50000; ++i) {
                DataPackage_t* pkg = mgr.getEmptyDataPkg(w == 0 ? 100 : 5000, 0);
                ASSERT_NE(pkg, nullptr);
                pkg->m_iLen = i;
                mgr.putFullDataPkg(pkg, pkg->m_iLen);
                published.fetch_add(1);
            }
        });
    }
    for (int r = 0; r < 3; ++r) {
        threads.emplace_back([&, r] {
            while (!stop.load()) {
                CDataFifo* fifo = mgr.createDataFifo(r == 0 ? FIFO_POLICY_REJECT_NEW : FIFO_POLICY_DROP_OLDEST, 4);
                ASSERT_NE(fifo, nullptr);
                for (int k = 0; k < r; ++k) {
                    if (DataPackage_t* pkg = fifo->getDataPackage(0)) {
                        fifo->releaseDataPackage(pkg);
                    }
                }
                mgr.destroyDataFifo(fifo); // often with packages still queued
            }
        });
    }
    for (int w = 0; w < 3; ++w) {
        threads[static_cast<size_t>(w)].join();
    }
    stop = true;
    for (size_t r = 3; r < threads.size(); ++r) {
        threads[r].join();
    }
    EXPECT_EQ(published.load(), 150000);
    EXPECT_EQ(pool.getUsedSize(), 0u) << "every chunk is back in its pool";
}

} // namespace
