// Descriptors of lent buffers, kept for reuse so that a warm loan allocates nothing. Shared by
// the data writer and the data reader; any thread may take or give back, the mutex guards the
// list only while it changes.
#pragma once

#include <mutex>
#include <new>
#include <vector>

#include "zqdds/dds_types.h"

class CDataBufferCache {
public:
    explicit CDataBufferCache(int limit) : m_iCacheLimit(limit) {}
    ~CDataBufferCache() { clear(); }
    CDataBufferCache(const CDataBufferCache&) = delete;
    CDataBufferCache& operator=(const CDataBufferCache&) = delete;

    // A cleared descriptor (a kept one or a new one), null when memory is out.
    _DataBuffer_t* alloc()
    {
        _DataBuffer_t* buffer = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mtxCache);
            if (!m_vecCache.empty()) {
                buffer = m_vecCache.back();
                m_vecCache.pop_back();
            }
        }
        if (buffer == nullptr) {
            buffer = new (std::nothrow) _DataBuffer_t;
            if (buffer == nullptr) {
                return nullptr;
            }
            buffer->m_u64TimeStamp = 0;
        }
        buffer->m_iSize = 0;
        buffer->m_iLen = 0;
        buffer->m_pData = nullptr;
        buffer->m_pPkg = nullptr;
        return buffer;
    }

    // Keeps the descriptor while the cache has room, else deletes it.
    void free(_DataBuffer_t* buffer)
    {
        if (buffer == nullptr) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_mtxCache);
            if (static_cast<int>(m_vecCache.size()) < m_iCacheLimit) {
                m_vecCache.push_back(buffer);
                return;
            }
        }
        delete buffer;
    }

    int count()
    {
        std::lock_guard<std::mutex> lock(m_mtxCache);
        return static_cast<int>(m_vecCache.size());
    }

    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mtxCache);
        for (_DataBuffer_t* buffer : m_vecCache) {
            delete buffer;
        }
        m_vecCache.clear();
    }

private:
    const int m_iCacheLimit;
    std::vector<_DataBuffer_t*> m_vecCache;
    std::mutex m_mtxCache;
};
