// The TCP sender: packages of sizes across the receiver's stream buffer reach a TCP receiver intact
// and in order, readers that leave are dropped while the others go on, a short send never leaves
// half a frame (skipped whole, finished, or the stream closed), the frame limit, the connection
// table (refused types, duplicate ids, bind failures, the control descriptor left open), and
// teardown with readers connecting.
#include "core/transport/media/tcp_sender.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/transport/media/tcp_receiver.h"
#include "core/transport/receiver_factory.h"
#include "core/transport/sender_factory.h"
#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"
#include "support/zqtest.h"
#include "utils/ev_reactor.h"
#include "utils/socket_utils.h"

namespace {

using Bytes = std::vector<uint8_t>;

MemConfig_t poolCfg()
{
    MemConfig_t cfg{};
    cfg.m_iKey = -1;
    cfg.m_u32MaxPoolSize = 0x10000000;
    cfg.m_stGroup[0] = MemGroup_t{0, 4096, 16};
    cfg.m_stGroup[1] = MemGroup_t{1, 65536, 8};
    cfg.m_iGroupCount = 2;
    return cfg;
}

TransParam_t tcpParam(const char* ip, int port)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_TCP;
    std::strncpy(param.m_tcpParam.m_szIp, ip, sizeof(param.m_tcpParam.m_szIp) - 1);
    param.m_tcpParam.m_iPort = port;
    return param;
}

Bytes payloadOf(uint32_t len, uint8_t seed)
{
    Bytes out(len);
    for (uint32_t i = 0; i < len; ++i) {
        out[i] = static_cast<uint8_t>(seed + i * 13);
    }
    return out;
}

// A package as the data writer fills it: type 100, fragment 0, the time stamp and payload length.
Bytes packageBytes(const Bytes& payload, uint64_t timeStamp)
{
    Bytes out(DDS_HEADER_SIZE + payload.size());
    DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
    header.m_u64TimeStamp = timeStamp;
    header.m_u32DataLen = static_cast<uint32_t>(payload.size());
    writeDdsHeader(out.data(), header);
    std::copy(payload.begin(), payload.end(), out.begin() + DDS_HEADER_SIZE);
    return out;
}

// One side's pool and data manager; frames published to it are copied out by a callback, which
// can be held to stall the thread that delivers.
class Side {
public:
    Side()
    {
        m_pool.init(poolCfg());
        m_manager.setMemPool(&m_pool);
    }
    void collect()
    {
        m_manager.registerCallBack([this](int, DataPackage_t* pkg) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_frames.emplace_back(pkgData(pkg), pkgData(pkg) + pkg->m_iLen);
            m_cv.notify_all();
            m_cv.wait(lock, [this] { return !m_bHold; });
            return -1;
        });
    }
    // Publishes a package the way the data writer does; the package itself is returned when
    // `keep` is set (with a reference of the caller's).
    DataPackage_t* publish(const Bytes& bytes, bool keep = false)
    {
        DataPackage_t* pkg = m_manager.getEmptyDataPkg(static_cast<int>(bytes.size()), 0);
        if (pkg == nullptr) {
            return nullptr;
        }
        std::memcpy(pkgData(pkg), bytes.data(), bytes.size());
        pkg->m_iLen = static_cast<int>(bytes.size());
        m_manager.referDataPkg(pkg);
        m_manager.putFullDataPkg(pkg, pkg->m_iLen);
        if (keep) {
            return pkg;
        }
        m_manager.releaseDataPkg(pkg);
        return nullptr;
    }
    bool waitFor(size_t count, int timeoutMs = 30000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_frames.size() >= count; });
    }
    void hold(bool on)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bHold = on;
        m_cv.notify_all();
    }
    std::vector<Bytes> frames()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    CDataManager* manager() { return &m_manager; }
    uint32_t usedBytes() const { return m_pool.getUsedSize(); }

private:
    CNormalMemPool m_pool;
    CDataManager m_manager;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Bytes> m_frames;
    bool m_bHold{false};
};

// A frame as it must arrive: the package with the header stamped as a whole TCP frame.
Bytes expectedFrame(const Bytes& package)
{
    Bytes out = package;
    DDSHeader_t header = readDdsHeader(out.data());
    header.m_u32SeqNo = 1;
    header.m_u32TotalLen = static_cast<uint32_t>(package.size());
    header.m_u32PktCount = 1;
    writeDdsHeader(out.data(), header);
    return out;
}

// A plain client socket of the test, connected to the sender's listening port.
int connectTo(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether a connect to the port succeeds now (the socket is closed again).
bool canConnect(int port)
{
    int fd = connectTo(port);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

// Reads exactly `len` bytes (10 s deadline per read).
bool readExactly(int fd, size_t len, Bytes* out)
{
    out->resize(len);
    size_t done = 0;
    while (done < len) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 10000) <= 0) {
            return false;
        }
        ssize_t n = ::recv(fd, out->data() + done, len - done, 0);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the peer closes or resets; what arrived.
Bytes readToEnd(int fd)
{
    Bytes out;
    uint8_t buf[65536];
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 10000) <= 0) {
            break;
        }
        ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

class TcpSenderNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        ASSERT_TRUE(CEvReactor::getInstance()->init(100, 100));
        m_baseFds = zqtest::countOpenFds();
        m_baseThreads = zqtest::baselineThreads();
    }
    void TearDown() override { CEvReactor::getInstance()->deinit(); }

    // The reactor closes a dropped listening socket at its next pass.
    void expectNothingLeft(int extraFds = 0)
    {
        EXPECT_TRUE(zqtest::waitUntil([&] { return zqtest::countOpenFds() == m_baseFds + extraFds; }, 10000))
            << zqtest::countOpenFds() << " open, " << m_baseFds + extraFds << " expected";
        EXPECT_EQ(zqtest::threadsSettleAt(m_baseThreads), m_baseThreads);
    }

    int m_baseFds{0};
    int m_baseThreads{0};
};

TEST_F(TcpSenderNsTest, PackagesAcrossTheStreamBufferReachTheReceiverIntactAndInOrder)
{
    const int port = 51201;
    {
        Side writer;
        Side reader;
        reader.collect();
        std::shared_ptr<CDataSender> sender = CSenderFactory::createSender(TRANS_TYPE_TCP, writer.manager());
        std::unique_ptr<CDataReceiver> receiver =
            CReceiverFactory::createReceiver(TRANS_TYPE_TCP, "h11_e2e", reader.manager());
        ASSERT_NE(dynamic_cast<CTcpSender*>(sender.get()), nullptr);
        ASSERT_NE(dynamic_cast<CTcpReceiver*>(receiver.get()), nullptr);
        EXPECT_EQ(sender->getFps(), -1);

        TransParam_t param = tcpParam("127.0.0.1", port);
        ASSERT_TRUE(sender->init());
        ASSERT_TRUE(sender->addConn(40, param));
        EXPECT_TRUE(sender->isConnExist(40));
        EXPECT_EQ(sender->getPort(40), port);
        ASSERT_TRUE(receiver->init(param));
        ASSERT_TRUE(zqtest::waitUntil([&] { return sender->getClientCount() == 1; }, 10000));

        const uint32_t edge = TCP_STREAM_BUF_SIZE - DDS_HEADER_SIZE;
        const uint32_t sizes[] = {0,      1,  edge - 1, edge,    edge + 1, TCP_STREAM_BUF_SIZE, 65536, 65536 + 1,
                                  300000, 17, edge + 2, 1000000, 3};
        std::vector<Bytes> packages;
        DataPackage_t* kept = nullptr;
        size_t n = 0;
        for (uint32_t size : sizes) {
            packages.push_back(packageBytes(payloadOf(size, static_cast<uint8_t>(n)), 1000 + n));
            // Four at a time: the sender's queue keeps eight and drops the oldest.
            DataPackage_t* pkg = writer.publish(packages.back(), n == 2);
            kept = kept == nullptr ? pkg : kept;
            ++n;
            if (n % 4 == 0 || n == std::size(sizes)) {
                ASSERT_TRUE(reader.waitFor(n)) << n;
            }
        }
        std::vector<Bytes> got = reader.frames();
        ASSERT_EQ(got.size(), packages.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i], expectedFrame(packages[i])) << "package " << i;
        }
        // The published package itself was never stamped.
        ASSERT_NE(kept, nullptr);
        EXPECT_EQ(Bytes(pkgData(kept), pkgData(kept) + kept->m_iLen), packages[2]);
        writer.manager()->releaseDataPkg(kept);
        EXPECT_GE(sender->getFps(), 0);

        receiver->deinit();
        sender->deinit();
        EXPECT_EQ(sender->getFps(), -1);
        EXPECT_EQ(sender->getClientCount(), 0);
        EXPECT_FALSE(sender->isConnExist(40));
        sender.reset();
        receiver.reset();
        EXPECT_EQ(writer.usedBytes(), 0u);
        EXPECT_EQ(reader.usedBytes(), 0u);
    }
    expectNothingLeft();
}

TEST_F(TcpSenderNsTest, ReaderThatLeavesIsDroppedAndTheOthersKeepReceiving)
{
    const int port = 51202;
    zqtest::OutputCapture capture;
    {
        Side writer;
        CTcpSender sender(writer.manager());
        TransParam_t param = tcpParam("127.0.0.1", port);
        ASSERT_TRUE(sender.addConn(41, param));
        ASSERT_TRUE(sender.init());
        int a = connectTo(port);
        int b = connectTo(port);
        int c = connectTo(port);
        ASSERT_GE(a, 0);
        ASSERT_GE(b, 0);
        ASSERT_GE(c, 0);
        ASSERT_TRUE(zqtest::waitUntil([&] { return sender.getClientCount() == 3; }, 10000));
        linger reset{1, 0};
        ::setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        ::close(c);

        // Until the sender notices, each package also goes to the reader that left.
        for (int i = 0; i < 50 && sender.getClientCount() == 3; ++i) {
            const Bytes pkg = packageBytes(payloadOf(5000, static_cast<uint8_t>(i)), i);
            writer.publish(pkg);
            for (int fd : {a, b}) {
                Bytes got;
                ASSERT_TRUE(readExactly(fd, pkg.size(), &got));
                EXPECT_EQ(got, expectedFrame(pkg));
            }
        }
        EXPECT_EQ(sender.getClientCount(), 2);
        ::close(a);
        ::close(b);
        sender.deinit();
    }
    capture.stop();
    EXPECT_NE(capture.out().find("Delete accecpt fd "), std::string::npos);
    expectNothingLeft();
}

// A stalled receiver: the sender cannot finish a frame, so it closes that stream; the receiver
// reconnects and no part of the cut frame is ever delivered.
TEST_F(TcpSenderNsTest, ShortSendNeverLeavesHalfAFrame)
{
    const int port = 51203;
    zqtest::OutputCapture capture;
    {
        Side writer;
        Side reader;
        reader.collect();
        CTcpSender sender(writer.manager());
        CTcpReceiver receiver("h11_short", reader.manager());
        TransParam_t param = tcpParam("127.0.0.1", port);
        ASSERT_TRUE(sender.init());
        ASSERT_TRUE(sender.addConn(42, param));
        ASSERT_TRUE(receiver.init(param));
        ASSERT_TRUE(zqtest::waitUntil([&] { return sender.getClientCount() == 1; }, 10000));

        const uint32_t big = 3 * 1024 * 1024; // far beyond both socket buffers
        const Bytes first = packageBytes(payloadOf(1000, 1), 1);
        const Bytes cut = packageBytes(payloadOf(big, 2), 2);
        const Bytes after = packageBytes(payloadOf(1000, 3), 3);
        reader.hold(true);
        writer.publish(first);
        ASSERT_TRUE(reader.waitFor(1)); // the receive thread now waits inside the callback
        writer.publish(cut);
        ASSERT_TRUE(zqtest::waitUntil([&] { return sender.getClientCount() == 0; }, 30000));
        reader.hold(false);
        ASSERT_TRUE(zqtest::waitUntil([&] { return sender.getClientCount() == 1; }, 30000));
        writer.publish(after);
        ASSERT_TRUE(reader.waitFor(2));
        EXPECT_EQ(reader.frames(), (std::vector<Bytes>{expectedFrame(first), expectedFrame(after)}));
        receiver.deinit();
        sender.deinit();
        EXPECT_EQ(reader.usedBytes(), 0u);
    }
    capture.stop();
    EXPECT_NE(capture.out().find("Failed to send data, iSockfd: "), std::string::npos);
    EXPECT_NE(capture.out().find("Delete accecpt fd "), std::string::npos);
    expectNothingLeft();
}

// sendTcpData on one stream socket (a local stream pair, whose buffer fills deterministically).
class SendTcpDataNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds), 0);
        timeval tv{0, 10000};
        ::setsockopt(m_fds[0], SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    }
    void TearDown() override
    {
        for (int fd : m_fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    // Fills the writer's buffer until nothing more fits; the bytes written.
    size_t fill()
    {
        size_t total = 0;
        const Bytes chunk(4096, 'x');
        for (size_t len : {chunk.size(), size_t{1}}) {
            while (::send(m_fds[0], chunk.data(), len, MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
                total += len;
            }
        }
        return total;
    }

    int m_fds[2]{-1, -1};
};

TEST_F(SendTcpDataNsTest, WholeFrameGoesOutStampedFromAPrivateHeader)
{
    Bytes pkg = packageBytes(payloadOf(777, 4), 99); // writable, as a package in the pool is
    const Bytes before = pkg;
    EXPECT_EQ(sendTcpData(m_fds[0], pkg.data(), static_cast<int>(pkg.size())), 0);
    EXPECT_EQ(pkg, before);
    Bytes got;
    ASSERT_TRUE(readExactly(m_fds[1], pkg.size(), &got));
    EXPECT_EQ(got, expectedFrame(pkg));
}

TEST_F(SendTcpDataNsTest, NothingSentIsADistinctFailureAndTheStreamStaysAligned)
{
    const size_t filled = fill();
    const Bytes pkg = packageBytes(payloadOf(100, 5), 7);
    bool stalled = false;
    zqtest::OutputCapture capture;
    EXPECT_EQ(sendTcpData(m_fds[0], pkg.data(), static_cast<int>(pkg.size()), &stalled), TCP_SEND_SKIPPED);
    EXPECT_TRUE(stalled);
    // Still no room: skipped again at once, and not logged again.
    EXPECT_EQ(sendTcpData(m_fds[0], pkg.data(), static_cast<int>(pkg.size()), &stalled), TCP_SEND_SKIPPED);
    capture.stop();
    const std::string line = "Failed to send data, iSockfd: " + std::to_string(m_fds[0]) +
                             ", iLen : " + std::to_string(pkg.size()) + ", iSndLen: 0 .";
    EXPECT_EQ(zqtest::countDdsLines(capture.out(), "33", line), 1);

    // The reader catches up: the next frame goes out whole right after the filler.
    Bytes got;
    ASSERT_TRUE(readExactly(m_fds[1], filled, &got));
    EXPECT_EQ(sendTcpData(m_fds[0], pkg.data(), static_cast<int>(pkg.size()), &stalled), 0);
    EXPECT_FALSE(stalled);
    ASSERT_TRUE(readExactly(m_fds[1], pkg.size(), &got));
    EXPECT_EQ(got, expectedFrame(pkg));
}

TEST_F(SendTcpDataNsTest, PartOfAFrameThatCannotFollowIsReportedTruncated)
{
    const size_t filled = fill();
    Bytes drained;
    ASSERT_TRUE(readExactly(m_fds[1], size_t{64} * 1024, &drained)); // room for part of the frame
    const Bytes pkg = packageBytes(payloadOf(512 * 1024, 6), 8);
    zqtest::OutputCapture capture;
    EXPECT_EQ(sendTcpData(m_fds[0], pkg.data(), static_cast<int>(pkg.size())), TCP_SEND_TRUNCATED);
    capture.stop();
    const std::string prefix = "Failed to send data, iSockfd: " + std::to_string(m_fds[0]) +
                               ", iLen : " + std::to_string(pkg.size()) + ", iSndLen: ";
    ASSERT_NE(capture.out().find(prefix), std::string::npos);
    EXPECT_EQ(capture.out().find(prefix + "0 ."), std::string::npos);

    // What went out is the filler and a strict prefix of the frame.
    ::close(m_fds[0]);
    m_fds[0] = -1;
    Bytes rest = readToEnd(m_fds[1]);
    ASSERT_GT(rest.size(), filled - drained.size());
    const size_t framePart = rest.size() - (filled - drained.size());
    ASSERT_LT(framePart, pkg.size());
    const Bytes frame = expectedFrame(pkg);
    EXPECT_TRUE(std::equal(rest.end() - static_cast<long>(framePart), rest.end(), frame.begin()));
}

TEST_F(SendTcpDataNsTest, PartOfAFrameIsFinishedWhileTheReaderKeepsUp)
{
    const size_t filled = fill();
    // A generous send bound: the frame is finished however slowly the drain thread is scheduled.
    timeval tv{1, 0};
    ::setsockopt(m_fds[0], SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    const Bytes pkg = packageBytes(payloadOf(256 * 1024, 7), 9);
    Bytes got;
    std::thread drain([&] { got = readToEnd(m_fds[1]); });
    EXPECT_EQ(sendTcpData(m_fds[0], pkg.data(), static_cast<int>(pkg.size())), 0);
    ::shutdown(m_fds[0], SHUT_WR);
    drain.join();
    ASSERT_EQ(got.size(), filled + pkg.size());
    EXPECT_TRUE(std::equal(got.begin() + static_cast<long>(filled), got.end(), expectedFrame(pkg).begin()));
}

TEST_F(SendTcpDataNsTest, BadArgumentsAndAGonePeer)
{
    const Bytes pkg = packageBytes(payloadOf(10, 8), 1);
    EXPECT_EQ(sendTcpData(m_fds[0], nullptr, 44), -1);
    EXPECT_EQ(sendTcpData(m_fds[0], pkg.data(), 33), -1);
    // Above the frame limit: refused before a byte is read.
    EXPECT_EQ(sendTcpData(m_fds[0], pkg.data(), static_cast<int>(DDS_HEADER_SIZE + DDS_MAX_FRAME_PAYLOAD + 1)), -1);
    ::close(m_fds[1]);
    m_fds[1] = -1;
    EXPECT_EQ(sendTcpData(m_fds[0], pkg.data(), static_cast<int>(pkg.size())), SOCK_RET_DISCONNECTED);
}

TEST_F(TcpSenderNsTest, PackageAboveTheFrameLimitIsRefused)
{
    Side writer;
    CTcpSender sender(writer.manager());
    unsigned char header[DDS_HEADER_SIZE] = {0};
    zqtest::OutputCapture capture;
    sender.sendData(header, static_cast<int>(DDS_HEADER_SIZE + DDS_MAX_FRAME_PAYLOAD + 1));
    capture.stop();
    EXPECT_NE(capture.out().find("above the frame limit"), std::string::npos);
}

TEST_F(TcpSenderNsTest, ConnectionTable)
{
    const int port = 51204;
    int control[2];
    ASSERT_EQ(::pipe2(control, O_CLOEXEC), 0);
    {
        Side writer;
        CTcpSender sender(writer.manager());
        EXPECT_EQ(sender.getFps(), -1);
        EXPECT_FALSE(sender.delConn(control[0]));
        EXPECT_EQ(sender.getPort(control[0]), -1);

        TransParam_t udp = tcpParam("127.0.0.1", port);
        udp.m_iType = TRANS_TYPE_UDP;
        EXPECT_FALSE(sender.addConn(control[0], udp));
        TransParam_t badIp = tcpParam("127.0.0.300", port);
        EXPECT_FALSE(sender.addConn(control[0], badIp));

        zqtest::OutputCapture capture;
        TransParam_t param = tcpParam("127.0.0.1", port);
        ASSERT_TRUE(sender.addConn(control[0], param));
        // The same id again is refused, and the first listener stays as it was.
        EXPECT_FALSE(sender.addConn(control[0], param));
        TransParam_t other = tcpParam("127.0.0.1", port + 1);
        EXPECT_FALSE(sender.addConn(control[0], other));
        // Another id on a port in use: the bind fails.
        EXPECT_FALSE(sender.addConn(control[1], param));
        capture.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32", "Open tcp port 51204 success."));
        EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32", "bindSocket failed!"));
        EXPECT_EQ(zqtest::countOpenFds(), m_baseFds + 2 + 1);
        EXPECT_FALSE(canConnect(port + 1));

        int reader = connectTo(port);
        ASSERT_GE(reader, 0);
        ASSERT_TRUE(zqtest::waitUntil([&] { return sender.getClientCount() == 1; }, 10000));
        EXPECT_EQ(sender.getFps(), 0);

        zqtest::OutputCapture delCapture;
        EXPECT_TRUE(sender.delConn(control[0]));
        delCapture.stop();
        EXPECT_TRUE(
            zqtest::hasDdsLine(delCapture.out(), "32",
                               "Delete tcp conn " + std::to_string(control[0]) + ", addr: 127.0.0.1, port: 51204"));
        EXPECT_EQ(sender.getClientCount(), 0);
        EXPECT_FALSE(sender.isConnExist(control[0]));
        EXPECT_EQ(readToEnd(reader).size(), 0u); // the accepted socket was closed
        ::close(reader);
        ASSERT_TRUE(zqtest::waitUntil([&] { return !canConnect(port); }, 10000));
        EXPECT_FALSE(sender.delConn(control[0]));
    }
    // The control descriptors belong to the control channel: still open.
    EXPECT_EQ(::fcntl(control[0], F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(::fcntl(control[1], F_GETFD), FD_CLOEXEC);
    ::close(control[0]);
    ::close(control[1]);
    expectNothingLeft();
}

// Senders torn down while readers connect: no callback reaches a destroyed sender, nothing leaks.
TEST_F(TcpSenderNsTest, TeardownWhileReadersConnectLeavesNothing)
{
    const int port = 51205;
    Side writer;
    for (int round = 0; round < 20; ++round) {
        auto sender = std::make_unique<CTcpSender>(writer.manager());
        TransParam_t param = tcpParam("127.0.0.1", port);
        ASSERT_TRUE(sender->addConn(43, param));
        if (round % 2 == 0) {
            ASSERT_TRUE(sender->init());
        }
        int reader = connectTo(port);
        ASSERT_GE(reader, 0);
        if (round % 3 == 0) {
            ASSERT_TRUE(zqtest::waitUntil([&] { return sender->getClientCount() == 1; }, 10000));
        }
        sender.reset();
        ::close(reader);
        // The port is free again once the reactor dropped the listener.
        ASSERT_TRUE(zqtest::waitUntil([&] { return !canConnect(port); }, 10000));
    }
    expectNothingLeft();

    // With the reactor stopped, the sender closes its listener itself.
    auto sender = std::make_unique<CTcpSender>(writer.manager());
    TransParam_t param = tcpParam("127.0.0.1", port);
    ASSERT_TRUE(sender->addConn(44, param));
    CEvReactor::getInstance()->deinit();
    sender.reset();
    EXPECT_FALSE(canConnect(port));
}

} // namespace
