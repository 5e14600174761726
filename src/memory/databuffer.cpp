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

int CDataBuffer::referNumbered(DataPackage_t* pkg)
{
    if (pkg == nullptr) {
        return -1;
    }
    if (m_pMemPool == nullptr) {
        referChunk(getChunkAddr(pkg));
        return -1;
    }
    MemChunk_t* chunk = getChunkAddr(pkg);
    const int id = m_pMemPool->referNumbered(chunk);
    if (id < 0) {
        // Not this pool's: its release is refused here, so the count stays where it is.
        referChunk(chunk);
    }
    return id > 0 ? id : -1;
}

void CDataBuffer::referPkgId(int id)
{
    if (m_pMemPool != nullptr) {
        m_pMemPool->referPkg(id);
    }
}

void CDataBuffer::releasePkgId(int id)
{
    if (m_pMemPool != nullptr) {
        m_pMemPool->releasePkg(id);
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
    // The pool drops the count and gives the chunk back at 0 in one go, looking it up once.
    if (!m_pMemPool->dropMemChunk(chunk)) {
        int32_t id = 0;
        std::memcpy(&id, &chunk->m_stPkg.m_iPkgId, sizeof(id));
        DDS_RED_LIMITED("Error: package %d released into a pool of another kind!", id);
    }
}

int CDataBuffer::packageLen(DataPackage_t* pkg) const
{
    if (pkg == nullptr || m_pMemPool == nullptr) {
        return 0;
    }
    return m_pMemPool->chunkLen(getChunkAddr(pkg));
}

int CDataBuffer::packageCapacity(DataPackage_t* pkg) const
{
    if (pkg == nullptr || m_pMemPool == nullptr) {
        return 0;
    }
    return m_pMemPool->chunkCapacity(getChunkAddr(pkg));
}
