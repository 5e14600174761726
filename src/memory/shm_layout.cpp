#include "memory/shm_layout.h"

#include <climits>
#include <cstring>

bool shmLayoutSize(const MemPoolLayout_t& layout, uint64_t* size, int* count)
{
    if (layout.m_iGroupCount < 0 || layout.m_iGroupCount > MEM_MAX_GROUPS) {
        return false;
    }
    uint64_t total = 0;
    uint64_t packages = 0;
    for (int g = 0; g < layout.m_iGroupCount; ++g) {
        const MemGroup_t& grp = layout.m_stGroup[g];
        // Chunks must stay 8-aligned, as the writer's pool lays them out, or the package
        // records would be read misaligned.
        if (grp.m_iChunkSize < 0 || grp.m_iChunkCount < 0 || grp.m_iChunkSize % 8 != 0) {
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
    if (packages > static_cast<uint64_t>(INT_MAX)) {
        return false;
    }
    *size = total;
    *count = static_cast<int>(packages);
    return true;
}

bool shmWalkLayout(const uint8_t* base, size_t len, const MemPoolLayout_t& layout, std::vector<ShmPkgSlot_t>* slots)
{
    slots->clear();
    uint64_t size = 0;
    int count = 0;
    if (!shmLayoutSize(layout, &size, &count) || size > len) {
        return false;
    }
    if (count > 0 && base == nullptr) {
        return false;
    }
    slots->assign(static_cast<size_t>(count), ShmPkgSlot_t{0, -1});
    uint64_t offset = 0;
    for (int g = 0; g < layout.m_iGroupCount; ++g) {
        const MemGroup_t& grp = layout.m_stGroup[g];
        uint64_t stride = static_cast<uint64_t>(grp.m_iChunkSize) + MEM_CHUNK_OVERHEAD;
        for (int c = 0; c < grp.m_iChunkCount; ++c) {
            uint64_t pkgOffset = offset + MEM_CHUNK_PKG_OFFSET;
            int32_t id = 0;
            // Another process may write the segment at any time: read the number once.
            std::memcpy(&id, base + pkgOffset + offsetof(DataPackage_t, m_iPkgId), sizeof(id));
            if (id < 1 || id > count || (*slots)[static_cast<size_t>(id - 1)].m_iCapacity >= 0) {
                slots->clear();
                return false;
            }
            (*slots)[static_cast<size_t>(id - 1)] = ShmPkgSlot_t{pkgOffset, grp.m_iChunkSize};
            offset += stride;
        }
    }
    return true;
}
