#include "utils/socket_utils.h"

#include "utils/dds_common.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr int kWriteTries = 10;

int setOption(int fd, int level, int option, const void* value, socklen_t len)
{
    if (setsockopt(fd, level, option, value, len) < 0) {
        DDS_RED("Error: setsockopt().");
        ddsPerror("setsockopt: ");
        return -1;
    }
    return 0;
}

int setIntOption(int fd, int level, int option, int value)
{
    return setOption(fd, level, option, &value, sizeof(value));
}

int setTimeOption(int fd, int option, int ms)
{
    if (ms < 0) {
        return -1;
    }
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    return setOption(fd, SOL_SOCKET, option, &tv, sizeof(tv));
}

int getIntOption(int fd, int option, int& bytes)
{
    int value = 0;
    socklen_t len = sizeof(value);
    if (getsockopt(fd, SOL_SOCKET, option, &value, &len) < 0) {
        DDS_RED("Error: getsockopt().");
        ddsPerror("getsockopt: ");
        return -1;
    }
    bytes = value;
    return 0;
}

// An unreadable text gives the broadcast address, which every multicast option refuses, so the
// caller sees the system's error as for any other refused address.
in_addr textAddr(const std::string& text)
{
    in_addr addr{};
    addr.s_addr = ipv4OrNone(text.c_str());
    return addr;
}

in_addr interfaceAddr(const std::string& interfaceIp)
{
    if (interfaceIp.empty()) {
        in_addr any{};
        any.s_addr = htonl(INADDR_ANY);
        return any;
    }
    return textAddr(interfaceIp);
}

ip_mreq membershipRequest(const in_addr& group, const std::string& interfaceIp)
{
    ip_mreq mreq{};
    mreq.imr_multiaddr = group;
    mreq.imr_interface = interfaceAddr(interfaceIp);
    return mreq;
}

int membership(int fd, int option, const in_addr& group, const std::string& interfaceIp)
{
    const ip_mreq mreq = membershipRequest(group, interfaceIp);
    return setOption(fd, IPPROTO_IP, option, &mreq, sizeof(mreq));
}

int quietMembership(int fd, int option, const in_addr& group, const std::string& interfaceIp)
{
    const ip_mreq mreq = membershipRequest(group, interfaceIp);
    return setsockopt(fd, IPPROTO_IP, option, &mreq, sizeof(mreq)) == 0 ? 0 : errno;
}

} // namespace

int CSocketUtils::openSocket(SocketType_e type)
{
    int domain = AF_INET;
    int sockType = SOCK_STREAM;
    switch (type) {
    case SOCKET_TYPE_TCP:
        break;
    case SOCKET_TYPE_UDP:
        sockType = SOCK_DGRAM;
        break;
    case SOCKET_TYPE_UNIX:
        domain = AF_UNIX;
        sockType = SOCK_DGRAM;
        break;
    default:
        return -1;
    }
    int fd = socket(domain, sockType | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        DDS_RED("Error: socket().");
        ddsPerror("socket: ");
    }
    return fd;
}

int CSocketUtils::closeSocket(int fd)
{
    if (fd >= 0) {
        close(fd);
    }
    return 0;
}

int CSocketUtils::bindSocket(int fd, sockaddr* addr, int len)
{
    if (bind(fd, addr, static_cast<socklen_t>(len)) < 0) {
        DDS_RED("Error: bind().");
        ddsPerror("bindSocket: ");
        return -1;
    }
    return 0;
}

int CSocketUtils::connectSocket(int fd, sockaddr* addr, int len)
{
    if (connect(fd, addr, static_cast<socklen_t>(len)) < 0) {
        ddsPerror("connect: ");
        return -1;
    }
    return 0;
}

int CSocketUtils::connectTimed(int fd, const sockaddr* addr, int len, int timeoutMs, const std::atomic<bool>* running)
{
    // Non-blocking, so that a peer that drops SYNs costs one bounded wait, not the system's minutes.
    setBlock(fd, false);
    int err = 0;
    if (connect(fd, addr, static_cast<socklen_t>(len)) != 0) {
        err = errno;
    }
    if (err == EINPROGRESS) {
        err = ETIMEDOUT;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (running == nullptr || running->load()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd entry{fd, POLLOUT, 0};
            int wait = static_cast<int>(left.count());
            int ready = poll(&entry, 1, running == nullptr ? wait : std::min(wait, CONNECT_SLICE_MS));
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                err = errno;
                break;
            }
            if (ready > 0) {
                int soErr = 0;
                socklen_t soLen = sizeof(soErr);
                err = getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &soLen) == 0 ? soErr : errno;
                break;
            }
        }
    }
    setBlock(fd, true);
    return err;
}

int CSocketUtils::setBlock(int fd, bool block)
{
    // Writing back flags that could not be read would clobber them.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, block ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK)) < 0) {
        DDS_RED("Error: fcntl().");
        ddsPerror("fcntl: ");
        return -1;
    }
    return 0;
}

int CSocketUtils::setRecvTimeOut(int fd, int ms)
{
    return setTimeOption(fd, SO_RCVTIMEO, ms);
}

int CSocketUtils::setSendTimeOut(int fd, int ms)
{
    return setTimeOption(fd, SO_SNDTIMEO, ms);
}

int CSocketUtils::setSendBufSize(int fd, int bytes)
{
    return setIntOption(fd, SOL_SOCKET, SO_SNDBUF, bytes);
}

int CSocketUtils::setRecvBufSize(int fd, int bytes)
{
    return setIntOption(fd, SOL_SOCKET, SO_RCVBUF, bytes);
}

void CSocketUtils::askBufSize(int fd, bool send, int bytes)
{
    const int option = send ? SO_SNDBUF : SO_RCVBUF;
    setIntOption(fd, SOL_SOCKET, option, bytes);
    int granted = 0;
    socklen_t len = sizeof(granted);
    // The kernel reports twice what it grants (its bookkeeping share).
    if (::getsockopt(fd, SOL_SOCKET, option, &granted, &len) == 0 && granted / 2 < bytes) {
        const int force = send ? SO_SNDBUFFORCE : SO_RCVBUFFORCE;
        ::setsockopt(fd, SOL_SOCKET, force, &bytes, sizeof(bytes));
    }
}

int CSocketUtils::setLinger(int fd, bool on, int seconds)
{
    linger value{};
    value.l_onoff = on ? 1 : 0;
    value.l_linger = seconds;
    return setOption(fd, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
}

bool CSocketUtils::setNodelay(int fd, bool on)
{
    return setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0) == 0;
}

int CSocketUtils::setAddrReuse(int fd, bool on)
{
    return setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

int CSocketUtils::setKeepAlive(int fd, bool on)
{
    return setIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0);
}

int CSocketUtils::setKeepIdle(int fd, int seconds)
{
    return setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, seconds);
}

int CSocketUtils::setKeepInterval(int fd, int seconds)
{
    return setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, seconds);
}

int CSocketUtils::setKeepCnt(int fd, int count)
{
    return setIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, count);
}

int CSocketUtils::setUserTimeOut(int fd, int value)
{
    return setIntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, value / 1000);
}

int CSocketUtils::setMulticastTTL(int fd, int ttl)
{
    return setIntOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, ttl);
}

int CSocketUtils::setMulticastLoop(int fd, bool on)
{
    return setIntOption(fd, IPPROTO_IP, IP_MULTICAST_LOOP, on ? 1 : 0);
}

int CSocketUtils::setMulticastIf(int fd, const std::string& interfaceIp)
{
    in_addr addr = interfaceAddr(interfaceIp);
    return setOption(fd, IPPROTO_IP, IP_MULTICAST_IF, &addr, sizeof(addr));
}

int CSocketUtils::addMulticastMembership(int fd, const std::string& group, const std::string& interfaceIp)
{
    return membership(fd, IP_ADD_MEMBERSHIP, textAddr(group), interfaceIp);
}

int CSocketUtils::delMulticastMembership(int fd, const std::string& group, const std::string& interfaceIp)
{
    return membership(fd, IP_DROP_MEMBERSHIP, textAddr(group), interfaceIp);
}

int CSocketUtils::addMulticastMembership(int fd, const in_addr& group, const std::string& interfaceIp)
{
    return membership(fd, IP_ADD_MEMBERSHIP, group, interfaceIp);
}

int CSocketUtils::delMulticastMembership(int fd, const in_addr& group, const std::string& interfaceIp)
{
    return membership(fd, IP_DROP_MEMBERSHIP, group, interfaceIp);
}

int CSocketUtils::joinMulticastQuietly(int fd, const in_addr& group, const std::string& interfaceIp)
{
    return quietMembership(fd, IP_ADD_MEMBERSHIP, group, interfaceIp);
}

int CSocketUtils::leaveMulticastQuietly(int fd, const in_addr& group, const std::string& interfaceIp)
{
    return quietMembership(fd, IP_DROP_MEMBERSHIP, group, interfaceIp);
}

int CSocketUtils::getSendBufSize(int fd, int& bytes)
{
    return getIntOption(fd, SO_SNDBUF, bytes);
}

int CSocketUtils::getRecvBufSize(int fd, int& bytes)
{
    return getIntOption(fd, SO_RCVBUF, bytes);
}

int CSocketUtils::readData(int fd, unsigned char* buf, int size, int* len, int timeoutMs)
{
    // A negative size would reach read() as a huge count.
    if (buf == nullptr || len == nullptr || size < 0) {
        return SOCK_RET_FAIL;
    }
    *len = 0;

    pollfd entry{};
    entry.fd = fd;
    entry.events = POLLIN;
    int ready = poll(&entry, 1, timeoutMs);
    if (ready < 0) {
        int err = errno;
        return (err == EAGAIN || err == EINTR) ? SOCK_RET_TRY_AGAIN : SOCK_RET_ERROR;
    }
    if (ready == 0) {
        return SOCK_RET_TIMEOUT;
    }
    if ((entry.revents & POLLIN) == 0) {
        return SOCK_RET_FAIL;
    }

    ssize_t n = read(fd, buf, static_cast<size_t>(size));
    if (n < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
            return SOCK_RET_TRY_AGAIN;
        }
        return err == ECONNRESET ? SOCK_RET_DISCONNECTED : SOCK_RET_ERROR;
    }
    if (n == 0) {
        return SOCK_RET_DISCONNECTED;
    }
    *len = static_cast<int>(n);
    return SOCK_RET_OK;
}

int CSocketUtils::writeData(int fd, unsigned char* buf, int len)
{
    if (buf == nullptr) {
        return -1;
    }
    int unsent = len;
    for (int tries = 0; unsent > 0 && tries < kWriteTries; ++tries) {
        ssize_t n = send(fd, buf + (len - unsent), static_cast<size_t>(unsent), MSG_NOSIGNAL);
        if (n >= 0) {
            unsent -= static_cast<int>(n);
            continue;
        }
        int err = errno;
        if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
            break;
        }
    }
    return len > 0 ? len - unsent : 0;
}

int CSocketUtils::writeData(int fd, unsigned char* buf, int len, int timeoutMs)
{
    // A negative length would reach send() as a huge size and put adjacent memory on the wire.
    if (buf == nullptr || len <= 0) {
        return -1;
    }
    setSendTimeOut(fd, timeoutMs);
    ssize_t n = send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    return n > 0 ? static_cast<int>(n) : -1;
}
