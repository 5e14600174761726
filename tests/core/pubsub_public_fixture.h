// A participant on loopback through the public API, for the handle tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "core/pubsub_support.h"
#include "support/zqtest.h"
#include "zqdds/data_reader.h"
#include "zqdds/data_writer.h"
#include "zqdds/participant.h"
#include "zqdds/publisher.h"
#include "zqdds/subscriber.h"
#include "zqdds/topic.h"

class PublicNsTest : public zqtest::NsTest {
protected:
    virtual _DomainConfigParam_t record() const = 0;

    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        zqtest::OutputCapture quiet;
        _DomainConfigParam_t param = record();
        m_participant = std::make_unique<CParticipant>(param);
    }

    void TearDown() override
    {
        zqtest::OutputCapture quiet;
        m_participant.reset();
    }

    // Writer and reader of `name` in this participant with the channel up.
    bool connectPair(const std::string& name, CTopic** topic, CPublisher** pub, CSubscriber** sub, CDataWriter** writer,
                     CDataReader** reader)
    {
        zqtest::OutputCapture quiet;
        *topic = m_participant->createTopic(name, nullptr);
        *pub = m_participant->createPublisher();
        *sub = m_participant->createSubscriber();
        if (*topic == nullptr || *pub == nullptr || *sub == nullptr) {
            return false;
        }
        *writer = (*pub)->createDataWriter(*topic);
        *reader = (*sub)->createDataReader(*topic, 8);
        if (*writer == nullptr || *reader == nullptr) {
            return false;
        }
        CParticipantImpl* impl = pubsub::participantOf(*topic);
        pubsub::handOver(impl, impl, name);
        CDataWriter* w = *writer;
        CDataReader* r = *reader;
        return zqtest::waitUntil([&] { return r->isConnect() && w->isConnect(); }, 10000);
    }

    std::unique_ptr<CParticipant> m_participant;
};
