// The subscriber's registries: which topic handles it takes, topic states and the discovery hook,
// the reading side of a topic (transport, state, control record), and that side going with the
// topic's last reader in the subscriber, whatever else uses the topic.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/participant_impl.h"
#include "core/publisher_impl.h"
#include "core/pubsub_support.h"
#include "core/subscriber_impl.h"
#include "support/zqtest.h"
#include "zqdds/data_reader.h"
#include "zqdds/data_writer.h"
#include "zqdds/publisher.h"
#include "zqdds/subscriber.h"
#include "zqdds/topic.h"

namespace {

const std::string RED = "31";
const std::string GREEN = "32";

class SubscriberImplNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        m_participant = start(532, 53100, 5320, 0x5320);
        ASSERT_TRUE(m_participant->isInitialized());
    }

    void TearDown() override
    {
        zqtest::OutputCapture quiet;
        m_participant.reset();
    }

    static std::unique_ptr<CParticipantImpl> start(int domain, int portBase, int unixBase, int keyBase)
    {
        zqtest::OutputCapture quiet;
        _DomainConfigParam_t param = pubsub::loRecord(domain, portBase, unixBase, keyBase);
        return std::make_unique<CParticipantImpl>(nullptr, param);
    }

    // Hands the publisher's endpoint of `topic` to the subscriber, as a discovery answer would.
    static int handOver(CPublisherImpl& pub, CSubscriberImpl& sub, const std::string& topic)
    {
        TransParam_t param;
        memset(&param, 0, sizeof(param));
        if (pub.getTopicMsgTransParam(topic, &param) != 0) {
            return -2;
        }
        return sub.setTopicMsgTransParam(topic, param);
    }

    CDataReader* createReader(CSubscriberImpl& sub, CTopic* topic, int depth = 4)
    {
        zqtest::OutputCapture quiet;
        return sub.createDataReader(topic, depth);
    }

    std::unique_ptr<CParticipantImpl> m_participant;
};

TEST_F(SubscriberImplNsTest, NullForeignAndDeletedTopicsAreRefusedWithoutSideEffect)
{
    auto other = start(533, 53150, 5330, 0x5330);
    CTopic* own = m_participant->createTopic("h13_rhandle", nullptr);
    CTopic* foreign = other->createTopic("h13_rhandle", nullptr);
    CTopic* gone = m_participant->createTopic("h13_rgone", nullptr);
    ASSERT_NE(own, nullptr);
    ASSERT_NE(foreign, nullptr);
    ASSERT_EQ(m_participant->deleteTopic(gone), 0);

    CSubscriberImpl sub(m_participant.get());
    zqtest::OutputCapture capture;
    EXPECT_EQ(sub.createDataReader(nullptr, 4), nullptr);
    EXPECT_EQ(sub.createDataReader(foreign, 4), nullptr);
    EXPECT_EQ(sub.createDataReader(gone, 4), nullptr);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, "Error: topic h13_rhandle is not exists."));
    EXPECT_EQ(foreign->getTopicDescImpl()->getReference(), 0);
    EXPECT_TRUE(sub.isNoReaders());
    EXPECT_FALSE(sub.isTopicExist("h13_rhandle"));
    EXPECT_EQ(sub.getTopicState("h13_rhandle"), -1);
    EXPECT_EQ(sub.getTransport("h13_rhandle"), nullptr);
    EXPECT_EQ(m_participant->deleteTopic(own), 0);
    EXPECT_EQ(other->deleteTopic(foreign), 0);
}

TEST_F(SubscriberImplNsTest, TopicStates)
{
    CSubscriberImpl sub(m_participant.get());
    EXPECT_EQ(sub.addTopicState("h13_b"), 0);
    EXPECT_EQ(sub.addTopicState("h13_a"), 0);
    EXPECT_EQ(sub.addTopicState("h13_c"), 0);
    EXPECT_EQ(sub.addTopicState("h13_a"), -1);
    EXPECT_TRUE(sub.setTopicState("h13_b", TOPIC_STATE_SUBSCRIBED));
    EXPECT_FALSE(sub.setTopicState("h13_b", TOPIC_STATE_SUBSCRIBED));
    EXPECT_FALSE(sub.setTopicState("h13_none", TOPIC_STATE_SUBSCRIBED));
    EXPECT_EQ(sub.getTopicState("h13_none"), -1);
    EXPECT_EQ(sub.getTopicState("h13_b"), TOPIC_STATE_SUBSCRIBED);

    std::vector<std::string> names{"kept"};
    EXPECT_EQ(sub.getUnsubscribedTopic(names), 2);
    EXPECT_EQ(names, (std::vector<std::string>{"kept", "h13_a", "h13_c"}));
    EXPECT_EQ(sub.delTopicState("h13_a"), 0);
    EXPECT_EQ(sub.delTopicState("h13_a"), -1);
    EXPECT_EQ(sub.getTopicState("h13_a"), -1);

    // A state without a transport takes no endpoint and keeps waiting.
    TransParam_t endpoint = pubsub::controlEndpoint("127.0.0.1", 53103);
    EXPECT_EQ(sub.setTopicMsgTransParam("h13_c", endpoint), -1);
    EXPECT_EQ(sub.getTopicState("h13_c"), TOPIC_STATE_UNSUBSCRIBED);
    EXPECT_EQ(sub.getTopicMsgTransParam("h13_c", &endpoint), -1);
}

TEST_F(SubscriberImplNsTest, FirstReaderMakesTheTopicWaitAndTheLastTakesItAway)
{
    CTopic* topic = m_participant->createTopic("h13_wait", nullptr);
    CSubscriberImpl sub(m_participant.get());
    CDataReader* r1 = createReader(sub, topic);
    CDataReader* r2 = createReader(sub, topic);
    ASSERT_NE(r1, nullptr);
    ASSERT_NE(r2, nullptr);
    EXPECT_EQ(sub.getTopicState("h13_wait"), TOPIC_STATE_UNSUBSCRIBED);
    CTransport* transport = sub.getTransport("h13_wait");
    ASSERT_NE(transport, nullptr);
    EXPECT_EQ(transport->getClientCount(), -1);
    EXPECT_EQ(topic->getTopicDescImpl()->getReference(), 2);
    EXPECT_FALSE(sub.isNoReaders());

    EXPECT_EQ(sub.deleteDataReader(r1), 0);
    EXPECT_EQ(sub.getTransport("h13_wait"), transport);
    EXPECT_EQ(sub.deleteDataReader(r2), 0);
    EXPECT_EQ(sub.getTransport("h13_wait"), nullptr);
    EXPECT_EQ(sub.getTopicState("h13_wait"), -1);
    EXPECT_FALSE(sub.isTopicExist("h13_wait"));
    EXPECT_EQ(sub.deleteDataReader(nullptr), -1);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

// The writing side lives in a participant of another domain (another group and port), and the
// reading side's participant has no writer of the topic: no discovery answer can reach the
// reading side, only the hand-overs the test makes.
TEST_F(SubscriberImplNsTest, AnswerIsTakenOnlyWhileTheTopicWaits)
{
    auto other = start(533, 53150, 5330, 0x5330);
    CTopic* topic = m_participant->createTopic("h13_answer", nullptr);
    CTopic* writing = other->createTopic("h13_answer", nullptr);
    ASSERT_NE(topic, nullptr);
    ASSERT_NE(writing, nullptr);
    {
        CPublisherImpl pub(other.get());
        CSubscriberImpl sub(m_participant.get());
        CDataWriter* writer = pub.createDataWriter(writing);
        CDataReader* reader = createReader(sub, topic);
        ASSERT_NE(writer, nullptr);
        ASSERT_NE(reader, nullptr);
        TransParam_t advertised;
        ASSERT_EQ(pub.getTopicMsgTransParam("h13_answer", &advertised), 0);

        EXPECT_EQ(sub.getTopicState("h13_answer"), TOPIC_STATE_UNSUBSCRIBED);
        EXPECT_EQ(handOver(pub, sub, "h13_answer"), 0);
        EXPECT_EQ(sub.getTopicState("h13_answer"), TOPIC_STATE_SUBSCRIBED);
        TransParam_t stored;
        ASSERT_EQ(sub.getTopicMsgTransParam("h13_answer", &stored), 0);
        EXPECT_EQ(stored.m_iType, TRANS_TYPE_TCP);
        EXPECT_STREQ(stored.m_tcpParam.m_szIp, "127.0.0.1");
        EXPECT_EQ(stored.m_tcpParam.m_iPort, advertised.m_tcpParam.m_iPort);
        // The reader hears of the channel before the control side enters its heartbeat state.
        ASSERT_TRUE(zqtest::waitUntil(
            [&] { return reader->isConnect() && sub.getTransport("h13_answer")->isConnect(); }, 10000));
        // Subscribed: a further answer, even another endpoint, changes nothing and the channel
        // stays up.
        TransParam_t elsewhere = pubsub::controlEndpoint("127.0.0.1", 53153);
        EXPECT_EQ(sub.setTopicMsgTransParam("h13_answer", elsewhere), -1);
        EXPECT_EQ(handOver(pub, sub, "h13_answer"), -1);
        ASSERT_EQ(sub.getTopicMsgTransParam("h13_answer", &stored), 0);
        EXPECT_EQ(stored.m_tcpParam.m_iPort, advertised.m_tcpParam.m_iPort);
        EXPECT_TRUE(sub.getTransport("h13_answer")->isConnect());
        EXPECT_TRUE(reader->isConnect());
        // No state, no answer.
        EXPECT_EQ(sub.setTopicMsgTransParam("h13_unknown", stored), -1);
        EXPECT_EQ(sub.getTopicMsgTransParam("h13_unknown", &stored), -1);

        EXPECT_EQ(sub.deleteDataReader(reader), 0);
        EXPECT_EQ(pub.deleteDataWriter(writer), 0);
        EXPECT_EQ(sub.getTransport("h13_answer"), nullptr);
        EXPECT_EQ(pub.getTransport("h13_answer"), nullptr);
    }
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
    EXPECT_EQ(other->deleteTopic(writing), 0);
}

TEST_F(SubscriberImplNsTest, RefusedEndpointLeavesTheTopicWaiting)
{
    CTopic* topic = m_participant->createTopic("h13_refused", nullptr);
    CSubscriberImpl sub(m_participant.get());
    CDataReader* reader = createReader(sub, topic);
    ASSERT_NE(reader, nullptr);

    // The control channel takes only TCP endpoints.
    TransParam_t bad = pubsub::controlEndpoint("127.0.0.1", 53150);
    bad.m_iType = TRANS_TYPE_UDP;
    EXPECT_EQ(sub.setTopicMsgTransParam("h13_refused", bad), -1);
    EXPECT_EQ(sub.getTopicState("h13_refused"), TOPIC_STATE_UNSUBSCRIBED);
    TransParam_t stored;
    EXPECT_EQ(sub.getTopicMsgTransParam("h13_refused", &stored), -1);
    std::vector<std::string> waiting;
    EXPECT_EQ(sub.getUnsubscribedTopic(waiting), 1);

    EXPECT_EQ(sub.deleteDataReader(reader), 0);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

// The writer's publisher is not registered with the participant, so the participant's own
// discovery has no answer for the topic and the test's hand-over is the only one.
TEST_F(SubscriberImplNsTest, LastReaderTakesTheReadingSideAlongWhileAWriterRemains)
{
    CTopic* topic = m_participant->createTopic("h13_rleft", nullptr);
    ASSERT_NE(topic, nullptr);
    auto pub = std::make_unique<CPublisherImpl>(m_participant.get());
    CSubscriber* sub = m_participant->createSubscriber();
    CDataWriter* writer = pub->createDataWriter(topic);
    ASSERT_NE(writer, nullptr);
    TransParam_t endpoint;
    ASSERT_EQ(pub->getTopicMsgTransParam("h13_rleft", &endpoint), 0);
    const int threads = zqtest::baselineThreads();
    const int fds = zqtest::countOpenFds();
    zqtest::OutputCapture quiet;
    CDataReader* reader = sub->createDataReader(topic, 4);
    quiet.stop();
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(m_participant->setSubTopicMsgTransParam("h13_rleft", endpoint), 0);
    ASSERT_TRUE(zqtest::waitUntil([&] { return reader->isConnect() && writer->isConnect(); }, 10000));

    // Not the topic's last user (the writer remains), yet the subscriber's last reader of it: the
    // reading side goes at once, its control thread and sockets too, and the writing side sees
    // its only reader go.
    EXPECT_EQ(sub->deleteDataReader(reader), 0);
    _DdsInfo_t info{};
    EXPECT_EQ(m_participant->getDdsInfo("h13_rleft", DDS_INFO_SUB, info), -1);
    std::vector<std::string> waiting;
    EXPECT_EQ(m_participant->getUnsubscribedTopic(waiting), 0);
    EXPECT_EQ(topic->getTopicDescImpl()->getReference(), 1);
    EXPECT_TRUE(zqtest::waitUntil([&] { return !writer->isConnect(); }, 10000));
    EXPECT_EQ(m_participant->deleteSubscriber(sub), 0);
    EXPECT_EQ(pub->deleteDataWriter(writer), 0);
    EXPECT_EQ(pub->getTransport("h13_rleft"), nullptr);
    EXPECT_EQ(zqtest::threadsSettleAt(threads, 10000), threads);
    EXPECT_TRUE(zqtest::waitUntil([&] { return zqtest::countOpenFds() <= fds; }, 10000));
    pub.reset();
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

TEST_F(SubscriberImplNsTest, EachSubscribersSideGoesWithItsOwnLastReader)
{
    CTopic* topic = m_participant->createTopic("h13_rsweep", nullptr);
    CSubscriber* s1 = m_participant->createSubscriber();
    CSubscriber* s2 = m_participant->createSubscriber();
    zqtest::OutputCapture quiet;
    CDataReader* r1 = s1->createDataReader(topic, 4);
    CDataReader* r2 = s2->createDataReader(topic, 4);
    ASSERT_NE(r1, nullptr);
    ASSERT_NE(r2, nullptr);
    std::vector<std::string> waiting;
    EXPECT_EQ(m_participant->getUnsubscribedTopic(waiting), 2);
    EXPECT_EQ(s1->deleteDataReader(r1), 0);
    waiting.clear();
    EXPECT_EQ(m_participant->getUnsubscribedTopic(waiting), 1);
    EXPECT_EQ(s2->deleteDataReader(r2), 0);
    quiet.stop();
    waiting.clear();
    EXPECT_EQ(m_participant->getUnsubscribedTopic(waiting), 0);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
    EXPECT_EQ(m_participant->deleteSubscriber(s1), 0);
    EXPECT_EQ(m_participant->deleteSubscriber(s2), 0);
}

TEST_F(SubscriberImplNsTest, ReaderOfAnotherSubscriberIsLeftAlone)
{
    CTopic* topic = m_participant->createTopic("h13_rother", nullptr);
    CSubscriberImpl a(m_participant.get());
    CSubscriberImpl b(m_participant.get());
    CDataReader* ra = createReader(a, topic);
    CDataReader* rb = createReader(b, topic);
    ASSERT_NE(ra, nullptr);
    ASSERT_NE(rb, nullptr);
    EXPECT_EQ(a.deleteDataReader(rb), 0);
    EXPECT_EQ(topic->getTopicDescImpl()->getReference(), 2);
    EXPECT_TRUE(b.isTopicExist("h13_rother"));
    EXPECT_EQ(a.deleteDataReader(ra), 0);
    EXPECT_EQ(b.deleteDataReader(rb), 0);
    a.dropTopicLeftover("h13_rother");
    EXPECT_EQ(a.getTransport("h13_rother"), nullptr);
    EXPECT_EQ(b.getTransport("h13_rother"), nullptr);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

// As above, the writer is in a participant of another domain, so only the test's hand-overs
// reach the reading side's participant, which routes each to the first subscriber (by handle
// order) that has the topic.
TEST_F(SubscriberImplNsTest, OnlyTheFirstSubscriberWithTheTopicTakesAnswers)
{
    auto other = start(533, 53150, 5330, 0x5330);
    CTopic* writing = other->createTopic("h13_first", nullptr);
    CPublisher* pub = other->createPublisher();
    CDataWriter* writer = pub->createDataWriter(writing);
    ASSERT_NE(writer, nullptr);
    CTopic* topic = m_participant->createTopic("h13_first", nullptr);
    CSubscriber* s1 = m_participant->createSubscriber();
    CSubscriber* s2 = m_participant->createSubscriber();
    zqtest::OutputCapture quiet;
    CDataReader* r1 = s1->createDataReader(topic, 4);
    CDataReader* r2 = s2->createDataReader(topic, 4);
    quiet.stop();
    ASSERT_NE(r1, nullptr);
    ASSERT_NE(r2, nullptr);
    std::vector<std::string> waiting;
    EXPECT_EQ(m_participant->getUnsubscribedTopic(waiting), 2);

    TransParam_t param;
    memset(&param, 0, sizeof(param));
    ASSERT_EQ(other->getPubTopicMsgTransParam("h13_first", &param), 0);
    EXPECT_EQ(m_participant->setSubTopicMsgTransParam("h13_first", param), 0);
    CDataReader* first = s1 < s2 ? r1 : r2;
    CDataReader* second = s1 < s2 ? r2 : r1;
    ASSERT_TRUE(zqtest::waitUntil([&] { return first->isConnect(); }, 10000));
    // The next answer goes to the same subscriber again, which is subscribed: the other one's
    // topic keeps waiting, is announced, and its reader never connects.
    EXPECT_EQ(m_participant->setSubTopicMsgTransParam("h13_first", param), -1);
    waiting.clear();
    EXPECT_EQ(m_participant->getUnsubscribedTopic(waiting), 1);
    EXPECT_FALSE(second->isConnect());
    _DdsInfo_t info{};
    EXPECT_EQ(m_participant->getDdsInfo("h13_first", DDS_INFO_SUB, info), 0);
    EXPECT_EQ(info.m_iTopicState, TOPIC_STATE_SUBSCRIBED);

    EXPECT_EQ(s1->deleteDataReader(r1), 0);
    EXPECT_EQ(s2->deleteDataReader(r2), 0);
    EXPECT_EQ(m_participant->deleteSubscriber(s1), 0);
    EXPECT_EQ(m_participant->deleteSubscriber(s2), 0);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
    EXPECT_EQ(pub->deleteDataWriter(writer), 0);
    EXPECT_EQ(other->deletePublisher(pub), 0);
    EXPECT_EQ(other->deleteTopic(writing), 0);
}

// A reader made while the topic's last reader here is deleted: whichever goes first, the new
// reader ends up on a live reading side of its own (never on one being destroyed), and no
// registration of the old side can take another reader's away. The writer is in a participant
// of another domain, so that the deleted reader really is the topic's last user here.
TEST_F(SubscriberImplNsTest, ReaderMadeWhileTheLastOneGoesGetsALiveReadingSide)
{
    auto other = start(533, 53150, 5330, 0x5330);
    CTopic* writing = other->createTopic("h13_churn", nullptr);
    CTopic* topic = m_participant->createTopic("h13_churn", nullptr);
    ASSERT_NE(writing, nullptr);
    ASSERT_NE(topic, nullptr);
    {
        CPublisherImpl pub(other.get());
        CSubscriberImpl sub(m_participant.get());
        CDataWriter* writer = pub.createDataWriter(writing);
        ASSERT_NE(writer, nullptr);
        CDataReader* current = createReader(sub, topic);
        ASSERT_NE(current, nullptr);
        const std::vector<uint8_t> message = pubsub::makeMessage(64, 1);
        auto delivers = [&](CDataReader* reader) {
            uint8_t buf[64];
            // Paced until one arrives: the writing side may still be taking the old reader's
            // channel down.
            return zqtest::waitUntil(
                [&] {
                    writer->write(const_cast<uint8_t*>(message.data()), 64);
                    return reader->read(buf, sizeof(buf), 100, nullptr) == 64 && pubsub::isMessage(buf, 64, 1);
                },
                10000);
        };
        zqtest::OutputCapture quiet;
        for (int round = 0; round < 12; ++round) {
            if (sub.getTopicState("h13_churn") == TOPIC_STATE_UNSUBSCRIBED) {
                ASSERT_EQ(handOver(pub, sub, "h13_churn"), 0) << "round " << round;
            }
            ASSERT_TRUE(zqtest::waitUntil([&] { return current->isConnect(); }, 10000)) << "round " << round;
            ASSERT_TRUE(delivers(current)) << "round " << round;

            CDataReader* next = nullptr;
            std::atomic<int> ready{0};
            std::thread creator([&] {
                ready.fetch_add(1);
                while (ready.load() < 2) {
                }
                next = sub.createDataReader(topic, 4);
            });
            std::thread deleter([&] {
                ready.fetch_add(1);
                while (ready.load() < 2) {
                }
                sub.deleteDataReader(current);
            });
            creator.join();
            deleter.join();
            ASSERT_NE(next, nullptr) << "round " << round;
            current = next;
            ASSERT_NE(sub.getTransport("h13_churn"), nullptr) << "round " << round;
            EXPECT_EQ(topic->getTopicDescImpl()->getReference(), 1) << "round " << round;
        }
        if (sub.getTopicState("h13_churn") == TOPIC_STATE_UNSUBSCRIBED) {
            ASSERT_EQ(handOver(pub, sub, "h13_churn"), 0);
        }
        ASSERT_TRUE(zqtest::waitUntil([&] { return current->isConnect(); }, 10000));
        ASSERT_TRUE(delivers(current));
        // A second reader on the surviving side: the two registrations are each its own.
        CDataReader* second = sub.createDataReader(topic, 4);
        ASSERT_NE(second, nullptr);
        EXPECT_TRUE(second->isConnect());
        EXPECT_EQ(sub.deleteDataReader(current), 0);
        EXPECT_TRUE(second->isConnect());
        EXPECT_TRUE(delivers(second));
        EXPECT_EQ(sub.deleteDataReader(second), 0);
        EXPECT_EQ(pub.deleteDataWriter(writer), 0);
        quiet.stop();
        EXPECT_EQ(sub.getTransport("h13_churn"), nullptr);
        EXPECT_EQ(sub.getTopicState("h13_churn"), -1);
        EXPECT_EQ(m_participant->getMemPool()->getUsedSize(), 0u);
    }
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
    EXPECT_EQ(other->deleteTopic(writing), 0);
}

TEST_F(SubscriberImplNsTest, UnknownTopicQueriesAndDeletes)
{
    CSubscriberImpl sub(m_participant.get());
    std::vector<int> fps{7};
    std::vector<ConnParam_t> conns;
    TransParam_t param;
    EXPECT_EQ(sub.getTopicMsgTransParam("h13_none", &param), -1);
    EXPECT_EQ(sub.getTopicDataTransParam("h13_none", &conns), -1);
    EXPECT_EQ(sub.getLostPkgCount("h13_none"), -1);
    EXPECT_EQ(sub.getFps("h13_none", fps), -1);
    EXPECT_EQ(fps, std::vector<int>{7});
    EXPECT_EQ(sub.registerDataCallBack("h13_none", [](int, DataPackage_t*) { return 0; }), -1);
    EXPECT_EQ(sub.registerEventCallBack("h13_none", [](int, int) {}), -1);
    EXPECT_EQ(sub.createDataFifo("h13_none", 1, 4), nullptr);
    EXPECT_EQ(sub.destroyDataFifo("h13_none", nullptr), -1);
    EXPECT_FALSE(sub.isConnect("h13_none"));
    zqtest::OutputCapture capture;
    EXPECT_EQ(sub.deleteTransport("h13_none"), -1);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), GREEN, "Can't find topic h13_none"));
}

} // namespace
