// Fuzz target of the TCP frame parser: any byte stream, cut into any pieces and interrupted by
// new streams, must never crash, overrun or publish a frame other than a whole, valid one.
//
// The first input byte chooses the piece size, the second how often the sink has no package and
// when a new stream begins; the rest is the stream. Without libFuzzer, main replays the seeds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/transport/tcp_receiver.h"
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
        m_manager.referDataPkg(pkg);
        m_manager.putFullDataPkg(pkg);
        m_manager.releaseDataPkg(pkg);
    }

    unsigned m_refuseEvery{0};

private:
    CNormalMemPool m_pool;
    CDataManager m_manager;
    unsigned m_requests{0};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const size_t piece = 1 + static_cast<size_t>(data[0]) * 257;
    const unsigned control = data[1];
    data += 2;
    size -= 2;
    {
        FuzzSink sink;
        sink.m_refuseEvery = control & 0x7;
        const size_t resetEvery = (control >> 3) != 0 ? (control >> 3) * 1021 : 0;
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
                std::vector<uint8_t> input(stream.size() + 2);
                input[0] = pieceByte;
                input[1] = control;
                std::memcpy(input.data() + 2, stream.data(), stream.size());
                if (input.size() < 8192 && (pieceByte == 16 || control == 0x29)) {
                    seeds.push_back(input);
                }
                inputs.push_back(std::move(input));
            }
        }
    }
    return zqfuzz::seedMain(argc, argv, seeds, [&inputs](const std::vector<zqfuzz::Seed>&) {
        for (const auto& input : inputs) {
            LLVMFuzzerTestOneInput(input.data(), input.size());
        }
        return static_cast<long>(inputs.size());
    });
}
#endif
