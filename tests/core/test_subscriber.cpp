// The subscriber handle: readers through the public API, the reading side's status figures,
// deletions while a data callback asks for status, and a new reader after another subscriber's
// last one went.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "core/pubsub_public_fixture.h"

namespace {

// Scheduler state of a thread of this process ('S' while it sleeps, on a lock for instance).
char threadState(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() ? line[end + 2] : '?';
}

// Runs `body` on a thread of its own. A body that has not ended by the deadline is deadlocked:
// its threads can never be joined, so the process reports the failure and ends at once.
void runWithWatchdog(const std::string& what, const std::function<void()>& body, int deadlineMs)
{
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread worker([&] {
        body();
        done.set_value();
    });
    if (finished.wait_for(std::chrono::milliseconds(deadlineMs)) != std::future_status::ready) {
        std::fprintf(stderr, "FAILED: %s has not ended after %d ms: deadlock\n", what.c_str(), deadlineMs);
        std::fflush(stderr);
        std::_Exit(1);
    }
    worker.join();
}

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

// A reader's data callback asks for the topic's reading-side status while another thread
// deletes a reader of the same subscriber: another reader, or the very one whose callback runs.
// The deletion waits for the running callback; the callback's query must not wait for the
// deletion.
TEST_F(SubscriberNsTest, DeletingAReaderWhileADataCallbackAsksForStatusEnds)
{
    struct Case {
        const char* topic;
        bool deleteOwnReader;
    };
    const Case cases[] = {{"h16_cb_other", false}, {"h16_cb_own", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.topic);
        CTopic* topic = nullptr;
        CPublisher* pub = nullptr;
        CSubscriber* sub = nullptr;
        CDataWriter* writer = nullptr;
        CDataReader* queried = nullptr;
        ASSERT_TRUE(connectPair(c.topic, &topic, &pub, &sub, &writer, &queried));
        zqtest::OutputCapture quiet;
        CDataReader* other = sub->createDataReader(topic, 8);
        quiet.stop();
        ASSERT_NE(other, nullptr);
        ASSERT_TRUE(zqtest::waitUntil([&] { return other->isConnect(); }, 10000));

        const std::string name = c.topic;
        CDataReader* victim = c.deleteOwnReader ? queried : other;
        std::atomic<bool> armed{true};
        std::promise<void> entered;
        std::shared_future<void> inCallback = entered.get_future().share();
        std::atomic<pid_t> deleterTid{0};
        std::atomic<int> queryResult{-2};
        std::atomic<int> topicState{-2};
        queried->registerUserDataCallBack([&](void*, int, _ExtraDataInfo_t*) {
            if (!armed.exchange(false)) {
                return 0;
            }
            entered.set_value();
            // Once the deleting thread sleeps, it waits for this callback with whatever it holds.
            zqtest::waitUntil(
                [&] {
                    pid_t tid = deleterTid.load();
                    return tid != 0 && threadState(tid) == 'S';
                },
                5000);
            _DdsInfo_t info{};
            queryResult = m_participant->getDdsInfo(name, DDS_INFO_SUB, info);
            topicState = info.m_iTopicState;
            return 0;
        });

        int deleted = -2;
        runWithWatchdog(
            name + ": reader deletion during a status query",
            [&] {
                std::thread deleter([&] {
                    inCallback.wait();
                    deleterTid = static_cast<pid_t>(syscall(SYS_gettid));
                    deleted = sub->deleteDataReader(victim);
                });
                const std::vector<uint8_t> message = pubsub::makeMessage(32, 1);
                // Paced until the callback runs once.
                while (inCallback.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
                    writer->write(const_cast<uint8_t*>(message.data()), 32);
                }
                deleter.join();
            },
            60000);
        EXPECT_EQ(deleted, 0);
        EXPECT_EQ(queryResult.load(), 0);
        EXPECT_EQ(topicState.load(), TOPIC_STATE_SUBSCRIBED);

        zqtest::OutputCapture quietEnd;
        EXPECT_EQ(sub->deleteDataReader(c.deleteOwnReader ? other : queried), 0);
        EXPECT_EQ(pub->deleteDataWriter(writer), 0);
        EXPECT_EQ(m_participant->deletePublisher(pub), 0);
        EXPECT_EQ(m_participant->deleteSubscriber(sub), 0);
        EXPECT_EQ(m_participant->deleteTopic(topic), 0);
    }
}

// A subscriber's last reader of a topic takes its reading side along although a writer of the
// topic remains in the participant, so that a reader of another subscriber gets the answers,
// connects and receives.
TEST_F(SubscriberNsTest, NewReaderOfAnotherSubscriberConnectsAfterTheLastReaderOfTheFirstWent)
{
    CTopic* topic = nullptr;
    CPublisher* pub = nullptr;
    CSubscriber* s1 = nullptr;
    CDataWriter* writer = nullptr;
    CDataReader* r1 = nullptr;
    ASSERT_TRUE(connectPair("h16_sub_leftover", &topic, &pub, &s1, &writer, &r1));
    zqtest::OutputCapture quiet;
    EXPECT_EQ(s1->deleteDataReader(r1), 0);
    CSubscriber* s2 = m_participant->createSubscriber();
    ASSERT_NE(s2, nullptr);
    CDataReader* r2 = s2->createDataReader(topic, 8);
    ASSERT_NE(r2, nullptr);

    const std::vector<uint8_t> message = pubsub::makeMessage(64, 7);
    uint8_t buf[64];
    // Paced until one arrives: discovery announces the new reader's topic once a period.
    bool received = zqtest::waitUntil(
        [&] {
            writer->write(const_cast<uint8_t*>(message.data()), 64);
            return r2->read(buf, sizeof(buf), 100, nullptr) == 64 && pubsub::isMessage(buf, 64, 7);
        },
        30000);
    quiet.stop();
    EXPECT_TRUE(received);
    EXPECT_TRUE(r2->isConnect());

    zqtest::OutputCapture quietEnd;
    EXPECT_EQ(s2->deleteDataReader(r2), 0);
    EXPECT_EQ(pub->deleteDataWriter(writer), 0);
    EXPECT_EQ(m_participant->deletePublisher(pub), 0);
    EXPECT_EQ(m_participant->deleteSubscriber(s1), 0);
    EXPECT_EQ(m_participant->deleteSubscriber(s2), 0);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

} // namespace
