// The receiver factory: one receiver per medium code that this build has, nothing for other codes.
#include "core/transport/receiver_factory.h"

#include "core/transport/media/share_memory_receiver.h"
#include "core/transport/media/unix_socket_receiver.h"
#include "support/zqtest.h"

namespace {

TEST(ReceiverFactoryTest, MakesAnUnstartedReceiverPerKnownCode)
{
    std::unique_ptr<CDataReceiver> rx = CReceiverFactory::createReceiver(TRANS_TYPE_UNIX_SOCKET, "h6_rf", nullptr);
    ASSERT_NE(rx, nullptr);
    EXPECT_NE(dynamic_cast<CUnixSocketReceiver*>(rx.get()), nullptr);
    EXPECT_EQ(rx->getTopicName(), "h6_rf");
    EXPECT_EQ(rx->getFps(), -1) << "not running";
    EXPECT_EQ(rx->getLostPkgCount(), 0u);

    std::unique_ptr<CDataReceiver> shm = CReceiverFactory::createReceiver(TRANS_TYPE_SHARE_MEMORY, "s1_rf", nullptr);
    ASSERT_NE(shm, nullptr);
    EXPECT_NE(dynamic_cast<CShareMemoryReceiver*>(shm.get()), nullptr);
    EXPECT_EQ(shm->getTopicName(), "s1_rf");
    EXPECT_EQ(shm->getFps(), -1) << "not initialised";
    EXPECT_EQ(shm->getLostPkgCount(), 0u);
}

TEST(ReceiverFactoryTest, UnknownCodesGiveNothing)
{
    for (int type : {5, -1, 100}) {
        EXPECT_EQ(CReceiverFactory::createReceiver(type, "h6_rf", nullptr), nullptr) << type;
    }
}

} // namespace
