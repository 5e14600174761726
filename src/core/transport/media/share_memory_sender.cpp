#include "core/transport/media/share_memory_sender.h"

#include <sys/socket.h>

#include <utility>

#include "memory/datacenter.h"
#include "memory/shm_server.h"
#include "utils/dds_common.h"

CShareMemorySender::CShareMemorySender(CDataManager* dataManager)
    : CDataSender(dataManager), m_pServer(std::make_unique<CShmServer>(dataManager))
{
}

CShareMemorySender::~CShareMemorySender()
{
    CShareMemorySender::deinit(); // this class's own, before the members go
    // A server that was never started: its queues (if any) go with it.
    std::lock_guard<std::mutex> lock(m_mutexConn);
    m_pServer.reset();
}

bool CShareMemorySender::init()
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    if (m_bInit.load()) {
        return false;
    }
    if (m_pDataManager == nullptr || !m_pDataManager->getMemPoolType()) {
        // Said again on every refused request: limited, per pool.
        DDS_GREEN_LIMITED_BY(reinterpret_cast<intptr_t>(m_pDataManager),
                             "Init share memory sender failed! It is not share mem pool!");
        return false;
    }
    if (!m_pServer) {
        m_pServer = std::make_unique<CShmServer>(m_pDataManager);
    }
    void* base = m_pDataManager->getMemPoolAddr();
    if (!m_pServer->init(base, m_pDataManager->getMemPoolLayout())) {
        DDS_GREEN_LIMITED_BY(reinterpret_cast<intptr_t>(m_pDataManager),
                             "Init share memory server failed! mem pool addr: %p", base);
        return false;
    }
    m_bInit.store(true);
    return true;
}

bool CShareMemorySender::isInit()
{
    return m_bInit.load();
}

void CShareMemorySender::deinit()
{
    std::unique_ptr<CShmServer> server;
    std::map<int, ShmemAttr_t> conns;
    {
        std::lock_guard<std::mutex> lock(m_mutexConn);
        if (!m_bInit.load()) {
            return;
        }
        m_bInit.store(false);
        server = std::move(m_pServer);
        conns.swap(m_mapConn);
        m_iConnCount.store(0);
    }
    // Nothing else reaches the server now: the queues go one by one, with their lines.
    for (const auto& entry : conns) {
        server->detachQueue(entry.second.m_iQueueKey);
    }
    server->deinit();
}

bool CShareMemorySender::addConn(int connId, TransParam_t& param)
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    // Without a running server the reader would be told of a pool nobody distributes from.
    if (!m_bInit.load() || param.m_iType != TRANS_TYPE_SHARE_MEMORY || m_mapConn.count(connId) != 0) {
        return false;
    }
    ShmemAttr_t attr;
    attr.m_iQueueKey = param.m_shmParam.m_iQueueKey;
    attr.m_iMemPoolKey = param.m_shmParam.m_iMemPoolKey;
    attr.m_u64Reserved = param.m_shmParam.m_u64Reserved;
    // attachQueue refuses a negative key (an empty key pool gives -1).
    // Numbers written into the pool by anyone else would lock this reader out: the writer puts
    // its own back before the reader walks the segment.
    m_pDataManager->restoreMemPoolNumbering();
    // A corrupt ring ends the connection: the control channel sees its socket shut, drops the
    // connection (and with it this queue), and the reader negotiates a fresh segment. The
    // descriptor is open while the queue's thread runs: it is closed only after delConn, which
    // joins that thread.
    auto onBroken = [connId, key = attr.m_iQueueKey] {
        DDS_RED_LIMITED("Error: Queue %#x is corrupt, dropping connection %d!", static_cast<unsigned>(key), connId);
        ::shutdown(connId, SHUT_RDWR);
    };
    if (!m_pServer->attachQueue(attr.m_iQueueKey, onBroken)) {
        DDS_GREEN_LIMITED("Add queue %#x failed!", static_cast<unsigned>(attr.m_iQueueKey));
        return false;
    }
    m_mapConn.emplace(connId, attr);
    m_iConnCount.store(static_cast<int>(m_mapConn.size()));
    return true;
}

bool CShareMemorySender::delConn(int connId)
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    auto it = m_mapConn.find(connId);
    if (it == m_mapConn.end()) {
        return false;
    }
    const int key = it->second.m_iQueueKey;
    if (!m_pServer || !m_pServer->detachQueue(key)) {
        DDS_GREEN_LIMITED("Delete queue %#x failed!", static_cast<unsigned>(key));
        return false;
    }
    m_mapConn.erase(it);
    m_iConnCount.store(static_cast<int>(m_mapConn.size()));
    return true;
}

bool CShareMemorySender::isConnExist(int connId)
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    return m_mapConn.count(connId) != 0;
}

int CShareMemorySender::getClientCount()
{
    return m_iConnCount.load();
}

int CShareMemorySender::getPort(int connId)
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    auto it = m_mapConn.find(connId);
    return it == m_mapConn.end() ? -1 : it->second.m_iQueueKey;
}

int CShareMemorySender::getFps()
{
    if (m_iConnCount.load() == 0) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mutexConn);
    return m_pServer ? m_pServer->getFps() : -1;
}

void CShareMemorySender::sendTask() {}

size_t CShareMemorySender::getInFlightCount(int connId)
{
    std::lock_guard<std::mutex> lock(m_mutexConn);
    auto it = m_mapConn.find(connId);
    return (it == m_mapConn.end() || !m_pServer) ? 0 : m_pServer->getInFlightCount(it->second.m_iQueueKey);
}
