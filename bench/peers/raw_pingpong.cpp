// The floor: a ping-pong over bare sockets between two processes, nothing in between.
// raw_pingpong unix|udp <payload bytes> <round trips> <warm-up> [<netns file> <own ip> <peer ip>]
// Prints "<median> <p90> <p99> <max>" in microseconds. UDP uses 127.0.0.1, or the two addresses
// given with the answering process in the network namespace given (a veth pair away), and keeps
// datagrams within 65507 bytes (larger payloads are cut into datagrams of 65000 bytes each way).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Ends {
    int fd{-1};
    sockaddr_storage peer{};
    socklen_t peerLen{0};
};

Ends open(bool local, int self, int other, const char* selfIp = "127.0.0.1", const char* otherIp = "127.0.0.1")
{
    Ends e;
    if (local) {
        e.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un me{};
        me.sun_family = AF_UNIX;
        snprintf(me.sun_path, sizeof(me.sun_path), "/tmp/rawpp-%d", self);
        unlink(me.sun_path);
        bind(e.fd, reinterpret_cast<sockaddr*>(&me), sizeof(me));
        auto* to = reinterpret_cast<sockaddr_un*>(&e.peer);
        to->sun_family = AF_UNIX;
        snprintf(to->sun_path, sizeof(to->sun_path), "/tmp/rawpp-%d", other);
        e.peerLen = sizeof(sockaddr_un);
        int buf = 4 << 20;
        setsockopt(e.fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
        setsockopt(e.fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof(buf));
    } else {
        e.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in me{};
        me.sin_family = AF_INET;
        inet_pton(AF_INET, selfIp, &me.sin_addr);
        me.sin_port = htons(static_cast<uint16_t>(self));
        bind(e.fd, reinterpret_cast<sockaddr*>(&me), sizeof(me));
        auto* to = reinterpret_cast<sockaddr_in*>(&e.peer);
        *to = me;
        inet_pton(AF_INET, otherIp, &to->sin_addr);
        to->sin_port = htons(static_cast<uint16_t>(other));
        e.peerLen = sizeof(sockaddr_in);
        int buf = 4 << 20;
        setsockopt(e.fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
        setsockopt(e.fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof(buf));
    }
    return e;
}

const size_t MAX_DGRAM = 65000;

void sendAll(const Ends& e, const std::vector<char>& data, size_t len)
{
    for (size_t off = 0; off < len || off == 0;) {
        size_t piece = std::min(MAX_DGRAM, len - off);
        sendto(e.fd, data.data() + off, piece, 0, reinterpret_cast<const sockaddr*>(&e.peer), e.peerLen);
        off += piece;
        if (len == 0) {
            break;
        }
    }
}

bool recvAll(const Ends& e, std::vector<char>& buf, size_t len)
{
    size_t got = 0;
    do {
        ssize_t n = recv(e.fd, buf.data(), buf.size(), 0);
        if (n < 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    } while (got < len);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5 && argc != 8) {
        fprintf(stderr,
                "usage: raw_pingpong unix|udp <bytes> <round trips> <warm-up> [<netns file> <own ip> <peer ip>]\n");
        return 2;
    }
    const char* netns = argc == 8 ? argv[5] : nullptr;
    const char* ownIp = argc == 8 ? argv[6] : "127.0.0.1";
    const char* peerIp = argc == 8 ? argv[7] : "127.0.0.1";
    const bool local = std::string(argv[1]) == "unix";
    const size_t size = static_cast<size_t>(std::atol(argv[2]));
    const int count = std::atoi(argv[3]);
    const int warmup = std::atoi(argv[4]);
    std::vector<char> data(std::max<size_t>(size, 1), 'x');
    std::vector<char> buf(MAX_DGRAM + 64);
    int ready[2];
    if (pipe(ready) != 0) {
        return 1;
    }
    pid_t child = fork();
    if (child == 0) {
        if (netns != nullptr) {
            int ns = ::open(netns, O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
                _exit(1);
            }
            close(ns);
        }
        Ends e = open(local, 47601, 47600, peerIp, ownIp);
        char c = 1;
        (void)!write(ready[1], &c, 1);
        for (int i = 0; i < count + warmup; ++i) {
            if (!recvAll(e, buf, size)) {
                break;
            }
            sendAll(e, data, size);
        }
        _exit(0);
    }
    Ends e = open(local, 47600, 47601, ownIp, peerIp);
    // Only the child writes: one that could not start ends the read here.
    close(ready[1]);
    char c;
    if (read(ready[0], &c, 1) != 1) {
        waitpid(child, nullptr, 0);
        fprintf(stderr, "raw_pingpong: the answering process did not start\n");
        return 1;
    }
    timeval tv{5, 0};
    setsockopt(e.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    std::vector<double> us;
    for (int i = 0; i < count + warmup; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        sendAll(e, data, size);
        if (!recvAll(e, buf, size)) {
            fprintf(stderr, "raw_pingpong: reply lost\n");
            break;
        }
        auto t1 = std::chrono::steady_clock::now();
        if (i >= warmup) {
            us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
    }
    waitpid(child, nullptr, 0);
    if (us.empty()) {
        return 1;
    }
    std::sort(us.begin(), us.end());
    auto at = [&us](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * (us.size() - 1) + 0.5))]; };
    printf("%.1f %.1f %.1f %.1f\n", at(0.5), at(0.9), at(0.99), us.back());
    return 0;
}
