#include "core/transport/udp_sender.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <system_error>

#include "memory/datacenter.h"
#include "memory/datafifo.h"
#include "utils/dds_common.h"
#include "utils/socket_utils.h"
#include "utils/thread_utils.h"

CUdpSender::CUdpSender(CDataManager* dataManager) : CDataSender(dataManager) {}

CUdpSender::~CUdpSender()
{
    CUdpSender::deinit(); // this class's own, before the members go
}

bool CUdpSender::init()
{
    std::lock_guard<std::mutex> lock(m_mutexState);
    if (m_bRunning.load()) {
        return false;
    }
    // Attached before the thread starts, so that every package published after init is queued.
    if (m_pDataManager != nullptr) {
        m_pFifo = m_pDataManager->createDataFifo(FIFO_POLICY_DROP_OLDEST, 8);
    }
    m_bRunning.store(true);
    try {
        m_thread = std::thread(&CUdpSender::sendTask, this);
    } catch (const std::system_error&) {
        m_bRunning.store(false);
        if (m_pFifo != nullptr) {
            m_pDataManager->destroyDataFifo(m_pFifo);
            m_pFifo = nullptr;
        }
        return false;
    }
    // Where the system allows it; the medium works the same without.
    CThreadUtils::setPolicyAndPriority(m_thread, CThreadUtils::SCHED_POLICY_FIFO, UDP_THREAD_PRIORITY);
    return true;
}

bool CUdpSender::isInit()
{
    return m_bRunning.load();
}

void CUdpSender::deinit()
{
    std::lock_guard<std::mutex> lock(m_mutexState);
    if (!m_bRunning.load()) {
        return;
    }
    m_bRunning.store(false);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_pFifo != nullptr) {
        m_pDataManager->destroyDataFifo(m_pFifo);
        m_pFifo = nullptr;
    }
    std::map<int, ConnPtr> dropped;
    {
        std::lock_guard<std::mutex> connLock(m_mutexConn);
        dropped.swap(m_mapConn);
        m_iConnCount.store(0);
    }
    std::vector<uint8_t>().swap(m_vecScratch);
    // The sockets close here; the control descriptors belong to the control channel.
}

CUdpSender::Conn_t::~Conn_t()
{
    CSocketUtils::closeSocket(m_stAddr.m_iFd);
}

int CUdpSender::open(UdpParam_t& param, UdpSockAddr_t* out)
{
    in_addr ip{};
    if (out == nullptr || !isTextTerminated(param.m_szIp, sizeof(param.m_szIp)) ||
        inet_pton(AF_INET, param.m_szIp, &ip) != 1 || param.m_iPort < 1 || param.m_iPort > 65535) {
        DDS_RED("Error: invalid udp receiver address!");
        return -1;
    }
    int fd = CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_UDP);
    if (fd < 0) {
        DDS_GREEN("openSocket failed!");
        return -1;
    }
    CSocketUtils::setSendTimeOut(fd, UDP_SOCK_TIMEOUT_MS);
    CSocketUtils::setSendBufSize(fd, UDP_SOCK_BUF_SIZE);
    CSocketUtils::setLinger(fd, true, 0);
    int bufSize = 0;
    CSocketUtils::getSendBufSize(fd, bufSize);
    DDS_GREEN("Socket %d send buf size is %d KB, while seted size is %d KB.", fd, bufSize / 1024,
              UDP_SOCK_BUF_SIZE / 1024);

    std::memset(out, 0, sizeof(*out));
    out->m_iFd = fd;
    std::memcpy(out->m_szIp, param.m_szIp, sizeof(out->m_szIp));
    out->m_iPort = param.m_iPort;
    out->m_addr.sin_family = AF_INET;
    out->m_addr.sin_port = htons(static_cast<uint16_t>(param.m_iPort));
    out->m_addr.sin_addr = ip;
    return 0;
}

bool CUdpSender::addConn(int connId, TransParam_t& param)
{
    if (param.m_iType != TRANS_TYPE_UDP) {
        return false;
    }
    UdpSockAddr_t record;
    if (open(param.m_udpParam, &record) != 0) {
        return false;
    }
    DDS_GREEN("Open udp port %d success, receiver ip is %s.", record.m_iPort, record.m_szIp);
    ConnPtr conn = std::make_shared<Conn_t>(record);
    std::lock_guard<std::mutex> lock(m_mutexConn);
    if (m_mapConn.count(connId) != 0) {
        return false; // `conn` closes the new socket
    }
    m_mapConn.emplace(connId, std::move(conn));
    m_iConnCount.store(static_cast<int>(m_mapConn.size()));
    return true;
}

bool CUdpSender::delConn(int connId)
{
    ConnPtr dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutexConn);
        auto it = m_mapConn.find(connId);
        if (it == m_mapConn.end()) {
            return false;
        }
        dropped = std::move(it->second);
        DDS_GREEN("Delete udp conn %d, addr: %s, port: %d", connId, dropped->m_stAddr.m_szIp,
                  dropped->m_stAddr.m_iPort);
        resetFrameRate();
        m_mapConn.erase(it);
        m_iConnCount.store(static_cast<int>(m_mapConn.size()));
    }
    // The socket closes now, or after the package in flight when the send thread still holds it.
    return true;
}

bool CUdpSender::isConnExist(int connId)
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    return m_mapConn.count(connId) != 0;
}

int CUdpSender::getClientCount()
{
    return m_iConnCount.load();
}

int CUdpSender::getPort(int connId)
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    auto it = m_mapConn.find(connId);
    return it == m_mapConn.end() ? -1 : it->second->m_stAddr.m_iPort;
}

int CUdpSender::getFps()
{
    if (m_iConnCount.load() == 0) {
        return -1;
    }
    return readFps();
}

void CUdpSender::sendTask()
{
    CDataFifo* fifo = m_pFifo;
    if (fifo == nullptr) {
        return; // no data manager: nothing will ever be published to this sender
    }
    while (m_bRunning.load()) {
        m_bSent.store(false);
        DataPackage_t* pkg = fifo->getDataPackage(100);
        if (pkg == nullptr) {
            continue;
        }
        sendData(pkgData(pkg), pkg->m_iLen);
        m_bSent.store(true);
        calculateFrameRate();
        fifo->releaseDataPackage(pkg);
    }
}

bool CUdpSender::sendData(unsigned char* header, int length)
{
    if (header == nullptr || length < static_cast<int>(DDS_HEADER_SIZE) ||
        static_cast<uint32_t>(length) - DDS_HEADER_SIZE > DDS_MAX_FRAME_PAYLOAD) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutexConn);
        if (m_mapConn.empty()) {
            return false;
        }
        m_vecSnapshot.clear();
        for (const auto& entry : m_mapConn) {
            m_vecSnapshot.push_back(entry.second);
        }
    }
    const size_t need = fragmentScratchSize(static_cast<uint32_t>(length) - DDS_HEADER_SIZE, UDP_FRAG_PAYLOAD);
    bool built = false;
    try {
        if (m_vecScratch.size() < need) {
            m_vecScratch.resize(need);
        }
        built = buildFragments(header, static_cast<size_t>(length), UDP_FRAG_PAYLOAD, m_vecScratch.data(),
                               m_vecScratch.size(), m_datagrams);
    } catch (const std::bad_alloc&) {
        built = false; // dropped for every connection, like a package without scratch
    }
    if (built) {
        m_vecTargets.clear();
        for (const ConnPtr& conn : m_vecSnapshot) {
            const UdpSockAddr_t& addr = conn->m_stAddr;
            m_vecTargets.push_back(DatagramTarget_t{addr.m_iFd, reinterpret_cast<const sockaddr*>(&addr.m_addr),
                                                    static_cast<int>(sizeof(addr.m_addr)), &conn->m_bStalled});
        }
        // The same datagrams to every reader, the others in parallel with the first, so one
        // slow reader delays no other.
        m_tasks.clear();
        for (size_t i = 1; i < m_vecTargets.size(); ++i) {
            try {
                m_tasks.push_back(
                    std::async(std::launch::async, sendToTarget, std::cref(m_vecTargets[i]), std::cref(m_datagrams)));
            } catch (const std::system_error&) {
                sendToTarget(m_vecTargets[i], m_datagrams); // no thread to spare: this one waits its turn
            }
        }
        sendToTarget(m_vecTargets[0], m_datagrams);
        for (auto& task : m_tasks) {
            task.get();
        }
        m_tasks.clear();
        m_vecTargets.clear();
    }
    m_vecSnapshot.clear();
    return built;
}

int sendUdpSockData(int fd, sockaddr* address, int addressLen, void* header, int length, int maxDatagram,
                    CDataManager* dataManager)
{
    // A datagram must carry a header and at least one payload byte to make progress.
    if (fd < 0 || address == nullptr || header == nullptr || length < static_cast<int>(DDS_HEADER_SIZE) ||
        maxDatagram <= static_cast<int>(DDS_HEADER_SIZE)) {
        return -1;
    }
    auto* pkg = static_cast<uint8_t*>(header);
    DDSHeader_t source = readDdsHeader(pkg);
    if (length <= maxDatagram) {
        source.m_u32SeqNo = 1;
        source.m_u8Flag = PKT_FLAG_FIRST;
        source.m_u32TotalLen = static_cast<uint32_t>(length);
        source.m_u32PktCount = 1;
        writeDdsHeader(pkg, source);
        ::sendto(fd, pkg, static_cast<size_t>(length), MSG_NOSIGNAL, address, static_cast<socklen_t>(addressLen));
        return 0;
    }
    DataPackage_t* scratch = dataManager != nullptr ? dataManager->getEmptyDataPkg(maxDatagram, 100) : nullptr;
    if (scratch == nullptr) {
        DDS_GREEN("getEmptyDataPkg failed!!!");
        return -1;
    }
    const uint32_t fragPayload = static_cast<uint32_t>(maxDatagram) - DDS_HEADER_SIZE;
    // The header's length is not trusted past the bytes the caller gave.
    const uint32_t claimed = source.m_u32DataLen; // a copy: the packed field cannot be bound
    const uint32_t payload = std::min(claimed, static_cast<uint32_t>(length - static_cast<int>(DDS_HEADER_SIZE)));
    const uint32_t count = fragmentCount(payload, fragPayload);
    uint8_t* area = pkgData(scratch);
    const uint8_t* from = pkg + DDS_HEADER_SIZE;
    for (uint32_t seqNo = 1; seqNo <= count; ++seqNo) {
        const uint32_t pieceLen = fragmentPayloadLen(seqNo, payload, fragPayload);
        DDSHeader_t fragment = makeDdsHeader(fragmentFlag(seqNo, count), source.m_u8Type);
        fragment.m_u32SeqNo = seqNo;
        fragment.m_u64TimeStamp = source.m_u64TimeStamp;
        fragment.m_u32DataLen = pieceLen;
        fragment.m_u32TotalLen = payload;
        fragment.m_u32PktCount = count;
        writeDdsHeader(area, fragment);
        std::memcpy(area + DDS_HEADER_SIZE, from, pieceLen);
        ::sendto(fd, area, DDS_HEADER_SIZE + pieceLen, MSG_NOSIGNAL, address, static_cast<socklen_t>(addressLen));
        from += pieceLen;
    }
    dataManager->referDataPkg(scratch);
    dataManager->putEmptyDataPkg(scratch);
    return 0;
}
