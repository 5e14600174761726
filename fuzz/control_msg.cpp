// Fuzzes both ends of the control channel: the receive buffer that frames the TCP stream and the
// decoders of the request (14), the acknowledgement (15) and the heartbeats (10, 11), fed as the
// control threads feed them (reads into tail() of at most CTRL_MAX_MSG_LEN, or copies), split and
// coalesced anywhere.
//
// First input byte: bit 0 chooses a raw stream (every message taken out must be a whole one that
// the stream holds) or a built one (messages made by the builders, garbage without a magic
// between them: every message must come out whole, in order, decoding to what was built). Second
// byte: the read size. The rest is the stream, or the description of the messages.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/transport/control/control_msg.h"

namespace {

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

// Takes input bytes in order; past the end it gives zeros.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool done() const { return m_at >= m_size; }
    uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::string text(size_t maxLen)
    {
        size_t n = byte() % (maxLen + 1);
        std::string out;
        for (size_t i = 0; i < n; ++i) {
            char c = static_cast<char>(byte());
            out.push_back(c == '\0' ? 'x' : c);
        }
        return out;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at{0};
};

// What each side does with one complete message: decode it, and what decodes must build back to
// bytes that decode to the same fields.
void handle(const uint8_t* msg, size_t len)
{
    CtrlRequest_t request;
    if (decodeRequestMsg(msg, len, &request)) {
        check(request.m_strIp.size() < DDS_IP_TEXT_SIZE && request.m_strTopic.size() < DDS_TOPIC_TEXT_SIZE);
        uint8_t out[CTRL_REQUEST_MSG_LEN];
        CtrlRequest_t back;
        check(decodeRequestMsg(out, buildRequestMsg(out, request.m_strIp, request.m_strTopic), &back));
        check(back.m_strIp == request.m_strIp && back.m_strTopic == request.m_strTopic);
    }
    CtrlRequestAck_t ack;
    if (decodeRequestAckMsg(msg, len, &ack)) {
        check(len == CTRL_REQUEST_ACK_MSG_LEN);
        uint8_t out[CTRL_REQUEST_ACK_MSG_LEN];
        CtrlRequestAck_t back;
        check(decodeRequestAckMsg(out, buildRequestAckMsg(out, ack.m_strIp, ack.m_strTopic, ack.m_param), &back));
        check(back.m_strIp == ack.m_strIp && back.m_strTopic == ack.m_strTopic &&
              std::memcmp(&back.m_param, &ack.m_param, sizeof(TransParam_t)) == 0);
    }
    for (uint8_t type : {uint8_t(MSG_TYPE_HEARTBEAT), uint8_t(MSG_TYPE_HEARTBEAT_ACK)}) {
        std::string topic;
        if (decodeHeartbeatMsg(msg, len, type, &topic)) {
            check(topic.size() < DDS_TOPIC_TEXT_SIZE);
            uint8_t out[CTRL_HEARTBEAT_MSG_LEN];
            std::string back;
            check(decodeHeartbeatMsg(out, buildHeartbeatMsg(out, type, "1.2.3.4", topic), type, &back));
            check(back == topic);
        }
    }
}

// A complete message as the buffer hands it out.
void checkFramed(const uint8_t* msg, size_t len)
{
    check(len >= DDS_HEADER_SIZE && len <= CTRL_MAX_MSG_LEN && hasDdsMagic(msg, len));
    check(len == DDS_HEADER_SIZE + readDdsHeader(msg).m_u32DataLen);
}

// Feeds `stream` in reads of `piece` bytes and gives every complete message to `onMsg`.
template <typename OnMsg> void feed(const std::vector<uint8_t>& stream, size_t piece, bool viaTail, OnMsg&& onMsg)
{
    // Kept across inputs: a buffer is reused by a connection for as long as it lives.
    static CCtrlMsgBuffer* buffer = new CCtrlMsgBuffer();
    buffer->clear();
    size_t fed = 0;
    while (fed < stream.size()) {
        size_t n = 0;
        if (viaTail) {
            uint8_t* tail = buffer->tail();
            size_t room = std::min(buffer->room(), CTRL_MAX_MSG_LEN);
            check(room == CTRL_MAX_MSG_LEN); // a drained buffer always has room for one read
            n = std::min({piece, room, stream.size() - fed});
            std::memcpy(tail, stream.data() + fed, n);
            buffer->commit(n);
        } else {
            n = std::min({piece, CTRL_MAX_MSG_LEN, stream.size() - fed});
            check(buffer->append(stream.data() + fed, n));
        }
        fed += n;
        check(buffer->size() <= CCtrlMsgBuffer::kCapacity);
        const uint8_t* msg = nullptr;
        size_t len = 0;
        int got = 0;
        while ((got = buffer->next(&msg, &len)) != 0) {
            if (got > 0) {
                checkFramed(msg, len);
                onMsg(msg, len, fed);
            }
        }
        check(buffer->size() < CTRL_MAX_MSG_LEN);
    }
}

void rawStream(Reader& in, size_t piece, bool viaTail)
{
    std::vector<uint8_t> stream;
    while (!in.done()) {
        stream.push_back(in.byte());
    }
    size_t from = 0; // messages come out in stream order, none overlapping the one before
    feed(stream, piece, viaTail, [&](const uint8_t* msg, size_t len, size_t fed) {
        auto end = stream.begin() + static_cast<long>(fed);
        auto at = std::search(stream.begin() + static_cast<long>(from), end, msg, msg + len);
        check(at != end);
        from = static_cast<size_t>(at - stream.begin()) + len;
        handle(msg, len);
    });
}

struct Built {
    std::vector<uint8_t> bytes;
    uint8_t type;
    std::string ip;
    std::string topic;
    TransParam_t param;
};

TransParam_t makeParam(Reader& in)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    // Only media a writing side offers: acknowledgements of others are refused.
    switch (in.byte() % 3) {
    case 0:
        param.m_iType = TRANS_TYPE_UDP;
        std::memcpy(param.m_udpParam.m_szIp, in.text(15).c_str(), 16);
        param.m_udpParam.m_iPort = in.byte() * 256 + in.byte();
        break;
    case 1: {
        param.m_iType = TRANS_TYPE_UNIX_SOCKET;
        std::string path = in.text(63);
        std::memcpy(param.m_unixSocketParam.m_szPath, path.c_str(), path.size() + 1);
        param.m_unixSocketParam.m_iId = in.byte();
        break;
    }
    default:
        param.m_iType = TRANS_TYPE_SHARE_MEMORY;
        param.m_shmParam.m_iQueueKey = in.byte() * 65536 + in.byte();
        param.m_shmParam.m_iMemPoolKey = in.byte();
        param.m_shmParam.m_layout.m_iGroupCount = 1 + in.byte() % MEM_MAX_GROUPS;
        for (int g = 0; g < param.m_shmParam.m_layout.m_iGroupCount; ++g) {
            param.m_shmParam.m_layout.m_stGroup[g] = MemGroup_t{g, in.byte() * 64, in.byte()};
        }
        break;
    }
    return param;
}

void builtStream(Reader& in, size_t piece, bool viaTail)
{
    std::vector<Built> msgs;
    std::vector<uint8_t> stream;
    while (!in.done() && msgs.size() < 64) {
        // Garbage first: no magic can start in it, so the buffer resynchronises on the message.
        size_t junk = in.byte() % 40;
        for (size_t i = 0; i < junk; ++i) {
            uint8_t b = in.byte();
            stream.push_back(b == DDS_HEADER_MAGIC[0] ? 0 : b);
        }
        Built m;
        const uint8_t types[] = {MSG_TYPE_REQUEST_DATA_CHAN, MSG_TYPE_REQUEST_DATA_CHAN_ACK, MSG_TYPE_HEARTBEAT,
                                 MSG_TYPE_HEARTBEAT_ACK};
        m.type = types[in.byte() % 4];
        m.ip = in.text(20);
        m.topic = in.text(140);
        std::memset(&m.param, 0, sizeof(m.param));
        if (m.type == MSG_TYPE_REQUEST_DATA_CHAN) {
            uint8_t out[CTRL_REQUEST_MSG_LEN];
            m.bytes.assign(out, out + buildRequestMsg(out, m.ip, m.topic));
        } else if (m.type == MSG_TYPE_REQUEST_DATA_CHAN_ACK) {
            m.param = makeParam(in);
            uint8_t out[CTRL_REQUEST_ACK_MSG_LEN];
            m.bytes.assign(out, out + buildRequestAckMsg(out, m.ip, m.topic, m.param));
        } else {
            uint8_t out[CTRL_HEARTBEAT_MSG_LEN];
            m.bytes.assign(out, out + buildHeartbeatMsg(out, m.type, m.ip, m.topic));
        }
        // Texts are cut to their fields.
        m.ip.resize(std::min(m.ip.size(), DDS_IP_TEXT_SIZE - 1));
        m.topic.resize(std::min(m.topic.size(), DDS_TOPIC_TEXT_SIZE - 1));
        stream.insert(stream.end(), m.bytes.begin(), m.bytes.end());
        msgs.push_back(std::move(m));
    }
    size_t next = 0;
    feed(stream, piece, viaTail, [&](const uint8_t* msg, size_t len, size_t) {
        check(next < msgs.size());
        const Built& m = msgs[next++];
        check(len == m.bytes.size() && std::memcmp(msg, m.bytes.data(), len) == 0);
        if (m.type == MSG_TYPE_REQUEST_DATA_CHAN) {
            CtrlRequest_t request;
            check(decodeRequestMsg(msg, len, &request));
            check(request.m_strIp == m.ip && request.m_strTopic == m.topic);
        } else if (m.type == MSG_TYPE_REQUEST_DATA_CHAN_ACK) {
            CtrlRequestAck_t ack;
            check(decodeRequestAckMsg(msg, len, &ack));
            check(ack.m_strIp == m.ip && ack.m_strTopic == m.topic &&
                  std::memcmp(&ack.m_param, &m.param, sizeof(TransParam_t)) == 0);
        } else {
            std::string topic;
            check(decodeHeartbeatMsg(msg, len, m.type, &topic) && topic == m.topic);
            // A heartbeat of the other kind is refused.
            uint8_t other = m.type == MSG_TYPE_HEARTBEAT ? MSG_TYPE_HEARTBEAT_ACK : MSG_TYPE_HEARTBEAT;
            check(!decodeHeartbeatMsg(msg, len, other, &topic));
        }
        handle(msg, len);
    });
    check(next == msgs.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in(data, size);
    const uint8_t mode = in.byte();
    const uint8_t pieceByte = in.byte();
    const size_t piece = pieceByte < 128 ? 1 + pieceByte : 1 + (pieceByte - 128u) * 40u;
    const bool viaTail = (mode & 2) == 0;
    if ((mode & 1) == 0) {
        rawStream(in, piece, viaTail);
    } else {
        builtStream(in, piece, viaTail);
    }
    return 0;
}

#ifndef ZQ_LIBFUZZER
#include "seeds.h"

// Streams of every kind of message, with garbage and a false magic between them, and a few
// descriptions of built streams.
int main(int argc, char** argv)
{
    std::vector<uint8_t> stream;
    auto add = [&stream](const uint8_t* d, size_t n) { stream.insert(stream.end(), d, d + n); };
    uint8_t request[CTRL_REQUEST_MSG_LEN];
    add(request, buildRequestMsg(request, "198.18.60.2", "s5_fuzz_topic"));
    const uint8_t junk[] = {'x', 'Z', 'Q', 'M', 'Z', 'Q', 1, 2};
    add(junk, sizeof(junk));
    uint8_t heartbeat[CTRL_HEARTBEAT_MSG_LEN];
    add(heartbeat, buildHeartbeatMsg(heartbeat, MSG_TYPE_HEARTBEAT, "198.18.60.2", "s5_fuzz_topic"));
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_UNIX_SOCKET;
    std::strcpy(param.m_unixSocketParam.m_szPath, "/tmp/s5_fuzz_topic-3");
    param.m_unixSocketParam.m_iId = 3;
    uint8_t ack[CTRL_REQUEST_ACK_MSG_LEN];
    add(ack, buildRequestAckMsg(ack, "198.18.60.1", "s5_fuzz_topic", param));
    add(heartbeat, buildHeartbeatMsg(heartbeat, MSG_TYPE_HEARTBEAT_ACK, "198.18.60.1", "s5_fuzz_topic"));
    // A header announcing more than any control message, then a message again.
    DDSHeader_t big = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_HEARTBEAT);
    big.m_u32DataLen = 5000;
    uint8_t bigBytes[DDS_HEADER_SIZE];
    writeDdsHeader(bigBytes, big);
    add(bigBytes, sizeof(bigBytes));
    add(request, sizeof(request));

    std::vector<zqfuzz::Seed> seeds;
    for (uint8_t mode : {0, 2}) {
        for (uint8_t piece : {0, 7, 130, 200}) {
            zqfuzz::Seed seed{mode, piece};
            seed.insert(seed.end(), stream.begin(), stream.end());
            seeds.push_back(seed);
        }
    }
    // Built: per message garbage length, garbage, type, address, topic (and for 15 a record).
    seeds.push_back({1, 3,   2,   'a', 'b', 0, 5, '1', '.', '2', '.', '3', 4,   't', 'o', 'p', 'c',
                     0, 1,   1,   'x', 3,   3, 9, 1,   2,   2,   0,   2,   1,   'q', 0,   0,   1,
                     2, 'i', 'p', 1,   'z', 2, 7, 'p', 'a', 't', 'h', 'z', 'z', 'z', 9});
    seeds.push_back({3,   200, 0,   1,   16,  '1', '9', '8', '.', '1', '8', '.', '6',
                     '0', '.', '2', '5', '5', '.', '9', '9', 127, 'a', 'b', 'c'});
    return zqfuzz::seedMain(argc, argv, seeds, [](const std::vector<zqfuzz::Seed>& built) {
        for (const auto& seed : built) {
            LLVMFuzzerTestOneInput(seed.data(), seed.size());
        }
        return static_cast<long>(built.size());
    });
}
#endif
