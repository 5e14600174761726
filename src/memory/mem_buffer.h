// A bounded set of reusable buffer descriptors over a private pool, for a receive-then-process
// pipeline: take an empty buffer, fill it, queue it as full; take full ones in arrival order and
// give them back as empty.
//
// Threads: any number on either side. m_mtxEmpty/m_cvEmpty guard the empty stack,
// m_mtxFull/m_cvFull the filled queue; the pool is never called with m_mtxFull held except by
// the destructor.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <queue>
#include <vector>

#include "memory/normal_mem_pool.h"

// One descriptor, always held through a shared pointer.
struct MemBuffer_t {
    int32_t m_iSize{0}; // bytes usable at m_pData; -1 once given back
    int32_t m_iLen{0};  // bytes filled
    uint8_t* m_pData{nullptr};
    uint64_t m_u64Reserved0{0};
    uint64_t m_u64Reserved1{0};
    MemChunk_t* m_pChunk{nullptr};
};

class CMemBuffer {
public:
    CMemBuffer();
    virtual ~CMemBuffer();
    CMemBuffer(const CMemBuffer&) = delete;
    CMemBuffer& operator=(const CMemBuffer&) = delete;

    // Once only: a count of 0 or less becomes 10, a size of 0 or less 4096.
    bool init(int size, int count);
    // Null on timeout (negative: wait for ever) or when the pool gives no chunk.
    std::shared_ptr<MemBuffer_t> getEmptyBuffer(int size, int timeoutMs);
    bool putFullBuffer(std::shared_ptr<MemBuffer_t> buffer);
    std::shared_ptr<MemBuffer_t> getFullBuffer(int timeoutMs);
    // Gives the chunk back and returns the descriptor to the empty stack. Null, and a descriptor
    // already given back, are ignored (false).
    bool putEmptyBuffer(std::shared_ptr<MemBuffer_t> buffer);

    int getBufCount() const { return m_iBufCount; }
    int getBufSize() const { return m_iBufSize; }
    CNormalMemPool* getMemPool() const { return m_pMemPool.get(); }

private:
    void pushEmpty(std::shared_ptr<MemBuffer_t> buffer);

    int m_iBufCount{0};
    int m_iBufSize{0};
    std::unique_ptr<CNormalMemPool> m_pMemPool;
    std::vector<std::shared_ptr<MemBuffer_t>> m_vecEmpty;
    std::mutex m_mtxEmpty;
    std::condition_variable m_cvEmpty;
    std::queue<std::shared_ptr<MemBuffer_t>> m_queFull;
    std::mutex m_mtxFull;
    std::condition_variable m_cvFull;
};
