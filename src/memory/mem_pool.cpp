#include "memory/mem_pool.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <set>

#include "utils/dds_common.h"

MemChunk_t* getChunkAddr(DataPackage_t* pkg)
{
    if (pkg == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<MemChunk_t*>(reinterpret_cast<uint8_t*>(pkg) - MEM_CHUNK_PKG_OFFSET);
}

void referChunk(MemChunk_t* chunk)
{
    if (chunk != nullptr) {
        chunk->m_iRefCount.fetch_add(1, std::memory_order_relaxed);
    }
}

bool unreferChunk(MemChunk_t* chunk)
{
    if (chunk == nullptr) {
        return false;
    }
    // Never below 0: an extra release (a caller's bug) must not leave a count that a later
    // holder's release cannot bring back to 0.
    int32_t cur = chunk->m_iRefCount.load(std::memory_order_relaxed);
    while (cur > 0) {
        if (chunk->m_iRefCount.compare_exchange_weak(cur, cur - 1, std::memory_order_acq_rel,
                                                     std::memory_order_relaxed)) {
            return cur == 1;
        }
    }
    return false;
}

CMemGroupMan::CMemGroupMan(int grpId, int chunkSize, int chunkCount)
    : m_iGrpId(grpId), m_iChunkSize(chunkSize), m_iChunkCount(chunkCount)
{
    // Room for the usual bound up front, so that giving back never allocates.
    m_vecChunks.reserve(static_cast<size_t>(std::clamp(chunkCount, 0, 4096)));
}

MemChunk_t* CMemGroupMan::getChunk()
{
    std::lock_guard<std::mutex> lock(m_mtxChunks);
    if (m_vecChunks.empty()) {
        return nullptr;
    }
    MemChunk_t* chunk = m_vecChunks.back();
    m_vecChunks.pop_back();
    m_iCachedSize -= m_iChunkSize;
    return chunk;
}

bool CMemGroupMan::putChunk(MemChunk_t* chunk)
{
    std::lock_guard<std::mutex> lock(m_mtxChunks);
    if (m_iChunkCount <= 0 || m_vecChunks.size() >= static_cast<size_t>(m_iChunkCount)) {
        return false;
    }
    m_vecChunks.push_back(chunk);
    m_iCachedSize += m_iChunkSize;
    return true;
}

bool CMemGroupMan::isEmpty()
{
    std::lock_guard<std::mutex> lock(m_mtxChunks);
    return m_vecChunks.empty();
}

int64_t CMemGroupMan::getCachedSize()
{
    std::lock_guard<std::mutex> lock(m_mtxChunks);
    return m_iCachedSize;
}

CMemPool::CMemPool(bool memType) : m_bMemType(memType) {}

CMemPool::~CMemPool() = default;

bool CMemPool::initMemPool(const MemConfig_t& cfg)
{
    if (m_bInited) {
        DDS_RED("Error: mem pool is already initialized!");
        return false;
    }
    int count = std::clamp(cfg.m_iGroupCount, 0, MEM_MAX_GROUPS);
    std::set<int> ids;
    for (int i = 0; i < count; ++i) {
        const MemGroup_t& grp = cfg.m_stGroup[i];
        if (!ids.insert(grp.m_iGrpId).second) {
            DDS_RED("Error: duplicate mem group id %d!", grp.m_iGrpId);
            return false;
        }
        if (grp.m_iChunkSize < 0 || grp.m_iChunkSize > MEM_MAX_CHUNK_SIZE || grp.m_iChunkCount < 0) {
            DDS_RED("Error: invalid mem group %d, chunk size %d, chunk count %d!", grp.m_iGrpId, grp.m_iChunkSize,
                    grp.m_iChunkCount);
            return false;
        }
    }
    for (int i = 0; i < count; ++i) {
        const MemGroup_t& grp = cfg.m_stGroup[i];
        auto man = std::make_shared<CMemGroupMan>(grp.m_iGrpId, grp.m_iChunkSize, grp.m_iChunkCount);
        m_arrGroups[i] = man.get();
        m_mapGroups[grp.m_iGrpId] = std::move(man);
    }
    m_u32MaxPoolSize = cfg.m_u32MaxPoolSize;
    m_stMemConfig = cfg;
    m_stMemConfig.m_iGroupCount = count;
    m_bInited = true;
    return true;
}

int CMemPool::matchGrpId(int size) const
{
    int count = std::clamp(m_stMemConfig.m_iGroupCount, 0, MEM_MAX_GROUPS);
    for (int i = 0; i < count; ++i) {
        if (m_stMemConfig.m_stGroup[i].m_iChunkSize >= size) {
            return m_stMemConfig.m_stGroup[i].m_iGrpId;
        }
    }
    return INVALID_GRP_ID;
}

void CMemPool::initMemChunk(MemChunk_t* chunk, bool isShm, int grpId, int pkgId, int size)
{
    // The memory is raw (heap block or segment bytes): begin the record's life here.
    chunk = new (chunk) MemChunk_t;
    chunk->m_iGrpId = grpId;
    chunk->m_iRefCount.store(0, std::memory_order_relaxed);
    chunk->m_stPkg.m_iPkgId = pkgId;
    chunk->m_stPkg.m_bShm = isShm;
    chunk->m_stPkg.m_iSize = size;
    chunk->m_stPkg.m_iLen = 0;
    pthread_mutex_init(&chunk->m_mutex, nullptr);
}

MemPoolLayout_t CMemPool::getMemLayout() const
{
    MemPoolLayout_t layout;
    memset(&layout, 0, sizeof(layout));
    layout.m_iGroupCount = std::clamp(m_stMemConfig.m_iGroupCount, 0, MEM_MAX_GROUPS);
    memcpy(layout.m_stGroup, m_stMemConfig.m_stGroup, sizeof(layout.m_stGroup));
    return layout;
}

void CMemPool::getDefaultCfg(MemConfig_t& cfg)
{
    cfg.m_iKey = -1;
    cfg.m_u32MaxPoolSize = 0x400000;
    for (int i = 0; i < MEM_MAX_GROUPS; ++i) {
        cfg.m_stGroup[i] = MemGroup_t{i, (i + 1) * 4096, 8};
        cfg.m_iGroupCount += 1;
    }
}

bool CMemPool::isOfKind(const MemChunk_t* chunk) const
{
    // Read as a byte: a chunk that is not ours may hold any value there.
    uint8_t flag = 0;
    std::memcpy(&flag, reinterpret_cast<const uint8_t*>(chunk) + MEM_CHUNK_PKG_OFFSET + offsetof(DataPackage_t, m_bShm),
                sizeof(flag));
    return (flag != 0) == m_bMemType;
}

bool CMemPool::ownsChunk(const MemChunk_t* chunk) const
{
    return isOfKind(chunk);
}

int CMemPool::referNumbered(MemChunk_t* chunk)
{
    if (!isOfKind(chunk)) {
        return -1;
    }
    referChunk(chunk);
    return 0;
}

int CMemPool::publishNumbered(MemChunk_t* chunk, int* len, int* capacity)
{
    if (!isOfKind(chunk)) {
        return -1;
    }
    CMemPool::notePublished(chunk, *len);
    *len = chunk->m_stPkg.m_iLen;
    *capacity = chunk->m_stPkg.m_iSize;
    referChunk(chunk);
    return 0;
}

bool CMemPool::dropMemChunk(MemChunk_t* chunk)
{
    if (!isOfKind(chunk)) {
        return false;
    }
    // The count drops first; only a chunk that reached 0 goes back (the pool may free or hand it
    // out at once).
    if (unreferChunk(chunk)) {
        releaseMemChunk(chunk);
    }
    return true;
}

int CMemPool::chunkCapacity(const MemChunk_t* chunk) const
{
    return isOfKind(chunk) ? chunk->m_stPkg.m_iSize : 0;
}

void CMemPool::notePublished(MemChunk_t* chunk, int len)
{
    if (isOfKind(chunk)) {
        chunk->m_stPkg.m_iLen = std::clamp(len, 0, chunk->m_stPkg.m_iSize);
    }
}

int CMemPool::chunkLen(const MemChunk_t* chunk) const
{
    return isOfKind(chunk) ? std::clamp(chunk->m_stPkg.m_iLen, 0, chunk->m_stPkg.m_iSize) : 0;
}

CMemGroupMan* CMemPool::findGroup(int grpId) const
{
    for (CMemGroupMan* grp : m_arrGroups) {
        if (grp == nullptr) {
            break;
        }
        if (grp->getGrpId() == grpId) {
            return grp;
        }
    }
    return nullptr;
}

CMemGroupMan* CMemPool::matchGroup(int size) const
{
    for (CMemGroupMan* grp : m_arrGroups) {
        if (grp == nullptr) {
            break;
        }
        if (grp->getMemSize() >= size) {
            return grp;
        }
    }
    return nullptr;
}
