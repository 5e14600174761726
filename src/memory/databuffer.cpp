#include "memory/databuffer.h"

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
    if (pkg != nullptr) {
        referChunk(getChunkAddr(pkg));
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
    if (chunk->m_stPkg.m_bShm != m_pMemPool->getMemType()) {
        DDS_RED("Error: package %d released into a pool of another kind!", chunk->m_stPkg.m_iPkgId);
        return;
    }
    // The count drops first; only a chunk that reached 0 goes to the pool, and nothing of it is
    // touched here afterwards (the pool may free or hand it out at once).
    if (unreferChunk(chunk)) {
        m_pMemPool->releaseMemChunk(chunk);
    }
}
