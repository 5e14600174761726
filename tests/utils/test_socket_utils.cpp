// Socket utilities: opening, binding, options, multicast membership, reads with a timeout, sends.
#include "support/zqtest.h"
#include "utils/socket_utils.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using S = CSocketUtils;

// Ports of this file: 41000-41099.
sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

sockaddr* sa(sockaddr_in& addr)
{
    return reinterpret_cast<sockaddr*>(&addr);
}

int intOption(int fd, int level, int option)
{
    int value = -1;
    socklen_t len = sizeof(value);
    EXPECT_EQ(getsockopt(fd, level, option, &value, &len), 0);
    return value;
}

timeval timeOption(int fd, int option)
{
    timeval tv{-1, -1};
    socklen_t len = sizeof(tv);
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, option, &tv, &len), 0);
    return tv;
}

bool isOpen(int fd)
{
    return fcntl(fd, F_GETFD) >= 0;
}

// A descriptor number far above the ones in use, so that nothing opened meanwhile takes it.
int closedFd()
{
    int fd = 900;
    while (isOpen(fd)) {
        ++fd;
    }
    return fd;
}

// The number the next open gets.
int lowestFreeFd()
{
    int fd = dup(STDIN_FILENO);
    close(fd);
    return fd;
}

// What the system reads back for a timeout handed to it as ms/1000 s and (ms%1000)*1000 us
// (it rounds to its clock ticks).
timeval systemTimeval(int ms)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    socklen_t len = sizeof(tv);
    getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
    close(fd);
    return tv;
}

bool sameTime(const timeval& got, int ms)
{
    timeval want = systemTimeval(ms);
    return got.tv_sec == want.tv_sec && got.tv_usec == want.tv_usec;
}

class SocketUtilsNsTest : public zqtest::NsTest {
protected:
    void TearDown() override
    {
        for (int fd : m_fds) {
            close(fd);
        }
        // Deleting one end removes the pair.
        for (const std::string& link : m_links) {
            zqtest::runCommand({"ip", "link", "del", link});
        }
    }

    // A veth pair with both ends in this namespace: a second network beside loopback.
    bool addNetwork(const std::string& ifA, const std::string& cidrA, const std::string& ifB, const std::string& cidrB,
                    std::string* error)
    {
        if (!zqtest::joinHosts(nullptr, ifA, cidrA, nullptr, ifB, cidrB, error)) {
            return false;
        }
        m_links.push_back(ifA);
        return true;
    }

    int track(int fd)
    {
        if (fd >= 0) {
            m_fds.push_back(fd);
        }
        return fd;
    }

    int open(S::SocketType_e type) { return track(S::openSocket(type)); }

    // A UDP socket bound on loopback.
    int udpBound(int port)
    {
        int fd = open(S::SOCKET_TYPE_UDP);
        sockaddr_in addr = loopback(port);
        EXPECT_EQ(S::bindSocket(fd, sa(addr), sizeof(addr)), 0);
        return fd;
    }

    int listener(int port)
    {
        int fd = open(S::SOCKET_TYPE_TCP);
        S::setAddrReuse(fd, true);
        sockaddr_in addr = loopback(port);
        EXPECT_EQ(S::bindSocket(fd, sa(addr), sizeof(addr)), 0);
        EXPECT_EQ(listen(fd, 4), 0);
        return fd;
    }

    // A connected loopback pair; `rcvBuf` > 0 shrinks the accepting side's receive buffer.
    void tcpPair(int port, int* client, int* server, int rcvBuf = 0)
    {
        int lfd = listener(port);
        if (rcvBuf > 0) {
            S::setRecvBufSize(lfd, rcvBuf);
        }
        *client = open(S::SOCKET_TYPE_TCP);
        sockaddr_in addr = loopback(port);
        ASSERT_EQ(S::connectSocket(*client, sa(addr), sizeof(addr)), 0);
        *server = track(accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_GE(*server, 0);
    }

    void sendTo(int fd, int port, const std::string& data)
    {
        sockaddr_in to = loopback(port);
        ASSERT_EQ(sendto(fd, data.data(), data.size(), 0, sa(to), sizeof(to)), static_cast<ssize_t>(data.size()));
    }

    std::vector<int> m_fds;
    std::vector<std::string> m_links;
};

TEST_F(SocketUtilsNsTest, OpensEachKindCloseOnExec)
{
    const struct {
        S::SocketType_e type;
        int domain;
        int sockType;
    } cases[] = {
        {S::SOCKET_TYPE_TCP, AF_INET, SOCK_STREAM},
        {S::SOCKET_TYPE_UDP, AF_INET, SOCK_DGRAM},
        {S::SOCKET_TYPE_UNIX, AF_UNIX, SOCK_DGRAM},
    };
    for (const auto& c : cases) {
        zqtest::OutputCapture cap;
        int fd = open(c.type);
        cap.stop();
        ASSERT_GE(fd, 0) << c.type;
        EXPECT_EQ(cap.out(), "");
        EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_DOMAIN), c.domain);
        EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_TYPE), c.sockType);
        EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_PROTOCOL),
                  c.domain == AF_UNIX ? 0 : (c.sockType == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP));
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    }
}

TEST_F(SocketUtilsNsTest, UnknownKindsOpenNothingSilently)
{
    int before = zqtest::countOpenFds();
    for (int type : {3, -1, 99}) {
        zqtest::OutputCapture cap;
        EXPECT_EQ(S::openSocket(static_cast<S::SocketType_e>(type)), -1) << type;
        cap.stop();
        EXPECT_EQ(cap.out(), "");
        EXPECT_EQ(cap.err(), "");
    }
    EXPECT_EQ(zqtest::countOpenFds(), before);
}

TEST_F(SocketUtilsNsTest, RefusedSocketIsReported)
{
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    zqtest::OutputCapture cap;
    // No descriptor number is left below the limit.
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFreeFd());
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    int fd = S::openSocket(S::SOCKET_TYPE_UDP);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    cap.stop();
    track(fd);
    EXPECT_LT(fd, 0);
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: socket().")) << cap.out();
    EXPECT_EQ(cap.err(), "socket: : Too many open files\n");
}

TEST_F(SocketUtilsNsTest, CloseSocketClosesOnlyValidDescriptors)
{
    int fd = S::openSocket(S::SOCKET_TYPE_UDP);
    ASSERT_GE(fd, 0);
    zqtest::OutputCapture cap;
    EXPECT_EQ(S::closeSocket(fd), 0);
    EXPECT_EQ(S::closeSocket(-1), 0);
    cap.stop();
    EXPECT_FALSE(isOpen(fd));
    EXPECT_EQ(cap.out(), "");
    EXPECT_EQ(cap.err(), "");
}

TEST_F(SocketUtilsNsTest, BindAndConnectReportFailures)
{
    const int port = 41001;
    listener(port);

    int second = open(S::SOCKET_TYPE_TCP);
    sockaddr_in addr = loopback(port);
    zqtest::OutputCapture bindCap;
    EXPECT_EQ(S::bindSocket(second, sa(addr), sizeof(addr)), -1);
    bindCap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(bindCap.out(), "31", "Error: bind().")) << bindCap.out();
    EXPECT_EQ(bindCap.err(), "bindSocket: : Address already in use\n");

    int client = open(S::SOCKET_TYPE_TCP);
    zqtest::OutputCapture okCap;
    EXPECT_EQ(S::connectSocket(client, sa(addr), sizeof(addr)), 0);
    okCap.stop();
    EXPECT_EQ(okCap.out() + okCap.err(), "");

    int refused = open(S::SOCKET_TYPE_TCP);
    sockaddr_in nobody = loopback(port + 1);
    zqtest::OutputCapture cap;
    EXPECT_EQ(S::connectSocket(refused, sa(nobody), sizeof(nobody)), -1);
    cap.stop();
    EXPECT_EQ(cap.out(), "");
    EXPECT_EQ(cap.err(), "connect: : Connection refused\n");
}

// Points fd 2 at a pipe or at a file opened write-only until destroyed; what was written is kept.
class StderrOn {
public:
    explicit StderrOn(bool pipe)
    {
        m_saved = dup(STDERR_FILENO);
        int target = -1;
        if (pipe) {
            EXPECT_EQ(pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK), 0);
            target = m_pipe[1];
        } else {
            char path[] = "/tmp/zq_stderr_XXXXXX";
            int rw = mkstemp(path);
            EXPECT_GE(rw, 0);
            m_path = path;
            close(rw);
            target = ::open(path, O_WRONLY | O_CLOEXEC);
        }
        EXPECT_GE(target, 0);
        fflush(stderr);
        dup2(target, STDERR_FILENO);
        if (!pipe) {
            close(target);
        }
    }
    ~StderrOn()
    {
        stop();
        if (m_pipe[0] >= 0) {
            close(m_pipe[0]);
            close(m_pipe[1]);
        }
        if (!m_path.empty()) {
            unlink(m_path.c_str());
        }
    }
    StderrOn(const StderrOn&) = delete;
    StderrOn& operator=(const StderrOn&) = delete;

    // Restores fd 2 and gives what went to it.
    std::string stop()
    {
        if (m_saved >= 0) {
            fflush(stderr);
            dup2(m_saved, STDERR_FILENO);
            close(m_saved);
            m_saved = -1;
            if (m_pipe[0] >= 0) {
                char buf[4096];
                ssize_t n = 0;
                while ((n = read(m_pipe[0], buf, sizeof(buf))) > 0) {
                    m_text.append(buf, static_cast<size_t>(n));
                }
            } else {
                std::ifstream in(m_path);
                m_text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
        }
        return m_text;
    }

private:
    int m_saved{-1};
    int m_pipe[2]{-1, -1};
    std::string m_path;
    std::string m_text;
};

TEST_F(SocketUtilsNsTest, FailuresKeepTheirErrnoWhateverStderrIs)
{
    const int port = 41002;
    listener(port);
    const int bad = closedFd();
    int taken = open(S::SOCKET_TYPE_TCP);
    int refused = open(S::SOCKET_TYPE_TCP);
    const struct {
        const char* name;
        std::function<int()> call;
        int err;
        const char* line;
    } cases[] = {
        {"bind",
         [&] {
             sockaddr_in addr = loopback(port);
             return S::bindSocket(taken, sa(addr), sizeof(addr));
         },
         EADDRINUSE, "bindSocket: : Address already in use\n"},
        {"connect",
         [&] {
             sockaddr_in addr = loopback(port + 1);
             return S::connectSocket(refused, sa(addr), sizeof(addr));
         },
         ECONNREFUSED, "connect: : Connection refused\n"},
        {"setsockopt", [&] { return S::setRecvBufSize(bad, 4096); }, EBADF, "setsockopt: : Bad file descriptor\n"},
        {"getsockopt",
         [&] {
             int bytes = 0;
             return S::getSendBufSize(bad, bytes);
         },
         EBADF, "getsockopt: : Bad file descriptor\n"},
        {"fcntl", [&] { return S::setBlock(bad, false); }, EBADF, "fcntl: : Bad file descriptor\n"},
    };
    for (bool pipe : {true, false}) {
        for (const auto& c : cases) {
            const std::string where = std::string(c.name) + (pipe ? ", stderr a pipe" : ", stderr a write-only file");
            StderrOn redirect(pipe);
            errno = 0;
            const int result = c.call();
            const int err = errno;
            const std::string text = redirect.stop();
            EXPECT_EQ(result, -1) << where;
            EXPECT_EQ(err, c.err) << where << ": " << strerror(err);
            EXPECT_EQ(text, c.line) << where;
        }
    }
}

TEST_F(SocketUtilsNsTest, SetBlockSwitchesNonBlockingMode)
{
    int fd = open(S::SOCKET_TYPE_TCP);
    ASSERT_EQ(S::setBlock(fd, false), 0);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    ASSERT_EQ(S::setBlock(fd, true), 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);

    zqtest::OutputCapture cap;
    EXPECT_EQ(S::setBlock(closedFd(), false), -1);
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: fcntl().")) << cap.out();
    EXPECT_EQ(cap.err(), "fcntl: : Bad file descriptor\n");
}

// Asked for more than the system's cap, a buffer passes the cap where the process may do that,
// and silently stays at the cap where it may not. (The kernel reports twice what it grants.)
TEST_F(SocketUtilsNsTest, BufferAskedAboveTheCapPassesItWherePermitted)
{
    for (bool send : {true, false}) {
        std::ifstream capFile(send ? "/proc/sys/net/core/wmem_max" : "/proc/sys/net/core/rmem_max");
        long cap = 0;
        capFile >> cap;
        ASSERT_GT(cap, 0);
        ASSERT_LT(cap, INT_MAX / 8);
        const int request = static_cast<int>(cap) * 2;
        const int option = send ? SO_SNDBUF : SO_RCVBUF;
        int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(probe, 0);
        const bool permitted =
            ::setsockopt(probe, SOL_SOCKET, send ? SO_SNDBUFFORCE : SO_RCVBUFFORCE, &request, sizeof(request)) == 0;
        ::close(probe);
        const struct {
            int family;
            int type;
        } kinds[] = {{AF_UNIX, SOCK_DGRAM}, {AF_INET, SOCK_DGRAM}, {AF_INET, SOCK_STREAM}};
        for (const auto& kind : kinds) {
            int fd = ::socket(kind.family, kind.type | SOCK_CLOEXEC, 0);
            ASSERT_GE(fd, 0);
            S::askBufSize(fd, send, request);
            int granted = 0;
            socklen_t len = sizeof(granted);
            ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, option, &granted, &len), 0);
            EXPECT_EQ(granted, permitted ? 2 * request : 2 * static_cast<int>(cap))
                << (send ? "send" : "receive") << ", family " << kind.family << ", type " << kind.type;
            // Within the cap nothing more is needed.
            S::askBufSize(fd, send, 65536);
            ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, option, &granted, &len), 0);
            EXPECT_EQ(granted, 2 * 65536) << (send ? "send" : "receive");
            ::close(fd);
        }
    }
}

TEST_F(SocketUtilsNsTest, IntegerOptionsReachTheSystem)
{
    const struct {
        const char* what;
        S::SocketType_e type;
        std::function<int(int)> set;
        int level;
        int option;
        int expected;
    } cases[] = {
        {"nodelay on", S::SOCKET_TYPE_TCP, [](int fd) { return S::setNodelay(fd, true) ? 0 : -1; }, IPPROTO_TCP,
         TCP_NODELAY, 1},
        {"reuse on", S::SOCKET_TYPE_TCP, [](int fd) { return S::setAddrReuse(fd, true); }, SOL_SOCKET, SO_REUSEADDR, 1},
        {"keepalive on", S::SOCKET_TYPE_TCP, [](int fd) { return S::setKeepAlive(fd, true); }, SOL_SOCKET, SO_KEEPALIVE,
         1},
        {"keep idle", S::SOCKET_TYPE_TCP, [](int fd) { return S::setKeepIdle(fd, 30); }, IPPROTO_TCP, TCP_KEEPIDLE, 30},
        {"keep interval", S::SOCKET_TYPE_TCP, [](int fd) { return S::setKeepInterval(fd, 3); }, IPPROTO_TCP,
         TCP_KEEPINTVL, 3},
        {"keep count", S::SOCKET_TYPE_TCP, [](int fd) { return S::setKeepCnt(fd, 5); }, IPPROTO_TCP, TCP_KEEPCNT, 5},
        {"user timeout", S::SOCKET_TYPE_TCP, [](int fd) { return S::setUserTimeOut(fd, 5000); }, IPPROTO_TCP,
         TCP_USER_TIMEOUT, 5},
        {"multicast ttl", S::SOCKET_TYPE_UDP, [](int fd) { return S::setMulticastTTL(fd, 10); }, IPPROTO_IP,
         IP_MULTICAST_TTL, 10},
        {"multicast loop off", S::SOCKET_TYPE_UDP, [](int fd) { return S::setMulticastLoop(fd, false); }, IPPROTO_IP,
         IP_MULTICAST_LOOP, 0},
    };
    for (const auto& c : cases) {
        int fd = open(c.type);
        zqtest::OutputCapture cap;
        EXPECT_EQ(c.set(fd), 0) << c.what;
        cap.stop();
        EXPECT_EQ(cap.out() + cap.err(), "") << c.what;
        EXPECT_EQ(intOption(fd, c.level, c.option), c.expected) << c.what;
    }
    // Flags off again.
    int fd = open(S::SOCKET_TYPE_TCP);
    ASSERT_TRUE(S::setNodelay(fd, true));
    ASSERT_TRUE(S::setNodelay(fd, false));
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 0);
    ASSERT_EQ(S::setMulticastLoop(fd, true), 0);
}

TEST_F(SocketUtilsNsTest, BufferSizesAreSetAndReadBack)
{
    int fd = open(S::SOCKET_TYPE_UDP);
    ASSERT_EQ(S::setSendBufSize(fd, 65536), 0);
    ASSERT_EQ(S::setRecvBufSize(fd, 131072), 0);
    int sendBytes = 0;
    int recvBytes = 0;
    ASSERT_EQ(S::getSendBufSize(fd, sendBytes), 0);
    ASSERT_EQ(S::getRecvBufSize(fd, recvBytes), 0);
    // The system doubles what it is given, to leave room for its own bookkeeping.
    EXPECT_EQ(sendBytes, intOption(fd, SOL_SOCKET, SO_SNDBUF));
    EXPECT_EQ(recvBytes, intOption(fd, SOL_SOCKET, SO_RCVBUF));
    EXPECT_GE(sendBytes, 65536);
    EXPECT_GE(recvBytes, 131072);
}

TEST_F(SocketUtilsNsTest, TimeoutsAndLingerReachTheSystem)
{
    int fd = open(S::SOCKET_TYPE_TCP);
    ASSERT_EQ(S::setRecvTimeOut(fd, 1500), 0);
    ASSERT_EQ(S::setSendTimeOut(fd, 250), 0);
    timeval rcv = timeOption(fd, SO_RCVTIMEO);
    EXPECT_EQ(rcv.tv_sec, 1);
    EXPECT_EQ(rcv.tv_usec, 500000);
    EXPECT_TRUE(sameTime(timeOption(fd, SO_SNDTIMEO), 250));

    // A negative value is refused without a call; the old value stays.
    zqtest::OutputCapture cap;
    EXPECT_EQ(S::setRecvTimeOut(fd, -5), -1);
    EXPECT_EQ(S::setSendTimeOut(fd, -1), -1);
    cap.stop();
    EXPECT_EQ(cap.out() + cap.err(), "");
    EXPECT_EQ(timeOption(fd, SO_RCVTIMEO).tv_sec, 1);
    EXPECT_TRUE(sameTime(timeOption(fd, SO_SNDTIMEO), 250));

    // 0 means no limit.
    ASSERT_EQ(S::setRecvTimeOut(fd, 0), 0);
    rcv = timeOption(fd, SO_RCVTIMEO);
    EXPECT_EQ(rcv.tv_sec, 0);
    EXPECT_EQ(rcv.tv_usec, 0);

    ASSERT_EQ(S::setLinger(fd, true, 7), 0);
    linger value{};
    socklen_t len = sizeof(value);
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_LINGER, &value, &len), 0);
    EXPECT_EQ(value.l_onoff, 1);
    EXPECT_EQ(value.l_linger, 7);
    ASSERT_EQ(S::setLinger(fd, false, 0), 0);
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_LINGER, &value, &len), 0);
    EXPECT_EQ(value.l_onoff, 0);
}

TEST_F(SocketUtilsNsTest, RefusedOptionCallsAreReported)
{
    const std::function<int(int)> setters[] = {
        [](int fd) { return S::setRecvTimeOut(fd, 10); },
        [](int fd) { return S::setSendTimeOut(fd, 10); },
        [](int fd) { return S::setSendBufSize(fd, 4096); },
        [](int fd) { return S::setRecvBufSize(fd, 4096); },
        [](int fd) { return S::setLinger(fd, true, 0); },
        [](int fd) { return S::setNodelay(fd, true) ? 0 : -1; },
        [](int fd) { return S::setAddrReuse(fd, true); },
        [](int fd) { return S::setKeepAlive(fd, true); },
        [](int fd) { return S::setKeepIdle(fd, 30); },
        [](int fd) { return S::setKeepInterval(fd, 3); },
        [](int fd) { return S::setKeepCnt(fd, 5); },
        [](int fd) { return S::setUserTimeOut(fd, 5000); },
        [](int fd) { return S::setMulticastTTL(fd, 10); },
        [](int fd) { return S::setMulticastLoop(fd, true); },
        [](int fd) { return S::setMulticastIf(fd, "127.0.0.1"); },
        [](int fd) { return S::addMulticastMembership(fd, "239.41.0.1"); },
        [](int fd) { return S::delMulticastMembership(fd, "239.41.0.1"); },
    };
    const int bad = closedFd();
    for (size_t i = 0; i < sizeof(setters) / sizeof(setters[0]); ++i) {
        zqtest::OutputCapture cap;
        EXPECT_EQ(setters[i](bad), -1) << i;
        cap.stop();
        EXPECT_EQ(zqtest::countDdsLines(cap.out(), "31", "Error: setsockopt()."), 1) << i << cap.out();
        EXPECT_EQ(cap.err(), "setsockopt: : Bad file descriptor\n") << i;
    }

    // TCP_NODELAY does not exist on a datagram socket.
    int udp = open(S::SOCKET_TYPE_UDP);
    zqtest::OutputCapture cap;
    EXPECT_FALSE(S::setNodelay(udp, true));
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: setsockopt().")) << cap.out();
    EXPECT_EQ(cap.err().rfind("setsockopt: : ", 0), 0u) << cap.err();
}

TEST_F(SocketUtilsNsTest, RefusedGettersLeaveTheValueAlone)
{
    const int bad = closedFd();
    for (auto get : {&S::getSendBufSize, &S::getRecvBufSize}) {
        int bytes = 12345;
        zqtest::OutputCapture cap;
        EXPECT_EQ(get(bad, bytes), -1);
        cap.stop();
        EXPECT_EQ(bytes, 12345);
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: getsockopt().")) << cap.out();
        EXPECT_NE(cap.err().find("Bad file descriptor"), std::string::npos) << cap.err();
    }
}

TEST_F(SocketUtilsNsTest, MembershipIsTakenOnTheGivenInterface)
{
    // A second network in this namespace, which the multicast route now leads to.
    std::string error;
    ASSERT_TRUE(addNetwork("zq41a", "198.18.41.1/24", "zq41b", "198.18.41.2/24", &error)) << error;
    const std::string routed = zqtest::routeDevice("239.41.0.3");
    ASSERT_NE(routed, "");
    ASSERT_NE(routed, "lo");

    int onLo = open(S::SOCKET_TYPE_UDP);
    int onVeth = open(S::SOCKET_TYPE_UDP);
    int byRoute = open(S::SOCKET_TYPE_UDP);
    ASSERT_EQ(S::addMulticastMembership(onLo, "239.41.0.1", "127.0.0.1"), 0);
    ASSERT_EQ(S::addMulticastMembership(onVeth, "239.41.0.2", "198.18.41.1"), 0);
    ASSERT_EQ(S::addMulticastMembership(byRoute, "239.41.0.3"), 0);

    EXPECT_TRUE(zqtest::joinedOn("lo", "239.41.0.1"));
    EXPECT_FALSE(zqtest::joinedOn(routed, "239.41.0.1"));
    EXPECT_TRUE(zqtest::joinedOn("zq41a", "239.41.0.2"));
    EXPECT_FALSE(zqtest::joinedOn("lo", "239.41.0.2"));
    EXPECT_TRUE(zqtest::joinedOn(routed, "239.41.0.3"));
    EXPECT_FALSE(zqtest::joinedOn("lo", "239.41.0.3"));

    EXPECT_EQ(S::delMulticastMembership(onLo, "239.41.0.1", "127.0.0.1"), 0);
    EXPECT_FALSE(zqtest::joinedOn("lo", "239.41.0.1"));
    EXPECT_EQ(S::delMulticastMembership(byRoute, "239.41.0.3"), 0);
    EXPECT_FALSE(zqtest::joinedOn(routed, "239.41.0.3"));
}

TEST_F(SocketUtilsNsTest, RefusedMembershipsAreReported)
{
    int fd = open(S::SOCKET_TYPE_UDP);
    ASSERT_EQ(S::addMulticastMembership(fd, "239.41.0.4", "127.0.0.1"), 0);
    const struct {
        const char* what;
        std::function<int()> call;
    } cases[] = {
        {"unreadable group", [fd] { return S::addMulticastMembership(fd, "not-an-address", "127.0.0.1"); }},
        // Read as octal by the system's own readers: 224.8.0.1.
        {"group with a leading zero", [fd] { return S::addMulticastMembership(fd, "224.010.0.1", "127.0.0.1"); }},
        {"address of no interface here", [fd] { return S::addMulticastMembership(fd, "239.41.0.5", "198.51.100.7"); }},
        {"joined twice", [fd] { return S::addMulticastMembership(fd, "239.41.0.4", "127.0.0.1"); }},
        {"never joined", [fd] { return S::delMulticastMembership(fd, "239.41.0.6", "127.0.0.1"); }},
    };
    for (const auto& c : cases) {
        zqtest::OutputCapture cap;
        EXPECT_EQ(c.call(), -1) << c.what;
        cap.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: setsockopt().")) << c.what << cap.out();
        EXPECT_EQ(cap.err().rfind("setsockopt: : ", 0), 0u) << c.what << cap.err();
    }
}

TEST_F(SocketUtilsNsTest, QuietMembershipGivesTheReasonWithoutALine)
{
    int fd = open(S::SOCKET_TYPE_UDP);
    in_addr group{};
    group.s_addr = inet_addr("239.41.0.7");
    zqtest::OutputCapture cap;
    const int first = S::joinMulticastQuietly(fd, group, "127.0.0.1");
    const int byRoute = S::joinMulticastQuietly(fd, group); // the route leads to loopback too
    const int left = S::leaveMulticastQuietly(fd, group);
    const int leftAgain = S::leaveMulticastQuietly(fd, group);
    cap.stop();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(byRoute, EADDRINUSE);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(leftAgain, EADDRNOTAVAIL);
    EXPECT_FALSE(zqtest::joinedOn("lo", "239.41.0.7"));
    EXPECT_EQ(cap.out(), "");
    EXPECT_EQ(cap.err(), "");
}

TEST_F(SocketUtilsNsTest, MulticastGoesOutOnTheChosenInterface)
{
    std::string error;
    ASSERT_TRUE(addNetwork("zq41c", "198.18.42.1/24", "zq41d", "198.18.42.2/24", &error)) << error;
    const int port = 41010;
    const char* group = "239.41.0.9";
    // The end the routing table would not take.
    const std::string routed = zqtest::routeDevice(group);
    ASSERT_TRUE(routed == "zq41c" || routed == "zq41d") << routed;
    const std::string ifName = routed == "zq41c" ? "zq41d" : "zq41c";
    const std::string ifIp = routed == "zq41c" ? "198.18.42.2" : "198.18.42.1";

    int rx = open(S::SOCKET_TYPE_UDP);
    ASSERT_EQ(S::setAddrReuse(rx, true), 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(S::bindSocket(rx, sa(any), sizeof(any)), 0);
    ASSERT_EQ(S::addMulticastMembership(rx, group, ifIp), 0);
    int on = 1;
    ASSERT_EQ(setsockopt(rx, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)), 0);

    int tx = open(S::SOCKET_TYPE_UDP);
    ASSERT_EQ(S::setMulticastLoop(tx, true), 0);
    ASSERT_EQ(S::setMulticastIf(tx, ifIp), 0);
    in_addr chosen{};
    socklen_t len = sizeof(chosen);
    ASSERT_EQ(getsockopt(tx, IPPROTO_IP, IP_MULTICAST_IF, &chosen, &len), 0);
    EXPECT_EQ(chosen.s_addr, inet_addr(ifIp.c_str()));

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = inet_addr(group);
    ASSERT_EQ(sendto(tx, "mc", 2, 0, sa(to), sizeof(to)), 2);

    pollfd pfd{rx, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 10000), 1);
    char data[8];
    char control[256];
    iovec iov{data, sizeof(data)};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ASSERT_EQ(recvmsg(rx, &msg, 0), 2);
    int ifIndex = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            memcpy(&info, CMSG_DATA(c), sizeof(info));
            ifIndex = info.ipi_ifindex;
        }
    }
    // It left by the chosen interface, not by the one the routing table names.
    EXPECT_EQ(ifIndex, static_cast<int>(if_nametoindex(ifName.c_str())));

    // Empty gives the choice back to the routing table; an address of no interface is refused.
    ASSERT_EQ(S::setMulticastIf(tx, ""), 0);
    ASSERT_EQ(getsockopt(tx, IPPROTO_IP, IP_MULTICAST_IF, &chosen, &len), 0);
    EXPECT_EQ(chosen.s_addr, htonl(INADDR_ANY));
    zqtest::OutputCapture cap;
    EXPECT_EQ(S::setMulticastIf(tx, "198.51.100.7"), -1);
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: setsockopt().")) << cap.out();
}

TEST_F(SocketUtilsNsTest, ReadRefusesBadArgumentsWithoutReading)
{
    const int port = 41020;
    int rx = udpBound(port);
    int tx = open(S::SOCKET_TYPE_UDP);
    sendTo(tx, port, "queued");

    unsigned char buf[16] = {};
    int len = 77;
    EXPECT_EQ(S::readData(rx, nullptr, sizeof(buf), &len, 0), SOCK_RET_FAIL);
    EXPECT_EQ(len, 77);
    EXPECT_EQ(S::readData(rx, buf, sizeof(buf), nullptr, 0), SOCK_RET_FAIL);
    // A negative size would let the system write past the buffer.
    EXPECT_EQ(S::readData(rx, buf, -1, &len, 0), SOCK_RET_FAIL);
    EXPECT_EQ(len, 77);

    // The datagram is still there.
    ASSERT_EQ(S::readData(rx, buf, sizeof(buf), &len, 1000), SOCK_RET_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(len)), "queued");
}

TEST_F(SocketUtilsNsTest, ReadsOneDatagramOfEachKind)
{
    // UDP on loopback and a Unix-domain datagram socket bound in this test's own /tmp.
    const int port = 41021;
    int udpRx = udpBound(port);
    int udpTx = open(S::SOCKET_TYPE_UDP);
    sendTo(udpTx, port, "0123456789");
    sendTo(udpTx, port, "next");

    int unixRx = open(S::SOCKET_TYPE_UNIX);
    sockaddr_un path{};
    path.sun_family = AF_UNIX;
    strcpy(path.sun_path, "/tmp/zq41-read-0");
    unlink(path.sun_path);
    ASSERT_EQ(S::bindSocket(unixRx, reinterpret_cast<sockaddr*>(&path), sizeof(path)), 0);
    int unixTx = open(S::SOCKET_TYPE_UNIX);
    for (const char* text : {"0123456789", "next"}) {
        ASSERT_EQ(sendto(unixTx, text, strlen(text), 0, reinterpret_cast<sockaddr*>(&path), sizeof(path)),
                  static_cast<ssize_t>(strlen(text)));
    }

    for (int fd : {udpRx, unixRx}) {
        // A datagram longer than the size gives the size; the rest of it is gone.
        unsigned char buf[16] = {};
        int len = -1;
        ASSERT_EQ(S::readData(fd, buf, 4, &len, 1000), SOCK_RET_OK);
        EXPECT_EQ(len, 4);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "0123");
        EXPECT_EQ(buf[4], 0);
        ASSERT_EQ(S::readData(fd, buf, sizeof(buf), &len, 1000), SOCK_RET_OK);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(len)), "next");
        // Nothing more: an immediate timeout with the length cleared.
        len = 5;
        EXPECT_EQ(S::readData(fd, buf, sizeof(buf), &len, 0), SOCK_RET_TIMEOUT);
        EXPECT_EQ(len, 0);
    }
    unlink(path.sun_path);
}

TEST_F(SocketUtilsNsTest, ReadReportsAClosedOrResetPeer)
{
    const struct {
        const char* what;
        int port;
        bool reset;
    } cases[] = {
        {"orderly close", 41030, false},
        {"reset", 41031, true},
    };
    for (const auto& c : cases) {
        int client = -1;
        int server = -1;
        ASSERT_NO_FATAL_FAILURE(tcpPair(c.port, &client, &server));
        if (c.reset) {
            ASSERT_EQ(S::setLinger(server, true, 0), 0);
        }
        close(server);
        m_fds.erase(std::find(m_fds.begin(), m_fds.end(), server));
        unsigned char buf[16];
        int len = -1;
        EXPECT_EQ(S::readData(client, buf, sizeof(buf), &len, 10000), SOCK_RET_DISCONNECTED) << c.what;
        EXPECT_EQ(len, 0);
    }
}

TEST_F(SocketUtilsNsTest, ReadWithSizeZeroLooksLikeAClose)
{
    // A full buffer (room 0) reads 0 bytes, which callers take as a close and reconnect.
    int client = -1;
    int server = -1;
    ASSERT_NO_FATAL_FAILURE(tcpPair(41032, &client, &server));
    ASSERT_EQ(send(server, "x", 1, 0), 1);
    unsigned char buf[4];
    int len = -1;
    EXPECT_EQ(S::readData(client, buf, 0, &len, 10000), SOCK_RET_DISCONNECTED);
    EXPECT_EQ(len, 0);
}

TEST_F(SocketUtilsNsTest, ReadOnADescriptorThatIsNotOpenFails)
{
    unsigned char buf[4];
    int len = -1;
    EXPECT_EQ(S::readData(closedFd(), buf, sizeof(buf), &len, 1000), SOCK_RET_FAIL);
}

TEST_F(SocketUtilsNsTest, ReadReportsASocketError)
{
    // A refused non-blocking connect leaves an error that the read returns.
    int fd = open(S::SOCKET_TYPE_TCP);
    ASSERT_EQ(S::setBlock(fd, false), 0);
    sockaddr_in nobody = loopback(41040);
    ASSERT_EQ(connect(fd, sa(nobody), sizeof(nobody)), -1);
    ASSERT_EQ(errno, EINPROGRESS);
    unsigned char buf[4];
    int len = -1;
    EXPECT_EQ(S::readData(fd, buf, sizeof(buf), &len, 10000), SOCK_RET_ERROR);
}

void onSignal(int) {}

TEST_F(SocketUtilsNsTest, InterruptedWaitAsksToTryAgain)
{
    int fd = udpBound(41041);
    struct sigaction action {};
    struct sigaction saved {};
    action.sa_handler = onSignal;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);

    // Signals until the read returns; one of them lands in the endless wait.
    std::atomic<bool> done{false};
    pthread_t reader = pthread_self();
    std::thread kicker([&] {
        while (!done.load()) {
            pthread_kill(reader, SIGUSR1);
            timespec pace{};
            pace.tv_nsec = 1000000;
            nanosleep(&pace, nullptr);
        }
    });
    unsigned char buf[4];
    int len = -1;
    int ret = S::readData(fd, buf, sizeof(buf), &len, -1);
    done = true;
    kicker.join();
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_EQ(ret, SOCK_RET_TRY_AGAIN);
}

TEST_F(SocketUtilsNsTest, WritesRefuseBadArgumentsWithoutSending)
{
    int client = -1;
    int server = -1;
    ASSERT_NO_FATAL_FAILURE(tcpPair(41050, &client, &server));
    // A heap buffer of its own mapping, as a message is: the kernel sends from it whatever length
    // it is given (a stack buffer would make it refuse a huge length by itself).
    std::vector<unsigned char> data(size_t{1} << 20, 'x');

    EXPECT_EQ(S::writeData(client, nullptr, 4), -1);
    EXPECT_EQ(S::writeData(client, nullptr, 4, 10), -1);
    // A negative length would send the memory after the buffer.
    EXPECT_EQ(S::writeData(client, data.data(), 0, 10), -1);
    EXPECT_EQ(S::writeData(client, data.data(), -1, 10), -1);
    EXPECT_EQ(S::writeData(client, data.data(), INT_MIN, 10), -1);
    EXPECT_EQ(S::writeData(client, data.data(), 0), 0);
    EXPECT_EQ(S::writeData(client, data.data(), -1), 0);
    EXPECT_EQ(S::writeData(client, data.data(), INT_MIN), 0);

    // Not a byte went out: a marker sent now is the first thing the peer reads.
    unsigned char marker[1] = {'!'};
    ASSERT_EQ(S::writeData(client, marker, 1), 1);
    unsigned char buf[16];
    int len = -1;
    ASSERT_EQ(S::readData(server, buf, sizeof(buf), &len, 10000), SOCK_RET_OK);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(buf[0], '!');
}

TEST_F(SocketUtilsNsTest, WritesSendTheWholeBuffer)
{
    int client = -1;
    int server = -1;
    ASSERT_NO_FATAL_FAILURE(tcpPair(41051, &client, &server));
    unsigned char first[5] = {'h', 'e', 'l', 'l', 'o'};
    unsigned char second[6] = {' ', 'w', 'o', 'r', 'l', 'd'};

    ASSERT_EQ(S::setSendTimeOut(client, 250), 0);
    EXPECT_EQ(S::writeData(client, first, 5), 5);
    // A negative timeout leaves the socket's own.
    EXPECT_EQ(S::writeData(client, second, 6, -1), 6);
    EXPECT_TRUE(sameTime(timeOption(client, SO_SNDTIMEO), 250));

    std::string got;
    unsigned char buf[32];
    while (got.size() < 11) {
        int len = -1;
        ASSERT_EQ(S::readData(server, buf, sizeof(buf), &len, 10000), SOCK_RET_OK);
        got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(len));
    }
    EXPECT_EQ(got, "hello world");

    // The timeout given stays on the socket.
    EXPECT_EQ(S::writeData(client, first, 5, 10), 5);
    EXPECT_TRUE(sameTime(timeOption(client, SO_SNDTIMEO), 10));
}

TEST_F(SocketUtilsNsTest, WritesToAFullConnectionReturnTheShortCount)
{
    const int big = 8 << 20;
    std::vector<unsigned char> data(big, 0x5a);
    const struct {
        const char* what;
        int port;
        bool timed;
    } cases[] = {
        {"with a timeout", 41052, true},
        {"non-blocking, ten tries", 41053, false},
    };
    for (const auto& c : cases) {
        int client = -1;
        int server = -1;
        ASSERT_NO_FATAL_FAILURE(tcpPair(c.port, &client, &server, 4096));
        ASSERT_EQ(S::setSendBufSize(client, 4096), 0);
        int sent = 0;
        if (c.timed) {
            sent = S::writeData(client, data.data(), big, 10);
        } else {
            ASSERT_EQ(S::setBlock(client, false), 0);
            sent = S::writeData(client, data.data(), big);
        }
        EXPECT_GT(sent, 0) << c.what;
        EXPECT_LT(sent, big) << c.what;
    }
}

TEST_F(SocketUtilsNsTest, WriteToAClosedPeerFailsWithoutSignal)
{
    int client = -1;
    int server = -1;
    ASSERT_NO_FATAL_FAILURE(tcpPair(41054, &client, &server));
    close(server);
    m_fds.erase(std::find(m_fds.begin(), m_fds.end(), server));
    unsigned char data[4] = {1, 2, 3, 4};
    // The first sends may still be taken; once the reset arrived a send fails (EPIPE would
    // otherwise kill this process).
    EXPECT_TRUE(zqtest::waitUntil([&] { return S::writeData(client, data, 4, 10) == -1; }, 10000));
    EXPECT_EQ(S::writeData(client, data, 4), 0);
}

TEST_F(SocketUtilsNsTest, TimedConnectReturnsTheReasonQuietlyAndLeavesTheSocketBlocking)
{
    const int listening = 41060;
    const int full = 41061;
    listener(listening);
    // A listener whose accept queue is full drops further SYNs: the connect can only time out.
    int dropping = open(S::SOCKET_TYPE_TCP);
    sockaddr_in fullAddr = loopback(full);
    ASSERT_EQ(S::bindSocket(dropping, sa(fullAddr), sizeof(fullAddr)), 0);
    ASSERT_EQ(listen(dropping, 0), 0);
    for (int i = 0; i < 3; ++i) {
        int filler = track(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        connect(filler, sa(fullAddr), sizeof(fullAddr));
    }
    std::atomic<bool> running{true};
    std::atomic<bool> stopped{false};
    struct Case {
        const char* what;
        int port;
        int timeoutMs;
        const std::atomic<bool>* running;
        int want;
    } cases[] = {
        {"listening", listening, 1000, nullptr, 0},
        {"listening, with a running flag", listening, 1000, &running, 0},
        {"nobody there", listening + 10, 1000, nullptr, ECONNREFUSED},
        {"SYNs dropped", full, 300, nullptr, ETIMEDOUT},
        {"SYNs dropped, sliced", full, 300, &running, ETIMEDOUT},
        // Would wait an hour (past the test's own timeout) if the flag were not looked at.
        {"SYNs dropped, stopped", full, 3600000, &stopped, ETIMEDOUT},
    };
    for (const Case& c : cases) {
        int fd = S::openSocket(S::SOCKET_TYPE_TCP);
        ASSERT_GE(fd, 0) << c.what;
        track(fd);
        sockaddr_in addr = loopback(c.port);
        zqtest::OutputCapture cap;
        EXPECT_EQ(S::connectTimed(fd, sa(addr), sizeof(addr), c.timeoutMs, c.running), c.want) << c.what;
        cap.stop();
        EXPECT_EQ(cap.out() + cap.err(), "") << c.what;
        EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << c.what;
    }
}

} // namespace
