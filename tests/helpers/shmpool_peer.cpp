// Attaches a pool segment by key like a reading process, walks it from the layout given on the
// command line and prints what it finds: shmpool_peer <key> <grp:size:count>...
// Then writes "from peer" into the data area of the last package and prints "done".
#include <sys/prctl.h>
#include <sys/shm.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "utils/system_utils.h"

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc < 3) {
        return 2;
    }
    int key = static_cast<int>(strtol(argv[1], nullptr, 0));
    struct Group {
        int id, size, count;
    };
    std::vector<Group> groups;
    for (int i = 2; i < argc; ++i) {
        Group g{};
        if (sscanf(argv[i], "%d:%d:%d", &g.id, &g.size, &g.count) != 3) {
            return 2;
        }
        groups.push_back(g);
    }
    int shmid = CSystemUtils::openShm(key, 1, 0);
    if (shmid < 0) {
        return 3;
    }
    shmid_ds ds{};
    if (shmctl(shmid, IPC_STAT, &ds) != 0) {
        return 3;
    }
    auto* base = static_cast<uint8_t*>(CSystemUtils::attachShm(shmid));
    if (base == nullptr) {
        return 3;
    }
    printf("segment %zu\n", static_cast<size_t>(ds.shm_segsz));
    size_t off = 0;
    int n = 0;
    size_t last = 0;
    for (const Group& g : groups) {
        for (int i = 0; i < g.count; ++i) {
            ++n;
            if (off + 64 + static_cast<size_t>(g.size) > ds.shm_segsz) {
                printf("outside at %d\n", n);
                return 4;
            }
            int32_t grp, id, size, len;
            memcpy(&grp, base + off, 4);
            memcpy(&id, base + off + 48, 4);
            memcpy(&size, base + off + 56, 4);
            memcpy(&len, base + off + 60, 4);
            std::string data;
            for (int b = 0; b < len && b < 32 && b < g.size; ++b) {
                char hex[3];
                snprintf(hex, sizeof(hex), "%02x", base[off + 64 + static_cast<size_t>(b)]);
                data += hex;
            }
            printf("pkg %d off %zu grp %d id %d shm %d size %d len %d data %s\n", n, off, grp, id, base[off + 52], size,
                   len, data.c_str());
            last = off;
            off += static_cast<size_t>(g.size) + 96;
        }
    }
    memcpy(base + last + 64, "from peer", 10);
    CSystemUtils::detachShm(base);
    printf("done\n");
    fflush(stdout);
    return 0;
}
