// A hostile datagram source, written from the fragment format: empty, short and bare-header
// datagrams, an unsupported flag, frames cut off after their first fragment, fragments out of
// order, datagrams shorter than their header says and datagrams larger than any fragment. It
// prints "ready"; for each stdin line "burst <rounds> <number>" it sends the whole set <rounds>
// times, then one well-formed frame of 100 payload bytes (time stamp <number>, bytes
// (number + i) & 0xFF), and prints "sent <number>"; "quit" or the end of input ends it.
//
// Usage: zqh_dgram_flood udp <ip> <port>
//        zqh_dgram_flood unix <path>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/transport/transport.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kUdpFragPayload = 1438;
constexpr uint32_t kUnixFragPayload = 65502;

Bytes datagram(uint8_t flag, uint32_t seqNo, uint32_t count, uint32_t totalLen, uint32_t dataLen, size_t sent,
               uint64_t timeStamp)
{
    Bytes d(sent, 0);
    DDSHeader_t header = makeDdsHeader(flag, MSG_TYPE_DATA);
    header.m_u32SeqNo = seqNo;
    header.m_u32PktCount = count;
    header.m_u32TotalLen = totalLen;
    header.m_u32DataLen = dataLen;
    header.m_u64TimeStamp = timeStamp;
    if (sent >= DDS_HEADER_SIZE) {
        writeDdsHeader(d.data(), header);
    }
    return d;
}

// One round of everything a peer must not be able to turn into a line each.
std::vector<Bytes> hostileSet(uint32_t frag)
{
    const uint32_t total = 2 * frag + 100; // three fragments
    return {
        Bytes(),                                                                // empty
        Bytes(10, 0x5a),                                                        // shorter than a header
        datagram(PKT_FLAG_FIRST, 1, 1, 0, 0, DDS_HEADER_SIZE, 1),               // bare header
        datagram(3, 1, 1, 100, 100, DDS_HEADER_SIZE + 100, 2),                  // unsupported flag
        datagram(PKT_FLAG_FIRST, 1, 3, total, frag, DDS_HEADER_SIZE + frag, 3), // a frame cut after this
        datagram(PKT_FLAG_LAST, 3, 3, total, 100, DDS_HEADER_SIZE + 100, 3),    // its last, the middle missing
        datagram(PKT_FLAG_FIRST, 1, 1, 100, 100, DDS_HEADER_SIZE + 40, 4),      // cut short of its length
        Bytes(frag + DDS_HEADER_SIZE + 1000, 0xa5),                             // larger than any fragment
    };
}

} // namespace

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sockaddr_storage to{};
    socklen_t toLen = 0;
    int fd = -1;
    uint32_t frag = 0;
    if (argc == 4 && std::strcmp(argv[1], "udp") == 0) {
        auto* in = reinterpret_cast<sockaddr_in*>(&to);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(std::atoi(argv[3])));
        if (inet_pton(AF_INET, argv[2], &in->sin_addr) != 1) {
            return 2;
        }
        toLen = sizeof(sockaddr_in);
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        frag = kUdpFragPayload;
    } else if (argc == 3 && std::strcmp(argv[1], "unix") == 0) {
        auto* un = reinterpret_cast<sockaddr_un*>(&to);
        un->sun_family = AF_UNIX;
        std::strncpy(un->sun_path, argv[2], sizeof(un->sun_path) - 1);
        toLen = sizeof(sockaddr_un);
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        frag = kUnixFragPayload;
    } else {
        std::fprintf(stderr, "usage: %s udp <ip> <port> | unix <path>\n", argv[0]);
        return 2;
    }
    if (fd < 0) {
        std::perror("socket");
        return 3;
    }
    const std::vector<Bytes> hostile = hostileSet(frag);
    auto send = [&](const Bytes& d) {
        return ::sendto(fd, d.data(), d.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), toLen) ==
               static_cast<ssize_t>(d.size());
    };
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
        std::istringstream words(line);
        std::string verb;
        int rounds = 0;
        unsigned number = 0;
        if (!(words >> verb >> rounds >> number) || verb != "burst") {
            return 4;
        }
        for (int r = 0; r < rounds; ++r) {
            for (const Bytes& d : hostile) {
                if (!send(d)) {
                    std::perror("sendto");
                    return 5;
                }
            }
        }
        Bytes good = datagram(PKT_FLAG_FIRST, 1, 1, 100, 100, DDS_HEADER_SIZE + 100, number);
        for (uint32_t i = 0; i < 100; ++i) {
            good[DDS_HEADER_SIZE + i] = static_cast<uint8_t>(number + i);
        }
        if (!send(good)) {
            std::perror("sendto");
            return 5;
        }
        std::printf("sent %u\n", number);
        std::fflush(stdout);
    }
    ::close(fd);
    return 0;
}
