// Walking a pool segment by its layout: no header, chunks back to back group after group, each
// chunk its group's chunk size + MEM_CHUNK_OVERHEAD bytes, the package 48 bytes into the chunk.
//
// Both ends of shared-memory transfer build their number-to-package tables with this; a layout
// from the wire and the numbers in the segment are untrusted and checked here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "memory/mem_pool.h"

// One package of a pool segment: where it lies and the capacity its group gives it.
struct ShmPkgSlot_t {
    uint64_t m_u64Offset; // of the DataPackage_t from the segment's start
    int32_t m_iCapacity;  // the group's chunk size
};

// Checks a layout (0..16 groups, chunk sizes >= 0 in multiples of 8, counts >= 0, at most INT_MAX packages, the
// total in 64 bits without overflow) and gives the segment size it describes and its number of
// packages. False for a layout outside those bounds.
bool shmLayoutSize(const MemPoolLayout_t& layout, uint64_t* size, int* count);

// Walks the `len` bytes at `base` by `layout` and fills `slots` so that slots[n - 1] is the
// package whose m_iPkgId is n. False (slots emptied) when the layout is refused, needs more than
// `len` bytes, or the numbers in the segment are not exactly 1..N.
bool shmWalkLayout(const uint8_t* base, size_t len, const MemPoolLayout_t& layout, std::vector<ShmPkgSlot_t>* slots);
