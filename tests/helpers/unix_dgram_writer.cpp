// A writing process for the Unix-socket medium: a process-memory pool, a data manager and a
// CUnixSocketSender with one connection to the path given. It prints "ready", then publishes one
// message per stdin line "<number> <payload bytes>" (time stamp number * 1000 + 7, payload bytes
// (number + i) & 0xFF) and prints "sent <number>"; on "quit" or end of input it stops the sender
// and prints "bye".
//
// Usage: zqh_unix_dgram_writer <path> <index>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/transport/unix_socket_sender.h"
#include "helpers/dgram_writer.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <path> <index>\n", argv[0]);
        return 2;
    }
    CNormalMemPool pool;
    MemConfig_t cfg = dgramwriter::poolConfig(262144, 8);
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
        result = dgramwriter::publishLines(manager);
        sender.deinit();
    }
    std::printf("bye\n");
    std::fflush(stdout);
    return result;
}
