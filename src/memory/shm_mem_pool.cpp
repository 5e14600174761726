#include "memory/shm_mem_pool.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "memory/shm_layout.h"
#include "utils/dds_common.h"
#include "utils/system_utils.h"

namespace {

MemPoolLayout_t layoutOf(const MemConfig_t& cfg)
{
    MemPoolLayout_t layout{};
    layout.m_iGroupCount = cfg.m_iGroupCount;
    std::copy(std::begin(cfg.m_stGroup), std::end(cfg.m_stGroup), layout.m_stGroup);
    return layout;
}

} // namespace

CShmMemPool::CShmMemPool() : CMemPool(true) {}

CShmMemPool::~CShmMemPool()
{
    // Readers that still have it attached keep it alive until they detach; this process's
    // attachment goes right after, with m_segment.
    if (m_iShmId >= 0) {
        CSystemUtils::removeShm(m_iShmId);
        m_iShmId = -1;
    }
}

bool CShmMemPool::checkLayout(const MemPoolLayout_t& layout, uint64_t* memSize, int* pkgCount)
{
    // The creator's own rules come first, each with its line; the segment's bounds are those of
    // every reader (shm_layout).
    if (layout.m_iGroupCount < 1 || layout.m_iGroupCount > MEM_MAX_GROUPS) {
        DDS_RED("Error: invalid share memory group count %d!", layout.m_iGroupCount);
        return false;
    }
    std::set<int> ids;
    for (int i = 0; i < layout.m_iGroupCount; ++i) {
        const MemGroup_t& grp = layout.m_stGroup[i];
        if (grp.m_iChunkSize <= 0 || grp.m_iChunkSize > MEM_MAX_CHUNK_SIZE || grp.m_iChunkCount < 1) {
            DDS_RED("Error: invalid share memory group %d, chunk size %d, chunk count %d!", grp.m_iGrpId,
                    grp.m_iChunkSize, grp.m_iChunkCount);
            return false;
        }
        // With a positive size and count, only the alignment is left to refuse.
        if (!shmGroupInBounds(grp)) {
            DDS_RED("Error: share memory chunk size %d of group %d is not a multiple of 8!", grp.m_iChunkSize,
                    grp.m_iGrpId);
            return false;
        }
        if (!ids.insert(grp.m_iGrpId).second) {
            DDS_RED("Error: duplicate share memory group id %d!", grp.m_iGrpId);
            return false;
        }
    }
    uint64_t size = 0;
    int count = 0;
    if (!shmLayoutSize(layout, &size, &count)) {
        // At most 16 x (2^31) x (2^31) bytes here: only the package count can be too large.
        uint64_t pkgs = 0;
        shmLayoutTotals(layout, &size, &pkgs);
        DDS_RED("Error: share memory pool too large! chunks: %llu, size: %llu", static_cast<unsigned long long>(pkgs),
                static_cast<unsigned long long>(size));
        return false;
    }
    if (memSize != nullptr) {
        *memSize = size;
    }
    if (pkgCount != nullptr) {
        *pkgCount = count;
    }
    return true;
}

bool CShmMemPool::init(const MemConfig_t& cfg)
{
    // Key -1 means process memory: two such topics would share, and remove, one segment.
    if (cfg.m_iKey < 0) {
        DDS_RED("Error: invalid share memory key %d!", cfg.m_iKey);
        return false;
    }
    MemPoolLayout_t layout = layoutOf(cfg);
    uint64_t memSize = 0;
    if (!checkLayout(layout, &memSize, nullptr)) {
        return false;
    }
    if (!initMemPool(cfg)) {
        return false;
    }
    m_u64MemSize = memSize;
    uint64_t capacity = 0;
    for (int i = 0; i < cfg.m_iGroupCount; ++i) {
        capacity += static_cast<uint64_t>(cfg.m_stGroup[i].m_iChunkSize) *
                    static_cast<uint64_t>(cfg.m_stGroup[i].m_iChunkCount);
    }
    // The budget is never checked here; the counters only report.
    auto cap32 = static_cast<uint32_t>(std::min<uint64_t>(capacity, UINT32_MAX));
    m_u32MaxPoolSize += cap32;
    m_u32AllocSize.fetch_add(cap32, std::memory_order_relaxed);

    for (int g = 0; g < layout.m_iGroupCount; ++g) {
        const MemGroup_t& grp = layout.m_stGroup[g];
        m_vecGroups.push_back(Group_t{grp.m_iGrpId, grp.m_iChunkSize, findGroup(grp.m_iGrpId)});
    }
    m_layout = layout;
    m_bLaidOut = true;
    return openSegment(cfg.m_iKey);
}

bool CShmMemPool::openSegment(int key)
{
    std::lock_guard<std::mutex> lock(m_mtxSegment);
    if (m_bReady.load(std::memory_order_relaxed)) {
        return true;
    }
    m_bKeyInUse = false;
    if (!m_bLaidOut || key < 0) {
        return false;
    }
    m_iKey.store(key, std::memory_order_relaxed);
    DDS_GREEN("Init share memory pool, m_iKey: %#x, size: %lu", key, static_cast<unsigned long>(m_u64MemSize));
    m_iShmId = CSystemUtils::openShm(key, 0, static_cast<unsigned long>(m_u64MemSize), &m_bKeyInUse);
    if (m_iShmId < 0) {
        m_iShmId = -1;
        if (m_bKeyInUse) {
            return false; // not a failure of this pool: its owner takes another key
        }
        DDS_RED("Error: openShm() failed! m_iKey: %#x, size: %lu", key, static_cast<unsigned long>(m_u64MemSize));
        return false;
    }
    CShmAttachment segment(CSystemUtils::attachShm(m_iShmId));
    if (!segment) {
        DDS_RED("Error: attachShm() failed! m_iKey: %#x, shmid: %d", key, m_iShmId);
        CSystemUtils::removeShm(m_iShmId);
        m_iShmId = -1;
        return false;
    }
    m_segment = std::move(segment);

    // Numbered by the walk every reader makes: package n is the n-th chunk. No chunk of the pool
    // exists before this, so nothing else reads the tables while they are made.
    std::vector<ShmPkgSlot_t> slots;
    shmLayoutSlots(m_layout, &slots);
    m_pTable->build(static_cast<uint8_t*>(m_segment.get()), std::move(slots));
    m_uPkgCount = m_pTable->count();
    m_pFree.reset(new std::atomic<bool>[m_uPkgCount]);
    m_pRefs.reset(new std::atomic<int32_t>[m_uPkgCount]);
    m_pLens.reset(new std::atomic<int32_t>[m_uPkgCount]);
    m_pFresh.reset(new std::atomic<bool>[m_uPkgCount]);
    m_bReady.store(true, std::memory_order_release);
    for (int id = 1; m_pTable->has(id); ++id) {
        const Group_t& grp = m_vecGroups[static_cast<size_t>(m_pTable->group(id))];
        MemChunk_t* chunk = chunkOf(id);
        const auto i = static_cast<size_t>(id - 1);
        initMemChunk(chunk, true, grp.m_iGrpId, id, grp.m_iChunkSize);
        m_pFree[i].store(true, std::memory_order_relaxed);
        m_pRefs[i].store(0, std::memory_order_relaxed);
        m_pLens[i].store(0, std::memory_order_relaxed);
        m_pFresh[i].store(false, std::memory_order_relaxed);
        grp.m_pMan->putChunk(chunk);
    }
    return true;
}

MemChunk_t* CShmMemPool::getMemChunk(int size)
{
    if (size < 0 || size > MEM_MAX_CHUNK_SIZE) {
        DDS_RED("Error: invalid mem chunk size %d!", size);
        return nullptr;
    }
    int grpId = matchGrpId(size);
    if (grpId == INVALID_GRP_ID) {
        DDS_GREEN_LIMITED("Cant't find group! iSize: %d", size);
        return nullptr;
    }
    // Looked up by number: any numbering of the groups works.
    CMemGroupMan* grp = findGroup(grpId);
    MemChunk_t* chunk = grp == nullptr ? nullptr : grp->getChunk();
    if (chunk == nullptr) {
        DDS_GREEN_LIMITED("Get mem chunk size %d failed!", size);
        return nullptr;
    }
    // Whatever a reader may have written into the header, the chunk leaves as its group's.
    const Group_t* group = nullptr;
    const int pkgId = pkgIdOf(chunk, &group);
    if (pkgId <= 0 || group->m_iChunkSize < size) {
        DDS_RED_LIMITED("Error: chunk %p is not in share memory pool %#x!", static_cast<void*>(chunk), getMemKey());
        // It came off this free list: losing it would shrink the group for good.
        grp->putChunk(chunk);
        return nullptr;
    }
    const auto at = static_cast<size_t>(pkgId - 1);
    m_pRefs[at].store(0, std::memory_order_relaxed);
    m_pLens[at].store(0, std::memory_order_relaxed);
    m_pFresh[at].store(true, std::memory_order_relaxed);
    m_pFree[at].store(false, std::memory_order_release);
    // Atomic stores: a new reader's restore of the numbering may write the same fields.
    __atomic_store_n(&chunk->m_iGrpId, group->m_iGrpId, __ATOMIC_RELAXED);
    __atomic_store_n(&chunk->m_stPkg.m_iPkgId, pkgId, __ATOMIC_RELAXED);
    __atomic_store_n(&chunk->m_stPkg.m_bShm, true, __ATOMIC_RELAXED);
    __atomic_store_n(&chunk->m_stPkg.m_iSize, group->m_iChunkSize, __ATOMIC_RELAXED);
    m_u32UsedSize.fetch_add(static_cast<uint32_t>(group->m_iChunkSize), std::memory_order_relaxed);
    return chunk;
}

MemChunk_t* CShmMemPool::chunkOf(int id) const
{
    return reinterpret_cast<MemChunk_t*>(reinterpret_cast<uint8_t*>(m_pTable->pkg(id)) - MEM_CHUNK_PKG_OFFSET);
}

std::shared_ptr<const CShmPkgTable> CShmMemPool::pkgTable() const
{
    return m_bReady.load(std::memory_order_acquire) ? m_pTable : nullptr;
}

int CShmMemPool::pkgIdOf(const MemChunk_t* chunk, const Group_t** group) const
{
    if (chunk == nullptr || !m_bReady.load(std::memory_order_acquire)) {
        return 0;
    }
    const int id = m_pTable->idOf(reinterpret_cast<const uint8_t*>(chunk) + MEM_CHUNK_PKG_OFFSET);
    if (id <= 0) {
        return 0;
    }
    if (group != nullptr) {
        *group = &m_vecGroups[static_cast<size_t>(m_pTable->group(id))];
    }
    return id;
}

bool CShmMemPool::ownsChunk(const MemChunk_t* chunk) const
{
    return pkgIdOf(chunk, nullptr) > 0;
}

int CShmMemPool::referNumbered(MemChunk_t* chunk)
{
    const int id = pkgIdOf(chunk, nullptr);
    if (id <= 0) {
        return -1;
    }
    referId(id);
    return id;
}

int CShmMemPool::publishNumbered(MemChunk_t* chunk, int* len, int* capacity)
{
    const int id = pkgIdOf(chunk, nullptr);
    if (id <= 0) {
        return -1;
    }
    *len = noteLen(id, chunk, *len);
    *capacity = m_pTable->capacity(id);
    referId(id);
    return id;
}

void CShmMemPool::referPkg(int id)
{
    // As releasePkg: only the bounds of a number this pool's table gave are checked again.
    if (m_bReady.load(std::memory_order_acquire) && m_pTable->has(id)) {
        referId(id);
    }
}

void CShmMemPool::referId(int id)
{
    const auto at = static_cast<size_t>(id - 1);
    m_pFresh[at].store(false, std::memory_order_relaxed);
    m_pRefs[at].fetch_add(1, std::memory_order_relaxed);
}

bool CShmMemPool::dropMemChunk(MemChunk_t* chunk)
{
    // The free list is the one of the group the address lies in, not the one the header names.
    const Group_t* group = nullptr;
    const int id = pkgIdOf(chunk, &group);
    if (id <= 0) {
        return false;
    }
    if (unreferId(id)) {
        freeId(id, *group);
    }
    return true;
}

bool CShmMemPool::unreferId(int id)
{
    const auto at = static_cast<size_t>(id - 1);
    std::atomic<int32_t>& count = m_pRefs[at];
    int32_t cur = count.load(std::memory_order_relaxed);
    if (cur <= 0) {
        // Taken and never referred: its holder discards it, nobody else can have it.
        return !m_pFree[at].load(std::memory_order_acquire) && m_pFresh[at].exchange(false);
    }
    while (cur > 0) {
        if (count.compare_exchange_weak(cur, cur - 1, std::memory_order_acq_rel, std::memory_order_relaxed)) {
            return cur == 1;
        }
    }
    return false;
}

int CShmMemPool::chunkRefCount(const MemChunk_t* chunk) const
{
    int id = pkgIdOf(chunk, nullptr);
    return id > 0 ? m_pRefs[static_cast<size_t>(id - 1)].load(std::memory_order_relaxed) : -1;
}

int CShmMemPool::chunkCapacity(const MemChunk_t* chunk) const
{
    const int id = pkgIdOf(chunk, nullptr);
    return id > 0 ? m_pTable->capacity(id) : 0;
}

void CShmMemPool::notePublished(MemChunk_t* chunk, int len)
{
    const int id = pkgIdOf(chunk, nullptr);
    if (id > 0) {
        noteLen(id, chunk, len);
    }
}

int CShmMemPool::noteLen(int id, MemChunk_t* chunk, int len)
{
    len = std::clamp(len, 0, m_pTable->capacity(id));
    m_pLens[static_cast<size_t>(id - 1)].store(len, std::memory_order_relaxed);
    std::memcpy(&chunk->m_stPkg.m_iLen, &len, sizeof(len));
    return len;
}

int CShmMemPool::chunkLen(const MemChunk_t* chunk) const
{
    int id = pkgIdOf(chunk, nullptr);
    return id > 0 ? m_pLens[static_cast<size_t>(id - 1)].load(std::memory_order_relaxed) : 0;
}

void CShmMemPool::restoreNumbering()
{
    if (!m_bReady.load(std::memory_order_acquire)) {
        return;
    }
    for (int pkgId = 1; m_pTable->has(pkgId); ++pkgId) {
        // The number is the writer's alone in every chunk; the rest of a header in use is read by
        // its writer and rewritten when the chunk is handed out next.
        MemChunk_t* chunk = chunkOf(pkgId);
        __atomic_store_n(&chunk->m_stPkg.m_iPkgId, pkgId, __ATOMIC_RELAXED);
        if (!m_pFree[static_cast<size_t>(pkgId - 1)].load(std::memory_order_acquire)) {
            continue;
        }
        const Group_t& grp = m_vecGroups[static_cast<size_t>(m_pTable->group(pkgId))];
        __atomic_store_n(&chunk->m_iGrpId, grp.m_iGrpId, __ATOMIC_RELAXED);
        __atomic_store_n(&chunk->m_stPkg.m_bShm, true, __ATOMIC_RELAXED);
        __atomic_store_n(&chunk->m_stPkg.m_iSize, grp.m_iChunkSize, __ATOMIC_RELAXED);
    }
}

bool CShmMemPool::releaseMemChunk(MemChunk_t* chunk)
{
    if (chunk == nullptr) {
        return false;
    }
    // The free list is the one of the group the address lies in, not the one the header names.
    const Group_t* group = nullptr;
    const int pkgId = pkgIdOf(chunk, &group);
    if (pkgId <= 0) {
        DDS_RED_LIMITED("Error: chunk %p is not in share memory pool %#x!", static_cast<void*>(chunk), getMemKey());
        return false;
    }
    freeId(pkgId, *group);
    return false;
}

bool CShmMemPool::freeId(int id, const Group_t& group)
{
    MemChunk_t* chunk = chunkOf(id);
    const int32_t grpId = __atomic_load_n(&chunk->m_iGrpId, __ATOMIC_RELAXED);
    if (grpId != group.m_iGrpId) {
        DDS_GREEN_LIMITED("Invalid group id %d!", grpId);
    }
    if (m_pFree[static_cast<size_t>(id - 1)].exchange(true, std::memory_order_acq_rel)) {
        DDS_RED_LIMITED("Error: package %d is given back twice!", id);
        return false;
    }
    m_u32UsedSize.fetch_sub(static_cast<uint32_t>(group.m_iChunkSize), std::memory_order_relaxed);
    group.m_pMan->putChunk(chunk);
    return true;
}

void CShmMemPool::releasePkg(int id)
{
    // The number comes from this pool's table (its caller looked it up there): only the bounds
    // are checked again.
    if (!m_bReady.load(std::memory_order_acquire) || !m_pTable->has(id)) {
        return;
    }
    if (unreferId(id)) {
        freeId(id, m_vecGroups[static_cast<size_t>(m_pTable->group(id))]);
    }
}
