// A writing process on a topic created with the default shared-memory layout: one participant on
// loopback with a publisher and one writer. Every answer is one line that starts with "@@ ". It
// answers "port <control port>", then serves stdin lines:
//   "connected"           wait until a reader's data channel is up; "connected" or "not-connected"
//   "write <seq> <len>"   write message <seq> of <len> bytes; "wrote <result of write>"
//   "quit"                delete everything; prints "bye"
//
// Usage: zqh_shm_pubsub_writer <domain> <portBase> <unixBase> <keyBase> <topic> [<numbers per pool>]
#include <sys/prctl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/pubsub_support.h"
#include "support/zqtest.h"
#include "zqdds/data_writer.h"
#include "zqdds/participant.h"
#include "zqdds/publisher.h"

namespace {

void say(const std::string& line)
{
    std::printf("@@ %s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: %s <domain> <portBase> <unixBase> <keyBase> <topic> [<count>]\n", argv[0]);
        return 2;
    }
    _DomainConfigParam_t param = pubsub::loRecord(std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]),
                                                  std::atoi(argv[4]), argc == 7 ? std::atoi(argv[6]) : 4);
    auto* participant = new CParticipant(param);
    ShmConfig_t config{};
    config.m_bUseUserLayout = false;
    CTopic* topic = participant->createTopic(argv[5], &config);
    CPublisher* publisher = participant->createPublisher();
    CDataWriter* writer = publisher ? publisher->createDataWriter(topic) : nullptr;
    TransParam_t control;
    std::memset(&control, 0, sizeof(control));
    if (writer == nullptr || pubsub::participantOf(topic)->getPubTopicMsgTransParam(argv[5], &control) != 0) {
        say("bad setup");
        return 3;
    }
    say("port " + std::to_string(control.m_tcpParam.m_iPort));

    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "connected") {
            say(zqtest::waitUntil([&] { return writer->isConnect(); }, 10000) ? "connected" : "not-connected");
        } else if (cmd == "write") {
            uint32_t seq = 0;
            int len = 0;
            in >> seq >> len;
            std::vector<uint8_t> data = pubsub::makeMessage(len, seq);
            say("wrote " + std::to_string(writer->write(data.data(), len)));
        } else {
            say("bad command");
        }
    }
    int rc =
        publisher->deleteDataWriter(writer) | participant->deletePublisher(publisher) | participant->deleteTopic(topic);
    delete participant;
    say(rc == 0 ? "bye" : "bad teardown");
    return rc == 0 ? 0 : 4;
}
