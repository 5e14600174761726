#include "memory/shm_layout.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

static_assert(sizeof(size_t) >= sizeof(uint64_t), "segment sizes are 64-bit");

bool shmGroupInBounds(const MemGroup_t& grp)
{
    return grp.m_iChunkSize >= 0 && grp.m_iChunkCount >= 0 && grp.m_iChunkSize % SHM_CHUNK_ALIGN == 0;
}

namespace {

// Bytes of a frame header: no package in use holds less.
constexpr int SHM_PKG_MIN_LEN = 34;

} // namespace

bool shmPkgLengthsFit(int len, int size, int capacity)
{
    return len >= SHM_PKG_MIN_LEN && len <= size && size <= capacity;
}

bool shmLayoutTotals(const MemPoolLayout_t& layout, uint64_t* size, uint64_t* pkgs)
{
    if (layout.m_iGroupCount < 0 || layout.m_iGroupCount > MEM_MAX_GROUPS) {
        return false;
    }
    uint64_t total = 0;
    uint64_t packages = 0;
    for (int g = 0; g < layout.m_iGroupCount; ++g) {
        const MemGroup_t& grp = layout.m_stGroup[g];
        if (!shmGroupInBounds(grp)) {
            return false;
        }
        uint64_t stride = static_cast<uint64_t>(grp.m_iChunkSize) + MEM_CHUNK_OVERHEAD;
        uint64_t bytes = 0;
        if (__builtin_mul_overflow(stride, static_cast<uint64_t>(grp.m_iChunkCount), &bytes) ||
            __builtin_add_overflow(total, bytes, &total)) {
            return false;
        }
        packages += static_cast<uint64_t>(grp.m_iChunkCount);
    }
    *size = total;
    *pkgs = packages;
    return true;
}

bool shmLayoutSize(const MemPoolLayout_t& layout, uint64_t* size, int* count)
{
    uint64_t total = 0;
    uint64_t packages = 0;
    if (!shmLayoutTotals(layout, &total, &packages) || packages > static_cast<uint64_t>(INT_MAX)) {
        return false;
    }
    *size = total;
    *count = static_cast<int>(packages);
    return true;
}

namespace {

std::atomic<uint64_t> s_u64Walks{0};

// The walk itself, for a layout shmLayoutSize accepted: every package in walk order.
template <typename Fn> void walkSlots(const MemPoolLayout_t& layout, Fn&& fn)
{
    s_u64Walks.fetch_add(1, std::memory_order_relaxed);
    uint64_t offset = 0;
    for (int g = 0; g < layout.m_iGroupCount; ++g) {
        const MemGroup_t& grp = layout.m_stGroup[g];
        uint64_t stride = static_cast<uint64_t>(grp.m_iChunkSize) + MEM_CHUNK_OVERHEAD;
        for (int c = 0; c < grp.m_iChunkCount; ++c) {
            if (!fn(ShmPkgSlot_t{offset + MEM_CHUNK_PKG_OFFSET, grp.m_iChunkSize, g})) {
                return;
            }
            offset += stride;
        }
    }
}

} // namespace

uint64_t shmLayoutWalks()
{
    return s_u64Walks.load(std::memory_order_relaxed);
}

bool shmLayoutSlots(const MemPoolLayout_t& layout, std::vector<ShmPkgSlot_t>* slots)
{
    slots->clear();
    uint64_t size = 0;
    int count = 0;
    if (!shmLayoutSize(layout, &size, &count)) {
        return false;
    }
    slots->reserve(static_cast<size_t>(count));
    walkSlots(layout, [slots](const ShmPkgSlot_t& slot) {
        slots->push_back(slot);
        return true;
    });
    return true;
}

bool shmWalkLayout(const uint8_t* base, size_t len, const MemPoolLayout_t& layout, std::vector<ShmPkgSlot_t>* slots)
{
    slots->clear();
    uint64_t size = 0;
    int count = 0;
    // Checked against the bytes there are before anything is allocated for the table.
    if (!shmLayoutSize(layout, &size, &count) || size > len) {
        return false;
    }
    if (count > 0 && base == nullptr) {
        return false;
    }
    slots->assign(static_cast<size_t>(count), ShmPkgSlot_t{0, -1, -1});
    bool ok = true;
    walkSlots(layout, [&](const ShmPkgSlot_t& slot) {
        int32_t id = 0;
        // Another process may write the segment at any time: read the number once.
        std::memcpy(&id, base + slot.m_u64Offset + offsetof(DataPackage_t, m_iPkgId), sizeof(id));
        ok = id >= 1 && id <= count && (*slots)[static_cast<size_t>(id - 1)].m_iCapacity < 0;
        if (ok) {
            (*slots)[static_cast<size_t>(id - 1)] = slot;
        }
        return ok;
    });
    if (!ok) {
        slots->clear();
    }
    return ok;
}

void CShmPkgTable::build(uint8_t* base, std::vector<ShmPkgSlot_t> slots)
{
    m_pBase = base;
    m_vecSlots = std::move(slots);
    m_vecByOffset.clear();
    m_vecByOffset.reserve(m_vecSlots.size());
    for (size_t i = 0; i < m_vecSlots.size(); ++i) {
        m_vecByOffset.emplace_back(m_vecSlots[i].m_u64Offset, static_cast<int>(i + 1));
    }
    std::sort(m_vecByOffset.begin(), m_vecByOffset.end());
    m_u64LastOffset = m_vecByOffset.empty() ? 0 : m_vecByOffset.back().first;
}

void CShmPkgTable::clear()
{
    m_pBase = nullptr;
    m_vecSlots.clear();
    m_vecByOffset.clear();
    m_u64LastOffset = 0;
}

std::atomic<uint64_t> CShmPkgTable::s_u64Searches{0};
std::atomic<uint64_t> CShmPkgTable::s_u64Lookups{0};
std::atomic<bool> CShmPkgTable::s_bCountLookups{false};

int CShmPkgTable::idOf(const void* p) const
{
    // Only read while nobody counts: the line stays shared between the threads.
    if (s_bCountLookups.load(std::memory_order_relaxed)) {
        s_u64Lookups.fetch_add(1, std::memory_order_relaxed);
    }
    const auto at = reinterpret_cast<uintptr_t>(p);
    const auto base = reinterpret_cast<uintptr_t>(m_pBase);
    if (m_pBase == nullptr || at < base || at - base > m_u64LastOffset) {
        return -1;
    }
    const auto offset = static_cast<uint64_t>(at - base);
    // The number the writer put into the header is only a hint: any process may have written it
    // since, so it counts only when this table puts that package at this very address.
    // Atomic: the writer's restore of the numbering stores it while other threads look. An address
    // not aligned as a package is searched for, never read as one.
    if (at % alignof(DataPackage_t) == 0) {
        const int32_t hint = __atomic_load_n(&static_cast<const DataPackage_t*>(p)->m_iPkgId, __ATOMIC_RELAXED);
        if (has(hint) && m_vecSlots[static_cast<size_t>(hint - 1)].m_u64Offset == offset) {
            return hint;
        }
    }
    s_u64Searches.fetch_add(1, std::memory_order_relaxed);
    auto it = std::lower_bound(m_vecByOffset.begin(), m_vecByOffset.end(), std::make_pair(offset, 0));
    return (it != m_vecByOffset.end() && it->first == offset) ? it->second : -1;
}
