// The sender base's shared pieces: the fragmenter (tables for both fragment sizes), the datagram
// send that stops at the first failure, the fan-out to several targets, and the frame-rate rule
// with injected time.
#include "core/transport/sender.h"

#include "core/transport/datagram_fanout.h"
#include "core/transport/datagram_target.h"
#include "core/transport/fragment_gather.h"
#include "core/transport/fragment_layout.h"
#include "core/transport/send_workers.h"
#include "support/fragment_builder.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/datagram_support.h"
#include "support/zqtest.h"

namespace {

// A package as a writer leaves it: header with stale bytes where the writer does not write.
std::vector<uint8_t> makePackage(uint32_t payload, uint64_t timeStamp, uint8_t seed)
{
    std::vector<uint8_t> pkg(DDS_HEADER_SIZE + payload);
    DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
    header.m_u64TimeStamp = timeStamp;
    header.m_u32DataLen = payload;
    header.m_u32TotalLen = 0xDEADBEEF;
    header.m_u32PktCount = 0xDEADBEEF;
    std::memset(header.m_u8Reserved, 0xAB, sizeof(header.m_u8Reserved));
    writeDdsHeader(pkg.data(), header);
    for (uint32_t i = 0; i < payload; ++i) {
        pkg[DDS_HEADER_SIZE + i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return pkg;
}

struct FragCase {
    uint32_t fragPayload;
    uint32_t payload;
    std::vector<uint32_t> lens;
    std::vector<uint8_t> flags;
};

std::vector<FragCase> fragCases()
{
    std::vector<FragCase> cases = {
        {65502, 0, {0}, {0}},
        {65502, 1, {1}, {0}},
        {65502, 65502, {65502}, {0}},
        {65502, 65503, {65502, 1}, {0, 2}},
        {65502, 3 * 65502 + 1, {65502, 65502, 65502, 1}, {0, 1, 1, 2}},
        {1438, 1438, {1438}, {0}},
        {1438, 1439, {1438, 1}, {0, 2}},
        {1438, 10000, {1438, 1438, 1438, 1438, 1438, 1438, 1372}, {0, 1, 1, 1, 1, 1, 2}},
    };
    FragCase many{16, 16 * 200, {}, {}};
    for (int i = 0; i < 200; ++i) {
        many.lens.push_back(16);
        many.flags.push_back(i == 0 ? 0 : (i == 199 ? 2 : 1));
    }
    cases.push_back(many);
    return cases;
}

TEST(SenderTest, FragmentTable)
{
    for (const FragCase& c : fragCases()) {
        SCOPED_TRACE("f=" + std::to_string(c.fragPayload) + " P=" + std::to_string(c.payload));
        const uint32_t n = static_cast<uint32_t>(c.lens.size());
        EXPECT_EQ(fragmentCount(c.payload, c.fragPayload), n);
        const uint64_t timeStamp = 0x0102030405060708ull + c.payload;
        std::vector<uint8_t> pkg = makePackage(c.payload, timeStamp, static_cast<uint8_t>(c.payload));
        const size_t scratchSize = fragmentScratchSize(c.payload, c.fragPayload);
        EXPECT_EQ(scratchSize, n * DDS_HEADER_SIZE + c.payload);
        std::vector<uint8_t> scratch(scratchSize, 0xCC);
        DatagramList_t out;
        ASSERT_TRUE(buildFragments(pkg.data(), pkg.size(), c.fragPayload, scratch.data(), scratch.size(), out));
        ASSERT_EQ(out.size(), n);

        // Gathered from the package, the same datagrams byte for byte; the payload is not copied.
        std::vector<uint8_t> headers;
        GatheredList_t gathered;
        ASSERT_TRUE(gatherFragments(pkg.data(), pkg.size(), c.fragPayload, headers, gathered));
        ASSERT_EQ(gathered.size(), n);
        EXPECT_EQ(headers.size(), n * DDS_HEADER_SIZE);
        for (uint32_t i = 0; i < n; ++i) {
            const iovec* iov = gathered[i].m_iov;
            std::vector<uint8_t> joined(static_cast<const uint8_t*>(iov[0].iov_base),
                                        static_cast<const uint8_t*>(iov[0].iov_base) + iov[0].iov_len);
            joined.insert(joined.end(), static_cast<const uint8_t*>(iov[1].iov_base),
                          static_cast<const uint8_t*>(iov[1].iov_base) + iov[1].iov_len);
            EXPECT_EQ(joined, std::vector<uint8_t>(out[i].first, out[i].first + out[i].second)) << "fragment " << i;
            EXPECT_EQ(static_cast<const uint8_t*>(iov[1].iov_base),
                      pkg.data() + DDS_HEADER_SIZE + static_cast<size_t>(i) * c.fragPayload);
        }

        uint8_t* expectedStart = scratch.data();
        size_t payloadOffset = 0;
        for (uint32_t i = 0; i < n; ++i) {
            SCOPED_TRACE("fragment " + std::to_string(i + 1));
            EXPECT_EQ(out[i].first, expectedStart) << "back to back";
            ASSERT_EQ(out[i].second, static_cast<int>(DDS_HEADER_SIZE + c.lens[i]));
            DDSHeader_t h = readDdsHeader(out[i].first);
            EXPECT_TRUE(hasDdsMagic(out[i].first, DDS_HEADER_SIZE));
            EXPECT_EQ(h.m_u8Flag, c.flags[i]);
            EXPECT_EQ(h.m_u8Type, MSG_TYPE_DATA);
            EXPECT_EQ(+h.m_u32SeqNo, i + 1);
            EXPECT_EQ(+h.m_u64TimeStamp, timeStamp);
            EXPECT_EQ(+h.m_u32DataLen, c.lens[i]);
            EXPECT_EQ(+h.m_u32TotalLen, c.payload);
            EXPECT_EQ(+h.m_u32PktCount, n);
            for (uint8_t r : h.m_u8Reserved) {
                EXPECT_EQ(r, 0) << "no stale bytes go out";
            }
            EXPECT_EQ(
                std::memcmp(out[i].first + DDS_HEADER_SIZE, pkg.data() + DDS_HEADER_SIZE + payloadOffset, c.lens[i]),
                0);
            EXPECT_EQ(fragmentPayloadLen(i + 1, c.payload, c.fragPayload), c.lens[i]);
            EXPECT_EQ(fragmentFlag(i + 1, n), c.flags[i]);
            payloadOffset += c.lens[i];
            expectedStart += out[i].second;
        }
        EXPECT_EQ(payloadOffset, c.payload);
        EXPECT_EQ(expectedStart, scratch.data() + scratchSize);
    }
}

TEST(SenderTest, FragmenterRefusesWhatItCannotCut)
{
    std::vector<uint8_t> pkg = makePackage(100, 1, 1);
    std::vector<uint8_t> scratch(4096);
    DatagramList_t out;
    out.emplace_back(nullptr, 5);
    EXPECT_FALSE(buildFragments(pkg.data(), 33, 1438, scratch.data(), scratch.size(), out)) << "shorter than a header";
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(buildFragments(pkg.data(), pkg.size(), 0, scratch.data(), scratch.size(), out)) << "fragment size 0";
    EXPECT_FALSE(buildFragments(pkg.data(), pkg.size(), 1438, scratch.data(), 133, out)) << "scratch one short";
    EXPECT_TRUE(buildFragments(pkg.data(), pkg.size(), 1438, scratch.data(), 134, out));
    EXPECT_FALSE(buildFragments(pkg.data(), DDS_HEADER_SIZE + DDS_MAX_FRAME_PAYLOAD + 1, 65502, scratch.data(),
                                scratch.size(), out))
        << "above the frame cap";
    EXPECT_FALSE(buildFragments(nullptr, pkg.size(), 1438, scratch.data(), scratch.size(), out));
    std::vector<uint8_t> headers;
    GatheredList_t gathered(3);
    EXPECT_FALSE(gatherFragments(pkg.data(), 33, 1438, headers, gathered)) << "shorter than a header";
    EXPECT_TRUE(gathered.empty());
    EXPECT_FALSE(gatherFragments(pkg.data(), pkg.size(), 0, headers, gathered)) << "fragment size 0";
    EXPECT_FALSE(gatherFragments(pkg.data(), DDS_HEADER_SIZE + DDS_MAX_FRAME_PAYLOAD + 1, 65502, headers, gathered));
    EXPECT_FALSE(gatherFragments(nullptr, pkg.size(), 1438, headers, gathered));
    EXPECT_EQ(fragmentCount(5, 0), 0u);
    EXPECT_EQ(fragmentPayloadLen(0, 100, 16), 0u);
    EXPECT_EQ(fragmentPayloadLen(8, 100, 16), 0u);
    EXPECT_EQ(fragmentCount(DDS_MAX_FRAME_PAYLOAD, 65502), 1025u);
}

// A bound datagram socket at a path of this test's private /tmp.
struct BoundSocket {
    explicit BoundSocket(const std::string& p) : path(p)
    {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        std::memset(&addr, 0, sizeof(addr));
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        ::unlink(path.c_str());
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~BoundSocket()
    {
        ::close(fd);
        ::unlink(path.c_str());
    }
    // Every datagram queued now.
    std::vector<std::vector<uint8_t>> drain()
    {
        std::vector<std::vector<uint8_t>> got;
        std::vector<uint8_t> buf(70000);
        for (;;) {
            ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n < 0) {
                break;
            }
            got.emplace_back(buf.begin(), buf.begin() + n);
        }
        return got;
    }
    std::string path;
    int fd{-1};
    sockaddr_un addr;
    bool bound{false};
};

class SenderNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        m_sendFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(m_sendFd, 0);
    }
    void TearDown() override
    {
        if (m_sendFd >= 0) {
            ::close(m_sendFd);
        }
    }
    int m_sendFd{-1};
};

TEST_F(SenderNsTest, SendUdpDataSendsInOrder)
{
    BoundSocket rx("/tmp/h6_sud-1");
    ASSERT_TRUE(rx.bound);
    std::vector<uint8_t> bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    DatagramList_t list = {{bytes.data(), 10}, {bytes.data() + 10, 0}, {bytes.data() + 10, 290}};
    EXPECT_EQ(sendUdpData(m_sendFd, reinterpret_cast<sockaddr*>(&rx.addr), sizeof(rx.addr), list), 3);
    auto got = rx.drain();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], std::vector<uint8_t>(bytes.begin(), bytes.begin() + 10));
    EXPECT_TRUE(got[1].empty());
    EXPECT_EQ(got[2], std::vector<uint8_t>(bytes.begin() + 10, bytes.end()));
}

TEST_F(SenderNsTest, SendUdpDataStopsAtTheFirstFailure)
{
    // Nobody bound: the first datagram fails and nothing more is tried.
    sockaddr_un nowhere;
    std::memset(&nowhere, 0, sizeof(nowhere));
    nowhere.sun_family = AF_UNIX;
    std::strcpy(nowhere.sun_path, "/tmp/h6_sud-none");
    uint8_t byte = 1;
    DatagramList_t list = {{&byte, 1}, {&byte, 1}};
    EXPECT_EQ(sendUdpData(m_sendFd, reinterpret_cast<sockaddr*>(&nowhere), sizeof(nowhere), list), 0);

    // A reader that never reads: once its queue is full the send times out, the rest of the
    // list is dropped, and exactly what was counted as sent is queued.
    BoundSocket stalled("/tmp/h6_sud-2");
    ASSERT_TRUE(stalled.bound);
    struct timeval tv {
        0, 10000
    };
    ASSERT_EQ(::setsockopt(m_sendFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)), 0);
    std::vector<uint8_t> chunk(1000, 0x5A);
    DatagramList_t many(5000, {chunk.data(), static_cast<int>(chunk.size())});
    int sent = sendUdpData(m_sendFd, reinterpret_cast<sockaddr*>(&stalled.addr), sizeof(stalled.addr), many);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, 5000);
    EXPECT_EQ(stalled.drain().size(), static_cast<size_t>(sent));
}

using dgramtest::fragmentsOf;

TEST_F(SenderNsTest, FanoutSendsTheSameDatagramsToEveryTarget)
{
    BoundSocket a("/tmp/h6_fan-1");
    BoundSocket b("/tmp/h6_fan-2");
    BoundSocket c("/tmp/h6_fan-3");
    ASSERT_TRUE(a.bound && b.bound && c.bound);
    int fds[3];
    for (int& fd : fds) {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
    }
    std::vector<DatagramTarget_t> targets = {
        {fds[0], reinterpret_cast<sockaddr*>(&a.addr), static_cast<int>(sizeof(a.addr)), nullptr},
        {fds[1], reinterpret_cast<sockaddr*>(&b.addr), static_cast<int>(sizeof(b.addr)), nullptr},
        {fds[2], reinterpret_cast<sockaddr*>(&c.addr), static_cast<int>(sizeof(c.addr)), nullptr},
    };
    CDatagramFanout fanout(100);
    std::vector<uint8_t> pkg = makePackage(250, 77, 3);

    // Gathered from the package and headers in the caller's scratch, kept at the largest: the
    // datagrams the fragmenter writes out whole, to every target.
    std::vector<uint8_t> scratch;
    ASSERT_TRUE(fanout.send(scratch, pkg.data(), static_cast<int>(pkg.size()), targets));
    EXPECT_EQ(scratch.size(), 3 * DDS_HEADER_SIZE) << "headers only";
    std::vector<std::vector<uint8_t>> first = a.drain();
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0].size(), 134u);
    EXPECT_EQ(first[2].size(), 84u);
    EXPECT_EQ(first, fragmentsOf(pkg, 100));
    EXPECT_EQ(b.drain(), first);
    EXPECT_EQ(c.drain(), first);

    std::vector<uint8_t> small = makePackage(10, 79, 5);
    ASSERT_TRUE(fanout.send(scratch, small.data(), static_cast<int>(small.size()), targets));
    EXPECT_EQ(scratch.size(), 3 * DDS_HEADER_SIZE) << "headers only";
    EXPECT_EQ(a.drain(), fragmentsOf(small, 100));
    EXPECT_FALSE(fanout.send(scratch, pkg.data(), 33, targets)) << "shorter than a header";
    EXPECT_FALSE(fanout.send(scratch, pkg.data(), static_cast<int>(pkg.size()), {})) << "no target";
    EXPECT_FALSE(fanout.send(scratch, nullptr, static_cast<int>(pkg.size()), targets));
    EXPECT_TRUE(a.drain().empty());
    EXPECT_EQ(b.drain().size(), 1u);
    for (int fd : fds) {
        ::close(fd);
    }
}

TEST_F(SenderNsTest, FanoutRefusals)
{
    BoundSocket a("/tmp/h6_fan-4");
    ASSERT_TRUE(a.bound);
    std::vector<DatagramTarget_t> targets = {
        {m_sendFd, reinterpret_cast<sockaddr*>(&a.addr), static_cast<int>(sizeof(a.addr)), nullptr}};
    std::vector<uint8_t> pkg = makePackage(10, 1, 1);
    std::vector<uint8_t> scratch;
    CDatagramFanout fanout(1438);
    EXPECT_FALSE(fanout.send(scratch, nullptr, static_cast<int>(pkg.size()), targets));
    EXPECT_FALSE(fanout.send(scratch, pkg.data(), static_cast<int>(pkg.size()), {})) << "no target";
    EXPECT_FALSE(fanout.send(scratch, pkg.data(), 33, targets)) << "shorter than a header";
    EXPECT_FALSE(fanout.send(scratch, pkg.data(), -1, targets));
    // Refused on the length alone, before a byte past the package is read.
    EXPECT_FALSE(
        fanout.send(scratch, pkg.data(), static_cast<int>(DDS_HEADER_SIZE + DDS_MAX_FRAME_PAYLOAD + 1), targets))
        << "above the frame cap";
    CDatagramFanout noFragments(0);
    EXPECT_FALSE(noFragments.send(scratch, pkg.data(), static_cast<int>(pkg.size()), targets)) << "fragment size 0";
    EXPECT_TRUE(a.drain().empty());
    EXPECT_TRUE(scratch.empty());
}

// A package of one datagram, and one of several (the stall can come in the middle of a frame,
// inside a batched send).
struct StallCase {
    uint32_t payload;
    size_t datagrams;
};

class StalledFanoutNsTest : public SenderNsTest, public ::testing::WithParamInterface<StallCase> {};

TEST_P(StalledFanoutNsTest, StalledReaderCostsOneTimeoutAndRecovers)
{
    const StallCase param = GetParam();
    const std::string tag = std::to_string(param.datagrams);
    BoundSocket stalled("/tmp/s6_fan-5-" + tag);
    BoundSocket healthy("/tmp/s6_fan-6-" + tag);
    ASSERT_TRUE(stalled.bound && healthy.bound);
    int fds[2];
    struct timeval tv {
        0, 10000
    };
    for (int& fd : fds) {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)), 0);
    }
    bool stalledFlag = false;
    bool healthyFlag = false;
    std::vector<DatagramTarget_t> targets = {
        {fds[0], reinterpret_cast<sockaddr*>(&stalled.addr), static_cast<int>(sizeof(stalled.addr)), &stalledFlag},
        {fds[1], reinterpret_cast<sockaddr*>(&healthy.addr), static_cast<int>(sizeof(healthy.addr)), &healthyFlag},
    };
    CDatagramFanout fanout(1000);
    std::vector<uint8_t> pkg = makePackage(param.payload, 5, 5);
    std::vector<uint8_t> headers;
    auto send = [&] { return fanout.send(headers, pkg.data(), static_cast<int>(pkg.size()), targets); };
    // Until the reader that never reads has a full queue and a send times out.
    size_t accepted = 0;
    for (; !stalledFlag && accepted < 100000; ++accepted) {
        ASSERT_TRUE(send());
        ASSERT_EQ(healthy.drain().size(), param.datagrams);
    }
    ASSERT_TRUE(stalledFlag);
    // Further packages are dropped for it at once; the other reader gets every one.
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(send());
        ASSERT_EQ(healthy.drain().size(), param.datagrams);
        EXPECT_TRUE(stalledFlag);
    }
    EXPECT_FALSE(healthyFlag);
    // Only the packages before the stall, and the part of the one that stalled that went out.
    const size_t queued = stalled.drain().size();
    EXPECT_GE(queued, (accepted - 1) * param.datagrams);
    EXPECT_LT(queued, accepted * param.datagrams);
    // Once it reads again, it gets packages again.
    ASSERT_TRUE(send());
    EXPECT_EQ(stalled.drain().size(), param.datagrams);
    EXPECT_FALSE(stalledFlag);
    EXPECT_EQ(healthy.drain().size(), param.datagrams);
    for (int fd : fds) {
        ::close(fd);
    }
}

std::string stallCaseName(const ::testing::TestParamInfo<StallCase>& param)
{
    return std::to_string(param.param.datagrams) + "Datagrams";
}

INSTANTIATE_TEST_SUITE_P(Fanouts, StalledFanoutNsTest, ::testing::Values(StallCase{900, 1}, StallCase{2500, 3}),
                         stallCaseName);

// Several packages handed over at once: their frames go out in one batch per target.
class BatchedFanoutNsTest : public SenderNsTest {
protected:
    // The packages and what a reader must get of them, package by package.
    void makeBatch(const std::vector<uint32_t>& payloads, uint32_t fragPayload)
    {
        m_pkgs.clear();
        m_expected.clear();
        for (size_t i = 0; i < payloads.size(); ++i) {
            m_pkgs.push_back(makePackage(payloads[i], 1000 + i, static_cast<uint8_t>(11 * i + 1)));
            m_expected.push_back(fragmentsOf(m_pkgs.back(), fragPayload));
        }
        m_ptrs.clear();
        m_lens.clear();
        for (const auto& pkg : m_pkgs) {
            m_ptrs.push_back(pkg.data());
            m_lens.push_back(static_cast<int>(pkg.size()));
        }
        m_built.assign(m_pkgs.size(), 0);
    }
    size_t send(CDatagramFanout& fanout, std::vector<uint8_t>& headers, const std::vector<DatagramTarget_t>& targets)
    {
        bool built[SEND_FIFO_DEPTH] = {};
        EXPECT_LE(m_pkgs.size(), static_cast<size_t>(SEND_FIFO_DEPTH));
        const size_t cut = fanout.send(headers, m_pkgs.size(), m_ptrs.data(), m_lens.data(), targets, built);
        for (size_t i = 0; i < m_pkgs.size(); ++i) {
            m_built[i] = built[i] ? 1 : 0;
        }
        return cut;
    }
    // The datagrams of the packages listed, in order.
    std::vector<std::vector<uint8_t>> expectedOf(const std::vector<size_t>& which) const
    {
        std::vector<std::vector<uint8_t>> all;
        for (size_t i : which) {
            all.insert(all.end(), m_expected[i].begin(), m_expected[i].end());
        }
        return all;
    }

    std::vector<std::vector<uint8_t>> m_pkgs;
    std::vector<std::vector<std::vector<uint8_t>>> m_expected;
    std::vector<const uint8_t*> m_ptrs;
    std::vector<int> m_lens;
    std::vector<int> m_built;
};

TEST_F(BatchedFanoutNsTest, QueuedPackagesArriveIntactAndInOrder)
{
    BoundSocket a("/tmp/s18_bat-1");
    BoundSocket b("/tmp/s18_bat-2");
    ASSERT_TRUE(a.bound && b.bound);
    int other = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(other, 0);
    bool flags[2] = {false, false};
    std::vector<DatagramTarget_t> targets = {
        {m_sendFd, reinterpret_cast<sockaddr*>(&a.addr), static_cast<int>(sizeof(a.addr)), &flags[0]},
        {other, reinterpret_cast<sockaddr*>(&b.addr), static_cast<int>(sizeof(b.addr)), &flags[1]},
    };
    CDatagramFanout fanout(100);
    std::vector<uint8_t> headers;
    // One datagram, several, an empty payload, one exactly a fragment: 9 datagrams in all, as
    // many as a reader's queue surely holds.
    makeBatch({10, 250, 0, 100, 30}, 100);
    ASSERT_EQ(send(fanout, headers, targets), 5u);
    EXPECT_EQ(m_built, std::vector<int>(5, 1));
    const auto all = expectedOf({0, 1, 2, 3, 4});
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(a.drain(), all);
    EXPECT_EQ(b.drain(), all);
    EXPECT_EQ(headers.size(), 7 * DDS_HEADER_SIZE) << "headers only, for the whole batch";

    // A malformed package in the middle is left out; the others go as before.
    makeBatch({20, 150, 40}, 100);
    m_lens[1] = 33;
    ASSERT_EQ(send(fanout, headers, targets), 2u);
    EXPECT_EQ(m_built, (std::vector<int>{1, 0, 1}));
    EXPECT_EQ(a.drain(), expectedOf({0, 2}));
    EXPECT_EQ(b.drain(), expectedOf({0, 2}));

    // A larger batch than before moves the headers; the frames gathered first follow them.
    makeBatch({250, 250, 150}, 100);
    ASSERT_EQ(send(fanout, headers, targets), 3u);
    EXPECT_EQ(headers.size(), 8 * DDS_HEADER_SIZE);
    EXPECT_EQ(a.drain(), expectedOf({0, 1, 2}));
    EXPECT_EQ(b.drain(), expectedOf({0, 1, 2}));
    EXPECT_FALSE(flags[0] || flags[1]);
    ::close(other);
}

// The kernel refuses one datagram in the middle of a batch (larger than the socket's buffer): the
// datagrams before it are sent, the rest of its frame is dropped, and the frames behind it follow.
TEST_F(BatchedFanoutNsTest, PartOfABatchRefusedTheRestFollows)
{
    BoundSocket rx("/tmp/s18_bat-3");
    ASSERT_TRUE(rx.bound);
    const int small = 16384;
    ASSERT_EQ(::setsockopt(m_sendFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
    int granted = 0;
    socklen_t len = sizeof(granted);
    ASSERT_EQ(::getsockopt(m_sendFd, SOL_SOCKET, SO_SNDBUF, &granted, &len), 0);
    timeval tv{0, 100000};
    ASSERT_EQ(::setsockopt(m_sendFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)), 0);
    const uint32_t frag = static_cast<uint32_t>(granted) + 1000; // a full fragment never fits
    bool stalled = false;
    std::vector<DatagramTarget_t> targets = {
        {m_sendFd, reinterpret_cast<sockaddr*>(&rx.addr), static_cast<int>(sizeof(rx.addr)), &stalled}};
    CDatagramFanout fanout(frag);
    std::vector<uint8_t> headers;
    // Package 2 is two fragments, the first of them too large; its small last one is not sent.
    makeBatch({100, 200, frag + 50, 300, 400}, frag);
    ASSERT_EQ(send(fanout, headers, targets), 5u);
    EXPECT_EQ(rx.drain(), expectedOf({0, 1, 3, 4}));
    EXPECT_FALSE(stalled) << "a refusal is no stall";

    // The refused datagram first and last in the batch.
    makeBatch({frag, 10, 20}, frag);
    ASSERT_EQ(send(fanout, headers, targets), 3u);
    EXPECT_EQ(rx.drain(), expectedOf({1, 2}));
    makeBatch({10, 20, frag}, frag);
    ASSERT_EQ(send(fanout, headers, targets), 3u);
    EXPECT_EQ(rx.drain(), expectedOf({0, 1}));
}

// The same over UDP on loopback: a datagram above the protocol's limit in the middle of a batch.
TEST_F(BatchedFanoutNsTest, PartOfAUdpBatchRefusedTheRestFollows)
{
    int rx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(rx, 0);
    ASSERT_GE(tx, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(50418);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    bool stalled = false;
    std::vector<DatagramTarget_t> targets = {
        {tx, reinterpret_cast<sockaddr*>(&addr), static_cast<int>(sizeof(addr)), &stalled}};
    const uint32_t frag = 65600; // a full fragment is above what one UDP datagram carries
    CDatagramFanout fanout(frag);
    std::vector<uint8_t> headers;
    makeBatch({1000, 2000, frag + 7, 3000, 4000}, frag);
    ASSERT_EQ(send(fanout, headers, targets), 5u);
    // Loopback delivers in order but not necessarily before the send returns: read with a deadline.
    timeval tv{10, 0};
    ASSERT_EQ(::setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)), 0);
    const auto expected = expectedOf({0, 1, 3, 4});
    std::vector<std::vector<uint8_t>> got;
    std::vector<uint8_t> buf(70000);
    while (got.size() < expected.size()) {
        const ssize_t n = ::recv(rx, buf.data(), buf.size(), 0);
        if (n < 0) {
            break;
        }
        got.emplace_back(buf.begin(), buf.begin() + n);
    }
    EXPECT_EQ(got, expected);
    EXPECT_FALSE(stalled);
    ::close(rx);
    ::close(tx);
}

// A reader whose queue fills in the middle of a batch: what went out is the batch's beginning,
// intact and in order; the rest of the batch is lost for that reader under the stall rule (one
// send timeout, not one per package); once it reads again the next batch reaches it whole.
TEST_F(BatchedFanoutNsTest, ReaderQueueFillsInTheMiddleOfABatch)
{
    BoundSocket rx("/tmp/s18_bat-4");
    BoundSocket healthy("/tmp/s18_bat-5");
    ASSERT_TRUE(rx.bound && healthy.bound);
    int other = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(other, 0);
    timeval tv{0, 10000};
    ASSERT_EQ(::setsockopt(m_sendFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)), 0);
    bool flags[2] = {false, false};
    std::vector<DatagramTarget_t> targets = {
        {m_sendFd, reinterpret_cast<sockaddr*>(&rx.addr), static_cast<int>(sizeof(rx.addr)), &flags[0]},
        {other, reinterpret_cast<sockaddr*>(&healthy.addr), static_cast<int>(sizeof(healthy.addr)), &flags[1]},
    };
    CDatagramFanout fanout(1000);
    std::vector<uint8_t> headers;
    // Packages of 3 datagrams each (a batch the other reader's queue holds); the never-read
    // reader's queue fills somewhere in there, in the middle of a frame or between two.
    makeBatch({2500, 2500, 2500}, 1000);
    const auto all = expectedOf({0, 1, 2});
    size_t batches = 0;
    std::vector<std::vector<uint8_t>> got;
    while (!flags[0] && batches < 10000) {
        ASSERT_EQ(send(fanout, headers, targets), 3u);
        ++batches;
        ASSERT_EQ(healthy.drain(), all) << "the other reader gets every batch whole";
    }
    ASSERT_TRUE(flags[0]);
    got = rx.drain();
    ASSERT_LT(got.size(), batches * all.size());
    // Every batch before the last went out whole, then a beginning of the last one.
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], all[i % all.size()]) << "datagram " << i;
    }
    EXPECT_GE(got.size(), (batches - 1) * all.size());
    EXPECT_FALSE(flags[1]);

    // Reading again, it gets the next batch whole and is no longer stalled.
    ASSERT_EQ(send(fanout, headers, targets), 3u);
    EXPECT_EQ(rx.drain(), all);
    EXPECT_FALSE(flags[0]);
    EXPECT_EQ(healthy.drain(), all);
    ::close(other);
}

// Frame-rate rule: `frames` are the times (ms) at which frames are counted.
struct RateCase {
    const char* name;
    std::vector<int64_t> frames;
    int fps;
    int count;
};

TEST(SenderTest, FrameRateRule)
{
    const RateCase cases[] = {
        {"first frame opens the window", {5000}, 0, 1},
        {"nine in the first second, the tenth at 1.45 s", {0, 100, 200, 300, 400, 500, 600, 700, 800, 1450}, 7, 0},
        {"exactly 1000 ms computes nothing", {0, 1000}, 0, 2},
        {"1001 ms computes", {0, 1001}, 2, 0},
        {"halves round away from zero", {0, 100, 200, 300, 2000}, 3, 0},
        {"the next window starts at the computing frame", {0, 1500, 1600, 2600, 2700}, 2, 1},
    };
    for (const RateCase& c : cases) {
        CFrameRate rate;
        for (int64_t t : c.frames) {
            rate.count(1000000 + t);
        }
        EXPECT_EQ(rate.fps(), c.fps) << c.name;
        EXPECT_EQ(rate.frameCount(), c.count) << c.name;
        EXPECT_TRUE(rate.clockStarted()) << c.name;
    }
}

TEST(SenderTest, FrameRateGetterAndReset)
{
    CFrameRate rate;
    for (int64_t t : {0, 100, 200, 300, 400, 500, 600, 700, 800, 1450}) {
        rate.count(t);
    }
    EXPECT_EQ(rate.read(true), 7) << "something moved: the rate stays";
    EXPECT_EQ(rate.read(false), 7);
    EXPECT_EQ(rate.read(false), 0) << "nothing moved since the last read";

    rate.count(2000);
    rate.reset(5000);
    EXPECT_EQ(rate.fps(), 0);
    EXPECT_EQ(rate.frameCount(), 0);
    EXPECT_DOUBLE_EQ(rate.elapsedSec(), 0.0);
    EXPECT_FALSE(rate.clockStarted());
    rate.count(9000);
    EXPECT_EQ(rate.frameCount(), 1) << "the window opens at the first frame after the reset";
    EXPECT_DOUBLE_EQ(rate.elapsedSec(), 0.0);
}

// Persistent workers: every job of a round runs, each further one on its own thread, and the
// same threads serve every later round; stop joins them.
TEST(SenderTest, SendWorkersRunEveryJobOnThreadsThatStay)
{
    const int base = zqtest::baselineThreads();
    std::vector<std::thread::id> seen;
    std::vector<std::thread::id> firstRound;
    CSendWorkers workers;
    for (int round = 0; round < 50; ++round) {
        seen.assign(4, std::thread::id());
        auto job = [&seen](size_t index) { seen[index] = std::this_thread::get_id(); };
        workers.run(seen.size(), job);
        EXPECT_EQ(seen[0], std::this_thread::get_id()) << "the first job runs on the caller";
        for (size_t i = 1; i < seen.size(); ++i) {
            EXPECT_NE(seen[i], std::thread::id()) << "job " << i << " ran before run returned";
            EXPECT_NE(seen[i], seen[0]);
            for (size_t j = 1; j < i; ++j) {
                EXPECT_NE(seen[i], seen[j]) << "one thread per further job";
            }
        }
        if (round == 0) {
            firstRound = seen;
        }
        EXPECT_EQ(seen, firstRound) << "no round starts a thread";
    }
    EXPECT_EQ(workers.workerCount(), 3u);
    EXPECT_EQ(zqtest::countThreads(), base + 3);

    // Fewer jobs leave the spare workers idle; a single job needs none.
    int ran = 0;
    auto count = [&ran](size_t) { ++ran; };
    workers.run(1, count);
    EXPECT_EQ(ran, 1);
    workers.stop();
    EXPECT_EQ(workers.workerCount(), 0u);
    EXPECT_EQ(zqtest::threadsSettleAt(base), base);
}

// A slow job holds up no other: the others finish while it is still blocked.
TEST(SenderTest, SendWorkersRunJobsInParallel)
{
    CSendWorkers workers;
    std::mutex mutex;
    std::condition_variable cv;
    bool released = false;
    std::atomic<int> done{0};
    auto job = [&](size_t index) {
        if (index == 2) {
            std::unique_lock<std::mutex> lock(mutex);
            // Released only once both other jobs are done: they did not wait for this one.
            ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return released; }));
        } else {
            if (done.fetch_add(1) + 1 == 2) {
                std::lock_guard<std::mutex> lock(mutex);
                released = true;
                cv.notify_all();
            }
        }
    };
    workers.run(3, job);
    EXPECT_TRUE(released);
    EXPECT_EQ(done.load(), 2);
}

} // namespace
