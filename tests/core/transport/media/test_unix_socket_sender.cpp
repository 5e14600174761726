// The Unix-domain socket sender: its connection table, what it sends on a real socket, packages
// without connections, a reader that never reads, and what is left after teardown.
#include "core/transport/media/unix_socket_sender.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"
#include "support/datagram_support.h"
#include "support/zqtest.h"

namespace {

using Bytes = std::vector<uint8_t>;

using dgramtest::unixParam;

// A reader socket bound at a path of this test's private /tmp, read by the test itself.
struct RawReader {
    explicit RawReader(const std::string& p) : path(p)
    {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr;
        std::memset(&addr, 0, sizeof(addr));
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~RawReader()
    {
        ::close(fd);
        ::unlink(path.c_str());
    }
    // The next datagram, or an empty optional-like flag when none comes within the deadline.
    bool next(Bytes* out, int timeoutMs = 10000)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) {
            return false;
        }
        return dgramtest::recvDatagram(fd, out);
    }
    std::string path;
    int fd{-1};
    bool bound{false};
};

// Publishes a package as a writer does: header zeroed, magic, type, time stamp, payload length.
bool publish(CDataManager& manager, uint32_t payload, uint64_t timeStamp, uint8_t seed)
{
    DataPackage_t* pkg = manager.getEmptyDataPkg(static_cast<int>(DDS_HEADER_SIZE + payload), 100);
    if (pkg == nullptr) {
        return false;
    }
    DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
    header.m_u64TimeStamp = timeStamp;
    header.m_u32DataLen = payload;
    writeDdsHeader(pkgData(pkg), header);
    for (uint32_t i = 0; i < payload; ++i) {
        pkgData(pkg)[DDS_HEADER_SIZE + i] = static_cast<uint8_t>(seed + i * 3);
    }
    pkg->m_iLen = static_cast<int>(DDS_HEADER_SIZE + payload);
    return manager.putFullDataPkg(pkg, pkg->m_iLen) == 0;
}

class UnixSocketSenderNsTest : public dgramtest::SenderNsTest<CUnixSocketSender> {
protected:
    UnixSocketSenderNsTest() : SenderNsTest(262144, 8) {}
};

TEST_F(UnixSocketSenderNsTest, ConnectionTable)
{
    TransParam_t wrongType = unixParam("/tmp/h6_uss-1", 1);
    wrongType.m_iType = TRANS_TYPE_UDP;
    EXPECT_FALSE(m_sender->addConn(5, wrongType));
    EXPECT_EQ(zqtest::countOpenFds(), m_baseFds) << "nothing opened for a wrong type";

    TransParam_t unterminated = unixParam("", 1);
    std::memset(unterminated.m_unixSocketParam.m_szPath, 'a', sizeof(unterminated.m_unixSocketParam.m_szPath));
    zqtest::OutputCapture capture;
    EXPECT_FALSE(m_sender->addConn(5, unterminated));
    TransParam_t param = unixParam("/tmp/h6_uss-1", 1);
    EXPECT_TRUE(m_sender->addConn(5, param));
    EXPECT_FALSE(m_sender->addConn(5, param)) << "one connection per id";
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31", "Error: invalid unix socket path!"));
    EXPECT_NE(capture.out().find(", while seted size is 2048 KB."), std::string::npos) << capture.out();
    EXPECT_EQ(zqtest::countOpenFds(), m_baseFds + 1) << "the refused duplicate's socket was closed";

    EXPECT_EQ(m_sender->getClientCount(), 1);
    EXPECT_TRUE(m_sender->isConnExist(5));
    EXPECT_FALSE(m_sender->isConnExist(6));
    EXPECT_EQ(m_sender->getPort(5), 1);
    EXPECT_EQ(m_sender->getPort(6), -1);
    EXPECT_EQ(m_sender->getFps(), 0);
    EXPECT_FALSE(m_sender->isInit());
}

TEST_F(UnixSocketSenderNsTest, DelConnClosesTheDataSocketButNotTheControlDescriptor)
{
    int control[2];
    ASSERT_EQ(::pipe2(control, O_CLOEXEC), 0);
    const int base = zqtest::countOpenFds();
    TransParam_t param = unixParam("/tmp/h6_uss-2", 2);
    ASSERT_TRUE(m_sender->addConn(control[0], param));
    EXPECT_EQ(zqtest::countOpenFds(), base + 1);
    EXPECT_FALSE(m_sender->delConn(control[0] + 100)) << "unknown id";
    zqtest::OutputCapture capture;
    EXPECT_TRUE(m_sender->delConn(control[0]));
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32",
                                   "Delete domain socket conn " + std::to_string(control[0]) +
                                       ", path: /tmp/h6_uss-2, port: 2"));
    EXPECT_EQ(zqtest::countOpenFds(), base);
    EXPECT_NE(::fcntl(control[0], F_GETFD), -1) << "the control descriptor stays open";
    EXPECT_FALSE(m_sender->isConnExist(control[0]));
    EXPECT_EQ(m_sender->getClientCount(), 0);
    EXPECT_EQ(m_sender->getFps(), -1);
    EXPECT_FALSE(m_sender->delConn(control[0]));
    ::close(control[0]);
    ::close(control[1]);
}

TEST_F(UnixSocketSenderNsTest, InitDeinitAndRestart)
{
    EXPECT_TRUE(m_sender->init());
    EXPECT_TRUE(m_sender->isInit());
    EXPECT_FALSE(m_sender->init()) << "already running";
    EXPECT_EQ(zqtest::threadsSettleAt(m_baseThreads + 1), m_baseThreads + 1);
    m_sender->deinit();
    EXPECT_FALSE(m_sender->isInit());
    m_sender->deinit();
    EXPECT_EQ(zqtest::threadsSettleAt(m_baseThreads), m_baseThreads);
    EXPECT_TRUE(m_sender->init()) << "a medium can be started again";
    // The destructor stops the running sender (checked in TearDown).
}

TEST_F(UnixSocketSenderNsTest, PackagesGoOutAsFragments)
{
    RawReader reader("/tmp/h6_uss-3");
    ASSERT_TRUE(reader.bound);
    TransParam_t param = unixParam("/tmp/h6_uss-3", 3);
    ASSERT_TRUE(m_sender->addConn(9, param));
    ASSERT_TRUE(m_sender->init());
    const uint32_t payload = 3 * UNIX_SOCKET_FRAG_PAYLOAD + 1;
    ASSERT_TRUE(publish(m_manager, payload, 0xABCDEF0123ull, 7));
    const uint32_t lens[] = {65502, 65502, 65502, 1};
    const uint8_t flags[] = {0, 1, 1, 2};
    size_t offset = 0;
    for (uint32_t i = 0; i < 4; ++i) {
        Bytes d;
        ASSERT_TRUE(reader.next(&d)) << "fragment " << i + 1;
        ASSERT_EQ(d.size(), DDS_HEADER_SIZE + lens[i]);
        DDSHeader_t h = readDdsHeader(d.data());
        EXPECT_TRUE(hasDdsMagic(d.data(), d.size()));
        EXPECT_EQ(h.m_u8Flag, flags[i]);
        EXPECT_EQ(h.m_u8Type, MSG_TYPE_DATA);
        EXPECT_EQ(+h.m_u32SeqNo, i + 1);
        EXPECT_EQ(+h.m_u64TimeStamp, 0xABCDEF0123ull);
        EXPECT_EQ(+h.m_u32DataLen, lens[i]);
        EXPECT_EQ(+h.m_u32TotalLen, payload);
        EXPECT_EQ(+h.m_u32PktCount, 4u);
        for (uint32_t k = 0; k < lens[i]; k += 4099) {
            ASSERT_EQ(d[DDS_HEADER_SIZE + k], static_cast<uint8_t>(7 + (offset + k) * 3)) << k;
        }
        offset += lens[i];
    }
    EXPECT_GE(m_sender->getFps(), 0);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pool.getUsedSize() == 0; }, 10000));
}

// The connection's socket is connected at its first send: packages sent while nothing is bound at
// the path are lost for that reader only, and a reader that binds late, or closes and binds the
// path again, gets the packages sent after that (at most the first one after a rebind is lost,
// which tells the sender the old socket went).
TEST_F(UnixSocketSenderNsTest, AReaderThatBindsLateOrAgainGetsPackages)
{
    const std::string path = "/tmp/s26_usc-1";
    TransParam_t param = unixParam(path, 1);
    ASSERT_TRUE(m_sender->addConn(9, param));
    Bytes pkg = dgramtest::packageOf(100, 1, 1);
    EXPECT_EQ(m_sender->getClientCount(), 1);
    m_sender->sendData(pkg.data(), static_cast<int>(pkg.size())); // nobody there: lost, no harm
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        RawReader reader(path);
        ASSERT_TRUE(reader.bound);
        // The first send may meet the socket of the round before, which is gone.
        bool arrived = false;
        for (uint64_t attempt = 0; attempt < 2 && !arrived; ++attempt) {
            pkg = dgramtest::packageOf(100, 10 * round + attempt, 2);
            m_sender->sendData(pkg.data(), static_cast<int>(pkg.size()));
            pollfd p{reader.fd, POLLIN, 0};
            arrived = ::poll(&p, 1, 0) == 1;
        }
        ASSERT_TRUE(arrived);
        for (uint64_t n = 0; n < 3; ++n) {
            pkg = dgramtest::packageOf(100, 1000 + n, 3);
            m_sender->sendData(pkg.data(), static_cast<int>(pkg.size()));
        }
        Bytes d;
        ASSERT_TRUE(reader.next(&d));
        for (uint64_t n = 0; n < 3; ++n) {
            ASSERT_TRUE(reader.next(&d));
            EXPECT_EQ(+readDdsHeader(d.data()).m_u64TimeStamp, 1000 + n);
        }
    }
}

TEST_F(UnixSocketSenderNsTest, PackagesWithoutConnectionsAreDropped)
{
    ASSERT_TRUE(m_sender->init());
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(publish(m_manager, 100, static_cast<uint64_t>(i), 1));
    }
    EXPECT_TRUE(zqtest::waitUntil([&] { return m_pool.getUsedSize() == 0; }, 10000));
    EXPECT_EQ(m_sender->getFps(), -1);
}

TEST_F(UnixSocketSenderNsTest, StalledReaderHoldsUpNeitherOtherReadersNorControl)
{
    RawReader stalled("/tmp/h6_uss-4");
    RawReader healthy("/tmp/h6_uss-5");
    ASSERT_TRUE(stalled.bound && healthy.bound);
    TransParam_t stalledParam = unixParam("/tmp/h6_uss-4", 4);
    TransParam_t healthyParam = unixParam("/tmp/h6_uss-5", 5);
    ASSERT_TRUE(m_sender->addConn(10, stalledParam));
    ASSERT_TRUE(m_sender->addConn(11, healthyParam));
    ASSERT_TRUE(m_sender->init());
    // Far more packages than the stalled reader's queue holds; each one reaches the healthy reader.
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(publish(m_manager, 2000, static_cast<uint64_t>(i), static_cast<uint8_t>(i)));
        Bytes d;
        ASSERT_TRUE(healthy.next(&d)) << "package " << i;
        EXPECT_EQ(+readDdsHeader(d.data()).m_u64TimeStamp, static_cast<uint64_t>(i));
        // Control work goes on while the stalled reader's queue is full.
        EXPECT_TRUE(m_sender->isConnExist(10));
        EXPECT_EQ(m_sender->getPort(10), 4);
    }
    TransParam_t more = unixParam("/tmp/h6_uss-6", 6);
    EXPECT_TRUE(m_sender->addConn(12, more));
    EXPECT_TRUE(m_sender->delConn(10));
    EXPECT_TRUE(m_sender->delConn(12));
    EXPECT_EQ(m_sender->getClientCount(), 1);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pool.getUsedSize() == 0; }, 10000));
}

// Packages published back to back queue up behind the one in flight and go out together: every
// one reaches the reader intact and in publishing order, and each goes back to the pool.
TEST_F(UnixSocketSenderNsTest, PackagesQueuedTogetherArriveIntactAndInOrder)
{
    RawReader reader("/tmp/s18_uss-8");
    ASSERT_TRUE(reader.bound);
    TransParam_t param = unixParam("/tmp/s18_uss-8", 8);
    ASSERT_TRUE(m_sender->addConn(5, param));
    ASSERT_TRUE(m_sender->init());
    // As many one-datagram packages as the fifo holds, fewer than the reader's queue takes.
    const int count = SEND_FIFO_DEPTH;
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(publish(m_manager, static_cast<uint32_t>(100 + 37 * i), static_cast<uint64_t>(500 + i),
                            static_cast<uint8_t>(i)));
    }
    for (int i = 0; i < count; ++i) {
        Bytes d;
        ASSERT_TRUE(reader.next(&d)) << "package " << i;
        const uint32_t payload = static_cast<uint32_t>(100 + 37 * i);
        ASSERT_EQ(d.size(), DDS_HEADER_SIZE + payload);
        DDSHeader_t h = readDdsHeader(d.data());
        EXPECT_EQ(+h.m_u64TimeStamp, static_cast<uint64_t>(500 + i));
        EXPECT_EQ(+h.m_u32SeqNo, 1u);
        EXPECT_EQ(+h.m_u32PktCount, 1u);
        EXPECT_EQ(+h.m_u32TotalLen, payload);
        for (uint32_t k = 0; k < payload; ++k) {
            ASSERT_EQ(d[DDS_HEADER_SIZE + k], static_cast<uint8_t>(i + k * 3)) << "package " << i << " byte " << k;
        }
    }
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pool.getUsedSize() == 0; }, 10000));
}

TEST_F(UnixSocketSenderNsTest, DeinitEmptiesTheTable)
{
    RawReader reader("/tmp/h6_uss-7");
    ASSERT_TRUE(reader.bound);
    TransParam_t param = unixParam("/tmp/h6_uss-7", 7);
    ASSERT_TRUE(m_sender->addConn(3, param));
    ASSERT_TRUE(m_sender->addConn(4, param));
    ASSERT_TRUE(m_sender->init());
    ASSERT_TRUE(publish(m_manager, 10, 1, 1));
    Bytes d;
    ASSERT_TRUE(reader.next(&d));
    ASSERT_TRUE(reader.next(&d)) << "one copy per connection";
    m_sender->deinit();
    EXPECT_EQ(m_sender->getClientCount(), 0);
    EXPECT_FALSE(m_sender->isConnExist(3));
    EXPECT_EQ(m_sender->getFps(), -1);
    EXPECT_EQ(zqtest::countOpenFds(), m_baseFds + 1) << "only the test's own reader is left";
}

} // namespace
