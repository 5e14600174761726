// One side of a topic's control channel in a process of its own, driven by lines on stdin.
//
//   trans_peer writer <port> <topic> <firstIndex>   control endpoint on 127.0.0.1:<port>, Unix
//       socket indices from <firstIndex>; prints "READY"; "send <n> <size>" writes n test
//       messages (ctrl_peer.h) and prints "SENT <n>"; "quit" tears down and prints "DONE".
//   trans_peer reader <port> <topic>   connects to 127.0.0.1:<port>; prints "START" and "STOP" as
//       the data channel comes and goes, "GOT <n>" after each message; "quit" tears down.
//   trans_peer rawclient <ip> <port> <topic>   one heartbeat over a plain TCP connection; prints
//       "ANSWERED" when the answer came, then idles until stdin closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "core/resource_manager.h"
#include "core/topic_impl.h"
#include "core/transport/control_msg.h"
#include "core/transport/ctrl_peer.h"
#include "core/transport/trans_receiver.h"
#include "core/transport/trans_sender.h"
#include "memory/normal_mem_pool.h"
#include "support/zqtest.h"
#include "utils/ev_reactor.h"
#include "utils/socket_utils.h"
#include "zqdds/topic.h"

namespace {

void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int runWriter(int port, const std::string& topicName, int firstIndex)
{
    CResourceManager::getInstance()->setHostEthIp("lo", "127.0.0.1");
    for (int i = 0; i < 4; ++i) {
        CResourceManager::getInstance()->putUnixSocketId(firstIndex + i);
    }
    CEvReactor::getInstance()->init(100, 100);
    ctrltest::TestPool pools;
    CMemPool& pool = pools.pool;
    ctrltest::TestTopic topic(topicName);
    auto* sender = new CTransSender();
    sender->setTopicImpl(&topic.impl);
    sender->setMemPool(&pool);
    TransParam_t param = ctrltest::tcpEndpoint("127.0.0.1", port);
    if (sender->setMsgTransParam(param) != 0) {
        say("FAILED");
        return 1;
    }
    say("READY");
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        if (verb == "send") {
            int count = 0;
            int size = 0;
            words >> count >> size;
            if (!zqtest::waitUntil([&] { return sender->isConnect(); }, 10000) ||
                !ctrltest::writeTestMessages(*sender, pool, count, size)) {
                say("SEND FAILED");
                continue;
            }
            say("SENT " + std::to_string(count));
        } else if (verb == "quit") {
            break;
        }
    }
    delete sender;
    CEvReactor::getInstance()->deinit();
    say("DONE");
    return 0;
}

int runReader(int port, const std::string& topicName)
{
    CResourceManager::getInstance()->setHostEthIp("lo", "127.0.0.1");
    ctrltest::TestPool pools;
    CMemPool& pool = pools.pool;
    ctrltest::TestTopic topic(topicName);
    auto* receiver = new CTransReceiver();
    receiver->setTopicImpl(&topic.impl);
    receiver->setMemPool(&pool);
    std::atomic<int> got{0};
    int dataCbId = -1;
    receiver->registerEventCallBack([&](int, int event) {
        if (event == EVENT_DATA_TRANS_START) {
            dataCbId = receiver->registerDataCallBack([&](int, DataPackage_t*) {
                say("GOT " + std::to_string(++got));
                return 1;
            });
            say("START");
        } else {
            receiver->unregisterDataCallBack(dataCbId);
            say("STOP");
        }
    });
    TransParam_t param = ctrltest::tcpEndpoint("127.0.0.1", port);
    if (receiver->setMsgTransParam(param) != 0) {
        say("FAILED");
        return 1;
    }
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
    }
    delete receiver;
    say("DONE");
    return 0;
}

int runRawClient(const char* ip, int port, const std::string& topicName)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = inet_addr(ip);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        say("FAILED");
        return 1;
    }
    uint8_t msg[CTRL_HEARTBEAT_MSG_LEN];
    buildHeartbeatMsg(msg, MSG_TYPE_HEARTBEAT, ip, topicName);
    uint8_t answer[CTRL_HEARTBEAT_MSG_LEN];
    size_t have = 0;
    if (::send(fd, msg, sizeof(msg), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(msg))) {
        say("FAILED");
        return 1;
    }
    while (have < sizeof(answer)) {
        ssize_t n = ::recv(fd, answer + have, sizeof(answer) - have, 0);
        if (n <= 0) {
            say("FAILED");
            return 1;
        }
        have += static_cast<size_t>(n);
    }
    say("ANSWERED");
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    ::close(fd);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::signal(SIGPIPE, SIG_IGN);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "writer" && argc == 5) {
        return runWriter(std::atoi(argv[2]), argv[3], std::atoi(argv[4]));
    }
    if (mode == "reader" && argc == 4) {
        return runReader(std::atoi(argv[2]), argv[3]);
    }
    if (mode == "rawclient" && argc == 5) {
        return runRawClient(argv[2], std::atoi(argv[3]), argv[4]);
    }
    std::fprintf(stderr, "usage: trans_peer writer|reader|rawclient ...\n");
    return 2;
}
