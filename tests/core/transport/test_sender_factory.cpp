// The sender factory: one sender per medium code that this build has, nothing for other codes.
#include "core/transport/sender_factory.h"

#include "core/transport/media/share_memory_sender.h"
#include "core/transport/media/unix_socket_sender.h"
#include "support/zqtest.h"

namespace {

TEST(SenderFactoryTest, MakesAnUnstartedSenderPerKnownCode)
{
    std::shared_ptr<CDataSender> unixSender = CSenderFactory::createSender(TRANS_TYPE_UNIX_SOCKET, nullptr);
    ASSERT_NE(unixSender, nullptr);
    EXPECT_NE(dynamic_cast<CUnixSocketSender*>(unixSender.get()), nullptr);
    EXPECT_FALSE(unixSender->isInit());
    EXPECT_EQ(unixSender->getClientCount(), 0);
    EXPECT_EQ(unixSender->getFps(), -1);

    std::shared_ptr<CDataSender> shmSender = CSenderFactory::createSender(TRANS_TYPE_SHARE_MEMORY, nullptr);
    ASSERT_NE(shmSender, nullptr);
    EXPECT_NE(dynamic_cast<CShareMemorySender*>(shmSender.get()), nullptr);
    EXPECT_FALSE(shmSender->isInit());
    EXPECT_EQ(shmSender->getClientCount(), 0);
    EXPECT_EQ(shmSender->getFps(), -1);
}

TEST(SenderFactoryTest, UnknownCodesGiveNothing)
{
    for (int type : {5, -1, 100}) {
        EXPECT_EQ(CSenderFactory::createSender(type, nullptr), nullptr) << type;
    }
}

} // namespace
