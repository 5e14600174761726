// A writing process for the UDP medium: a process-memory pool, a data manager and a CUdpSender
// with one connection to the address and port given. It prints "ready", then publishes one
// message per stdin line "<number> <payload bytes>" (time stamp number * 1000 + 7, payload bytes
// (number + i) & 0xFF) and prints "sent <number>"; on "quit" or end of input it stops the sender
// and prints "bye".
//
// Usage: zqh_udp_writer <receiver ip> <port>
#include <sys/prctl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/transport/udp_sender.h"
#include "helpers/dgram_writer.h"

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <receiver ip> <port>\n", argv[0]);
        return 2;
    }
    CNormalMemPool pool;
    MemConfig_t cfg = dgramwriter::poolConfig(2097152, 4);
    if (!pool.init(cfg)) {
        return 3;
    }
    CDataManager manager;
    manager.setMemPool(&pool);
    int result = 0;
    {
        CUdpSender sender(&manager);
        TransParam_t param;
        std::memset(&param, 0, sizeof(param));
        param.m_iType = TRANS_TYPE_UDP;
        std::strncpy(param.m_udpParam.m_szIp, argv[1], sizeof(param.m_udpParam.m_szIp) - 1);
        param.m_udpParam.m_iPort = std::atoi(argv[2]);
        // As the writing side does: start the sender, then add the reader.
        if (!sender.init() || !sender.addConn(1, param)) {
            return 4;
        }
        result = dgramwriter::publishLines(manager);
        sender.deinit();
    }
    std::printf("bye\n");
    std::fflush(stdout);
    return result;
}
