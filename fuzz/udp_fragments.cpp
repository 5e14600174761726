// Fuzzes the reassembly of both socket media (UDP fragments of 1438 payload bytes, Unix-socket
// fragments of 65502). First input byte: bit 0 chooses the medium, bit 1 the input's meaning.
//
// Raw: a sequence of datagrams, each a 17-bit length (three bytes) then that many bytes. Every
// delivered frame is whole: a header, then exactly the payload its header announces.
// Built: frames the sender cuts itself (buildFragments), each fragment then delivered, dropped,
// repeated, swapped with the next or preceded by garbage, as the input says. Every delivered frame
// is one of the frames sent, byte for byte; with nothing disturbed, every frame arrives, in order.
// Either way no package is left out of the pool at the end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/transport/datagram/fragment_layout.h"
#include "core/transport/datagram/fragment_reassembler.h"
#include "core/transport/media/udp_sender.h"
#include "core/transport/media/unix_socket_sender.h"
#include "core/transport/receiver.h"
#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"
#include "support/fragment_builder.h"

namespace {

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

using Bytes = std::vector<uint8_t>;

// Checks each frame as it is published, keeps a copy, then gives it back.
class CheckingSink : public IFramePkgSink {
public:
    explicit CheckingSink(CDataManager* manager) : m_inner(manager), m_pManager(manager) {}
    DataPackage_t* getFramePkg(int size) override { return m_inner.getFramePkg(size); }
    void discardFramePkg(DataPackage_t* pkg) override { m_inner.discardFramePkg(pkg); }
    void publishFramePkg(DataPackage_t* pkg) override
    {
        const DDSHeader_t header = readDdsHeader(pkgData(pkg));
        const uint32_t total = header.m_u32TotalLen;
        check(pkg->m_iLen >= static_cast<int>(DDS_HEADER_SIZE) && pkg->m_iLen <= pkg->m_iSize);
        check(static_cast<uint32_t>(pkg->m_iLen) - DDS_HEADER_SIZE == total);
        m_delivered.emplace_back(pkgData(pkg), pkgData(pkg) + pkg->m_iLen);
        m_pManager->referDataPkg(pkg);
        m_pManager->putEmptyDataPkg(pkg);
    }

    std::vector<Bytes> m_delivered;

private:
    CDataManagerSink m_inner;
    CDataManager* m_pManager;
};

CNormalMemPool* pool()
{
    static CNormalMemPool* p = [] {
        auto* created = new CNormalMemPool();
        MemConfig_t cfg{};
        cfg.m_iKey = -1;
        cfg.m_u32MaxPoolSize = 0x4000000;
        cfg.m_stGroup[0] = MemGroup_t{0, 65536, 4};
        cfg.m_stGroup[1] = MemGroup_t{1, 320 * 1024, 2};
        cfg.m_iGroupCount = 2;
        created->init(cfg);
        return created;
    }();
    return p;
}

// Bytes that repeat only after 251, enough for any frame of the built input.
const Bytes& pattern()
{
    static const Bytes bytes = [] {
        Bytes b(5 * UNIX_SOCKET_FRAG_PAYLOAD + 16 * 37);
        for (size_t i = 0; i < b.size(); ++i) {
            b[i] = static_cast<uint8_t>(i % 251);
        }
        return b;
    }();
    return bytes;
}

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool done() const { return m_at >= m_size; }
    uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    size_t left() const { return m_size - m_at; }
    const uint8_t* take(size_t n)
    {
        const uint8_t* at = m_data + m_at;
        m_at += n;
        return at;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at{0};
};

// As the receive thread filters, then into the reassembler, in a buffer of exactly its size.
void deliver(CFragmentReassembler& reassembler, const uint8_t* d, size_t len)
{
    Bytes datagram(d, d + len);
    if (datagram.size() > DDS_HEADER_SIZE) {
        reassembler.onDatagram(datagram.data(), datagram.size());
    }
}

void raw(Reader& in, CFragmentReassembler& reassembler)
{
    while (in.left() >= 3) {
        size_t len = in.byte();
        len |= static_cast<size_t>(in.byte()) << 8;
        len |= static_cast<size_t>(in.byte() & 1) << 16;
        len = std::min(len, in.left());
        deliver(reassembler, in.take(len), len);
    }
}

void built(Reader& in, CFragmentReassembler& reassembler, uint32_t fragPayload, CheckingSink& sink)
{
    std::vector<Bytes> frames;
    bool disturbed = false;
    Bytes scratch;
    while (!in.done() && frames.size() < 16) {
        // Up to five fragments of this medium; an empty frame is never sent.
        uint32_t payload = in.byte() | static_cast<uint32_t>(in.byte()) << 8;
        payload = 1 + (payload | static_cast<uint32_t>(in.byte() & 7) << 16) % (5 * fragPayload);
        Bytes pkg(DDS_HEADER_SIZE + payload);
        DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
        header.m_u64TimeStamp = 1000 + frames.size();
        header.m_u32DataLen = payload;
        writeDdsHeader(pkg.data(), header);
        // Each frame its own bytes: the pattern from its own place.
        std::memcpy(pkg.data() + DDS_HEADER_SIZE, pattern().data() + frames.size() * 37, payload);
        scratch.resize(fragmentScratchSize(payload, fragPayload));
        DatagramList_t list;
        check(buildFragments(pkg.data(), pkg.size(), fragPayload, scratch.data(), scratch.size(), list));
        for (size_t i = 0; i < list.size(); ++i) {
            const uint8_t action = in.byte();
            switch (action % 8) {
            case 1: // dropped
                disturbed = true;
                break;
            case 2: // repeated
                disturbed = true;
                deliver(reassembler, list[i].first, static_cast<size_t>(list[i].second));
                deliver(reassembler, list[i].first, static_cast<size_t>(list[i].second));
                break;
            case 3: // swapped with the next one
                disturbed = true;
                if (i + 1 < list.size()) {
                    deliver(reassembler, list[i + 1].first, static_cast<size_t>(list[i + 1].second));
                }
                deliver(reassembler, list[i].first, static_cast<size_t>(list[i].second));
                ++i;
                break;
            case 4: { // garbage first, never a fragment: no magic
                disturbed = true;
                size_t len = std::min<size_t>(in.byte() + 35, in.left());
                Bytes junk(in.take(len), in.take(0));
                if (!junk.empty()) {
                    junk[0] = 'z';
                }
                deliver(reassembler, junk.data(), junk.size());
                deliver(reassembler, list[i].first, static_cast<size_t>(list[i].second));
                break;
            }
            default:
                deliver(reassembler, list[i].first, static_cast<size_t>(list[i].second));
                break;
            }
        }
        frames.push_back(pkg);
    }
    for (const Bytes& got : sink.m_delivered) {
        const DDSHeader_t header = readDdsHeader(got.data());
        const uint64_t k = header.m_u64TimeStamp - 1000;
        check(k < frames.size());
        const Bytes& sent = frames[k];
        check(got.size() == sent.size());
        check(std::memcmp(got.data() + DDS_HEADER_SIZE, sent.data() + DDS_HEADER_SIZE, got.size() - DDS_HEADER_SIZE) ==
              0);
    }
    if (!disturbed) {
        check(sink.m_delivered.size() == frames.size());
        for (size_t k = 0; k < frames.size(); ++k) {
            check(readDdsHeader(sink.m_delivered[k].data()).m_u64TimeStamp == 1000 + k);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in(data, size);
    const uint8_t mode = in.byte();
    const bool unix = (mode & 1) != 0;
    const uint32_t fragPayload = unix ? UNIX_SOCKET_FRAG_PAYLOAD : UDP_FRAG_PAYLOAD;
    CDataManager manager;
    manager.setMemPool(pool());
    CheckingSink sink(&manager);
    std::atomic<uint64_t> lost{0};
    {
        CFragmentReassembler reassembler(fragPayload, unix ? REASSEMBLY_STYLE_UNIX : REASSEMBLY_STYLE_UDP, "s5_fuzz",
                                         &sink, &lost);
        if ((mode & 2) == 0) {
            raw(in, reassembler);
        } else {
            built(in, reassembler, fragPayload, sink);
        }
    }
    check(pool()->getUsedSize() == 0);
    return 0;
}

#ifndef ZQ_LIBFUZZER
#include "seeds.h"

namespace {

void append(zqfuzz::Seed& input, const uint8_t* d, size_t len)
{
    input.push_back(static_cast<uint8_t>(len & 0xFF));
    input.push_back(static_cast<uint8_t>((len >> 8) & 0xFF));
    input.push_back(static_cast<uint8_t>(len >> 16));
    input.insert(input.end(), d, d + len);
}

} // namespace

// Without libFuzzer: raw fragments of a few frames of both media, in order, with each fragment
// dropped, repeated, cut short or changed in one header byte; built streams; then the corpus.
int main(int argc, char** argv)
{
    std::vector<zqfuzz::Seed> seeds;
    std::vector<zqfuzz::Seed> variants;
    for (uint8_t mode : {0, 1}) {
        const uint32_t frag = mode == 1 ? UNIX_SOCKET_FRAG_PAYLOAD : UDP_FRAG_PAYLOAD;
        for (uint32_t payload : {1u, frag, frag + 1, 3 * frag + 5}) {
            Bytes pkg(DDS_HEADER_SIZE + payload, 0x5A);
            DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
            header.m_u64TimeStamp = 77;
            header.m_u32DataLen = payload;
            writeDdsHeader(pkg.data(), header);
            Bytes scratch(fragmentScratchSize(payload, frag));
            DatagramList_t list;
            buildFragments(pkg.data(), pkg.size(), frag, scratch.data(), scratch.size(), list);
            zqfuzz::Seed whole{mode};
            for (const auto& d : list) {
                append(whole, d.first, static_cast<size_t>(d.second));
            }
            if (payload < 70000) {
                seeds.push_back(whole); // small enough to keep in the corpus
            }
            variants.push_back(whole);
            for (size_t k = 0; k < list.size(); ++k) {
                zqfuzz::Seed dropped{mode};
                zqfuzz::Seed repeated{mode};
                zqfuzz::Seed cut{mode};
                for (size_t i = 0; i < list.size(); ++i) {
                    const auto& d = list[i];
                    if (i != k) {
                        append(dropped, d.first, static_cast<size_t>(d.second));
                    }
                    append(repeated, d.first, static_cast<size_t>(d.second));
                    if (i == k) {
                        append(repeated, d.first, static_cast<size_t>(d.second));
                    }
                    append(cut, d.first, i == k ? static_cast<size_t>(d.second) / 2 : static_cast<size_t>(d.second));
                }
                variants.push_back(dropped);
                variants.push_back(repeated);
                variants.push_back(cut);
                for (size_t at = 0; at < DDS_HEADER_SIZE; ++at) {
                    zqfuzz::Seed changed{mode};
                    for (size_t i = 0; i < list.size(); ++i) {
                        Bytes d(list[i].first, list[i].first + list[i].second);
                        if (i == k) {
                            d[at] ^= 0x81;
                        }
                        append(changed, d.data(), d.size());
                    }
                    variants.push_back(changed);
                }
            }
        }
    }
    // Built: per frame a payload length, then one action per fragment.
    seeds.push_back({2, 10, 0, 0, 0, 0x9E, 0x05, 0, 0, 0, 0xA0, 0x0F, 0, 0, 1, 2, 0});
    seeds.push_back({3, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 3, 3, 0, 4, 10, 1, 2, 3, 0, 0});
    seeds.push_back({2, 0x9F, 0x05, 0, 2, 0, 0x9F, 0x05, 0, 3, 0, 0x9F, 0x05, 0, 4, 3, 'a', 'b', 'c', 0});
    variants.insert(variants.end(), seeds.begin(), seeds.end());
    return zqfuzz::seedMain(argc, argv, seeds, [&variants](const std::vector<zqfuzz::Seed>&) {
        for (const auto& input : variants) {
            zqfuzz::Seed exact(input);
            LLVMFuzzerTestOneInput(exact.data(), exact.size());
        }
        return static_cast<long>(variants.size());
    });
}
#endif
