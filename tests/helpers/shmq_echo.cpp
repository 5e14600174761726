// The reading end of a notification queue in another process:
// shmq_echo <queue key> <count> [<longest sleep of the receive thread, ms>].
// Attaches the queue, takes `count` numbers, checks that they are 1, 2, 3, ... and posts each
// back; prints "shmq_echo: ready" once listening and "shmq_echo: done <received> <errors>" at
// the end, and exits 0 when every number came once and in order.
#include "memory/shm_queue.h"

#include <sched.h>
#include <sys/prctl.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 3 && argc != 4) {
        return 2;
    }
    int key = static_cast<int>(strtol(argv[1], nullptr, 0));
    long count = strtol(argv[2], nullptr, 0);

    std::mutex mtx;
    std::condition_variable cv;
    long received = 0;
    long errors = 0;
    CShmQueque que;
    if (argc == 4) {
        que.setWaitMs(static_cast<int>(strtol(argv[3], nullptr, 0)));
    }
    bool ok = que.init(key, 1, [&](int, int id) {
        std::lock_guard<std::mutex> lock(mtx);
        ++received;
        if (id != received) {
            ++errors;
        }
        // The writer keeps at most two numbers unanswered, so the return ring has room.
        while (que.postRet(id, false) == CShmQueque::POST_FULL) {
            sched_yield();
        }
        cv.notify_all();
    });
    if (!ok) {
        printf("shmq_echo: init failed\n");
        return 1;
    }
    que.setEnable(true);
    printf("shmq_echo: ready\n");
    fflush(stdout);
    {
        std::unique_lock<std::mutex> lock(mtx);
        cv.wait_for(lock, std::chrono::seconds(100), [&] { return received >= count; });
    }
    que.setEnable(false);
    que.deinit();
    printf("shmq_echo: done %ld %ld\n", received, errors);
    fflush(stdout);
    return (received == count && errors == 0) ? 0 : 3;
}
