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
// number and capacity are worked out from its address and rewritten when it is handed out, and
// its reference count and used length are kept in this process's memory.
//
// The package table is built once, when the segment is made, and shared with the distribution
// server of the same segment (pkgTable): one walk and one table for the writing side of a segment.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "memory/mem_pool.h"
#include "memory/shm_layout.h"
#include "utils/shm_attachment.h"

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
    void* getMemAddr() override { return m_segment.get(); }
    int getMemKey() override { return m_iKey.load(std::memory_order_relaxed); }

    // From this process's own tables, by the chunk's address: a chunk that does not start a
    // chunk of this segment is not owned, and nothing is read back from the segment.
    // Every operation below looks the chunk up once, the same way.
    bool ownsChunk(const MemChunk_t* chunk) const override;
    int referNumbered(MemChunk_t* chunk) override;
    int publishNumbered(MemChunk_t* chunk, int* len, int* capacity) override;
    void referPkg(int id) override;
    // A chunk taken and never referred (a package that is discarded) goes back at count 0.
    bool dropMemChunk(MemChunk_t* chunk) override;
    int chunkCapacity(const MemChunk_t* chunk) const override;
    // Keeps the length in this process and writes it into the chunk for the readers; nothing of
    // the writer's later reads it back from the segment.
    void notePublished(MemChunk_t* chunk, int len) override;
    int chunkLen(const MemChunk_t* chunk) const override;
    // Rewrites the header and package number of every chunk that is free, as init wrote them: a
    // new reader then finds the numbering it walks, whatever was written into the segment.
    void restoreNumbering() override;

    // Makes and attaches the segment under `key` for a pool that init laid out but left without
    // one (every key in use then); true at once when it has one. Nobody may hold a chunk of the
    // pool before this succeeds, so writes only fail until then.
    bool openSegment(int key);
    bool hasSegment() const { return m_bReady.load(std::memory_order_acquire); }
    int getShmId() const { return m_iShmId; }
    // init failed because a live process of another program holds the key's segment.
    bool isKeyInUse() const { return m_bKeyInUse; }
    // This process's reference count of a chunk of the segment (-1 for any other address).
    int chunkRefCount(const MemChunk_t* chunk) const;
    uint64_t getMemSize() const { return m_u64MemSize; }
    // The segment's packages by number and by address, null until it has a segment. Whoever
    // shares it reads the segment through it, so it is done with it before this pool goes.
    std::shared_ptr<const CShmPkgTable> pkgTable() const;
    // Drops one reference of package `id`, a number this pool's table gave, and puts it back on
    // its free list when that was the last: dropMemChunk without looking the number up again.
    void releasePkg(int id) override;

    // Checks a layout as it may come from an application: the segment bounds every reader
    // checks (shmLayoutSize), and the creator's own rules on top: 1..16 groups, distinct numbers,
    // chunk sizes 1..MEM_MAX_CHUNK_SIZE, counts >= 1. Gives the segment size and the chunk count;
    // false (with a red line) otherwise.
    static bool checkLayout(const MemPoolLayout_t& layout, uint64_t* memSize, int* pkgCount);

private:
    // One group of the layout, by its index there.
    struct Group_t {
        int m_iGrpId;
        int m_iChunkSize;
        CMemGroupMan* m_pMan;
    };
    MemChunk_t* chunkOf(int id) const;
    void referId(int id);
    // Keeps the used length of package `id` (the chunk at `chunk`) and writes it for the readers.
    int noteLen(int id, MemChunk_t* chunk, int len); // the length noted
    bool unreferId(int id);
    // Puts package `id` of `group` back on its free list (false when it is there already).
    bool freeId(int id, const Group_t& group);

    std::atomic<int> m_iKey{-1};
    // Guards making the segment (openSegment); the tables below are fixed once m_bReady is set.
    std::mutex m_mtxSegment;
    std::atomic<bool> m_bReady{false};
    bool m_bLaidOut{false};
    MemPoolLayout_t m_layout{};
    int m_iShmId{-1};
    bool m_bKeyInUse{false};
    CShmAttachment m_segment;
    uint64_t m_u64MemSize{0};
    // The packages of the segment by number and by address, from the walk every reader makes;
    // the object is there from the start and built once, in openSegment.
    const std::shared_ptr<CShmPkgTable> m_pTable{std::make_shared<CShmPkgTable>()};
    std::vector<Group_t> m_vecGroups;
    // Package number of a chunk that starts a chunk of this segment (with its group), or 0 for
    // any other address and while the pool has no segment (its tables may be in the making).
    int pkgIdOf(const MemChunk_t* chunk, const Group_t** group) const;

    // Per package number - 1, all in process memory: the chunk is on its free list (so a chunk
    // given back twice is noticed and never handed to two writers); its reference count, the
    // chunk's one count in the writing process (the holders of the package there: the data
    // center while it hands out, the distribution FIFO and whoever keeps it); its used length
    // fixed at publishing; it was taken and not referred since.
    std::unique_ptr<std::atomic<bool>[]> m_pFree;
    std::unique_ptr<std::atomic<int32_t>[]> m_pRefs;
    std::unique_ptr<std::atomic<int32_t>[]> m_pLens;
    std::unique_ptr<std::atomic<bool>[]> m_pFresh;
    size_t m_uPkgCount{0};
};
