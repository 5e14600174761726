#include "core/discovery.h"

#include <arpa/inet.h>
#include <endian.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/participant_impl.h"
#include "core/resource_manager.h"
#include "memory/mem_buffer.h"
#include "utils/dds_common.h"
#include "utils/socket_utils.h"
#include "utils/timer.h"

namespace {

constexpr int SOCK_BUF_SIZE = 131072;
constexpr int MULTICAST_TTL = 10;
constexpr int READ_TIMEOUT_MS = 100;
constexpr int ERROR_PAUSE_US = 20;
constexpr int MEM_BUFFER_SIZE = 4096;
constexpr int MEM_BUFFER_COUNT = 100;
constexpr int BUFFERED_RECV_SIZE = 1024;
constexpr int BUFFER_WAIT_MS = 50;

// The participant as discovery sees it.
class CParticipantHooks : public CDiscoveryHooks {
public:
    explicit CParticipantHooks(CParticipantImpl* participant) : m_pParticipant(participant) {}
    int getDomainId() override { return m_pParticipant->getDomainId(); }
    int getUnsubscribedTopic(std::vector<std::string>& out) override
    {
        return m_pParticipant->getUnsubscribedTopic(out);
    }
    int getPubTopicMsgTransParam(const std::string& name, TransParam_t* out) override
    {
        return m_pParticipant->getPubTopicMsgTransParam(name, out);
    }
    int setSubTopicMsgTransParam(const std::string& name, TransParam_t& param) override
    {
        return m_pParticipant->setSubTopicMsgTransParam(name, param);
    }

private:
    CParticipantImpl* m_pParticipant;
};

int checkedPeriod(int periodSec)
{
    return acceptDiscoveryPeriod(periodSec, DISCOVERY_DEFAULT_PERIOD_S) ? periodSec : DISCOVERY_DEFAULT_PERIOD_S;
}

// A text into a zero-filled field of `width` bytes, with room for its NUL.
bool putText(uint8_t* field, size_t width, const std::string& text)
{
    if (text.size() >= width || text.find('\0') != std::string::npos) {
        return false;
    }
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

// A text field that must hold its NUL inside `width` bytes.
bool getText(const uint8_t* field, size_t width, std::string* out)
{
    const void* end = std::memchr(field, '\0', width);
    if (end == nullptr) {
        return false;
    }
    out->assign(reinterpret_cast<const char*>(field), static_cast<const uint8_t*>(end) - field);
    return true;
}

bool isHostIpOk(const std::string& ip)
{
    return ip.empty() || isValidIPv4(ip);
}

void writeHeader(uint8_t* buf, uint8_t type, uint64_t timeStamp, uint32_t dataLen)
{
    DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, type);
    header.m_u64TimeStamp = timeStamp;
    header.m_u32DataLen = dataLen;
    writeDdsHeader(buf, header);
}

// Header checks common to both messages.
bool checkHeader(const uint8_t* data, size_t len, uint8_t type, size_t size, uint32_t dataLen)
{
    if (data == nullptr || len < size || discoveryMsgType(data, len) != type) {
        return false;
    }
    return readDdsHeader(data).m_u32DataLen == dataLen;
}

} // namespace

bool acceptDiscoveryPeriod(int periodSec, int keepSec)
{
    if (periodSec < DISCOVERY_MIN_PERIOD_S || periodSec > DISCOVERY_MAX_PERIOD_S) {
        DDS_YELLOW("Warning: discover period %d s is out of range 1..3600, keep %d s.", periodSec, keepSec);
        return false;
    }
    return true;
}

bool isValidTopicName(const std::string& name)
{
    return !name.empty() && name.size() < DDS_TOPIC_TEXT_SIZE && name.find('\0') == std::string::npos;
}

bool acceptTopicName(const std::string& name)
{
    if (name.empty()) {
        DDS_RED("Error: topic name is empty.");
        return false;
    }
    if (name.size() >= DDS_TOPIC_TEXT_SIZE) {
        DDS_RED("Error: topic name %s is too long (%zu characters, at most 127).", name.c_str(), name.size());
        return false;
    }
    if (!isValidTopicName(name)) {
        DDS_RED("Error: topic name %s holds a NUL character.", name.c_str());
        return false;
    }
    return true;
}

DiscoveryAckMsg_t::DiscoveryAckMsg_t()
{
    std::memset(&m_stTransParam, 0, sizeof(m_stTransParam));
}

size_t encodeDiscoveryMsg(const DiscoveryMsg_t& msg, uint8_t* buf, size_t size)
{
    if (buf == nullptr || size < DISCOVERY_MSG_SIZE || !isValidTopicName(msg.m_strTopicName)) {
        return 0;
    }
    std::memset(buf, 0, DISCOVERY_MSG_SIZE);
    if (!putText(buf + DISCOVERY_MSG_IP_OFFSET, DISCOVERY_MSG_IP_SIZE, msg.m_strHostIp) ||
        !putText(buf + DISCOVERY_MSG_TOPIC_OFFSET, DDS_TOPIC_TEXT_SIZE, msg.m_strTopicName)) {
        return 0;
    }
    writeHeader(buf, MSG_TYPE_DISCOVERY, htobe64(msg.m_u64TimeStamp), DISCOVERY_MSG_DATA_LEN);
    std::memcpy(buf + DISCOVERY_MSG_DOMAIN_OFFSET, &msg.m_iDomainId, sizeof(msg.m_iDomainId));
    return DISCOVERY_MSG_SIZE;
}

size_t encodeDiscoveryAckMsg(const DiscoveryAckMsg_t& msg, uint8_t* buf, size_t size)
{
    if (buf == nullptr || size < DISCOVERY_ACK_MSG_SIZE || !isValidTopicName(msg.m_strTopicName)) {
        return 0;
    }
    std::memset(buf, 0, DISCOVERY_ACK_MSG_SIZE);
    // An address text has at most 15 characters, whatever room the answer's slot gives it.
    if (!putText(buf + DISCOVERY_ACK_MSG_IP_OFFSET, DISCOVERY_MSG_IP_SIZE, msg.m_strHostIp) ||
        !putText(buf + DISCOVERY_ACK_MSG_TOPIC_OFFSET, DDS_TOPIC_TEXT_SIZE, msg.m_strTopicName)) {
        return 0;
    }
    writeHeader(buf, MSG_TYPE_DISCOVERY_ACK, 0, DISCOVERY_ACK_MSG_DATA_LEN);
    std::memcpy(buf + DISCOVERY_ACK_MSG_PARAM_OFFSET, &msg.m_stTransParam, sizeof(msg.m_stTransParam));
    std::memcpy(buf + DISCOVERY_ACK_MSG_DOMAIN_OFFSET, &msg.m_iDomainId, sizeof(msg.m_iDomainId));
    return DISCOVERY_ACK_MSG_SIZE;
}

int discoveryMsgType(const uint8_t* data, size_t len)
{
    if (data == nullptr || len < DDS_HEADER_SIZE || !hasDdsMagic(data, len)) {
        return -1;
    }
    return data[offsetof(DDSHeader_t, m_u8Type)];
}

bool parseMulticastGroup(const std::string& text, in_addr* out)
{
    in_addr addr{};
    if (out == nullptr || !parseIPv4(text, &addr) || (ntohl(addr.s_addr) >> 28) != 0xEu) {
        return false;
    }
    *out = addr;
    return true;
}

bool isValidControlEndpoint(const TransParam_t& param)
{
    if (param.m_iType != TRANS_TYPE_TCP ||
        !isTextTerminated(param.m_tcpParam.m_szIp, sizeof(param.m_tcpParam.m_szIp))) {
        return false;
    }
    return isValidIPv4(param.m_tcpParam.m_szIp) && param.m_tcpParam.m_iPort >= 1 &&
           param.m_tcpParam.m_iPort <= MAX_PORT;
}

bool decodeDiscoveryMsg(const uint8_t* data, size_t len, DiscoveryMsg_t* out)
{
    if (out == nullptr || !checkHeader(data, len, MSG_TYPE_DISCOVERY, DISCOVERY_MSG_SIZE, DISCOVERY_MSG_DATA_LEN)) {
        return false;
    }
    DiscoveryMsg_t msg;
    if (!getText(data + DISCOVERY_MSG_IP_OFFSET, DISCOVERY_MSG_IP_SIZE, &msg.m_strHostIp) ||
        !getText(data + DISCOVERY_MSG_TOPIC_OFFSET, DDS_TOPIC_TEXT_SIZE, &msg.m_strTopicName) ||
        !isHostIpOk(msg.m_strHostIp) || !isValidTopicName(msg.m_strTopicName)) {
        return false;
    }
    std::memcpy(&msg.m_iDomainId, data + DISCOVERY_MSG_DOMAIN_OFFSET, sizeof(msg.m_iDomainId));
    msg.m_u64TimeStamp = be64toh(readDdsHeader(data).m_u64TimeStamp);
    *out = std::move(msg);
    return true;
}

bool decodeDiscoveryAckMsg(const uint8_t* data, size_t len, DiscoveryAckMsg_t* out)
{
    if (out == nullptr ||
        !checkHeader(data, len, MSG_TYPE_DISCOVERY_ACK, DISCOVERY_ACK_MSG_SIZE, DISCOVERY_ACK_MSG_DATA_LEN)) {
        return false;
    }
    DiscoveryAckMsg_t msg;
    if (!getText(data + DISCOVERY_ACK_MSG_IP_OFFSET, DISCOVERY_ACK_MSG_IP_SIZE, &msg.m_strHostIp) ||
        !getText(data + DISCOVERY_ACK_MSG_TOPIC_OFFSET, DDS_TOPIC_TEXT_SIZE, &msg.m_strTopicName) ||
        !isHostIpOk(msg.m_strHostIp) || !isValidTopicName(msg.m_strTopicName) ||
        !decodeTransParam(data + DISCOVERY_ACK_MSG_PARAM_OFFSET, sizeof(TransParam_t), &msg.m_stTransParam) ||
        !isValidControlEndpoint(msg.m_stTransParam)) {
        return false;
    }
    std::memcpy(&msg.m_iDomainId, data + DISCOVERY_ACK_MSG_DOMAIN_OFFSET, sizeof(msg.m_iDomainId));
    *out = std::move(msg);
    return true;
}

CDiscovery::CDiscovery(CParticipantImpl* participant, const std::string& multicastIp, int port, int periodSec)
    : CDiscovery(static_cast<CDiscoveryHooks*>(nullptr), multicastIp, port, periodSec)
{
    m_pParticipantImpl = participant;
    if (participant != nullptr) {
        m_pOwnHooks = std::make_unique<CParticipantHooks>(participant);
        m_pHooks = m_pOwnHooks.get();
    }
}

CDiscovery::CDiscovery(CDiscoveryHooks* hooks, const std::string& multicastIp, int port, int periodSec)
    : m_iMulticastPort(port), m_strMulticastIp(multicastIp), m_iInterval(checkedPeriod(periodSec) * 1000),
      m_pParticipantImpl(nullptr), m_pHooks(hooks)
{
    std::memset(&m_stGroupAddr, 0, sizeof(m_stGroupAddr));
    m_stGroupAddr.sin_family = AF_INET;
    m_stGroupAddr.sin_port = htons(static_cast<uint16_t>(m_iMulticastPort));
    // No group: the address the system refuses to join or bind, as for any unreadable text.
    if (!parseMulticastGroup(m_strMulticastIp, &m_stGroupAddr.sin_addr)) {
        m_stGroupAddr.sin_addr.s_addr = htonl(INADDR_NONE);
    }
}

CDiscovery::~CDiscovery()
{
    stop();
}

void CDiscovery::run()
{
    std::lock_guard<std::mutex> lock(m_mtxState);
    if (m_bRun || m_pHooks == nullptr) {
        return;
    }
    m_bRun = true;
    // The buffered pipeline's pool; run() itself reads into a buffer of its own.
    m_pMemBuffer = std::make_unique<CMemBuffer>();
    m_pMemBuffer->init(MEM_BUFFER_SIZE, MEM_BUFFER_COUNT);
    createMulticastSocket();
    startMsgProcTask();
    startDiscoveryTask();
}

void CDiscovery::stop()
{
    std::lock_guard<std::mutex> lock(m_mtxState);
    stopDiscoveryTask();
    stopDiscoveryThread();
    stopMsgRecvTask();
    stopMsgProcTask();
    deleteMulticastSocket();
}

void CDiscovery::trigger(const std::string& topic)
{
    sendDiscoveryMsg(topic);
}

void CDiscovery::createMulticastSocket()
{
    CUniqueFd sock(CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_UDP));
    if (!sock) {
        DDS_RED("Error: openSocket()!");
        return;
    }
    const int fd = sock.get();
    const std::string hostIp = CResourceManager::getInstance()->getHostIp();
    m_strInterfaceIp = hostIp;
    CSocketUtils::setSendBufSize(fd, SOCK_BUF_SIZE);
    CSocketUtils::setRecvBufSize(fd, SOCK_BUF_SIZE);
    CSocketUtils::setMulticastTTL(fd, MULTICAST_TTL);
    CSocketUtils::setLinger(fd, true, 0);
    CSocketUtils::setAddrReuse(fd, true);
    CSocketUtils::setMulticastLoop(fd, true);
    // Only the groups this socket joined, on the interfaces it joined them: discovery stays on the
    // configured interface and the group's route even when other sockets of the host join the
    // group elsewhere.
    int all = 0;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &all, sizeof(all));
    if (!hostIp.empty()) {
        CSocketUtils::setMulticastIf(fd, hostIp);
    }
    m_bJoined = CSocketUtils::addMulticastMembership(fd, m_stGroupAddr.sin_addr, hostIp) == 0;
    if (!m_bJoined) {
        DDS_RED("Error: join multicast group %s on %s failed, discovery hears nothing!", m_strMulticastIp.c_str(),
                hostIp.empty() ? "the default interface" : hostIp.c_str());
    }
    if (!hostIp.empty()) {
        // Peers that leave the interface to the routing table join and send where the group's
        // route leads, which on a multi-homed host may be another interface: meet them there too.
        // Where the route leads to the configured interface the join is refused (EADDRINUSE) and
        // one membership and one send serve both.
        m_bJoinedRoute = CSocketUtils::joinMulticastQuietly(fd, m_stGroupAddr.sin_addr) == 0;
    }
    CUniqueFd routeSock = m_bJoinedRoute ? openRouteSocket() : CUniqueFd();

    if (CSocketUtils::bindSocket(fd, reinterpret_cast<sockaddr*>(&m_stGroupAddr), sizeof(m_stGroupAddr)) != 0) {
        DDS_RED("Error: bindSocket()!");
    }
    std::unique_lock<std::shared_mutex> sockLock(m_mtxSock);
    m_iSock = std::move(sock);
    m_iRouteSock = std::move(routeSock);
}

void CDiscovery::deleteMulticastSocket()
{
    std::unique_lock<std::shared_mutex> sockLock(m_mtxSock);
    if (!m_iSock) {
        return;
    }
    if (m_bJoined) {
        CSocketUtils::delMulticastMembership(m_iSock.get(), m_stGroupAddr.sin_addr, m_strInterfaceIp);
        m_bJoined = false;
    }
    if (m_bJoinedRoute) {
        // Resolved by the route again, which may have moved since: the close drops what remains.
        CSocketUtils::leaveMulticastQuietly(m_iSock.get(), m_stGroupAddr.sin_addr);
        m_bJoinedRoute = false;
    }
    m_iSock.reset();
    m_iRouteSock.reset();
}

CUniqueFd CDiscovery::openRouteSocket()
{
    // Never bound: it only sends, with no outgoing interface of its own.
    CUniqueFd sock(CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_UDP));
    if (sock) {
        CSocketUtils::setSendBufSize(sock.get(), SOCK_BUF_SIZE);
        CSocketUtils::setMulticastTTL(sock.get(), MULTICAST_TTL);
        CSocketUtils::setMulticastLoop(sock.get(), true);
    }
    return sock;
}

void CDiscovery::startMsgProcTask()
{
    // Without a socket the thread would only spin on failed reads.
    if (!m_iSock || m_bProcRunning.load()) {
        return;
    }
    m_bProcRunning.store(true);
    if (!m_threadProc.start(&CDiscovery::processMsgTaskEx, this)) {
        m_bProcRunning.store(false);
        DDS_RED("Error: cannot start the discovery receive thread!");
    }
}

void CDiscovery::stopMsgProcTask()
{
    m_bProcRunning.store(false);
    m_threadProc.join();
}

void CDiscovery::processMsgTaskEx()
{
    std::array<uint8_t, DISCOVERY_RECV_BUF_SIZE> buffer{};
    const int fd = m_iSock.get(); // open for as long as this thread runs
    while (m_bProcRunning.load()) {
        int len = 0;
        int ret = CSocketUtils::readData(fd, buffer.data(), static_cast<int>(buffer.size()), &len, READ_TIMEOUT_MS);
        if (ret == SOCK_RET_TIMEOUT) {
            continue;
        }
        if (ret == SOCK_RET_DISCONNECTED) {
            // On a datagram socket this is an empty datagram: nothing of ours.
            m_u64DropMsgCount.fetch_add(1);
            m_u64RecvMsgCount.fetch_add(1);
            continue;
        }
        if (ret != SOCK_RET_OK) {
            std::this_thread::sleep_for(std::chrono::microseconds(ERROR_PAUSE_US));
            continue;
        }
        dispatchMsg(buffer.data(), static_cast<size_t>(len), true);
        m_u64RecvMsgCount.fetch_add(1);
    }
}

void CDiscovery::dispatchMsg(const uint8_t* data, size_t len, bool reportUnsupported)
{
    const int type = discoveryMsgType(data, len);
    if (type == MSG_TYPE_DISCOVERY) {
        parseDiscoveryMsg(data, len);
        return;
    }
    if (type == MSG_TYPE_DISCOVERY_ACK) {
        parseDiscoveryMsgAck(data, len);
        return;
    }
    // Another protocol's bytes on the group are dropped without a word; ours of another type
    // are worth a line.
    if (type >= 0 && reportUnsupported) {
        DDS_RED_LIMITED("Error: unsupported message type %u !!!", static_cast<unsigned>(type));
    }
    m_u64DropMsgCount.fetch_add(1);
}

void CDiscovery::startDiscoveryTask()
{
    m_iTimerTaskId = CTimerSingleton::getInstance()->add_task([this] { announceWaitingTopics(); },
                                                              static_cast<unsigned int>(m_iInterval), -1);
    DDS_GREEN("Discovery timer task id: %d, interval: %d ms.", m_iTimerTaskId, m_iInterval);
}

void CDiscovery::stopDiscoveryTask()
{
    if (m_iTimerTaskId < 0) {
        return;
    }
    // Waits for an announcement under way.
    CTimerSingleton::getInstance()->remove_task(m_iTimerTaskId);
    m_iTimerTaskId = -1;
}

void CDiscovery::announceWaitingTopics()
{
    std::vector<std::string> topics;
    m_pHooks->getUnsubscribedTopic(topics);
    for (const std::string& topic : topics) {
        sendDiscoveryMsg(topic);
    }
}

void CDiscovery::sendToGroup(const uint8_t* data, size_t len)
{
    std::shared_lock<std::shared_mutex> sockLock(m_mtxSock);
    if (!m_iSock) {
        return;
    }
    // Best effort, like every discovery datagram: the next period repeats it. The copy through the
    // route reaches peers there; a receiver ignores what it hears twice.
    for (int fd : {m_iSock.get(), m_iRouteSock.get()}) {
        if (fd >= 0) {
            ::sendto(fd, data, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&m_stGroupAddr),
                     sizeof(m_stGroupAddr));
        }
    }
}

int CDiscovery::sendDiscoveryMsg(const std::string& topic)
{
    if (m_pHooks == nullptr) {
        return 0;
    }
    DiscoveryMsg_t msg;
    msg.m_strHostIp = CResourceManager::getInstance()->getHostIp();
    msg.m_strTopicName = topic;
    msg.m_iDomainId = m_pHooks->getDomainId();
    msg.m_u64TimeStamp = static_cast<uint64_t>(getSysTimeUs());
    std::array<uint8_t, DISCOVERY_MSG_SIZE> buf;
    const size_t len = encodeDiscoveryMsg(msg, buf.data(), buf.size());
    if (len != 0) {
        sendToGroup(buf.data(), len);
    }
    return 0;
}

int CDiscovery::parseDiscoveryMsg(const uint8_t* msg, size_t len)
{
    DiscoveryMsg_t announce;
    if (!decodeDiscoveryMsg(msg, len, &announce)) {
        m_u64DropMsgCount.fetch_add(1);
        return -1;
    }
    const int domainId = m_pHooks->getDomainId();
    if (announce.m_iDomainId != domainId) {
        return -1;
    }
    DiscoveryAckMsg_t answer;
    if (m_pHooks->getPubTopicMsgTransParam(announce.m_strTopicName, &answer.m_stTransParam) != 0) {
        return -1;
    }
    DDS_GREEN_LIMITED_BY(announce.m_strTopicName, "Recv discovery msg, TopicName: %s, IP: %s, DomainId: %d",
                         announce.m_strTopicName.c_str(), announce.m_strHostIp.c_str(), announce.m_iDomainId);
    // An endpoint nobody could connect to is not worth an answer.
    if (!isValidControlEndpoint(answer.m_stTransParam)) {
        return -1;
    }
    answer.m_strHostIp = CResourceManager::getInstance()->getHostIp();
    answer.m_strTopicName = announce.m_strTopicName;
    answer.m_iDomainId = domainId;
    std::array<uint8_t, DISCOVERY_ACK_MSG_SIZE> buf;
    const size_t out = encodeDiscoveryAckMsg(answer, buf.data(), buf.size());
    if (out != 0) {
        sendToGroup(buf.data(), out);
    }
    return 0;
}

int CDiscovery::parseDiscoveryMsgAck(const uint8_t* msg, size_t len)
{
    DiscoveryAckMsg_t answer;
    if (!decodeDiscoveryAckMsg(msg, len, &answer)) {
        m_u64DropMsgCount.fetch_add(1);
        return -1;
    }
    if (answer.m_iDomainId != m_pHooks->getDomainId()) {
        return -1;
    }
    if (m_pHooks->setSubTopicMsgTransParam(answer.m_strTopicName, answer.m_stTransParam) != 0) {
        return -1;
    }
    DDS_GREEN_LIMITED_BY(answer.m_strTopicName, "Recv discovery ack msg, TopicName: %s, IP: %s, DomainId: %d",
                         answer.m_strTopicName.c_str(), answer.m_strHostIp.c_str(), answer.m_iDomainId);
    return 0;
}

void CDiscovery::startMsgRecvTask()
{
    if (!m_iSock || m_bRecvRunning.load() || m_pMemBuffer == nullptr) {
        return;
    }
    m_bRecvRunning.store(true);
    if (!m_threadRecv.start(&CDiscovery::recvMsgTask, this)) {
        m_bRecvRunning.store(false);
    }
}

void CDiscovery::stopMsgRecvTask()
{
    m_bRecvRunning.store(false);
    m_threadRecv.join();
}

void CDiscovery::recvMsgTask()
{
    const int fd = m_iSock.get(); // open for as long as this thread runs
    std::shared_ptr<MemBuffer_t> buffer;
    while (m_bRecvRunning.load()) {
        if (buffer == nullptr) {
            buffer = m_pMemBuffer->getEmptyBuffer(BUFFERED_RECV_SIZE, BUFFER_WAIT_MS);
            if (buffer == nullptr) {
                continue;
            }
        }
        int len = 0;
        int ret = CSocketUtils::readData(fd, buffer->m_pData, buffer->m_iSize, &len, READ_TIMEOUT_MS);
        if (ret == SOCK_RET_OK || ret == SOCK_RET_DISCONNECTED) { // the latter: an empty datagram
            buffer->m_iLen = len;
            m_pMemBuffer->putFullBuffer(std::move(buffer));
            buffer.reset();
        } else if (ret != SOCK_RET_TIMEOUT) {
            std::this_thread::sleep_for(std::chrono::microseconds(ERROR_PAUSE_US));
        }
    }
    if (buffer != nullptr) {
        m_pMemBuffer->putEmptyBuffer(std::move(buffer));
    }
}

void CDiscovery::processMsgTask()
{
    while (m_bProcRunning.load()) {
        std::shared_ptr<MemBuffer_t> buffer = m_pMemBuffer->getFullBuffer(BUFFER_WAIT_MS);
        if (buffer == nullptr) {
            continue;
        }
        dispatchMsg(buffer->m_pData, static_cast<size_t>(buffer->m_iLen), false);
        m_u64RecvMsgCount.fetch_add(1);
        m_pMemBuffer->putEmptyBuffer(std::move(buffer));
    }
}

void CDiscovery::discoveryTask()
{
    while (m_bDiscoveryRunning.load()) {
        announceWaitingTopics();
        std::unique_lock<std::mutex> lock(m_mtxDiscoveryWait);
        m_cvDiscoveryWait.wait_for(lock, std::chrono::milliseconds(m_iInterval),
                                   [this] { return !m_bDiscoveryRunning.load(); });
    }
}

void CDiscovery::stopDiscoveryThread()
{
    {
        std::lock_guard<std::mutex> lock(m_mtxDiscoveryWait);
        m_bDiscoveryRunning.store(false);
    }
    m_cvDiscoveryWait.notify_all();
    m_threadDiscovery.join();
}
