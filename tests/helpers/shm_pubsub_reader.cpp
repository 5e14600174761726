// A reading process for a topic that the writing side delivers through shared memory: one
// participant on loopback with a subscriber and one reader. Every answer is one line that starts
// with "@@ ". It answers "ready", then serves stdin lines:
//   "endpoint <ip> <port>"       hand the writer's control endpoint over (as discovery would),
//                                 then "connected" once the data channel is up ("not-connected")
//   "seen <n>"                   wait until the application callback has seen n messages in all;
//                                 prints "seen <count>"
//   "expect <seq> <len> <mode>"  take the next message by copy ("copy") or by loan ("loan"); the
//                                 callback must have seen it, and the bytes it was handed must lie
//                                 in a System V segment; a loan must be that very memory. Prints
//                                 "got <seq> <len> <segment key> <offset in segment>", or
//                                 "bad <reason>"
//   "quit"                        delete everything; prints "pool <bytes in use>" and "bye"
//
// Usage: zqh_shm_pubsub_reader <domain> <portBase> <unixBase> <keyBase> <topic> <depth>
#include <sys/prctl.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "core/pubsub_support.h"
#include "core/shm_maps.h"
#include "support/zqtest.h"
#include "zqdds/data_reader.h"
#include "zqdds/participant.h"
#include "zqdds/subscriber.h"

namespace {

// What the callback was handed; the bytes stay in place while the reader's queue holds them.
struct Seen {
    const uint8_t* data;
    int len;
    uint64_t timeStamp;
};

std::mutex g_mtx;
std::condition_variable g_cv;
std::deque<Seen> g_seen;
size_t g_seenTotal = 0;

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
    *out = g_seen.front();
    g_seen.pop_front();
    return true;
}

size_t waitSeen(size_t n)
{
    std::unique_lock<std::mutex> lock(g_mtx);
    g_cv.wait_for(lock, std::chrono::seconds(10), [n] { return g_seenTotal >= n; });
    return g_seenTotal;
}

std::string hex(unsigned v)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%#x", v);
    return text;
}

std::string expect(CDataReader* reader, uint32_t seq, int len, const std::string& mode)
{
    Seen seen{};
    if (!takeSeen(&seen)) {
        return "bad no-callback";
    }
    if (seen.len != len) {
        return "bad callback-length " + std::to_string(seen.len);
    }
    // Where the library handed the payload: in a segment, not in a buffer of this process.
    shmmaps::Where where = shmmaps::locate(seen.data);
    if (!where.found) {
        return "bad not-in-a-segment";
    }
    if (mode == "copy") {
        std::vector<uint8_t> buf(static_cast<size_t>(len) + 1);
        _ExtraDataInfo_t info{0};
        int got = reader->read(buf.data(), len + 1, 10000, &info);
        if (got != len || !pubsub::isMessage(buf.data(), len, seq) || info.m_u64TimeStamp != seen.timeStamp) {
            return "bad copy " + std::to_string(got);
        }
    } else {
        _ExtraDataInfo_t info{0};
        _DataBuffer_t* buf = reader->getDataBuffer(10000, &info);
        if (buf == nullptr) {
            return "bad loan-timeout";
        }
        // The lent bytes are the ones the callback saw, read where the writer wrote them.
        bool ok = buf->m_pData == seen.data && buf->m_iLen == len && buf->m_iSize >= len &&
                  pubsub::isMessage(buf->m_pData, len, seq) && info.m_u64TimeStamp == seen.timeStamp;
        reader->releaseDataBuffer(buf);
        if (!ok) {
            return "bad loan";
        }
    }
    return "got " + std::to_string(seq) + " " + std::to_string(len) + " " + hex(where.key) + " " +
           std::to_string(where.offset);
}

} // namespace

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
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
        std::lock_guard<std::mutex> lock(g_mtx);
        g_seen.push_back(Seen{static_cast<const uint8_t*>(data), len, info->m_u64TimeStamp});
        ++g_seenTotal;
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
        } else if (cmd == "seen") {
            size_t n = 0;
            in >> n;
            say("seen " + std::to_string(waitSeen(n)));
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
