// Chunk pools: size groups, chunk and package records, the abstract pool and one group's free list.
//
// Threads: any thread takes and gives back chunks. The group table (m_mapGroups) and
// m_stMemConfig are written only by init, before any other use, and read without a lock after
// that. m_mtxPool guards reclaiming and destruction (a request under the budget reads the atomic
// counter without it); each CMemGroupMan guards its list with its own m_mtxChunks; the counters
// are atomic. Lock order: m_mtxPool, then a group's m_mtxChunks.
#pragma once

#include <pthread.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "zqdds/dds_types.h"

// Bytes a chunk occupies beyond its data capacity: 48-byte header, 16 bytes of package fields
// and 32 spare bytes after the data area.
constexpr int MEM_CHUNK_OVERHEAD = 96;
// Group number of a one-off chunk, and the result of a failed size match.
constexpr int INVALID_GRP_ID = INT_MAX;
// Most size groups a configuration or a layout holds.
constexpr int MEM_MAX_GROUPS = 16;
// Largest data capacity a chunk may have: capacity + overhead must fit an int.
constexpr int MEM_MAX_CHUNK_SIZE = INT_MAX - MEM_CHUNK_OVERHEAD;

static_assert(sizeof(MemGroup_t) == 12, "MemGroup_t layout");
static_assert(offsetof(MemGroup_t, m_iGrpId) == 0, "MemGroup_t layout");
static_assert(offsetof(MemGroup_t, m_iChunkSize) == 4, "MemGroup_t layout");
static_assert(offsetof(MemGroup_t, m_iChunkCount) == 8, "MemGroup_t layout");

// A pool configuration.
struct MemConfig_t {
    int32_t m_iKey;            // System V key of the pool's segment; -1 for process memory
    uint32_t m_u32MaxPoolSize; // byte budget
    MemGroup_t m_stGroup[MEM_MAX_GROUPS];
    int32_t m_iGroupCount; // entries of m_stGroup in use, from the first
};
static_assert(sizeof(MemConfig_t) == 204, "MemConfig_t layout");
static_assert(offsetof(MemConfig_t, m_iKey) == 0, "MemConfig_t layout");
static_assert(offsetof(MemConfig_t, m_u32MaxPoolSize) == 4, "MemConfig_t layout");
static_assert(offsetof(MemConfig_t, m_stGroup) == 8, "MemConfig_t layout");
static_assert(offsetof(MemConfig_t, m_iGroupCount) == 200, "MemConfig_t layout");

// The part of a configuration a writer sends to its readers (host byte order, on the wire).
struct MemPoolLayout_t {
    int32_t m_iGroupCount;
    MemGroup_t m_stGroup[MEM_MAX_GROUPS];
};
static_assert(sizeof(MemPoolLayout_t) == 196, "MemPoolLayout_t layout");
static_assert(offsetof(MemPoolLayout_t, m_iGroupCount) == 0, "MemPoolLayout_t layout");
static_assert(offsetof(MemPoolLayout_t, m_stGroup) == 4, "MemPoolLayout_t layout");

// One message in pool memory. The data area runs m_iSize bytes from m_u8Data (declared with one
// element, the customary form of a trailing variable-length array); pkgData() points at it.
struct DataPackage_t {
    int32_t m_iPkgId; // 1..N in a shared-memory segment, -1 in process memory
    bool m_bShm;      // belongs to a shared-memory pool
    int32_t m_iSize;  // data capacity
    int32_t m_iLen;   // bytes of the data area in use
    uint8_t m_u8Data[1];
};
static_assert(offsetof(DataPackage_t, m_iPkgId) == 0, "DataPackage_t layout");
static_assert(offsetof(DataPackage_t, m_bShm) == 4, "DataPackage_t layout");
static_assert(offsetof(DataPackage_t, m_iSize) == 8, "DataPackage_t layout");
static_assert(offsetof(DataPackage_t, m_iLen) == 12, "DataPackage_t layout");
static_assert(offsetof(DataPackage_t, m_u8Data) == 16, "DataPackage_t layout");
static_assert(sizeof(DataPackage_t) == 20, "DataPackage_t layout");

// One chunk; also the chunk layout of a shared-memory pool segment.
struct MemChunk_t {
    int32_t m_iGrpId; // INVALID_GRP_ID for a one-off chunk
    // References held in the owning process: the count of a chunk of a pool in process memory. A
    // shared-memory pool keeps its counts in its own memory (any local process can write this
    // field there) and leaves the field to the layout.
    std::atomic<int32_t> m_iRefCount;
    pthread_mutex_t m_mutex; // kept for the layout; counts change by atomic operations
    DataPackage_t m_stPkg;
};
static_assert(sizeof(pthread_mutex_t) == 40, "pthread_mutex_t size");
static_assert(sizeof(std::atomic<int32_t>) == 4, "atomic int32 size");
static_assert(std::atomic<int32_t>::is_always_lock_free, "reference counts live in shared memory");
static_assert(offsetof(MemChunk_t, m_iGrpId) == 0, "MemChunk_t layout");
static_assert(offsetof(MemChunk_t, m_iRefCount) == 4, "MemChunk_t layout");
static_assert(offsetof(MemChunk_t, m_mutex) == 8, "MemChunk_t layout");
static_assert(offsetof(MemChunk_t, m_stPkg) == 48, "MemChunk_t layout");
static_assert(sizeof(MemChunk_t) <= MEM_CHUNK_OVERHEAD, "MemChunk_t layout");

// Offsets readers of a pool segment rely on.
constexpr size_t MEM_CHUNK_PKG_OFFSET = offsetof(MemChunk_t, m_stPkg);
constexpr size_t MEM_CHUNK_DATA_OFFSET = MEM_CHUNK_PKG_OFFSET + offsetof(DataPackage_t, m_u8Data);
static_assert(MEM_CHUNK_DATA_OFFSET == 64, "chunk data area offset");

// The chunk a package lies in (null for null).
MemChunk_t* getChunkAddr(DataPackage_t* pkg);
// Adds one reference (null ignored).
void referChunk(MemChunk_t* chunk);
// Drops one reference unless the count is already 0 or less; true when this call brought it to
// 0, in which case the caller hands the chunk to its pool (no one else may touch it any more).
bool unreferChunk(MemChunk_t* chunk);
// Start of a package's data area (m_iSize bytes).
inline uint8_t* pkgData(DataPackage_t* pkg)
{
    return reinterpret_cast<uint8_t*>(pkg) + offsetof(DataPackage_t, m_u8Data);
}

// The free list of one size group, used as a stack (last given back, first taken).
class CMemGroupMan {
public:
    CMemGroupMan(int grpId, int chunkSize, int chunkCount);

    // The most recently added chunk, or null.
    MemChunk_t* getChunk();
    // False when the list already holds m_iChunkCount chunks.
    bool putChunk(MemChunk_t* chunk);
    bool isEmpty();
    int getMemSize() const { return m_iChunkSize; }
    int getGrpId() const { return m_iGrpId; }
    // Sum of the capacities on the list: 64-bit, as a group may hold more than 2 GiB.
    int64_t getCachedSize();

private:
    int m_iGrpId;
    int m_iChunkSize;
    int m_iChunkCount;
    int64_t m_iCachedSize{0};
    std::vector<MemChunk_t*> m_vecChunks;
    std::mutex m_mtxChunks;
};

// A pool of chunks in size groups; deleted through this class.
class CMemPool {
public:
    explicit CMemPool(bool memType);
    virtual ~CMemPool();
    CMemPool(const CMemPool&) = delete;
    CMemPool& operator=(const CMemPool&) = delete;

    virtual bool init(const MemConfig_t& cfg) = 0;
    virtual bool deinit() = 0;
    // A chunk of at least `size` data bytes with reference count 0, or null.
    virtual MemChunk_t* getMemChunk(int size) = 0;
    // Gives a chunk back; true when its memory was freed.
    virtual bool releaseMemChunk(MemChunk_t* chunk) = 0;
    virtual void* getMemAddr() = 0;
    virtual int getMemKey() = 0;

    // What this process knows of a chunk handed out by this pool. The defaults use the chunk's
    // own header, which lies in this process's heap; a pool whose chunks other processes can
    // write keeps these facts in its own memory and never reads them back from the chunk.
    // Each operation finds out itself whether the chunk is one of this pool's kind (a
    // shared-memory pool: one of its own), so that the chunk is looked up once per operation.
    virtual bool ownsChunk(const MemChunk_t* chunk) const;
    // Adds one reference; false (nothing done) for a chunk that is not this pool's kind.
    bool referMemChunk(MemChunk_t* chunk) { return referNumbered(chunk) >= 0; }
    // referMemChunk giving the chunk's number in this pool for later by-number operations: > 0
    // for a pool that numbers its chunks, 0 for one that does not, -1 (nothing done) for a chunk
    // not of this kind.
    virtual int referNumbered(MemChunk_t* chunk);
    // notePublished and referNumbered in one lookup, with the same result. `len` in: the bytes in
    // use; out: the length noted. `capacity` out: the capacity this pool knows. Both untouched
    // for a chunk not of this kind.
    virtual int publishNumbered(MemChunk_t* chunk, int* len, int* capacity);
    // By a number referNumbered or publishNumbered gave (checked against this pool's own table,
    // nothing done for one outside it): add one reference, or drop one as dropMemChunk does.
    // Nothing for a pool without numbers.
    virtual void referPkg(int id) { (void)id; }
    virtual void releasePkg(int id) { (void)id; }
    // Drops one reference and, when that was the last, gives the chunk back (releaseMemChunk);
    // nothing of it is touched afterwards. False (nothing done) for a chunk not of this kind.
    virtual bool dropMemChunk(MemChunk_t* chunk);
    // Data capacity of the chunk; 0 for a chunk not of this kind.
    virtual int chunkCapacity(const MemChunk_t* chunk) const;
    // Called once when the chunk is published with `len` bytes in use: the length, kept within the
    // capacity, is stored in the chunk and taken from here on. Nothing for a chunk not of this kind.
    virtual void notePublished(MemChunk_t* chunk, int len);
    // Bytes of the data area in use, never more than the capacity; 0 for a chunk not of this kind.
    virtual int chunkLen(const MemChunk_t* chunk) const;
    // Called before a new reader of another process walks the pool: puts back whatever the
    // readers rely on in the chunks (nothing for a pool in process memory).
    virtual void restoreNumbering() {}

    // Files one group manager per configured group and copies the configuration. Refuses (red
    // line, false) a second call, duplicate group numbers and groups with a negative count or a
    // chunk size outside 0..MEM_MAX_CHUNK_SIZE; a group count outside 0..16 is clamped.
    bool initMemPool(const MemConfig_t& cfg);
    // Number of the first configured group whose chunk size is at least `size`, or INVALID_GRP_ID.
    int matchGrpId(int size) const;
    static void initMemChunk(MemChunk_t* chunk, bool isShm, int grpId, int pkgId, int size);
    MemPoolLayout_t getMemLayout() const;
    bool getMemType() const { return m_bMemType; }
    static void getDefaultCfg(MemConfig_t& cfg);

    uint32_t getMaxPoolSize() const { return m_u32MaxPoolSize; }
    uint32_t getAllocSize() const { return m_u32AllocSize.load(std::memory_order_relaxed); }
    uint32_t getUsedSize() const { return m_u32UsedSize.load(std::memory_order_relaxed); }

protected:
    // Whether the chunk's own flag names this pool's kind (what ownsChunk says by default).
    bool isOfKind(const MemChunk_t* chunk) const;
    // The group manager filed under `grpId`, or null.
    CMemGroupMan* findGroup(int grpId) const;
    // The manager of the first configured group whose chunk size is at least `size`, or null.
    CMemGroupMan* matchGroup(int size) const;

    uint32_t m_u32MaxPoolSize{0x400000};
    std::atomic<uint32_t> m_u32AllocSize{0};
    std::atomic<uint32_t> m_u32UsedSize{0};
    bool m_bMemType;
    MemConfig_t m_stMemConfig{};
    std::map<int, std::shared_ptr<CMemGroupMan>> m_mapGroups;
    // The managers in configuration order (null past m_iGroupCount), searched on the message
    // path instead of the map.
    CMemGroupMan* m_arrGroups[MEM_MAX_GROUPS]{};
    std::mutex m_mtxPool;
    bool m_bInited{false};
};
