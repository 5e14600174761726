// A hostile local process that writes 32-bit fields of a notification queue segment relative to
// what they hold, or holds them at a value:
// shmq_forger <queue key> add <delta> <offset>...   adds `delta` to each field once, prints
//                                                    "shmq_forger: done" and exits 0
// shmq_forger <queue key> hold <value> <offset>...  stores `value` into each field again and
//                                                    again (printing "shmq_forger: holding"
//                                                    after the first round) until its standard
//                                                    input closes; exits 0
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "segment_forgery.h"

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc < 5) {
        return 2;
    }
    const int key = static_cast<int>(strtol(argv[1], nullptr, 0));
    const bool hold = strcmp(argv[2], "hold") == 0;
    const auto value = static_cast<uint32_t>(strtol(argv[3], nullptr, 0));
    size_t size = 0;
    uint8_t* seg = forgery::attach(key, &size);
    std::vector<uint32_t*> fields;
    for (int n = 4; n < argc; ++n) {
        const size_t offset = strtoul(argv[n], nullptr, 0);
        if (seg == nullptr || offset % 4 != 0 || offset + 4 > size) {
            printf("shmq_forger: can't attach\n");
            return 1;
        }
        fields.push_back(reinterpret_cast<uint32_t*>(seg + offset));
    }
    if (!hold) {
        for (uint32_t* field : fields) {
            __atomic_fetch_add(field, value, __ATOMIC_SEQ_CST);
        }
        printf("shmq_forger: done\n");
        fflush(stdout);
        return 0;
    }
    pollfd in{0, POLLIN, 0};
    for (long round = 0;; ++round) {
        for (uint32_t* field : fields) {
            __atomic_store_n(field, value, __ATOMIC_RELAXED);
        }
        if (round == 0) {
            printf("shmq_forger: holding\n");
            fflush(stdout);
        }
        // Readable (EOF) once the test closes the pipe.
        if (round % 64 == 0 && poll(&in, 1, 0) != 0) {
            break;
        }
        sched_yield();
    }
    return 0;
}
