#include "core/transport/control/trans_sender.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/publisher_impl.h"
#include "core/resource_manager.h"
#include "core/topic_impl.h"
#include "core/transport/medium.h"
#include "memory/datacenter.h"
#include "memory/shm_mem_pool.h"
#include "utils/dds_common.h"
#include "utils/ev_reactor.h"
#include "utils/socket_utils.h"

namespace {

constexpr int kListenBacklog = 10;

int openReserveFd()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace

CRegistrationCount::Token::Token(std::shared_ptr<CRegistrationCount> owner) : m_pOwner(std::move(owner))
{
    std::lock_guard<std::mutex> lock(m_pOwner->m_mutex);
    ++m_pOwner->m_iCount;
}

CRegistrationCount::Token::~Token()
{
    // Runs inside the reactor with its table mutex held: take nothing but our own mutex.
    std::lock_guard<std::mutex> lock(m_pOwner->m_mutex);
    if (--m_pOwner->m_iCount == 0) {
        m_pOwner->m_cv.notify_all();
    }
}

void CRegistrationCount::waitNone()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_iCount == 0; });
}

int CRegistrationCount::count()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_iCount;
}

CTransSender::CTransSender()
    : m_pDataManager(std::make_unique<CDataManager>()), m_pListenCount(std::make_shared<CRegistrationCount>()),
      m_pConnCount(std::make_shared<CRegistrationCount>())
{
    std::memset(m_szIp, 0, sizeof(m_szIp));
    std::memset(&m_stAddr, 0, sizeof(m_stAddr));
    // One sender of every medium, fed as readers ask for channels.
    for (size_t i = 0; i < transMediaCount(); ++i) {
        const TransMedium_t& medium = *transMedia()[i];
        m_mapSender[medium.m_iType] = medium.m_fnMakeSender(m_pDataManager.get());
    }
}

CTransSender::~CTransSender()
{
    stopMsgTask();

    // 1. No more accepts.
    CUniqueFd listenFd;
    {
        std::lock_guard<std::mutex> lock(m_mutexFds);
        m_bClosing = true;
        listenFd = std::move(m_iListenFd);
    }
    releaseFd(std::move(listenFd));
    m_pListenCount->waitNone();

    // 2. No more callbacks of any connection. The connections stay alive here until the last
    // callback is gone: one that runs still uses its connection's buffer. Their descriptors stay
    // open until their channels are gone: a shared-memory queue's thread shuts its connection's
    // descriptor when it finds the ring corrupt, and the number must not name another socket yet.
    std::map<int, std::unique_ptr<CtrlConn_t>> conns;
    {
        std::lock_guard<std::mutex> lock(m_mutexFds);
        conns.swap(m_mapConns);
    }
    for (const auto& entry : conns) {
        // false: a stopped reactor dropped it, or the poll loop served it
        CEvReactor::getInstance()->unregisterEvent(entry.first);
    }
    m_pConnCount->waitNone();
    if (m_fnBeforeChannelsGo) {
        m_fnBeforeChannelsGo();
    }

    // 3. Nothing else touches the channels now; each descriptor closes once its channel (and the
    // threads serving it) are gone.
    for (auto& entry : conns) {
        releaseChannel(entry.first);
        entry.second.reset();
    }
    conns.clear();
    for (auto& entry : m_mapSender) {
        if (entry.second) {
            entry.second->deinit();
        }
    }
    m_reserveFd.reset();
}

int CTransSender::setMsgTransParam(TransParam_t& param)
{
    std::lock_guard<std::mutex> lock(m_mutexFds);
    if (m_iListenFd.valid() || m_bClosing || param.m_iType != TRANS_TYPE_TCP ||
        !isTextTerminated(param.m_tcpParam.m_szIp, sizeof(param.m_tcpParam.m_szIp))) {
        return -1;
    }
    const int given = param.m_tcpParam.m_iPort;
    int port = given;
    CUniqueFd fd(openEndpoint(param, &port));
    if (!fd) {
        return -1;
    }
    CResourceManager* resources = CResourceManager::getInstance();
    // Before the registration, which may serve at once.
    CUniqueFd reserve(openReserveFd());
    if (!registerFd(fd.get(), true)) {
        // Never served: report the failure instead of an endpoint nobody answers at. The caller
        // keeps the given port (it records it), so only a port taken here goes back.
        if (port != given) {
            resources->putSocketPort(port);
        }
        return -1;
    }
    m_iListenFd = std::move(fd);
    m_reserveFd = std::move(reserve);
    std::memcpy(m_szIp, param.m_tcpParam.m_szIp, sizeof(m_szIp));
    m_iPort = port;
    if (port != given) {
        // Another process holds the given port: it goes to the back of the pool, and the
        // endpoint (which discovery announces from `param`) takes the one that bound.
        DDS_YELLOW("Warning: port %d is in use by another process, topic %s control endpoint takes port %d", given,
                   m_strTopicName.c_str(), port);
        resources->setAsideSocketPort(given);
        param.m_tcpParam.m_iPort = port;
    }
    return 0;
}

int CTransSender::openEndpoint(const TransParam_t& param, int* bound)
{
    CResourceManager* resources = CResourceManager::getInstance();
    const int given = param.m_tcpParam.m_iPort;
    std::vector<int> tried{given}; // the given one, and those found held (already back in the pool)
    int port = given;
    for (;;) {
        // A socket that bound cannot bind again: every attempt starts on a fresh one.
        CUniqueFd fd(CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_TCP));
        if (!fd) {
            DDS_GREEN_LIMITED("openSocket failed!");
            return -1;
        }
        CSocketUtils::setBlock(fd.get(), false);
        CSocketUtils::setAddrReuse(fd.get(), true);
        CSocketUtils::setNodelay(fd.get(), true);
        std::memset(&m_stAddr, 0, sizeof(m_stAddr));
        m_stAddr.sin_family = AF_INET;
        m_stAddr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
        m_stAddr.sin_addr.s_addr = ipv4OrNone(param.m_tcpParam.m_szIp);
        int err = 0;
        if (CSocketUtils::bindSocket(fd.get(), reinterpret_cast<sockaddr*>(&m_stAddr), sizeof(m_stAddr)) != 0) {
            err = errno;
        } else if (::listen(fd.get(), kListenBacklog) != 0) {
            // Another socket bound the port too and listened first: the port is as taken as at bind.
            err = errno;
            ddsPerror("listen: ");
        } else {
            *bound = port;
            return fd.release();
        }
        fd.reset();
        if (port != given) {
            // Not kept while probing on: a concurrent request may still use it (over UDP, say).
            resources->setAsideSocketPort(port);
            tried.push_back(port);
        }
        int next = err == EADDRINUSE ? resources->getSocketPortExcept(tried) : -1;
        if (next == -1) {
            // No port of the range works: the given one stays the caller's.
            DDS_GREEN("bindSocket failed!");
            return -1;
        }
        port = next;
    }
}

bool CTransSender::registerFd(int fd, bool listener)
{
    auto token = std::make_shared<CRegistrationCount::Token>(listener ? m_pListenCount : m_pConnCount);
    std::function<void(int, void*)> callback;
    if (listener) {
        callback = [this, token](int readyFd, void*) { onAccept(readyFd); };
    } else {
        callback = [this, token](int readyFd, void*) { onReadable(readyFd); };
    }
    token.reset(); // the callback holds the only reference: it dies with the record
    return CEvReactor::getInstance()->registerEvent(fd, POLL_EVENT_READ, std::move(callback), nullptr);
}

void CTransSender::releaseFd(CUniqueFd fd)
{
    if (fd && CEvReactor::getInstance()->unregisterEventAndClose(fd.get())) {
        fd.release(); // the reactor's to close now
    }
}

CUniqueFd CTransSender::acceptConn(int listenFd)
{
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof(peer));
    socklen_t peerLen = sizeof(peer);
    CUniqueFd conn(::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC));
    if (!conn) {
        int err = errno;
        DDS_GREEN_LIMITED("socekt %d accept error: %s.", listenFd, std::strerror(err));
        if (err == EMFILE || err == ENFILE) {
            refusePending(listenFd);
        }
        return conn;
    }
    const int fd = conn.get();
    CSocketUtils::setNodelay(fd, true);
    CSocketUtils::setKeepAlive(fd, true);
    CSocketUtils::setKeepIdle(fd, CTRL_KEEPALIVE_IDLE_S);
    CSocketUtils::setKeepInterval(fd, CTRL_KEEPALIVE_INTERVAL_S);
    CSocketUtils::setKeepCnt(fd, CTRL_KEEPALIVE_COUNT);
    CSocketUtils::setUserTimeOut(fd, CTRL_USER_TIMEOUT_MS * 1000);
    char addr[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof(addr));
    DDS_GREEN_LIMITED_BY(m_strTopicName, "iConnfd:%d, peer addr:%s, peer port:%d", fd, addr, ntohs(peer.sin_port));
    return conn;
}

void CTransSender::refusePending(int listenFd)
{
    // Spent under the lock: the poll loop may accept beside the reactor.
    std::lock_guard<std::mutex> lock(m_mutexFds);
    if (!m_reserveFd) {
        return;
    }
    // Take the pending connection off the level-triggered listener and close it, so that the
    // reactor does not spin on it.
    m_reserveFd.reset();
    CUniqueFd refused(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
    refused.reset();
    m_reserveFd.reset(openReserveFd());
}

void CTransSender::onAccept(int listenFd)
{
    CUniqueFd fd = acceptConn(listenFd);
    if (!fd) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutexFds);
    // Refused (closing, or the reactor cannot take it): closed now, never listed.
    if (m_bClosing || !registerFd(fd.get(), false)) {
        return;
    }
    listConn(std::move(fd));
}

int CTransSender::listConn(CUniqueFd fd)
{
    const int number = fd.get();
    m_mapConns[number] = std::make_unique<CtrlConn_t>(std::move(fd));
    return number;
}

bool CTransSender::onReadable(int fd)
{
    CtrlConn_t* conn = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutexFds);
        auto it = m_mapConns.find(fd);
        if (it == m_mapConns.end()) {
            return false;
        }
        // Erased only by this thread (the one that serves it), or after its last callback.
        conn = it->second.get();
    }
    uint8_t* tail = conn->m_buffer.tail();
    size_t room = std::min(conn->m_buffer.room(), CTRL_MAX_MSG_LEN);
    ssize_t n = ::recv(fd, tail, room, MSG_DONTWAIT);
    if (n < 0) {
        int err = errno;
        if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
            // The connection is dead; the next read reports the close.
            DDS_GREEN_LIMITED_BY(m_strTopicName, "recv error: %s!", std::strerror(err));
        }
        return true;
    }
    if (n == 0) {
        DDS_GREEN_LIMITED_BY(m_strTopicName, "socket %d disconnect!", fd);
        deleteConn(fd);
        return false;
    }
    conn->m_buffer.commit(static_cast<size_t>(n));
    const uint8_t* msg = nullptr;
    size_t len = 0;
    int got = 0;
    while ((got = conn->m_buffer.next(&msg, &len)) != 0) {
        if (got < 0) {
            continue; // not a control message: dropped without a word, the connection stays
        }
        if (procMsg(fd, const_cast<unsigned char*>(msg), static_cast<int>(len)) == CTRL_RET_SEND_FAILED) {
            deleteConn(fd);
            return false;
        }
    }
    return true;
}

int CTransSender::deleteConn(int fd)
{
    std::unique_ptr<CtrlConn_t> conn;
    {
        std::lock_guard<std::mutex> lock(m_mutexFds);
        auto it = m_mapConns.find(fd);
        if (it == m_mapConns.end()) {
            return 0; // the destructor took it
        }
        conn = std::move(it->second);
        m_mapConns.erase(it);
    }
    // Closed before the reader confirmed its channel: most likely the reader could not use the
    // resource (a port or path another program holds there).
    releaseChannel(fd, conn->m_bOffered && !conn->m_bConfirmed);
    releaseFd(std::move(conn->m_fd));
    return 0;
}

int CTransSender::procMsg(int fd, unsigned char* msg, int len)
{
    if (msg == nullptr || len < static_cast<int>(DDS_HEADER_SIZE)) {
        return -1;
    }
    int type = readDdsHeader(msg).m_u8Type;
    switch (type) {
    case MSG_TYPE_HEARTBEAT:
        return procHeartbeatMsg(fd, msg, len);
    case MSG_TYPE_REQUEST_DATA_CHAN:
        return procRequestDataChanMsg(fd, msg, len);
    default:
        DDS_GREEN_LIMITED("type %d is not supported!", type);
        return -1;
    }
}

int CTransSender::procRequestDataChanMsg(int fd, unsigned char* msg, int len)
{
    CtrlRequest_t request;
    if (len < 0 || !decodeRequestMsg(msg, static_cast<size_t>(len), &request) || request.m_strTopic != m_strTopicName) {
        return -1;
    }
    // One channel per connection: a second request would open a second channel that the
    // connection's close could not find again.
    if (hasChannel(fd)) {
        return -1;
    }
    // Data goes where the request says, but only to an address the request really comes from, so
    // that a peer cannot point a topic at a group, a broadcast or another host: the connection's
    // peer or, for a requester on this host, an address of one of its interfaces. A reader that
    // connects without binding has the source address its route picks, not the one it names.
    in_addr requester{};
    uint32_t peer = 0;
    if (!parseIPv4(request.m_strIp, &requester) || !isUnicastAddress(requester.s_addr) || !peerAddress(fd, &peer)) {
        return -1;
    }
    const bool onHost = isHostAddress(peer);
    if (peer != requester.s_addr && !(onHost && isInterfaceAddress(requester.s_addr))) {
        return -1;
    }
    const std::string hostIp = CResourceManager::getInstance()->getHostIp();
    TransParam_t ackParam;
    std::memset(&ackParam, 0, sizeof(ackParam));
    ConnParam_t conn;
    std::memset(&conn, 0, sizeof(conn));
    conn.m_iFd = fd;
    if (openChannel(chooseMedium(request.m_strIp, hostIp, onHost), fd, request, ackParam, conn) != 0) {
        return -1;
    }
    setTopicDataTransParam(m_strTopicName, conn);
    noteOffered(fd);
    uint8_t ack[CTRL_REQUEST_ACK_MSG_LEN];
    buildRequestAckMsg(ack, hostIp, m_strTopicName, ackParam);
    return sendAnswer(fd, ack, sizeof(ack));
}

int CTransSender::chooseMedium(const std::string& requesterIp, const std::string& hostIp, bool onHost)
{
    if (requesterIp != hostIp || !onHost) {
        return TRANS_TYPE_UDP;
    }
    if (m_pDataManager->getMemPoolType()) {
        return TRANS_TYPE_SHARE_MEMORY;
    }
    // A topic whose path might not fit (checked with the longest index, so that the medium of a
    // topic does not depend on which index is free), or would name another directory, goes over
    // UDP, which the reader takes because it obeys the type in the acknowledgement.
    char path[DDS_PATH_TEXT_SIZE];
    if (!makeUnixSocketPath(m_strTopicName, INT_MAX, path)) {
        return TRANS_TYPE_UDP;
    }
    return TRANS_TYPE_UNIX_SOCKET;
}

int CTransSender::openChannel(int type, int fd, const CtrlRequest_t& request, TransParam_t& ackParam, ConnParam_t& conn)
{
    std::shared_ptr<CDataSender> sender = getSender(type);
    if (!sender) {
        DDS_RED("Error: no data sender for transport type %d!", type);
        return -1;
    }
    const TransMedium_t* medium = transMedium(type);
    if (medium == nullptr || medium->m_fnOffer == nullptr) {
        return -1;
    }
    if (medium->m_bSharesPool) {
        // A pool left without a segment (its keys all held when the writer was made) gets one
        // now if a key is free again; until then the request fails below, and the next tries.
        auto* pool = dynamic_cast<CShmMemPool*>(m_pDataManager->getMemPool());
        if (pool != nullptr && !pool->hasSegment() && m_pPublisherImpl != nullptr) {
            m_pPublisherImpl->reopenShmPool(m_strTopicName, pool);
        }
    }
    if (medium->m_bStartFirst && !startSender(type, *sender)) {
        return -1;
    }
    if (allocDataTransChan(type, &ackParam) != 0) {
        return -1;
    }
    conn.m_param = ackParam;
    medium->m_fnOffer(*m_pDataManager, request.m_strIp, ackParam, conn.m_param);
    const int value = medium->m_fnNumberOf(ackParam);
    if (!sender->addConn(fd, conn.m_param)) {
        // Most often the resource is held elsewhere (a shared-memory key taken): try another next.
        setAsideDataTransPort(type, value);
        return -1;
    }
    if (!medium->m_bStartFirst && !startSender(type, *sender)) {
        // Nothing would feed the channel: refused, and the resource is as good as before.
        sender->delConn(fd);
        freeDataTransPort(type, value);
        return -1;
    }
    return 0;
}

bool CTransSender::startSender(int type, CDataSender& sender)
{
    // init() is false also when the thread runs already: only isInit() tells.
    if (sender.isInit() || sender.init() || sender.isInit()) {
        return true;
    }
    // Every refused request says it again: limited, per topic.
    DDS_RED_LIMITED_BY(m_strTopicName, "Error: topic %s data sender of transport type %d cannot start!",
                       m_strTopicName.c_str(), type);
    return false;
}

int CTransSender::sendAnswer(int fd, unsigned char* msg, int len)
{
    int sent = CSocketUtils::writeData(fd, msg, len, CTRL_SEND_TIMEOUT_MS);
    return sent == len ? 0 : CTRL_RET_SEND_FAILED;
}

int CTransSender::procHeartbeatMsg(int fd, unsigned char* msg, int len)
{
    std::string topic;
    if (len < 0 || !decodeHeartbeatMsg(msg, static_cast<size_t>(len), MSG_TYPE_HEARTBEAT, &topic) ||
        topic != m_strTopicName) {
        return -1;
    }
    // The reader heartbeats once its channel is up: the channel's resource worked.
    noteConfirmed(fd);
    uint8_t answer[CTRL_HEARTBEAT_MSG_LEN];
    buildHeartbeatMsg(answer, MSG_TYPE_HEARTBEAT_ACK, CResourceManager::getInstance()->getHostIp(), m_strTopicName);
    return sendAnswer(fd, answer, sizeof(answer));
}

int CTransSender::allocDataTransChan(int type, TransParam_t* param)
{
    const TransMedium_t* medium = transMedium(type);
    if (param == nullptr || medium == nullptr || !medium->hasResource()) {
        return -1;
    }
    return medium->m_fnTake(type, m_strTopicName, param);
}

int CTransSender::freeDataTransPort(int type, int value)
{
    const TransMedium_t* medium = transMedium(type);
    if (value == -1 || medium == nullptr || !medium->hasResource()) {
        return -1; // -1 is not a resource: giving it back would poison the pool
    }
    (CResourceManager::getInstance()->*medium->m_fnGiveBack)(medium->poolNumber(value));
    return 0;
}

bool CTransSender::hasChannel(int fd)
{
    for (auto& entry : m_mapSender) {
        if (entry.second && entry.second->isConnExist(fd)) {
            return true;
        }
    }
    return m_connParams.hasFd(fd);
}

void CTransSender::noteOffered(int fd)
{
    std::lock_guard<std::mutex> lock(m_mutexFds);
    auto it = m_mapConns.find(fd);
    if (it != m_mapConns.end()) {
        it->second->m_bOffered = true;
    }
}

void CTransSender::noteConfirmed(int fd)
{
    std::lock_guard<std::mutex> lock(m_mutexFds);
    auto it = m_mapConns.find(fd);
    if (it != m_mapConns.end() && it->second->m_bOffered) {
        it->second->m_bConfirmed = true;
    }
}

void CTransSender::setAsideDataTransPort(int type, int value)
{
    const TransMedium_t* medium = transMedium(type);
    if (value != -1 && medium != nullptr && medium->hasResource()) {
        (CResourceManager::getInstance()->*medium->m_fnSetAside)(medium->poolNumber(value));
    }
}

void CTransSender::releaseChannel(int fd, bool failed)
{
    for (auto& entry : m_mapSender) {
        CDataSender* sender = entry.second.get();
        if (sender == nullptr || !sender->isConnExist(fd)) {
            continue;
        }
        int value = sender->getPort(fd);
        // Only a removed connection frees its resource, so a key still in use is never handed out.
        if (sender->delConn(fd)) {
            if (failed) {
                setAsideDataTransPort(entry.first, value);
            } else {
                freeDataTransPort(entry.first, value);
            }
        }
        break;
    }
    m_connParams.removeFd(fd);
}

int CTransSender::setTopicDataTransParam(const std::string& topic, ConnParam_t& conn)
{
    m_connParams.add(topic, conn);
    return 0;
}

int CTransSender::getTopicDataTransParam(const std::string& topicName, std::vector<ConnParam_t>* out)
{
    return m_connParams.get(topicName, out);
}

int CTransSender::getClientCount()
{
    int count = 0;
    for (auto& entry : m_mapSender) {
        if (entry.second && entry.second->isInit()) {
            count += entry.second->getClientCount();
        }
    }
    return count;
}

uint64_t CTransSender::getLostPkgCount()
{
    return 0;
}

int CTransSender::getFps(std::vector<int>& out)
{
    out.clear();
    for (auto& entry : m_mapSender) {
        if (entry.second && entry.second->isInit()) {
            int fps = entry.second->getFps();
            if (fps >= 0) {
                out.push_back(fps);
            }
        }
    }
    return 0;
}

int CTransSender::setTopicImpl(CTopicImpl* topic)
{
    m_pTopicImpl = topic;
    m_strTopicName = topic != nullptr ? topic->getTopicName() : std::string();
    return 0;
}

int CTransSender::setPublisherImpl(CPublisherImpl* publisher)
{
    m_pPublisherImpl = publisher;
    return 0;
}

void CTransSender::setMemPool(CMemPool* pool)
{
    m_pDataManager->setMemPool(pool);
}

DataPackage_t* CTransSender::getEmptyDataPkg(int size, int timeoutMs)
{
    return m_pDataManager->getEmptyDataPkg(size, timeoutMs);
}

void CTransSender::putEmptyDataPkg(DataPackage_t* pkg)
{
    m_pDataManager->putEmptyDataPkg(pkg);
}

void CTransSender::referDataPkg(DataPackage_t* pkg)
{
    m_pDataManager->referDataPkg(pkg);
}

int CTransSender::putFullDataPkg(DataPackage_t* pkg, int len)
{
    return m_pDataManager->putFullDataPkg(pkg, len);
}

int CTransSender::getDataPkgCapacity(DataPackage_t* pkg)
{
    return m_pDataManager->getDataPkgCapacity(pkg);
}

int CTransSender::registerDataCallBack(std::function<int(int, DataPackage_t*)> callback)
{
    (void)callback;
    return -1;
}

void CTransSender::unregisterDataCallBack(int id)
{
    (void)id;
}

int CTransSender::registerEventCallBack(std::function<void(int, int)> callback)
{
    (void)callback;
    return -1;
}

void CTransSender::unregisterEventCallBack(int id)
{
    (void)id;
}

bool CTransSender::isConnect()
{
    int count = 0;
    for (auto& entry : m_mapSender) {
        if (entry.second) {
            count += entry.second->getClientCount();
        }
    }
    return count > 0;
}

std::shared_ptr<CDataSender> CTransSender::getSender(int type) const
{
    auto it = m_mapSender.find(type);
    return it == m_mapSender.end() ? nullptr : it->second;
}

int CTransSender::getConnCount()
{
    std::lock_guard<std::mutex> lock(m_mutexFds);
    return static_cast<int>(m_mapConns.size());
}
