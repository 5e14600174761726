// The pool of chunks in process memory, under a soft byte budget.
//
// Threads: any thread takes and gives back chunks (see CMemPool for the locks). Chunks are
// allocated on first demand and recycled through their group's free list; a one-off chunk
// (larger than every group) is freed when it comes back.
#pragma once

#include "memory/mem_pool.h"

class CNormalMemPool : public CMemPool {
public:
    CNormalMemPool();
    ~CNormalMemPool() override;

    bool init(const MemConfig_t& cfg) override;
    bool deinit() override { return true; }
    MemChunk_t* getMemChunk(int size) override;
    bool releaseMemChunk(MemChunk_t* chunk) override;
    void* getMemAddr() override { return nullptr; }
    int getMemKey() override { return -1; }

private:
    // Takes the cached chunks of the upper half of the table off their lists (m_mtxPool is held)
    // and gives them chained, for freeChunks after the unlock.
    MemChunk_t* reclaimMem();
    static void freeChunk(MemChunk_t* chunk);
    static void freeChunks(MemChunk_t* chain);
};
