// A reading process for a topic that the writing side delivers through shared memory: one
// participant on loopback with a subscriber and one reader. Every answer is one line that starts
// with "@@ ". It answers "ready", then serves stdin lines:
//   "endpoint <ip> <port>"       hand the writer's control endpoint over (as discovery would),
//                                 then "connected" once the data channel is up ("not-connected")
//   "seen <n>"                   wait until the application callback has seen n messages in all;
//                                 prints "seen <count>"
//   "expect <seq> <len> <mode>"  take the next message by copy ("copy") or by loan ("loan"); the
//                                 callback must have seen it, and the bytes it was handed must lie
//                                 in a System V segment; a loan must be that very memory. Prints
//                                 "got <seq> <len> <segment key> <offset in segment>", or
//                                 "bad <reason>"
//   "drain"                       read every queued message without waiting; prints "drained <n>"
//   "quit"                        delete everything; prints "pool <bytes in use>" and "bye"
//
// Usage: zqh_shm_pubsub_reader <domain> <portBase> <unixBase> <keyBase> <topic> <depth>
#include <sys/prctl.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/pubsub_support.h"
#include "core/shm_maps.h"
#include "helpers/reader_process.h"

namespace {

// What the callback was handed; the bytes stay in place while the reader's queue holds them.
struct Seen {
    const uint8_t* data;
    int len;
    uint64_t timeStamp;
};

readerproc::SeenQueue<Seen> g_seen;

std::string hex(unsigned v)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%#x", v);
    return text;
}

std::string expect(CDataReader* reader, uint32_t seq, int len, const std::string& mode)
{
    Seen seen{};
    if (!g_seen.take(&seen)) {
        return "bad no-callback";
    }
    if (seen.len != len) {
        return "bad callback-length " + std::to_string(seen.len);
    }
    // Where the library handed the payload: in a segment, not in a buffer of this process.
    shmmaps::Where where = shmmaps::locate(seen.data);
    if (!where.found) {
        return "bad not-in-a-segment";
    }
    if (mode == "copy") {
        std::vector<uint8_t> buf(static_cast<size_t>(len) + 1);
        _ExtraDataInfo_t info{0};
        int got = reader->read(buf.data(), len + 1, 10000, &info);
        if (got != len || !pubsub::isMessage(buf.data(), len, seq) || info.m_u64TimeStamp != seen.timeStamp) {
            return "bad copy " + std::to_string(got);
        }
    } else {
        _ExtraDataInfo_t info{0};
        _DataBuffer_t* buf = reader->getDataBuffer(10000, &info);
        if (buf == nullptr) {
            return "bad loan-timeout";
        }
        // The lent bytes are the ones the callback saw, read where the writer wrote them.
        bool ok = buf->m_pData == seen.data && buf->m_iLen == len && buf->m_iSize >= len &&
                  pubsub::isMessage(buf->m_pData, len, seq) && info.m_u64TimeStamp == seen.timeStamp;
        reader->releaseDataBuffer(buf);
        if (!ok) {
            return "bad loan";
        }
    }
    return "got " + std::to_string(seq) + " " + std::to_string(len) + " " + hex(where.key) + " " +
           std::to_string(where.offset);
}

} // namespace

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    auto onData = [](void* data, int len, _ExtraDataInfo_t* info) {
        g_seen.push(Seen{static_cast<const uint8_t*>(data), len, info->m_u64TimeStamp});
        return 0;
    };
    auto command = [](CDataReader* reader, const std::string& cmd, std::istringstream& in) {
        if (cmd == "seen") {
            size_t n = 0;
            in >> n;
            return "seen " + std::to_string(g_seen.waitTotal(n));
        }
        if (cmd == "expect") {
            uint32_t seq = 0;
            int len = 0;
            std::string mode;
            in >> seq >> len >> mode;
            return expect(reader, seq, len, mode);
        }
        if (cmd == "drain") {
            std::vector<uint8_t> buf(8 << 20);
            int n = 0;
            while (reader->read(buf.data(), static_cast<int>(buf.size()), 0, nullptr) >= 0) {
                ++n;
            }
            g_seen.clear();
            return "drained " + std::to_string(n);
        }
        return std::string();
    };
    return readerproc::serve(argc, argv, onData, command);
}
