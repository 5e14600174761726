// The UDP receiver: messages from a writer on another host arrive whole, crafted and disordered
// datagrams are counted and never delivered, the port is never shared, and nothing is left after
// teardown.
#include "core/transport/media/udp_receiver.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/transport/media/udp_sender.h"
#include "core/transport/receiver_factory.h"
#include "core/transport/sender.h"
#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"
#include "support/datagram_support.h"
#include "support/zqtest.h"
#include "utils/dds_common.h"

namespace {

using dgramtest::Bytes;

const std::string RED = "31";
const std::string GREEN = "32";
const std::string YELLOW = "33";

using dgramtest::Collector;
using dgramtest::Message;
using dgramtest::patternByte;
using dgramtest::udpParam;

// The fragments a conforming sender makes of a frame.
std::vector<Bytes> fragmentsOf(uint32_t payload, uint64_t timeStamp, uint32_t seed)
{
    return dgramtest::fragmentsOf(payload, timeStamp, seed, UDP_FRAG_PAYLOAD);
}

// Rewrites one header field of a datagram.
Bytes withHeader(Bytes d, const std::function<void(DDSHeader_t&)>& change)
{
    DDSHeader_t header = readDdsHeader(d.data());
    change(header);
    writeDdsHeader(d.data(), header);
    return d;
}

// Sends raw datagrams to a port on loopback, as anyone on the network could.
struct RawSender {
    RawSender() { fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }
    ~RawSender() { ::close(fd); }
    bool send(int port, const Bytes& d) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) ==
               static_cast<ssize_t>(d.size());
    }
    // Whether the datagrams can go in one segmented send: several, all of the first one's length
    // but for a shorter last one.
    static bool segmentable(const std::vector<Bytes>& datagrams)
    {
        if (datagrams.size() < 2 || datagrams[0].empty()) {
            return false;
        }
        for (size_t i = 1; i < datagrams.size(); ++i) {
            const bool last = i + 1 == datagrams.size();
            if (datagrams[i].empty() || datagrams[i].size() > datagrams[0].size() ||
                (!last && datagrams[i].size() != datagrams[0].size())) {
                return false;
            }
        }
        return true;
    }
    // Sends them in one segmented send, so that a reader with GRO gets them as one buffer.
    bool sendSegmented(int port, const std::vector<Bytes>& datagrams) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::vector<iovec> iov;
        size_t total = 0;
        for (const Bytes& d : datagrams) {
            iov.push_back(iovec{const_cast<uint8_t*>(d.data()), d.size()});
            total += d.size();
        }
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
        msghdr msg{};
        msg.msg_name = &to;
        msg.msg_namelen = sizeof(to);
        msg.msg_iov = iov.data();
        msg.msg_iovlen = iov.size();
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        cmsghdr* cm = CMSG_FIRSTHDR(&msg);
        cm->cmsg_level = SOL_UDP;
        cm->cmsg_type = UDP_SEGMENT;
        cm->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        const uint16_t segment = static_cast<uint16_t>(datagrams[0].size());
        std::memcpy(CMSG_DATA(cm), &segment, sizeof(segment));
        return ::sendmsg(fd, &msg, 0) == static_cast<ssize_t>(total);
    }
    int fd{-1};
};

class UdpReceiverNsTest : public dgramtest::ReceiverNsTest<CUdpReceiver> {
protected:
    static constexpr const char* kTopic = "h10_urx";

    UdpReceiverNsTest() : ReceiverNsTest(kTopic, 2097152, 4) {}

    // Another host linked to this one: our end `ownLink` at `ownCidr`, its end `hostLink` at
    // `hostCidr`; nullptr, with *error saying why, when it cannot be made.
    static std::unique_ptr<zqtest::NetHost> joinedHost(const char* ownLink, const char* ownCidr, const char* hostLink,
                                                       const char* hostCidr, std::string* error)
    {
        std::unique_ptr<zqtest::NetHost> host = zqtest::NetHost::create(error);
        if (host == nullptr || !zqtest::joinHosts(nullptr, ownLink, ownCidr, host.get(), hostLink, hostCidr, error)) {
            return nullptr;
        }
        return host;
    }

    // Sends a well-formed frame and waits for it: everything sent before has been handled.
    void syncWith(const RawSender& raw, int port, uint32_t seed)
    {
        const size_t before = m_collector.messages().size();
        for (const Bytes& d : fragmentsOf(3000, 900000 + seed, seed)) {
            ASSERT_TRUE(raw.send(port, d));
        }
        ASSERT_TRUE(m_collector.waitFor(before + 1));
        const Message last = m_collector.messages().back();
        ASSERT_EQ(last.timeStamp, 900000u + seed);
        ASSERT_EQ(last.payload.size(), 3000u);
        for (uint32_t i = 0; i < 3000; ++i) {
            ASSERT_EQ(last.payload[i], patternByte(seed, i)) << "byte " << i;
        }
    }
};

// The link between the hosts: its MTU (0: the veth default, where the writer's sends are
// segmented and the reads coalesced), or one below the 1500 bytes of a full datagram in IP, where
// the kernel refuses segmented sends and the writer falls back to one datagram per send.
class UdpAcrossHostsNsTest : public UdpReceiverNsTest, public ::testing::WithParamInterface<int> {};

TEST_P(UdpAcrossHostsNsTest, MessagesFromAnotherHostArriveWhole)
{
    std::string error;
    std::unique_ptr<zqtest::NetHost> host = joinedHost("h10r0", "198.18.50.1/24", "h10r1", "198.18.50.2/24", &error);
    ASSERT_NE(host, nullptr) << error;
    if (GetParam() != 0) {
        const std::string mtu = std::to_string(GetParam());
        ASSERT_EQ(zqtest::runCommand({"ip", "link", "set", "dev", "h10r0", "mtu", mtu}), 0);
        ASSERT_EQ(host->run({"ip", "link", "set", "dev", "h10r1", "mtu", mtu}), 0);
    }
    TransParam_t param = udpParam("198.18.50.2", 50200); // the sender's address, as the ack carries it
    zqtest::OutputCapture capture;
    ASSERT_TRUE(m_receiver->init(param));
    auto writer = host->spawn({zqtest::helperPath("udp_writer"), "198.18.50.1", "50200"}, &error);
    ASSERT_NE(writer, nullptr) << error;
    ASSERT_TRUE(writer->waitForLine("ready", 10000)) << writer->output();

    // Paced: each message waits for the previous one, since every stage is best effort. The
    // empty one is not delivered, so the next one shows it was handled.
    const unsigned sizes[] = {1, 0, 1438, 1439, 10000, 1048577};
    std::vector<unsigned> delivered;
    unsigned number = 0;
    for (int round = 0; round < 3; ++round) {
        for (unsigned size : sizes) {
            ASSERT_TRUE(writer->writeInput(std::to_string(number) + " " + std::to_string(size) + "\n"));
            ASSERT_TRUE(writer->waitForLine("sent " + std::to_string(number), 10000));
            if (size != 0) {
                delivered.push_back(number);
                ASSERT_TRUE(m_collector.waitFor(delivered.size())) << "message " << number << "\n" << writer->output();
            }
            ++number;
        }
    }
    ASSERT_TRUE(writer->writeInput("quit\n"));
    ASSERT_TRUE(writer->waitForLine("bye", 10000));
    EXPECT_NE(writer->wait(10000), -1);
    EXPECT_EQ(writer->exitCode(), 0);
    m_receiver->deinit();
    capture.stop();

    std::vector<Message> got = m_collector.messages();
    ASSERT_EQ(got.size(), delivered.size());
    for (size_t k = 0; k < got.size(); ++k) {
        const unsigned n = delivered[k];
        const unsigned size = sizes[n % (sizeof(sizes) / sizeof(sizes[0]))];
        ASSERT_NO_FATAL_FAILURE(dgramtest::expectNumberedMessage(got[k], n, n * 1000ull + 7, size));
    }
    const std::string& out = capture.out();
    EXPECT_TRUE(zqtest::hasDdsLine(out, GREEN, "[h10_urx] udp receive port is 50200, sender ip is 198.18.50.2."));
    EXPECT_NE(out.find(", while seted size is 2048 KB."), std::string::npos);
    EXPECT_EQ(zqtest::countDdsLines(out, YELLOW, "[h10_urx] iRecvLen 34 <= sizeof(DDSHeader_t) 34"), 3);
    EXPECT_EQ(out.find("Lost frame"), std::string::npos);
    EXPECT_TRUE(zqtest::hasDdsLine(out, GREEN, "[h10_urx] CUdpReceiver::recvTask() exit!"));
}

std::string linkName(const ::testing::TestParamInfo<int>& link)
{
    return link.param == 0 ? std::string("DefaultMtu") : "Mtu" + std::to_string(link.param);
}

INSTANTIATE_TEST_SUITE_P(Links, UdpAcrossHostsNsTest, ::testing::Values(0, 1280), linkName);

struct ForgeCase {
    const char* what;
    std::vector<Bytes> datagrams;
    uint64_t lost;         // lost-fragment count it adds
    const char* lineColor; // a line it prints (null: none)
    const char* line;
};

std::vector<ForgeCase> forgeCases()
{
    const std::vector<Bytes> a = fragmentsOf(3000, 1000, 10); // three fragments: 1438, 1438, 124
    const std::vector<Bytes> b = fragmentsOf(2900, 1000, 20); // same time stamp, other size
    const std::vector<Bytes> big = fragmentsOf(5000, 2000, 30);
    const Bytes whole = fragmentsOf(100, 3000, 40)[0];
    auto trimmed = [](Bytes d, size_t len) {
        d.resize(len);
        return d;
    };
    return {
        {"missing middle fragment", {a[0], a[2]}, 1, nullptr, nullptr},
        {"missing middle of four", {big[0], big[2], big[3]}, 2, nullptr, nullptr},
        {"duplicated fragment", {a[0], a[1], a[1], a[2]}, 2, nullptr, nullptr},
        {"reordered fragments", {a[0], a[2], a[1]}, 2, nullptr, nullptr},
        {"head of one frame, tail of another with the same time stamp", {a[0], a[1], b[2]}, 1, nullptr, nullptr},
        {"middle fragment with no frame open", {a[1]}, 1, nullptr, nullptr},
        {"middle fragment numbered 1 with time stamp 0 after a delivered frame",
         {withHeader(a[1],
                     [](DDSHeader_t& h) {
                         h.m_u32SeqNo = 1;
                         h.m_u64TimeStamp = 0;
                     })},
         1,
         nullptr,
         nullptr},
        {"wrong magic", {withHeader(whole, [](DDSHeader_t& h) { h.m_u8Magic[0] = 'X'; })}, 1, nullptr, nullptr},
        {"DataLen above the datagram",
         {withHeader(whole, [](DDSHeader_t& h) { h.m_u32DataLen = 101; })},
         1,
         nullptr,
         nullptr},
        {"DataLen below the datagram",
         {withHeader(whole, [](DDSHeader_t& h) { h.m_u32DataLen = 99; })},
         1,
         nullptr,
         nullptr},
        {"first fragment with a wrong count",
         {withHeader(whole, [](DDSHeader_t& h) { h.m_u32PktCount = 2; })},
         1,
         nullptr,
         nullptr},
        {"first fragment numbered 2",
         {withHeader(whole, [](DDSHeader_t& h) { h.m_u32SeqNo = 2; })},
         1,
         nullptr,
         nullptr},
        {"frame above 64 MiB",
         {withHeader(whole,
                     [](DDSHeader_t& h) {
                         h.m_u32TotalLen = 0x7FFFFFF0u;
                         h.m_u32PktCount = (0x7FFFFFF0u + 1437) / 1438;
                     })},
         1,
         nullptr,
         nullptr},
        {"last fragment claiming another total",
         {a[0], a[1], withHeader(a[2], [](DDSHeader_t& h) { h.m_u32TotalLen = 3001; })},
         1,
         nullptr,
         nullptr},
        {"datagram larger than a fragment", {trimmed(Bytes(2000, 0), 2000)}, 1, nullptr, nullptr},
        {"unsupported flag",
         {withHeader(whole, [](DDSHeader_t& h) { h.m_u8Flag = 3; })},
         0,
         "33",
         "[h10_urx] Unsupported pkt type !!! m_u8Flag: 3"},
        {"bare header", {trimmed(whole, 34)}, 0, "33", "[h10_urx] iRecvLen 34 <= sizeof(DDSHeader_t) 34"},
        {"shorter than a header", {trimmed(whole, 10)}, 0, "33", "[h10_urx] iRecvLen 10 <= sizeof(DDSHeader_t) 34"},
        {"empty datagram", {Bytes()}, 0, "33", "[h10_urx] iRecvLen 0 <= sizeof(DDSHeader_t) 34"},
    };
}

TEST_F(UdpReceiverNsTest, ForgedLostAndDuplicatedFragmentsAreCountedNeverDelivered)
{
    TransParam_t param = udpParam("127.0.0.1", 50210);
    ASSERT_TRUE(m_receiver->init(param));
    RawSender raw;
    uint32_t seed = 1;
    syncWith(raw, 50210, seed++);
    // Each case as separate datagrams, then, where it can be, as one segmented send that the
    // receiver reads as one coalesced buffer: every datagram in it is checked on its own.
    size_t coalescedCases = 0;
    for (const bool coalesced : {false, true}) {
        for (const ForgeCase& c : forgeCases()) {
            if (coalesced && !RawSender::segmentable(c.datagrams)) {
                continue;
            }
            SCOPED_TRACE(std::string(c.what) + (coalesced ? ", coalesced" : ""));
            coalescedCases += coalesced ? 1 : 0;
            const size_t delivered = m_collector.messages().size();
            const uint64_t lost = m_receiver->getLostPkgCount();
            zqtest::OutputCapture capture;
            if (coalesced) {
                ASSERT_TRUE(raw.sendSegmented(50210, c.datagrams));
            } else {
                for (const Bytes& d : c.datagrams) {
                    ASSERT_TRUE(raw.send(50210, d));
                }
            }
            syncWith(raw, 50210, seed++);
            capture.stop();
            EXPECT_EQ(m_collector.messages().size(), delivered + 1) << "only the good frame";
            EXPECT_EQ(m_receiver->getLostPkgCount() - lost, c.lost);
            if (c.line != nullptr) {
                EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), c.lineColor, c.line)) << capture.out();
            }
        }
    }
    EXPECT_GE(coalescedCases, 4u);
    EXPECT_EQ(m_pool.getUsedSize(), 0u) << "no abandoned frame holds a package";
    m_receiver->deinit();
    EXPECT_EQ(m_receiver->getLostPkgCount(), 0u) << "deinit resets the counter";
}

TEST_F(UdpReceiverNsTest, AFrameCutShortShowsAsALostFrame)
{
    TransParam_t param = udpParam("127.0.0.1", 50220);
    ASSERT_TRUE(m_receiver->init(param));
    RawSender raw;
    const std::vector<Bytes> a = fragmentsOf(3000, 5000, 1);
    const std::vector<Bytes> c = fragmentsOf(5000, 6000, 2);
    zqtest::OutputCapture capture;
    ASSERT_TRUE(raw.send(50220, a[0]));
    ASSERT_TRUE(raw.send(50220, a[1])); // its last fragment never comes
    for (const Bytes& d : c) {
        ASSERT_TRUE(raw.send(50220, d)); // a larger frame: the open package is too small for it
    }
    ASSERT_TRUE(m_collector.waitFor(1));
    ASSERT_TRUE(raw.send(50220, c[0])); // its first fragment alone, then a whole frame again
    for (const Bytes& d : fragmentsOf(100, 7000, 3)) {
        ASSERT_TRUE(raw.send(50220, d));
    }
    ASSERT_TRUE(m_collector.waitFor(2));
    capture.stop();
    std::vector<Message> got = m_collector.messages();
    EXPECT_EQ(got[0].timeStamp, 6000u);
    EXPECT_EQ(got[0].payload.size(), 5000u);
    EXPECT_EQ(got[1].timeStamp, 7000u);
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), YELLOW, "[h10_urx] Lost frame !!! Total lost frame count 1 ."));
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), YELLOW, "[h10_urx] Lost frame !!! Total lost frame count 2 ."));
    EXPECT_EQ(m_receiver->getLostPkgCount(), 0u) << "no fragment out of order";
    m_receiver->deinit();
}

TEST_F(UdpReceiverNsTest, APortIsNeverShared)
{
    TransParam_t param = udpParam("127.0.0.1", 50230);
    ASSERT_TRUE(m_receiver->init(param));
    EXPECT_FALSE(m_receiver->init(param)) << "already running";
    const int fds = zqtest::countOpenFds();
    {
        CUdpReceiver second("h10_urx2", &m_manager);
        zqtest::OutputCapture capture;
        EXPECT_FALSE(second.init(param));
        capture.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, "[h10_urx2] Error: bindSocket!"));
        EXPECT_EQ(zqtest::countOpenFds(), fds) << "the refused socket is closed at once";
        EXPECT_EQ(second.getFps(), -1);
    }
    // UDP has no TIME_WAIT: the port binds again right after deinit.
    m_receiver->deinit();
    m_receiver->deinit();
    EXPECT_EQ(m_receiver->getFps(), -1);
    ASSERT_TRUE(m_receiver->init(param));
    EXPECT_GE(m_receiver->getFps(), 0);
    m_receiver->deinit();
}

TEST_F(UdpReceiverNsTest, InitRefusesOtherChannels)
{
    TransParam_t wrongType = udpParam("127.0.0.1", 50240);
    wrongType.m_iType = TRANS_TYPE_UNIX_SOCKET;
    EXPECT_FALSE(m_receiver->init(wrongType));
    TransParam_t unterminated = udpParam("127.0.0.1", 50240);
    std::memset(unterminated.m_udpParam.m_szIp, '1', sizeof(unterminated.m_udpParam.m_szIp));
    zqtest::OutputCapture capture;
    EXPECT_FALSE(m_receiver->init(unterminated));
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, "[h10_urx] Error: invalid udp sender address!"));
    EXPECT_EQ(zqtest::countOpenFds(), m_baseFds);

    std::unique_ptr<CDataReceiver> made = CReceiverFactory::createReceiver(TRANS_TYPE_UDP, "h10_made", &m_manager);
    ASSERT_NE(made, nullptr);
    EXPECT_NE(dynamic_cast<CUdpReceiver*>(made.get()), nullptr);
    EXPECT_EQ(made->getTopicName(), "h10_made");
    CUdpReceiver nameless(&m_manager);
    EXPECT_EQ(nameless.getTopicName(), "");

    // A socket opened without init: one at a time, and gone with the receiver.
    {
        CUdpReceiver opened("h10_open", &m_manager);
        TransParam_t param = udpParam("127.0.0.1", 50241);
        ASSERT_EQ(opened.open(param.m_udpParam), 0);
        EXPECT_EQ(opened.open(param.m_udpParam), -1);
        EXPECT_EQ(zqtest::countOpenFds(), m_baseFds + 1);
    }
    EXPECT_EQ(zqtest::countOpenFds(), m_baseFds);
}

TEST_F(UdpReceiverNsTest, HostileDatagramsFromAnotherHostPrintAFewLinesOnly)
{
    std::string error;
    std::unique_ptr<zqtest::NetHost> host = joinedHost("h25u0", "198.18.51.1/24", "h25u1", "198.18.51.2/24", &error);
    ASSERT_NE(host, nullptr) << error;
    TransParam_t param = udpParam("198.18.51.2", 50250);
    zqtest::OutputCapture capture;
    ASSERT_TRUE(m_receiver->init(param));
    auto flood = host->spawn({zqtest::helperPath("dgram_flood"), "udp", "198.18.51.1", "50250"}, &error);
    ASSERT_NE(flood, nullptr) << error;
    ASSERT_NO_FATAL_FAILURE(expectFloodPrintsAFewLines(
        *flood, capture,
        {"[h10_urx] iRecvLen ", "[h10_urx] Unsupported pkt type !!! m_u8Flag: 3", "[h10_urx] Lost frame !!!"}));
}

// The threads of this process.
std::set<pid_t> ownThreads()
{
    std::set<pid_t> tids;
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) {
        return tids;
    }
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            tids.insert(static_cast<pid_t>(std::atoi(entry->d_name)));
        }
    }
    ::closedir(dir);
    return tids;
}

// Whether thread `tid` of this process sleeps (in a wait of the kernel).
bool isSleeping(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
}

TEST_F(UdpReceiverNsTest, ASignalThatCutsTheWaitShortIsNoError)
{
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    struct sigaction old {};
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &old), 0);
    zqtest::ScopeExit restore([&] { ::sigaction(SIGUSR1, &old, nullptr); });
    const std::set<pid_t> before = ownThreads();
    TransParam_t param = udpParam("127.0.0.1", 50260);
    zqtest::OutputCapture capture;
    ASSERT_TRUE(m_receiver->init(param));
    std::vector<pid_t> started;
    for (pid_t tid : ownThreads()) {
        if (before.count(tid) == 0) {
            started.push_back(tid);
        }
    }
    ASSERT_EQ(started.size(), 1u) << "the receive thread";
    const pid_t tid = started[0];
    RawSender raw;
    ASSERT_NO_FATAL_FAILURE(syncWith(raw, 50260, 1));
    // Each signal lands while the thread waits for a datagram.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(zqtest::waitUntil([&] { return isSleeping(tid); }, 10000));
        ASSERT_EQ(::syscall(SYS_tgkill, ::getpid(), tid, SIGUSR1), 0);
    }
    ASSERT_NO_FATAL_FAILURE(syncWith(raw, 50260, 2));
    EXPECT_EQ(m_receiver->getLostPkgCount(), 0u);
    m_receiver->deinit();
    capture.stop();
    EXPECT_EQ(capture.out().find("Error: iRet"), std::string::npos) << capture.out();
}

TEST(UdpReceiverTest, ErrorPauseDoublesUpToOneMillisecond)
{
    const int expected[] = {40, 80, 160, 320, 640, 1000, 1000};
    int pause = UDP_ERROR_PAUSE_MIN_US;
    EXPECT_EQ(pause, 20);
    for (int next : expected) {
        pause = CUdpReceiver::nextErrorPause(pause);
        EXPECT_EQ(pause, next);
    }
}

} // namespace
