// The PCIe receiver placeholder: it opens only a type 4 channel, delivers nothing, forwards the
// package operations to its data manager, and its thread only waits to be stopped.
#include "core/transport/media/pcie_receiver.h"

#include <cstring>
#include <thread>

#include "core/transport/receiver_factory.h"
#include "memory/datacenter.h"
#include "memory/datafifo.h"
#include "support/zqtest.h"

namespace {

TransParam_t paramOf(int type)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = type;
    return param;
}

class PCIeReceiverTest : public ::testing::Test {
protected:
    CDataManager m_manager;
};

TEST_F(PCIeReceiverTest, MadeByTheFactoryForCodeFour)
{
    std::unique_ptr<CDataReceiver> receiver = CReceiverFactory::createReceiver(TRANS_TYPE_PCIE, "h11_pcie", &m_manager);
    ASSERT_NE(dynamic_cast<CPCIeReceiver*>(receiver.get()), nullptr);
    EXPECT_EQ(receiver->getTopicName(), "h11_pcie");
    CPCIeReceiver bare(&m_manager);
    EXPECT_TRUE(bare.getTopicName().empty());
}

TEST_F(PCIeReceiverTest, OpensOnlyTypeFour)
{
    const int baseThreads = zqtest::baselineThreads();
    CPCIeReceiver receiver("h11_pcie", &m_manager);
    EXPECT_EQ(receiver.getFps(), -1);
    for (int type : {0, 1, 2, 3, 5, -1}) {
        TransParam_t param = paramOf(type);
        EXPECT_FALSE(receiver.init(param)) << type;
        EXPECT_EQ(zqtest::threadsSettleAt(baseThreads), baseThreads);
    }
    TransParam_t pcie = paramOf(TRANS_TYPE_PCIE);
    ASSERT_TRUE(receiver.init(pcie));
    EXPECT_EQ(zqtest::threadsSettleAt(baseThreads + 1), baseThreads + 1);
    EXPECT_FALSE(receiver.init(pcie));
    EXPECT_EQ(receiver.getFps(), -1);
    EXPECT_EQ(receiver.getLostPkgCount(), 0u);
    receiver.deinit();
    EXPECT_EQ(zqtest::threadsSettleAt(baseThreads), baseThreads);
    EXPECT_EQ(receiver.getLostPkgCount(), 0u);

    // Started again after a stop; a never-started receiver's deinit returns at once.
    ASSERT_TRUE(receiver.init(pcie));
    receiver.deinit();
    receiver.deinit();
    CPCIeReceiver idle(&m_manager);
    idle.deinit();
    EXPECT_EQ(zqtest::threadsSettleAt(baseThreads), baseThreads);
}

TEST_F(PCIeReceiverTest, ForwardsPackageOperationsAndDeliversNothing)
{
    CPCIeReceiver receiver("h11_pcie", &m_manager);
    TransParam_t pcie = paramOf(TRANS_TYPE_PCIE);
    ASSERT_TRUE(receiver.init(pcie));
    CDataFifo* fifo = receiver.createDataFifo(FIFO_POLICY_DROP_OLDEST, 4);
    ASSERT_NE(fifo, nullptr);
    EXPECT_EQ(fifo->getDataPackage(50), nullptr);
    receiver.destroyDataFifo(fifo);
    int id = receiver.registerDataCallBack([](int, DataPackage_t*) { return -1; });
    EXPECT_GT(id, 0);
    receiver.unregisterDataCallBack(id);
    receiver.putEmptyDataPkg(nullptr);
    receiver.deinit();

    CPCIeReceiver bare(nullptr);
    EXPECT_EQ(bare.createDataFifo(FIFO_POLICY_DROP_OLDEST, 4), nullptr);
    EXPECT_EQ(bare.registerDataCallBack([](int, DataPackage_t*) { return -1; }), -1);
}

TEST_F(PCIeReceiverTest, DestructorStopsARunningReceiver)
{
    const int baseThreads = zqtest::baselineThreads();
    {
        CPCIeReceiver receiver(nullptr);
        TransParam_t pcie = paramOf(TRANS_TYPE_PCIE);
        ASSERT_TRUE(receiver.init(pcie));
    }
    EXPECT_EQ(zqtest::threadsSettleAt(baseThreads), baseThreads);
}

} // namespace
