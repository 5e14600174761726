// A writer and a reader of one topic in one participant, with the reading side given the
// writing side's endpoint as a discovery answer would give it. Shared by the writer and reader
// tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
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

class ChannelNsTest : public zqtest::NsTest {
protected:
    // Ports, indices and keys of the file that uses the fixture.
    virtual int domain() const = 0;
    virtual int portBase() const = 0;
    virtual int unixBase() const = 0;
    virtual int keyBase() const = 0;

    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        zqtest::OutputCapture quiet;
        _DomainConfigParam_t param = pubsub::loRecord(domain(), portBase(), unixBase(), keyBase());
        m_participant = std::make_unique<CParticipantImpl>(nullptr, param);
        ASSERT_TRUE(m_participant->isInitialized());
        m_pub = std::make_unique<CPublisherImpl>(m_participant.get());
        m_sub = std::make_unique<CSubscriberImpl>(m_participant.get());
    }

    void TearDown() override
    {
        zqtest::OutputCapture quiet;
        for (CDataReader* reader : m_readers) {
            m_sub->deleteDataReader(reader);
        }
        if (m_writer != nullptr) {
            m_pub->deleteDataWriter(m_writer);
        }
        if (m_topic != nullptr) {
            m_pub->dropTopicLeftover(m_topicName);
            m_sub->dropTopicLeftover(m_topicName);
            m_participant->deleteTopic(m_topic);
        }
        m_pub.reset();
        m_sub.reset();
        m_participant.reset();
    }

    // Topic, writer and a first reader; the channel is up when it returns true.
    bool open(const std::string& name, int depth = 8, ShmConfig_t* config = nullptr)
    {
        m_topicName = name;
        m_topic = m_participant->createTopic(name, config);
        if (m_topic == nullptr) {
            return false;
        }
        m_writer = m_pub->createDataWriter(m_topic);
        return m_writer != nullptr && addReader(depth) != nullptr && connect();
    }

    CDataReader* addReader(int depth)
    {
        zqtest::OutputCapture quiet;
        CDataReader* reader = m_sub->createDataReader(m_topic, depth);
        if (reader != nullptr) {
            m_readers.push_back(reader);
        }
        return reader;
    }

    bool connect()
    {
        // After a reset the topic waits again only once the reset has finished.
        if (!zqtest::waitUntil([&] { return m_sub->getTopicState(m_topicName) == TOPIC_STATE_UNSUBSCRIBED; }, 10000)) {
            return false;
        }
        TransParam_t param;
        memset(&param, 0, sizeof(param));
        if (m_pub->getTopicMsgTransParam(m_topicName, &param) != 0) {
            return false;
        }
        zqtest::OutputCapture quiet;
        m_sub->setTopicMsgTransParam(m_topicName, param);
        return zqtest::waitUntil([&] { return m_readers.front()->isConnect() && m_writer->isConnect(); }, 10000);
    }

    void removeReader(CDataReader* reader)
    {
        zqtest::OutputCapture quiet;
        EXPECT_EQ(m_sub->deleteDataReader(reader), 0);
        for (auto it = m_readers.begin(); it != m_readers.end(); ++it) {
            if (*it == reader) {
                m_readers.erase(it);
                break;
            }
        }
    }

    // Takes the writing side down (writer and its transport): the reading side resets.
    void closeWritingSide()
    {
        zqtest::OutputCapture quiet;
        m_pub->deleteDataWriter(m_writer);
        m_writer = nullptr;
        m_pub->dropTopicLeftover(m_topicName);
    }

    // Writes message `seq` of `len` bytes; the time window of the write in *before / *after.
    int writeMessage(int len, uint32_t seq, uint64_t* before = nullptr, uint64_t* after = nullptr)
    {
        std::vector<uint8_t> data = pubsub::makeMessage(len, seq);
        uint8_t dummy = 0;
        if (before) {
            *before = static_cast<uint64_t>(getSysTimeUs());
        }
        int ret = m_writer->write(data.empty() ? &dummy : data.data(), len);
        if (after) {
            *after = static_cast<uint64_t>(getSysTimeUs());
        }
        return ret;
    }

    uint32_t poolInUse() const { return m_participant->getMemPool()->getUsedSize(); }
    // The sending thread gives its reference back after the reader may have had the message.
    bool poolDrained()
    {
        return zqtest::waitUntil([&] { return poolInUse() == 0u; }, 10000);
    }

    std::unique_ptr<CParticipantImpl> m_participant;
    std::unique_ptr<CPublisherImpl> m_pub;
    std::unique_ptr<CSubscriberImpl> m_sub;
    std::string m_topicName;
    CTopic* m_topic{nullptr};
    CDataWriter* m_writer{nullptr};
    std::vector<CDataReader*> m_readers;
};
