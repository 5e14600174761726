// Fuzzes the configuration reader: the input is the whole configuration file, read through every
// getter. Each gives 0 or -1; on -1 its output is left as it was (the multicast getter may have
// stored the group, the port getter may have appended its range); every number delivered lies in
// its range, and no range gives more numbers than it may.
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/dds_config.h"
#include "core/resource_manager.h"

namespace {

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

// The input as a file the reader opens by its name: a memory file, rewritten per input.
const std::string& configPath(const uint8_t* data, size_t size)
{
    static const int fd = memfd_create("s5_fuzz_config", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    check(fd >= 0 && ftruncate(fd, 0) == 0);
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        check(n > 0);
        done += static_cast<size_t>(n);
    }
    return path;
}

constexpr int SENTINEL = -7777;

void checkInt(int ret, int value)
{
    check(ret == 0 || ret == -1);
    check(ret == 0 || value == SENTINEL);
}

// A range getter: on 0 the list is the sentinel followed by at most `maxCount` numbers in
// [lo, hi]; on -1 only the sentinel unless `mayAppend`.
void checkList(int ret, const std::vector<int>& list, size_t maxCount, long long lo, long long hi, bool mayAppend)
{
    check(ret == 0 || ret == -1);
    check(!list.empty() && list[0] == SENTINEL);
    if (ret == -1 && !mayAppend) {
        check(list.size() == 1);
    }
    check(list.size() - 1 <= maxCount);
    for (size_t i = 1; i < list.size(); ++i) {
        check(list[i] >= lo && list[i] <= hi);
        // Appended from the top down, each number once.
        check(i == 1 || list[i] < list[i - 1]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CDDSConfig config(configPath(data, size));
    int value = SENTINEL;
    checkInt(config.getDomainId(value), value);
    value = SENTINEL;
    checkInt(config.getDiscoverPeriod(value), value);
    value = SENTINEL;
    checkInt(config.getMaxMemPoolSize(value), value);

    std::string ip = "unset";
    int port = SENTINEL;
    int ret = config.getMulticastInfo(ip, port);
    check(ret == 0 || (ret == -1 && port == SENTINEL));

    std::string name = "unset";
    ret = config.getEthDevName(name);
    check(ret == 0 || (ret == -1 && name == "unset"));

    std::vector<int> list{SENTINEL};
    checkList(config.getTransportSocketPorts(list), list, 65535, 1, 65535, true);
    list.assign(1, SENTINEL);
    checkList(config.getTransportUnixSocketIdx(list), list, 65536, INT_MIN, INT_MAX, false);
    list.assign(1, SENTINEL);
    // Keys handed out lie in 1..INT_MAX.
    checkList(config.getTransportShmKey(list), list, 65536, -SHM_KEY_OFFSET + 1, INT_MAX - SHM_KEY_OFFSET, false);
    for (size_t i = 1; i < list.size(); ++i) {
        check(CResourceManager::isUsableShmKeyNumber(list[i]));
    }
    return 0;
}

#ifndef ZQ_LIBFUZZER
#include "seeds.h"

int main(int argc, char** argv)
{
    return zqfuzz::seedMain(argc, argv, {}, [](const std::vector<zqfuzz::Seed>&) { return 0L; });
}
#endif
