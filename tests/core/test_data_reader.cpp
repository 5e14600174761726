// The public reading road: a writer in this process and readers in this process and in another
// one (zqh_pubsub_reader), messages written by copy and by loan and read by copy, by loan and
// through the callback, deletions in every order while messages flow, and nothing left behind.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/pubsub_support.h"
#include "support/zqtest.h"
#include "zqdds/data_reader.h"
#include "zqdds/data_writer.h"
#include "zqdds/participant.h"
#include "zqdds/publisher.h"
#include "zqdds/subscriber.h"
#include "zqdds/topic.h"

namespace {

// Entries of /tmp (this test's own tmpfs) whose name starts with `prefix`.
int tmpEntries(const std::string& prefix)
{
    int count = 0;
    DIR* dir = opendir("/tmp");
    if (dir == nullptr) {
        return -1;
    }
    while (dirent* entry = readdir(dir)) {
        if (std::string(entry->d_name).rfind(prefix, 0) == 0) {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

class DataReaderNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        zqtest::OutputCapture quiet;
        _DomainConfigParam_t param = pubsub::loRecord(536, 53400, 5360, 0x5360);
        m_participant = std::make_unique<CParticipant>(param);
    }

    void TearDown() override
    {
        zqtest::OutputCapture quiet;
        m_participant.reset();
    }

    CParticipantImpl* impl(CTopic* topic) { return pubsub::participantOf(topic); }

    int controlPort(CTopic* topic)
    {
        TransParam_t param;
        memset(&param, 0, sizeof(param));
        return impl(topic)->getPubTopicMsgTransParam(topic->getTopicName(), &param) == 0 ? param.m_tcpParam.m_iPort
                                                                                         : -1;
    }

    std::unique_ptr<CParticipant> m_participant;
};

TEST_F(DataReaderNsTest, ReaderInAnotherProcessGetsEveryMessageByCopyLoanAndCallback)
{
    CTopic* topic = m_participant->createTopic("h13_remote", nullptr);
    CPublisher* pub = m_participant->createPublisher();
    CDataWriter* writer = pub->createDataWriter(topic);
    ASSERT_NE(writer, nullptr);
    const int port = controlPort(topic);
    ASSERT_GT(port, 0);

    std::string error;
    auto child = zqtest::ChildProcess::spawn(
        {zqtest::helperPath("pubsub_reader"), "537", "53450", "5370", std::to_string(0x5370), "h13_remote", "8"},
        &error);
    ASSERT_NE(child, nullptr) << error;
    std::string line;
    ASSERT_TRUE(child->waitForLine("@@ ", 10000, &line));
    ASSERT_EQ(line, "@@ ready");
    ASSERT_TRUE(child->writeInput("endpoint 127.0.0.1 " + std::to_string(port) + "\n"));
    ASSERT_TRUE(child->waitForLine("@@ ", 15000, &line));
    ASSERT_EQ(line, "@@ connected");
    ASSERT_TRUE(zqtest::waitUntil([&] { return writer->isConnect(); }, 10000));

    const int sizes[] = {1, 65502, 65503, 1048577}; // empty messages do not travel over sockets
    // How the writer hands the message over, and how the reader takes it.
    struct Mode {
        bool lend;
        const char* take;
    };
    const Mode modes[] = {{false, "copy"}, {false, "loan"}, {false, "callback"}, {true, "copy"}};
    uint32_t seq = 0;
    for (int len : sizes) {
        for (const Mode& mode : modes) {
            std::vector<uint8_t> data = pubsub::makeMessage(len, seq);
            uint8_t dummy = 0;
            uint64_t before = static_cast<uint64_t>(getSysTimeUs());
            if (mode.lend) {
                _DataBuffer_t* buf = writer->getEmptyDataBuffer(len, 1000);
                ASSERT_NE(buf, nullptr) << len;
                pubsub::fillPattern(buf->m_pData, len, seq);
                buf->m_iLen = len;
                ASSERT_EQ(writer->putFullDataBuffer(buf), 0);
            } else {
                ASSERT_EQ(writer->write(data.empty() ? &dummy : data.data(), len), len);
            }
            uint64_t after = static_cast<uint64_t>(getSysTimeUs());
            ASSERT_TRUE(child->writeInput("expect " + std::to_string(seq) + " " + std::to_string(len) + " " +
                                          mode.take + "\n"));
            ASSERT_TRUE(child->waitForLine("@@ ", 15000, &line)) << seq;
            std::istringstream in(line);
            std::string tag;
            std::string got;
            uint32_t gotSeq = 0;
            int gotLen = 0;
            uint64_t ts = 0;
            in >> tag >> got >> gotSeq >> gotLen >> ts;
            ASSERT_EQ(got, "got") << line;
            EXPECT_EQ(gotSeq, seq);
            EXPECT_EQ(gotLen, len);
            EXPECT_GE(ts, before);
            EXPECT_LE(ts, after);
            ++seq;
        }
    }
    ASSERT_TRUE(child->writeInput("quit\n"));
    ASSERT_TRUE(child->waitForLine("@@ ", 15000, &line));
    EXPECT_EQ(line, "@@ pool 0");
    ASSERT_TRUE(child->waitForLine("@@ ", 15000, &line));
    EXPECT_EQ(line, "@@ bye");
    ASSERT_GE(child->wait(15000), 0);
    EXPECT_EQ(child->exitCode(), 0);

    // The reader process went away: the channel goes down on this side too.
    ASSERT_TRUE(zqtest::waitUntil([&] { return !writer->isConnect(); }, 10000));
    EXPECT_EQ(pub->deleteDataWriter(writer), 0);
    EXPECT_EQ(m_participant->deletePublisher(pub), 0);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

// Who goes first when the two sides of a flowing topic are deleted.
enum Order { WRITER_FIRST, READER_FIRST, PUBLISHER_SIDE_FIRST, SUBSCRIBER_SIDE_FIRST };

class DeletionOrderNsTest : public DataReaderNsTest, public ::testing::WithParamInterface<Order> {};

TEST_P(DeletionOrderNsTest, DeletingWhileMessagesFlowLeavesNothingBehind)
{
    CTopic* topic = m_participant->createTopic("h13_order", nullptr);
    CParticipantImpl* pimpl = impl(topic);
    CPublisher* pub = m_participant->createPublisher();
    CSubscriber* sub = m_participant->createSubscriber();
    const int fds = zqtest::countOpenFds();
    const int threads = zqtest::baselineThreads();

    CDataWriter* writer = pub->createDataWriter(topic);
    zqtest::OutputCapture quiet;
    CDataReader* reader = sub->createDataReader(topic, 4);
    CDataReader* other = sub->createDataReader(topic, 2);
    ASSERT_NE(writer, nullptr);
    ASSERT_NE(reader, nullptr);
    pubsub::handOver(pimpl, pimpl, "h13_order");
    ASSERT_TRUE(zqtest::waitUntil([&] { return reader->isConnect() && other->isConnect(); }, 10000));
    std::atomic<int> delivered{0};
    std::atomic<bool> stop{false};
    std::thread flow;
    // On every way out: the writing thread joined, and the callback dropped from a reader still
    // alive before `delivered` goes.
    zqtest::ScopeExit cleanup([&] {
        stop = true;
        if (flow.joinable()) {
            flow.join();
        }
        if (reader != nullptr) {
            reader->registerUserDataCallBack(nullptr);
        }
    });
    auto deleteReader = [&] {
        int rc = sub->deleteDataReader(reader);
        reader = nullptr;
        return rc;
    };
    reader->registerUserDataCallBack([&](void*, int, _ExtraDataInfo_t*) {
        delivered.fetch_add(1);
        return 0;
    });

    flow = std::thread([&] {
        std::vector<uint8_t> data(3000, 9);
        while (!stop.load()) {
            if (writer->write(data.data(), 3000) != 3000) {
                break;
            }
        }
    });
    ASSERT_TRUE(zqtest::waitUntil([&] { return delivered.load() >= 10; }, 10000));
    EXPECT_LE(reader->getBufferCount(), 4);
    EXPECT_LE(other->getBufferCount(), 2);

    switch (GetParam()) {
    case WRITER_FIRST:
        stop = true;
        flow.join();
        EXPECT_EQ(pub->deleteDataWriter(writer), 0);
        EXPECT_EQ(sub->deleteDataReader(other), 0);
        EXPECT_EQ(deleteReader(), 0);
        break;
    case READER_FIRST:
        EXPECT_EQ(deleteReader(), 0);
        EXPECT_EQ(sub->deleteDataReader(other), 0);
        stop = true;
        flow.join();
        EXPECT_EQ(pub->deleteDataWriter(writer), 0);
        break;
    case PUBLISHER_SIDE_FIRST:
        stop = true;
        flow.join();
        EXPECT_EQ(pub->deleteDataWriter(writer), 0);
        // The publisher goes with the writing side left behind for the readers.
        EXPECT_EQ(m_participant->deletePublisher(pub), 0);
        pub = nullptr;
        ASSERT_TRUE(zqtest::waitUntil([&] { return !reader->isConnect(); }, 10000));
        EXPECT_EQ(deleteReader(), 0);
        EXPECT_EQ(sub->deleteDataReader(other), 0);
        break;
    case SUBSCRIBER_SIDE_FIRST:
        EXPECT_EQ(sub->deleteDataReader(other), 0);
        EXPECT_EQ(deleteReader(), 0);
        EXPECT_EQ(m_participant->deleteSubscriber(sub), 0);
        sub = nullptr;
        stop = true;
        flow.join();
        EXPECT_EQ(pub->deleteDataWriter(writer), 0);
        break;
    }
    if (pub != nullptr) {
        EXPECT_EQ(m_participant->deletePublisher(pub), 0);
    }
    if (sub != nullptr) {
        EXPECT_EQ(m_participant->deleteSubscriber(sub), 0);
    }
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
    quiet.stop();
    EXPECT_TRUE(zqtest::waitUntil([&] { return pimpl->getMemPool()->getUsedSize() == 0u; }, 10000));
    EXPECT_TRUE(zqtest::waitUntil([&] { return zqtest::countThreads() <= threads; }, 10000));
    EXPECT_TRUE(zqtest::waitUntil([&] { return zqtest::countOpenFds() <= fds; }, 10000));
    EXPECT_EQ(tmpEntries("h13_order"), 0);
}

INSTANTIATE_TEST_SUITE_P(Orders, DeletionOrderNsTest,
                         ::testing::Values(WRITER_FIRST, READER_FIRST, PUBLISHER_SIDE_FIRST, SUBSCRIBER_SIDE_FIRST));

TEST_F(DataReaderNsTest, ReaderHandleForwardsEveryOperation)
{
    CTopic* topic = m_participant->createTopic("h13_forward", nullptr);
    CSubscriber* sub = m_participant->createSubscriber();
    zqtest::OutputCapture quiet;
    CDataReader* reader = sub->createDataReader(topic);
    ASSERT_NE(reader, nullptr);
    uint8_t buf[4];
    EXPECT_EQ(reader->read(buf, 4, 0), -1);
    EXPECT_EQ(reader->getDataBuffer(0), nullptr);
    reader->releaseDataBuffer(nullptr);
    EXPECT_EQ(reader->getBufferCount(), 0);
    reader->registerUserDataCallBack([](void*, int, _ExtraDataInfo_t*) { return 0; });
    EXPECT_FALSE(reader->isConnect());
    // A subscriber with a reader is not deleted, nor is its topic.
    EXPECT_EQ(m_participant->deleteSubscriber(sub), -1);
    EXPECT_EQ(m_participant->deleteTopic(topic), -1);
    EXPECT_EQ(sub->deleteDataReader(nullptr), -1);
    EXPECT_EQ(sub->deleteDataReader(reader), 0);
    quiet.stop();
    EXPECT_EQ(m_participant->deleteSubscriber(sub), 0);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

} // namespace
