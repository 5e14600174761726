// Another process using a segment by key: shmpeer <key> <expected text> <reply text>.
// Looks the key up, checks that the segment starts with the expected text, writes the reply
// at byte 256, detaches and exits 0; never removes the segment.
#include "utils/system_utils.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 4) {
        return 2;
    }
    int key = static_cast<int>(strtol(argv[1], nullptr, 0));
    int shmid = CSystemUtils::openShm(key, 1, 0);
    if (shmid < 0) {
        return 1;
    }
    auto* base = static_cast<char*>(CSystemUtils::attachShm(shmid));
    if (base == nullptr) {
        return 1;
    }
    bool same = strncmp(base, argv[2], strlen(argv[2]) + 1) == 0;
    if (same) {
        strcpy(base + 256, argv[3]);
    }
    if (CSystemUtils::detachShm(base) != 0) {
        return 1;
    }
    printf("shmpeer: %s\n", same ? "ok" : "mismatch");
    return same ? 0 : 3;
}
