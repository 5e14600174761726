// The writer handle: copy and loan through the public API reach a reader of the same process.
#include <gtest/gtest.h>

#include <cstring>

#include "core/pubsub_public_fixture.h"

namespace {

class DataWriterNsTest : public PublicNsTest {
protected:
    _DomainConfigParam_t record() const override { return pubsub::loRecord(531, 53700, 5375, 0x5375); }
};

TEST_F(DataWriterNsTest, CopyAndLoanReachTheReader)
{
    CTopic* topic = nullptr;
    CPublisher* pub = nullptr;
    CSubscriber* sub = nullptr;
    CDataWriter* writer = nullptr;
    CDataReader* reader = nullptr;
    ASSERT_TRUE(connectPair("h13_writer_handle", &topic, &pub, &sub, &writer, &reader));

    EXPECT_EQ(writer->write(nullptr, 1), -1);
    EXPECT_EQ(writer->putFullDataBuffer(nullptr), -1);
    EXPECT_EQ(writer->write(const_cast<char*>("copy"), 4), 4);
    _DataBuffer_t* lent = writer->getEmptyDataBuffer(4, 100);
    ASSERT_NE(lent, nullptr);
    memcpy(lent->m_pData, "loan", 4);
    lent->m_iLen = 4;
    EXPECT_EQ(writer->putFullDataBuffer(lent), 0);

    char buf[4];
    ASSERT_EQ(reader->read(buf, 4, 10000), 4);
    EXPECT_EQ(memcmp(buf, "copy", 4), 0);
    _DataBuffer_t* got = reader->getDataBuffer(10000);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(memcmp(got->m_pData, "loan", 4), 0);
    reader->releaseDataBuffer(got);

    zqtest::OutputCapture quiet;
    EXPECT_EQ(sub->deleteDataReader(reader), 0);
    EXPECT_EQ(pub->deleteDataWriter(writer), 0);
    EXPECT_EQ(m_participant->deletePublisher(pub), 0);
    EXPECT_EQ(m_participant->deleteSubscriber(sub), 0);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

} // namespace
