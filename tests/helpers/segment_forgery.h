// What the hostile segment writers share: attaching a System V segment by key, a relaxed 32-bit
// store, and where a pool's chunks start by the group layout its writer sends readers.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace forgery {

// The segment of `key`, attached read-write, and its size; null when there is none.
inline uint8_t* attach(int key, size_t* size)
{
    int id = shmget(key, 0, 0);
    shmid_ds ds{};
    if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0) {
        return nullptr;
    }
    void* p = shmat(id, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) {
        return nullptr;
    }
    *size = ds.shm_segsz;
    return static_cast<uint8_t*>(p);
}

inline void put32(uint8_t* at, uint32_t v)
{
    __atomic_store_n(reinterpret_cast<uint32_t*>(at), v, __ATOMIC_RELAXED);
}

// Offsets of the chunks of groups "size:count,..." (each chunk its group's size + 96 bytes of
// header); *end is where the last one ends. `groups` is consumed by strtok.
inline std::vector<size_t> chunkOffsets(char* groups, size_t* end)
{
    std::vector<size_t> chunks;
    size_t offset = 0;
    for (char* group = strtok(groups, ","); group != nullptr; group = strtok(nullptr, ",")) {
        size_t chunkSize = strtoul(group, nullptr, 0);
        const char* colon = strchr(group, ':');
        long count = colon != nullptr ? strtol(colon + 1, nullptr, 0) : 0;
        for (long c = 0; c < count; ++c) {
            chunks.push_back(offset);
            offset += chunkSize + 96;
        }
    }
    *end = offset;
    return chunks;
}

} // namespace forgery
