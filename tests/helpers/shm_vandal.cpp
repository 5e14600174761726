// A hostile local process: writes into a topic's pool and queue segments what any user could.
// shm_vandal <pool key> <queue key> <groups "size:count,..."> <rounds> <seed>
// Each round forges one thing: a field of a chunk header or package record (group, reference
// count, mutex bytes, package number, shared flag, size, length), random bytes over a header, a
// ring field of the queue segment (enable byte, count, indices, capacity, id slots, the wake
// field) or random bytes anywhere in it. Prints "vandal: done <rounds>" and exits 0.
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "segment_forgery.h"

using forgery::attach;
using forgery::put32;

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 6) {
        return 2;
    }
    const int poolKey = static_cast<int>(strtol(argv[1], nullptr, 0));
    const int queueKey = static_cast<int>(strtol(argv[2], nullptr, 0));
    const long rounds = strtol(argv[4], nullptr, 0);
    std::mt19937 rng(static_cast<uint32_t>(strtoul(argv[5], nullptr, 0)));

    // Where the chunks start, by the layout the writer sent its readers.
    size_t offset = 0;
    const std::vector<size_t> chunks = forgery::chunkOffsets(argv[3], &offset);
    size_t poolSize = 0;
    size_t queueSize = 0;
    uint8_t* pool = attach(poolKey, &poolSize);
    uint8_t* queue = attach(queueKey, &queueSize);
    if (pool == nullptr || queue == nullptr || chunks.empty() || offset > poolSize || queueSize < 160) {
        printf("vandal: can't attach\n");
        return 1;
    }
    const uint32_t counts[] = {0xffffffffu, 3, 7, 0x80000000u, 0x7fffffffu, 2, 1, 0};
    const size_t headerFields[] = {0, 4, 8, 16, 24, 32, 40, 48, 52, 56, 60};
    const size_t ringFields[] = {0, 4, 8, 12, 16, 20, 24, 44, 48, 52, 56, 76};
    for (long n = 0; n < rounds; ++n) {
        uint8_t* chunk = pool + chunks[rng() % chunks.size()];
        uint8_t* ring = queue + (rng() % 2) * 80;
        switch (rng() % 6) {
        case 0: // a header or package field: a number of another chunk, a huge length, a count
            put32(chunk + headerFields[rng() % (sizeof(headerFields) / sizeof(headerFields[0]))],
                  rng() % 2 == 0 ? static_cast<uint32_t>(rng()) : counts[rng() % 8]);
            break;
        case 1: // random bytes over the header and package record
            for (size_t i = 0; i < 64; i += 4) {
                put32(chunk + i, static_cast<uint32_t>(rng()));
            }
            break;
        case 2: // a ring's count
            put32(ring + 4, counts[rng() % 8]);
            break;
        case 3: // any ring field, the wake field included
            put32(ring + ringFields[rng() % (sizeof(ringFields) / sizeof(ringFields[0]))],
                  rng() % 2 == 0 ? static_cast<uint32_t>(rng()) : counts[rng() % 8]);
            break;
        case 4: // random bytes anywhere in the queue segment
            put32(queue + (rng() % 40) * 4, static_cast<uint32_t>(rng()));
            break;
        default: // the enable byte
            __atomic_store_n(ring, static_cast<uint8_t>(rng()), __ATOMIC_RELAXED);
            break;
        }
        // Spread over a while, so that messages keep flowing between the writes.
        timespec pause{0, 20000};
        nanosleep(&pause, nullptr);
    }
    shmdt(pool);
    shmdt(queue);
    printf("vandal: done %ld\n", rounds);
    fflush(stdout);
    return 0;
}
