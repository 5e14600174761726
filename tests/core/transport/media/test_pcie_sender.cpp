// The PCIe sender placeholder: it accepts no connection and reports nothing to measure; its
// thread only waits to be stopped, and init and deinit can be repeated.
#include "core/transport/media/pcie_sender.h"

#include <cstring>
#include <thread>

#include "core/transport/sender_factory.h"
#include "memory/datacenter.h"
#include "support/zqtest.h"

namespace {

class PCIeSenderTest : public ::testing::Test {
protected:
    CDataManager m_manager;
};

TEST_F(PCIeSenderTest, MadeByTheFactoryForCodeFour)
{
    std::shared_ptr<CDataSender> sender = CSenderFactory::createSender(TRANS_TYPE_PCIE, &m_manager);
    EXPECT_NE(dynamic_cast<CPCIeSender*>(sender.get()), nullptr);
    EXPECT_FALSE(sender->isInit());
}

TEST_F(PCIeSenderTest, AcceptsNoConnectionOfAnyType)
{
    CPCIeSender sender(&m_manager);
    for (int type :
         {TRANS_TYPE_TCP, TRANS_TYPE_UDP, TRANS_TYPE_UNIX_SOCKET, TRANS_TYPE_SHARE_MEMORY, TRANS_TYPE_PCIE}) {
        TransParam_t param;
        std::memset(&param, 0, sizeof(param));
        param.m_iType = type;
        EXPECT_FALSE(sender.addConn(3, param)) << type;
        EXPECT_EQ(sender.getClientCount(), 0);
    }
    EXPECT_FALSE(sender.isConnExist(3));
    EXPECT_FALSE(sender.delConn(3));
    EXPECT_EQ(sender.getPort(3), -1);
    EXPECT_EQ(sender.getFps(), -1);
}

TEST_F(PCIeSenderTest, ThreadWaitsUntilStoppedAndCanBeStartedAgain)
{
    const int baseThreads = zqtest::baselineThreads();
    CPCIeSender sender(&m_manager);
    sender.deinit(); // never started: returns at once
    EXPECT_FALSE(sender.isInit());
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(sender.init());
        EXPECT_FALSE(sender.init());
        EXPECT_TRUE(sender.isInit());
        EXPECT_EQ(zqtest::threadsSettleAt(baseThreads + 1), baseThreads + 1);
        EXPECT_EQ(sender.getFps(), -1);
        sender.deinit();
        EXPECT_FALSE(sender.isInit());
        EXPECT_EQ(zqtest::threadsSettleAt(baseThreads), baseThreads);
    }
}

TEST_F(PCIeSenderTest, DestructorStopsARunningSender)
{
    const int baseThreads = zqtest::baselineThreads();
    {
        CPCIeSender sender(nullptr);
        ASSERT_TRUE(sender.init());
    }
    EXPECT_EQ(zqtest::threadsSettleAt(baseThreads), baseThreads);
}

} // namespace
