// Fuzzes the UDP medium's reassembly: the input is a sequence of datagrams, each a 16-bit length
// then that many bytes. Whatever arrives, every delivered frame is whole (header, then exactly the
// payload its header announces) and no package is left behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/transport/receiver.h"
#include "core/transport/sender.h"
#include "core/transport/udp_sender.h"
#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"

namespace {

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

// Checks each frame as it is published, then gives it back.
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
        m_pManager->referDataPkg(pkg);
        m_pManager->putEmptyDataPkg(pkg);
    }

private:
    CDataManagerSink m_inner;
    CDataManager* m_pManager;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static CNormalMemPool* pool = [] {
        auto* p = new CNormalMemPool();
        MemConfig_t cfg{};
        cfg.m_iKey = -1;
        cfg.m_u32MaxPoolSize = 0x4000000;
        cfg.m_stGroup[0] = MemGroup_t{0, 65536, 8};
        cfg.m_iGroupCount = 1;
        p->init(cfg);
        return p;
    }();
    CDataManager manager;
    manager.setMemPool(pool);
    CheckingSink sink(&manager);
    std::atomic<uint64_t> lost{0};
    {
        CFragmentReassembler reassembler(UDP_FRAG_PAYLOAD, REASSEMBLY_STYLE_UDP, "h10_fuzz", &sink, &lost);
        size_t at = 0;
        while (at + 2 <= size) {
            size_t len = static_cast<size_t>(data[at]) | (static_cast<size_t>(data[at + 1]) << 8);
            at += 2;
            len = len < size - at ? len : size - at;
            std::vector<uint8_t> datagram(data + at, data + at + len); // exactly its size
            at += len;
            if (datagram.size() > DDS_HEADER_SIZE) { // as the receive thread filters
                reassembler.onDatagram(datagram.data(), datagram.size());
            }
        }
    }
    check(pool->getUsedSize() == 0);
    return 0;
}

#ifndef ZQ_LIBFUZZER
namespace {

void append(std::vector<uint8_t>& input, const uint8_t* d, size_t len)
{
    input.push_back(static_cast<uint8_t>(len & 0xFF));
    input.push_back(static_cast<uint8_t>(len >> 8));
    input.insert(input.end(), d, d + len);
}

} // namespace

// Without libFuzzer: the fragments of a few frames, in order, with each fragment dropped,
// repeated, cut short or changed in one header byte.
int main()
{
    size_t runs = 0;
    for (uint32_t payload : {1u, 1438u, 1439u, 5000u}) {
        std::vector<uint8_t> pkg(DDS_HEADER_SIZE + payload, 0x5A);
        DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
        header.m_u64TimeStamp = 77;
        header.m_u32DataLen = payload;
        writeDdsHeader(pkg.data(), header);
        std::vector<uint8_t> scratch(fragmentScratchSize(payload, UDP_FRAG_PAYLOAD));
        DatagramList_t list;
        buildFragments(pkg.data(), pkg.size(), UDP_FRAG_PAYLOAD, scratch.data(), scratch.size(), list);
        auto run = [&runs](const std::vector<uint8_t>& input) {
            LLVMFuzzerTestOneInput(input.data(), input.size());
            ++runs;
        };
        std::vector<uint8_t> whole;
        for (const auto& d : list) {
            append(whole, d.first, static_cast<size_t>(d.second));
        }
        run(whole);
        for (size_t k = 0; k < list.size(); ++k) {
            std::vector<uint8_t> dropped;
            std::vector<uint8_t> repeated;
            std::vector<uint8_t> cut;
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
            run(dropped);
            run(repeated);
            run(cut);
            for (size_t at = 0; at < DDS_HEADER_SIZE; ++at) {
                std::vector<uint8_t> changed;
                for (size_t i = 0; i < list.size(); ++i) {
                    std::vector<uint8_t> d(list[i].first, list[i].first + list[i].second);
                    if (i == k) {
                        d[at] ^= 0x81;
                    }
                    append(changed, d.data(), d.size());
                }
                run(changed);
            }
        }
    }
    std::printf("replayed %zu inputs\n", runs);
    return 0;
}
#endif
