// The package header, the channel records and the per-topic control-channel transport interface.
//
// DDSHeader_t, TransParam_t and the control messages travel on the wire in host byte order; they
// are read and written with memcpy only (readDdsHeader/writeDdsHeader), never through a cast
// pointer into a buffer. Every decoder here is a plain function over bytes and takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "memory/mem_pool.h"

struct DataPackage_t;
class CMemPool;
class CTopicImpl;

// The four magic bytes at the start of every header, in this order.
inline constexpr uint8_t DDS_HEADER_MAGIC[4] = {'Z', 'Q', 'M', 'W'};

// Largest payload of one frame. Writers refuse more; receivers drop frames that claim more.
constexpr uint32_t DDS_MAX_FRAME_PAYLOAD = 64u * 1024u * 1024u;

enum PktFlag_e {
    PKT_FLAG_FIRST = 0, // first fragment, or a whole unfragmented package
    PKT_FLAG_MIDDLE = 1,
    PKT_FLAG_LAST = 2,
};

enum MsgType_e {
    MSG_TYPE_HEARTBEAT = 10,
    MSG_TYPE_HEARTBEAT_ACK = 11,
    MSG_TYPE_DISCOVERY = 12,
    MSG_TYPE_DISCOVERY_ACK = 13,
    MSG_TYPE_REQUEST_DATA_CHAN = 14,
    MSG_TYPE_REQUEST_DATA_CHAN_ACK = 15,
    MSG_TYPE_DATA = 100,
};

enum TransType_e {
    TRANS_TYPE_TCP = 0,
    TRANS_TYPE_UDP = 1,
    TRANS_TYPE_UNIX_SOCKET = 2,
    TRANS_TYPE_SHARE_MEMORY = 3,
    TRANS_TYPE_PCIE = 4,
};

enum DataTransEvent_e {
    EVENT_DATA_TRANS_START = 1, // the data receiver was created and initialised
    EVENT_DATA_TRANS_STOP = 2,  // the data channel was dropped
};

#pragma pack(push, 1)
// Begins every package, fragment, control and discovery message. Unaligned fields: copy the whole
// record in and out with memcpy.
struct DDSHeader_t {
    uint8_t m_u8Magic[4];
    uint8_t m_u8Flag;        // PktFlag_e
    uint8_t m_u8Type;        // MsgType_e
    uint32_t m_u32SeqNo;     // fragment number
    uint64_t m_u64TimeStamp; // writer's send time, microseconds of the wall clock
    uint32_t m_u32DataLen;   // payload bytes behind this header
    uint32_t m_u32TotalLen;
    uint32_t m_u32PktCount;
    uint8_t m_u8Reserved[4];
};
#pragma pack(pop)

static_assert(sizeof(DDSHeader_t) == 34, "DDSHeader_t layout");
static_assert(offsetof(DDSHeader_t, m_u8Magic) == 0, "DDSHeader_t layout");
static_assert(offsetof(DDSHeader_t, m_u8Flag) == 4, "DDSHeader_t layout");
static_assert(offsetof(DDSHeader_t, m_u8Type) == 5, "DDSHeader_t layout");
static_assert(offsetof(DDSHeader_t, m_u32SeqNo) == 6, "DDSHeader_t layout");
static_assert(offsetof(DDSHeader_t, m_u64TimeStamp) == 10, "DDSHeader_t layout");
static_assert(offsetof(DDSHeader_t, m_u32DataLen) == 18, "DDSHeader_t layout");
static_assert(offsetof(DDSHeader_t, m_u32TotalLen) == 22, "DDSHeader_t layout");
static_assert(offsetof(DDSHeader_t, m_u32PktCount) == 26, "DDSHeader_t layout");
static_assert(offsetof(DDSHeader_t, m_u8Reserved) == 30, "DDSHeader_t layout");

constexpr size_t DDS_HEADER_SIZE = sizeof(DDSHeader_t);

// Widths of the text fields that travel on the wire (NUL-terminated inside the field).
constexpr size_t DDS_IP_TEXT_SIZE = 16;
constexpr size_t DDS_TOPIC_TEXT_SIZE = 128;
constexpr size_t DDS_PATH_TEXT_SIZE = 64;

struct TcpParam_t {
    char m_szIp[DDS_IP_TEXT_SIZE];
    int32_t m_iPort;
};

struct UdpParam_t {
    char m_szIp[DDS_IP_TEXT_SIZE];
    int32_t m_iPort;
};

struct UnixSocketParam_t {
    char m_szPath[DDS_PATH_TEXT_SIZE]; // "/tmp/<topic>-<index>"
    int32_t m_iId;                     // socket index
};

struct ShareMemoryParam_t {
    int32_t m_iQueueKey;
    int32_t m_iMemPoolKey;
    uint64_t m_u64Reserved;
    MemPoolLayout_t m_layout;
};

// One channel endpoint; a wire record (224 bytes). Zero-fill it with memset before setting
// fields (an empty brace initialiser clears only the union's first member), so that the padding
// bytes (4..7 and 220..223) and the unused union bytes travel as 0.
struct TransParam_t {
    int32_t m_iType; // TransType_e
    union {
        TcpParam_t m_tcpParam;
        UdpParam_t m_udpParam;
        UnixSocketParam_t m_unixSocketParam;
        ShareMemoryParam_t m_shmParam;
    };
};

static_assert(sizeof(TransParam_t) == 224, "TransParam_t layout");
static_assert(alignof(TransParam_t) == 8, "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_iType) == 0, "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_tcpParam) == 8, "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_udpParam) == 8, "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_unixSocketParam) == 8, "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_shmParam) == 8, "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_tcpParam) + offsetof(TcpParam_t, m_szIp) == 8, "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_tcpParam) + offsetof(TcpParam_t, m_iPort) == 24, "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_udpParam) + offsetof(UdpParam_t, m_szIp) == 8, "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_udpParam) + offsetof(UdpParam_t, m_iPort) == 24, "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_unixSocketParam) + offsetof(UnixSocketParam_t, m_szPath) == 8,
              "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_unixSocketParam) + offsetof(UnixSocketParam_t, m_iId) == 72,
              "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_shmParam) + offsetof(ShareMemoryParam_t, m_iQueueKey) == 8,
              "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_shmParam) + offsetof(ShareMemoryParam_t, m_iMemPoolKey) == 12,
              "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_shmParam) + offsetof(ShareMemoryParam_t, m_u64Reserved) == 16,
              "TransParam_t layout");
static_assert(offsetof(TransParam_t, m_shmParam) + offsetof(ShareMemoryParam_t, m_layout) == 24, "TransParam_t layout");
static_assert(sizeof(ShareMemoryParam_t) == 216, "ShareMemoryParam_t layout (212 bytes and tail padding)");

// One data channel of a topic as either side of the control channel keeps it (memory only).
struct ConnParam_t {
    int m_iFd;            // control connection on the writing side, -1 on the reading side
    TransParam_t m_param; // the channel's description
};

// Copies a header out of / into a byte buffer of at least DDS_HEADER_SIZE bytes.
DDSHeader_t readDdsHeader(const uint8_t* data);
void writeDdsHeader(uint8_t* data, const DDSHeader_t& header);
// A zero-filled header with the magic, the flag and the type set.
DDSHeader_t makeDdsHeader(uint8_t flag, uint8_t type);
// Whether the first four bytes are DDS_HEADER_MAGIC (false for fewer than four bytes).
bool hasDdsMagic(const uint8_t* data, size_t len);

// Whether a text field of `width` bytes holds its terminating NUL.
bool isTextTerminated(const char* field, size_t width);

// Decodes a channel record from the wire: 224 bytes, type 0..4, every text field of its type
// terminated inside its field, and for shared memory a layout of at most 16 groups with
// non-negative numbers. False (and *out untouched) for anything else.
bool decodeTransParam(const uint8_t* data, size_t len, TransParam_t* out);

// Builds the Unix-socket path of a topic's channel, "/tmp/<topic>-<index>". False when the topic
// name is empty or holds '/', or when the path does not fit the 64-byte field; *out is then
// untouched. Both sides use it, so two topics never share a path by truncation.
bool makeUnixSocketPath(const std::string& topicName, int index, char (&out)[DDS_PATH_TEXT_SIZE]);

// The per-topic control-channel transport: the writing side (publisher) and the reading side
// (subscriber) implement every operation.
class CTransport {
public:
    virtual ~CTransport() = default;
    virtual int setMsgTransParam(TransParam_t& param) = 0;
    virtual int getTopicDataTransParam(const std::string& topicName, std::vector<ConnParam_t>* out) = 0;
    virtual int getClientCount() = 0;
    virtual uint64_t getLostPkgCount() = 0;
    virtual int getFps(std::vector<int>& out) = 0;
    virtual int setTopicImpl(CTopicImpl* topic) = 0;
    virtual void setMemPool(CMemPool* pool) = 0;
    virtual DataPackage_t* getEmptyDataPkg(int size, int timeoutMs) = 0;
    virtual void putEmptyDataPkg(DataPackage_t* pkg) = 0;
    // Adds one reference through the topic's pool (a holder that discards a fresh package refers
    // it first, so that its release gives it back).
    virtual void referDataPkg(DataPackage_t* pkg) = 0;
    // Publishes a package with `len` bytes in use (header included).
    virtual int putFullDataPkg(DataPackage_t* pkg, int len) = 0;
    // Data capacity of a package of this topic's pool as this process knows it; never read from
    // the package, which may lie in a segment others can write.
    virtual int getDataPkgCapacity(DataPackage_t* pkg) = 0;
    virtual int registerDataCallBack(std::function<int(int, DataPackage_t*)> callback) = 0;
    virtual void unregisterDataCallBack(int id) = 0;
    virtual int registerEventCallBack(std::function<void(int, int)> callback) = 0;
    virtual void unregisterEventCallBack(int id) = 0;
    virtual bool isConnect() = 0;
};
