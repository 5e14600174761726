#include "core/transport/control/control_msg.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {

// Copies a text into a zero-filled field of `width` bytes, cut so that the NUL stays inside.
void putText(uint8_t* field, size_t width, const std::string& text)
{
    size_t n = std::min(text.size(), width - 1);
    std::copy_n(text.data(), n, field);
}

// The text of a field that holds its NUL; false otherwise.
bool getText(const uint8_t* field, size_t width, std::string* out)
{
    const void* nul = std::memchr(field, '\0', width);
    if (nul == nullptr) {
        return false;
    }
    out->assign(reinterpret_cast<const char*>(field), static_cast<const uint8_t*>(nul) - field);
    return true;
}

void putHeader(uint8_t* out, uint8_t type, size_t totalLen)
{
    DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, type);
    header.m_u32DataLen = static_cast<uint32_t>(totalLen - DDS_HEADER_SIZE);
    writeDdsHeader(out, header);
}

// Magic and type of a buffer holding at least a header.
bool hasHeader(const uint8_t* data, size_t len, uint8_t type, size_t minLen)
{
    return data != nullptr && len >= minLen && len >= DDS_HEADER_SIZE && hasDdsMagic(data, len) &&
           readDdsHeader(data).m_u8Type == type;
}

} // namespace

int controlMessageLength(const uint8_t* data, size_t len)
{
    if (data == nullptr || len == 0) {
        return 0;
    }
    size_t magicBytes = std::min(len, sizeof(DDS_HEADER_MAGIC));
    if (std::memcmp(data, DDS_HEADER_MAGIC, magicBytes) != 0) {
        return -1;
    }
    if (len < DDS_HEADER_SIZE) {
        return 0;
    }
    uint64_t total = uint64_t{DDS_HEADER_SIZE} + readDdsHeader(data).m_u32DataLen;
    if (total > CTRL_MAX_MSG_LEN) {
        return -1;
    }
    return len >= total ? static_cast<int>(total) : 0;
}

size_t buildRequestMsg(uint8_t (&out)[CTRL_REQUEST_MSG_LEN], const std::string& hostIp, const std::string& topic)
{
    std::memset(out, 0, sizeof(out));
    putHeader(out, MSG_TYPE_REQUEST_DATA_CHAN, sizeof(out));
    putText(out + CTRL_REQUEST_IP_OFFSET, DDS_IP_TEXT_SIZE, hostIp);
    putText(out + CTRL_REQUEST_TOPIC_OFFSET, DDS_TOPIC_TEXT_SIZE, topic);
    return sizeof(out);
}

size_t buildRequestAckMsg(uint8_t (&out)[CTRL_REQUEST_ACK_MSG_LEN], const std::string& hostIp, const std::string& topic,
                          const TransParam_t& param)
{
    std::memset(out, 0, sizeof(out));
    putHeader(out, MSG_TYPE_REQUEST_DATA_CHAN_ACK, sizeof(out));
    putText(out + CTRL_IP_OFFSET, DDS_IP_TEXT_SIZE, hostIp);
    putText(out + CTRL_TOPIC_OFFSET, DDS_TOPIC_TEXT_SIZE, topic);
    std::memcpy(out + CTRL_ACK_PARAM_OFFSET, &param, sizeof(param));
    return sizeof(out);
}

size_t buildHeartbeatMsg(uint8_t (&out)[CTRL_HEARTBEAT_MSG_LEN], uint8_t type, const std::string& hostIp,
                         const std::string& topic)
{
    std::memset(out, 0, sizeof(out));
    putHeader(out, type, sizeof(out));
    putText(out + CTRL_IP_OFFSET, DDS_IP_TEXT_SIZE, hostIp);
    putText(out + CTRL_TOPIC_OFFSET, DDS_TOPIC_TEXT_SIZE, topic);
    return sizeof(out);
}

bool decodeRequestMsg(const uint8_t* data, size_t len, CtrlRequest_t* out)
{
    if (out == nullptr || !hasHeader(data, len, MSG_TYPE_REQUEST_DATA_CHAN, CTRL_REQUEST_MSG_LEN)) {
        return false;
    }
    CtrlRequest_t request;
    if (!getText(data + CTRL_REQUEST_IP_OFFSET, DDS_IP_TEXT_SIZE, &request.m_strIp) ||
        !getText(data + CTRL_REQUEST_TOPIC_OFFSET, DDS_TOPIC_TEXT_SIZE, &request.m_strTopic)) {
        return false;
    }
    *out = std::move(request);
    return true;
}

bool decodeHeartbeatMsg(const uint8_t* data, size_t len, uint8_t type, std::string* topic)
{
    if (topic == nullptr || !hasHeader(data, len, type, CTRL_HEARTBEAT_MSG_LEN)) {
        return false;
    }
    return getText(data + CTRL_TOPIC_OFFSET, DDS_TOPIC_TEXT_SIZE, topic);
}

bool decodeRequestAckMsg(const uint8_t* data, size_t len, CtrlRequestAck_t* out)
{
    if (out == nullptr || len != CTRL_REQUEST_ACK_MSG_LEN ||
        !hasHeader(data, len, MSG_TYPE_REQUEST_DATA_CHAN_ACK, CTRL_REQUEST_ACK_MSG_LEN) ||
        readDdsHeader(data).m_u32DataLen != CTRL_REQUEST_ACK_MSG_LEN - DDS_HEADER_SIZE) {
        return false;
    }
    CtrlRequestAck_t ack;
    if (!getText(data + CTRL_IP_OFFSET, DDS_IP_TEXT_SIZE, &ack.m_strIp) ||
        !getText(data + CTRL_TOPIC_OFFSET, DDS_TOPIC_TEXT_SIZE, &ack.m_strTopic) ||
        !decodeTransParam(data + CTRL_ACK_PARAM_OFFSET, len - CTRL_ACK_PARAM_OFFSET, &ack.m_param)) {
        return false;
    }
    switch (ack.m_param.m_iType) {
    case TRANS_TYPE_UDP:
    case TRANS_TYPE_UNIX_SOCKET:
        break;
    case TRANS_TYPE_SHARE_MEMORY:
        if (ack.m_param.m_shmParam.m_layout.m_iGroupCount < 1) {
            return false;
        }
        break;
    default:
        return false;
    }
    *out = std::move(ack);
    return true;
}

bool isUnicastAddress(uint32_t addr)
{
    uint32_t host = ntohl(addr);
    return host != INADDR_ANY && !IN_MULTICAST(host) && (host & 0xF0000000u) != 0xF0000000u;
}

bool isHostAddress(uint32_t addr)
{
    return (ntohl(addr) >> 24) == 127 || isInterfaceAddress(addr);
}

bool isInterfaceAddress(uint32_t addr)
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return false;
    }
    bool found = false;
    for (ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
            sockaddr_in in;
            std::memcpy(&in, entry->ifa_addr, sizeof(in));
            found = in.sin_addr.s_addr == addr;
        }
    }
    ::freeifaddrs(list);
    return found;
}

bool peerAddress(int fd, uint32_t* addr)
{
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof(peer));
    socklen_t len = sizeof(peer);
    if (fd < 0 || addr == nullptr || ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
        peer.sin_family != AF_INET) {
        return false;
    }
    *addr = peer.sin_addr.s_addr;
    return true;
}

bool CCtrlMsgBuffer::append(const uint8_t* data, size_t n)
{
    compact();
    if (data == nullptr || n > room()) {
        return false;
    }
    std::memcpy(m_au8Data + m_uLen, data, n);
    m_uLen += n;
    return true;
}

int CCtrlMsgBuffer::next(const uint8_t** msg, size_t* len)
{
    int length = controlMessageLength(m_au8Data + m_uStart, m_uLen - m_uStart);
    if (length < 0) {
        skipToNextMagic();
        return -1;
    }
    if (length == 0) {
        if (m_uStart == m_uLen) {
            clear();
        }
        return 0;
    }
    *msg = m_au8Data + m_uStart;
    *len = static_cast<size_t>(length);
    m_uStart += static_cast<size_t>(length);
    return 1;
}

void CCtrlMsgBuffer::skipToNextMagic()
{
    // At least one byte goes; a magic cut off by the end of the buffer is kept for the next read.
    size_t pos = m_uStart + 1;
    for (; pos < m_uLen; ++pos) {
        size_t n = std::min(m_uLen - pos, sizeof(DDS_HEADER_MAGIC));
        if (std::memcmp(m_au8Data + pos, DDS_HEADER_MAGIC, n) == 0) {
            break;
        }
    }
    m_uStart = pos;
    if (m_uStart == m_uLen) {
        clear();
    }
}

void CCtrlMsgBuffer::compact()
{
    if (m_uStart == 0) {
        return;
    }
    size_t rest = m_uLen - m_uStart;
    std::memmove(m_au8Data, m_au8Data + m_uStart, rest);
    m_uLen = rest;
    m_uStart = 0;
}

void CConnParamLists::add(const std::string& topic, const ConnParam_t& conn)
{
    std::lock_guard<std::mutex> lock(m_mutexConnParam);
    m_mapConnParam[topic].push_back(conn);
}

int CConnParamLists::get(const std::string& topic, std::vector<ConnParam_t>* out)
{
    std::lock_guard<std::mutex> lock(m_mutexConnParam);
    auto it = m_mapConnParam.find(topic);
    if (it == m_mapConnParam.end()) {
        return -1;
    }
    if (out != nullptr) {
        *out = it->second;
    }
    return 0;
}

bool CConnParamLists::hasFd(int fd)
{
    std::lock_guard<std::mutex> lock(m_mutexConnParam);
    for (const auto& entry : m_mapConnParam) {
        for (const ConnParam_t& conn : entry.second) {
            if (conn.m_iFd == fd) {
                return true;
            }
        }
    }
    return false;
}

void CConnParamLists::removeFd(int fd)
{
    std::lock_guard<std::mutex> lock(m_mutexConnParam);
    for (auto& entry : m_mapConnParam) {
        std::vector<ConnParam_t>& list = entry.second;
        auto it = std::find_if(list.begin(), list.end(), [fd](const ConnParam_t& conn) { return conn.m_iFd == fd; });
        if (it != list.end()) {
            list.erase(it);
        }
    }
}

void CConnParamLists::clear()
{
    std::lock_guard<std::mutex> lock(m_mutexConnParam);
    for (auto& entry : m_mapConnParam) {
        entry.second.clear();
    }
}
