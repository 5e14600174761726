// The frame of the datagram writing processes: a process-memory pool and a data manager for the
// sender, and the stdin loop that publishes one message per line "<number> <payload bytes>" (time
// stamp number * 1000 + 7, payload bytes (number + i) & 0xFF) and prints "sent <number>".
#pragma once

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"
#include "support/dgram_params.h"

namespace dgramwriter {

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

// The whole writing process around a `Sender` with one connection, `param`: the pool (small
// packages and `largeCount` of `largeSize` bytes), the manager, the sender started and connected
// (`connectFirst`: the connection added before the sender starts), the stdin loop, then "bye".
// The result of publishLines, 3 when the pool cannot be made, 4 when the sender refuses.
template <typename Sender> int runWriter(int largeSize, int largeCount, const TransParam_t& param, bool connectFirst)
{
    CNormalMemPool pool;
    MemConfig_t cfg = dgramtest::poolConfig(largeSize, largeCount);
    if (!pool.init(cfg)) {
        return 3;
    }
    CDataManager manager;
    manager.setMemPool(&pool);
    int result = 0;
    {
        Sender sender(&manager);
        TransParam_t conn = param;
        const bool ready =
            connectFirst ? sender.addConn(1, conn) && sender.init() : sender.init() && sender.addConn(1, conn);
        if (!ready) {
            return 4;
        }
        result = publishLines(manager);
        sender.deinit();
    }
    std::printf("bye\n");
    std::fflush(stdout);
    return result;
}

} // namespace dgramwriter
