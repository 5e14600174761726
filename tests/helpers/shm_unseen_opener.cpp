// Creates the segment of a key from a pid namespace of its own, where no creator of another
// namespace can be seen: shm_unseen_opener <key>. Runs CSystemUtils::openShm(key, 0, 4096) there
// and prints "@@ opened <shmid> <inUse 0|1>" after the library's lines; "@@ refused <reason>"
// (exit 3) when no pid namespace can be made.
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utils/system_utils.h"

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <key>\n", argv[0]);
        return 2;
    }
    const int key = static_cast<int>(std::strtol(argv[1], nullptr, 0));
    if (unshare(CLONE_NEWPID) != 0) {
        std::printf("@@ refused unshare(CLONE_NEWPID): %s\n", std::strerror(errno));
        return 3;
    }
    std::fflush(stdout);
    // Single-threaded here: the first child is the new namespace's first process.
    pid_t child = fork();
    if (child < 0) {
        std::printf("@@ refused fork: %s\n", std::strerror(errno));
        return 3;
    }
    if (child == 0) {
        bool inUse = false;
        const int id = CSystemUtils::openShm(key, 0, 4096, &inUse);
        std::fflush(stderr);
        std::printf("@@ opened %d %d\n", id, inUse ? 1 : 0);
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
