// The publisher handle: writers through the public API, refusals while writers remain, and the
// writing side's status figures.
#include <gtest/gtest.h>

#include "core/pubsub_public_fixture.h"

namespace {

const std::string RED = "31";

class PublisherNsTest : public PublicNsTest {
protected:
    _DomainConfigParam_t record() const override { return pubsub::loRecord(538, 53500, 5380, 0x5380); }
};

TEST_F(PublisherNsTest, PublisherWithAWriterIsNotDeletedNorIsItsTopic)
{
    CTopic* topic = m_participant->createTopic("h13_pub_refuse", nullptr);
    CPublisher* pub = m_participant->createPublisher();
    ASSERT_NE(pub, nullptr);
    EXPECT_EQ(pub->createDataWriter(nullptr), nullptr);
    CDataWriter* writer = pub->createDataWriter(topic);
    ASSERT_NE(writer, nullptr);

    zqtest::OutputCapture capture;
    EXPECT_EQ(m_participant->deletePublisher(pub), -1);
    EXPECT_EQ(m_participant->deleteTopic(topic), -1);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, "Error: there are some writers!"));
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, "Error: topic reference is 1 !"));

    EXPECT_EQ(pub->deleteDataWriter(nullptr), -1);
    EXPECT_EQ(pub->deleteDataWriter(writer), 0);
    EXPECT_EQ(m_participant->deletePublisher(pub), 0);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

TEST_F(PublisherNsTest, WritingSideFigures)
{
    CTopic* topic = nullptr;
    CPublisher* pub = nullptr;
    CSubscriber* sub = nullptr;
    CDataWriter* writer = nullptr;
    CDataReader* reader = nullptr;
    ASSERT_TRUE(connectPair("h13_pub_info", &topic, &pub, &sub, &writer, &reader));
    uint8_t data[10] = {};
    ASSERT_EQ(writer->write(data, sizeof(data)), 10);
    uint8_t buf[10];
    ASSERT_EQ(reader->read(buf, sizeof(buf), 10000), 10);

    _DdsInfo_t info{};
    info.m_i64LostPkgCount = 5;
    ASSERT_EQ(m_participant->getDdsInfo("h13_pub_info", DDS_INFO_PUB, info), 0);
    EXPECT_EQ(info.m_iMsgChnPort, 53500);
    ASSERT_EQ(info.m_vecDataChnInfo.size(), 1u);
    EXPECT_EQ(info.m_vecDataChnInfo[0].m_iTransType, TRANS_TYPE_UNIX_SOCKET);
    EXPECT_EQ(info.m_vecDataChnInfo[0].m_iPort, 5380);
    EXPECT_EQ(info.m_iClientCount, 1);
    EXPECT_EQ(info.m_i64LostPkgCount, -1);
    EXPECT_LE(info.m_vecFps.size(), 1u);
    // The record is appended to, never cleared.
    ASSERT_EQ(m_participant->getDdsInfo("h13_pub_info", DDS_INFO_PUB, info), 0);
    EXPECT_EQ(info.m_vecDataChnInfo.size(), 2u);

    zqtest::OutputCapture quiet;
    EXPECT_EQ(sub->deleteDataReader(reader), 0);
    EXPECT_EQ(pub->deleteDataWriter(writer), 0);
    EXPECT_EQ(m_participant->deletePublisher(pub), 0);
    EXPECT_EQ(m_participant->deleteSubscriber(sub), 0);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

} // namespace
