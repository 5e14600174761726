// The Unix-domain socket receiver: messages from the sender (in this process and from another
// process) arrive whole with their time stamps, the channel path checks (foreign paths, files that
// are not sockets, live sockets, stale sockets), forged datagrams, and what is left after teardown.
#include "core/transport/media/unix_socket_receiver.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/transport/media/unix_socket_sender.h"
#include "core/transport/sender.h"
#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"
#include "support/datagram_support.h"
#include "support/zqtest.h"
#include "utils/dds_common.h"

namespace {

using dgramtest::Bytes;

using dgramtest::unixParam;

bool isPresent(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

using dgramtest::Collector;
using dgramtest::Message;

sockaddr_un unixAddress(const std::string& path)
{
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    return addr;
}

// A datagram socket bound at `path`; -1 when it cannot bind.
int boundUnixSocket(const std::string& path)
{
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = unixAddress(path);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends raw datagrams to a path, as any local process could.
struct RawWriter {
    RawWriter() { fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0); }
    ~RawWriter() { ::close(fd); }
    bool send(const std::string& path, const Bytes& d) const
    {
        sockaddr_un addr = unixAddress(path);
        return ::sendto(fd, d.data(), d.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) ==
               static_cast<ssize_t>(d.size());
    }
    int fd{-1};
};

// The fragments a conforming sender makes of a frame.
std::vector<Bytes> fragmentsOf(uint32_t payload, uint64_t timeStamp, uint8_t seed)
{
    return dgramtest::fragmentsOf(payload, timeStamp, seed, UNIX_SOCKET_FRAG_PAYLOAD);
}

class UnixSocketReceiverNsTest : public dgramtest::ReceiverNsTest<CUnixSocketReceiver> {
protected:
    static constexpr const char* kTopic = "h6_urx";

    UnixSocketReceiverNsTest() : ReceiverNsTest(kTopic, 262144, 8) {}

    static std::string path(int id) { return std::string("/tmp/") + kTopic + "-" + std::to_string(id); }
};

TEST_F(UnixSocketReceiverNsTest, MessagesFromTheSenderArriveWhole)
{
    CNormalMemPool writerPool;
    ASSERT_TRUE(writerPool.init(m_poolCfg));
    CDataManager writerManager;
    writerManager.setMemPool(&writerPool);
    {
        CUnixSocketSender sender(&writerManager);
        TransParam_t param = unixParam(path(1), 1);
        // The writing side adds the connection and starts, then the reader binds.
        ASSERT_TRUE(sender.addConn(4, param));
        ASSERT_TRUE(sender.init());
        zqtest::OutputCapture capture;
        ASSERT_TRUE(m_receiver->init(param));
        capture.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32", "[h6_urx] unix receive path is /tmp/h6_urx-1"));
        EXPECT_NE(capture.out().find(", while seted size is 2048 KB."), std::string::npos);
        EXPECT_GE(m_receiver->getFps(), 0);

        // One message at a time, each within the receiving socket's queue (10 datagrams), so no
        // send ever waits for the reader and the outcome does not depend on its speed.
        const uint32_t sizes[] = {1, 100, 65502, 65503, 3 * 65502 + 1, 9 * 65502 + 7};
        size_t expected = 0;
        for (int round = 0; round < 4; ++round) {
            for (uint32_t size : sizes) {
                DataPackage_t* pkg = writerManager.getEmptyDataPkg(static_cast<int>(DDS_HEADER_SIZE + size), 100);
                ASSERT_NE(pkg, nullptr);
                DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
                header.m_u64TimeStamp = 1700000000000000ull + expected;
                header.m_u32DataLen = size;
                writeDdsHeader(pkgData(pkg), header);
                for (uint32_t i = 0; i < size; ++i) {
                    pkgData(pkg)[DDS_HEADER_SIZE + i] = static_cast<uint8_t>(expected + i);
                }
                pkg->m_iLen = static_cast<int>(DDS_HEADER_SIZE + size);
                ASSERT_EQ(writerManager.putFullDataPkg(pkg, pkg->m_iLen), 0);
                ++expected;
                ASSERT_TRUE(m_collector.waitFor(expected)) << "message " << expected;
            }
        }
        std::vector<Message> got = m_collector.messages();
        ASSERT_EQ(got.size(), expected);
        for (size_t n = 0; n < got.size(); ++n) {
            const uint32_t size = sizes[n % (sizeof(sizes) / sizeof(sizes[0]))];
            ASSERT_NO_FATAL_FAILURE(
                dgramtest::expectNumberedMessage(got[n], static_cast<unsigned>(n), 1700000000000000ull + n, size));
        }
        EXPECT_EQ(m_receiver->getLostPkgCount(), 0u);
        sender.deinit();
    }
    zqtest::OutputCapture capture;
    m_receiver->deinit();
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32", "[h6_urx] CUnixSocketReceiver::recvTask() exit!"));
    EXPECT_FALSE(isPresent(path(1))) << "the socket file went with the receiver";
    EXPECT_EQ(m_receiver->getFps(), -1);
    EXPECT_EQ(writerPool.getUsedSize(), 0u);
}

TEST_F(UnixSocketReceiverNsTest, MessagesFromAnotherProcess)
{
    TransParam_t param = unixParam(path(2), 2);
    ASSERT_TRUE(m_receiver->init(param));
    std::string error;
    auto writer = zqtest::ChildProcess::spawn({zqtest::helperPath("unix_dgram_writer"), path(2), "2"}, &error);
    ASSERT_NE(writer, nullptr) << error;
    ASSERT_TRUE(writer->waitForLine("ready", 10000)) << writer->output();
    const unsigned sizes[] = {1, 5, 65502, 65503, 200000};
    const unsigned count = 40;
    for (unsigned n = 0; n < count; ++n) {
        unsigned size = sizes[n % 5];
        ASSERT_TRUE(writer->writeInput(std::to_string(n) + " " + std::to_string(size) + "\n"));
        ASSERT_TRUE(m_collector.waitFor(n + 1)) << "message " << n << "\n" << writer->output();
    }
    ASSERT_TRUE(writer->writeInput("quit\n"));
    ASSERT_TRUE(writer->waitForLine("bye", 10000));
    EXPECT_NE(writer->wait(10000), -1);
    EXPECT_EQ(writer->exitCode(), 0);
    std::vector<Message> got = m_collector.messages();
    ASSERT_EQ(got.size(), count);
    for (unsigned n = 0; n < count; ++n) {
        ASSERT_NO_FATAL_FAILURE(dgramtest::expectNumberedMessage(got[n], n, n * 1000ull + 7, sizes[n % 5]));
    }
    m_receiver->deinit();
}

TEST_F(UnixSocketReceiverNsTest, ForeignPathsAreRefused)
{
    // A file that an unchecked receiver would unlink.
    {
        std::ofstream victim("/tmp/h6_victim");
        victim << "keep";
    }
    struct Case {
        const char* path;
        int id;
    } cases[] = {
        {"/tmp/h6_victim", 1},
        {"/etc/passwd", 1},
        {"/tmp/other-1", 1},
        {"/tmp/h6_urx-2", 1},
        {"/tmp/h6_urx-1/../h6_victim", 1},
        {"tmp/h6_urx-1", 1},
        {"", 1},
        {"/tmp/h6_urx--1", -1},
    };
    for (const Case& c : cases) {
        TransParam_t param = unixParam(c.path, c.id);
        zqtest::OutputCapture capture;
        EXPECT_FALSE(m_receiver->init(param)) << c.path;
        capture.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31", "[h6_urx] Error: invalid unix socket path!")) << c.path;
    }
    TransParam_t unterminated = unixParam("", 1);
    std::memset(unterminated.m_unixSocketParam.m_szPath, 'a', sizeof(unterminated.m_unixSocketParam.m_szPath));
    EXPECT_FALSE(m_receiver->init(unterminated));
    TransParam_t wrongType = unixParam(path(1), 1);
    wrongType.m_iType = TRANS_TYPE_SHARE_MEMORY;
    EXPECT_FALSE(m_receiver->init(wrongType));
    EXPECT_TRUE(isPresent("/tmp/h6_victim"));
    EXPECT_EQ(zqtest::countOpenFds(), m_baseFds);
    EXPECT_EQ(m_receiver->getFps(), -1);

    // A receiver without a topic name knows no path of its own.
    CUnixSocketReceiver nameless(&m_manager);
    EXPECT_TRUE(nameless.getTopicName().empty());
    TransParam_t param = unixParam("/tmp/-1", 1);
    zqtest::OutputCapture capture;
    EXPECT_FALSE(nameless.init(param));
    capture.stop();
    ::unlink("/tmp/h6_victim");
}

TEST_F(UnixSocketReceiverNsTest, FilesThatAreNotSocketsStay)
{
    struct Case {
        int id;
        const char* kind;
    } cases[] = {{3, "file"}, {4, "directory"}, {5, "symlink to a stale socket"}};
    {
        std::ofstream file(path(3));
        file << "data";
    }
    ASSERT_EQ(::mkdir(path(4).c_str(), 0700), 0);
    {
        // A stale socket elsewhere, reached through a symbolic link.
        int fd = boundUnixSocket("/tmp/h6_elsewhere");
        ASSERT_GE(fd, 0);
        ::close(fd);
        ASSERT_EQ(::symlink("/tmp/h6_elsewhere", path(5).c_str()), 0);
    }
    for (const Case& c : cases) {
        TransParam_t param = unixParam(path(c.id), c.id);
        zqtest::OutputCapture capture;
        EXPECT_FALSE(m_receiver->init(param)) << c.kind;
        capture.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31", "[h6_urx] Error: " + path(c.id) + " is not a socket!"))
            << c.kind << capture.out();
        EXPECT_TRUE(isPresent(path(c.id))) << c.kind;
    }
    EXPECT_TRUE(isPresent("/tmp/h6_elsewhere"));
    EXPECT_EQ(zqtest::countOpenFds(), m_baseFds) << "the socket of each failed open was closed";
    ::unlink(path(3).c_str());
    ::rmdir(path(4).c_str());
    ::unlink(path(5).c_str());
    ::unlink("/tmp/h6_elsewhere");
}

TEST_F(UnixSocketReceiverNsTest, LiveSocketIsNotTakenOver)
{
    int live = boundUnixSocket(path(6));
    ASSERT_GE(live, 0);
    const int base = zqtest::countOpenFds();

    TransParam_t param = unixParam(path(6), 6);
    zqtest::OutputCapture capture;
    EXPECT_FALSE(m_receiver->init(param));
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31", "[h6_urx] Error: unix socket path /tmp/h6_urx-6 is in use!"))
        << capture.out();
    EXPECT_EQ(zqtest::countOpenFds(), base);
    // The live socket still owns its path.
    RawWriter writer;
    ASSERT_TRUE(writer.send(path(6), Bytes{1, 2, 3}));
    uint8_t buf[8];
    EXPECT_EQ(::recv(live, buf, sizeof(buf), 0), 3);
    ::close(live);
    ::unlink(path(6).c_str());
}

TEST_F(UnixSocketReceiverNsTest, StaleSocketIsReplaced)
{
    int old = boundUnixSocket(path(7));
    ASSERT_GE(old, 0);
    ::close(old); // the file stays behind, nobody serves it

    TransParam_t param = unixParam(path(7), 7);
    ASSERT_TRUE(m_receiver->init(param));
    EXPECT_FALSE(m_receiver->init(param)) << "already running";
    RawWriter writer;
    for (const Bytes& d : fragmentsOf(70000, 99, 3)) {
        ASSERT_TRUE(writer.send(path(7), d));
    }
    ASSERT_TRUE(m_collector.waitFor(1));
    EXPECT_EQ(m_collector.messages()[0].timeStamp, 99u);
    EXPECT_EQ(m_collector.messages()[0].payload.size(), 70000u);
    m_receiver->deinit();
    EXPECT_FALSE(isPresent(path(7)));
}

TEST_F(UnixSocketReceiverNsTest, ForgedDatagramsAreDroppedAndCounted)
{
    TransParam_t param = unixParam(path(8), 8);
    ASSERT_TRUE(m_receiver->init(param));
    RawWriter writer;
    std::vector<Bytes> good = fragmentsOf(65503, 5, 1);
    Bytes badMagic = good[1];
    badMagic[0] = 'X';
    Bytes lying = good[1];
    lying.resize(100); // the header says 1 payload byte
    Bytes tooShort(10, 0);
    Bytes oversize(UNIX_SOCKET_RECV_BUF_SIZE + 100, 0);
    {
        DDSHeader_t h = readDdsHeader(good[0].data());
        h.m_u32DataLen = static_cast<uint32_t>(oversize.size() - DDS_HEADER_SIZE);
        writeDdsHeader(oversize.data(), h);
    }
    zqtest::OutputCapture capture;
    ASSERT_TRUE(writer.send(path(8), good[0]));
    ASSERT_TRUE(writer.send(path(8), badMagic));
    ASSERT_TRUE(writer.send(path(8), lying));
    ASSERT_TRUE(writer.send(path(8), tooShort));
    ASSERT_TRUE(writer.send(path(8), oversize));
    ASSERT_TRUE(writer.send(path(8), good[1]));
    ASSERT_TRUE(m_collector.waitFor(1));
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31", "[h6_urx] Error: iRecvLen 10 <= sizeof(DDSHeader_t) 34"));
    EXPECT_EQ(m_collector.messages()[0].payload.size(), 65503u) << "the frame around them arrived whole";
    EXPECT_EQ(m_receiver->getLostPkgCount(), 3u) << "bad magic, wrong length, truncated oversize";
    m_receiver->deinit();
    EXPECT_EQ(m_receiver->getLostPkgCount(), 0u) << "deinit resets the counter";
}

TEST_F(UnixSocketReceiverNsTest, FrameOpenAtThreadEndGoesBackToThePool)
{
    TransParam_t param = unixParam(path(9), 9);
    ASSERT_TRUE(m_receiver->init(param));
    RawWriter writer;
    std::vector<Bytes> frags = fragmentsOf(65503, 5, 1);
    ASSERT_TRUE(writer.send(path(9), frags[0]));
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pool.getUsedSize() > 0; }, 10000)) << "a package is open";
    m_receiver->deinit();
    EXPECT_EQ(m_pool.getUsedSize(), 0u);
    EXPECT_TRUE(m_collector.messages().empty());
}

TEST_F(UnixSocketReceiverNsTest, ForwardingWithoutADataManager)
{
    CUnixSocketReceiver bare(kTopic, nullptr);
    EXPECT_EQ(bare.createDataFifo(1, 8), nullptr);
    EXPECT_EQ(bare.registerDataCallBack([](int, DataPackage_t*) { return 0; }), -1);
    bare.unregisterDataCallBack(1);
    bare.putEmptyDataPkg(nullptr);
    bare.destroyDataFifo(nullptr);
    EXPECT_EQ(bare.getFps(), -1);
    // Receiving without a manager drops every frame and still works.
    TransParam_t param = unixParam(path(10), 10);
    ASSERT_TRUE(bare.init(param));
    RawWriter writer;
    ASSERT_TRUE(writer.send(path(10), fragmentsOf(1, 1, 1)[0]));
    bare.deinit();
}

TEST_F(UnixSocketReceiverNsTest, HostileDatagramsFromAnotherProcessPrintAFewLinesOnly)
{
    TransParam_t param = unixParam(path(11), 11);
    zqtest::OutputCapture capture;
    ASSERT_TRUE(m_receiver->init(param));
    std::string error;
    auto flood = zqtest::ChildProcess::spawn({zqtest::helperPath("dgram_flood"), "unix", path(11)}, &error);
    ASSERT_NE(flood, nullptr) << error;
    ASSERT_NO_FATAL_FAILURE(
        expectFloodPrintsAFewLines(*flood, capture,
                                   {"[h6_urx] Error: iRet = -202", "[h6_urx] Error: iRecvLen ",
                                    "[h6_urx] Unsupported pkt type !!! m_u8Flag: 3", "[h6_urx] Lost pkt !!!"}));
}

} // namespace
