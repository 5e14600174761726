// Where an address of this process lies: the System V segment mapping that holds it (its key
// and the offset into it), as /proc/self/maps tells. Shows that a reader's package lies in the
// writer's pool segment itself.
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace shmmaps {

struct Where {
    bool found{false};
    unsigned key{0};
    uint64_t offset{0};
};

inline Where locate(const void* p)
{
    Where where;
    const auto addr = reinterpret_cast<uintptr_t>(p);
    FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr) {
        return where;
    }
    char line[512];
    while (std::fgets(line, sizeof(line), maps) != nullptr) {
        uintptr_t begin = 0;
        uintptr_t end = 0;
        if (std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR, &begin, &end) != 2 || addr < begin || addr >= end) {
            continue;
        }
        // A System V segment shows as "/SYSV<key in 8 hex digits> (deleted)".
        const char* name = std::strstr(line, "/SYSV");
        unsigned key = 0;
        if (name != nullptr && std::sscanf(name, "/SYSV%8x", &key) == 1) {
            where.found = true;
            where.key = key;
            where.offset = addr - begin;
        }
        break;
    }
    std::fclose(maps);
    return where;
}

} // namespace shmmaps
