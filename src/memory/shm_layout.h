// Walking a pool segment by its layout: no header, chunks back to back group after group, each
// chunk its group's chunk size + MEM_CHUNK_OVERHEAD bytes, the package 48 bytes into the chunk.
//
// The creator numbers its chunks by this walk, and both ends of shared-memory transfer build
// their number-to-package tables with it; a layout from the wire and the numbers in the segment
// are untrusted and checked here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "memory/mem_pool.h"

// Chunks start 8-aligned (their headers hold an atomic count and a mutex), so every chunk size
// is a multiple of this.
constexpr int SHM_CHUNK_ALIGN = 8;

// One package of a pool segment: where it lies and the group it belongs to.
struct ShmPkgSlot_t {
    uint64_t m_u64Offset; // of the DataPackage_t from the segment's start
    int32_t m_iCapacity;  // the group's chunk size
    int32_t m_iGroup;     // index of the group in the layout
};

// A group a segment can hold: chunk size >= 0 and a multiple of SHM_CHUNK_ALIGN, count >= 0.
bool shmGroupInBounds(const MemGroup_t& grp);
// The bytes and packages a layout describes, summed in 64 bits. False for a group count outside
// 0..16, a group out of bounds, or sums beyond 64 bits.
bool shmLayoutTotals(const MemPoolLayout_t& layout, uint64_t* size, uint64_t* pkgs);
// As shmLayoutTotals, and at most INT_MAX packages (package numbers are int32). Nothing is
// written for a refused layout.
bool shmLayoutSize(const MemPoolLayout_t& layout, uint64_t* size, int* count);
// Every package of the layout in walk order, so slots[n - 1] is the one the creator numbers n.
// False (slots emptied) when shmLayoutSize refuses the layout.
bool shmLayoutSlots(const MemPoolLayout_t& layout, std::vector<ShmPkgSlot_t>* slots);

// Walks of a layout made by shmLayoutSlots and shmWalkLayout in this process, for tests.
uint64_t shmLayoutWalks();

// Whether the lengths a package of the segment holds keep a reader inside its chunk: at least a
// frame header in use, no more than the package's size, a size within the layout's `capacity`.
bool shmPkgLengthsFit(int len, int size, int capacity);

// Walks the `len` bytes at `base` by `layout` and fills `slots` so that slots[n - 1] is the
// package whose m_iPkgId is n. False (slots emptied) when the layout is refused, needs more than
// `len` bytes, or the numbers in the segment are not exactly 1..N.
bool shmWalkLayout(const uint8_t* base, size_t len, const MemPoolLayout_t& layout, std::vector<ShmPkgSlot_t>* slots);

// The packages of one pool segment, by number and by address: built once per attachment from a
// layout walk, the creator's shmLayoutSlots (its pool's table, shared with its server) or a
// reader's shmWalkLayout (its mapping's). Nothing in it is read back from the segment but the
// number idOf checks. Not changed after build; read by any thread.
class CShmPkgTable {
public:
    // `slots[n - 1]` is package n of the segment at `base`.
    void build(uint8_t* base, std::vector<ShmPkgSlot_t> slots);
    void clear();

    size_t count() const { return m_vecSlots.size(); }
    bool has(int id) const { return id >= 1 && static_cast<size_t>(id) <= m_vecSlots.size(); }
    // The following take a number that has() accepts.
    DataPackage_t* pkg(int id) const
    {
        return reinterpret_cast<DataPackage_t*>(m_pBase + m_vecSlots[static_cast<size_t>(id - 1)].m_u64Offset);
    }
    int capacity(int id) const { return m_vecSlots[static_cast<size_t>(id - 1)].m_iCapacity; }
    // Index of the package's group in the layout.
    int group(int id) const { return m_vecSlots[static_cast<size_t>(id - 1)].m_iGroup; }
    // Number of the package that starts exactly at `p`, or -1 for any other address. Costs one
    // comparison while the header still carries the package's own number, a search otherwise.
    int idOf(const void* p) const;
    // Searches made by idOf in this process, for tests and benchmarks.
    static uint64_t searches() { return s_u64Searches.load(std::memory_order_relaxed); }
    // Calls of idOf in this process (each a lookup, searching or not) while counting is on, for
    // tests and benchmarks. Off by default: the count is one line every thread would write.
    static uint64_t lookups() { return s_u64Lookups.load(std::memory_order_relaxed); }
    static void countLookups(bool on) { s_bCountLookups.store(on, std::memory_order_relaxed); }

private:
    uint8_t* m_pBase{nullptr};
    std::vector<ShmPkgSlot_t> m_vecSlots;
    std::vector<std::pair<uint64_t, int>> m_vecByOffset; // package offset -> number, sorted
    uint64_t m_u64LastOffset{0};                         // of the last package; past it is not ours
    static std::atomic<uint64_t> s_u64Searches;
    static std::atomic<uint64_t> s_u64Lookups;
    static std::atomic<bool> s_bCountLookups;
};
