// The throughput floor: messages cut into the library's datagrams, sent back to back with
// sendmmsg from one process and taken with recvmmsg by another, nothing in between.
//
//   raw_tput unix|udp <sizes a,b,...> <seconds> [<netns file> <sender ip> <receiver ip>]
//
// A message of P payload bytes goes as the library sends it: n datagrams of a 34-byte header and
// at most 1438 (UDP) or 65502 (Unix) payload bytes, n = 1 for P = 0. The receiver counts a
// message when all its datagrams came in order. UDP goes to the receiver's address, the
// receiver in the network namespace given (a veth pair away) or on 127.0.0.1; Unix to a path
// under /tmp. Socket buffers of 2 MiB as the library asks for. Prints one
// "tput raw-<kind> <bytes> <msg/s> <MB/s> <lost>" line per size, rates from the first send to the
// last complete arrival.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "perf_common.h"

namespace {

constexpr size_t HEADER = 34;
constexpr size_t UDP_PAYLOAD = 1438;
constexpr size_t UNIX_PAYLOAD = 65502;
constexpr int SOCKET_BUF = 2097152;
constexpr unsigned BATCH = 64;
constexpr uint16_t PORT = 47650;
const char* const UNIX_PATH = "/tmp/rawtput-recv";

struct Target {
    bool local{false};
    std::string netns;
    std::string senderIp{"127.0.0.1"};
    std::string receiverIp{"127.0.0.1"};
};

void bigBuffers(int fd)
{
    int size = SOCKET_BUF;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}

sockaddr_storage receiverAddress(const Target& t, socklen_t* len)
{
    sockaddr_storage addr{};
    if (t.local) {
        auto* un = reinterpret_cast<sockaddr_un*>(&addr);
        un->sun_family = AF_UNIX;
        std::strncpy(un->sun_path, UNIX_PATH, sizeof(un->sun_path) - 1);
        *len = sizeof(sockaddr_un);
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&addr);
        in->sin_family = AF_INET;
        in->sin_port = htons(PORT);
        inet_pton(AF_INET, t.receiverIp.c_str(), &in->sin_addr);
        *len = sizeof(sockaddr_in);
    }
    return addr;
}

// The receiving child: counts complete messages until the channel stays quiet for 300 ms after
// the first datagram (10 s before it). Reports "got first last" through `out`.
void receive(const Target& t, peerperf::Pipe& ready, peerperf::Pipe& out)
{
    if (!t.netns.empty()) {
        int ns = open(t.netns.c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
            ready.put(-1);
            _exit(1);
        }
        close(ns);
    }
    int fd = socket(t.local ? AF_UNIX : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bigBuffers(fd);
    socklen_t len = 0;
    sockaddr_storage addr = receiverAddress(t, &len);
    if (t.local) {
        unlink(UNIX_PATH);
    }
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        ready.put(-1);
        _exit(1);
    }
    const size_t slot = HEADER + (t.local ? UNIX_PAYLOAD : UDP_PAYLOAD);
    std::vector<char> buf(slot * BATCH);
    std::vector<iovec> iov(BATCH);
    std::vector<mmsghdr> msgs(BATCH);
    for (unsigned i = 0; i < BATCH; ++i) {
        iov[i] = iovec{buf.data() + i * slot, slot};
        msgs[i] = mmsghdr{};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    timeval wait{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    ready.put(1);
    long long got = 0;
    int64_t first = 0;
    int64_t last = 0;
    uint32_t seq = UINT32_MAX;
    uint32_t next = 0;
    bool any = false;
    for (;;) {
        int n = recvmmsg(fd, msgs.data(), BATCH, MSG_WAITFORONE, nullptr);
        if (n <= 0) {
            break;
        }
        if (!any) {
            // Something came: from now on a quiet channel ends the run.
            any = true;
            timeval quiet{0, 300000};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof(quiet));
        }
        for (int i = 0; i < n; ++i) {
            uint32_t head[3];
            std::memcpy(head, iov[static_cast<size_t>(i)].iov_base, sizeof(head));
            // seq, index, count: a message is complete when its datagrams came in order.
            if (head[1] == 0) {
                seq = head[0];
                next = 0;
            }
            if (head[0] != seq || head[1] != next) {
                seq = UINT32_MAX;
                continue;
            }
            if (++next == head[2]) {
                last = peerperf::wallUs();
                first = got == 0 ? last : first;
                ++got;
                seq = UINT32_MAX;
            }
        }
    }
    if (t.local) {
        unlink(UNIX_PATH);
    }
    out.put(got);
    out.put(first);
    out.put(last);
    _exit(0);
}

bool runSize(const Target& t, size_t size, double seconds)
{
    peerperf::Pipe ready;
    peerperf::Pipe result;
    pid_t child = fork();
    if (child == 0) {
        close(ready.fd[0]);
        close(result.fd[0]);
        receive(t, ready, result);
    }
    // Only the child writes: a child that dies early ends the reads here.
    close(ready.fd[1]);
    close(result.fd[1]);
    if (child < 0 || ready.get() != 1) {
        if (child > 0) {
            waitpid(child, nullptr, 0);
        }
        return false;
    }
    int fd = socket(t.local ? AF_UNIX : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bigBuffers(fd);
    socklen_t len = 0;
    sockaddr_storage addr = receiverAddress(t, &len);
    if (!t.local) {
        sockaddr_in self{};
        self.sin_family = AF_INET;
        inet_pton(AF_INET, t.senderIp.c_str(), &self.sin_addr);
        bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof(self));
    }
    connect(fd, reinterpret_cast<sockaddr*>(&addr), len);

    // Small messages go several to a sendmmsg call, as many as fit a batch.
    const size_t frag = t.local ? UNIX_PAYLOAD : UDP_PAYLOAD;
    const size_t count = size == 0 ? 1 : (size + frag - 1) / frag;
    const size_t per = std::max<size_t>(1, BATCH / count);
    const size_t slot = HEADER + frag;
    std::vector<char> data(per * count * slot, 'x');
    std::vector<iovec> iov(per * count);
    std::vector<mmsghdr> msgs(per * count);
    for (size_t m = 0; m < per; ++m) {
        for (size_t i = 0; i < count; ++i) {
            const size_t k = m * count + i;
            char* at = data.data() + k * slot;
            const uint32_t head[3] = {0, static_cast<uint32_t>(i), static_cast<uint32_t>(count)};
            std::memcpy(at, head, sizeof(head));
            const size_t payload = size == 0 ? 0 : std::min(frag, size - i * frag);
            iov[k] = iovec{at, HEADER + payload};
            msgs[k] = mmsghdr{};
            msgs[k].msg_hdr.msg_iov = &iov[k];
            msgs[k].msg_hdr.msg_iovlen = 1;
        }
    }
    const int64_t start = peerperf::wallUs();
    const int64_t end = start + static_cast<int64_t>(seconds * 1e6);
    long long sent = 0;
    for (uint32_t seq = 0; peerperf::wallUs() < end;) {
        for (size_t k = 0; k < msgs.size(); ++k) {
            const uint32_t s = seq + static_cast<uint32_t>(k / count);
            std::memcpy(data.data() + k * slot, &s, sizeof(s));
        }
        seq += static_cast<uint32_t>(per);
        sent += static_cast<long long>(per);
        size_t done = 0;
        while (done < msgs.size()) {
            const unsigned batch = static_cast<unsigned>(std::min<size_t>(BATCH, msgs.size() - done));
            const int n = sendmmsg(fd, msgs.data() + done, batch, 0);
            if (n <= 0) {
                break; // the rest of these messages is lost, as a library send that fails
            }
            done += static_cast<size_t>(n);
        }
    }
    close(fd);
    const long long got = result.get();
    result.get(); // the first arrival
    const int64_t last = result.get();
    waitpid(child, nullptr, 0);
    close(ready.fd[0]);
    close(result.fd[0]);
    const std::string name = std::string("raw-") + (t.local ? "unix" : "udp");
    peerperf::printThroughput(name.c_str(), size, sent, got < 0 ? 0 : got, start, last);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 7) {
        fprintf(stderr,
                "usage: raw_tput unix|udp <sizes a,b,...> <seconds> [<netns file> <sender ip> <receiver ip>]\n");
        return 2;
    }
    Target t;
    t.local = std::string(argv[1]) == "unix";
    if (argc == 7) {
        t.netns = argv[4];
        t.senderIp = argv[5];
        t.receiverIp = argv[6];
    }
    const double seconds = std::atof(argv[3]);
    bool ok = true;
    for (size_t size : peerperf::sizesFrom(argv[2])) {
        if (!runSize(t, size, seconds)) {
            fprintf(stderr, "raw_tput: no receiver for %zu bytes\n", size);
            ok = false;
        }
    }
    return ok ? 0 : 1;
}
