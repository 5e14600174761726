// Fuzzes what the reading side of shared-memory transfer believes of bytes another process wrote:
// a pool layout from the acknowledgement with the segment it describes, and a notification ring.
//
// First input byte: bit 0 makes the layout and the segment raw input bytes, or built (a layout of
// aligned groups, the packages numbered 1..N in an order the input gives, as a creator numbers
// them); bit 1 starts the ring from the input's bytes or fresh. Then the ring operations: take,
// put, or a write of any field by the peer.
//
// Invariants: an accepted walk maps every number 1..N to exactly one package, each chunk inside
// the segment and apart from the others; a package whose lengths pass is read inside its chunk; a
// built layout over a big enough segment is always accepted; ring indices stay in their slots
// and, while the peer writes nothing, ids come out as they went in.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <set>
#include <vector>

#include "memory/shm_layout.h"
#include "memory/shm_queue.h"

namespace {

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool done() const { return m_at >= m_size; }
    uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    int32_t int32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<uint32_t>(byte()) << (8 * i);
        }
        return static_cast<int32_t>(v);
    }
    void bytes(void* out, size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            static_cast<uint8_t*>(out)[i] = byte();
        }
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at{0};
};

constexpr size_t MAX_SEGMENT = 1 << 16;

void putInt(std::vector<uint8_t>& seg, uint64_t at, int32_t value)
{
    std::memcpy(seg.data() + at, &value, sizeof(value));
}

int32_t getInt(const std::vector<uint8_t>& seg, uint64_t at)
{
    int32_t value = 0;
    std::memcpy(&value, seg.data() + at, sizeof(value));
    return value;
}

// The walk and each package's lengths; the table the client would build.
std::vector<ShmPkgSlot_t> layoutPart(Reader& in, bool built)
{
    MemPoolLayout_t layout;
    std::memset(&layout, 0, sizeof(layout));
    std::vector<uint8_t> segment;
    if (!built) {
        in.bytes(&layout, sizeof(layout));
        size_t len = (in.byte() | static_cast<size_t>(in.byte()) << 8) % (MAX_SEGMENT + 1);
        segment.resize(len);
        in.bytes(segment.data(), len);
    } else {
        layout.m_iGroupCount = in.byte() % (MEM_MAX_GROUPS + 1);
        for (int g = 0; g < layout.m_iGroupCount; ++g) {
            layout.m_stGroup[g] = MemGroup_t{g, (in.byte() % 64) * SHM_CHUNK_ALIGN, in.byte() % 6};
        }
    }
    uint64_t size = 0;
    int count = 0;
    const bool sized = shmLayoutSize(layout, &size, &count);
    // The table of the walk, for a layout that fits the bytes there can be (as the client checks
    // the size against its segment before it builds anything).
    std::vector<ShmPkgSlot_t> walk;
    if (sized && size <= MAX_SEGMENT) {
        check(shmLayoutSlots(layout, &walk));
        check(walk.size() == static_cast<size_t>(count));
    }
    if (built) {
        check(sized && size <= MAX_SEGMENT);
        segment.assign(static_cast<size_t>(size) + in.byte() % 3, 0);
        // Numbers 1..N in an order the input chooses, and package lengths from the input.
        std::vector<int32_t> ids(walk.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            ids[i] = static_cast<int32_t>(i + 1);
        }
        for (size_t i = ids.size(); i > 1; --i) {
            std::swap(ids[i - 1], ids[in.byte() % i]);
        }
        for (size_t i = 0; i < walk.size(); ++i) {
            putInt(segment, walk[i].m_u64Offset + offsetof(DataPackage_t, m_iPkgId), ids[i]);
            putInt(segment, walk[i].m_u64Offset + offsetof(DataPackage_t, m_iSize), in.int32());
            putInt(segment, walk[i].m_u64Offset + offsetof(DataPackage_t, m_iLen), in.int32());
        }
    }
    std::vector<ShmPkgSlot_t> slots;
    const bool ok = shmWalkLayout(segment.empty() ? nullptr : segment.data(), segment.size(), layout, &slots);
    if (built) {
        check(ok);
    }
    if (!ok) {
        check(slots.empty());
        return slots;
    }
    check(sized && size <= segment.size() && slots.size() == static_cast<size_t>(count));
    std::set<uint64_t> offsets;
    for (size_t i = 0; i < slots.size(); ++i) {
        const ShmPkgSlot_t& slot = slots[i];
        check(slot.m_iGroup >= 0 && slot.m_iGroup < layout.m_iGroupCount);
        check(slot.m_iCapacity == layout.m_stGroup[slot.m_iGroup].m_iChunkSize);
        check(slot.m_u64Offset >= MEM_CHUNK_PKG_OFFSET);
        const uint64_t chunk = slot.m_u64Offset - MEM_CHUNK_PKG_OFFSET;
        check(chunk % SHM_CHUNK_ALIGN == 0);
        check(chunk + static_cast<uint64_t>(slot.m_iCapacity) + MEM_CHUNK_OVERHEAD <= segment.size());
        check(getInt(segment, slot.m_u64Offset + offsetof(DataPackage_t, m_iPkgId)) == static_cast<int32_t>(i + 1));
        check(offsets.insert(chunk).second);
        const int32_t len = getInt(segment, slot.m_u64Offset + offsetof(DataPackage_t, m_iLen));
        const int32_t pkgSize = getInt(segment, slot.m_u64Offset + offsetof(DataPackage_t, m_iSize));
        if (shmPkgLengthsFit(len, pkgSize, slot.m_iCapacity)) {
            // What a reader then reads: the data area, inside its own chunk.
            const uint64_t data = chunk + MEM_CHUNK_DATA_OFFSET;
            check(data + static_cast<uint64_t>(len) <=
                  chunk + static_cast<uint64_t>(slot.m_iCapacity) + MEM_CHUNK_OVERHEAD);
            std::vector<uint8_t> copy(segment.begin() + static_cast<long>(data),
                                      segment.begin() + static_cast<long>(data + static_cast<uint64_t>(len)));
            check(copy.size() == static_cast<size_t>(len));
        }
    }
    // Chunks lie apart: sorted, each begins where the one before it ends or later.
    for (auto it = offsets.begin(); it != offsets.end(); ++it) {
        auto next = std::next(it);
        if (next != offsets.end()) {
            const ShmPkgSlot_t* owner = nullptr;
            for (const auto& s : slots) {
                if (s.m_u64Offset - MEM_CHUNK_PKG_OFFSET == *it) {
                    owner = &s;
                }
            }
            check(*it + static_cast<uint64_t>(owner->m_iCapacity) + MEM_CHUNK_OVERHEAD <= *next);
        }
    }
    return slots;
}

void ringPart(Reader& in, bool fresh, const std::vector<ShmPkgSlot_t>& slots)
{
    alignas(CShmQueque::DataQueue_t) uint8_t storage[sizeof(CShmQueque::DataQueue_t)];
    std::memset(storage, 0, sizeof(storage));
    if (!fresh) {
        in.bytes(storage, offsetof(CShmQueque::DataQueue_t, m_u64Sem));
    }
    auto* que =
        fresh ? new (storage) CShmQueque::DataQueue_t(true, true) : reinterpret_cast<CShmQueque::DataQueue_t*>(storage);
    std::deque<int> model;
    bool trusted = fresh; // the model holds while the peer has written nothing
    int nextId = 1;
    for (int op = 0; op < 256 && !in.done(); ++op) {
        const uint8_t code = in.byte();
        const int count = shmRingCount(que);
        check(count >= -1 && count <= SHM_QUEUE_CAPACITY);
        if (trusted) {
            check(count == static_cast<int>(model.size()));
        }
        switch (code % 4) {
        case 0: // the receive thread takes one
            if (count > 0) {
                int id = shmRingTake(que);
                if (trusted) {
                    check(id == model.front());
                    model.pop_front();
                }
                // The client's lookup: a number outside 1..N finds nothing.
                if (id >= 1 && static_cast<size_t>(id) <= slots.size()) {
                    check(slots[static_cast<size_t>(id - 1)].m_iCapacity >= 0);
                }
            }
            break;
        case 1: // a post
            if (count >= 0 && count < SHM_QUEUE_CAPACITY) {
                shmRingPut(que, nextId);
                if (trusted) {
                    model.push_back(nextId);
                }
                ++nextId;
            }
            break;
        default: { // the peer writes a field
            trusted = false;
            const int32_t value = in.int32();
            switch (in.byte() % 5) {
            case 0:
                que->m_iCount.store(value);
                break;
            case 1:
                que->m_iHead.store(value);
                break;
            case 2:
                que->m_iTail.store(value);
                break;
            case 3:
                que->m_iCapacity = value;
                break;
            default:
                que->m_iPkgIds[static_cast<uint32_t>(value) % SHM_QUEUE_CAPACITY] = value;
                break;
            }
            break;
        }
        }
        // Whatever the peer wrote, this side leaves its own indices inside the slots it uses.
        if (code % 4 == 0 && count > 0) {
            check(que->m_iHead.load() >= 0 && que->m_iHead.load() < SHM_QUEUE_CAPACITY);
        }
        if (code % 4 == 1 && count >= 0 && count < SHM_QUEUE_CAPACITY) {
            check(que->m_iTail.load() >= 0 && que->m_iTail.load() < SHM_QUEUE_CAPACITY);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in(data, size);
    const uint8_t mode = in.byte();
    std::vector<ShmPkgSlot_t> slots = layoutPart(in, (mode & 1) != 0);
    ringPart(in, (mode & 2) != 0, slots);
    return 0;
}

#ifndef ZQ_LIBFUZZER
#include "seeds.h"

int main(int argc, char** argv)
{
    std::vector<zqfuzz::Seed> seeds;
    // Built layouts, fresh ring: posts and takes, then peer writes.
    seeds.push_back(
        {3, 3, 8, 4, 0, 2, 64, 5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 40, 0, 0, 0, 34, 0, 0, 0, 1, 1, 0, 1, 0, 0, 0});
    seeds.push_back({1, 1, 16, 5, 2, 1, 0, 100, 0, 0, 0, 50, 0, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 1, 0});
    seeds.push_back({3, 0, 0, 1, 1, 1, 0, 0, 1, 0, 1, 0, 1, 1, 0});
    // Raw: a layout of one group of two chunks of 8 bytes over 208 bytes numbered 2, 1.
    zqfuzz::Seed raw{0};
    MemPoolLayout_t layout;
    std::memset(&layout, 0, sizeof(layout));
    layout.m_iGroupCount = 1;
    layout.m_stGroup[0] = MemGroup_t{0, 8, 2};
    raw.insert(raw.end(), reinterpret_cast<uint8_t*>(&layout), reinterpret_cast<uint8_t*>(&layout) + sizeof(layout));
    raw.push_back(208);
    raw.push_back(0);
    std::vector<uint8_t> segment(208, 0);
    putInt(segment, 48, 2);
    putInt(segment, 48 + 8, 8);
    putInt(segment, 48 + 12, 40);
    putInt(segment, 104 + 48, 1);
    raw.insert(raw.end(), segment.begin(), segment.end());
    std::vector<uint8_t> ring(48, 0);
    ring[0] = 1;
    ring[4] = 7; // a corrupt count
    raw.insert(raw.end(), ring.begin(), ring.end());
    raw.insert(raw.end(), {0, 1, 2, 0, 0, 0, 0, 0, 0, 1, 0});
    seeds.push_back(raw);
    return zqfuzz::seedMain(argc, argv, seeds, [](const std::vector<zqfuzz::Seed>& built) {
        for (const auto& seed : built) {
            zqfuzz::Seed exact(seed);
            LLVMFuzzerTestOneInput(exact.data(), exact.size());
        }
        return static_cast<long>(built.size());
    });
}
#endif
