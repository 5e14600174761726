// One side of a topic's control channel in a process of its own, driven by lines on stdin.
//
//   trans_peer writer <port> <topic> <firstIndex>   control endpoint on 127.0.0.1:<port>, Unix
//       socket indices from <firstIndex>; prints "READY"; "send <n> <size>" writes n test
//       messages (ctrl_peer.h) and prints "SENT <n>"; "quit" tears down and prints "DONE".
//   trans_peer shmwriter <port> <topic> <poolKey> <keyNumber>...   as writer, for a topic with a
//       shared-memory pool, running as an unprivileged user (so that it cannot remove segments of
//       others); queue keys from the key numbers.
//   trans_peer reader <port> <topic>   connects to 127.0.0.1:<port>; prints "START" and "STOP" as
//       the data channel comes and goes, "GOT <n>" after each message; "quit" tears down.
//   trans_peer rawclient <ip> <port> <topic>   one heartbeat over a plain TCP connection; prints
//       "ANSWERED" when the answer came, then idles until stdin closes.
//   trans_peer reader <port> <topic> <ownIp> <writerIp> [retry]   as above on the given addresses;
//       with "retry" it takes the endpoint again after every reset, as discovery would.
//
// Hostile peers, written from the wire formats alone (no library code builds their bytes):
//   trans_peer fakewriter <ip> <port> <topic> <answer...>   listens, prints "LISTENING", serves one
//       connection after another: every request gets the answer, every heartbeat its answer.
//       Answers: "unix <index>", "shm <queueKey> <poolKey> <groups>", "tcp <ip> <port>", "pcie",
//       "garbage" (every read is answered with bytes that are no control message); a last word
//       "thengarbage" answers everything after the acknowledgement with such bytes.
//   trans_peer badreader <ip> <port> <topic> <requesterIp>   sends a request naming requesterIp,
//       then a heartbeat; prints "ACK <type>" when an acknowledgement came first, else "REFUSED".
//   trans_peer plainreader <ip> <port> <topic> <ownIp>   a reader as the formats describe it: its
//       control connection is not bound (the kernel picks the source address), its request names
//       ownIp. Prints "ACK <type>" or "REFUSED" as badreader; on a UDP channel it binds ownIp and
//       the port offered, heartbeats, and prints "GOT <n>" for each datagram that arrives.
//   trans_peer squat udp|tcp <ip> <port> | squat unix <path> | squat shm <key>   holds the address
//       (a live socket) or a 16-byte System V segment under the key, prints "SQUATTING", and keeps
//       it until stdin closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/resource_manager.h"
#include "core/topic_impl.h"
#include "core/transport/control/control_msg.h"
#include "core/transport/control/ctrl_peer.h"
#include "core/transport/control/trans_receiver.h"
#include "core/transport/control/trans_sender.h"
#include "memory/normal_mem_pool.h"
#include "memory/shm_mem_pool.h"
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

// Reads stdin lines until it ends or, with `quit`, until that line comes.
void waitForStdin(const char* quit = nullptr)
{
    std::string line;
    while (std::getline(std::cin, line) && (quit == nullptr || line != quit)) {
    }
}

sockaddr_in inetAddress(const char* ip, int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = inet_addr(ip);
    return addr;
}

// A TCP connection to ip:port; -1 when refused.
int connectTo(const char* ip, int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = inetAddress(ip, port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    return fd;
}

// Reads exactly `len` bytes; false when the stream ends or fails first.
bool recvAll(int fd, uint8_t* buf, size_t len)
{
    size_t have = 0;
    while (have < len) {
        ssize_t n = ::recv(fd, buf + have, len - have, 0);
        if (n <= 0) {
            return false;
        }
        have += static_cast<size_t>(n);
    }
    return true;
}

// The writing side of the topic on `pool` with its control endpoint on 127.0.0.1:port: prints
// "READY", runs `serve`, then deletes the side. False, after "FAILED", when the endpoint refuses.
bool serveWriter(const std::string& topicName, CMemPool& pool, int port,
                 const std::function<void(CTransSender&)>& serve)
{
    ctrltest::TestTopic topic(topicName);
    auto* sender = new CTransSender();
    sender->setTopicImpl(&topic.impl);
    sender->setMemPool(&pool);
    TransParam_t param = ctrltest::tcpEndpoint("127.0.0.1", port);
    if (sender->setMsgTransParam(param) != 0) {
        delete sender;
        say("FAILED");
        return false;
    }
    say("READY");
    serve(*sender);
    delete sender;
    return true;
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
    const bool served = serveWriter(topicName, pool, port, [&pool](CTransSender& sender) {
        std::string line;
        while (std::getline(std::cin, line)) {
            std::istringstream words(line);
            std::string verb;
            words >> verb;
            if (verb == "send") {
                int count = 0;
                int size = 0;
                words >> count >> size;
                if (!zqtest::waitUntil([&] { return sender.isConnect(); }, 10000) ||
                    !ctrltest::writeTestMessages(sender, pool, count, size)) {
                    say("SEND FAILED");
                    continue;
                }
                say("SENT " + std::to_string(count));
            } else if (verb == "quit") {
                break;
            }
        }
    });
    if (!served) {
        return 1;
    }
    CEvReactor::getInstance()->deinit();
    say("DONE");
    return 0;
}

int runShmWriter(int port, const std::string& topicName, int poolKey, const std::vector<std::string>& keys)
{
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
        say("FAILED");
        return 1;
    }
    CResourceManager::getInstance()->setHostEthIp("lo", "127.0.0.1");
    for (const std::string& key : keys) {
        CResourceManager::getInstance()->putShmKey(static_cast<int>(std::strtol(key.c_str(), nullptr, 0)));
    }
    CEvReactor::getInstance()->init(100, 100);
    MemConfig_t cfg{};
    CMemPool::getDefaultCfg(cfg);
    cfg.m_iKey = poolKey;
    CShmMemPool pool;
    if (!pool.init(cfg)) {
        say("FAILED");
        return 1;
    }
    if (!serveWriter(topicName, pool, port, [](CTransSender&) { waitForStdin("quit"); })) {
        return 1;
    }
    pool.deinit();
    CEvReactor::getInstance()->deinit();
    say("DONE");
    return 0;
}

int runReader(int port, const std::string& topicName, const std::string& ownIp, const std::string& writerIp, bool retry)
{
    CResourceManager::getInstance()->setHostEthIp("lo", ownIp);
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
    TransParam_t param = ctrltest::tcpEndpoint(writerIp.c_str(), port);
    if (retry) {
        // Runs at the end of a reset on the control thread, which takes the endpoint next pass.
        receiver->setTopicStateCallBack([&](const std::string&, int) {
            say("RESET");
            receiver->setMsgTransParam(param);
        });
    }
    if (receiver->setMsgTransParam(param) != 0) {
        say("FAILED");
        return 1;
    }
    waitForStdin("quit");
    delete receiver;
    say("DONE");
    return 0;
}

int runRawClient(const char* ip, int port, const std::string& topicName)
{
    int fd = connectTo(ip, port);
    if (fd < 0) {
        say("FAILED");
        return 1;
    }
    uint8_t msg[CTRL_HEARTBEAT_MSG_LEN];
    buildHeartbeatMsg(msg, MSG_TYPE_HEARTBEAT, ip, topicName);
    uint8_t answer[CTRL_HEARTBEAT_MSG_LEN];
    if (::send(fd, msg, sizeof(msg), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(msg)) ||
        !recvAll(fd, answer, sizeof(answer))) {
        say("FAILED");
        return 1;
    }
    say("ANSWERED");
    waitForStdin();
    ::close(fd);
    return 0;
}

// Wire format, host byte order: header of 34 bytes (magic "ZQMW", flag at 4, type at 5, payload
// length at 18); request: requester address at 38, topic at 54 (182 bytes); acknowledgement:
// address at 34, topic at 50, channel record at 178 (402 bytes); heartbeats: address at 34, topic
// at 50 (178 bytes). Channel record: type at 0; at 8 an address (16) and port, a path (64) and
// index at 72, or queue key, pool key, 8 reserved bytes and the layout (group count at 24, groups
// of id, chunk size, chunk count from 28).
using Bytes = std::vector<uint8_t>;

void put32(Bytes& msg, size_t at, uint32_t value)
{
    std::memcpy(msg.data() + at, &value, sizeof(value));
}

void putText(Bytes& msg, size_t at, const std::string& text)
{
    std::memcpy(msg.data() + at, text.c_str(), text.size());
}

Bytes wireMessage(uint8_t type, size_t length)
{
    Bytes msg(length, 0);
    std::memcpy(msg.data(), "ZQMW", 4);
    msg[5] = type;
    put32(msg, 18, static_cast<uint32_t>(length - 34));
    return msg;
}

// The acknowledgement a fake writer gives, from its words; empty for garbage or a bad answer.
Bytes fakeAck(const std::string& ip, const std::string& topic, const std::vector<std::string>& answer)
{
    Bytes msg = wireMessage(15, 402);
    putText(msg, 34, ip);
    putText(msg, 50, topic);
    const size_t param = 178;
    const std::string& kind = answer.empty() ? std::string() : answer[0];
    if (kind == "unix" && answer.size() == 2) {
        put32(msg, param, 2);
        putText(msg, param + 8, "/tmp/" + topic + "-" + answer[1]);
        put32(msg, param + 72, static_cast<uint32_t>(std::atoi(answer[1].c_str())));
    } else if (kind == "shm" && answer.size() == 4) {
        put32(msg, param, 3);
        put32(msg, param + 8, static_cast<uint32_t>(std::strtol(answer[1].c_str(), nullptr, 0)));
        put32(msg, param + 12, static_cast<uint32_t>(std::strtol(answer[2].c_str(), nullptr, 0)));
        int groups = std::atoi(answer[3].c_str());
        put32(msg, param + 24, static_cast<uint32_t>(groups));
        for (int g = 0; g < groups; ++g) {
            size_t at = param + 28 + 12 * static_cast<size_t>(g);
            put32(msg, at, static_cast<uint32_t>(g));
            put32(msg, at + 4, 1024);
            put32(msg, at + 8, 4);
        }
    } else if (kind == "tcp" && answer.size() == 3) {
        put32(msg, param, 0);
        putText(msg, param + 8, answer[1]);
        put32(msg, param + 24, static_cast<uint32_t>(std::atoi(answer[2].c_str())));
    } else if (kind == "pcie") {
        put32(msg, param, 4);
    } else {
        return Bytes();
    }
    return msg;
}

bool sendAll(int fd, const Bytes& msg)
{
    return ::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(msg.size());
}

// A heartbeat (10) or its answer (11) between `ip` and the writer of `topic`.
Bytes heartbeatMessage(uint8_t type, const std::string& ip, const std::string& topic)
{
    Bytes msg = wireMessage(type, 178);
    putText(msg, 34, ip);
    putText(msg, 50, topic);
    return msg;
}

// Connects to a writer's control endpoint and asks it for `topic` as a reader at `ownIp`, the
// first heartbeat included; -1 when any step fails.
int connectAndRequest(const char* ip, int port, const std::string& topic, const std::string& ownIp)
{
    int fd = connectTo(ip, port);
    if (fd < 0) {
        return -1;
    }
    Bytes request = wireMessage(14, 182);
    putText(request, 38, ownIp);
    putText(request, 54, topic);
    if (!sendAll(fd, request) || !sendAll(fd, heartbeatMessage(10, ownIp, topic))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int listenOn(const char* ip, int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr = inetAddress(ip, port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 16) != 0) {
        return -1;
    }
    return fd;
}

// Serves one connection: complete messages are taken from the stream by their header.
void serveFake(int fd, const std::string& ip, const std::string& topic, const Bytes& ack, bool garbage,
               bool thenGarbage)
{
    Bytes stream;
    uint8_t buffer[4096];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            return;
        }
        if (garbage) {
            if (!sendAll(fd, Bytes(200, 'x'))) {
                return;
            }
            continue;
        }
        stream.insert(stream.end(), buffer, buffer + n);
        while (stream.size() >= 34) {
            uint32_t dataLen = 0;
            std::memcpy(&dataLen, stream.data() + 18, sizeof(dataLen));
            if (std::memcmp(stream.data(), "ZQMW", 4) != 0 || dataLen > 2048) {
                return;
            }
            if (stream.size() < 34 + dataLen) {
                break;
            }
            uint8_t type = stream[5];
            stream.erase(stream.begin(), stream.begin() + 34 + dataLen);
            if (type == 14) {
                if (!sendAll(fd, ack)) {
                    return;
                }
                garbage = thenGarbage;
            }
            if (type == 10) {
                if (!sendAll(fd, heartbeatMessage(11, ip, topic))) {
                    return;
                }
            }
        }
    }
}

int runFakeWriter(const char* ip, int port, const std::string& topic, std::vector<std::string> answer)
{
    bool garbage = !answer.empty() && answer[0] == "garbage";
    const bool thenGarbage = !answer.empty() && answer.back() == "thengarbage";
    if (thenGarbage) {
        answer.pop_back();
    }
    Bytes ack = fakeAck(ip, topic, answer);
    int listenFd = listenOn(ip, port);
    if (listenFd < 0 || (!garbage && ack.empty())) {
        say("FAILED");
        return 1;
    }
    say("LISTENING");
    for (;;) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        say("ACCEPTED");
        serveFake(fd, ip, topic, ack, garbage, thenGarbage);
        ::close(fd);
    }
}

int runBadReader(const char* ip, int port, const std::string& topic, const std::string& requesterIp)
{
    int fd = connectAndRequest(ip, port, topic, requesterIp);
    // The first answer tells: the acknowledgement (402 bytes) or the heartbeat's (178).
    uint8_t header[34];
    if (fd < 0 || !recvAll(fd, header, sizeof(header))) {
        say("FAILED");
        return 1;
    }
    if (header[5] == 15) {
        uint8_t rest[402 - 34] = {};
        recvAll(fd, rest, sizeof(rest)); // a cut one leaves zero bytes behind
        int32_t type = -1;
        std::memcpy(&type, rest + 178 - 34, sizeof(type));
        say("ACK " + std::to_string(type));
    } else {
        say("REFUSED");
    }
    waitForStdin();
    ::close(fd);
    return 0;
}

int runPlainReader(const char* ip, int port, const std::string& topic, const std::string& ownIp)
{
    int fd = connectAndRequest(ip, port, topic, ownIp);
    uint8_t ack[402] = {};
    if (fd < 0 || !recvAll(fd, ack, 34)) {
        say("FAILED");
        return 1;
    }
    if (ack[5] != 15) {
        say("REFUSED");
        waitForStdin();
        ::close(fd);
        return 0;
    }
    int32_t type = -1;
    int32_t dataPort = -1;
    if (!recvAll(fd, ack + 34, sizeof(ack) - 34)) {
        say("FAILED");
        return 1;
    }
    std::memcpy(&type, ack + 178, sizeof(type));
    std::memcpy(&dataPort, ack + 178 + 8 + 16, sizeof(dataPort));
    int data = -1;
    if (type == 1) {
        data = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in own = inetAddress(ownIp.c_str(), dataPort);
        if (data < 0 || ::bind(data, reinterpret_cast<sockaddr*>(&own), sizeof(own)) != 0) {
            say("FAILED");
            return 1;
        }
    }
    // The channel is up: the heartbeat tells the writer so.
    if (!sendAll(fd, heartbeatMessage(10, ownIp, topic))) {
        say("FAILED");
        return 1;
    }
    say("ACK " + std::to_string(type));
    int got = 0;
    pollfd entries[2] = {{STDIN_FILENO, POLLIN, 0}, {data, POLLIN, 0}};
    for (;;) {
        if (::poll(entries, data >= 0 ? 2 : 1, -1) < 0) {
            continue;
        }
        if (entries[0].revents != 0) {
            break; // stdin closed (or a line): done
        }
        if ((entries[1].revents & POLLIN) != 0) {
            uint8_t datagram[65536];
            ssize_t n = ::recv(data, datagram, sizeof(datagram), 0);
            if (n >= 4 && std::memcmp(datagram, "ZQMW", 4) == 0) {
                say("GOT " + std::to_string(++got));
            }
        }
    }
    if (data >= 0) {
        ::close(data);
    }
    ::close(fd);
    return 0;
}

int runSquat(const std::string& kind, const std::vector<std::string>& where)
{
    int fd = -1;
    if (kind == "unix" && where.size() == 1) {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, where[0].c_str(), sizeof(addr.sun_path) - 1);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            say("FAILED");
            return 1;
        }
    } else if ((kind == "udp" || kind == "tcp") && where.size() == 2) {
        fd = ::socket(AF_INET, (kind == "udp" ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
        sockaddr_in addr = inetAddress(where[0].c_str(), std::atoi(where[1].c_str()));
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            (kind == "tcp" && ::listen(fd, 4) != 0)) {
            say("FAILED");
            return 1;
        }
    } else if (kind == "shm" && where.size() == 1) {
        int id =
            ::shmget(static_cast<key_t>(std::strtol(where[0].c_str(), nullptr, 0)), 16, IPC_CREAT | IPC_EXCL | 0600);
        if (id < 0) {
            say("FAILED");
            return 1;
        }
        say("SQUATTING");
        waitForStdin();
        ::shmctl(id, IPC_RMID, nullptr);
        return 0;
    } else {
        say("FAILED");
        return 1;
    }
    say("SQUATTING");
    waitForStdin();
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
    if (mode == "shmwriter" && argc >= 6) {
        return runShmWriter(std::atoi(argv[2]), argv[3], static_cast<int>(std::strtol(argv[4], nullptr, 0)),
                            std::vector<std::string>(argv + 5, argv + argc));
    }
    if (mode == "reader" && argc == 4) {
        return runReader(std::atoi(argv[2]), argv[3], "127.0.0.1", "127.0.0.1", false);
    }
    if (mode == "reader" && (argc == 6 || argc == 7)) {
        return runReader(std::atoi(argv[2]), argv[3], argv[4], argv[5], argc == 7 && std::string(argv[6]) == "retry");
    }
    if (mode == "fakewriter" && argc >= 5) {
        return runFakeWriter(argv[2], std::atoi(argv[3]), argv[4], std::vector<std::string>(argv + 5, argv + argc));
    }
    if (mode == "badreader" && argc == 6) {
        return runBadReader(argv[2], std::atoi(argv[3]), argv[4], argv[5]);
    }
    if (mode == "plainreader" && argc == 6) {
        return runPlainReader(argv[2], std::atoi(argv[3]), argv[4], argv[5]);
    }
    if (mode == "squat" && argc >= 3) {
        return runSquat(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    }
    if (mode == "rawclient" && argc == 5) {
        return runRawClient(argv[2], std::atoi(argv[3]), argv[4]);
    }
    std::fprintf(stderr, "usage: trans_peer writer|reader|rawclient|fakewriter|badreader|plainreader|squat ...\n");
    return 2;
}
