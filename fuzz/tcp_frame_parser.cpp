// Fuzz target of the TCP frame parser: any byte stream, cut into any pieces and interrupted by
// new streams, must never crash, overrun or publish a frame other than a whole, valid one; a
// stream of frames with garbage between them gives back exactly the frames sent. Every package
// goes back to its pool. Without libFuzzer, main replays the seeds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/transport/media/tcp_receiver.h"
#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"

namespace {

class FuzzSink : public IFramePkgSink {
public:
    FuzzSink()
    {
        MemConfig_t cfg{};
        cfg.m_iKey = -1;
        cfg.m_u32MaxPoolSize = 0x4000000;
        cfg.m_stGroup[0] = MemGroup_t{0, 4096, 8};
        cfg.m_stGroup[1] = MemGroup_t{1, 65536, 4};
        cfg.m_iGroupCount = 2;
        m_pool.init(cfg);
        m_manager.setMemPool(&m_pool);
    }
    ~FuzzSink() override
    {
        if (m_pool.getUsedSize() != 0) {
            std::abort(); // a package was never given back
        }
    }
    DataPackage_t* getFramePkg(int size) override
    {
        ++m_requests;
        if (size > (1 << 20) || (m_refuseEvery != 0 && m_requests % m_refuseEvery == 0)) {
            return nullptr;
        }
        return m_manager.getEmptyDataPkg(size, 0);
    }
    void discardFramePkg(DataPackage_t* pkg) override
    {
        m_manager.referDataPkg(pkg);
        m_manager.putEmptyDataPkg(pkg);
    }
    void publishFramePkg(DataPackage_t* pkg) override
    {
        if (pkg->m_iLen < static_cast<int>(DDS_HEADER_SIZE) || pkg->m_iLen > pkg->m_iSize) {
            std::abort();
        }
        const DDSHeader_t header = readDdsHeader(pkgData(pkg));
        if (!isValidTcpFrameHeader(header) ||
            static_cast<size_t>(pkg->m_iLen) != DDS_HEADER_SIZE + header.m_u32DataLen) {
            std::abort();
        }
        m_published.emplace_back(pkgData(pkg), pkgData(pkg) + pkg->m_iLen);
        m_manager.referDataPkg(pkg);
        m_manager.putFullDataPkg(pkg, pkg->m_iLen);
        m_manager.releaseDataPkg(pkg);
    }

    unsigned m_refuseEvery{0};
    std::vector<std::vector<uint8_t>> m_published;

private:
    CNormalMemPool m_pool;
    CDataManager m_manager;
    unsigned m_requests{0};
};

} // namespace

namespace {

// Bytes that repeat only after 251, enough for any frame of the built input.
const std::vector<uint8_t>& pattern()
{
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b(70000 + 32 * 37);
        for (size_t i = 0; i < b.size(); ++i) {
            b[i] = static_cast<uint8_t>(i % 251);
        }
        return b;
    }();
    return bytes;
}

// Built input: frames as the sender frames them (sendTcpData), each after garbage that holds no
// magic. Their timestamps number them.
std::vector<std::vector<uint8_t>> buildStream(const uint8_t* data, size_t size, std::vector<uint8_t>* stream)
{
    std::vector<std::vector<uint8_t>> frames;
    size_t at = 0;
    auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    while (at < size && frames.size() < 8) {
        size_t junk = next() % 64;
        for (size_t i = 0; i < junk; ++i) {
            uint8_t b = next();
            stream->push_back(b == DDS_HEADER_MAGIC[0] ? 0 : b);
        }
        uint32_t payload = next() | static_cast<uint32_t>(next()) << 8;
        payload = (payload | static_cast<uint32_t>(next() & 1) << 16) % 40001; // past the stream buffer
        std::vector<uint8_t> frame(DDS_HEADER_SIZE + payload);
        DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
        header.m_u64TimeStamp = 1000 + frames.size();
        header.m_u32SeqNo = 1;
        header.m_u32DataLen = payload;
        header.m_u32TotalLen = static_cast<uint32_t>(frame.size());
        header.m_u32PktCount = 1;
        writeDdsHeader(frame.data(), header);
        std::memcpy(frame.data() + DDS_HEADER_SIZE, pattern().data() + frames.size() * 37, payload);
        stream->insert(stream->end(), frame.begin(), frame.end());
        frames.push_back(std::move(frame));
    }
    return frames;
}

} // namespace

// Input: piece size, control (bits 0-2 how often the sink has no package, the rest when a new
// stream begins), mode (bit 0: built), then the stream or its description.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) {
        return 0;
    }
    const size_t piece = 1 + static_cast<size_t>(data[0]) * 257;
    const unsigned control = data[1];
    const bool built = (data[2] & 1) != 0;
    data += 3;
    size -= 3;
    std::vector<uint8_t> builtStream;
    std::vector<std::vector<uint8_t>> frames;
    if (built) {
        frames = buildStream(data, size, &builtStream);
        data = builtStream.data();
        size = builtStream.size();
    }
    {
        FuzzSink sink;
        sink.m_refuseEvery = control & 0x7;
        const size_t resetEvery = (control >> 3) != 0 ? (control >> 3) * 1021 : 0;
        {
            CTcpFrameParser parser(&sink, "fuzz");
            size_t fed = 0;
            while (fed < size) {
                size_t n = piece < size - fed ? piece : size - fed;
                parser.feed(data + fed, n);
                fed += n;
                if (parser.bufferedBytes() >= static_cast<size_t>(TCP_STREAM_BUF_SIZE)) {
                    std::abort(); // the next read would have no room
                }
                if (resetEvery != 0 && fed % resetEvery < n) {
                    parser.resetStream();
                }
            }
        }
        if (built) {
            // Every frame published is one that was sent, byte for byte; with every package
            // granted and one stream, every frame arrives, in order.
            for (const auto& got : sink.m_published) {
                const uint64_t k = readDdsHeader(got.data()).m_u64TimeStamp - 1000;
                if (k >= frames.size() || got != frames[k]) {
                    std::abort();
                }
            }
            if (sink.m_refuseEvery == 0 && resetEvery == 0) {
                if (sink.m_published.size() != frames.size()) {
                    std::abort();
                }
                for (size_t k = 0; k < frames.size(); ++k) {
                    if (readDdsHeader(sink.m_published[k].data()).m_u64TimeStamp != 1000 + k) {
                        std::abort();
                    }
                }
            }
        }
    }
    return 0;
}

#ifndef ZQ_LIBFUZZER
#include "seeds.h"

namespace {

void appendFrame(std::vector<uint8_t>& out, uint32_t payload, uint32_t totalLen, uint8_t seed)
{
    DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
    header.m_u32SeqNo = 1;
    header.m_u32DataLen = payload;
    header.m_u32TotalLen = totalLen;
    header.m_u32PktCount = 1;
    uint8_t bytes[DDS_HEADER_SIZE];
    writeDdsHeader(bytes, header);
    out.insert(out.end(), bytes, bytes + DDS_HEADER_SIZE);
    for (uint32_t i = 0; i < payload && i < 100000; ++i) {
        out.push_back(static_cast<uint8_t>(seed + i));
    }
}

} // namespace

// Replays the seeds: streams of frames, garbage, false and oversize headers, in several piece
// sizes, with and without refused packages and new streams; then the corpus.
int main(int argc, char** argv)
{
    std::vector<std::vector<uint8_t>> streams(6);
    appendFrame(streams[0], 0, 34, 1);
    appendFrame(streams[0], 100, 134, 2);
    streams[1] = {'x', 'Z', 'Q', 'M', 'W', 'Z', 'Q', 'M'};
    appendFrame(streams[1], 40000, 40034, 3);
    appendFrame(streams[2], 0xFFFFFFFFu, 0x21u, 4);
    appendFrame(streams[2], 5, 39, 5);
    appendFrame(streams[3], DDS_MAX_FRAME_PAYLOAD, DDS_MAX_FRAME_PAYLOAD + 34, 6);
    appendFrame(streams[3], 10, 44, 7);
    streams[4].assign(TCP_STREAM_BUF_SIZE + 77, 'a');
    appendFrame(streams[4], 3, 37, 8);
    appendFrame(streams[5], 70000, 70034, 9);
    streams[5].resize(streams[5].size() / 2);
    appendFrame(streams[5], 1, 35, 10);

    std::vector<zqfuzz::Seed> inputs;
    std::vector<zqfuzz::Seed> seeds; // the short ones go into the corpus
    for (const auto& stream : streams) {
        for (uint8_t pieceByte : {0, 1, 16, 255}) {
            for (uint8_t control : {0, 1, 3, 0x08, 0x29}) {
                std::vector<uint8_t> input(stream.size() + 3);
                input[0] = pieceByte;
                input[1] = control;
                input[2] = 0;
                std::memcpy(input.data() + 3, stream.data(), stream.size());
                if (input.size() < 8192 && (pieceByte == 16 || control == 0x29)) {
                    seeds.push_back(input);
                }
                inputs.push_back(std::move(input));
            }
        }
    }
    // Built: garbage length, garbage, payload length (three bytes), per frame.
    seeds.push_back({0, 0, 1, 3, 'a', 'b', 'c', 100, 0, 0, 0, 0, 0, 0, 5, 0, 1, 2, 0x70, 0x11, 1});
    seeds.push_back({16, 0x09, 1, 0, 0xFF, 0x7F, 0, 10, 'Q', 'M', 'W', 'Z', 'Q', 'M', 'W', 'x', 'y', 'z', 1, 0, 0});
    seeds.push_back({255, 0, 1, 0, 0x10, 0x27, 0, 0, 0x10, 0x27, 0, 0, 0x10, 0x27, 0});
    inputs.insert(inputs.end(), seeds.end() - 3, seeds.end());
    return zqfuzz::seedMain(argc, argv, seeds, [&inputs](const std::vector<zqfuzz::Seed>&) {
        for (const auto& input : inputs) {
            LLVMFuzzerTestOneInput(input.data(), input.size());
        }
        return static_cast<long>(inputs.size());
    });
}
#endif
