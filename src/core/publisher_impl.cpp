#include "core/publisher_impl.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "core/data_writer_impl.h"
#include "core/entity_registry.h"
#include "core/participant_impl.h"
#include "core/resource_manager.h"
#include "core/topic_impl.h"
#include "core/transport/control/trans_factory.h"
#include "core/transport/control/trans_sender.h"
#include "memory/shm_mem_pool.h"
#include "utils/dds_common.h"
#include "zqdds/data_writer.h"
#include "zqdds/publisher.h"
#include "zqdds/topic.h"

namespace {

// The key number a key was made from (the inverse of shmKeyOf).
int shmNumberOf(int key)
{
    return static_cast<int>(static_cast<uint32_t>(key) - static_cast<uint32_t>(SHM_KEY_OFFSET));
}

} // namespace

CShmMemPool* CPublisherImpl::openShmPool(const std::string& topic, MemConfig_t cfg)
{
    auto* pool = new CShmMemPool();
    // A pool whose segment cannot be made now has no chunks: writes fail until a reader's
    // request makes it (reopenShmPool).
    if (pool->init(cfg) || !pool->isKeyInUse()) {
        return pool;
    }
    placeShmPool(topic, pool, cfg.m_iKey);
    return pool;
}

bool CPublisherImpl::placeShmPool(const std::string& topic, CShmMemPool* pool, int given)
{
    // A key whose segment a live process of another program holds is that program's: the pool
    // takes the next key of the range, as the control endpoint takes the next port. The caller
    // tried `given` already.
    CResourceManager* resources = CResourceManager::getInstance();
    std::vector<int> taken{given}; // held until the end, so that no key is tried twice
    int key = given;
    bool placed = false;
    for (;;) {
        key = resources->getShmKey();
        if (key == -1) {
            // A reader asks again and again while the keys stay held: limited, per topic.
            DDS_RED_LIMITED_BY(topic, "Error: topic %s: every share memory key is in use by another process!",
                               topic.c_str());
            break;
        }
        if (pool->openSegment(key)) {
            placed = true;
            break;
        }
        if (!pool->isKeyInUse()) {
            resources->setAsideShmKey(shmNumberOf(key)); // failed for another reason
            break;
        }
        taken.push_back(key);
    }
    for (int t : taken) {
        // The topic keeps its own key unless it moved to another.
        if (t != given || placed) {
            resources->setAsideShmKey(shmNumberOf(t));
        }
    }
    if (placed) {
        DDS_YELLOW("Warning: share memory key %#x is in use by another process, topic %s takes key %#x", given,
                   topic.c_str(), key);
        m_pParticipantImpl->setTopicShmKey(topic, key);
    }
    return placed;
}

bool CPublisherImpl::reopenShmPool(const std::string& topic, CShmMemPool* pool)
{
    if (pool == nullptr || pool->hasSegment()) {
        return true;
    }
    // Both control threads of the topic may ask at once; one searches.
    std::lock_guard<std::mutex> lock(m_mtxShmPlace);
    if (pool->hasSegment()) {
        return true;
    }
    MemConfig_t cfg;
    memset(&cfg, 0, sizeof(cfg));
    if (!m_pParticipantImpl->getTopicShmConfig(topic, cfg) || cfg.m_iKey < 0) {
        return false;
    }
    // The topic's own key first, as when its writer was made.
    if (pool->openSegment(cfg.m_iKey)) {
        return true;
    }
    return pool->isKeyInUse() && placeShmPool(topic, pool, cfg.m_iKey);
}

CPublisherImpl::CPublisherImpl(CParticipantImpl* participant) : m_pParticipantImpl(participant) {}

CPublisherImpl::~CPublisherImpl()
{
    // No writer is left (the participant checked), so no write can be using these transports.
    for (const std::string& topic : m_transports.topics()) {
        deleteTransport(topic);
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxWriter);
        m_mapWriters.clear();
    }
    delete m_pPublisher;
    m_pPublisher = nullptr;
}

CDataWriter* CPublisherImpl::createDataWriter(CTopic* topic)
{
    if (m_pParticipantImpl->findTopicImpl(topic) == nullptr) {
        return nullptr;
    }
    const std::string name = topic->getTopicName();
    // The topic's side and the writer's entry appear together: the deletion of the topic's last
    // writer here cannot take the side away in between. The writer takes the side's transport.
    std::lock_guard<std::mutex> lifecycle(m_mtxLifecycle);
    if (setUpTopic(name) != 0) {
        return nullptr;
    }
    auto* impl = new CDataWriterImpl(this, topic);
    impl->setDataWriter(new CDataWriter(impl));
    std::lock_guard<std::mutex> lock(m_mtxWriter);
    m_mapWriters[name].push_back(impl);
    return impl->getDataWriter();
}

int CPublisherImpl::setUpTopic(const std::string& topic)
{
    std::lock_guard<std::mutex> control(m_mtxControl);
    if (m_mapMsgTransParam.count(topic) != 0) {
        return 0; // a writer of the topic here made both already
    }
    // The port first: without one there is no endpoint to advertise, and nothing is made.
    CResourceManager* res = CResourceManager::getInstance();
    int port = res->getSocketPort();
    if (port < 0) {
        return -1;
    }
    // A transport lives exactly as long as its control endpoint, so none exists here yet.
    if (createTransport(topic) != 0) {
        res->putSocketPort(port);
        return -1;
    }
    TransParam_t param;
    memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_TCP;
    param.m_tcpParam.m_iPort = port;
    std::string ip = res->getHostIp();
    strncpy(param.m_tcpParam.m_szIp, ip.c_str(), sizeof(param.m_tcpParam.m_szIp) - 1);
    setTopicMsgTransParam(topic, param);

    CTransport* transport = getTransport(topic);
    if (transport->setMsgTransParam(param) != 0) {
        // The writer still works for readers that reach the endpoint later; say why none can now.
        DDS_RED("Error: topic %s control endpoint %s:%d is not listening!", topic.c_str(), ip.c_str(), port);
    } else if (param.m_tcpParam.m_iPort != port) {
        m_mapMsgTransParam[topic] = param; // the endpoint took another port of the range
    }
    return 0;
}

int CPublisherImpl::deleteDataWriter(CDataWriter* writer)
{
    if (writer == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lifecycle(m_mtxLifecycle);
    // The publisher's last writer of the topic takes the topic's side here along, so that its
    // readers reset and find a writer that remains elsewhere.
    deleteEntity(
        m_mapWriters, m_mtxWriter, [writer](CDataWriterImpl* w) { return w->getDataWriter() == writer; },
        [this](const std::string& topic) { deleteTransport(topic); });
    return 0;
}

bool CPublisherImpl::isNoWriters()
{
    std::lock_guard<std::mutex> lock(m_mtxWriter);
    return hasNoEntity(m_mapWriters);
}

bool CPublisherImpl::isTopicExist(const std::string& topic)
{
    std::lock_guard<std::mutex> lock(m_mtxWriter);
    return m_mapWriters.count(topic) != 0;
}

int CPublisherImpl::getTopicMsgTransParam(const std::string& topic, TransParam_t* out)
{
    std::lock_guard<std::mutex> lock(m_mtxControl);
    return copyTopicTransParam(m_mapMsgTransParam, topic, out);
}

int CPublisherImpl::setTopicMsgTransParam(const std::string& topic, TransParam_t& param)
{
    return m_mapMsgTransParam.emplace(topic, param).second ? 0 : -1;
}

int CPublisherImpl::getTopicDataTransParam(const std::string& topic, std::vector<ConnParam_t>* out)
{
    return m_transports.query(topic, -1, [&](CTransport* t) { return t->getTopicDataTransParam(topic, out); });
}

int CPublisherImpl::getClientCount(const std::string& topic)
{
    return m_transports.query(topic, 0, [](CTransport* t) { return t->getClientCount(); });
}

int CPublisherImpl::getFps(const std::string& topic, std::vector<int>& out)
{
    return m_transports.query(topic, 0, [&](CTransport* t) { return t->getFps(out); });
}

int CPublisherImpl::createTransport(const std::string& topic)
{
    // The transport mutex held throughout: it guards the pool registry too.
    return m_transports.locked(
        [&](TopicTransportMap_t& transports) { return createTransportLocked(topic, transports); });
}

int CPublisherImpl::createTransportLocked(const std::string& topic, TopicTransportMap_t& transports)
{
    if (transports.count(topic) != 0) {
        return -1;
    }
    CTopicImpl* topicImpl = m_pParticipantImpl->getTopicImpl(topic);
    if (topicImpl == nullptr) {
        return -1;
    }
    CTransport* transport = CTransFactory::createTransport(true);
    auto* sender = dynamic_cast<CTransSender*>(transport);
    if (sender == nullptr) {
        delete transport;
        DDS_RED("Error: topic %s: no transport for writing!", topic.c_str());
        return -1;
    }
    sender->setPublisherImpl(this);
    sender->setTopicImpl(topicImpl);

    MemConfig_t cfg;
    memset(&cfg, 0, sizeof(cfg));
    // A layout without a key of its own would share the segment of every other such topic.
    if (m_pParticipantImpl->getTopicShmConfig(topic, cfg) && cfg.m_iKey >= 0) {
        CShmMemPool* pool = openShmPool(topic, cfg);
        sender->setMemPool(pool);
        m_mapMemPools[topic] = pool;
    } else {
        sender->setMemPool(m_pParticipantImpl->getMemPool());
    }
    transports[topic] = sender;
    return 0;
}

int CPublisherImpl::deleteTransport(const std::string& topic)
{
    TopicSide_t side;
    {
        std::lock_guard<std::mutex> control(m_mtxControl);
        if (unlinkTopicLocked(topic, &side) != 0) {
            return -1;
        }
    }
    destroyTopicSide(side);
    return 0;
}

int CPublisherImpl::unlinkTopicLocked(const std::string& topic, TopicSide_t* side)
{
    CMemPool* pool = nullptr;
    CTransport* transport = m_transports.locked([&](TopicTransportMap_t& transports) -> CTransport* {
        auto it = transports.find(topic);
        if (it == transports.end()) {
            return nullptr;
        }
        CTransport* found = it->second;
        transports.erase(it);
        auto own = m_mapMemPools.find(topic);
        if (own != m_mapMemPools.end()) {
            pool = own->second;
            m_mapMemPools.erase(own);
        }
        return found;
    });
    if (transport == nullptr) {
        DDS_GREEN("Can't find topic %s", topic.c_str());
        return -1;
    }
    side->m_pTransport = transport;
    side->m_pPool = pool;
    side->m_iPort = -1;
    auto param = m_mapMsgTransParam.find(topic);
    if (param != m_mapMsgTransParam.end()) {
        side->m_iPort = param->second.m_tcpParam.m_iPort;
        m_mapMsgTransParam.erase(param);
    }
    return 0;
}

void CPublisherImpl::destroyTopicSide(const TopicSide_t& side)
{
    // Outside every mutex of the publisher: closing the connections can take a while, and status
    // queries and discovery answers of other topics must not wait for it. The pool goes after the
    // transport that used it, the port once nothing listens on it any more.
    delete side.m_pTransport;
    delete side.m_pPool;
    if (side.m_iPort >= 0) {
        CResourceManager::getInstance()->putSocketPort(side.m_iPort);
    }
}

CTransport* CPublisherImpl::getTransport(const std::string& topic)
{
    return m_transports.find(topic);
}

DataPackage_t* CPublisherImpl::getEmptyDataPkg(const std::string& topic, int size, int timeoutMs)
{
    CTransport* transport = getTransport(topic);
    return transport == nullptr ? nullptr : transport->getEmptyDataPkg(size, timeoutMs);
}

void CPublisherImpl::putEmptyDataPkg(const std::string& topic, DataPackage_t* pkg)
{
    CTransport* transport = getTransport(topic);
    if (transport != nullptr) {
        transport->putEmptyDataPkg(pkg);
    }
}

int CPublisherImpl::putFullDataPkg(const std::string& topic, DataPackage_t* pkg, int len)
{
    CTransport* transport = getTransport(topic);
    return transport == nullptr ? -1 : transport->putFullDataPkg(pkg, len);
}

bool CPublisherImpl::isConnect(const std::string& topic)
{
    CTransport* transport = getTransport(topic);
    return transport != nullptr && transport->isConnect();
}

void CPublisherImpl::dropTopicLeftover(const std::string& topic)
{
    std::lock_guard<std::mutex> lifecycle(m_mtxLifecycle);
    {
        std::lock_guard<std::mutex> lock(m_mtxWriter);
        if (!dropEmptyEntry(m_mapWriters, topic)) {
            return; // still written here: not a leftover
        }
    }
    TopicSide_t side;
    {
        std::lock_guard<std::mutex> control(m_mtxControl);
        if (getTransport(topic) == nullptr || unlinkTopicLocked(topic, &side) != 0) {
            return;
        }
    }
    destroyTopicSide(side);
}
