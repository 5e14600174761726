// The writing end of a notification queue in another process: shmq_writer <queue key>.
// Creates the queue segment, takes every return the reader posts, and serves stdin lines:
//   "post <n>"  posts the numbers 1..n on the reader's ring, each once the ring has room;
//               prints "posted <n>" (or "refused <id>" when the reader does not listen)
//   "returns"   prints "returns <count>" of the returns taken so far
//   "quit"      tears the queue down and exits 0
// Prints "shmq_writer: ready" once the segment exists.
#include "memory/shm_queue.h"

#include <sched.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 2) {
        return 2;
    }
    const int key = static_cast<int>(strtol(argv[1], nullptr, 0));
    std::atomic<long> returns{0};
    CShmQueque que;
    if (!que.init(key, 0, [&](int, int) { returns.fetch_add(1); })) {
        printf("shmq_writer: init failed\n");
        return 1;
    }
    que.setEnable(true);
    printf("shmq_writer: ready\n");
    fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
        std::istringstream in(line);
        std::string cmd;
        long n = 0;
        in >> cmd >> n;
        if (cmd == "post") {
            long id = 1;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (id <= n && std::chrono::steady_clock::now() < deadline) {
                CShmQueque::PostRet_e ret = que.postRet(static_cast<int>(id), false);
                if (ret == CShmQueque::POST_OK) {
                    ++id;
                } else if (ret == CShmQueque::POST_FULL) {
                    // The reader's thread takes within microseconds.
                    sched_yield();
                } else {
                    break;
                }
            }
            if (id > n) {
                printf("posted %ld\n", n);
            } else {
                printf("refused %ld\n", id);
            }
        } else if (cmd == "returns") {
            printf("returns %ld\n", returns.load());
        } else {
            printf("bad command\n");
        }
        fflush(stdout);
    }
    que.setEnable(false);
    que.deinit();
    return 0;
}
