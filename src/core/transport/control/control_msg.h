// The control messages both sides of a topic's control channel exchange over TCP: the data-channel
// request (type 14) and its acknowledgement (type 15), the heartbeat (10) and its answer (11).
//
// Plain functions over bytes: no socket, no lock, any thread. Builders write into a caller's
// buffer of the message's size; decoders check everything a peer could get wrong before a field
// is used (magic, type, length, a NUL inside every text field) and leave their output untouched
// when the message fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/transport/transport.h"

// Sizes on the wire: header plus payload.
constexpr size_t CTRL_REQUEST_MSG_LEN = 182;
constexpr size_t CTRL_REQUEST_ACK_MSG_LEN = 402;
constexpr size_t CTRL_HEARTBEAT_MSG_LEN = 178;
// Longest control message either side accepts; anything announcing more is garbage.
constexpr size_t CTRL_MAX_MSG_LEN = 2048;
// Offsets of the payload fields.
constexpr size_t CTRL_REQUEST_IP_OFFSET = 38;
constexpr size_t CTRL_REQUEST_TOPIC_OFFSET = 54;
constexpr size_t CTRL_IP_OFFSET = 34;    // heartbeat, heartbeat answer, acknowledgement
constexpr size_t CTRL_TOPIC_OFFSET = 50; // heartbeat, heartbeat answer, acknowledgement
constexpr size_t CTRL_ACK_PARAM_OFFSET = 178;

// Frames a byte stream: the length of the complete message that starts at `data`, 0 when more
// bytes are needed to tell, -1 when the bytes cannot start a control message (wrong magic, or a
// length above CTRL_MAX_MSG_LEN). The magic is checked on as many of its bytes as are there.
int controlMessageLength(const uint8_t* data, size_t len);

// Builders. Texts longer than their field (15 characters of address, 127 of topic) are cut to
// fit; the field keeps its NUL. Each returns the number of bytes written.
size_t buildRequestMsg(uint8_t (&out)[CTRL_REQUEST_MSG_LEN], const std::string& hostIp, const std::string& topic);
size_t buildRequestAckMsg(uint8_t (&out)[CTRL_REQUEST_ACK_MSG_LEN], const std::string& hostIp, const std::string& topic,
                          const TransParam_t& param);
// Type MSG_TYPE_HEARTBEAT or MSG_TYPE_HEARTBEAT_ACK.
size_t buildHeartbeatMsg(uint8_t (&out)[CTRL_HEARTBEAT_MSG_LEN], uint8_t type, const std::string& hostIp,
                         const std::string& topic);

// A request as the writing side reads it.
struct CtrlRequest_t {
    std::string m_strIp;    // the reading side's host address text
    std::string m_strTopic; // the topic it asks for
};

// Magic, type 14, at least CTRL_REQUEST_MSG_LEN bytes, both texts terminated in their fields.
bool decodeRequestMsg(const uint8_t* data, size_t len, CtrlRequest_t* out);
// Magic, the given type (10 or 11), at least CTRL_HEARTBEAT_MSG_LEN bytes, the topic terminated
// in its field; `topic` receives it.
bool decodeHeartbeatMsg(const uint8_t* data, size_t len, uint8_t type, std::string* topic);

// An acknowledgement as the reading side reads it.
struct CtrlRequestAck_t {
    std::string m_strIp;
    std::string m_strTopic;
    TransParam_t m_param;
};

// Exactly CTRL_REQUEST_ACK_MSG_LEN bytes with m_u32DataLen 368, magic, type 15, terminated texts
// and a channel record that decodeTransParam accepts, of a medium the negotiation offers (UDP, a
// Unix-domain socket, or shared memory with at least one chunk group): a writing side never
// answers with TCP or PCIe, and a layout without a group describes no pool.
bool decodeRequestAckMsg(const uint8_t* data, size_t len, CtrlRequestAck_t* out);

// Where a control connection's peer is. The address in network byte order.
// A unicast host address: not 0.0.0.0, not multicast, not in 240.0.0.0/4 (255.255.255.255
// included).
bool isUnicastAddress(uint32_t addr);
// One of this host's addresses: loopback (127.0.0.0/8) or an IPv4 address of one of its
// interfaces. False when the interfaces cannot be read.
bool isHostAddress(uint32_t addr);
// An address one of this host's interfaces carries (127.0.0.1 on lo, not the rest of 127/8);
// false when the interfaces cannot be read.
bool isInterfaceAddress(uint32_t addr);
// The peer address of a connected socket, in network byte order; false when it has none.
bool peerAddress(int fd, uint32_t* addr);

// The data channels of one side of a control channel, a list per topic name in the order they
// were opened, as getTopicDataTransParam reports them. Any thread: m_mutexConnParam guards
// m_mapConnParam for one list operation, and nothing else is taken or called under it.
class CConnParamLists {
public:
    void add(const std::string& topic, const ConnParam_t& conn);
    // Copies the topic's list into `*out` (when given): 0, or -1 when the topic never had one.
    int get(const std::string& topic, std::vector<ConnParam_t>* out);
    // Whether a list holds a channel of control connection `fd`.
    bool hasFd(int fd);
    // In every list, the first channel of control connection `fd` leaves it.
    void removeFd(int fd);
    // Every list emptied; the topics stay known.
    void clear();

private:
    std::mutex m_mutexConnParam;
    std::map<std::string, std::vector<ConnParam_t>> m_mapConnParam;
};

// A control connection's receive buffer: bytes are appended as they arrive and taken out one
// complete message at a time. Holds twice the longest message, so a partial message plus one read
// of CTRL_MAX_MSG_LEN always fits.
class CCtrlMsgBuffer {
public:
    static constexpr size_t kCapacity = 2 * CTRL_MAX_MSG_LEN;

    // Where the next read may write, and how much.
    uint8_t* tail()
    {
        compact();
        return m_au8Data + m_uLen;
    }
    size_t room() const { return kCapacity - m_uLen; }
    // Counts `n` bytes written at tail() (at most room()).
    void commit(size_t n) { m_uLen = n <= room() ? m_uLen + n : kCapacity; }
    // Copies bytes in; false (nothing copied) when they do not fit.
    bool append(const uint8_t* data, size_t n);

    // The next complete message: 1 with *msg and *len set (valid until the next call that changes
    // the buffer), 0 when none is complete yet, -1 when the bytes at the front cannot start a
    // control message: they are dropped up to the next place the magic could start, so a call
    // again goes on from there.
    int next(const uint8_t** msg, size_t* len);
    void clear()
    {
        m_uLen = 0;
        m_uStart = 0;
    }
    size_t size() const { return m_uLen - m_uStart; }

private:
    // Moves the unread bytes to the front.
    void compact();
    void skipToNextMagic();

    uint8_t m_au8Data[kCapacity];
    size_t m_uLen{0};   // bytes held, from the front
    size_t m_uStart{0}; // first byte not yet taken out
};
