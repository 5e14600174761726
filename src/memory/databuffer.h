// Package factory over a borrowed pool, with the package reference operations.
//
// Threads: any thread. The pool pointer is set before use and not changed while packages move.
// A package is referred and released only through a buffer whose pool it came from; the pool
// says what the package's count, capacity and length are (none of them is read back from a
// shared-memory segment).
#pragma once

#include "memory/mem_pool.h"

class CDataBuffer {
public:
    void setMemPool(CMemPool* pool) { m_pMemPool = pool; }
    CMemPool* getMemPool() const { return m_pMemPool; }

    // A package of at least `size` data bytes with reference count 0, or null.
    DataPackage_t* createPackage(int size);
    // Adds one reference (null ignored; works without a pool).
    void referPackage(DataPackage_t* pkg) { (void)referNumbered(pkg); }
    // referPackage giving the package's number in the pool (CMemPool::referNumbered), or -1 where
    // there is none (process memory, another pool's package, no pool): then only its address
    // finds it again.
    int referNumbered(DataPackage_t* pkg);
    // By a number referNumbered gave: one reference more, or one less as releasePackage does.
    void referPkgId(int id);
    void releasePkgId(int id);
    // Drops one reference; the last one gives the chunk back to the pool.
    void releasePackage(DataPackage_t* pkg);
    // Drops one reference of a chunk. Nothing happens at a count of 0 or less, or for a chunk of
    // the other kind of pool (shared memory versus process memory).
    void releaseChunk(MemChunk_t* chunk);
    // Bytes of a package of this pool that are to be sent: never more than the capacity this
    // process knows for its chunk; 0 for a package of another pool.
    int packageLen(DataPackage_t* pkg) const;
    // Data capacity of a package of this pool as this process knows it; 0 for another pool's.
    int packageCapacity(DataPackage_t* pkg) const;

protected:
    CMemPool* m_pMemPool{nullptr};
};
