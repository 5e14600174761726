// The UDP sender: the datagrams it puts on the wire, its connection table, the parallel sends to
// several readers, that it needs no scratch from the topic's pool, and what is left after deinit.
#include "core/transport/media/udp_sender.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/transport/media/udp_receiver.h"
#include "core/transport/sender_factory.h"
#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"
#include "support/datagram_support.h"
#include "support/zqtest.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string RED = "31";
const std::string GREEN = "32";

using dgramtest::udpParam;

// A package as a writer makes it: header, then `payload` bytes (seed + i).
Bytes package(uint32_t payload, uint64_t timeStamp, uint8_t seed)
{
    return dgramtest::packageOf(payload, timeStamp, seed);
}

// A plain UDP socket bound on loopback that collects what arrives.
struct Sink {
    explicit Sink(int port)
    {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = 4 * 1024 * 1024;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~Sink() { ::close(fd); }
    // The next datagram within the deadline.
    bool next(Bytes* out, int timeoutMs = 5000)
    {
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        return dgramtest::recvDatagram(fd, out);
    }
    // Whether a datagram is waiting now.
    bool pending()
    {
        Bytes buf(16);
        return ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT | MSG_PEEK) >= 0;
    }
    int fd{-1};
    bool bound{false};
};

struct Fragment {
    uint8_t flag;
    uint32_t seqNo;
    uint32_t dataLen;
    uint32_t totalLen;
    uint32_t pktCount;
    size_t size;
};

// The header fields of a datagram, copied out of the packed record.
struct Header {
    bool magic;
    uint8_t flag;
    uint8_t type;
    uint32_t seqNo;
    uint64_t timeStamp;
    uint32_t dataLen;
    uint32_t totalLen;
    uint32_t pktCount;
};

Header headerOf(const Bytes& d)
{
    const DDSHeader_t h = readDdsHeader(d.data());
    return {std::memcmp(h.m_u8Magic, "ZQMW", 4) == 0,
            h.m_u8Flag,
            h.m_u8Type,
            h.m_u32SeqNo,
            h.m_u64TimeStamp,
            h.m_u32DataLen,
            h.m_u32TotalLen,
            h.m_u32PktCount};
}

class UdpSenderNsTest : public dgramtest::SenderNsTest<CUdpSender> {
protected:
    UdpSenderNsTest() : SenderNsTest(2097152, 4) {}
};

TEST_F(UdpSenderNsTest, FragmentsOnTheWire)
{
    Sink sink(50300);
    ASSERT_TRUE(sink.bound);
    TransParam_t param = udpParam("127.0.0.1", 50300);
    ASSERT_TRUE(m_sender->addConn(3, param));
    const struct {
        uint32_t payload;
        std::vector<Fragment> fragments;
    } cases[] = {
        {0, {{0, 1, 0, 0, 1, 34}}},
        {1, {{0, 1, 1, 1, 1, 35}}},
        {1438, {{0, 1, 1438, 1438, 1, 1472}}},
        {1439, {{0, 1, 1438, 1439, 2, 1472}, {2, 2, 1, 1439, 2, 35}}},
        {10000,
         {{0, 1, 1438, 10000, 7, 1472},
          {1, 2, 1438, 10000, 7, 1472},
          {1, 3, 1438, 10000, 7, 1472},
          {1, 4, 1438, 10000, 7, 1472},
          {1, 5, 1438, 10000, 7, 1472},
          {1, 6, 1438, 10000, 7, 1472},
          {2, 7, 1372, 10000, 7, 1406}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        Bytes pkg = package(c.payload, 123456789, 5);
        ASSERT_TRUE(m_sender->sendData(pkg.data(), static_cast<int>(pkg.size())));
        uint32_t offset = 0;
        for (const Fragment& f : c.fragments) {
            Bytes d;
            ASSERT_TRUE(sink.next(&d));
            ASSERT_EQ(d.size(), f.size);
            const Header h = headerOf(d);
            EXPECT_TRUE(h.magic);
            EXPECT_EQ(h.flag, f.flag);
            EXPECT_EQ(h.type, MSG_TYPE_DATA);
            EXPECT_EQ(h.seqNo, f.seqNo);
            EXPECT_EQ(h.timeStamp, 123456789u);
            EXPECT_EQ(h.dataLen, f.dataLen);
            EXPECT_EQ(h.totalLen, f.totalLen);
            EXPECT_EQ(h.pktCount, f.pktCount);
            ASSERT_EQ(std::memcmp(d.data() + DDS_HEADER_SIZE, pkg.data() + DDS_HEADER_SIZE + offset, f.dataLen), 0);
            offset += f.dataLen;
        }
    }
    EXPECT_FALSE(sink.pending()) << "no datagram beyond the table";
    Bytes shortPkg(DDS_HEADER_SIZE - 1);
    EXPECT_FALSE(m_sender->sendData(shortPkg.data(), static_cast<int>(shortPkg.size())));
    EXPECT_FALSE(m_sender->sendData(nullptr, 100));
}

// What a UDP socket on loopback reads with recvmmsg: each buffer with the segment size the kernel
// reports for it (UDP_GRO, 0 for a single datagram, and always 0 on a socket without GRO).
struct Capture {
    Bytes bytes;
    int segment;
};

class WireSocket {
public:
    WireSocket(int port, bool gro) : m_sink(port)
    {
        const int on = 1;
        m_ok = m_sink.bound && (!gro || ::setsockopt(m_sink.fd, SOL_UDP, UDP_GRO, &on, sizeof(on)) == 0);
    }
    bool ok() const { return m_ok; }

    // Reads until `datagrams` datagrams (counting a coalesced buffer's segments) came or the
    // deadline passed.
    std::vector<Capture> read(size_t datagrams, int timeoutMs = 5000)
    {
        constexpr size_t SLOTS = 16;
        std::vector<Capture> out;
        std::vector<Bytes> bufs(SLOTS, Bytes(65536));
        std::vector<std::array<char, 64>> controls(SLOTS);
        size_t seen = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (seen < datagrams && std::chrono::steady_clock::now() < deadline) {
            pollfd entry{m_sink.fd, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) {
                continue;
            }
            iovec iov[SLOTS];
            mmsghdr msgs[SLOTS];
            for (size_t i = 0; i < SLOTS; ++i) {
                iov[i] = iovec{bufs[i].data(), bufs[i].size()};
                msgs[i] = mmsghdr{};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
                msgs[i].msg_hdr.msg_control = controls[i].data();
                msgs[i].msg_hdr.msg_controllen = controls[i].size();
            }
            const int got = ::recvmmsg(m_sink.fd, msgs, SLOTS, MSG_DONTWAIT, nullptr);
            for (int i = 0; i < got; ++i) {
                Capture c{Bytes(bufs[i].begin(), bufs[i].begin() + msgs[i].msg_len), 0};
                for (cmsghdr* cm = CMSG_FIRSTHDR(&msgs[i].msg_hdr); cm != nullptr;
                     cm = CMSG_NXTHDR(&msgs[i].msg_hdr, cm)) {
                    if (cm->cmsg_level == SOL_UDP && cm->cmsg_type == UDP_GRO) {
                        std::memcpy(&c.segment, CMSG_DATA(cm), sizeof(c.segment));
                    }
                }
                seen += c.segment > 0 ? (c.bytes.size() + c.segment - 1) / c.segment : 1;
                out.push_back(std::move(c));
            }
        }
        return out;
    }

private:
    Sink m_sink;
    bool m_ok{false};
};

// The sender's segmented sends put the very datagrams on the wire that one send per datagram puts
// there: read back one by one (no GRO) they are equal byte for byte, and a reader with GRO gets
// them coalesced at the full datagram's size, which shows they left as segmented sends.
TEST_F(UdpSenderNsTest, SegmentedSendsPutTheSameDatagramsOnTheWire)
{
    WireSocket plain(50340, false);
    WireSocket coalesced(50341, true);
    ASSERT_TRUE(plain.ok() && coalesced.ok());
    TransParam_t toPlain = udpParam("127.0.0.1", 50340);
    TransParam_t toCoalesced = udpParam("127.0.0.1", 50341);
    ASSERT_TRUE(m_sender->addConn(3, toPlain));
    ASSERT_TRUE(m_sender->addConn(4, toCoalesced));

    // Datagram by datagram, as before segmentation: one sendmsg per datagram.
    int oneByOne = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(oneByOne, 0);
    sockaddr_in plainAddr{};
    plainAddr.sin_family = AF_INET;
    plainAddr.sin_port = htons(50340);
    plainAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const DatagramTarget_t unsegmented{oneByOne, reinterpret_cast<sockaddr*>(&plainAddr),
                                       static_cast<int>(sizeof(plainAddr)), nullptr};

    // One datagram, a full one, a short last one, a full segmented send (44 datagrams) and one
    // more, a frame of several segmented sends.
    for (uint32_t payload : {1u, 1438u, 1439u, 10000u, 44u * 1438u, 44u * 1438u + 1u, 300000u}) {
        SCOPED_TRACE(payload);
        const Bytes pkg = package(payload, 1000 + payload, static_cast<uint8_t>(payload));
        const size_t count = fragmentCount(payload, UDP_FRAG_PAYLOAD);
        std::vector<uint8_t> headers;
        GatheredList_t gathered;
        ASSERT_TRUE(gatherFragments(pkg.data(), pkg.size(), UDP_FRAG_PAYLOAD, headers, gathered));
        ASSERT_EQ(sendToTarget(unsegmented, gathered), static_cast<int>(count));
        const std::vector<Capture> before = plain.read(count);
        ASSERT_EQ(before.size(), count);

        ASSERT_TRUE(m_sender->sendData(const_cast<uint8_t*>(pkg.data()), static_cast<int>(pkg.size())));
        const std::vector<Capture> after = plain.read(count);
        ASSERT_EQ(after.size(), count);
        for (size_t i = 0; i < count; ++i) {
            EXPECT_EQ(after[i].segment, 0);
            ASSERT_EQ(after[i].bytes, before[i].bytes) << "datagram " << i;
        }

        const std::vector<Capture> grouped = coalesced.read(count);
        Bytes joined;
        Bytes expected;
        size_t segmented = 0;
        for (const Capture& c : grouped) {
            if (c.segment != 0) {
                EXPECT_EQ(c.segment, UDP_MAX_DATAGRAM);
                ++segmented;
            }
            joined.insert(joined.end(), c.bytes.begin(), c.bytes.end());
        }
        for (const Capture& c : before) {
            expected.insert(expected.end(), c.bytes.begin(), c.bytes.end());
        }
        EXPECT_EQ(joined, expected);
        // Runs of 44; a last run of one datagram goes unsegmented.
        EXPECT_EQ(segmented, count / 44 + (count % 44 > 1 ? 1 : 0)) << "one coalesced buffer per segmented send";
    }
    EXPECT_FALSE(plain.read(1, 50).size() > 0) << "nothing beyond";
    ::close(oneByOne);
}

TEST_F(UdpSenderNsTest, NeedsNoScratchFromTheTopicPool)
{
    // No data manager at all: the fragments are built in the sender's own buffer.
    CUdpSender sender(nullptr);
    Sink sink(50310);
    ASSERT_TRUE(sink.bound);
    TransParam_t param = udpParam("127.0.0.1", 50310);
    ASSERT_TRUE(sender.addConn(3, param));
    Bytes pkg = package(1048577, 42, 9);
    ASSERT_TRUE(sender.sendData(pkg.data(), static_cast<int>(pkg.size())));
    Bytes payload;
    for (uint32_t seqNo = 1; seqNo <= 730; ++seqNo) {
        Bytes d;
        ASSERT_TRUE(sink.next(&d)) << seqNo;
        ASSERT_EQ(headerOf(d).seqNo, seqNo);
        payload.insert(payload.end(), d.begin() + DDS_HEADER_SIZE, d.end());
    }
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), pkg.begin() + DDS_HEADER_SIZE, pkg.end()));
    EXPECT_EQ(payload.size(), 1048577u);
}

TEST_F(UdpSenderNsTest, EveryReaderGetsTheSameDatagrams)
{
    Sink first(50320);
    Sink second(50321);
    Sink third(50322);
    ASSERT_TRUE(m_sender->init());
    EXPECT_FALSE(m_sender->init()) << "already running";
    TransParam_t p1 = udpParam("127.0.0.1", 50320);
    TransParam_t p2 = udpParam("127.0.0.1", 50321);
    TransParam_t p3 = udpParam("127.0.0.1", 50322);
    ASSERT_TRUE(m_sender->addConn(5, p1));
    ASSERT_TRUE(m_sender->addConn(6, p2));
    ASSERT_TRUE(m_sender->addConn(7, p3));
    EXPECT_EQ(m_sender->getClientCount(), 3);

    DataPackage_t* pkg = m_manager.getEmptyDataPkg(static_cast<int>(DDS_HEADER_SIZE + 5000), 100);
    ASSERT_NE(pkg, nullptr);
    Bytes bytes = package(5000, 77, 3);
    std::memcpy(pkgData(pkg), bytes.data(), bytes.size());
    pkg->m_iLen = static_cast<int>(bytes.size());
    ASSERT_EQ(m_manager.putFullDataPkg(pkg, pkg->m_iLen), 0);
    for (Sink* sink : {&first, &second, &third}) {
        for (uint32_t seqNo = 1; seqNo <= 4; ++seqNo) {
            Bytes d;
            ASSERT_TRUE(sink->next(&d));
            EXPECT_EQ(headerOf(d).seqNo, seqNo);
            EXPECT_EQ(headerOf(d).pktCount, 4u);
        }
    }
    EXPECT_GE(m_sender->getFps(), 0);
    m_sender->deinit();
    EXPECT_EQ(m_sender->getClientCount(), 0);
    EXPECT_EQ(m_sender->getFps(), -1);
    EXPECT_FALSE(m_sender->isInit());
}

TEST_F(UdpSenderNsTest, ConnectionTable)
{
    TransParam_t param = udpParam("127.0.0.1", 50330);
    EXPECT_EQ(m_sender->getFps(), -1) << "no reader";
    // A control descriptor stands in for the connection id; the sender never closes it.
    int control = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(control, 0);
    zqtest::OutputCapture capture;
    ASSERT_TRUE(m_sender->addConn(control, param));
    EXPECT_FALSE(m_sender->addConn(control, param)) << "the id is taken";
    capture.stop();
    EXPECT_EQ(zqtest::countDdsLines(capture.out(), GREEN, "Open udp port 50330 success, receiver ip is 127.0.0.1."), 2);
    EXPECT_NE(capture.out().find(", while seted size is 2048 KB."), std::string::npos);
    EXPECT_TRUE(m_sender->isConnExist(control));
    EXPECT_EQ(m_sender->getPort(control), 50330);
    EXPECT_EQ(m_sender->getPort(control + 1), -1);
    EXPECT_EQ(m_sender->getClientCount(), 1);

    zqtest::OutputCapture delCapture;
    EXPECT_TRUE(m_sender->delConn(control));
    EXPECT_FALSE(m_sender->delConn(control));
    delCapture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(delCapture.out(), GREEN,
                                   "Delete udp conn " + std::to_string(control) + ", addr: 127.0.0.1, port: 50330"));
    EXPECT_FALSE(m_sender->isConnExist(control));
    EXPECT_EQ(m_sender->getClientCount(), 0);
    EXPECT_NE(::fcntl(control, F_GETFD), -1) << "the control descriptor belongs to the control channel";
    ::close(control);

    TransParam_t wrongType = udpParam("127.0.0.1", 50330);
    wrongType.m_iType = TRANS_TYPE_UNIX_SOCKET;
    EXPECT_FALSE(m_sender->addConn(8, wrongType));
    for (const char* ip : {"localhost", "", "1.2.3"}) {
        TransParam_t bad = udpParam(ip, 50330);
        EXPECT_FALSE(m_sender->addConn(8, bad)) << ip;
    }
    TransParam_t unterminated = udpParam("", 50330);
    std::memset(unterminated.m_udpParam.m_szIp, '1', sizeof(unterminated.m_udpParam.m_szIp));
    EXPECT_FALSE(m_sender->addConn(8, unterminated));
    TransParam_t badPort = udpParam("127.0.0.1", 65536);
    EXPECT_FALSE(m_sender->addConn(8, badPort));
    EXPECT_EQ(zqtest::countOpenFds(), m_baseFds);

    std::shared_ptr<CDataSender> made = CSenderFactory::createSender(TRANS_TYPE_UDP, &m_manager);
    EXPECT_NE(std::dynamic_pointer_cast<CUdpSender>(made), nullptr);
}

TEST_F(UdpSenderNsTest, MessagesReachAReceiverAndTeardownLeavesNothing)
{
    CNormalMemPool readerPool;
    MemConfig_t cfg{};
    cfg.m_iKey = -1;
    cfg.m_u32MaxPoolSize = 0x10000000;
    cfg.m_stGroup[0] = MemGroup_t{0, 2097152, 4};
    cfg.m_iGroupCount = 1;
    ASSERT_TRUE(readerPool.init(cfg));
    CDataManager readerManager;
    readerManager.setMemPool(&readerPool);
    std::mutex mtx;
    std::vector<Bytes> got;
    readerManager.registerCallBack([&](int, DataPackage_t* p) {
        std::lock_guard<std::mutex> lock(mtx);
        got.emplace_back(pkgData(p) + DDS_HEADER_SIZE, pkgData(p) + p->m_iLen);
        return -1;
    });
    {
        CUdpReceiver receiver("h10_usx", &readerManager);
        TransParam_t param = udpParam("127.0.0.1", 50340);
        ASSERT_TRUE(m_sender->init());
        ASSERT_TRUE(m_sender->addConn(9, param));
        ASSERT_TRUE(receiver.init(param));
        const uint32_t sizes[] = {1, 1438, 1439, 1048577};
        for (size_t n = 0; n < 4; ++n) {
            DataPackage_t* pkg = m_manager.getEmptyDataPkg(static_cast<int>(DDS_HEADER_SIZE + sizes[n]), 100);
            ASSERT_NE(pkg, nullptr);
            Bytes bytes = package(sizes[n], n, static_cast<uint8_t>(n));
            std::memcpy(pkgData(pkg), bytes.data(), bytes.size());
            pkg->m_iLen = static_cast<int>(bytes.size());
            ASSERT_EQ(m_manager.putFullDataPkg(pkg, pkg->m_iLen), 0);
            ASSERT_TRUE(zqtest::waitUntil(
                [&] {
                    std::lock_guard<std::mutex> lock(mtx);
                    return got.size() == n + 1;
                },
                10000));
            std::lock_guard<std::mutex> lock(mtx);
            EXPECT_TRUE(std::equal(got[n].begin(), got[n].end(), bytes.begin() + DDS_HEADER_SIZE, bytes.end())) << n;
        }
        m_sender->deinit();
        receiver.deinit();
    }
    EXPECT_EQ(readerPool.getUsedSize(), 0u);
}

TEST_F(UdpSenderNsTest, SecondFragmentingSend)
{
    Sink sink(50350);
    ASSERT_TRUE(sink.bound);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(50350);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    auto* addr = reinterpret_cast<sockaddr*>(&to);

    Bytes small = package(10, 5, 1);
    EXPECT_EQ(sendUdpSockData(fd, addr, sizeof(to), small.data(), static_cast<int>(small.size()), 34, &m_manager), -1)
        << "a datagram must exceed the header";
    EXPECT_EQ(sendUdpSockData(fd, addr, sizeof(to), small.data(), 33, 100, &m_manager), -1);
    ASSERT_EQ(sendUdpSockData(fd, addr, sizeof(to), small.data(), static_cast<int>(small.size()), 100, &m_manager), 0);
    Bytes d;
    ASSERT_TRUE(sink.next(&d));
    EXPECT_EQ(d.size(), 44u);
    EXPECT_EQ(headerOf(d).totalLen, 44u) << "the whole length in the single-datagram case";
    EXPECT_EQ(headerOf(d).seqNo, 1u);

    // A header claiming more payload than was given sends only what was given.
    Bytes big = package(150, 6, 2);
    DDSHeader_t h = readDdsHeader(big.data());
    h.m_u32DataLen = 100000;
    writeDdsHeader(big.data(), h);
    ASSERT_EQ(sendUdpSockData(fd, addr, sizeof(to), big.data(), static_cast<int>(big.size()), 100, &m_manager), 0);
    const uint32_t expected[] = {66, 66, 18};
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(sink.next(&d));
        const Header f = headerOf(d);
        EXPECT_EQ(f.seqNo, i + 1);
        EXPECT_EQ(f.dataLen, expected[i]);
        EXPECT_EQ(f.totalLen, 150u);
        EXPECT_EQ(f.pktCount, 3u);
        EXPECT_EQ(f.flag, i == 0 ? 0 : (i == 2 ? 2 : 1));
    }
    EXPECT_FALSE(sink.pending());
    zqtest::OutputCapture capture;
    EXPECT_EQ(sendUdpSockData(fd, addr, sizeof(to), big.data(), static_cast<int>(big.size()), 100, nullptr), -1);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), GREEN, "getEmptyDataPkg failed!!!"));
    ::close(fd);
}

} // namespace
