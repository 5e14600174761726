// A peer of the soak test: one participant with one writer or one reader of a topic, found by
// discovery. Every answer is one line that starts with "@@ ".
//   writer: answers "ready", then writes message after message (sizes from one to many
//           fragments, each carrying its sequence number) until stdin says "quit"
//   reader: answers "ready", checks every message it gets; "count" answers "count <good> <bad>"
// "quit" deletes everything, answers "pool <bytes in use>" and then "bye".
//
// Usage: zqh_soak_peer <writer|reader> <ethName> <topic> <plain|shm> <domain> <portBase> <unixBase> <keyBase>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "core/pubsub_support.h"
#include "soak/soak_support.h"
#include "zqdds/data_reader.h"
#include "zqdds/data_writer.h"
#include "zqdds/participant.h"
#include "zqdds/publisher.h"
#include "zqdds/subscriber.h"

namespace {

void say(const std::string& line)
{
    std::printf("@@ %s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 9) {
        std::fprintf(stderr,
                     "usage: %s <writer|reader> <ethName> <topic> <plain|shm> <domain> <portBase> <unixBase> "
                     "<keyBase>\n",
                     argv[0]);
        return 2;
    }
    const std::string role = argv[1];
    _DomainConfigParam_t param =
        soak::record(argv[2], std::atoi(argv[5]), std::atoi(argv[6]), std::atoi(argv[7]), std::atoi(argv[8]));
    auto* participant = new CParticipant(param);
    ShmConfig_t shm{};
    CTopic* topic = participant->createTopic(argv[3], std::string(argv[4]) == "shm" ? &shm : nullptr);
    CPublisher* publisher = nullptr;
    CSubscriber* subscriber = nullptr;
    CDataWriter* writer = nullptr;
    CDataReader* reader = nullptr;
    std::atomic<long> good{0};
    std::atomic<long> bad{0};
    if (role == "writer") {
        publisher = participant->createPublisher();
        writer = publisher != nullptr ? publisher->createDataWriter(topic) : nullptr;
    } else {
        subscriber = participant->createSubscriber();
        reader = subscriber != nullptr ? subscriber->createDataReader(topic, 4) : nullptr;
        if (reader != nullptr) {
            reader->registerUserDataCallBack([&](void* data, int len, _ExtraDataInfo_t*) {
                (soak::isSoakMessage(static_cast<const uint8_t*>(data), len) ? good : bad).fetch_add(1);
                return 0;
            });
        }
    }
    if (writer == nullptr && reader == nullptr) {
        say("bad setup");
        return 3;
    }
    say("ready");

    std::atomic<bool> stop{false};
    std::thread flow;
    if (writer != nullptr) {
        flow = std::thread([&] {
            std::vector<uint8_t> data;
            for (uint32_t seq = 1; !stop.load(); ++seq) {
                const int len = soak::messageLength(seq);
                data.resize(static_cast<size_t>(len));
                pubsub::fillPattern(data.data(), len, seq);
                writer->write(data.data(), len);
                // A steady stream, not a flood: the readers must keep up on every medium.
                struct timespec pace {
                    0, 2000000
                };
                nanosleep(&pace, nullptr);
            }
        });
    }

    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
        if (line == "count") {
            say("count " + std::to_string(good.load()) + " " + std::to_string(bad.load()));
        } else {
            say("bad command");
        }
    }
    stop = true;
    if (flow.joinable()) {
        flow.join();
    }
    CParticipantImpl* impl = pubsub::participantOf(topic);
    int rc = 0;
    if (writer != nullptr) {
        rc |= publisher->deleteDataWriter(writer) | participant->deletePublisher(publisher);
    } else {
        rc |= subscriber->deleteDataReader(reader) | participant->deleteSubscriber(subscriber);
    }
    rc |= participant->deleteTopic(topic);
    say("pool " + std::to_string(impl->getMemPool()->getUsedSize()));
    delete participant;
    say(rc == 0 ? "bye" : "bad teardown");
    return rc == 0 ? 0 : 4;
}
