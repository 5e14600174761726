#include "core/participant_impl.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>

#include "core/dds_config.h"
#include "core/discovery.h"
#include "core/publisher_impl.h"
#include "core/resource_manager.h"
#include "core/subscriber_impl.h"
#include "core/topic_impl.h"
#include "core/transport/transport.h"
#include "memory/normal_mem_pool.h"
#include "memory/shm_mem_pool.h"
#include "utils/dds_common.h"
#include "utils/ev_reactor.h"
#include "utils/ipfinder.h"
#include "utils/socket_utils.h"
#include "zqdds/publisher.h"
#include "zqdds/subscriber.h"

namespace {

const char* const DDS_VERSION = "V2.0.0";
constexpr int REACTOR_MAX_EVENTS = 100;
constexpr int REACTOR_TIMEOUT_MS = 100;

// The event reactor is shared by the participants of the process: the first initialised one
// starts it, the deletion of the last one stops it.
struct ReactorUse {
    std::mutex mtx;
    int users{0};
};

// Never destroyed, like the reactor: a participant in a global or a static goes after every
// function-local static.
ReactorUse& reactorUse()
{
    static ReactorUse* use = new ReactorUse();
    return *use;
}

bool isMulticastIPv4(const std::string& ip)
{
    in_addr group{};
    return parseMulticastGroup(ip, &group);
}

// Refuses a user layout that the pool could not carve safely.
bool checkUserLayout(const std::string& name, const ShmConfig_t& config)
{
    if (config.m_iGroupCount < 1 || config.m_iGroupCount > MEM_MAX_GROUPS) {
        DDS_RED("Error: topic %s: share mempool group count %d is out of range 1..16.", name.c_str(),
                config.m_iGroupCount);
        return false;
    }
    std::set<int> ids;
    uint64_t total = 0;
    for (int i = 0; i < config.m_iGroupCount; ++i) {
        const MemGroup_t& grp = config.m_groups[i];
        if (grp.m_iChunkSize <= 0 || grp.m_iChunkCount <= 0 || grp.m_iChunkSize > MEM_MAX_CHUNK_SIZE) {
            DDS_RED("Error: topic %s: invalid share mempool group %d (chunk size %d, chunk count %d).", name.c_str(),
                    grp.m_iGrpId, grp.m_iChunkSize, grp.m_iChunkCount);
            return false;
        }
        if (!ids.insert(grp.m_iGrpId).second) {
            DDS_RED("Error: topic %s: share mempool group id %d is used twice.", name.c_str(), grp.m_iGrpId);
            return false;
        }
        uint64_t bytes = 0;
        uint64_t stride = static_cast<uint64_t>(grp.m_iChunkSize) + MEM_CHUNK_OVERHEAD;
        if (__builtin_mul_overflow(stride, static_cast<uint64_t>(grp.m_iChunkCount), &bytes) ||
            __builtin_add_overflow(total, bytes, &total)) {
            DDS_RED("Error: topic %s: share mempool layout is too large.", name.c_str());
            return false;
        }
    }
    // The pool's own rules (8-aligned chunks, package count) refuse here, before a topic exists.
    MemPoolLayout_t layout{};
    layout.m_iGroupCount = config.m_iGroupCount;
    memcpy(layout.m_stGroup, config.m_groups, sizeof(layout.m_stGroup));
    return CShmMemPool::checkLayout(layout, nullptr, nullptr);
}

// A handle that is not in this participant: named only while it is a live topic of another one.
int refuseUnknownTopic(const CTopic* topic)
{
    std::string name;
    if (copyLiveTopicName(topic, name)) {
        DDS_RED("Error: topic %s is not exists.", name.c_str());
    }
    return -1;
}

} // namespace

CParticipantImpl::CParticipantImpl(CParticipant* handle, _DomainConfigParam_t& param) : m_pParticipant(handle)
{
    try {
        startUp(true, &param);
    } catch (...) {
        shutDown(); // an allocation failed: give back what start-up took before it propagates
        throw;
    }
}

CParticipantImpl::CParticipantImpl(CParticipant* handle, const std::string& path)
    : m_strConfigPath(path), m_pParticipant(handle)
{
    try {
        startUp(false, nullptr);
    } catch (...) {
        shutDown();
        throw;
    }
}

CParticipantImpl::~CParticipantImpl()
{
    shutDown();
}

void CParticipantImpl::shutDown()
{
    stopDiscovery();
    deleteUnusedTopics();
    destroyMemPool();
    stopReactor();
}

void CParticipantImpl::startUp(bool fromRecord, _DomainConfigParam_t* param)
{
    DDS_GREEN("VERSION: %s, compiled on %s", DDS_VERSION, getCompileTime().c_str());
    int ret = fromRecord ? loadConfig(*param) : loadConfig();
    if (ret != 0) {
        return;
    }
    createMemPool();
    startDiscovery();
    startReactor();
    // Initialised even when the pool, discovery or the reactor failed: each said so in its line.
    m_bInitialized.store(true, std::memory_order_release);
}

void CParticipantImpl::acceptMulticastIp(const std::string& ip)
{
    if (!isMulticastIPv4(ip)) {
        DDS_YELLOW("Warning: multicast ip %s is not an IPv4 multicast address, keep %s.", ip.c_str(),
                   m_strMulticastIp.c_str());
        return;
    }
    m_strMulticastIp = ip;
}

void CParticipantImpl::acceptMulticastPort(int port)
{
    if (port < 1 || port > MAX_PORT) {
        DDS_YELLOW("Warning: multicast port %d is out of range 1..65535, keep %d.", port, m_iMulticastPort);
        return;
    }
    m_iMulticastPort = port;
}

void CParticipantImpl::acceptDiscoverPeriod(int period)
{
    if (!acceptDiscoveryPeriod(period, m_iDiscoverPeriod)) {
        return;
    }
    m_iDiscoverPeriod = period;
}

void CParticipantImpl::acceptMaxMemPoolSize(int size)
{
    if (size < 0) {
        DDS_YELLOW("Warning: max mem pool size %d is negative, keep %d.", size, m_iMaxMemPoolSize);
        return;
    }
    m_iMaxMemPoolSize = size;
}

void CParticipantImpl::putResources(const std::vector<int>& ports, const std::vector<int>& unixIds,
                                    const std::vector<int>& shmKeys)
{
    CResourceManager* res = CResourceManager::getInstance();
    for (int port : ports) {
        if (port < 1 || port > MAX_PORT) {
            DDS_YELLOW("Warning: socket port %d is out of range 1..65535, ignored.", port);
            continue;
        }
        res->putSocketPort(port);
    }
    for (int id : unixIds) {
        if (id < 0) {
            DDS_YELLOW("Warning: unix socket id %d is negative, ignored.", id);
            continue;
        }
        res->putUnixSocketId(id);
    }
    for (int key : shmKeys) {
        if (key > INT_MAX - SHM_KEY_OFFSET) {
            DDS_YELLOW("Warning: share memory key number %d is too large for a key, skipped.", key);
            continue;
        }
        if (!CResourceManager::isUsableShmKeyNumber(key)) {
            DDS_YELLOW("Warning: share memory key number %d would give the reserved key %d, skipped.", key,
                       CResourceManager::shmKeyOf(key));
            continue;
        }
        res->putShmKey(key);
    }
}

void CParticipantImpl::printSettings() const
{
    DDS_GREEN("DomainId: %d", m_iDomainId);
    DDS_GREEN("Multicast ip: %s, Multicast port: %d", m_strMulticastIp.c_str(), m_iMulticastPort);
    DDS_GREEN("Discover period: %d s", m_iDiscoverPeriod);
    DDS_GREEN("MaxMemPoolSize: %d M", m_iMaxMemPoolSize / 1048576);
}

int CParticipantImpl::loadConfig(_DomainConfigParam_t& param)
{
    m_iDomainId = param.m_iDomainId;
    acceptMulticastIp(param.m_strMulticastIp);
    acceptMulticastPort(param.m_iMulticastPort);
    acceptDiscoverPeriod(param.m_iDiscoverPeriod);

    std::string ip = CIPFinder::getIPAddr(param.m_strEthName);
    if (!isValidIPv4(ip)) {
        DDS_RED("Error: Get %s ip failed, please check net card configure.", param.m_strEthName.c_str());
        return -1;
    }
    CResourceManager* res = CResourceManager::getInstance();
    res->setHostEthIp(param.m_strEthName, ip);
    putResources(param.m_vecSocketPorts, param.m_vecUnixSocketIdx, param.m_vecShmKeys);
    acceptMaxMemPoolSize(param.m_iMaxMemPoolSize);

    printSettings();
    DDS_GREEN("eth: %s, ip: %s", res->getHostEthName().c_str(), res->getHostIp().c_str());
    return 0;
}

int CParticipantImpl::loadConfig()
{
    CResourceManager* res = CResourceManager::getInstance();
    if (!m_strConfigPath.empty()) {
        m_pDDSConfig = std::make_shared<CDDSConfig>(m_strConfigPath);
        m_pDDSConfig->checkFile(); // its lines only: each getter still fails on its own
        // A getter that fails leaves its output alone, so the default survives.
        m_pDDSConfig->getDomainId(m_iDomainId);
        std::string group = m_strMulticastIp;
        int port = m_iMulticastPort;
        m_pDDSConfig->getMulticastInfo(group, port);
        acceptMulticastIp(group);
        acceptMulticastPort(port);
        int period = m_iDiscoverPeriod;
        m_pDDSConfig->getDiscoverPeriod(period);
        acceptDiscoverPeriod(period);

        std::string ethName;
        m_pDDSConfig->getEthDevName(ethName);
        std::string ip = CIPFinder::getIPAddr(ethName);
        if (!isValidIPv4(ip)) {
            DDS_RED("Error: Get %s ip failed, please check net card configure.", ethName.c_str());
            return -1;
        }
        res->setHostEthIp(ethName, ip);
        std::vector<int> ports;
        std::vector<int> unixIds;
        std::vector<int> shmKeys;
        m_pDDSConfig->getTransportSocketPorts(ports);
        m_pDDSConfig->getTransportUnixSocketIdx(unixIds);
        m_pDDSConfig->getTransportShmKey(shmKeys);
        putResources(ports, unixIds, shmKeys);

        int size = m_iMaxMemPoolSize;
        m_pDDSConfig->getMaxMemPoolSize(size);
        acceptMaxMemPoolSize(size);
        printSettings();
    }
    DDS_GREEN("eth: %s, ip: %s", res->getHostEthName().c_str(), res->getHostIp().c_str());
    return 0;
}

int CParticipantImpl::createMemPool()
{
    MemConfig_t cfg = LOCAL_POOL_LAYOUT;
    cfg.m_u32MaxPoolSize = static_cast<uint32_t>(m_iMaxMemPoolSize);
    m_pMemPool = new CNormalMemPool();
    if (!m_pMemPool->init(cfg)) {
        DDS_RED("Error: local mempool init failed!");
    }
    return 0;
}

void CParticipantImpl::destroyMemPool()
{
    delete m_pMemPool;
    m_pMemPool = nullptr;
}

int CParticipantImpl::startDiscovery()
{
    m_pDiscovery = std::make_shared<CDiscovery>(this, m_strMulticastIp, m_iMulticastPort, m_iDiscoverPeriod);
    m_pDiscovery->run();
    return 0;
}

void CParticipantImpl::stopDiscovery()
{
    if (m_pDiscovery) {
        m_pDiscovery->stop();
        m_pDiscovery.reset();
    }
}

void CParticipantImpl::triggerDiscovery(const std::string& name)
{
    if (m_pDiscovery) {
        m_pDiscovery->trigger(name);
    }
}

void CParticipantImpl::startReactor()
{
    ReactorUse& use = reactorUse();
    std::lock_guard<std::mutex> lock(use.mtx);
    if (!CEvReactor::getInstance()->init(REACTOR_MAX_EVENTS, REACTOR_TIMEOUT_MS)) {
        DDS_RED("Error: event reactor init failed!");
        return;
    }
    ++use.users;
    m_bReactorUser = true;
}

void CParticipantImpl::stopReactor()
{
    if (!m_bReactorUser) {
        return;
    }
    ReactorUse& use = reactorUse();
    std::lock_guard<std::mutex> lock(use.mtx);
    m_bReactorUser = false;
    if (--use.users == 0) {
        CEvReactor::getInstance()->deinit();
    }
}

std::string CParticipantImpl::getDevIp() const
{
    return CResourceManager::getInstance()->getHostIp();
}

CTopic* CParticipantImpl::createTopic(const std::string& name, ShmConfig_t* config)
{
    if (!isInitialized()) {
        DDS_RED("Error: Participant did not initialize successfully.");
        return nullptr;
    }
    // Discovery must be able to carry the name, or writer and reader never meet.
    if (!acceptTopicName(name)) {
        return nullptr;
    }
    if (config && config->m_bUseUserLayout && !checkUserLayout(name, *config)) {
        return nullptr;
    }

    std::lock_guard<std::mutex> lock(m_mtxTopic);
    if (m_mapTopics.count(name) != 0) {
        DDS_RED("Error: topic %s is already exists.", name.c_str());
        return nullptr;
    }
    auto impl = std::make_unique<CTopicImpl>(this);
    impl->generateUUID();
    DDS_GREEN("Topic %s : uuid is %s", name.c_str(), impl->getUUIDString().c_str());
    CTopic* topic = new CTopic(name, impl.get());
    impl->setTopic(topic);
    m_mapTopics[name] = impl.release();
    if (!config) {
        return topic;
    }

    MemConfig_t cfg;
    memset(&cfg, 0, sizeof(cfg));
    if (config->m_bUseUserLayout) {
        cfg.m_iKey = CResourceManager::getInstance()->getShmKey();
        cfg.m_iGroupCount = config->m_iGroupCount;
        memcpy(cfg.m_stGroup, config->m_groups, sizeof(MemGroup_t) * static_cast<size_t>(config->m_iGroupCount));
    } else {
        getDefaultShmPoolConfig(&cfg);
    }
    // Without a key of its own the topic would share one segment with every other such topic.
    if (cfg.m_iKey < 0) {
        DDS_YELLOW("Warning: topic %s has no share memory key, it uses the local mempool.", name.c_str());
        return topic;
    }
    if (config->m_bUseUserLayout) {
        DDS_GREEN("Topic %s: Use user share mempool layout.", name.c_str());
    } else {
        DDS_GREEN("Topic %s: Use default share mempool layout.", name.c_str());
    }
    m_mapTopicShmConfig[name] = cfg;
    return topic;
}

void CParticipantImpl::getDefaultShmPoolConfig(MemConfig_t* cfg)
{
    if (!cfg) {
        return;
    }
    cfg->m_iKey = CResourceManager::getInstance()->getShmKey();
    cfg->m_iGroupCount = DEFAULT_SHM_LAYOUT.m_iGroupCount;
    for (int i = 0; i < DEFAULT_SHM_LAYOUT.m_iGroupCount; ++i) {
        cfg->m_stGroup[i] = DEFAULT_SHM_LAYOUT.m_stGroup[i];
    }
}

int CParticipantImpl::deleteTopic(CTopic* topic)
{
    if (!topic) {
        return -1;
    }
    // The handle is only compared until it is found here: a foreign or freed one is never touched.
    auto findByHandle = [this, topic]() {
        for (auto it = m_mapTopics.begin(); it != m_mapTopics.end(); ++it) {
            if (it->second->getTopic() == topic) {
                return it;
            }
        }
        return m_mapTopics.end();
    };

    std::lock_guard<std::mutex> lock(m_mtxTopic);
    auto it = findByHandle();
    if (it == m_mapTopics.end()) {
        return refuseUnknownTopic(topic);
    }
    // A topic's side in a publisher or subscriber goes with its last writer or reader there, so
    // none refers to a topic that nothing uses.
    int ref = it->second->getReference();
    if (ref > 0) {
        DDS_RED("Error: topic reference is %d !", ref);
        return -1;
    }
    CTopicImpl* impl = it->second;
    m_mapTopicShmConfig.erase(it->first);
    m_mapTopics.erase(it);
    delete impl;
    return 0;
}

void CParticipantImpl::deleteUnusedTopics()
{
    // Only safe while no publisher or subscriber is left that could still refer to a topic.
    {
        std::lock_guard<std::mutex> lock(m_mtxPublisher);
        if (!m_mapPublishers.empty()) {
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxSubscriber);
        if (!m_mapSubscribers.empty()) {
            return;
        }
    }
    std::lock_guard<std::mutex> lock(m_mtxTopic);
    for (auto it = m_mapTopics.begin(); it != m_mapTopics.end();) {
        if (it->second->getReference() > 0) {
            ++it;
            continue;
        }
        m_mapTopicShmConfig.erase(it->first);
        delete it->second;
        it = m_mapTopics.erase(it);
    }
}

CTopicImpl* CParticipantImpl::getTopicImpl(const std::string& name)
{
    std::lock_guard<std::mutex> lock(m_mtxTopic);
    auto it = m_mapTopics.find(name);
    if (it == m_mapTopics.end()) {
        DDS_RED("Error: topic %s is not exists.", name.c_str());
        return nullptr;
    }
    return it->second;
}

CTopicImpl* CParticipantImpl::findTopicImpl(const CTopic* topic)
{
    std::string name;
    if (topic == nullptr || !copyLiveTopicName(topic, name)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(m_mtxTopic);
    auto it = m_mapTopics.find(name);
    if (it == m_mapTopics.end() || it->second->getTopic() != topic) {
        DDS_RED("Error: topic %s is not exists.", name.c_str());
        return nullptr;
    }
    return it->second;
}

bool CParticipantImpl::getTopicShmConfig(const std::string& name, MemConfig_t& out)
{
    std::lock_guard<std::mutex> lock(m_mtxTopic);
    if (m_mapTopics.count(name) == 0) {
        DDS_RED("Error: topic %s is not exists.", name.c_str());
        return false;
    }
    auto it = m_mapTopicShmConfig.find(name);
    if (it == m_mapTopicShmConfig.end()) {
        return false;
    }
    out = it->second;
    return true;
}

void CParticipantImpl::setTopicShmKey(const std::string& name, int key)
{
    std::lock_guard<std::mutex> lock(m_mtxTopic);
    auto it = m_mapTopicShmConfig.find(name);
    if (it != m_mapTopicShmConfig.end()) {
        it->second.m_iKey = key;
    }
}

CPublisher* CParticipantImpl::createPublisher()
{
    if (!isInitialized()) {
        DDS_RED("Error: Participant did not initialize successfully.");
        return nullptr;
    }
    auto impl = std::make_unique<CPublisherImpl>(this);
    CPublisher* handle = new CPublisher(impl.get());
    std::lock_guard<std::mutex> lock(m_mtxPublisher);
    impl->setPublisher(handle);
    m_mapPublishers[handle] = impl.release();
    return handle;
}

int CParticipantImpl::deletePublisher(CPublisher* publisher)
{
    if (!publisher) {
        return -1;
    }
    CPublisherImpl* impl = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mtxPublisher);
        auto it = m_mapPublishers.find(publisher);
        if (it == m_mapPublishers.end()) {
            return -1;
        }
        if (!it->second->isNoWriters()) {
            DDS_RED("Error: there are some writers!");
            return -1;
        }
        impl = it->second;
        m_mapPublishers.erase(it);
    }
    // Unlinked under the lock and destroyed after it: a transport left to close can take a while,
    // and discovery and the status queries wait for this lock.
    delete impl;
    return 0;
}

CSubscriber* CParticipantImpl::createSubscriber()
{
    if (!isInitialized()) {
        DDS_RED("Error: Participant did not initialize successfully.");
        return nullptr;
    }
    auto impl = std::make_unique<CSubscriberImpl>(this);
    CSubscriber* handle = new CSubscriber(impl.get());
    std::lock_guard<std::mutex> lock(m_mtxSubscriber);
    impl->setSubscriber(handle);
    m_mapSubscribers[handle] = impl.release();
    return handle;
}

int CParticipantImpl::deleteSubscriber(CSubscriber* subscriber)
{
    if (!subscriber) {
        return -1;
    }
    CSubscriberImpl* impl = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mtxSubscriber);
        auto it = m_mapSubscribers.find(subscriber);
        if (it == m_mapSubscribers.end()) {
            return -1;
        }
        if (!it->second->isNoReaders()) {
            DDS_RED("Error: there are some readers!");
            return -1;
        }
        impl = it->second;
        m_mapSubscribers.erase(it);
    }
    // Unlinked under the lock and destroyed after it: a transport left to close can take a while,
    // and discovery and the status queries wait for this lock.
    delete impl;
    return 0;
}

int CParticipantImpl::getUnsubscribedTopic(std::vector<std::string>& out)
{
    std::lock_guard<std::mutex> lock(m_mtxSubscriber);
    for (auto& entry : m_mapSubscribers) {
        entry.second->getUnsubscribedTopic(out);
    }
    return static_cast<int>(out.size());
}

int CParticipantImpl::getPubTopicMsgTransParam(const std::string& name, TransParam_t* out)
{
    std::lock_guard<std::mutex> lock(m_mtxPublisher);
    for (auto& entry : m_mapPublishers) {
        if (entry.second->isTopicExist(name)) {
            // Without a control record there is nothing to answer with.
            return entry.second->getTopicMsgTransParam(name, out);
        }
    }
    return -1;
}

int CParticipantImpl::setSubTopicMsgTransParam(const std::string& name, TransParam_t& param)
{
    std::lock_guard<std::mutex> lock(m_mtxSubscriber);
    for (auto& entry : m_mapSubscribers) {
        if (entry.second->isTopicExist(name)) {
            // Discovery reports the answer only when the topic was waiting for it.
            return entry.second->setTopicMsgTransParam(name, param);
        }
    }
    return -1;
}

namespace {

// The control port and the data channels of one side of a topic.
template <typename Side> void fillChannelInfo(Side* side, const std::string& name, _DdsInfo_t& info)
{
    TransParam_t control;
    memset(&control, 0, sizeof(control));
    if (side->getTopicMsgTransParam(name, &control) == 0) {
        info.m_iMsgChnPort = control.m_tcpParam.m_iPort;
    }
    std::vector<ConnParam_t> conns;
    if (side->getTopicDataTransParam(name, &conns) != 0) {
        return;
    }
    for (const ConnParam_t& conn : conns) {
        _DataTransChnInfo_t chn;
        chn.m_iTransType = conn.m_param.m_iType;
        switch (conn.m_param.m_iType) {
        case TRANS_TYPE_TCP:
            chn.m_iPort = conn.m_param.m_tcpParam.m_iPort;
            break;
        case TRANS_TYPE_UDP:
            chn.m_iPort = conn.m_param.m_udpParam.m_iPort;
            break;
        case TRANS_TYPE_UNIX_SOCKET:
            chn.m_iPort = conn.m_param.m_unixSocketParam.m_iId;
            break;
        case TRANS_TYPE_SHARE_MEMORY:
            chn.m_iPort = conn.m_param.m_shmParam.m_iQueueKey;
            break;
        default:
            DDS_YELLOW("Warning: invalid trans type %d", conn.m_param.m_iType);
            continue;
        }
        info.m_vecDataChnInfo.push_back(chn);
    }
}

} // namespace

int CParticipantImpl::getPubDdsInfo(const std::string& name, _DdsInfo_t& info)
{
    std::lock_guard<std::mutex> lock(m_mtxPublisher);
    for (auto& entry : m_mapPublishers) {
        CPublisherImpl* pub = entry.second;
        if (!pub->isTopicExist(name)) {
            continue;
        }
        fillChannelInfo(pub, name, info);
        info.m_iClientCount = pub->getClientCount(name);
        pub->getFps(name, info.m_vecFps);
        info.m_i64LostPkgCount = -1;
        return 0;
    }
    return -1;
}

int CParticipantImpl::getSubDdsInfo(const std::string& name, _DdsInfo_t& info)
{
    std::lock_guard<std::mutex> lock(m_mtxSubscriber);
    for (auto& entry : m_mapSubscribers) {
        CSubscriberImpl* sub = entry.second;
        if (!sub->isTopicExist(name)) {
            continue;
        }
        fillChannelInfo(sub, name, info);
        info.m_iClientCount = -1;
        info.m_iTopicState = sub->getTopicState(name);
        info.m_i64LostPkgCount = sub->getLostPkgCount(name);
        sub->getFps(name, info.m_vecFps);
        return 0;
    }
    return -1;
}

int CParticipantImpl::getDdsInfo(const std::string& topic, int kind, _DdsInfo_t& info)
{
    switch (kind) {
    case DDS_INFO_PUB:
        return getPubDdsInfo(topic, info);
    case DDS_INFO_SUB:
        return getSubDdsInfo(topic, info);
    default:
        return -1;
    }
}
