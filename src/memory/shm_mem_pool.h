// The pool whose chunks all lie in one System V segment, carved once at init.
//
// Segment layout (the same in every process, host byte order, no pointers): no header; chunks
// back to back, group after group in layout order, each chunk its group's chunk size + 96 bytes
// laid out as MemChunk_t; package numbers 1..N in that walk order.
//
// Threads: packages are taken on writing threads and given back on the threads that return
// package numbers. The group table is fixed after init; each free list has its own mutex; the
// counters are atomic. Chunk reference counts are used only in the creating process.
// Readers map the segment writable, so the chunk headers are not trusted: a chunk's group,
// number and capacity are worked out from its address, and rewritten when it is handed out.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "memory/mem_pool.h"

class CShmMemPool : public CMemPool {
public:
    CShmMemPool();
    // Removes the segment (only the creator does) and detaches it.
    ~CShmMemPool() override;

    // Refuses (red line, false) a key below 0 and any layout checkLayout refuses.
    bool init(const MemConfig_t& cfg) override;
    bool deinit() override { return true; }
    MemChunk_t* getMemChunk(int size) override;
    // Puts the chunk back on its group's free list; always false (never freed).
    bool releaseMemChunk(MemChunk_t* chunk) override;
    void* getMemAddr() override { return m_pMemAddr; }
    int getMemKey() override { return m_iKey; }

    int getShmId() const { return m_iShmId; }
    uint64_t getMemSize() const { return m_u64MemSize; }

    // Checks a layout as it may come from an application or another process: 1..16 groups,
    // distinct numbers, chunk sizes 1..MEM_MAX_CHUNK_SIZE in multiples of 8, counts >= 1, at most INT_MAX chunks in
    // all. Gives the segment size and the chunk count; false (with a red line) otherwise.
    static bool checkLayout(const MemPoolLayout_t& layout, uint64_t* memSize, int* pkgCount);
    // The number -> package table of a segment of `segSize` bytes at `base` (entry n-1 is
    // package n), by the layout walk; false when the layout is refused or does not fit.
    static bool buildPkgTable(const MemPoolLayout_t& layout, void* base, uint64_t segSize,
                              std::vector<DataPackage_t*>* table);

private:
    // Where one group's chunks lie in this process's mapping.
    struct GroupSpan_t {
        uint8_t* m_pBegin;
        uint8_t* m_pEnd;
        size_t m_uStride;
        int m_iGrpId;
        int m_iChunkSize;
        int m_iFirstPkgId;
        CMemGroupMan* m_pGroup;
    };
    // The span a chunk address lies in, with the chunk's index in it; null for an address that
    // is not the start of a chunk of this segment.
    const GroupSpan_t* findSpan(const MemChunk_t* chunk, size_t* index) const;

    int m_iKey{-1};
    int m_iShmId{-1};
    void* m_pMemAddr{nullptr};
    uint64_t m_u64MemSize{0};
    std::vector<GroupSpan_t> m_vecSpans;
    // Per package number - 1: the chunk is on its free list. Kept in process memory, so a chunk
    // given back twice is noticed and never handed to two writers.
    std::unique_ptr<std::atomic<bool>[]> m_pFree;
};
