// Test peers of the control channel: a plain TCP client and listener that speak the control
// messages byte by byte, a topic object without a participant, and a process-memory pool.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/topic_impl.h"
#include "core/transport/control/control_msg.h"
#include "core/transport/transport.h"
#include "memory/normal_mem_pool.h"
#include "support/zqtest.h"
#include "zqdds/topic.h"

namespace ctrltest {

using Bytes = std::vector<uint8_t>;

struct TestTopic {
    explicit TestTopic(const std::string& name) : impl(nullptr) { impl.setTopic(new CTopic(name, &impl)); }
    CTopicImpl impl;
};

struct TestPool {
    TestPool()
    {
        MemConfig_t cfg{};
        CMemPool::getDefaultCfg(cfg);
        pool.init(cfg);
    }
    ~TestPool() { pool.deinit(); }
    CNormalMemPool pool;
};

// Test messages: payload byte j of message i is (7 i + j) & 0xff, its time stamp TIMESTAMP_BASE + i.
constexpr uint64_t TIMESTAMP_BASE = 1700000000000000ULL;

// Writes `count` messages through a writing side, one in flight at a time (the data sender's queue
// drops the oldest when it overflows): each is sent before the next is written.
inline bool writeTestMessages(CTransport& transport, CMemPool& pool, int count, int size)
{
    for (int i = 0; i < count; ++i) {
        DataPackage_t* pkg = transport.getEmptyDataPkg(static_cast<int>(DDS_HEADER_SIZE) + size, 0);
        if (pkg == nullptr) {
            return false;
        }
        uint8_t* data = pkgData(pkg);
        DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
        header.m_u64TimeStamp = TIMESTAMP_BASE + static_cast<uint64_t>(i);
        header.m_u32DataLen = static_cast<uint32_t>(size);
        writeDdsHeader(data, header);
        for (int j = 0; j < size; ++j) {
            data[DDS_HEADER_SIZE + static_cast<size_t>(j)] = static_cast<uint8_t>((7 * i + j) & 0xff);
        }
        pkg->m_iLen = static_cast<int>(DDS_HEADER_SIZE) + size;
        transport.putFullDataPkg(pkg, pkg->m_iLen);
        if (!zqtest::waitUntil([&] { return pool.getUsedSize() == 0; }, 10000)) {
            return false;
        }
    }
    return true;
}

// The index of a received test message whose payload and time stamp are intact, or -1.
inline int checkTestMessage(DataPackage_t* pkg, int size)
{
    if (pkg == nullptr || pkg->m_iLen != static_cast<int>(DDS_HEADER_SIZE) + size) {
        return -1;
    }
    const uint8_t* data = pkgData(pkg);
    DDSHeader_t header = readDdsHeader(data);
    if (header.m_u64TimeStamp < TIMESTAMP_BASE) {
        return -1;
    }
    int i = static_cast<int>(header.m_u64TimeStamp - TIMESTAMP_BASE);
    for (int j = 0; j < size; ++j) {
        if (data[DDS_HEADER_SIZE + static_cast<size_t>(j)] != static_cast<uint8_t>((7 * i + j) & 0xff)) {
            return -1;
        }
    }
    return i;
}

inline TransParam_t tcpEndpoint(const char* ip, int port)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_TCP;
    std::strncpy(param.m_tcpParam.m_szIp, ip, sizeof(param.m_tcpParam.m_szIp) - 1);
    param.m_tcpParam.m_iPort = port;
    return param;
}

inline Bytes requestMsg(const std::string& ip, const std::string& topic)
{
    uint8_t msg[CTRL_REQUEST_MSG_LEN];
    buildRequestMsg(msg, ip, topic);
    return Bytes(msg, msg + sizeof(msg));
}

inline Bytes heartbeatMsg(uint8_t type, const std::string& topic, const std::string& ip = "127.0.0.1")
{
    uint8_t msg[CTRL_HEARTBEAT_MSG_LEN];
    buildHeartbeatMsg(msg, type, ip, topic);
    return Bytes(msg, msg + sizeof(msg));
}

inline Bytes ackMsg(const std::string& topic, const TransParam_t& param)
{
    uint8_t msg[CTRL_REQUEST_ACK_MSG_LEN];
    buildRequestAckMsg(msg, "127.0.0.1", topic, param);
    return Bytes(msg, msg + sizeof(msg));
}

inline uint8_t typeOf(const Bytes& msg)
{
    return msg.size() >= DDS_HEADER_SIZE ? readDdsHeader(msg.data()).m_u8Type : 0;
}

inline int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One end of a TCP control connection.
class TcpPeer {
public:
    explicit TcpPeer(int fd) : m_fd(fd) {}
    ~TcpPeer()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    // From `from` when given (an address of this host), else from what the kernel picks.
    static std::unique_ptr<TcpPeer> connectTo(int port, const char* ip = "127.0.0.1", const char* from = nullptr)
    {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && from != nullptr) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = inet_addr(from);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
                ::close(fd);
                return nullptr;
            }
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = inet_addr(ip);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            if (fd >= 0) {
                ::close(fd);
            }
            return nullptr;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        return std::make_unique<TcpPeer>(fd);
    }

    int fd() const { return m_fd; }

    bool send(const Bytes& bytes)
    {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // The next complete control message; false on timeout or close.
    bool readMessage(Bytes* out, int timeoutMs = 5000)
    {
        int64_t deadline = nowMs() + timeoutMs;
        for (;;) {
            const uint8_t* msg = nullptr;
            size_t len = 0;
            int got = 0;
            while ((got = m_buffer.next(&msg, &len)) != 0) {
                if (got > 0) {
                    out->assign(msg, msg + len);
                    return true;
                }
            }
            int left = static_cast<int>(deadline - nowMs());
            if (left <= 0 || !waitReadable(left)) {
                return false;
            }
            uint8_t* tail = m_buffer.tail();
            ssize_t n = ::recv(m_fd, tail, m_buffer.room(), 0);
            if (n <= 0) {
                return false;
            }
            m_buffer.commit(static_cast<size_t>(n));
        }
    }

    // True when the other end closed (or reset) within the deadline; data before that is dropped.
    bool waitClosed(int timeoutMs = 10000)
    {
        int64_t deadline = nowMs() + timeoutMs;
        uint8_t scratch[4096];
        for (;;) {
            int left = static_cast<int>(deadline - nowMs());
            if (left <= 0 || !waitReadable(left)) {
                return false;
            }
            ssize_t n = ::recv(m_fd, scratch, sizeof(scratch), 0);
            if (n <= 0) {
                return true;
            }
        }
    }

    // Port of this end.
    int localPort() const
    {
        sockaddr_in addr{};
        socklen_t len = sizeof(addr);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        return ntohs(addr.sin_port);
    }

private:
    bool waitReadable(int timeoutMs)
    {
        pollfd entry{m_fd, POLLIN, 0};
        return ::poll(&entry, 1, timeoutMs) > 0;
    }

    int m_fd;
    CCtrlMsgBuffer m_buffer;
};

class TcpListener {
public:
    explicit TcpListener(int port, int backlog = 16)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = inet_addr("127.0.0.1");
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(m_fd, backlog) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~TcpListener()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    bool ok() const { return m_fd >= 0; }

    std::unique_ptr<TcpPeer> accept(int timeoutMs = 5000)
    {
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, timeoutMs) <= 0) {
            return nullptr;
        }
        int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        return fd < 0 ? nullptr : std::make_unique<TcpPeer>(fd);
    }

private:
    int m_fd{-1};
};

// The descriptor of this process whose TCP peer is at `peerPort` on loopback (the accepted end of
// a connection the test made), or -1.
inline int acceptedFdFor(int peerPort)
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int found = -1;
    while (dirent* entry = ::readdir(dir)) {
        int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] == '.' || fd == ::dirfd(dir)) {
            continue;
        }
        sockaddr_in peer{};
        socklen_t len = sizeof(peer);
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && peer.sin_family == AF_INET &&
            ntohs(peer.sin_port) == peerPort) {
            found = fd;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// Waits until the receiving end `fd` of this process has read everything queued on it.
inline bool waitDrained(int fd, int timeoutMs = 5000)
{
    return zqtest::waitUntil(
        [fd] {
            int queued = 0;
            return ::ioctl(fd, FIONREAD, &queued) == 0 && queued == 0;
        },
        timeoutMs);
}

} // namespace ctrltest
