// The frame of the exit helper processes: a participant that the process leaves to the end of
// its life, used as an application would use it, with one topic left undeleted.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/pubsub_support.h"
#include "support/zqtest.h"
#include "zqdds/data_reader.h"
#include "zqdds/data_writer.h"
#include "zqdds/participant.h"
#include "zqdds/publisher.h"
#include "zqdds/subscriber.h"
#include "zqdds/topic.h"

namespace exitproc {

// <domain> <portBase> <unixBase> <keyBase>; false for another argument list.
inline bool parseRecord(int argc, char** argv, _DomainConfigParam_t* param)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s <domain> <portBase> <unixBase> <keyBase>\n", argv[0]);
        return false;
    }
    *param = pubsub::loRecord(std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]),
                              static_cast<int>(std::strtol(argv[4], nullptr, 0)));
    return true;
}

// A writer and a reader of a topic exchange a message and go, with their publisher and
// subscriber; the topic stays. Prints "@@ used" or "@@ bad <reason>"; true when used.
inline bool use(CParticipant& participant)
{
    auto say = [](const std::string& line) {
        std::printf("@@ %s\n", line.c_str());
        std::fflush(stdout);
    };
    CTopic* topic = participant.createTopic("h16_exit", nullptr);
    CPublisher* pub = participant.createPublisher();
    CSubscriber* sub = participant.createSubscriber();
    if (topic == nullptr || pub == nullptr || sub == nullptr) {
        say("bad create");
        return false;
    }
    CDataWriter* writer = pub->createDataWriter(topic);
    CDataReader* reader = sub->createDataReader(topic, 8);
    if (writer == nullptr || reader == nullptr) {
        say("bad create");
        return false;
    }
    CParticipantImpl* impl = pubsub::participantOf(topic);
    pubsub::handOver(impl, impl, "h16_exit");
    const std::vector<uint8_t> message = pubsub::makeMessage(64, 3);
    uint8_t buf[64];
    bool received = zqtest::waitUntil(
        [&] {
            writer->write(const_cast<uint8_t*>(message.data()), 64);
            return reader->read(buf, sizeof(buf), 100, nullptr) == 64 && pubsub::isMessage(buf, 64, 3);
        },
        20000);
    sub->deleteDataReader(reader);
    pub->deleteDataWriter(writer);
    participant.deletePublisher(pub);
    participant.deleteSubscriber(sub);
    say(received ? "used" : "bad no-message");
    return received;
}

} // namespace exitproc
