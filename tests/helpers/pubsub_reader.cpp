// A reading process: one participant on loopback with a subscriber and one reader of a topic.
// Every answer is one line that starts with "@@ ". It answers "ready", then serves stdin lines:
//   "endpoint <ip> <port>"       hand the writer's control endpoint over (as discovery would),
//                                 then "connected" once the data channel is up ("not-connected")
//   "expect <seq> <len> <mode>"  take the next message: the application callback must have seen
//                                 it, then by copy ("copy"), by loan ("loan") or only through the
//                                 callback ("callback", the queued copy is released unread);
//                                 prints "got <seq> <len> <timestamp>" or "bad <reason>"
//   "find <seq> <len>"           take what the callback saw until message <seq> of <len> bytes;
//                                 prints "found <seq> <len> <longest message taken before it>" or
//                                 "bad <reason>"
//   "quit"                        delete everything; prints "pool <bytes in use>" and "bye"
//
// Usage: zqh_pubsub_reader <domain> <portBase> <unixBase> <keyBase> <topic> <depth> [<interface>]
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/pubsub_support.h"
#include "helpers/reader_process.h"

namespace {

struct Seen {
    std::vector<uint8_t> data;
    uint64_t timeStamp;
};

readerproc::SeenQueue<Seen> g_seen;

std::string expect(CDataReader* reader, uint32_t seq, int len, const std::string& mode)
{
    Seen seen;
    if (!g_seen.take(&seen)) {
        return "bad no-callback";
    }
    if (static_cast<int>(seen.data.size()) != len || !pubsub::isMessage(seen.data.data(), len, seq)) {
        return "bad callback-payload " + std::to_string(seen.data.size());
    }
    uint64_t ts = seen.timeStamp;
    if (mode == "copy") {
        std::vector<uint8_t> buf(static_cast<size_t>(len) + 1);
        _ExtraDataInfo_t info{0};
        int got = reader->read(buf.data(), len + 1, 10000, &info);
        if (got != len || !pubsub::isMessage(buf.data(), len, seq) || info.m_u64TimeStamp != ts) {
            return "bad copy " + std::to_string(got);
        }
    } else if (mode == "loan") {
        _ExtraDataInfo_t info{0};
        _DataBuffer_t* buf = reader->getDataBuffer(10000, &info);
        if (buf == nullptr) {
            return "bad loan-timeout";
        }
        bool ok = buf->m_iLen == len && buf->m_iSize >= len && pubsub::isMessage(buf->m_pData, len, seq) &&
                  buf->m_u64TimeStamp == ts && info.m_u64TimeStamp == ts;
        reader->releaseDataBuffer(buf);
        if (!ok) {
            return "bad loan";
        }
    } else {
        _DataBuffer_t* buf = reader->getDataBuffer(10000, nullptr);
        if (buf == nullptr) {
            return "bad callback-queue";
        }
        reader->releaseDataBuffer(buf);
    }
    return "got " + std::to_string(seq) + " " + std::to_string(len) + " " + std::to_string(ts);
}

std::string find(uint32_t seq, int len)
{
    size_t longest = 0;
    Seen seen;
    while (g_seen.take(&seen)) {
        if (static_cast<int>(seen.data.size()) == len && pubsub::isMessage(seen.data.data(), len, seq)) {
            return "found " + std::to_string(seq) + " " + std::to_string(len) + " " + std::to_string(longest);
        }
        longest = std::max(longest, seen.data.size());
    }
    return "bad not-found " + std::to_string(longest);
}

} // namespace

int main(int argc, char** argv)
{
    auto onData = [](void* data, int len, _ExtraDataInfo_t* info) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        g_seen.push(Seen{std::vector<uint8_t>(bytes, bytes + len), info->m_u64TimeStamp});
        return 0;
    };
    auto command = [](CDataReader* reader, const std::string& cmd, std::istringstream& in) {
        uint32_t seq = 0;
        int len = 0;
        std::string mode;
        if (cmd == "find") {
            in >> seq >> len;
            return find(seq, len);
        }
        if (cmd != "expect") {
            return std::string();
        }
        in >> seq >> len >> mode;
        return expect(reader, seq, len, mode);
    };
    return readerproc::serve(argc, argv, onData, command);
}
