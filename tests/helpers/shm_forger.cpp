// A hostile local process that keeps rewriting the package fields of every chunk of a topic's pool
// segment, as fast as it can, so that a writer reading one back between its own write and its send
// sees the forged value.
// shm_forger <pool key> <groups "size:count,..."> <len|count> <rounds> <seed>
//   len    every package's length and capacity: 16 MiB, larger than any chunk
//   count  reference counts, group and package numbers, the shared flag (a byte that is neither 0
//          nor 1), capacity and length: values of another chunk, huge, negative or random
// Prints "forger: done <rounds>" and exits 0.
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "segment_forgery.h"

using forgery::put32;

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 6) {
        return 2;
    }
    const int poolKey = static_cast<int>(strtol(argv[1], nullptr, 0));
    const std::string mode = argv[3];
    const long rounds = strtol(argv[4], nullptr, 0);
    std::mt19937 rng(static_cast<uint32_t>(strtoul(argv[5], nullptr, 0)));

    // Chunk header layout: group 0, reference count 4, package number 48, shared flag 52,
    // capacity 56, length 60; each chunk its group's size + 96 bytes.
    size_t offset = 0;
    const std::vector<size_t> chunks = forgery::chunkOffsets(argv[2], &offset);
    size_t poolSize = 0;
    uint8_t* pool = forgery::attach(poolKey, &poolSize);
    if (pool == nullptr || chunks.empty() || offset > poolSize || (mode != "len" && mode != "count")) {
        printf("forger: can't attach\n");
        return 1;
    }
    const uint32_t values[] = {0xffffffffu, 0, 1, 2, 3, 7, 0x80000000u, 0x7fffffffu, 0x1000000u};
    for (long n = 0; n < rounds; ++n) {
        for (size_t at : chunks) {
            uint8_t* chunk = pool + at;
            if (mode == "len") {
                put32(chunk + 56, 0x1000000u);
                put32(chunk + 60, 0x1000000u);
                continue;
            }
            const uint32_t v = rng() % 2 == 0 ? static_cast<uint32_t>(rng()) : values[rng() % 9];
            switch (rng() % 6) {
            case 0:
                put32(chunk + 4, v);
                break;
            case 1:
                put32(chunk + 0, v);
                break;
            case 2:
                put32(chunk + 48, v);
                break;
            case 3:
                __atomic_store_n(chunk + 52, static_cast<uint8_t>(22), __ATOMIC_RELAXED);
                break;
            case 4:
                put32(chunk + 56, v);
                break;
            default:
                put32(chunk + 60, v);
                break;
            }
        }
    }
    shmdt(pool);
    printf("forger: done %ld\n", rounds);
    fflush(stdout);
    return 0;
}
