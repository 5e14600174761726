#include "core/transport/trans_receiver.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "core/resource_manager.h"
#include "core/topic_impl.h"
#include "core/transport/receiver_factory.h"
#include "memory/datacenter.h"
#include "memory/shm_client.h"
#include "utils/dds_common.h"
#include "utils/socket_utils.h"

namespace {

// The subscriber's state of a topic that waits for a publisher.
constexpr int kTopicWaiting = 0;

} // namespace

void CTransReceiver::DataChannel_t::noteLent(const DataPackage_t* pkg)
{
    auto addr = reinterpret_cast<uintptr_t>(pkg);
    uintptr_t low = m_uLow.load();
    while (addr < low && !m_uLow.compare_exchange_weak(low, addr)) {
    }
    uintptr_t high = m_uHigh.load();
    while (addr > high && !m_uHigh.compare_exchange_weak(high, addr)) {
    }
    m_i64Lent.fetch_add(1, std::memory_order_acq_rel);
}

bool CTransReceiver::DataChannel_t::holds(const DataPackage_t* pkg) const
{
    auto addr = reinterpret_cast<uintptr_t>(pkg);
    return addr >= m_uLow.load() && addr <= m_uHigh.load();
}

CTransReceiver::CTransReceiver() : m_pDataManager(std::make_unique<CDataManager>())
{
    std::memset(m_szIp, 0, sizeof(m_szIp));
    std::memset(&m_stServerAddr, 0, sizeof(m_stServerAddr));
}

CTransReceiver::~CTransReceiver()
{
    stopMsgTask();
    stopDataTrans();
    reapRetired(true);
    std::lock_guard<std::mutex> lock(m_mutexEventCb);
    m_mapEventCb.clear();
}

const char* CTransReceiver::getStateName(int state)
{
    switch (state) {
    case STAT_IDLE:
        return "STAT_IDLE";
    case STAT_CONNECT:
        return "STAT_CONNECT";
    case STAT_REQUEST:
        return "STAT_REQUEST";
    case STAT_HEARTBEAT:
        return "STAT_HEARTBEAT";
    default:
        return "UNKNOWN";
    }
}

int CTransReceiver::setMsgTransParam(TransParam_t& param)
{
    return startMsgTrans(param);
}

int CTransReceiver::startMsgTrans(TransParam_t& param)
{
    if (param.m_iType != TRANS_TYPE_TCP ||
        !isTextTerminated(param.m_tcpParam.m_szIp, sizeof(param.m_tcpParam.m_szIp))) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mutexEndpoint);
    // A connection is being made or is up: leave it alone.
    if (m_iFd >= 0 || m_iState.load(std::memory_order_acquire) != STAT_IDLE) {
        return -1;
    }
    int fd = CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_TCP);
    if (fd < 0) {
        return -1;
    }
    CSocketUtils::setAddrReuse(fd, true);
    CSocketUtils::setNodelay(fd, true);
    std::memset(&m_stServerAddr, 0, sizeof(m_stServerAddr));
    m_stServerAddr.sin_family = AF_INET;
    m_stServerAddr.sin_port = htons(static_cast<uint16_t>(param.m_tcpParam.m_iPort & 0xFFFF));
    m_stServerAddr.sin_addr.s_addr = ipv4OrNone(param.m_tcpParam.m_szIp);
    std::memcpy(m_szIp, param.m_tcpParam.m_szIp, sizeof(m_szIp));
    m_iPort = param.m_tcpParam.m_iPort;
    m_iFd = fd;
    // Published last: the control thread reads the fields above once it sees the state.
    m_iState.store(STAT_CONNECT, std::memory_order_release);
    startMsgTask();
    if (!m_bRunning.load()) {
        m_iState.store(STAT_IDLE, std::memory_order_release);
        CSocketUtils::closeSocket(m_iFd);
        m_iFd = -1;
        return -1;
    }
    {
        std::lock_guard<std::mutex> wake(m_mutexWake);
    }
    m_cvWake.notify_all();
    return 0;
}

void CTransReceiver::startMsgTask()
{
    if (m_bRunning.exchange(true)) {
        return;
    }
    try {
        m_thread = std::thread(&CTransReceiver::procMsgTask, this);
    } catch (const std::system_error&) {
        m_bRunning.store(false);
    }
}

void CTransReceiver::stopMsgTask()
{
    if (m_bRunning.exchange(false)) {
        {
            std::lock_guard<std::mutex> wake(m_mutexWake);
        }
        m_cvWake.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    closeControlSocket();
}

void CTransReceiver::procMsgTask()
{
    while (m_bRunning.load()) {
        msgStateMachine();
        reapRetired(false);
    }
}

void CTransReceiver::pause(int ms)
{
    std::unique_lock<std::mutex> lock(m_mutexWake);
    m_cvWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !m_bRunning.load(); });
}

void CTransReceiver::closeControlSocket()
{
    std::lock_guard<std::mutex> lock(m_mutexEndpoint);
    CSocketUtils::closeSocket(m_iFd);
    m_iFd = -1;
}

void CTransReceiver::msgStateMachine()
{
    const int state = m_iState.load(std::memory_order_acquire);
    switch (state) {
    case STAT_IDLE: {
        std::unique_lock<std::mutex> lock(m_mutexWake);
        m_cvWake.wait_for(lock, std::chrono::milliseconds(CTRL_RETRY_PAUSE_MS), [this] {
            return !m_bRunning.load() || m_iState.load(std::memory_order_acquire) != STAT_IDLE;
        });
        return;
    }
    case STAT_CONNECT:
        if (connectServer() == 0) {
            DDS_GREEN("Connect ip %s port %d success.", m_szIp, m_iPort);
            m_iState.store(STAT_REQUEST, std::memory_order_release);
            m_iErrorCount = 0;
            m_i64NextSendTime = 0;
            m_bWaitReply = false;
            m_recvBuffer.clear();
        } else {
            DDS_GREEN("Connect ip %s port %d failed!!!", m_szIp, m_iPort);
            pause(CTRL_RETRY_PAUSE_MS);
            ++m_iErrorCount;
        }
        break;
    case STAT_REQUEST:
    case STAT_HEARTBEAT:
        exchange(state);
        break;
    default:
        break;
    }
    if (m_iErrorCount > CTRL_MAX_FAULTS) {
        reset(state);
    }
}

int CTransReceiver::waitConnected(int fd)
{
    for (int waited = 0; waited < CTRL_CONNECT_TIMEOUT_MS && m_bRunning.load(); waited += CTRL_CONNECT_SLICE_MS) {
        pollfd entry{fd, POLLOUT, 0};
        int ready = ::poll(&entry, 1, CTRL_CONNECT_SLICE_MS);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (ready == 0) {
            continue;
        }
        int err = 0;
        socklen_t len = sizeof(err);
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
            return errno;
        }
        return err;
    }
    return ETIMEDOUT;
}

int CTransReceiver::connectServer()
{
    int fd = m_iFd;
    if (fd < 0) {
        // Every attempt on a fresh socket: a timed-out or interrupted attempt leaves its socket
        // unusable for another connect.
        fd = CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_TCP);
        if (fd < 0) {
            return -1;
        }
        CSocketUtils::setAddrReuse(fd, true);
        CSocketUtils::setNodelay(fd, true);
        std::lock_guard<std::mutex> lock(m_mutexEndpoint);
        m_iFd = fd;
    }
    // Non-blocking, so that an endpoint that drops SYNs costs one bounded wait, not minutes.
    CSocketUtils::setBlock(fd, false);
    int err = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&m_stServerAddr), sizeof(m_stServerAddr)) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            err = waitConnected(fd);
        }
    }
    if (err == 0) {
        CSocketUtils::setBlock(fd, true);
        return 0;
    }
    errno = err;
    perror("connect: ");
    closeControlSocket();
    return -1;
}

int CTransReceiver::disconnect()
{
    return 0;
}

void CTransReceiver::exchange(int state)
{
    if (getUptimeMs() >= m_i64NextSendTime) {
        int sent = state == STAT_REQUEST ? sendRequestMsg() : sendHeartbeatMsg();
        if (sent != 0) {
            ++m_iErrorCount;
        }
        m_bWaitReply = true;
    }
    uint8_t* tail = m_recvBuffer.tail();
    int room = static_cast<int>(std::min(m_recvBuffer.room(), CTRL_MAX_MSG_LEN));
    int length = 0;
    int ret = CSocketUtils::readData(m_iFd, tail, room, &length, CTRL_READ_TIMEOUT_MS);
    switch (ret) {
    case SOCK_RET_OK:
        m_recvBuffer.commit(static_cast<size_t>(length));
        if (state == STAT_REQUEST) {
            onRequestData();
        } else {
            onHeartbeatData();
        }
        break;
    case SOCK_RET_DISCONNECTED:
        m_iErrorCount = CTRL_CLOSED_FAULTS;
        break;
    case SOCK_RET_TIMEOUT:
        if (m_bWaitReply) {
            ++m_iErrorCount;
        }
        break;
    default:
        pause(CTRL_ERROR_PAUSE_MS);
        ++m_iErrorCount;
        break;
    }
}

void CTransReceiver::onRequestData()
{
    const uint8_t* msg = nullptr;
    size_t len = 0;
    int got = 0;
    while ((got = m_recvBuffer.next(&msg, &len)) != 0) {
        if (got < 0) {
            DDS_RED("Error: Invalid data");
            continue;
        }
        if (procRequestAckMsg(const_cast<unsigned char*>(msg), static_cast<int>(len)) == 0) {
            m_iState.store(STAT_HEARTBEAT, std::memory_order_release);
            m_bWaitReply = false;
            m_iErrorCount = 0;
            m_i64NextSendTime = 0;
            return; // what follows is read in the new state
        }
    }
}

void CTransReceiver::onHeartbeatData()
{
    // Any data counts as the answer; complete messages are taken out to keep the stream framed.
    const uint8_t* msg = nullptr;
    size_t len = 0;
    int got = 0;
    while ((got = m_recvBuffer.next(&msg, &len)) != 0) {
        if (got > 0) {
            procHeartbeatAckMsg(const_cast<unsigned char*>(msg), static_cast<int>(len));
        }
    }
    m_i64NextSendTime = getUptimeMs() + m_iHeartbeatInterval;
    m_bWaitReply = false;
    m_iErrorCount = 0;
}

void CTransReceiver::reset(int state)
{
    DDS_GREEN("Current state is %s, switch to STAT_IDLE, Exception count is %d.", getStateName(state), m_iErrorCount);
    TopicStateCallBack_t topicState;
    {
        std::lock_guard<std::mutex> lock(m_mutexEndpoint);
        m_iState.store(STAT_IDLE, std::memory_order_release);
        m_iErrorCount = 0;
        m_bWaitReply = false;
        m_i64NextSendTime = 0;
        CSocketUtils::closeSocket(m_iFd);
        m_iFd = -1;
        topicState = m_fnTopicState;
    }
    m_recvBuffer.clear();
    stopDataTrans();
    if (topicState) {
        topicState(m_strTopicName, kTopicWaiting);
    }
}

int CTransReceiver::sendRequestMsg()
{
    uint8_t msg[CTRL_REQUEST_MSG_LEN];
    buildRequestMsg(msg, CResourceManager::getInstance()->getHostIp(), m_strTopicName);
    int ret = CSocketUtils::writeData(m_iFd, msg, static_cast<int>(sizeof(msg)), 10);
    if (ret != static_cast<int>(sizeof(msg))) {
        DDS_RED("Error: iRet = %d, iLen = %d", ret, static_cast<int>(sizeof(msg)));
        return -1;
    }
    return 0;
}

int CTransReceiver::sendHeartbeatMsg()
{
    uint8_t msg[CTRL_HEARTBEAT_MSG_LEN];
    buildHeartbeatMsg(msg, MSG_TYPE_HEARTBEAT, CResourceManager::getInstance()->getHostIp(), m_strTopicName);
    int ret = CSocketUtils::writeData(m_iFd, msg, static_cast<int>(sizeof(msg)), 10);
    if (ret != static_cast<int>(sizeof(msg))) {
        DDS_YELLOW("Warning: iRet = %d, iLen = %d", ret, static_cast<int>(sizeof(msg)));
        return -1;
    }
    return 0;
}

int CTransReceiver::procRequestAckMsg(unsigned char* buffer, int length)
{
    CtrlRequestAck_t ack;
    if (length < 0 || !decodeRequestAckMsg(buffer, static_cast<size_t>(length), &ack)) {
        DDS_RED("Error: Invalid data");
        return -1;
    }
    if (ack.m_param.m_iType == TRANS_TYPE_UNIX_SOCKET) {
        // The receiver unlinks a stale file at this path: take only the path our own topic has.
        char expected[DDS_PATH_TEXT_SIZE];
        if (!makeUnixSocketPath(m_strTopicName, ack.m_param.m_unixSocketParam.m_iId, expected) ||
            std::strcmp(expected, ack.m_param.m_unixSocketParam.m_szPath) != 0) {
            DDS_RED("Error: Invalid data");
            return -1;
        }
    }
    if (startDataTrans(ack.m_param) != 0) {
        return -1;
    }
    m_strAckTopic = ack.m_strTopic;
    ConnParam_t conn;
    std::memset(&conn, 0, sizeof(conn));
    conn.m_iFd = -1;
    conn.m_param = ack.m_param;
    setTopicDataTransParam(m_strAckTopic, conn);
    return 0;
}

int CTransReceiver::procHeartbeatAckMsg(unsigned char* buffer, int length)
{
    std::string topic;
    if (length < 0 || !decodeHeartbeatMsg(buffer, static_cast<size_t>(length), MSG_TYPE_HEARTBEAT_ACK, &topic)) {
        return -1;
    }
    return 0;
}

int CTransReceiver::startDataTrans(TransParam_t& param)
{
    std::unique_ptr<CDataReceiver> created =
        CReceiverFactory::createReceiver(param.m_iType, m_strTopicName, m_pDataManager.get());
    if (!created) {
        return -1;
    }
    // A receiver that could not open its channel is dropped at once, with whatever it half-opened.
    if (!created->init(param)) {
        return -1;
    }
    auto channel = std::make_shared<DataChannel_t>();
    channel->m_pDataReceiver = std::move(created);
    channel->m_iType = param.m_iType;
    std::shared_ptr<DataChannel_t> previous;
    {
        std::lock_guard<std::mutex> lock(m_mutexReceiver);
        previous.swap(m_pDataChannel);
        m_pDataChannel = channel;
    }
    if (previous) {
        previous->m_pDataReceiver->deinit();
    }
    notifyEvent(EVENT_DATA_TRANS_START);
    return 0;
}

int CTransReceiver::stopDataTrans()
{
    notifyEvent(EVENT_DATA_TRANS_STOP);
    {
        // Every list, so that no list keeps a channel of an older acknowledgement.
        std::lock_guard<std::mutex> lock(m_mutexConnParam);
        for (auto& entry : m_mapConnParam) {
            entry.second.clear();
        }
    }
    std::shared_ptr<DataChannel_t> channel;
    {
        std::lock_guard<std::mutex> lock(m_mutexReceiver);
        channel.swap(m_pDataChannel);
        if (channel && channel->m_iType == TRANS_TYPE_SHARE_MEMORY && channel->m_i64Lent.load() > 0) {
            // Lent packages lie in its segment: keep it attached until they are back.
            m_vecRetired.push_back(std::move(channel));
            channel.reset();
        }
    }
    // Outside the mutex: deinit joins the receive thread, which may be releasing a package.
    if (channel) {
        channel->m_pDataReceiver->deinit();
    }
    return 0;
}

void CTransReceiver::reapRetired(bool all)
{
    std::vector<std::shared_ptr<DataChannel_t>> done;
    {
        std::lock_guard<std::mutex> lock(m_mutexReceiver);
        if (m_vecRetired.empty()) {
            return;
        }
        auto keep = std::partition(m_vecRetired.begin(), m_vecRetired.end(),
                                   [all](const auto& channel) { return !all && channel->m_i64Lent.load() > 0; });
        std::move(keep, m_vecRetired.end(), std::back_inserter(done));
        m_vecRetired.erase(keep, m_vecRetired.end());
    }
    for (auto& channel : done) {
        channel->m_pDataReceiver->deinit();
    }
}

void CTransReceiver::notifyEvent(int event)
{
    std::lock_guard<std::mutex> lock(m_mutexEventCb);
    for (auto& entry : m_mapEventCb) {
        if (entry.second->m_fnCallback) {
            entry.second->m_fnCallback(entry.second->m_iId, event);
        }
    }
}

int CTransReceiver::registerEventCallBack(std::function<void(int, int)> callback)
{
    std::lock_guard<std::mutex> lock(m_mutexEventCb);
    auto info = std::make_unique<EventCbInfo_t>();
    info->m_iId = m_iNextCbId++;
    info->m_fnCallback = std::move(callback);
    int id = info->m_iId;
    m_mapEventCb.emplace(id, std::move(info));
    return id;
}

void CTransReceiver::unregisterEventCallBack(int id)
{
    std::lock_guard<std::mutex> lock(m_mutexEventCb);
    m_mapEventCb.erase(id);
}

std::shared_ptr<CTransReceiver::DataChannel_t> CTransReceiver::getChannel()
{
    std::lock_guard<std::mutex> lock(m_mutexReceiver);
    return m_pDataChannel;
}

std::shared_ptr<CTransReceiver::DataChannel_t> CTransReceiver::findShmOrigin(const DataPackage_t* pkg)
{
    std::lock_guard<std::mutex> lock(m_mutexReceiver);
    if (m_pDataChannel && m_pDataChannel->m_iType == TRANS_TYPE_SHARE_MEMORY && m_pDataChannel->holds(pkg)) {
        return m_pDataChannel;
    }
    for (auto& channel : m_vecRetired) {
        if (channel->holds(pkg)) {
            return channel;
        }
    }
    // Not seen by a callback (taken from a FIFO): only the current channel can have delivered it
    // when no older one is still up.
    if (m_vecRetired.empty() && m_pDataChannel && m_pDataChannel->m_iType == TRANS_TYPE_SHARE_MEMORY) {
        return m_pDataChannel;
    }
    return nullptr;
}

void CTransReceiver::putEmptyDataPkg(DataPackage_t* pkg)
{
    if (pkg == nullptr) {
        return;
    }
    // Told apart by address: the flag lies in the segment, where other processes can change it.
    if (CShmClient::heldPackageCapacity(pkg) < 0) {
        m_pDataManager->putEmptyDataPkg(pkg);
        return;
    }
    std::shared_ptr<DataChannel_t> origin = findShmOrigin(pkg);
    if (!origin) {
        // No channel knows it any more: the mapping it lies in still counts it, and lets go of
        // the segment once nothing of this process holds a package there.
        CShmClient::releaseHeldPackage(pkg);
        return;
    }
    origin->m_pDataReceiver->putEmptyDataPkg(pkg);
    origin->m_i64Lent.fetch_sub(1, std::memory_order_acq_rel);
}

int CTransReceiver::registerDataCallBack(std::function<int(int, DataPackage_t*)> callback)
{
    std::shared_ptr<DataChannel_t> channel = getChannel();
    if (!channel) {
        return -1;
    }
    if (channel->m_iType != TRANS_TYPE_SHARE_MEMORY || !callback) {
        return channel->m_pDataReceiver->registerDataCallBack(std::move(callback));
    }
    // Weak: whoever keeps the registration may outlive the channel.
    std::weak_ptr<DataChannel_t> origin = channel;
    return channel->m_pDataReceiver->registerDataCallBack(
        [origin, callback = std::move(callback)](int id, DataPackage_t* pkg) {
            int kept = callback(id, pkg);
            if (kept == 0 && CShmClient::heldPackageCapacity(pkg) >= 0) {
                if (std::shared_ptr<DataChannel_t> channelNow = origin.lock()) {
                    channelNow->noteLent(pkg);
                }
            }
            return kept;
        });
}

void CTransReceiver::unregisterDataCallBack(int id)
{
    std::shared_ptr<DataChannel_t> channel = getChannel();
    if (channel) {
        channel->m_pDataReceiver->unregisterDataCallBack(id);
    }
}

CDataFifo* CTransReceiver::createDataFifo(int policy, int depth)
{
    std::shared_ptr<DataChannel_t> channel = getChannel();
    if (!channel) {
        return nullptr;
    }
    CDataFifo* fifo = channel->m_pDataReceiver->createDataFifo(policy, depth);
    if (fifo != nullptr) {
        std::lock_guard<std::mutex> lock(m_mutexReceiver);
        m_mapFifoOrigin[fifo] = FifoOrigin_t{channel, channel->m_iType};
        if (channel->m_iType == TRANS_TYPE_SHARE_MEMORY) {
            channel->m_i64Lent.fetch_add(1, std::memory_order_acq_rel);
        }
    }
    return fifo;
}

void CTransReceiver::destroyDataFifo(CDataFifo* fifo)
{
    if (fifo == nullptr) {
        return;
    }
    std::shared_ptr<DataChannel_t> origin;
    int type = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutexReceiver);
        auto it = m_mapFifoOrigin.find(fifo);
        if (it == m_mapFifoOrigin.end()) {
            origin = m_pDataChannel; // not one of ours: as the current channel sees it
        } else {
            origin = it->second.m_pChannel.lock();
            type = it->second.m_iType;
            m_mapFifoOrigin.erase(it);
        }
    }
    if (origin) {
        origin->m_pDataReceiver->destroyDataFifo(fifo);
        if (type == TRANS_TYPE_SHARE_MEMORY) {
            origin->m_i64Lent.fetch_sub(1, std::memory_order_acq_rel);
        }
    } else if (type >= 0 && type != TRANS_TYPE_SHARE_MEMORY) {
        // The socket media make their FIFOs in this transport's data manager, which is still here.
        m_pDataManager->destroyDataFifo(fifo);
    }
}

int CTransReceiver::setTopicDataTransParam(const std::string& topic, ConnParam_t& conn)
{
    std::lock_guard<std::mutex> lock(m_mutexConnParam);
    m_mapConnParam[topic].push_back(conn);
    return 0;
}

int CTransReceiver::getTopicDataTransParam(const std::string& topicName, std::vector<ConnParam_t>* out)
{
    std::lock_guard<std::mutex> lock(m_mutexConnParam);
    auto it = m_mapConnParam.find(topicName);
    if (it == m_mapConnParam.end()) {
        return -1;
    }
    if (out != nullptr) {
        *out = it->second;
    }
    return 0;
}

int CTransReceiver::getClientCount()
{
    return -1;
}

uint64_t CTransReceiver::getLostPkgCount()
{
    std::shared_ptr<DataChannel_t> channel = getChannel();
    return channel ? channel->m_pDataReceiver->getLostPkgCount() : 0;
}

int CTransReceiver::getFps(std::vector<int>& out)
{
    out.clear();
    std::shared_ptr<DataChannel_t> channel = getChannel();
    if (channel) {
        int fps = channel->m_pDataReceiver->getFps();
        if (fps >= 0) {
            out.push_back(fps);
        }
    }
    return 0;
}

int CTransReceiver::setTopicImpl(CTopicImpl* topic)
{
    m_pTopicImpl = topic;
    m_strTopicName = topic != nullptr ? topic->getTopicName() : std::string();
    return 0;
}

void CTransReceiver::setMemPool(CMemPool* pool)
{
    m_pDataManager->setMemPool(pool);
}

DataPackage_t* CTransReceiver::getEmptyDataPkg(int size, int timeoutMs)
{
    return m_pDataManager->getEmptyDataPkg(size, timeoutMs);
}

int CTransReceiver::putFullDataPkg(DataPackage_t* pkg)
{
    return m_pDataManager->putFullDataPkg(pkg);
}

bool CTransReceiver::isConnect()
{
    return m_iState.load(std::memory_order_acquire) == STAT_HEARTBEAT;
}

int CTransReceiver::setSubscriberImpl(CSubscriberImpl* subscriber)
{
    m_pSubscriberImpl = subscriber;
    return 0;
}

CSubscriberImpl* CTransReceiver::getSubscriberImpl()
{
    return m_pSubscriberImpl;
}

void CTransReceiver::setTopicStateCallBack(TopicStateCallBack_t callback)
{
    std::lock_guard<std::mutex> lock(m_mutexEndpoint);
    m_fnTopicState = std::move(callback);
}
