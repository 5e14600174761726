#include "memory/normal_mem_pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "utils/dds_common.h"

CNormalMemPool::CNormalMemPool() : CMemPool(false) {}

CNormalMemPool::~CNormalMemPool()
{
    std::lock_guard<std::mutex> lock(m_mtxPool);
    for (auto& entry : m_mapGroups) {
        while (MemChunk_t* chunk = entry.second->getChunk()) {
            m_u32AllocSize.fetch_sub(static_cast<uint32_t>(chunk->m_stPkg.m_iSize), std::memory_order_relaxed);
            freeChunk(chunk);
        }
    }
    std::fill(std::begin(m_arrGroups), std::end(m_arrGroups), nullptr);
    m_mapGroups.clear();
}

bool CNormalMemPool::init(const MemConfig_t& cfg)
{
    return initMemPool(cfg);
}

void CNormalMemPool::freeChunk(MemChunk_t* chunk)
{
    pthread_mutex_destroy(&chunk->m_mutex);
    chunk->~MemChunk_t();
    free(chunk);
}

namespace {

// A reclaimed chunk is chained through its data area until it is freed: every chunk has room for
// a pointer there, since MEM_CHUNK_OVERHEAD leaves 32 spare bytes after the data.
MemChunk_t* nextReclaimed(MemChunk_t* chunk)
{
    MemChunk_t* next = nullptr;
    // The pointer's own bytes are what is stored.
    std::memcpy(&next, pkgData(&chunk->m_stPkg), sizeof(next)); // NOLINT(bugprone-sizeof-expression)
    return next;
}

void chainReclaimed(MemChunk_t* chunk, MemChunk_t* next)
{
    std::memcpy(pkgData(&chunk->m_stPkg), &next, sizeof(next)); // NOLINT(bugprone-sizeof-expression)
}

} // namespace

void CNormalMemPool::freeChunks(MemChunk_t* chain)
{
    while (chain != nullptr) {
        MemChunk_t* next = nextReclaimed(chain);
        freeChunk(chain);
        chain = next;
    }
}

MemChunk_t* CNormalMemPool::reclaimMem()
{
    MemChunk_t* chain = nullptr;
    int count = m_stMemConfig.m_iGroupCount;
    for (int i = count / 2; i < count; ++i) {
        CMemGroupMan* grp = findGroup(m_stMemConfig.m_stGroup[i].m_iGrpId);
        if (grp == nullptr) {
            continue;
        }
        while (MemChunk_t* chunk = grp->getChunk()) {
            m_u32AllocSize.fetch_sub(static_cast<uint32_t>(chunk->m_stPkg.m_iSize), std::memory_order_relaxed);
            chainReclaimed(chunk, chain);
            chain = chunk;
        }
    }
    return chain;
}

MemChunk_t* CNormalMemPool::getMemChunk(int size)
{
    if (size < 0 || size > MEM_MAX_CHUNK_SIZE) {
        DDS_RED("Error: invalid mem chunk size %d!", size);
        return nullptr;
    }
    // The budget is soft: it makes us reclaim and warn, never refuse. Summed in 64 bits so that a
    // large request cannot wrap past the check. Only the check and the taking off the lists hold
    // m_mtxPool; the lines are printed and the chunks freed after it, so that other requests wait
    // neither on the terminal nor on the allocator. A request under the budget needs no lock:
    // the counter is atomic, and a chunk is allocated after the check in either case.
    struct Counters {
        uint32_t alloc;
        uint32_t used;
    } before{}, after{};
    bool over = false;
    bool stillOver = false;
    MemChunk_t* reclaimed = nullptr;
    if (static_cast<uint64_t>(size) + getAllocSize() > m_u32MaxPoolSize) {
        std::lock_guard<std::mutex> lock(m_mtxPool);
        if (static_cast<uint64_t>(size) + getAllocSize() > m_u32MaxPoolSize) {
            over = true;
            before = {getAllocSize(), getUsedSize()};
            reclaimed = reclaimMem();
            after = {getAllocSize(), getUsedSize()};
            stillOver = static_cast<uint64_t>(size) + after.alloc > m_u32MaxPoolSize;
        }
    }
    if (over) {
        DDS_GREEN_LIMITED("WARN: MemPool is not enough! m_u32MaxPoolSize:%u, m_u32AllocSize:%u, m_u32UsedSize:%u, "
                          "NeedAlloc:%d",
                          m_u32MaxPoolSize, before.alloc, before.used, size);
        if (stillOver) {
            DDS_GREEN_LIMITED("WARN: MemPool is still not enough! m_u32MaxPoolSize:%u, m_u32AllocSize:%u, "
                              "m_u32UsedSize:%u, NeedAlloc:%d",
                              m_u32MaxPoolSize, after.alloc, after.used, size);
        }
        freeChunks(reclaimed);
    }

    int capacity = size;
    int grpId = INVALID_GRP_ID;
    MemChunk_t* chunk = nullptr;
    if (CMemGroupMan* grp = matchGroup(size)) {
        grpId = grp->getGrpId();
        capacity = grp->getMemSize();
        chunk = grp->getChunk();
    }
    if (chunk == nullptr) {
        void* mem = malloc(static_cast<size_t>(capacity) + MEM_CHUNK_OVERHEAD);
        if (mem == nullptr) {
            return nullptr;
        }
        chunk = static_cast<MemChunk_t*>(mem);
        initMemChunk(chunk, false, grpId, -1, capacity);
        m_u32AllocSize.fetch_add(static_cast<uint32_t>(capacity), std::memory_order_relaxed);
    }
    m_u32UsedSize.fetch_add(static_cast<uint32_t>(chunk->m_stPkg.m_iSize), std::memory_order_relaxed);
    return chunk;
}

bool CNormalMemPool::releaseMemChunk(MemChunk_t* chunk)
{
    if (chunk == nullptr) {
        return false;
    }
    if (chunk->m_stPkg.m_bShm) {
        DDS_RED("Error: shared memory chunk given to a heap pool!");
        return false;
    }
    uint32_t size = static_cast<uint32_t>(chunk->m_stPkg.m_iSize);
    if (chunk->m_iGrpId != INVALID_GRP_ID) {
        CMemGroupMan* grp = findGroup(chunk->m_iGrpId);
        if (grp == nullptr) {
            DDS_GREEN_LIMITED("ERROR: Can't find group %d", chunk->m_iGrpId);
        } else if (grp->getMemSize() == chunk->m_stPkg.m_iSize && grp->putChunk(chunk)) {
            m_u32UsedSize.fetch_sub(size, std::memory_order_relaxed);
            return false;
        }
    }
    m_u32AllocSize.fetch_sub(size, std::memory_order_relaxed);
    m_u32UsedSize.fetch_sub(size, std::memory_order_relaxed);
    freeChunk(chunk);
    return true;
}
