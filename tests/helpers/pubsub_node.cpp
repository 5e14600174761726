// A participant process that writes or reads one topic, connected by discovery alone. Every answer
// is one line that starts with "@@ ". It answers "ready" once its writer or reader exists, then
// serves stdin lines:
//   "connect"             "connected" once its side of the data channel is up (within 20 s),
//                         else "not-connected"
//   "send <seq> <len>"    (writer) publishes message <seq> of <len> bytes: "sent <seq>" or "bad write"
//   "expect <seq> <len>"  (reader) takes the next message by copy: "got <seq> <len> <time stamp>"
//                         or "bad <reason>"
//   "info"                getDdsInfo of its side: "info <control port> <clients> <state> <lost>"
//                         followed by "<type>:<port>" per data channel
//   "quit"                deletes everything: "bye" (or "bad teardown")
//
// Usage: zqh_pubsub_node <writer|reader> <interface> <domain> <group> <group port> <port base>
//                        <unix base> <topic>
#include <sys/prctl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/pubsub_support.h"
#include "support/zqtest.h"
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

std::string info(CParticipant& participant, const std::string& topic, int kind)
{
    _DdsInfo_t record{};
    record.m_iMsgChnPort = -1;
    record.m_iClientCount = -1;
    record.m_iTopicState = -1;
    record.m_i64LostPkgCount = -1;
    if (participant.getDdsInfo(topic, kind, record) != 0) {
        return "bad info";
    }
    std::string line = "info " + std::to_string(record.m_iMsgChnPort) + " " + std::to_string(record.m_iClientCount) +
                       " " + std::to_string(record.m_iTopicState) + " " + std::to_string(record.m_i64LostPkgCount);
    for (const _DataTransChnInfo_t& chn : record.m_vecDataChnInfo) {
        line += " " + std::to_string(chn.m_iTransType) + ":" + std::to_string(chn.m_iPort);
    }
    return line;
}

} // namespace

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 9 || (std::string(argv[1]) != "writer" && std::string(argv[1]) != "reader")) {
        std::fprintf(stderr,
                     "usage: %s <writer|reader> <interface> <domain> <group> <group port> <port base> <unix base> "
                     "<topic>\n",
                     argv[0]);
        return 2;
    }
    const bool writing = std::string(argv[1]) == "writer";
    const std::string topicName = argv[8];
    _DomainConfigParam_t param = pubsub::loRecord(std::atoi(argv[3]), std::atoi(argv[6]), std::atoi(argv[7]), 0, 4);
    param.m_strEthName = argv[2];
    param.m_strMulticastIp = argv[4];
    param.m_iMulticastPort = std::atoi(argv[5]);
    param.m_vecShmKeys.clear();

    auto* participant = new CParticipant(param);
    CTopic* topic = participant->createTopic(topicName);
    CPublisher* publisher = nullptr;
    CSubscriber* subscriber = nullptr;
    CDataWriter* writer = nullptr;
    CDataReader* reader = nullptr;
    if (writing) {
        publisher = participant->createPublisher();
        writer = publisher != nullptr ? publisher->createDataWriter(topic) : nullptr;
    } else {
        subscriber = participant->createSubscriber();
        reader = subscriber != nullptr ? subscriber->createDataReader(topic, 8) : nullptr;
    }
    if (writer == nullptr && reader == nullptr) {
        say("bad setup");
        return 3;
    }
    say("ready");

    std::vector<uint8_t> buf(2 * 1024 * 1024);
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
        std::istringstream in(line);
        std::string cmd;
        uint32_t seq = 0;
        int len = 0;
        in >> cmd >> seq >> len;
        if (cmd == "connect") {
            bool up = zqtest::waitUntil([&] { return writing ? writer->isConnect() : reader->isConnect(); }, 20000);
            say(up ? "connected" : "not-connected");
        } else if (cmd == "send" && writing && len > 0 && len <= static_cast<int>(buf.size())) {
            pubsub::fillPattern(buf.data(), len, seq);
            say(writer->write(buf.data(), len) == len ? "sent " + std::to_string(seq) : "bad write");
        } else if (cmd == "expect" && !writing) {
            _ExtraDataInfo_t extra{0};
            int got = reader->read(buf.data(), static_cast<int>(buf.size()), 10000, &extra);
            if (got < 0) {
                say("bad timeout");
            } else if (got != len || !pubsub::isMessage(buf.data(), got, seq)) {
                uint32_t head = 0;
                std::memcpy(&head, buf.data(), got >= 4 ? 4 : 0);
                say("bad payload " + std::to_string(got) + " " + std::to_string(head));
            } else {
                say("got " + std::to_string(seq) + " " + std::to_string(got) + " " +
                    std::to_string(extra.m_u64TimeStamp));
            }
        } else if (cmd == "info") {
            say(info(*participant, topicName, writing ? DDS_INFO_PUB : DDS_INFO_SUB));
        } else {
            say("bad command");
        }
    }
    int rc = 0;
    if (writing) {
        rc = publisher->deleteDataWriter(writer) | participant->deletePublisher(publisher);
    } else {
        rc = subscriber->deleteDataReader(reader) | participant->deleteSubscriber(subscriber);
    }
    rc |= participant->deleteTopic(topic);
    delete participant;
    say(rc == 0 ? "bye" : "bad teardown");
    return rc == 0 ? 0 : 4;
}
