// A discovery peer written from the wire format alone, as a plain implementation would do it: it
// joins the group on the default interface (INADDR_ANY) and sends without choosing an outgoing
// interface, so the routing table picks both. It announces the topic it waits for at once and
// every period until an answer for it arrives, and answers announcements of the topic it
// publishes. It prints "ready" once joined, "heard <topic> <ip>" for the first announcement of
// each topic, "taken <topic> <ip> <port>" for the first answer for its topic; on "quit" or end of
// input it leaves the group and prints "bye".
//
// Usage: zqh_strict_discovery_peer <host ip> <group> <port> <domain> <period ms>
//                                  <published topic> <control port> <awaited topic>
#include <arpa/inet.h>
#include <endian.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

// The two messages: a 34-byte header ("ZQMW", flag, type, sequence, time stamp, data length,
// 12 zero bytes), then the fixed payload.
constexpr size_t ANNOUNCE_SIZE = 190;
constexpr size_t ANSWER_SIZE = 418;
constexpr uint8_t TYPE_ANNOUNCE = 12;
constexpr uint8_t TYPE_ANSWER = 13;
constexpr size_t TYPE_AT = 5;
constexpr size_t TIME_AT = 10;
constexpr size_t DATA_LEN_AT = 18;
constexpr size_t IP_AT = 34;
constexpr size_t ANNOUNCE_TOPIC_AT = 50;
constexpr size_t ANNOUNCE_DOMAIN_AT = 178;
constexpr size_t ANSWER_PARAM_AT = 54; // TransParam_t: type at +0 (0: TCP), address at +8, port at +24
constexpr size_t ANSWER_TOPIC_AT = 278;
constexpr size_t ANSWER_DOMAIN_AT = 406;
constexpr size_t TEXT_WIDTH = 128;

void put32(uint8_t* buf, size_t at, uint32_t value)
{
    std::memcpy(buf + at, &value, sizeof(value));
}

int32_t get32(const uint8_t* buf, size_t at)
{
    int32_t value = 0;
    std::memcpy(&value, buf + at, sizeof(value));
    return value;
}

void putText(uint8_t* buf, size_t at, size_t width, const std::string& text)
{
    std::memcpy(buf + at, text.data(), text.size() < width ? text.size() : width - 1);
}

std::string getText(const uint8_t* buf, size_t at, size_t width)
{
    const void* end = std::memchr(buf + at, '\0', width);
    return std::string(reinterpret_cast<const char*>(buf + at),
                       end ? static_cast<const uint8_t*>(end) - (buf + at) : width);
}

void header(uint8_t* buf, uint8_t type, uint32_t dataLen)
{
    std::memcpy(buf, "ZQMW", 4);
    buf[TYPE_AT] = type;
    put32(buf, DATA_LEN_AT, dataLen);
}

struct Peer {
    int fd{-1};
    sockaddr_in group{};
    std::string hostIp;
    int32_t domain{0};
    std::string published;
    int controlPort{0};
    std::string awaited;

    void send(const uint8_t* buf, size_t len) const
    {
        ::sendto(fd, buf, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&group), sizeof(group));
    }

    void announce() const
    {
        uint8_t buf[2048] = {};
        header(buf, TYPE_ANNOUNCE, ANNOUNCE_SIZE - IP_AT);
        timeval now{};
        gettimeofday(&now, nullptr);
        const uint64_t us = htobe64(static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_usec));
        std::memcpy(buf + TIME_AT, &us, sizeof(us));
        putText(buf, IP_AT, 16, hostIp);
        putText(buf, ANNOUNCE_TOPIC_AT, TEXT_WIDTH, awaited);
        put32(buf, ANNOUNCE_DOMAIN_AT, static_cast<uint32_t>(domain));
        send(buf, ANNOUNCE_SIZE);
    }

    void answer(const std::string& topic) const
    {
        uint8_t buf[2048] = {};
        header(buf, TYPE_ANSWER, ANSWER_SIZE - IP_AT);
        putText(buf, IP_AT, 20, hostIp);
        put32(buf, ANSWER_PARAM_AT, 0);
        putText(buf, ANSWER_PARAM_AT + 8, 16, hostIp);
        put32(buf, ANSWER_PARAM_AT + 24, static_cast<uint32_t>(controlPort));
        putText(buf, ANSWER_TOPIC_AT, TEXT_WIDTH, topic);
        put32(buf, ANSWER_DOMAIN_AT, static_cast<uint32_t>(domain));
        send(buf, ANSWER_SIZE);
    }
};

} // namespace

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 9) {
        std::fprintf(stderr,
                     "usage: %s <host ip> <group> <port> <domain> <period ms> <published topic> "
                     "<control port> <awaited topic>\n",
                     argv[0]);
        return 2;
    }
    Peer peer;
    peer.hostIp = argv[1];
    peer.domain = std::atoi(argv[4]);
    const int periodMs = std::atoi(argv[5]);
    peer.published = argv[6];
    peer.controlPort = std::atoi(argv[7]);
    peer.awaited = argv[8];
    peer.group.sin_family = AF_INET;
    peer.group.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[3])));
    if (inet_pton(AF_INET, argv[2], &peer.group.sin_addr) != 1 || periodMs <= 0) {
        std::fprintf(stderr, "bad group or period\n");
        return 2;
    }

    peer.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const int ttl = 10;
    ip_mreq mreq{};
    mreq.imr_multiaddr = peer.group.sin_addr;
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    if (peer.fd < 0 || setsockopt(peer.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        setsockopt(peer.fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0 ||
        setsockopt(peer.fd, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof(on)) != 0 ||
        setsockopt(peer.fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0 ||
        bind(peer.fd, reinterpret_cast<const sockaddr*>(&peer.group), sizeof(peer.group)) != 0) {
        std::perror("strict peer socket");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    bool taken = false;
    std::set<std::string> heard;
    Clock::time_point next = Clock::now();
    std::string input;
    for (;;) {
        if (!taken && Clock::now() >= next) {
            peer.announce();
            next = Clock::now() + std::chrono::milliseconds(periodMs);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        pollfd fds[2] = {{peer.fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, taken ? -1 : static_cast<int>(left < 0 ? 0 : left)) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            char chunk[256];
            const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof(chunk));
            if (n <= 0) {
                break;
            }
            input.append(chunk, static_cast<size_t>(n));
            if (input.find("quit\n") != std::string::npos) {
                break;
            }
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        uint8_t buf[2048] = {};
        const ssize_t len = ::recv(peer.fd, buf, sizeof(buf) - 1, 0);
        if (len <= static_cast<ssize_t>(TYPE_AT)) {
            continue;
        }
        if (buf[TYPE_AT] == TYPE_ANNOUNCE && get32(buf, ANNOUNCE_DOMAIN_AT) == peer.domain) {
            const std::string topic = getText(buf, ANNOUNCE_TOPIC_AT, TEXT_WIDTH);
            if (heard.insert(topic).second) {
                std::printf("heard %s %s\n", topic.c_str(), getText(buf, IP_AT, 16).c_str());
                std::fflush(stdout);
            }
            if (topic == peer.published) {
                peer.answer(topic);
            }
        } else if (buf[TYPE_AT] == TYPE_ANSWER && get32(buf, ANSWER_DOMAIN_AT) == peer.domain && !taken &&
                   getText(buf, ANSWER_TOPIC_AT, TEXT_WIDTH) == peer.awaited) {
            taken = true;
            std::printf("taken %s %s %d\n", peer.awaited.c_str(), getText(buf, ANSWER_PARAM_AT + 8, 16).c_str(),
                        get32(buf, ANSWER_PARAM_AT + 24));
            std::fflush(stdout);
        }
    }
    setsockopt(peer.fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &mreq, sizeof(mreq));
    ::close(peer.fd);
    std::printf("bye\n");
    std::fflush(stdout);
    return 0;
}
