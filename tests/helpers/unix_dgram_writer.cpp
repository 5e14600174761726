// A writing process for the Unix-socket medium: a process-memory pool, a data manager and a
// CUnixSocketSender with one connection to the path given. It prints "ready", then publishes one
// message per stdin line "<number> <payload bytes>" (time stamp number * 1000 + 7, payload bytes
// (number + i) & 0xFF) and prints "sent <number>"; on "quit" or end of input it stops the sender
// and prints "bye".
//
// Usage: zqh_unix_dgram_writer <path> <index>
#include <cstdio>
#include <cstdlib>

#include "core/transport/media/unix_socket_sender.h"
#include "helpers/dgram_writer.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <path> <index>\n", argv[0]);
        return 2;
    }
    return dgramwriter::runWriter<CUnixSocketSender>(262144, 8, dgramtest::unixParam(argv[1], std::atoi(argv[2])),
                                                     true);
}
