// The frame of the reading helper processes: the "@@ " answer lines, the queue of what the
// application callback was handed, and a reader on loopback that serves commands from stdin.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "core/pubsub_support.h"
#include "support/zqtest.h"
#include "zqdds/data_reader.h"
#include "zqdds/participant.h"
#include "zqdds/subscriber.h"

namespace readerproc {

inline void say(const std::string& line)
{
    std::printf("@@ %s\n", line.c_str());
    std::fflush(stdout);
}

// Filled by the callback thread, taken in order by the command loop.
template <typename Seen> class SeenQueue {
public:
    void push(Seen seen)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_seen.push_back(std::move(seen));
        ++m_total;
        m_cv.notify_all();
    }
    bool take(Seen* out)
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        if (!m_cv.wait_for(lock, std::chrono::seconds(10), [this] { return !m_seen.empty(); })) {
            return false;
        }
        *out = std::move(m_seen.front());
        m_seen.pop_front();
        return true;
    }
    // Forgets what was seen and not taken.
    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_seen.clear();
    }
    // Waits until n have been pushed in all; returns how many were.
    size_t waitTotal(size_t n)
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        m_cv.wait_for(lock, std::chrono::seconds(10), [this, n] { return m_total >= n; });
        return m_total;
    }

private:
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::deque<Seen> m_seen;
    size_t m_total{0};
};

// Answers one command line other than "endpoint"; an empty answer means an unknown command.
using Command = std::function<std::string(CDataReader* reader, const std::string& cmd, std::istringstream& in)>;

// The whole reading process: <domain> <portBase> <unixBase> <keyBase> <topic> <depth> [<interface>,
// loopback when not given] on the command line; answers "ready", serves "endpoint <ip> <port>" and `command` until
// "quit", then deletes everything and prints "pool <bytes in use>" and "bye".
inline int serve(int argc, char** argv, UserDataCallBack_t onData, const Command& command)
{
    if (argc != 7 && argc != 8) {
        std::fprintf(stderr, "usage: %s <domain> <portBase> <unixBase> <keyBase> <topic> <depth> [<interface>]\n",
                     argv[0]);
        return 2;
    }
    _DomainConfigParam_t param =
        pubsub::loRecord(std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    if (argc == 8) {
        param.m_strEthName = argv[7];
    }
    auto* participant = new CParticipant(param);
    CTopic* topic = participant->createTopic(argv[5]);
    CSubscriber* subscriber = participant->createSubscriber();
    CDataReader* reader = subscriber ? subscriber->createDataReader(topic, std::atoi(argv[6])) : nullptr;
    if (reader == nullptr) {
        say("bad setup");
        return 3;
    }
    reader->registerUserDataCallBack(std::move(onData));
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
        } else {
            std::string answer = command(reader, cmd, in);
            say(answer.empty() ? "bad command" : answer);
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

} // namespace readerproc
