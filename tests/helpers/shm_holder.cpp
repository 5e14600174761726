// Another program's segment under a key: shm_holder <key> <created|attached|detached>.
// Creates the segment (4096 bytes, mode 0666) and, for "attached", keeps it attached; for
// "detached", attaches and detaches it again; for "created", never attaches it. Prints
// "@@ holding <shmid>", then waits until its input closes and exits without removing it.
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <key> <created|attached|detached>\n", argv[0]);
        return 2;
    }
    const auto key = static_cast<key_t>(std::strtol(argv[1], nullptr, 0));
    const std::string mode = argv[2];
    int id = shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0666);
    if (id < 0) {
        std::perror("shmget");
        return 1;
    }
    if (mode == "attached" || mode == "detached") {
        void* addr = shmat(id, nullptr, 0);
        if (addr == reinterpret_cast<void*>(-1)) {
            std::perror("shmat");
            return 1;
        }
        std::strcpy(static_cast<char*>(addr), "held");
        if (mode == "detached") {
            shmdt(addr);
        }
    }
    std::printf("@@ holding %d\n", id);
    std::fflush(stdout);
    char buf[64];
    while (read(STDIN_FILENO, buf, sizeof(buf)) > 0) {
    }
    return 0;
}
