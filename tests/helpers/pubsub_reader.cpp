// A reading process: one participant on loopback with a subscriber and one reader of a topic.
// Every answer is one line that starts with "@@ ". It answers "ready", then serves stdin lines:
//   "endpoint <ip> <port>"       hand the writer's control endpoint over (as discovery would),
//                                 then "connected" once the data channel is up ("not-connected")
//   "expect <seq> <len> <mode>"  take the next message: the application callback must have seen
//                                 it, then by copy ("copy"), by loan ("loan") or only through the
//                                 callback ("callback", the queued copy is released unread);
//                                 prints "got <seq> <len> <timestamp>" or "bad <reason>"
//   "quit"                        delete everything; prints "pool <bytes in use>" and "bye"
//
// Usage: zqh_pubsub_reader <domain> <portBase> <unixBase> <keyBase> <topic> <depth>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "core/pubsub_support.h"
#include "support/zqtest.h"
#include "zqdds/data_reader.h"
#include "zqdds/participant.h"
#include "zqdds/subscriber.h"

namespace {

struct Seen {
    std::vector<uint8_t> data;
    uint64_t timeStamp;
};

std::mutex g_mtx;
std::condition_variable g_cv;
std::deque<Seen> g_seen;

void say(const std::string& line)
{
    std::printf("@@ %s\n", line.c_str());
    std::fflush(stdout);
}

bool takeSeen(Seen* out)
{
    std::unique_lock<std::mutex> lock(g_mtx);
    if (!g_cv.wait_for(lock, std::chrono::seconds(10), [] { return !g_seen.empty(); })) {
        return false;
    }
    *out = std::move(g_seen.front());
    g_seen.pop_front();
    return true;
}

std::string expect(CDataReader* reader, uint32_t seq, int len, const std::string& mode)
{
    Seen seen;
    if (!takeSeen(&seen)) {
        return "bad no-callback";
    }
    if (static_cast<int>(seen.data.size()) != len || !pubsub::isMessage(seen.data.data(), len, seq)) {
        return "bad callback-payload " + std::to_string(seen.data.size());
    }
    uint64_t ts = seen.timeStamp;
    if (mode == "copy") {
        std::vector<uint8_t> buf(static_cast<size_t>(len) + 1);
        _ExtraDataInfo_t info{0};
        int got = reader->read(buf.data(), len + 1, 10000, &info);
        if (got != len || !pubsub::isMessage(buf.data(), len, seq) || info.m_u64TimeStamp != ts) {
            return "bad copy " + std::to_string(got);
        }
    } else if (mode == "loan") {
        _ExtraDataInfo_t info{0};
        _DataBuffer_t* buf = reader->getDataBuffer(10000, &info);
        if (buf == nullptr) {
            return "bad loan-timeout";
        }
        bool ok = buf->m_iLen == len && buf->m_iSize >= len && pubsub::isMessage(buf->m_pData, len, seq) &&
                  buf->m_u64TimeStamp == ts && info.m_u64TimeStamp == ts;
        reader->releaseDataBuffer(buf);
        if (!ok) {
            return "bad loan";
        }
    } else {
        _DataBuffer_t* buf = reader->getDataBuffer(10000, nullptr);
        if (buf == nullptr) {
            return "bad callback-queue";
        }
        reader->releaseDataBuffer(buf);
    }
    return "got " + std::to_string(seq) + " " + std::to_string(len) + " " + std::to_string(ts);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s <domain> <portBase> <unixBase> <keyBase> <topic> <depth>\n", argv[0]);
        return 2;
    }
    _DomainConfigParam_t param =
        pubsub::loRecord(std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    auto* participant = new CParticipant(param);
    CTopic* topic = participant->createTopic(argv[5]);
    CSubscriber* subscriber = participant->createSubscriber();
    CDataReader* reader = subscriber ? subscriber->createDataReader(topic, std::atoi(argv[6])) : nullptr;
    if (reader == nullptr) {
        say("bad setup");
        return 3;
    }
    reader->registerUserDataCallBack([](void* data, int len, _ExtraDataInfo_t* info) {
        Seen seen;
        const auto* bytes = static_cast<const uint8_t*>(data);
        seen.data.assign(bytes, bytes + len);
        seen.timeStamp = info->m_u64TimeStamp;
        std::lock_guard<std::mutex> lock(g_mtx);
        g_seen.push_back(std::move(seen));
        g_cv.notify_all();
        return 0;
    });
    say("ready");

    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "endpoint") {
            std::string ip;
            int port = 0;
            in >> ip >> port;
            TransParam_t endpoint = pubsub::controlEndpoint(ip, port);
            pubsub::participantOf(topic)->setSubTopicMsgTransParam(argv[5], endpoint);
            say(zqtest::waitUntil([&] { return reader->isConnect(); }, 10000) ? "connected" : "not-connected");
        } else if (cmd == "expect") {
            uint32_t seq = 0;
            int len = 0;
            std::string mode;
            in >> seq >> len >> mode;
            say(expect(reader, seq, len, mode));
        } else {
            say("bad command");
        }
    }
    CParticipantImpl* impl = pubsub::participantOf(topic);
    int rc = subscriber->deleteDataReader(reader) | participant->deleteSubscriber(subscriber) |
             participant->deleteTopic(topic);
    say("pool " + std::to_string(impl->getMemPool()->getUsedSize()));
    delete participant;
    say(rc == 0 ? "bye" : "bad teardown");
    return rc == 0 ? 0 : 4;
}
