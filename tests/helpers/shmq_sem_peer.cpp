// A peer of a notification queue built from the segment layout alone: it sleeps and wakes with
// glibc's POSIX semaphores in the rings' semaphore fields.
// shmq_sem_peer <queue key> wait <count>
//   the reading end of a segment the library made: enables ring 0, takes `count` numbers from
//   it, waiting with sem_timedwait (an hour at most) while it is empty; prints
//   "shmq_sem_peer: ready", "shmq_sem_peer: got <id>" per number and
//   "shmq_sem_peer: done <taken> <timeouts> <semaphore value>"
// shmq_sem_peer <queue key> post
//   the writing end: makes the segment (rings as the creator leaves them, sem_init(s, 1, 0) on
//   both fields), prints "shmq_sem_peer: ready" and reads commands from standard input:
//   "one" posts the next number on ring 0 with sem_post ("shmq_sem_peer: posted <id>"),
//   "burst <n>" posts n numbers as fast as the ring has room ("shmq_sem_peer: burst <failed
//   sem_posts>"), "quit" removes the segment and exits 0.
#include <sched.h>
#include <semaphore.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "memory/shm_queue.h"

namespace {

constexpr size_t kRing1 = 80;
constexpr size_t kSem = 48;

using Ring = CShmQueque::DataQueue_t;

int waitMode(uint8_t* seg, long count)
{
    auto* ring = reinterpret_cast<Ring*>(seg);
    auto* sem = reinterpret_cast<sem_t*>(seg + kSem);
    ring->setEnable(true);
    printf("shmq_sem_peer: ready\n");
    fflush(stdout);
    long taken = 0;
    long timeouts = 0;
    while (taken < count) {
        if (shmRingCount(ring) > 0) {
            printf("shmq_sem_peer: got %d\n", shmRingTake(ring));
            fflush(stdout);
            ++taken;
            continue;
        }
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 3600;
        if (sem_timedwait(sem, &deadline) != 0 && errno == ETIMEDOUT) {
            ++timeouts;
        }
    }
    int value = -1;
    sem_getvalue(sem, &value);
    printf("shmq_sem_peer: done %ld %ld %d\n", taken, timeouts, value);
    fflush(stdout);
    return 0;
}

int postMode(int key)
{
    int id = shmget(key, SHM_QUEUE_SEGMENT_SIZE, IPC_CREAT | IPC_EXCL | 0666);
    void* p = id >= 0 ? shmat(id, nullptr, 0) : reinterpret_cast<void*>(-1);
    if (p == reinterpret_cast<void*>(-1)) {
        printf("shmq_sem_peer: can't create\n");
        return 1;
    }
    auto* seg = static_cast<uint8_t*>(p);
    auto* ring0 = new (seg) Ring(true, false);
    new (seg + kRing1) Ring(true, true);
    auto* sem0 = reinterpret_cast<sem_t*>(seg + kSem);
    auto* sem1 = reinterpret_cast<sem_t*>(seg + kRing1 + kSem);
    sem_init(sem0, 1, 0);
    sem_init(sem1, 1, 0);
    printf("shmq_sem_peer: ready\n");
    fflush(stdout);
    int next = 1;
    auto postOne = [&] {
        while (!ring0->m_bEnable.load() || shmRingCount(ring0) >= SHM_QUEUE_CAPACITY) {
            sched_yield();
        }
        shmRingPut(ring0, next++);
        return sem_post(sem0) == 0;
    };
    char line[64];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        if (strncmp(line, "one", 3) == 0) {
            postOne();
            printf("shmq_sem_peer: posted %d\n", next - 1);
        } else if (strncmp(line, "burst", 5) == 0) {
            long failed = 0;
            for (long n = strtol(line + 5, nullptr, 0); n > 0; --n) {
                failed += postOne() ? 0 : 1;
            }
            printf("shmq_sem_peer: burst %ld\n", failed);
        } else {
            break;
        }
        fflush(stdout);
    }
    sem_destroy(sem0);
    sem_destroy(sem1);
    shmdt(seg);
    shmctl(id, IPC_RMID, nullptr);
    printf("shmq_sem_peer: done\n");
    fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc < 3) {
        return 2;
    }
    const int key = static_cast<int>(strtol(argv[1], nullptr, 0));
    if (strcmp(argv[2], "post") == 0) {
        return postMode(key);
    }
    if (strcmp(argv[2], "wait") != 0 || argc != 4) {
        return 2;
    }
    int id = shmget(key, 0, 0);
    void* p = id >= 0 ? shmat(id, nullptr, 0) : reinterpret_cast<void*>(-1);
    if (p == reinterpret_cast<void*>(-1)) {
        printf("shmq_sem_peer: can't attach\n");
        return 1;
    }
    return waitMode(static_cast<uint8_t*>(p), strtol(argv[3], nullptr, 0));
}
