// The TCP receiver: the frame parser on tables of crafted streams (splits, sizes across the stream
// buffer, garbage before, between and inside frames, false headers with oversize, negative and
// wrapping lengths, no package, a stream cut off mid-frame), and the receiver against a raw peer
// on loopback (frames delivered without waiting for the next read, the peer closing mid-frame and
// being reconnected to, failures of init, a peer that drops SYNs, and what is left after teardown).
#include "core/transport/media/tcp_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"
#include "support/zqtest.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A frame as the sender puts it on the stream.
Bytes frameOf(uint32_t payload, uint8_t seed, uint64_t timeStamp = 0)
{
    Bytes frame(DDS_HEADER_SIZE + payload);
    DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
    header.m_u32SeqNo = 1;
    header.m_u64TimeStamp = timeStamp;
    header.m_u32DataLen = payload;
    header.m_u32TotalLen = static_cast<uint32_t>(DDS_HEADER_SIZE + payload);
    header.m_u32PktCount = 1;
    writeDdsHeader(frame.data(), header);
    for (uint32_t i = 0; i < payload; ++i) {
        frame[DDS_HEADER_SIZE + i] = static_cast<uint8_t>(seed + i * 7);
    }
    return frame;
}

// A header that carries the magic but is not one the sender makes.
Bytes falseHeader(uint32_t dataLen, uint32_t totalLen, uint8_t flag = PKT_FLAG_FIRST, uint32_t seqNo = 1,
                  uint32_t count = 1)
{
    Bytes bytes(DDS_HEADER_SIZE);
    DDSHeader_t header = makeDdsHeader(flag, MSG_TYPE_DATA);
    header.m_u32SeqNo = seqNo;
    header.m_u32DataLen = dataLen;
    header.m_u32TotalLen = totalLen;
    header.m_u32PktCount = count;
    writeDdsHeader(bytes.data(), header);
    return bytes;
}

Bytes concat(const std::vector<Bytes>& parts)
{
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes noise(size_t len, uint8_t seed)
{
    Bytes out(len);
    for (size_t i = 0; i < len; ++i) {
        out[i] = static_cast<uint8_t>('a' + (seed + i) % 26); // never 'Z': no magic in it
    }
    return out;
}

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

// A pool and a data manager whose callback keeps a copy of every published frame.
class Delivered {
public:
    Delivered()
    {
        m_pool.init(poolCfg());
        m_manager.setMemPool(&m_pool);
        m_manager.registerCallBack([this](int, DataPackage_t* pkg) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_frames.emplace_back(pkgData(pkg), pkgData(pkg) + pkg->m_iLen);
            m_cv.notify_all();
            return -1;
        });
    }
    bool waitFor(size_t count, int timeoutMs = 20000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_frames.size() >= count; });
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
};

// A sink that can refuse packages, and remembers the sizes asked for.
class TestSink : public IFramePkgSink {
public:
    explicit TestSink(Delivered* delivered) : m_inner(delivered->manager()) {}
    DataPackage_t* getFramePkg(int size) override
    {
        m_requests.push_back(size);
        return m_bRefuse ? nullptr : m_inner.getFramePkg(size);
    }
    void discardFramePkg(DataPackage_t* pkg) override
    {
        ++m_discards;
        m_inner.discardFramePkg(pkg);
    }
    void publishFramePkg(DataPackage_t* pkg) override { m_inner.publishFramePkg(pkg); }

    bool m_bRefuse{false};
    std::vector<int> m_requests;
    int m_discards{0};

private:
    CDataManagerSink m_inner;
};

class TcpFrameParserTest : public ::testing::Test {
protected:
    Delivered m_delivered;
    TestSink m_sink{&m_delivered};
    std::unique_ptr<CTcpFrameParser> m_parser = std::make_unique<CTcpFrameParser>(&m_sink, "h11_parse");

    // Feeds the stream in pieces of `piece` bytes; the frames published.
    int feedInPieces(const Bytes& stream, size_t piece)
    {
        int frames = 0;
        for (size_t at = 0; at < stream.size(); at += piece) {
            frames += m_parser->feed(stream.data() + at, std::min(piece, stream.size() - at));
        }
        return frames;
    }
};

TEST_F(TcpFrameParserTest, FindMagicNumberTable)
{
    struct Case {
        std::string bytes;
        int expected;
    };
    const Case cases[] = {
        {"", -1},        {"ZQM", -1},     {"ZQMW", 0},      {"xyZQMW", 2},
        {"ZQMxZQMW", 4}, {"ZQMWZQMW", 0}, {"zqmwZQMw", -1}, {std::string(100, 'Z'), -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            findMagicNumber(reinterpret_cast<const unsigned char*>(c.bytes.data()), static_cast<int>(c.bytes.size())),
            c.expected)
            << c.bytes;
    }
    EXPECT_EQ(findMagicNumber(nullptr, 10), -1);
}

TEST_F(TcpFrameParserTest, HeaderCheckRefusesOversizeNegativeAndInconsistentLengths)
{
    struct Case {
        const char* what;
        Bytes header;
        bool valid;
    };
    const uint32_t cap = DDS_MAX_FRAME_PAYLOAD;
    const Case cases[] = {
        {"empty payload", falseHeader(0, 34), true},
        {"at the cap", falseHeader(cap, cap + 34), true},
        {"above the cap", falseHeader(cap + 1, cap + 35), false},
        {"negative as int", falseHeader(0x80000000u, 0x80000022u), false},
        {"-1 as int", falseHeader(0xFFFFFFFFu, 0x21u), false},
        {"total wraps below 34", falseHeader(0xFFFFFFF0u, 0x12u), false},
        {"total without header", falseHeader(100, 100), false},
        {"middle fragment", falseHeader(10, 44, PKT_FLAG_MIDDLE), false},
        {"fragment 2", falseHeader(10, 44, PKT_FLAG_FIRST, 2), false},
        {"two fragments", falseHeader(10, 44, PKT_FLAG_FIRST, 1, 2), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isValidTcpFrameHeader(readDdsHeader(c.header.data())), c.valid) << c.what;
    }
    Bytes badMagic = falseHeader(0, 34);
    badMagic[3] = 'w';
    EXPECT_FALSE(isValidTcpFrameHeader(readDdsHeader(badMagic.data())));
}

TEST_F(TcpFrameParserTest, FramesArriveWholeInOrderWhateverTheSplit)
{
    const std::vector<Bytes> sent = {frameOf(0, 1), frameOf(1, 2), frameOf(100, 3), frameOf(4000, 4)};
    const Bytes stream = concat(sent);
    const size_t pieces[] = {1, 2, 3, 33, 34, 35, 1000, stream.size()};
    size_t total = 0;
    for (size_t piece : pieces) {
        EXPECT_EQ(feedInPieces(stream, piece), static_cast<int>(sent.size())) << "piece " << piece;
        total += sent.size();
        EXPECT_EQ(m_parser->bufferedBytes(), 0u);
        EXPECT_FALSE(m_parser->inFrame());
    }
    std::vector<Bytes> got = m_delivered.frames();
    ASSERT_EQ(got.size(), total);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i], sent[i % sent.size()]) << "frame " << i;
    }
    EXPECT_EQ(m_parser->droppedBytes(), 0u);
}

TEST_F(TcpFrameParserTest, EveryCompleteFrameInOneReadIsPublishedAtOnce)
{
    zqtest::OutputCapture capture;
    const Bytes stream = concat({frameOf(10, 1), frameOf(20, 2), frameOf(30, 3)});
    EXPECT_EQ(m_parser->feed(stream.data(), stream.size()), 3);
    capture.stop();
    EXPECT_EQ(m_delivered.frames().size(), 3u);
    EXPECT_EQ(capture.out().find("iOffset"), std::string::npos);
}

TEST_F(TcpFrameParserTest, SizesAcrossTheStreamBufferArriveIntact)
{
    const uint32_t edge = TCP_STREAM_BUF_SIZE - DDS_HEADER_SIZE;
    const uint32_t payloads[] = {edge - 1, edge, edge + 1, TCP_STREAM_BUF_SIZE, 2 * TCP_STREAM_BUF_SIZE + 5, 300000};
    std::vector<Bytes> sent;
    for (uint32_t p : payloads) {
        sent.push_back(frameOf(p, static_cast<uint8_t>(p)));
    }
    const Bytes stream = concat(sent);
    EXPECT_EQ(feedInPieces(stream, 7777), static_cast<int>(sent.size()));
    EXPECT_EQ(m_delivered.frames(), sent);
}

TEST_F(TcpFrameParserTest, LeadingGarbageIsDroppedWithOneLine)
{
    zqtest::OutputCapture capture;
    const Bytes frame = frameOf(50, 9);
    const Bytes stream = concat({noise(5, 0), frame});
    EXPECT_EQ(m_parser->feed(stream.data(), stream.size()), 1);
    capture.stop();
    EXPECT_EQ(zqtest::countDdsLines(capture.out(), "33", "iOffset: 5, iDataLen: 89, bFoundHeader: 1"), 1);
    EXPECT_EQ(m_delivered.frames(), std::vector<Bytes>{frame});
}

// Garbage before, between and inside frames: whatever it holds, every frame delivered is one that
// was sent, whole.
TEST_F(TcpFrameParserTest, GarbageResynchronisesWithoutAMixedFrame)
{
    const Bytes magic = {'Z', 'Q', 'M', 'W'};
    const uint32_t cap = DDS_MAX_FRAME_PAYLOAD;
    // A payload that itself holds the magic and a whole valid-looking header.
    Bytes tricky = frameOf(120, 5);
    const Bytes inner = frameOf(10, 6);
    std::copy(inner.begin(), inner.end(), tricky.begin() + DDS_HEADER_SIZE + 20);
    const std::vector<Bytes> frames = {frameOf(40, 1), frameOf(0, 2), tricky, frameOf(33000, 3), frameOf(7, 4)};
    const std::vector<Bytes> garbage = {
        noise(17, 1),                                          // before
        concat({magic, noise(3, 2)}),                          // a magic cut short
        concat({falseHeader(cap + 1, cap + 35), noise(9, 3)}), // oversize
        concat({falseHeader(0xFFFFFFFFu, 0x21u), magic}),      // negative, then a bare magic
        concat({falseHeader(200, 200), noise(50, 4)}),         // inconsistent total
        concat({falseHeader(5, 39, PKT_FLAG_LAST), noise(1, 5)}),
    };
    Bytes stream;
    size_t garbageBytes = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        const Bytes& g = garbage[i % garbage.size()];
        stream.insert(stream.end(), g.begin(), g.end());
        garbageBytes += g.size();
        stream.insert(stream.end(), frames[i].begin(), frames[i].end());
    }
    const Bytes& tail = garbage.back();
    stream.insert(stream.end(), tail.begin(), tail.end());
    garbageBytes += tail.size();

    for (size_t piece : {size_t{1}, size_t{13}, size_t{4096}, stream.size()}) {
        Delivered delivered;
        TestSink sink(&delivered);
        CTcpFrameParser parser(&sink, "h11_parse");
        for (size_t at = 0; at < stream.size(); at += piece) {
            parser.feed(stream.data() + at, std::min(piece, stream.size() - at));
        }
        EXPECT_EQ(delivered.frames(), frames) << "piece " << piece;
        EXPECT_EQ(parser.droppedBytes() + parser.bufferedBytes(), garbageBytes) << "piece " << piece;
        EXPECT_GE(parser.falseMagics(), 5u);
        // No false header ever made the parser ask for a package.
        for (int size : sink.m_requests) {
            EXPECT_LE(size, static_cast<int>(DDS_HEADER_SIZE + 33000));
        }
    }
}

TEST_F(TcpFrameParserTest, FrameWithoutAPackageIsSkippedWholeEvenIfItHoldsAHeader)
{
    // The skipped frame's payload holds a complete frame: it must not be found inside.
    Bytes outer = frameOf(300, 1);
    const Bytes inner = frameOf(50, 2);
    std::copy(inner.begin(), inner.end(), outer.begin() + DDS_HEADER_SIZE + 100);
    const Bytes next = frameOf(60, 3);

    m_sink.m_bRefuse = true;
    EXPECT_EQ(m_parser->feed(outer.data(), 120), 0);
    m_sink.m_bRefuse = false;
    EXPECT_EQ(m_parser->feed(outer.data() + 120, outer.size() - 120), 0);
    EXPECT_EQ(m_parser->feed(next.data(), next.size()), 1);
    EXPECT_EQ(m_parser->skippedFrames(), 1u);
    EXPECT_EQ(m_delivered.frames(), std::vector<Bytes>{next});
}

TEST_F(TcpFrameParserTest, NewStreamNeverCompletesTheCutOffFrame)
{
    const Bytes cut = frameOf(1000, 1);    // a package of the 4096-byte group
    const Bytes larger = frameOf(9000, 2); // needs the 65536-byte group
    const Bytes smaller = frameOf(100, 3);
    EXPECT_EQ(m_parser->feed(cut.data(), 500), 0);
    EXPECT_TRUE(m_parser->inFrame());
    m_parser->resetStream();
    EXPECT_FALSE(m_parser->inFrame());
    EXPECT_TRUE(m_parser->holdsPackage()); // kept for the next frame

    // The kept package is too small for the next frame: it goes back and a larger one is taken.
    EXPECT_EQ(m_parser->feed(larger.data(), larger.size()), 1);
    EXPECT_EQ(m_sink.m_discards, 1);
    EXPECT_EQ(m_parser->feed(smaller.data(), smaller.size()), 1);
    EXPECT_EQ(m_delivered.frames(), (std::vector<Bytes>{larger, smaller}));

    // Cut off again; the kept package serves the next frame, and nothing stays held at the end.
    EXPECT_EQ(m_parser->feed(larger.data(), 100), 0);
    m_parser->resetStream();
    EXPECT_EQ(m_parser->feed(smaller.data(), smaller.size()), 1);
    EXPECT_EQ(m_sink.m_discards, 1);
    m_parser.reset();
    EXPECT_EQ(m_delivered.usedBytes(), 0u);
}

TEST_F(TcpFrameParserTest, FullBufferWithoutMagicKeepsOnlyWhatMayStartOne)
{
    zqtest::OutputCapture capture;
    const Bytes frame = frameOf(10, 1);
    Bytes stream = noise(TCP_STREAM_BUF_SIZE + 1000, 2);
    stream.push_back('Z'); // a magic split across the buffer's end ...
    stream.insert(stream.end(), frame.begin(), frame.end());
    EXPECT_EQ(feedInPieces(stream, 4096), 1);
    capture.stop();
    EXPECT_EQ(m_delivered.frames(), std::vector<Bytes>{frame});
    EXPECT_EQ(m_parser->droppedBytes(), TCP_STREAM_BUF_SIZE + 1001u);
    EXPECT_GE(zqtest::countDdsLines(capture.out(), "33", "iOffset: 32765, iDataLen: 32768, bFoundHeader: 0"), 1);
}

// Random frames and garbage in random pieces (a fixed seed): every frame arrives whole, in order.
TEST_F(TcpFrameParserTest, RandomStreamsKeepEveryFrame)
{
    std::mt19937 rng(1234);
    std::vector<Bytes> frames;
    Bytes stream;
    for (int i = 0; i < 200; ++i) {
        if (rng() % 3 == 0) {
            Bytes g = noise(rng() % 300, static_cast<uint8_t>(rng()));
            if (rng() % 2 == 0) {
                Bytes f = falseHeader(rng(), rng(), static_cast<uint8_t>(rng() % 3), rng() % 3, rng() % 3);
                g.insert(g.begin() + static_cast<long>(g.size() / 2), f.begin(), f.end());
            }
            stream.insert(stream.end(), g.begin(), g.end());
        }
        frames.push_back(frameOf(rng() % 70000, static_cast<uint8_t>(i)));
        stream.insert(stream.end(), frames.back().begin(), frames.back().end());
    }
    size_t at = 0;
    while (at < stream.size()) {
        size_t piece = std::min<size_t>(1 + rng() % 9000, stream.size() - at);
        m_parser->feed(stream.data() + at, piece);
        at += piece;
    }
    // A false header whose fields happen to be valid could swallow bytes; with these lengths and
    // fields none is, so every frame is there.
    EXPECT_EQ(m_delivered.frames(), frames);
}

// ---- The receiver on a socket -------------------------------------------------------------------

TransParam_t tcpParam(const char* ip, int port)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_TCP;
    std::strncpy(param.m_tcpParam.m_szIp, ip, sizeof(param.m_tcpParam.m_szIp) - 1);
    param.m_tcpParam.m_iPort = port;
    return param;
}

// A listening socket of the test that plays the sender.
class RawPeer {
public:
    explicit RawPeer(int port, int backlog = 4)
    {
        m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_ok = ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
               ::listen(m_listenFd, backlog) == 0;
    }
    ~RawPeer()
    {
        closeConn();
        ::close(m_listenFd);
    }
    bool ok() const { return m_ok; }
    // Waits for the receiver's connection.
    bool accept()
    {
        closeConn();
        m_connFd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        return m_connFd >= 0;
    }
    bool send(const Bytes& bytes) const
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(m_connFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }
    void closeConn()
    {
        if (m_connFd >= 0) {
            ::close(m_connFd);
            m_connFd = -1;
        }
    }

private:
    int m_listenFd{-1};
    int m_connFd{-1};
    bool m_ok{false};
};

class TcpReceiverNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        m_baseFds = zqtest::countOpenFds();
        m_baseThreads = zqtest::baselineThreads();
    }
    void expectNothingLeft()
    {
        EXPECT_EQ(zqtest::countOpenFds(), m_baseFds);
        EXPECT_EQ(zqtest::threadsSettleAt(m_baseThreads), m_baseThreads);
    }

    int m_baseFds{0};
    int m_baseThreads{0};
};

TEST_F(TcpReceiverNsTest, FramesFromTheStreamArriveWithoutWaitingForMore)
{
    const int port = 51101;
    {
        RawPeer peer(port);
        ASSERT_TRUE(peer.ok());
        Delivered delivered;
        CTcpReceiver receiver("h11_rx_stream", delivered.manager());
        TransParam_t param = tcpParam("127.0.0.1", port);
        ASSERT_TRUE(receiver.init(param));
        ASSERT_TRUE(peer.accept());

        // Two frames in one write, then a pause with nothing more: both arrive.
        const std::vector<Bytes> sent = {frameOf(100, 1, 11), frameOf(40000, 2, 22), frameOf(0, 3, 33)};
        ASSERT_TRUE(peer.send(concat({noise(3, 0), sent[0], sent[1]})));
        ASSERT_TRUE(delivered.waitFor(2));
        ASSERT_TRUE(peer.send(sent[2]));
        ASSERT_TRUE(delivered.waitFor(3));
        EXPECT_EQ(delivered.frames(), sent);
        const uint64_t timeStamp = readDdsHeader(delivered.frames()[1].data()).m_u64TimeStamp;
        EXPECT_EQ(timeStamp, 22u);
        EXPECT_EQ(receiver.getLostPkgCount(), 0u);
        EXPECT_GE(receiver.getFps(), 0);
        receiver.deinit();
        EXPECT_EQ(receiver.getFps(), -1);
        EXPECT_EQ(delivered.usedBytes(), 0u);
    }
    expectNothingLeft();
}

TEST_F(TcpReceiverNsTest, PeerClosingMidFrameIsReconnectedAndTheHalfFrameDropped)
{
    const int port = 51102;
    zqtest::OutputCapture capture;
    {
        RawPeer peer(port);
        ASSERT_TRUE(peer.ok());
        Delivered delivered;
        CTcpReceiver receiver("h11_rx_reconnect", delivered.manager());
        TransParam_t param = tcpParam("127.0.0.1", port);
        ASSERT_TRUE(receiver.init(param));
        ASSERT_TRUE(peer.accept());

        const Bytes first = frameOf(20, 1);
        const Bytes cut = frameOf(5000, 2);
        const Bytes after = frameOf(300, 3);
        ASSERT_TRUE(peer.send(concat({first, Bytes(cut.begin(), cut.begin() + 2000)})));
        ASSERT_TRUE(delivered.waitFor(1));
        peer.closeConn(); // the receiver sees the close and connects again
        ASSERT_TRUE(peer.accept());
        ASSERT_TRUE(peer.send(after));
        ASSERT_TRUE(delivered.waitFor(2));
        EXPECT_EQ(delivered.frames(), (std::vector<Bytes>{first, after}));
        receiver.deinit();
        EXPECT_EQ(delivered.usedBytes(), 0u);
    }
    capture.stop();
    EXPECT_NE(capture.out().find("Connection reset by peer. Error: "), std::string::npos);
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "33", "reconnect ... "));
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32", "[h11_rx_reconnect] CTcpReceiver::recvTask() exit!"));
    expectNothingLeft();
}

TEST_F(TcpReceiverNsTest, InitRefusals)
{
    Delivered delivered;
    CTcpReceiver receiver("h11_rx_refuse", delivered.manager());
    EXPECT_EQ(receiver.getFps(), -1);

    TransParam_t udp = tcpParam("127.0.0.1", 51103);
    udp.m_iType = TRANS_TYPE_UDP;
    EXPECT_FALSE(receiver.init(udp));

    TransParam_t unterminated = tcpParam("127.0.0.1", 51103);
    std::memset(unterminated.m_tcpParam.m_szIp, '1', sizeof(unterminated.m_tcpParam.m_szIp));
    EXPECT_FALSE(receiver.init(unterminated));

    // Nobody listens: five bounded attempts, then the red line; nothing stays open.
    zqtest::OutputCapture capture;
    TransParam_t nobody = tcpParam("127.0.0.1", 51103);
    EXPECT_FALSE(receiver.init(nobody));
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31", "[h11_rx_refuse] Error: connectSocket!"));
    EXPECT_EQ(zqtest::countOpenFds(), m_baseFds);

    // Started once, a second init is refused.
    RawPeer peer(51104);
    ASSERT_TRUE(peer.ok());
    TransParam_t param = tcpParam("127.0.0.1", 51104);
    ASSERT_TRUE(receiver.init(param));
    EXPECT_FALSE(receiver.init(param));
    receiver.deinit();
    receiver.deinit();
}

// A listener whose accept queue is full drops every SYN, as an unreachable host does: each connect
// attempt gives up after its bound, so init fails instead of waiting for the system's retries.
TEST_F(TcpReceiverNsTest, ConnectToAPeerThatDropsSynsGivesUp)
{
    const int port = 51105;
    {
        RawPeer peer(port, 0);
        ASSERT_TRUE(peer.ok());
        int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);

        Delivered delivered;
        CTcpReceiver receiver("h11_rx_drop", delivered.manager());
        TransParam_t param = tcpParam("127.0.0.1", port);
        zqtest::OutputCapture capture;
        EXPECT_FALSE(receiver.init(param));
        capture.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31", "[h11_rx_drop] Error: connectSocket!"));
        ::close(filler);
    }
    expectNothingLeft();
}

TEST_F(TcpReceiverNsTest, ForwardsToTheDataManager)
{
    Delivered delivered;
    CTcpReceiver receiver(delivered.manager());
    CDataFifo* fifo = receiver.createDataFifo(1, 4);
    EXPECT_NE(fifo, nullptr);
    receiver.destroyDataFifo(fifo);
    EXPECT_GT(receiver.registerDataCallBack([](int, DataPackage_t*) { return -1; }), 0);

    CTcpReceiver bare(nullptr);
    EXPECT_EQ(bare.createDataFifo(1, 4), nullptr);
    EXPECT_EQ(bare.registerDataCallBack([](int, DataPackage_t*) { return -1; }), -1);
    EXPECT_TRUE(bare.getTopicName().empty());
}

} // namespace
