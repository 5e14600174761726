// The frame of the datagram writing processes: a process-memory pool for the sender, and the
// stdin loop that publishes one message per line "<number> <payload bytes>" (time stamp
// number * 1000 + 7, payload bytes (number + i) & 0xFF) and prints "sent <number>".
#pragma once

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"

namespace dgramwriter {

// A pool of small packages and `largeCount` packages of `largeSize` bytes.
inline MemConfig_t poolConfig(int largeSize, int largeCount)
{
    MemConfig_t cfg{};
    cfg.m_iKey = -1;
    cfg.m_u32MaxPoolSize = 0x10000000;
    cfg.m_stGroup[0] = MemGroup_t{0, 4096, 16};
    cfg.m_stGroup[1] = MemGroup_t{1, largeSize, largeCount};
    cfg.m_iGroupCount = 2;
    return cfg;
}

// Prints "ready", then publishes the stdin lines through `manager` until "quit" or the end of
// input. 0, 5 for a line that is not two numbers, 6 when the pool has no package.
inline int publishLines(CDataManager& manager)
{
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
        std::istringstream in(line);
        unsigned number = 0;
        unsigned payload = 0;
        if (!(in >> number >> payload)) {
            return 5;
        }
        DataPackage_t* pkg = manager.getEmptyDataPkg(static_cast<int>(DDS_HEADER_SIZE + payload), 100);
        if (pkg == nullptr) {
            return 6;
        }
        DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
        header.m_u64TimeStamp = static_cast<uint64_t>(number) * 1000 + 7;
        header.m_u32DataLen = payload;
        writeDdsHeader(pkgData(pkg), header);
        for (unsigned i = 0; i < payload; ++i) {
            pkgData(pkg)[DDS_HEADER_SIZE + i] = static_cast<uint8_t>(number + i);
        }
        pkg->m_iLen = static_cast<int>(DDS_HEADER_SIZE + payload);
        manager.putFullDataPkg(pkg, pkg->m_iLen);
        std::printf("sent %u\n", number);
        std::fflush(stdout);
    }
    return 0;
}

} // namespace dgramwriter
