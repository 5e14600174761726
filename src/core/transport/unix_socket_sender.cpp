#include "core/transport/unix_socket_sender.h"

#include <cstring>
#include <system_error>

#include "memory/datacenter.h"
#include "memory/datafifo.h"
#include "utils/dds_common.h"
#include "utils/socket_utils.h"

CUnixSocketSender::CUnixSocketSender(CDataManager* dataManager) : CDataSender(dataManager) {}

CUnixSocketSender::~CUnixSocketSender()
{
    deinit();
}

bool CUnixSocketSender::init()
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
        m_thread = std::thread(&CUnixSocketSender::sendTask, this);
    } catch (const std::system_error&) {
        m_bRunning.store(false);
        if (m_pFifo != nullptr) {
            m_pDataManager->destroyDataFifo(m_pFifo);
            m_pFifo = nullptr;
        }
        return false;
    }
    return true;
}

bool CUnixSocketSender::isInit()
{
    return m_bRunning.load();
}

void CUnixSocketSender::deinit()
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
    // The sockets close here; the control descriptors belong to the control channel.
}

CUnixSocketSender::Conn_t::~Conn_t()
{
    CSocketUtils::closeSocket(m_stAddr.m_iFd);
}

int CUnixSocketSender::open(UnixSocketParam_t& param, UnixSockAddr_t* out)
{
    if (out == nullptr || !isTextTerminated(param.m_szPath, sizeof(param.m_szPath)) || param.m_szPath[0] == '\0') {
        DDS_RED("Error: invalid unix socket path!");
        return -1;
    }
    int fd = CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_UNIX);
    if (fd < 0) {
        DDS_GREEN("openSocket failed!");
        return -1;
    }
    CSocketUtils::setSendBufSize(fd, UNIX_SOCKET_BUF_SIZE);
    int bufSize = 0;
    CSocketUtils::getSendBufSize(fd, bufSize);
    DDS_GREEN("Unix socket %d send buf size is %d KB, while seted size is %d KB.", fd, bufSize / 1024,
              UNIX_SOCKET_BUF_SIZE / 1024);
    CSocketUtils::setSendTimeOut(fd, UNIX_SOCKET_SEND_TIMEOUT_MS);

    std::memset(out, 0, sizeof(*out));
    out->m_iFd = fd;
    out->m_iId = param.m_iId;
    std::memcpy(out->m_szPath, param.m_szPath, sizeof(out->m_szPath));
    out->m_addr.sun_family = AF_UNIX;
    static_assert(sizeof(out->m_addr.sun_path) > DDS_PATH_TEXT_SIZE, "a path field fits sun_path");
    std::memcpy(out->m_addr.sun_path, param.m_szPath, sizeof(param.m_szPath));
    return 0;
}

bool CUnixSocketSender::addConn(int connId, TransParam_t& param)
{
    if (param.m_iType != TRANS_TYPE_UNIX_SOCKET) {
        return false;
    }
    UnixSockAddr_t record;
    if (open(param.m_unixSocketParam, &record) != 0) {
        return false;
    }
    ConnPtr conn = std::make_shared<Conn_t>(record);
    std::lock_guard<std::mutex> lock(m_mutexConn);
    if (m_mapConn.count(connId) != 0) {
        return false; // `conn` closes the new socket
    }
    m_mapConn.emplace(connId, std::move(conn));
    m_iConnCount.store(static_cast<int>(m_mapConn.size()));
    return true;
}

bool CUnixSocketSender::delConn(int connId)
{
    ConnPtr dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutexConn);
        auto it = m_mapConn.find(connId);
        if (it == m_mapConn.end()) {
            return false;
        }
        dropped = std::move(it->second);
        DDS_GREEN("Delete domain socket conn %d, path: %s, port: %d", connId, dropped->m_stAddr.m_szPath,
                  dropped->m_stAddr.m_iId);
        resetFrameRate();
        m_mapConn.erase(it);
        m_iConnCount.store(static_cast<int>(m_mapConn.size()));
    }
    // The socket closes now, or after the package in flight when the send thread still holds it.
    return true;
}

bool CUnixSocketSender::isConnExist(int connId)
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    return m_mapConn.count(connId) != 0;
}

int CUnixSocketSender::getClientCount()
{
    return m_iConnCount.load();
}

int CUnixSocketSender::getPort(int connId)
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    auto it = m_mapConn.find(connId);
    return it == m_mapConn.end() ? -1 : it->second->m_stAddr.m_iId;
}

int CUnixSocketSender::getFps()
{
    if (m_iConnCount.load() == 0) {
        return -1;
    }
    return readFps();
}

void CUnixSocketSender::sendTask()
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
        fifo->releaseDataPackage(pkg);
    }
}

void CUnixSocketSender::sendData(unsigned char* header, int length)
{
    if (header == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutexConn);
        if (m_mapConn.empty()) {
            return;
        }
        m_vecSnapshot.clear();
        for (const auto& entry : m_mapConn) {
            m_vecSnapshot.push_back(entry.second);
        }
    }
    m_vecTargets.clear();
    for (const ConnPtr& conn : m_vecSnapshot) {
        const UnixSockAddr_t& addr = conn->m_stAddr;
        m_vecTargets.push_back(DatagramTarget_t{addr.m_iFd, reinterpret_cast<const sockaddr*>(&addr.m_addr),
                                                static_cast<int>(sizeof(addr.m_addr)), &conn->m_bStalled});
    }
    const bool sent = m_fanout.send(m_pDataManager, header, length, m_vecTargets);
    m_vecTargets.clear();
    m_vecSnapshot.clear();
    if (sent && m_iConnCount.load() > 0) {
        m_bSent.store(true);
        calculateFrameRate();
    }
}
