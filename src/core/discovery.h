// Multicast discovery: announcements of the topics a participant's readers wait for, answers with
// the control endpoint of the topics it writes, and hand-over of received answers.
//
// Threads: the receive thread (processMsgTaskEx) reads, answers and hands answers over; the
// process timer's thread runs the periodic announcement task with the timer's mutex held; an
// application thread sends a reader's first announcement through trigger(); run() and stop() come
// from the participant's constructing and destroying thread (never from the other two).
// m_mtxState serialises run() and stop(); m_mtxSock is taken shared by every send and exclusively
// by the close of m_iSock and m_iRouteSock, so no send can reach a closed or reused descriptor.
// Lock order: the timer's mutex, then the participant's registry locks (through the hooks).
//
// The encoders and decoders of the two messages are plain functions over bytes, so they can be
// checked on tables of crafted datagrams and fuzzed without a socket.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "core/transport/transport.h"
#include "utils/unique_fd.h"
#include "utils/worker_thread.h"

class CMemBuffer;
class CParticipantImpl;

// Announcement (MSG_TYPE_DISCOVERY): header, host address, topic, domain, 8 reserved bytes.
constexpr size_t DISCOVERY_MSG_SIZE = 190;
constexpr uint32_t DISCOVERY_MSG_DATA_LEN = 156;
constexpr size_t DISCOVERY_MSG_IP_OFFSET = 34;
constexpr size_t DISCOVERY_MSG_IP_SIZE = 16;
constexpr size_t DISCOVERY_MSG_TOPIC_OFFSET = 50;
constexpr size_t DISCOVERY_MSG_DOMAIN_OFFSET = 178;

// Answer (MSG_TYPE_DISCOVERY_ACK): header, host address (20-byte slot), control endpoint, topic,
// domain, 8 reserved bytes.
constexpr size_t DISCOVERY_ACK_MSG_SIZE = 418;
constexpr uint32_t DISCOVERY_ACK_MSG_DATA_LEN = 384;
constexpr size_t DISCOVERY_ACK_MSG_IP_OFFSET = 34;
constexpr size_t DISCOVERY_ACK_MSG_IP_SIZE = 20;
constexpr size_t DISCOVERY_ACK_MSG_PARAM_OFFSET = 54;
constexpr size_t DISCOVERY_ACK_MSG_TOPIC_OFFSET = 278;
constexpr size_t DISCOVERY_ACK_MSG_DOMAIN_OFFSET = 406;

static_assert(DISCOVERY_MSG_IP_OFFSET == DDS_HEADER_SIZE, "announcement layout");
static_assert(DISCOVERY_MSG_IP_OFFSET + DISCOVERY_MSG_IP_SIZE == DISCOVERY_MSG_TOPIC_OFFSET, "announcement layout");
static_assert(DISCOVERY_MSG_TOPIC_OFFSET + DDS_TOPIC_TEXT_SIZE == DISCOVERY_MSG_DOMAIN_OFFSET, "announcement layout");
static_assert(DISCOVERY_MSG_DOMAIN_OFFSET + 4 + 8 == DISCOVERY_MSG_SIZE, "announcement layout");
static_assert(DDS_HEADER_SIZE + DISCOVERY_MSG_DATA_LEN == DISCOVERY_MSG_SIZE, "announcement layout");
static_assert(DISCOVERY_ACK_MSG_IP_OFFSET == DDS_HEADER_SIZE, "answer layout");
static_assert(DISCOVERY_ACK_MSG_IP_OFFSET + DISCOVERY_ACK_MSG_IP_SIZE == DISCOVERY_ACK_MSG_PARAM_OFFSET,
              "answer layout");
static_assert(DISCOVERY_ACK_MSG_PARAM_OFFSET + sizeof(TransParam_t) == DISCOVERY_ACK_MSG_TOPIC_OFFSET, "answer layout");
static_assert(DISCOVERY_ACK_MSG_TOPIC_OFFSET + DDS_TOPIC_TEXT_SIZE == DISCOVERY_ACK_MSG_DOMAIN_OFFSET, "answer layout");
static_assert(DISCOVERY_ACK_MSG_DOMAIN_OFFSET + 4 + 8 == DISCOVERY_ACK_MSG_SIZE, "answer layout");
static_assert(DDS_HEADER_SIZE + DISCOVERY_ACK_MSG_DATA_LEN == DISCOVERY_ACK_MSG_SIZE, "answer layout");

// Receive buffer of the discovery socket: larger than either message.
constexpr int DISCOVERY_RECV_BUF_SIZE = 2048;
// Discovery period bounds in seconds; a period outside them keeps the default.
constexpr int DISCOVERY_DEFAULT_PERIOD_S = 5;
constexpr int DISCOVERY_MIN_PERIOD_S = 1;
constexpr int DISCOVERY_MAX_PERIOD_S = 3600;

// The one period check: true for a period inside the bounds, else false after the yellow line
// saying that `keepSec` stays.
bool acceptDiscoveryPeriod(int periodSec, int keepSec);

// An announcement as it travels, fields in host form.
struct DiscoveryMsg_t {
    std::string m_strHostIp;    // the announcing host's address text (may be empty)
    std::string m_strTopicName; // 1..127 characters
    int32_t m_iDomainId{0};
    uint64_t m_u64TimeStamp{0}; // microseconds; byte-swapped (most significant first) on the wire
};

// An answer as it travels.
struct DiscoveryAckMsg_t {
    DiscoveryAckMsg_t();
    std::string m_strHostIp;     // the answering host's address text (may be empty)
    TransParam_t m_stTransParam; // the topic's control endpoint
    std::string m_strTopicName;  // 1..127 characters
    int32_t m_iDomainId{0};
};

// Whether a topic name can travel in a discovery message: 1..127 characters, none of them NUL.
// The one check for both codecs and createTopic.
bool isValidTopicName(const std::string& name);
// The same check for a name an application gives: false after a red line saying why.
bool acceptTopicName(const std::string& name);

// Writes a message into `buf` (zero-filled first); the bytes written (190 or 418), or 0 when the
// buffer is too small, a text does not fit its field (address above 15 characters) or the topic
// name is not valid. The answer's endpoint is copied as it is.
size_t encodeDiscoveryMsg(const DiscoveryMsg_t& msg, uint8_t* buf, size_t size);
size_t encodeDiscoveryAckMsg(const DiscoveryAckMsg_t& msg, uint8_t* buf, size_t size);

// The type byte of a datagram that starts with a header and the magic, or -1 for anything else
// (shorter than a header, another protocol's bytes).
int discoveryMsgType(const uint8_t* data, size_t len);

// Reads a multicast group text with the library's IPv4 parser: true with the group in *out
// when the address lies in 224.0.0.0/4; false (and *out untouched) otherwise.
bool parseMulticastGroup(const std::string& text, in_addr* out);

// Whether a record is a usable control endpoint: TCP, a dotted IPv4 address, a port in 1..65535.
bool isValidControlEndpoint(const TransParam_t& param);

// Decoders: true with *out filled for a well-formed message, false (and *out untouched) otherwise.
// Well-formed: the magic and type, at least 190 / 418 bytes, DataLen 156 / 384, every text field
// terminated inside its width, a valid topic name, an address that is empty or dotted
// IPv4, and in an answer a usable control endpoint. Nothing beyond `len` is read.
bool decodeDiscoveryMsg(const uint8_t* data, size_t len, DiscoveryMsg_t* out);
bool decodeDiscoveryAckMsg(const uint8_t* data, size_t len, DiscoveryAckMsg_t* out);

// What discovery asks of its participant. The participant's own hooks are used by the
// participant constructor; tests and tools can give their own.
class CDiscoveryHooks {
public:
    virtual ~CDiscoveryHooks() = default;
    virtual int getDomainId() = 0;
    // Appends the names of the topics that wait for a publisher; the size of `out`.
    virtual int getUnsubscribedTopic(std::vector<std::string>& out) = 0;
    // 0 with the topic's control endpoint in *out when a publisher writes the topic, else -1.
    virtual int getPubTopicMsgTransParam(const std::string& name, TransParam_t* out) = 0;
    // 0 when a subscriber that waited for the topic took the endpoint, else -1.
    virtual int setSubTopicMsgTransParam(const std::string& name, TransParam_t& param) = 0;
};

class CDiscovery {
public:
    // The period is in seconds; one outside 1..3600 keeps the default of 5 s with a warning. The
    // group is read once here; a text that is no multicast group leaves the engine deaf and mute
    // (its join and bind fail with their red lines).
    CDiscovery(CParticipantImpl* participant, const std::string& multicastIp, int port, int periodSec);
    // The same engine over other hooks (borrowed; they must outlive the engine).
    CDiscovery(CDiscoveryHooks* hooks, const std::string& multicastIp, int port, int periodSec);
    // Stops the engine if it still runs.
    ~CDiscovery();
    CDiscovery(const CDiscovery&) = delete;
    CDiscovery& operator=(const CDiscovery&) = delete;

    // Opens the socket on the host address's interface (and where the group's route leads, when
    // that is another interface), starts the receive thread and the periodic announcement task.
    // Once; a second call does nothing.
    void run();
    // Removes the task, joins the threads, closes the socket. Idempotent.
    void stop();
    // Sends one announcement for the topic now, on the caller's thread.
    void trigger(const std::string& topic);

    CParticipantImpl* getPariticipantImpl() const { return m_pParticipantImpl; }
    int getInterval() const { return m_iInterval; }
    // Datagrams read and handled so far (both pipelines), and how many of them were dropped as
    // malformed or of an unsupported type.
    uint64_t getRecvMsgCount() const { return m_u64RecvMsgCount.load(); }
    uint64_t getDropMsgCount() const { return m_u64DropMsgCount.load(); }

private:
    friend class CDiscoveryTestPeer;

    void createMulticastSocket();
    void deleteMulticastSocket();
    // A send-only socket that leaves the outgoing interface to the routing table; none when refused.
    CUniqueFd openRouteSocket();
    void startMsgProcTask();
    void stopMsgProcTask();
    void processMsgTaskEx();
    void startDiscoveryTask();
    void stopDiscoveryTask();
    // Always 0; nothing is sent without a socket or for a name that does not fit.
    int sendDiscoveryMsg(const std::string& topic);
    // 0 when answered / handed over, -1 when dropped.
    int parseDiscoveryMsg(const uint8_t* msg, size_t len);
    int parseDiscoveryMsgAck(const uint8_t* msg, size_t len);

    // The buffered pipeline: a receive loop over the buffer pool and a processing loop, and an
    // announcement loop on a thread of its own. The library does not start them; run() uses
    // processMsgTaskEx and the timer.
    void startMsgRecvTask();
    void stopMsgRecvTask();
    void recvMsgTask();
    void processMsgTask();
    void discoveryTask();
    void stopDiscoveryThread();

    // One announcement per waiting topic, in the order the participant lists them.
    void announceWaitingTopics();
    // Dispatches one datagram by its type; `reportUnsupported` prints the unsupported-type line.
    void dispatchMsg(const uint8_t* data, size_t len, bool reportUnsupported);
    void sendToGroup(const uint8_t* data, size_t len);

    // The sockets are declared before the threads, so that the holders go in stop()'s order:
    // every thread that may use a socket's number is joined before the socket closes.
    CUniqueFd m_iSock;      // the multicast socket; none while closed
    CUniqueFd m_iRouteSock; // sends where the routing picks the interface; none: no such socket
    int m_iMulticastPort;
    std::string m_strMulticastIp;
    sockaddr_in m_stGroupAddr;
    CWorkerThread m_threadRecv;
    std::atomic<bool> m_bRecvRunning{false};
    CWorkerThread m_threadProc;
    std::atomic<bool> m_bProcRunning{false};
    CWorkerThread m_threadDiscovery;
    std::atomic<bool> m_bDiscoveryRunning{false};
    int m_iTimerTaskId{-1};
    std::unique_ptr<CMemBuffer> m_pMemBuffer;
    int m_iInterval;
    CParticipantImpl* m_pParticipantImpl;

    std::string m_strInterfaceIp;                 // the host address the group was joined on (empty: any)
    bool m_bJoined{false};                        // the membership holds
    bool m_bJoinedRoute{false};                   // the membership where the group's route leads holds
    std::unique_ptr<CDiscoveryHooks> m_pOwnHooks; // the participant's, when made from one
    CDiscoveryHooks* m_pHooks;
    std::mutex m_mtxState;         // run() and stop()
    bool m_bRun{false};            // run() happened (under m_mtxState)
    std::shared_mutex m_mtxSock;   // sends (shared) against the close of both sockets (exclusive)
    std::mutex m_mtxDiscoveryWait; // the announcement loop's wait
    std::condition_variable m_cvDiscoveryWait;
    std::atomic<uint64_t> m_u64RecvMsgCount{0};
    std::atomic<uint64_t> m_u64DropMsgCount{0};
};
