// A reading process of zero-copy transfer: shm_reader <queue key> <pool key> <layout> <hold|copy>.
// <layout> lists the groups as "<chunk size>x<count>,...". Attaches through a CShmClient and
// prints "shm_reader: got <number> <payload length> <payload text>" for every package; "hold"
// keeps every package (a reader that never reads), "copy" gives each back at once. Prints
// "shm_reader: ready" once attached; on end of input it detaches, prints "shm_reader: done" and
// exits 0.
#include "memory/shm_client.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool parseLayout(const char* text, MemPoolLayout_t* layout)
{
    *layout = MemPoolLayout_t{};
    std::string s(text);
    size_t pos = 0;
    while (pos < s.size() && layout->m_iGroupCount < 16) {
        size_t end = s.find(',', pos);
        std::string item = s.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        int size = 0;
        int count = 0;
        if (sscanf(item.c_str(), "%dx%d", &size, &count) != 2) {
            return false;
        }
        MemGroup_t& g = layout->m_stGroup[layout->m_iGroupCount];
        g.m_iGrpId = layout->m_iGroupCount++;
        g.m_iChunkSize = size;
        g.m_iChunkCount = count;
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    MemPoolLayout_t layout{};
    if (argc != 5 || !parseLayout(argv[3], &layout)) {
        return 2;
    }
    int queueKey = static_cast<int>(strtol(argv[1], nullptr, 0));
    int poolKey = static_cast<int>(strtol(argv[2], nullptr, 0));
    bool hold = strcmp(argv[4], "hold") == 0;

    CShmClient client;
    client.registerCallBack([hold](int, DataPackage_t* pkg) {
        int len = pkg->m_iLen - 34;
        char text[64] = {0};
        memcpy(text, pkgData(pkg) + 34, static_cast<size_t>(len < 63 ? len : 63));
        printf("shm_reader: got %d %d %s\n", pkg->m_iPkgId, len, text);
        fflush(stdout);
        return hold ? 0 : -1;
    });
    if (!client.init(queueKey, poolKey, layout)) {
        printf("shm_reader: init failed\n");
        return 1;
    }
    printf("shm_reader: ready\n");
    fflush(stdout);
    char buf[64];
    while (read(STDIN_FILENO, buf, sizeof(buf)) > 0) {
    }
    client.deinit();
    printf("shm_reader: done\n");
    fflush(stdout);
    return 0;
}
