// The receiver base: its forwarding to the data manager, its topic name and its counters.
#include "core/transport/receiver.h"

#include <atomic>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "core/transport/datagram/fragment_reassembler.h"
#include "memory/datacenter.h"
#include "memory/datafifo.h"
#include "memory/normal_mem_pool.h"

namespace {

const std::string kTopic = "h6_topic";

// A receiver of no medium, for the base's forwarding operations.
class BareReceiver : public CDataReceiver {
public:
    using CDataReceiver::CDataReceiver;
    bool init(TransParam_t&) override { return false; }
    void deinit() override {}
    int getFps() override { return readFps(); }
    void recvTask() override {}
    void count() { calculateFrameRate(); }
    std::atomic<uint64_t>& lost() { return m_u64LostPkgCount; }
};

TEST(ReceiverTest, BaseForwardsToTheDataManager)
{
    BareReceiver alone(nullptr);
    EXPECT_TRUE(alone.getTopicName().empty()) << "the one-argument form has no topic name";
    EXPECT_EQ(alone.createDataFifo(1, 8), nullptr);
    EXPECT_EQ(alone.registerDataCallBack([](int, DataPackage_t*) { return 1; }), -1);
    alone.unregisterDataCallBack(1);
    alone.destroyDataFifo(nullptr);
    alone.putEmptyDataPkg(nullptr);

    CNormalMemPool pool;
    MemConfig_t cfg{};
    cfg.m_iKey = -1;
    cfg.m_u32MaxPoolSize = 0x100000;
    cfg.m_stGroup[0] = MemGroup_t{0, 1024, 4};
    cfg.m_iGroupCount = 1;
    ASSERT_TRUE(pool.init(cfg));
    CDataManager manager;
    manager.setMemPool(&pool);
    BareReceiver rx(kTopic, &manager);
    EXPECT_EQ(rx.getTopicName(), kTopic);
    CDataFifo* fifo = rx.createDataFifo(FIFO_POLICY_DROP_OLDEST, 4);
    ASSERT_NE(fifo, nullptr);
    int kept = 0;
    DataPackage_t* held = nullptr;
    int id = rx.registerDataCallBack([&](int, DataPackage_t* pkg) {
        ++kept;
        held = pkg;
        return 0;
    });
    EXPECT_EQ(id, 1);

    CDataManagerSink sink(&manager);
    DataPackage_t* pkg = sink.getFramePkg(100);
    ASSERT_NE(pkg, nullptr);
    pkg->m_iLen = 34;
    sink.publishFramePkg(pkg);
    EXPECT_EQ(kept, 1);
    DataPackage_t* queued = fifo->getDataPackage(0);
    EXPECT_EQ(queued, pkg);
    fifo->releaseDataPackage(queued);
    rx.putEmptyDataPkg(held);
    EXPECT_EQ(pool.getUsedSize(), 0u) << "both references went back";
    rx.unregisterDataCallBack(id);
    rx.destroyDataFifo(fifo);

    DataPackage_t* unused = sink.getFramePkg(10);
    ASSERT_NE(unused, nullptr);
    sink.discardFramePkg(unused);
    EXPECT_EQ(pool.getUsedSize(), 0u) << "a fresh package is given back";

    rx.lost() = 5;
    EXPECT_EQ(rx.getLostPkgCount(), 5u);
    rx.resetLostPkgCount();
    EXPECT_EQ(rx.getLostPkgCount(), 0u);
    rx.count();
    rx.resetFrameRate();
    EXPECT_EQ(rx.getFps(), 0);
}

} // namespace
