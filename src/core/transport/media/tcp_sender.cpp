#include "core/transport/media/tcp_sender.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "memory/datacenter.h"
#include "memory/mem_pool.h"
#include "utils/dds_common.h"
#include "utils/ev_reactor.h"
#include "utils/socket_utils.h"

namespace {

// The bytes of one frame still to go: the stamped header copy, then the package's payload.
struct FrameCursor {
    iovec m_iov[2];
    int m_iFirst{0};
    int m_iTotal{0};
    int m_iSent{0};

    void advance(size_t n)
    {
        m_iSent += static_cast<int>(n);
        while (n > 0 && m_iFirst < 2) {
            size_t step = std::min(n, m_iov[m_iFirst].iov_len);
            m_iov[m_iFirst].iov_base = static_cast<uint8_t*>(m_iov[m_iFirst].iov_base) + step;
            m_iov[m_iFirst].iov_len -= step;
            n -= step;
            if (m_iov[m_iFirst].iov_len == 0) {
                ++m_iFirst;
            }
        }
    }
};

using Clock = std::chrono::steady_clock;

// The bounded send loop: up to `attempts` sends; a send that would block or was interrupted is
// followed by a pause of 20 us, doubled after each such send up to 1000 us, back to 20 us after a
// send that moved bytes. Stops early after `idleLimit` sends in a row that moved nothing, or at
// `deadline`. 0, or -202 (peer reset, broken pipe) or -201 (any other failure, with a perror
// line); the bytes sent are in the cursor.
int tcpSend(int fd, FrameCursor& cursor, int attempts, int idleLimit, Clock::time_point deadline)
{
    int pauseUs = 20;
    int idle = 0;
    while (cursor.m_iSent < cursor.m_iTotal && attempts > 0) {
        --attempts;
        msghdr msg{};
        msg.msg_iov = cursor.m_iov + cursor.m_iFirst;
        msg.msg_iovlen = static_cast<size_t>(2 - cursor.m_iFirst);
        ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
                if (++idle >= idleLimit || Clock::now() >= deadline) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
                pauseUs = std::min(pauseUs * 2, 1000);
                continue;
            }
            if (err == ECONNRESET || err == EPIPE) {
                return SOCK_RET_DISCONNECTED;
            }
            errno = err;
            ddsPerror("send");
            return SOCK_RET_ERROR;
        }
        cursor.advance(static_cast<size_t>(n));
        idle = n > 0 ? 0 : idle + 1;
        pauseUs = 20;
        if (idle >= idleLimit || Clock::now() >= deadline) {
            break;
        }
    }
    return 0;
}

// What the listening and the accepted sockets share: no Nagle delay, reset on close, and a peer
// that vanished found within about 45 s.
void tuneStream(int fd)
{
    CSocketUtils::setNodelay(fd, true);
    CSocketUtils::setLinger(fd, true, 0);
    CSocketUtils::setKeepAlive(fd, true);
    CSocketUtils::setKeepIdle(fd, 30);
    CSocketUtils::setKeepInterval(fd, 3);
    CSocketUtils::setKeepCnt(fd, 5);
}

} // namespace

int sendTcpData(int fd, const void* data, int length, bool* stalled)
{
    if (data == nullptr || length < static_cast<int>(DDS_HEADER_SIZE) ||
        static_cast<uint32_t>(length) - DDS_HEADER_SIZE > DDS_MAX_FRAME_PAYLOAD) {
        return -1;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    DDSHeader_t header = readDdsHeader(bytes);
    header.m_u32SeqNo = 1;
    header.m_u8Flag = PKT_FLAG_FIRST;
    header.m_u32DataLen = static_cast<uint32_t>(length) - DDS_HEADER_SIZE;
    header.m_u32TotalLen = static_cast<uint32_t>(length);
    header.m_u32PktCount = 1;
    uint8_t headerCopy[DDS_HEADER_SIZE];
    writeDdsHeader(headerCopy, header);

    FrameCursor cursor;
    cursor.m_iov[0].iov_base = headerCopy;
    cursor.m_iov[0].iov_len = DDS_HEADER_SIZE;
    cursor.m_iov[1].iov_base = const_cast<uint8_t*>(bytes + DDS_HEADER_SIZE);
    cursor.m_iov[1].iov_len = static_cast<size_t>(length) - DDS_HEADER_SIZE;
    cursor.m_iTotal = length;

    const bool wasStalled = stalled != nullptr && *stalled;
    int err = 0;
    if (wasStalled) {
        // One try without waiting: while the reader still has no room the frame is skipped.
        msghdr msg{};
        msg.msg_iov = cursor.m_iov;
        msg.msg_iovlen = 2;
        ssize_t n;
        do {
            n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            int e = errno;
            if (e == EAGAIN || e == EWOULDBLOCK) {
                return TCP_SEND_SKIPPED;
            }
            if (e == ECONNRESET || e == EPIPE) {
                err = SOCK_RET_DISCONNECTED;
            } else {
                errno = e;
                ddsPerror("send");
                err = SOCK_RET_ERROR;
            }
        } else {
            cursor.advance(static_cast<size_t>(n));
        }
    }
    if (err == 0 && cursor.m_iSent == 0) {
        err = tcpSend(fd, cursor, 10, INT_MAX, Clock::time_point::max());
    }
    if (err == 0 && cursor.m_iSent > 0 && cursor.m_iSent < length) {
        // Half a frame would misalign the stream for good: finish it while it keeps moving.
        err = tcpSend(fd, cursor, INT_MAX, 10, Clock::now() + std::chrono::milliseconds(TCP_FRAME_FINISH_MS));
    }

    int result = 0;
    if (cursor.m_iSent == length) {
        result = 0;
    } else if (err == SOCK_RET_DISCONNECTED) {
        result = SOCK_RET_DISCONNECTED;
    } else if (cursor.m_iSent > 0) {
        result = TCP_SEND_TRUNCATED;
    } else if (err == SOCK_RET_ERROR) {
        result = SOCK_RET_ERROR;
    } else {
        result = TCP_SEND_SKIPPED;
    }
    if (stalled != nullptr) {
        *stalled = result == TCP_SEND_SKIPPED;
    }
    if (result != 0 && !(wasStalled && result == TCP_SEND_SKIPPED)) {
        int shown = (result == SOCK_RET_DISCONNECTED || result == SOCK_RET_ERROR) && cursor.m_iSent == 0
                        ? result
                        : cursor.m_iSent;
        DDS_YELLOW("Failed to send data, iSockfd: %d, iLen : %d, iSndLen: %d .", fd, length, shown);
    }
    return result;
}

CTcpSender::CTcpSender(CDataManager* dataManager)
    : CDataSender(dataManager), m_pGuard(std::make_shared<AcceptGuard_t>())
{
    m_pGuard->m_pOwner = this;
}

CTcpSender::~CTcpSender()
{
    CTcpSender::deinit();
    {
        // Connections added while the sender never ran.
        std::lock_guard<std::mutex> connLock(m_mutexConn);
        std::lock_guard<std::mutex> acceptLock(m_mutexAccept);
        closeAllLocked();
    }
    // An accept callback of a registration the reactor has not dropped yet finds no owner; one
    // that runs now is waited for.
    std::lock_guard<std::mutex> lock(m_pGuard->m_mutex);
    m_pGuard->m_pOwner = nullptr;
}

bool CTcpSender::init()
{
    return startSending(10);
}

bool CTcpSender::isInit()
{
    return m_bRunning.load();
}

void CTcpSender::deinit()
{
    stopSending();
}

void CTcpSender::stopped()
{
    m_workers.stop();
    std::lock_guard<std::mutex> connLock(m_mutexConn);
    std::lock_guard<std::mutex> acceptLock(m_mutexAccept);
    closeAllLocked();
}

void CTcpSender::closeListener(CUniqueFd listenFd)
{
    // A registration the reactor no longer holds (it was stopped) leaves the socket to us.
    if (CEvReactor::getInstance()->unregisterEventAndClose(listenFd.get())) {
        listenFd.release(); // the reactor's to close now
    }
}

void CTcpSender::closeAllLocked()
{
    for (auto& entry : m_mapConn) {
        closeListener(std::move(entry.second.m_iFd));
    }
    for (auto& entry : m_mapAccepted) {
        for (const AcceptedPtr& reader : entry.second) {
            ::shutdown(reader->m_iFd.get(), SHUT_RDWR);
        }
    }
    m_mapConn.clear();
    m_mapAccepted.clear();
    m_iConnCount.store(0);
}

int CTcpSender::open(TcpParam_t& param, TcpSockAddr_t* out)
{
    if (out == nullptr || !isTextTerminated(param.m_szIp, sizeof(param.m_szIp)) || !isValidIPv4(param.m_szIp) ||
        param.m_iPort < 0 || param.m_iPort > 65535) {
        DDS_RED("Error: invalid tcp address!");
        return -1;
    }
    CUniqueFd owned(CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_TCP));
    const int fd = owned.get();
    if (!owned) {
        DDS_GREEN_LIMITED("openSocket failed!");
        return -1;
    }
    CSocketUtils::setBlock(fd, false);
    CSocketUtils::setAddrReuse(fd, true);
    tuneStream(fd);

    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(param.m_iPort));
    addr.sin_addr.s_addr = ipv4OrNone(param.m_szIp);
    if (CSocketUtils::bindSocket(fd, reinterpret_cast<sockaddr*>(&addr), static_cast<int>(sizeof(addr))) < 0) {
        DDS_GREEN("bindSocket failed!");
        return -1;
    }
    if (::listen(fd, 10) < 0) {
        // A socket that does not listen would never be served.
        ddsPerror("listen");
        return -1;
    }
    std::shared_ptr<AcceptGuard_t> guard = m_pGuard;
    auto onReadable = [guard](int listenFd, void*) {
        std::lock_guard<std::mutex> lock(guard->m_mutex);
        if (guard->m_pOwner != nullptr) {
            guard->m_pOwner->onAccept(listenFd);
        }
    };
    if (!CEvReactor::getInstance()->registerEvent(fd, POLL_EVENT_READ, onReadable, nullptr)) {
        return -1;
    }
    out->m_iFd = std::move(owned);
    out->m_param = param;
    out->m_addr = addr;
    return 0;
}

void CTcpSender::onAccept(int listenFd)
{
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof(peer));
    socklen_t peerLen = sizeof(peer);
    CUniqueFd conn(::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC));
    const int fd = conn.get();
    if (!conn) {
        int err = errno;
        DDS_GREEN("socekt %d accept error: %s.", listenFd, strerror(err));
        return;
    }
    char peerText[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &peer.sin_addr, peerText, sizeof(peerText));
    DDS_GREEN("iConnfd:%d, peer addr:%s, peer port:%d", fd, peerText, static_cast<int>(ntohs(peer.sin_port)));
    CSocketUtils::setSendBufSize(fd, TCP_SEND_BUF_SIZE);
    CSocketUtils::setSendTimeOut(fd, TCP_SEND_TIMEOUT_MS);
    tuneStream(fd);

    auto reader = std::make_shared<Accepted_t>(std::move(conn), listenFd);
    std::lock_guard<std::mutex> connLock(m_mutexConn);
    bool listed = false;
    for (const auto& entry : m_mapConn) {
        listed = listed || entry.second.m_iFd.get() == listenFd;
    }
    if (!listed) {
        return; // its connection was dropped meanwhile: `reader` closes the socket
    }
    std::lock_guard<std::mutex> acceptLock(m_mutexAccept);
    m_mapAccepted[listenFd].push_back(std::move(reader));
}

bool CTcpSender::addConn(int connId, TransParam_t& param)
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    if (param.m_iType != TRANS_TYPE_TCP) {
        return false;
    }
    if (m_mapConn.count(connId) != 0) {
        DDS_RED("Error: tcp conn %d already exists!", connId);
        return false;
    }
    TcpSockAddr_t record{};
    if (open(param.m_tcpParam, &record) != 0) {
        return false;
    }
    DDS_GREEN("Open tcp port %d success.", record.m_param.m_iPort);
    m_mapConn.emplace(connId, std::move(record));
    m_iConnCount.store(static_cast<int>(m_mapConn.size()));
    return true;
}

bool CTcpSender::delConn(int connId)
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    auto it = m_mapConn.find(connId);
    if (it == m_mapConn.end()) {
        return false;
    }
    TcpSockAddr_t& record = it->second;
    DDS_GREEN("Delete tcp conn %d, addr: %s, port: %d", connId, record.m_param.m_szIp, record.m_param.m_iPort);
    resetFrameRate();
    const int listenFd = record.m_iFd.get(); // the key of its readers, still after the close
    closeListener(std::move(record.m_iFd));
    {
        std::lock_guard<std::mutex> acceptLock(m_mutexAccept);
        auto readers = m_mapAccepted.find(listenFd);
        if (readers != m_mapAccepted.end()) {
            // A send in flight fails at once; the socket closes when the send thread lets go.
            for (const AcceptedPtr& reader : readers->second) {
                ::shutdown(reader->m_iFd.get(), SHUT_RDWR);
            }
            m_mapAccepted.erase(readers);
        }
    }
    m_mapConn.erase(it);
    m_iConnCount.store(static_cast<int>(m_mapConn.size()));
    return true;
}

bool CTcpSender::isConnExist(int connId)
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    return m_mapConn.count(connId) != 0;
}

int CTcpSender::getClientCount()
{
    std::lock_guard<std::mutex> lock(m_mutexAccept);
    size_t count = 0;
    for (const auto& entry : m_mapAccepted) {
        count += entry.second.size();
    }
    return static_cast<int>(count);
}

int CTcpSender::getPort(int connId)
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    auto it = m_mapConn.find(connId);
    return it == m_mapConn.end() ? -1 : it->second.m_param.m_iPort;
}

int CTcpSender::getFps()
{
    return readFps(m_iConnCount.load());
}

void CTcpSender::sendTask()
{
    sendLoop([this](const SendPass_t& pass) {
        for (size_t i = 0; i < pass.m_count; ++i) {
            sendData(pass.m_data[i], pass.m_length[i]);
        }
        for (size_t i = 0; i < pass.m_count; ++i) {
            countSent(); // counted whether or not a reader took it
        }
    });
}

void CTcpSender::dropReader(const AcceptedPtr& reader)
{
    std::lock_guard<std::mutex> lock(m_mutexAccept);
    auto readers = m_mapAccepted.find(reader->m_iListenFd);
    if (readers == m_mapAccepted.end()) {
        return;
    }
    auto it = std::find(readers->second.begin(), readers->second.end(), reader);
    if (it == readers->second.end()) {
        return;
    }
    DDS_YELLOW("Delete accecpt fd %d connect fd %d .", reader->m_iListenFd, reader->m_iFd.get());
    ::shutdown(reader->m_iFd.get(), SHUT_RDWR);
    readers->second.erase(it);
}

void CTcpSender::sendData(unsigned char* data, int length)
{
    if (data == nullptr || length < static_cast<int>(DDS_HEADER_SIZE)) {
        return;
    }
    if (static_cast<uint32_t>(length) - DDS_HEADER_SIZE > DDS_MAX_FRAME_PAYLOAD) {
        DDS_RED("Error: package of %d bytes is above the frame limit!", length);
        return;
    }
    m_vecSnapshot.clear();
    {
        std::lock_guard<std::mutex> lock(m_mutexAccept);
        for (const auto& entry : m_mapAccepted) {
            m_vecSnapshot.insert(m_vecSnapshot.end(), entry.second.begin(), entry.second.end());
        }
    }
    if (m_vecSnapshot.empty()) {
        return;
    }
    // The first reader is served on this thread, every further one on a worker of its own, so that
    // a slow reader delays no other.
    m_vecResults.assign(m_vecSnapshot.size(), 0);
    auto job = [this, data, length](size_t index) {
        Accepted_t* reader = m_vecSnapshot[index].get();
        m_vecResults[index] = sendTcpData(reader->m_iFd.get(), data, length, &reader->m_bStalled);
    };
    m_workers.run(m_vecSnapshot.size(), job);
    for (size_t i = 0; i < m_vecSnapshot.size(); ++i) {
        // A reader that is gone, or whose stream lost its alignment, is dropped; its receiver
        // reconnects and starts on a frame boundary.
        if (m_vecResults[i] == SOCK_RET_DISCONNECTED || m_vecResults[i] == TCP_SEND_TRUNCATED) {
            dropReader(m_vecSnapshot[i]);
        }
    }
    m_vecSnapshot.clear();
}
