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

#include "core/transport/media/udp_sender.h"
#include "helpers/dgram_writer.h"

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <receiver ip> <port>\n", argv[0]);
        return 2;
    }
    // As the writing side does: start the sender, then add the reader.
    return dgramwriter::runWriter<CUdpSender>(2097152, 4, dgramtest::udpParam(argv[1], std::atoi(argv[2])), false);
}
