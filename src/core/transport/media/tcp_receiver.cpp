#include "core/transport/media/tcp_receiver.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include "memory/mem_pool.h"
#include "utils/dds_common.h"
#include "utils/socket_utils.h"
#include "utils/thread_utils.h"

int findMagicNumber(const unsigned char* data, int length)
{
    if (data == nullptr || length < 4) {
        return -1;
    }
    for (int i = 0; i < length - 3; ++i) {
        if (data[i] == DDS_HEADER_MAGIC[0] && data[i + 1] == DDS_HEADER_MAGIC[1] &&
            data[i + 2] == DDS_HEADER_MAGIC[2] && data[i + 3] == DDS_HEADER_MAGIC[3]) {
            return i;
        }
    }
    return -1;
}

bool isValidTcpFrameHeader(const DDSHeader_t& header)
{
    return std::memcmp(header.m_u8Magic, DDS_HEADER_MAGIC, sizeof(header.m_u8Magic)) == 0 &&
           header.m_u8Flag == PKT_FLAG_FIRST && header.m_u32SeqNo == 1 && header.m_u32PktCount == 1 &&
           header.m_u32DataLen <= DDS_MAX_FRAME_PAYLOAD &&
           static_cast<uint64_t>(header.m_u32TotalLen) == DDS_HEADER_SIZE + static_cast<uint64_t>(header.m_u32DataLen);
}

CTcpFrameParser::CTcpFrameParser(IFramePkgSink* sink, const std::string& topicName)
    : m_pSink(sink), m_strTopicName(topicName)
{
}

CTcpFrameParser::~CTcpFrameParser()
{
    reset();
}

void CTcpFrameParser::discardPackage(DataPackage_t*& pkg)
{
    if (pkg != nullptr && m_pSink != nullptr) {
        m_pSink->discardFramePkg(pkg);
    }
    pkg = nullptr;
}

void CTcpFrameParser::reset()
{
    discardPackage(m_pPkg);
    discardPackage(m_pSpare);
    m_head = m_tail = 0;
    m_scanned = 0;
    m_frameLen = 0;
    m_discard = 0;
}

void CTcpFrameParser::resetStream()
{
    if (m_pPkg != nullptr) {
        // The frame can never be finished on a new stream; its package serves the next frame.
        discardPackage(m_pSpare);
        m_pSpare = m_pPkg;
        m_pPkg = nullptr;
    }
    m_head = m_tail = 0;
    m_scanned = 0;
    m_frameLen = 0;
    m_discard = 0;
}

unsigned char* CTcpFrameParser::writeArea(size_t* room)
{
    if (m_head > 0) {
        std::memmove(m_buffer, m_buffer + m_head, m_tail - m_head);
        m_tail -= m_head;
        m_head = 0;
    }
    if (room != nullptr) {
        *room = sizeof(m_buffer) - m_tail;
    }
    return m_buffer + m_tail;
}

int CTcpFrameParser::commit(size_t len)
{
    m_tail = std::min(m_tail + len, sizeof(m_buffer));
    int frames = 0;
    while (step(&frames)) {
    }
    return frames;
}

int CTcpFrameParser::feed(const uint8_t* data, size_t len)
{
    int frames = 0;
    while (data != nullptr && len > 0) {
        size_t room = 0;
        unsigned char* area = writeArea(&room);
        size_t n = std::min(room, len);
        std::memcpy(area, data, n);
        frames += commit(n);
        data += n;
        len -= n;
    }
    return frames;
}

void CTcpFrameParser::drop(size_t count)
{
    m_head += count;
    m_scanned = m_scanned > count ? m_scanned - count : 0;
    if (m_head >= m_tail) {
        m_head = m_tail = 0;
        m_scanned = 0;
    }
}

bool CTcpFrameParser::step(int* frames)
{
    const size_t fill = m_tail - m_head;
    if (fill == 0) {
        return false;
    }
    unsigned char* front = m_buffer + m_head;

    if (m_discard > 0) {
        size_t n = std::min(m_discard, fill);
        m_discard -= n;
        m_u64DroppedBytes += n;
        drop(n);
        return true;
    }

    if (m_pPkg != nullptr) {
        size_t have = static_cast<size_t>(m_pPkg->m_iLen);
        size_t n = std::min(m_frameLen - have, fill);
        std::memcpy(pkgData(m_pPkg) + have, front, n);
        m_pPkg->m_iLen = static_cast<int32_t>(have + n);
        drop(n);
        if (static_cast<size_t>(m_pPkg->m_iLen) == m_frameLen) {
            DataPackage_t* pkg = m_pPkg;
            m_pPkg = nullptr;
            m_pSink->publishFramePkg(pkg);
            ++*frames;
        }
        return true;
    }

    // Looking for a header. Bytes before m_scanned are known not to start a magic.
    int found = findMagicNumber(front + m_scanned, static_cast<int>(fill - m_scanned));
    if (found < 0) {
        m_scanned = fill >= 3 ? fill - 3 : 0;
        if (fill == sizeof(m_buffer)) {
            // Full without a frame: keep the three bytes that may begin a magic, so that the
            // next read has room and the stream goes on.
            size_t off = fill - 3;
            DDS_YELLOW_LIMITED("iOffset: %d, iDataLen: %d, bFoundHeader: %d", static_cast<int>(off),
                               static_cast<int>(fill), 0);
            m_u64DroppedBytes += off;
            drop(off);
            return true;
        }
        return false;
    }
    size_t off = m_scanned + static_cast<size_t>(found);
    if (off > 0) {
        DDS_YELLOW_LIMITED("iOffset: %d, iDataLen: %d, bFoundHeader: %d", static_cast<int>(off), static_cast<int>(fill),
                           1);
        m_u64DroppedBytes += off;
        drop(off);
        return true;
    }
    m_scanned = 0;
    if (fill < DDS_HEADER_SIZE) {
        return false;
    }
    const DDSHeader_t header = readDdsHeader(front);
    if (!isValidTcpFrameHeader(header)) {
        // A false magic: search again from the next byte.
        ++m_u64FalseMagics;
        ++m_u64DroppedBytes;
        drop(1);
        return true;
    }
    const size_t frameLen = DDS_HEADER_SIZE + header.m_u32DataLen;
    DataPackage_t* pkg = nullptr;
    if (m_pSpare != nullptr && static_cast<size_t>(m_pSpare->m_iSize) >= frameLen) {
        pkg = m_pSpare;
        m_pSpare = nullptr;
    } else {
        discardPackage(m_pSpare);
        pkg = m_pSink != nullptr ? m_pSink->getFramePkg(static_cast<int>(frameLen)) : nullptr;
        if (pkg != nullptr && static_cast<size_t>(pkg->m_iSize) < frameLen) {
            discardPackage(pkg);
        }
    }
    if (pkg == nullptr) {
        // No room for this frame: skip its bytes, so that the search resumes after it.
        ++m_u64SkippedFrames;
        m_discard = frameLen;
        return true;
    }
    pkg->m_iLen = 0;
    m_pPkg = pkg;
    m_frameLen = frameLen;
    return true;
}

CTcpReceiver::CTcpReceiver(const std::string& topicName, CDataManager* dataManager)
    : CDataReceiver(topicName, dataManager)
{
    std::memset(&m_addr, 0, sizeof(m_addr));
}

CTcpReceiver::CTcpReceiver(CDataManager* dataManager) : CTcpReceiver(std::string(), dataManager) {}

CTcpReceiver::~CTcpReceiver()
{
    CTcpReceiver::deinit(); // a socket opened without init closes with m_fd
}

namespace {

// One connect bounded by TCP_CONNECT_TIMEOUT_MS; the socket is blocking again afterwards.
bool connectBounded(int fd, const sockaddr_in& addr)
{
    const int err =
        CSocketUtils::connectTimed(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr), TCP_CONNECT_TIMEOUT_MS);
    if (err != 0) {
        errno = err;
        DDS_LIMITED(ddsPerror, "connect: ");
    }
    return err == 0;
}

} // namespace

CUniqueFd CTcpReceiver::openSocket(bool logBufSize)
{
    CUniqueFd owned(CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_TCP));
    const int fd = owned.get();
    if (!owned) {
        DDS_RED_LIMITED_BY(m_strTopicName, "[%s] Error: openSocket!", m_strTopicName.c_str());
        return CUniqueFd();
    }
    CSocketUtils::setAddrReuse(fd, true);
    CSocketUtils::setRecvBufSize(fd, TCP_SOCK_BUF_SIZE);
    CSocketUtils::setNodelay(fd, true);
    CSocketUtils::setLinger(fd, true, 0);
    CSocketUtils::setKeepAlive(fd, true);
    CSocketUtils::setKeepIdle(fd, 30);
    CSocketUtils::setKeepInterval(fd, 3);
    CSocketUtils::setKeepCnt(fd, 5);
    if (logBufSize) {
        int bufSize = 0;
        CSocketUtils::getRecvBufSize(fd, bufSize);
        DDS_GREEN_LIMITED_BY(m_strTopicName, "[%s] Socket %d recv buf size is %d KB, while seted size is %d KB.",
                             m_strTopicName.c_str(), fd, bufSize / 1024, TCP_SOCK_BUF_SIZE / 1024);
    }
    return owned;
}

void CTcpReceiver::closeSocket()
{
    m_iFd.store(-1);
    m_fd.reset();
}

int CTcpReceiver::open(const TcpParam_t& param)
{
    if (!isTextTerminated(param.m_szIp, sizeof(param.m_szIp)) || !isValidIPv4(param.m_szIp) || param.m_iPort <= 0 ||
        param.m_iPort > 65535) {
        DDS_RED("[%s] Error: invalid tcp address!", m_strTopicName.c_str());
        return -1;
    }
    CUniqueFd fd = openSocket(true);
    if (!fd) {
        return -1;
    }
    std::memset(&m_addr, 0, sizeof(m_addr));
    m_addr.sin_family = AF_INET;
    m_addr.sin_port = htons(static_cast<uint16_t>(param.m_iPort));
    m_addr.sin_addr.s_addr = ipv4OrNone(param.m_szIp);

    for (int attempt = 1; attempt <= TCP_CONNECT_ATTEMPTS; ++attempt) {
        if (!fd) {
            // A socket whose connect failed or timed out cannot be connected again reliably.
            fd = openSocket(false);
            if (!fd) {
                return -1;
            }
        }
        if (connectBounded(fd.get(), m_addr)) {
            m_iFd.store(fd.get());
            m_fd = std::move(fd);
            DDS_GREEN("[%s] tcp receive port is %d, sender ip is %s.", m_strTopicName.c_str(), param.m_iPort,
                      param.m_szIp);
            return 0;
        }
        fd.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    DDS_RED("[%s] Error: connectSocket!", m_strTopicName.c_str());
    return -1;
}

bool CTcpReceiver::connect()
{
    int fd = m_iFd.load();
    if (fd < 0) {
        return false;
    }
    return connectBounded(fd, m_addr);
}

bool CTcpReceiver::reconnect()
{
    closeSocket();
    return open(m_stTransParam.m_tcpParam) == 0;
}

bool CTcpReceiver::init(TransParam_t& param)
{
    std::lock_guard<std::mutex> lock(m_mutexState);
    if (m_bRunning.load() || param.m_iType != TRANS_TYPE_TCP) {
        return false;
    }
    if (open(param.m_tcpParam) != 0) {
        closeSocket();
        return false;
    }
    m_stTransParam = param;
    m_bRunning.store(true);
    if (!m_thread.start(&CTcpReceiver::recvTask, this)) {
        m_bRunning.store(false);
        closeSocket();
        return false;
    }
    CThreadUtils::setPolicyAndPriority(m_thread.handle(), CThreadUtils::SCHED_POLICY_FIFO, 10);
    return true;
}

void CTcpReceiver::deinit()
{
    std::lock_guard<std::mutex> lock(m_mutexState);
    if (stopRecvThread()) {
        closeSocket();
    }
}

int CTcpReceiver::getFps()
{
    if (!m_bRunning.load() || m_iFd.load() < 0) {
        return -1;
    }
    return readFps();
}

void CTcpReceiver::handleError(int result, bool& reconnectFlag)
{
    int err = errno;
    switch (result) {
    case SOCK_RET_TRY_AGAIN:
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        break;
    case SOCK_RET_TIMEOUT:
        break;
    case SOCK_RET_DISCONNECTED:
        DDS_RED_LIMITED("Connection reset by peer. Error: %s .", strerror(err));
        reconnectFlag = true;
        break;
    default:
        errno = err;
        DDS_LIMITED(ddsPerror, "[DDS] recv");
        reconnectFlag = true;
        break;
    }
}

void CTcpReceiver::recvTask()
{
    CDataManagerSink sink(m_pDataManager);
    auto* parser = new (std::nothrow) CTcpFrameParser(&sink, m_strTopicName);
    if (parser == nullptr) {
        DDS_RED("[%s] Error: malloc failed! iBufSize: %d", m_strTopicName.c_str(), TCP_STREAM_BUF_SIZE);
        return;
    }
    bool reconnectFlag = false;
    while (m_bRunning.load()) {
        if (reconnectFlag) {
            DDS_YELLOW_LIMITED("reconnect ... ");
            if (!reconnect()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            reconnectFlag = false;
            // A frame cut off by the old connection is never completed with bytes of the new one.
            parser->resetStream();
        }
        m_bBusy.store(false);
        size_t room = 0;
        unsigned char* area = parser->writeArea(&room);
        int recvLen = 0;
        int ret = CSocketUtils::readData(m_iFd.load(), area, static_cast<int>(room), &recvLen, 100);
        if (ret != SOCK_RET_OK) {
            handleError(ret, reconnectFlag);
            continue;
        }
        int frames = parser->commit(static_cast<size_t>(recvLen));
        for (int i = 0; i < frames; ++i) {
            m_bBusy.store(true);
            calculateFrameRate();
        }
    }
    // A frame still being assembled, and the spare package, go back to the pool.
    parser->reset();
    delete parser;
    DDS_GREEN("[%s] CTcpReceiver::recvTask() exit!", m_strTopicName.c_str());
}
