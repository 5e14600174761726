// The subscriber handle: readers through the public API and the reading side's status figures.
#include <gtest/gtest.h>

#include "core/pubsub_public_fixture.h"

namespace {

class SubscriberNsTest : public PublicNsTest {
protected:
    _DomainConfigParam_t record() const override { return pubsub::loRecord(539, 53600, 5390, 0x5390); }
};

TEST_F(SubscriberNsTest, ReadingSideFigures)
{
    CTopic* topic = nullptr;
    CPublisher* pub = nullptr;
    CSubscriber* sub = nullptr;
    CDataWriter* writer = nullptr;
    CDataReader* reader = nullptr;
    zqtest::OutputCapture quiet;
    CTopic* waiting = m_participant->createTopic("h13_sub_waiting", nullptr);
    CSubscriber* other = m_participant->createSubscriber();
    CDataReader* idle = other->createDataReader(waiting, 2);
    ASSERT_NE(idle, nullptr);
    quiet.stop();
    _DdsInfo_t info{};
    info.m_iMsgChnPort = 77;
    ASSERT_EQ(m_participant->getDdsInfo("h13_sub_waiting", DDS_INFO_SUB, info), 0);
    EXPECT_EQ(info.m_iMsgChnPort, 77); // no endpoint yet: left alone
    EXPECT_TRUE(info.m_vecDataChnInfo.empty());
    EXPECT_EQ(info.m_iClientCount, -1);
    EXPECT_EQ(info.m_iTopicState, TOPIC_STATE_UNSUBSCRIBED);
    EXPECT_EQ(info.m_i64LostPkgCount, 0);

    ASSERT_TRUE(connectPair("h13_sub_info", &topic, &pub, &sub, &writer, &reader));
    _DdsInfo_t up{};
    ASSERT_EQ(m_participant->getDdsInfo("h13_sub_info", DDS_INFO_SUB, up), 0);
    EXPECT_EQ(up.m_iMsgChnPort, 53600);
    ASSERT_EQ(up.m_vecDataChnInfo.size(), 1u);
    EXPECT_EQ(up.m_vecDataChnInfo[0].m_iTransType, TRANS_TYPE_UNIX_SOCKET);
    EXPECT_EQ(up.m_vecDataChnInfo[0].m_iPort, 5390);
    EXPECT_EQ(up.m_iClientCount, -1);
    EXPECT_EQ(up.m_iTopicState, TOPIC_STATE_SUBSCRIBED);
    EXPECT_EQ(up.m_i64LostPkgCount, 0);

    zqtest::OutputCapture quietEnd;
    EXPECT_EQ(sub->deleteDataReader(reader), 0);
    EXPECT_EQ(other->deleteDataReader(idle), 0);
    EXPECT_EQ(pub->deleteDataWriter(writer), 0);
    EXPECT_EQ(m_participant->deletePublisher(pub), 0);
    EXPECT_EQ(m_participant->deleteSubscriber(sub), 0);
    EXPECT_EQ(m_participant->deleteSubscriber(other), 0);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
    EXPECT_EQ(m_participant->deleteTopic(waiting), 0);
}

} // namespace
