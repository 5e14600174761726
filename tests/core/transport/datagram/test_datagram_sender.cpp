// What the datagram senders count: UDP every package of a pass, whether or not a reader took it;
// Unix-domain sockets only a package that was cut and still has a reader listed.
#include "core/transport/datagram/datagram_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/transport/media/udp_sender.h"
#include "core/transport/media/unix_socket_sender.h"
#include "support/datagram_support.h"
#include "support/zqtest.h"
#include "utils/unique_fd.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A sender of the medium whose counting the test reads.
template <typename Sender> class CountingProbe : public Sender {
public:
    CountingProbe() : Sender(nullptr) {}
    // One pass of the send loop over the packages given (each `pkg` cut to its length): how many
    // packages it counted.
    int pass(Bytes& pkg, const std::vector<int>& lengths)
    {
        std::vector<unsigned char*> data(lengths.size(), pkg.data());
        const int before = this->m_frameRate.frameCount();
        this->sendAndCount(lengths.size(), data.data(), lengths.data());
        return this->m_frameRate.frameCount() - before;
    }
    bool sentFlag() const { return this->m_bSent.load(); }
};

// A bound reader of either medium, so that a connection's sends go somewhere.
struct Reader {
    CUniqueFd fd;
    TransParam_t param{};
};

Reader udpReader()
{
    Reader reader;
    reader.fd.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(reader.fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::getsockname(reader.fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        reader.fd.reset();
        return reader;
    }
    reader.param = dgramtest::udpParam("127.0.0.1", ntohs(addr.sin_port));
    return reader;
}

Reader unixReader()
{
    Reader reader;
    const std::string path = "/tmp/m31_count-4931";
    ::unlink(path.c_str());
    reader.fd.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (::bind(reader.fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        reader.fd.reset();
        return reader;
    }
    reader.param = dgramtest::unixParam(path, 4931);
    return reader;
}

class DatagramSenderNsTest : public zqtest::NsTest {};

// Shorter than a header: never cut.
constexpr int kShort = static_cast<int>(DDS_HEADER_SIZE) - 1;

struct CountCase {
    bool reader; // one reader listed
    std::vector<int> lengths;
    int udp; // packages counted by each medium
    int unixSocket;
};

template <typename Sender> void expectCounts(Reader (*makeReader)(), int CountCase::*counted, const char* medium)
{
    const int whole = static_cast<int>(DDS_HEADER_SIZE) + 100;
    const CountCase cases[] = {
        {false, {whole}, 1, 0},
        {false, {kShort}, 1, 0},
        {true, {whole}, 1, 1},
        {true, {kShort}, 1, 0},
        {true, {whole, kShort, whole}, 3, 2},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const CountCase& c = cases[i];
        Reader reader;
        CountingProbe<Sender> sender;
        if (c.reader) {
            reader = makeReader();
            ASSERT_TRUE(reader.fd.valid()) << medium;
            ASSERT_TRUE(sender.addConn(7, reader.param)) << medium;
        }
        Bytes pkg = dgramtest::packageOf(100, 1, 3);
        EXPECT_EQ(sender.pass(pkg, c.lengths), c.*counted) << medium << " case " << i;
        EXPECT_EQ(sender.sentFlag(), c.*counted > 0) << medium << " case " << i;
    }
}

TEST_F(DatagramSenderNsTest, EachMediumCountsAPassByItsOwnRule)
{
    ASSERT_NO_FATAL_FAILURE(expectCounts<CUdpSender>(udpReader, &CountCase::udp, "udp"));
    ASSERT_NO_FATAL_FAILURE(expectCounts<CUnixSocketSender>(unixReader, &CountCase::unixSocket, "unix socket"));
}

} // namespace
