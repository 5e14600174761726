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

// A publisher's last writer of a topic takes its writing side along although a reader of the
// topic remains in the participant: the reader resets, finds the writer of another publisher and
// receives from it.
TEST_F(PublisherNsTest, ReaderReceivesFromTheWriterOfAnotherPublisherAfterTheFirstOneWent)
{
    CTopic* topic = nullptr;
    CPublisher* p1 = nullptr;
    CSubscriber* sub = nullptr;
    CDataWriter* w1 = nullptr;
    CDataReader* reader = nullptr;
    ASSERT_TRUE(connectPair("h16_pub_leftover", &topic, &p1, &sub, &w1, &reader));
    zqtest::OutputCapture quiet;
    CPublisher* p2 = m_participant->createPublisher();
    ASSERT_NE(p2, nullptr);
    CDataWriter* w2 = p2->createDataWriter(topic);
    ASSERT_NE(w2, nullptr);
    EXPECT_EQ(p1->deleteDataWriter(w1), 0);

    const std::vector<uint8_t> message = pubsub::makeMessage(64, 9);
    uint8_t buf[64];
    // Paced until one arrives: the reader finds w2 at its next discovery round.
    bool received = zqtest::waitUntil(
        [&] {
            w2->write(const_cast<uint8_t*>(message.data()), 64);
            return reader->read(buf, sizeof(buf), 100, nullptr) == 64 && pubsub::isMessage(buf, 64, 9);
        },
        30000);
    quiet.stop();
    EXPECT_TRUE(received);
    EXPECT_TRUE(w2->isConnect());

    zqtest::OutputCapture quietEnd;
    EXPECT_EQ(sub->deleteDataReader(reader), 0);
    EXPECT_EQ(p2->deleteDataWriter(w2), 0);
    EXPECT_EQ(m_participant->deletePublisher(p1), 0);
    EXPECT_EQ(m_participant->deletePublisher(p2), 0);
    EXPECT_EQ(m_participant->deleteSubscriber(sub), 0);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

} // namespace
