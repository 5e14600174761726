// A writing process for the Unix-socket medium: a process-memory pool, a data manager and a
// CUnixSocketSender with one connection to the path given. It prints "ready", then publishes one
// message per stdin line "<number> <payload bytes>" (time stamp number * 1000 + 7, payload bytes
// (number + i) & 0xFF) and prints "sent <number>"; on "quit" or end of input it stops the sender
// and prints "bye".
//
// Usage: zqh_unix_dgram_writer <path> <index>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "core/transport/unix_socket_sender.h"
#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <path> <index>\n", argv[0]);
        return 2;
    }
    CNormalMemPool pool;
    MemConfig_t cfg{};
    cfg.m_iKey = -1;
    cfg.m_u32MaxPoolSize = 0x10000000;
    cfg.m_stGroup[0] = MemGroup_t{0, 4096, 16};
    cfg.m_stGroup[1] = MemGroup_t{1, 262144, 8};
    cfg.m_iGroupCount = 2;
    if (!pool.init(cfg)) {
        return 3;
    }
    CDataManager manager;
    manager.setMemPool(&pool);
    int result = 0;
    {
        CUnixSocketSender sender(&manager);
        TransParam_t param;
        std::memset(&param, 0, sizeof(param));
        param.m_iType = TRANS_TYPE_UNIX_SOCKET;
        std::strncpy(param.m_unixSocketParam.m_szPath, argv[1], sizeof(param.m_unixSocketParam.m_szPath) - 1);
        param.m_unixSocketParam.m_iId = std::atoi(argv[2]);
        if (!sender.addConn(1, param) || !sender.init()) {
            return 4;
        }
        std::printf("ready\n");
        std::fflush(stdout);
        std::string line;
        while (std::getline(std::cin, line) && line != "quit") {
            std::istringstream in(line);
            unsigned number = 0;
            unsigned payload = 0;
            if (!(in >> number >> payload)) {
                result = 5;
                break;
            }
            DataPackage_t* pkg = manager.getEmptyDataPkg(static_cast<int>(DDS_HEADER_SIZE + payload), 100);
            if (pkg == nullptr) {
                result = 6;
                break;
            }
            DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
            header.m_u64TimeStamp = static_cast<uint64_t>(number) * 1000 + 7;
            header.m_u32DataLen = payload;
            writeDdsHeader(pkgData(pkg), header);
            for (unsigned i = 0; i < payload; ++i) {
                pkgData(pkg)[DDS_HEADER_SIZE + i] = static_cast<uint8_t>(number + i);
            }
            pkg->m_iLen = static_cast<int>(DDS_HEADER_SIZE + payload);
            manager.putFullDataPkg(pkg);
            std::printf("sent %u\n", number);
            std::fflush(stdout);
        }
        sender.deinit();
    }
    std::printf("bye\n");
    std::fflush(stdout);
    return result;
}
