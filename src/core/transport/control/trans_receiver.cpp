#include "core/transport/control/trans_receiver.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/resource_manager.h"
#include "core/topic_impl.h"
#include "core/transport/medium.h"
#include "core/transport/receiver_factory.h"
#include "memory/datacenter.h"
#include "memory/held_pkg.h"
#include "utils/dds_common.h"
#include "utils/socket_utils.h"

namespace {

// The subscriber's state of a topic that waits for a publisher.
constexpr int kTopicWaiting = 0;

} // namespace

// A line a peer can make the control thread repeat: limited per place in the code and topic.
#define CTRL_LINE(print, ...) DDS_LIMITED_BY(m_strTopicName, print, __VA_ARGS__)

CTransReceiver::CTransReceiver() : m_pDataManager(std::make_unique<CDataManager>())
{
    std::memset(m_szIp, 0, sizeof(m_szIp));
    std::memset(&m_stServerAddr, 0, sizeof(m_stServerAddr));
}

CTransReceiver::~CTransReceiver()
{
    stopMsgTask();
    stopDataTrans();
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
    if (m_iFd.valid() || m_iState.load(std::memory_order_acquire) != STAT_IDLE) {
        return -1;
    }
    CUniqueFd fd(CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_TCP));
    if (!fd) {
        return -1;
    }
    CSocketUtils::setAddrReuse(fd.get(), true);
    CSocketUtils::setNodelay(fd.get(), true);
    std::memset(&m_stServerAddr, 0, sizeof(m_stServerAddr));
    m_stServerAddr.sin_family = AF_INET;
    m_stServerAddr.sin_port = htons(static_cast<uint16_t>(param.m_tcpParam.m_iPort & 0xFFFF));
    m_stServerAddr.sin_addr.s_addr = ipv4OrNone(param.m_tcpParam.m_szIp);
    std::memcpy(m_szIp, param.m_tcpParam.m_szIp, sizeof(m_szIp));
    m_iPort = param.m_tcpParam.m_iPort;
    m_iFd = std::move(fd);
    // Published last: the control thread reads the fields above once it sees the state.
    m_iState.store(STAT_CONNECT, std::memory_order_release);
    startMsgTask();
    if (!m_bRunning.load()) {
        m_iState.store(STAT_IDLE, std::memory_order_release);
        m_iFd.reset();
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
    if (!m_thread.start(&CTransReceiver::procMsgTask, this)) {
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
        m_thread.join();
    }
    closeControlSocket();
}

void CTransReceiver::procMsgTask()
{
    while (m_bRunning.load()) {
        msgStateMachine();
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
    m_iFd.reset();
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
            CTRL_LINE(DDS_GREEN, "Connect ip %s port %d success.", m_szIp, m_iPort);
            m_iState.store(STAT_REQUEST, std::memory_order_release);
            m_iErrorCount = 0;
            m_i64NextSendTime = 0;
            m_bWaitReply = false;
            m_recvBuffer.clear();
        } else {
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

void CTransReceiver::bindToHostAddress(int fd)
{
    sockaddr_in local;
    std::memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    const std::string hostIp = CResourceManager::getInstance()->getHostIp();
    if (!parseIPv4(hostIp, &local.sin_addr)) {
        return;
    }
    // Not an address of this host (any more): the kernel picks one, and the writer refuses a
    // request naming another.
    (void)::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local));
}

void CTransReceiver::countBadAnswer()
{
    ++m_iErrorCount;
    pause(CTRL_ERROR_PAUSE_MS);
}

int CTransReceiver::connectServer()
{
    int fd = m_iFd.get();
    m_bPeerOnHost = false;
    if (fd < 0) {
        // Every attempt on a fresh socket: a timed-out or interrupted attempt leaves its socket
        // unusable for another connect.
        CUniqueFd fresh(CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_TCP));
        if (!fresh) {
            CTRL_LINE(DDS_GREEN, "Connect ip %s port %d failed!!!", m_szIp, m_iPort);
            return -1;
        }
        fd = fresh.get();
        CSocketUtils::setAddrReuse(fd, true);
        CSocketUtils::setNodelay(fd, true);
        std::lock_guard<std::mutex> lock(m_mutexEndpoint);
        m_iFd = std::move(fresh);
    }
    bindToHostAddress(fd);
    const int err = CSocketUtils::connectTimed(fd, reinterpret_cast<sockaddr*>(&m_stServerAddr), sizeof(m_stServerAddr),
                                               CTRL_CONNECT_TIMEOUT_MS, &m_bRunning);
    if (err == 0) {
        uint32_t peer = 0;
        m_bPeerOnHost = peerAddress(fd, &peer) && isHostAddress(peer);
        return 0;
    }
    closeControlSocket();
    if (ddsAdmitLine(DDS_LINE_GATE(), ddsLineKey(m_strTopicName))) {
        errno = err;
        ddsPerror("connect: ");
        DDS_GREEN("Connect ip %s port %d failed!!!", m_szIp, m_iPort);
    }
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
    int ret = CSocketUtils::readData(m_iFd.get(), tail, room, &length, CTRL_READ_TIMEOUT_MS);
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
    bool bad = false;
    while ((got = m_recvBuffer.next(&msg, &len)) != 0) {
        if (got < 0) {
            CTRL_LINE(DDS_RED, "Error: Invalid data");
            bad = true;
            continue;
        }
        if (procRequestAckMsg(const_cast<unsigned char*>(msg), static_cast<int>(len)) == 0) {
            m_iState.store(STAT_HEARTBEAT, std::memory_order_release);
            m_bWaitReply = false;
            m_iErrorCount = 0;
            m_i64NextSendTime = 0;
            return; // what follows is read in the new state
        }
        bad = true;
    }
    // Bytes that are not an acceptable answer count like a missing one: an endpoint that answers
    // anything is given up after the fault limit.
    if (bad) {
        countBadAnswer();
    }
}

void CTransReceiver::onHeartbeatData()
{
    // Complete messages are taken out to keep the stream framed; a part of one waits for the rest.
    const uint8_t* msg = nullptr;
    size_t len = 0;
    int got = 0;
    bool answered = false;
    bool bad = false;
    while ((got = m_recvBuffer.next(&msg, &len)) != 0) {
        if (got > 0 && procHeartbeatAckMsg(const_cast<unsigned char*>(msg), static_cast<int>(len)) == 0) {
            answered = true;
        } else {
            bad = true;
        }
    }
    if (answered) {
        m_i64NextSendTime = getUptimeMs() + m_iHeartbeatInterval;
        m_bWaitReply = false;
        m_iErrorCount = 0;
    } else if (bad) {
        countBadAnswer();
    }
}

void CTransReceiver::reset(int state)
{
    CTRL_LINE(DDS_GREEN, "Current state is %s, switch to STAT_IDLE, Exception count is %d.", getStateName(state),
              m_iErrorCount);
    TopicStateCallBack_t topicState;
    {
        std::lock_guard<std::mutex> lock(m_mutexEndpoint);
        m_iState.store(STAT_IDLE, std::memory_order_release);
        m_iErrorCount = 0;
        m_bWaitReply = false;
        m_i64NextSendTime = 0;
        m_iFd.reset();
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
    int ret = CSocketUtils::writeData(m_iFd.get(), msg, static_cast<int>(sizeof(msg)), 10);
    if (ret != static_cast<int>(sizeof(msg))) {
        CTRL_LINE(DDS_RED, "Error: iRet = %d, iLen = %d", ret, static_cast<int>(sizeof(msg)));
        return -1;
    }
    return 0;
}

int CTransReceiver::sendHeartbeatMsg()
{
    uint8_t msg[CTRL_HEARTBEAT_MSG_LEN];
    buildHeartbeatMsg(msg, MSG_TYPE_HEARTBEAT, CResourceManager::getInstance()->getHostIp(), m_strTopicName);
    int ret = CSocketUtils::writeData(m_iFd.get(), msg, static_cast<int>(sizeof(msg)), 10);
    if (ret != static_cast<int>(sizeof(msg))) {
        CTRL_LINE(DDS_YELLOW, "Warning: iRet = %d, iLen = %d", ret, static_cast<int>(sizeof(msg)));
        return -1;
    }
    return 0;
}

int CTransReceiver::procRequestAckMsg(unsigned char* buffer, int length)
{
    CtrlRequestAck_t ack;
    if (length < 0 || !decodeRequestAckMsg(buffer, static_cast<size_t>(length), &ack)) {
        CTRL_LINE(DDS_RED, "Error: Invalid data");
        return -1;
    }
    const int type = ack.m_param.m_iType;
    const TransMedium_t* medium = transMedium(type); // the decoder let through offered media only
    if (medium == nullptr) {
        CTRL_LINE(DDS_RED, "Error: Invalid data");
        return -1;
    }
    if (medium->m_bHostOnly && !m_bPeerOnHost) {
        // A same-host medium names objects of this host: only a writer on this host may.
        CTRL_LINE(DDS_RED, "Error: writer at %s is not on this host, channel type %d refused", m_szIp, type);
        return -1;
    }
    if (medium->m_fnAcceptable != nullptr && !medium->m_fnAcceptable(m_strTopicName, ack.m_param)) {
        CTRL_LINE(DDS_RED, "Error: Invalid data");
        return -1;
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
    if (length < 0 || !decodeHeartbeatMsg(buffer, static_cast<size_t>(length), MSG_TYPE_HEARTBEAT_ACK, &topic) ||
        topic != m_strTopicName) {
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
    // Every list, so that no list keeps a channel of an older acknowledgement.
    m_connParams.clear();
    std::shared_ptr<DataChannel_t> channel;
    {
        std::lock_guard<std::mutex> lock(m_mutexReceiver);
        channel.swap(m_pDataChannel);
    }
    // Outside the mutex: deinit joins the receive thread, which may be releasing a package.
    // Packages still lent from a shared-memory channel keep their pool mapping by themselves.
    if (channel) {
        channel->m_pDataReceiver->deinit();
    }
    return 0;
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

void CTransReceiver::putEmptyDataPkg(DataPackage_t* pkg)
{
    // Told apart by address, not by the flag in the segment that other processes can change.
    CHeldPkg::releaseByAddress(pkg, m_pDataManager->getDataCenter());
}

void CTransReceiver::referDataPkg(DataPackage_t* pkg)
{
    m_pDataManager->referDataPkg(pkg);
}

int CTransReceiver::registerDataCallBack(std::function<int(int, DataPackage_t*)> callback)
{
    std::shared_ptr<DataChannel_t> channel = getChannel();
    if (!channel) {
        return -1;
    }
    return channel->m_pDataReceiver->registerDataCallBack(std::move(callback));
}

int CTransReceiver::registerHeldDataCallBack(std::function<void(int, CHeldPkg&)> callback)
{
    std::shared_ptr<DataChannel_t> channel = getChannel();
    if (!channel) {
        return -1;
    }
    return channel->m_pDataReceiver->registerHeldDataCallBack(std::move(callback));
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
        m_mapFifoOrigin[fifo] = channel;
    }
    return fifo;
}

void CTransReceiver::destroyDataFifo(CDataFifo* fifo)
{
    if (fifo == nullptr) {
        return;
    }
    std::shared_ptr<DataChannel_t> origin;
    {
        std::lock_guard<std::mutex> lock(m_mutexReceiver);
        auto it = m_mapFifoOrigin.find(fifo);
        if (it == m_mapFifoOrigin.end()) {
            origin = m_pDataChannel; // not one of ours: as the current channel sees it
        } else {
            origin = std::move(it->second);
            m_mapFifoOrigin.erase(it);
        }
    }
    if (origin) {
        origin->m_pDataReceiver->destroyDataFifo(fifo);
    }
}

int CTransReceiver::setTopicDataTransParam(const std::string& topic, ConnParam_t& conn)
{
    m_connParams.add(topic, conn);
    return 0;
}

int CTransReceiver::getTopicDataTransParam(const std::string& topicName, std::vector<ConnParam_t>* out)
{
    return m_connParams.get(topicName, out);
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

int CTransReceiver::putFullDataPkg(DataPackage_t* pkg, int len)
{
    return m_pDataManager->putFullDataPkg(pkg, len);
}

int CTransReceiver::getDataPkgCapacity(DataPackage_t* pkg)
{
    return m_pDataManager->getDataPkgCapacity(pkg);
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
