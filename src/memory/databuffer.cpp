#include "memory/databuffer.h"

#include <cstring>

#include "utils/dds_common.h"

DataPackage_t* CDataBuffer::createPackage(int size)
{
    if (m_pMemPool == nullptr) {
        return nullptr;
    }
    MemChunk_t* chunk = m_pMemPool->getMemChunk(size);
    return chunk == nullptr ? nullptr : &chunk->m_stPkg;
}

void CDataBuffer::referPackage(DataPackage_t* pkg)
{
    if (pkg == nullptr) {
        return;
    }
    if (m_pMemPool == nullptr) {
        referChunk(getChunkAddr(pkg));
        return;
    }
    MemChunk_t* chunk = getChunkAddr(pkg);
    if (m_pMemPool->ownsChunk(chunk)) {
        m_pMemPool->referMemChunk(chunk);
    } else {
        // Not this pool's: its release is refused here, so the count stays where it is.
        referChunk(chunk);
    }
}

void CDataBuffer::releasePackage(DataPackage_t* pkg)
{
    if (m_pMemPool == nullptr || pkg == nullptr) {
        return;
    }
    releaseChunk(getChunkAddr(pkg));
}

void CDataBuffer::releaseChunk(MemChunk_t* chunk)
{
    if (m_pMemPool == nullptr || chunk == nullptr) {
        return;
    }
    if (!m_pMemPool->ownsChunk(chunk)) {
        int32_t id = 0;
        std::memcpy(&id, &chunk->m_stPkg.m_iPkgId, sizeof(id));
        DDS_RED_LIMITED("Error: package %d released into a pool of another kind!", id);
        return;
    }
    // The count drops first; only a chunk that reached 0 goes to the pool, and nothing of it is
    // touched here afterwards (the pool may free or hand it out at once).
    if (m_pMemPool->unreferMemChunk(chunk)) {
        m_pMemPool->releaseMemChunk(chunk);
    }
}

int CDataBuffer::packageLen(DataPackage_t* pkg) const
{
    if (pkg == nullptr) {
        return 0;
    }
    MemChunk_t* chunk = getChunkAddr(pkg);
    if (m_pMemPool == nullptr || !m_pMemPool->ownsChunk(chunk)) {
        return 0;
    }
    return m_pMemPool->chunkLen(chunk);
}

int CDataBuffer::packageCapacity(DataPackage_t* pkg) const
{
    if (pkg == nullptr) {
        return 0;
    }
    MemChunk_t* chunk = getChunkAddr(pkg);
    if (m_pMemPool == nullptr || !m_pMemPool->ownsChunk(chunk)) {
        return 0;
    }
    return m_pMemPool->chunkCapacity(chunk);
}
