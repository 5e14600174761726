// The fan-out to several targets: the same datagrams to each, refusals, a stalled reader, and
// several packages batched.
#include "core/transport/datagram/datagram_fanout.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/transport/datagram/send_workers.h"
#include "core/transport/sender.h"
#include "support/datagram_support.h"

namespace {

using dgramtest::BoundSocket;
using dgramtest::BoundUdpSocket;
using dgramtest::stalePackageOf;

class SenderNsTest : public dgramtest::UnixSendNsTest {};

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
    std::vector<uint8_t> pkg = stalePackageOf(250, 77, 3);

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

    std::vector<uint8_t> small = stalePackageOf(10, 79, 5);
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
    std::vector<uint8_t> pkg = stalePackageOf(10, 1, 1);
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
    std::vector<uint8_t> pkg = stalePackageOf(param.payload, 5, 5);
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
    void TearDown() override
    {
        if (m_otherFd >= 0) {
            ::close(m_otherFd);
        }
        SenderNsTest::TearDown();
    }
    // Two readers: `a` reached through the fixture's socket, `b` through a second one, their
    // stall flags in m_flags. Call through ASSERT_NO_FATAL_FAILURE.
    void targetTwo(BoundSocket& a, BoundSocket& b)
    {
        ASSERT_TRUE(a.bound && b.bound);
        m_otherFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(m_otherFd, 0);
        m_targets = {
            {m_sendFd, reinterpret_cast<sockaddr*>(&a.addr), static_cast<int>(sizeof(a.addr)), &m_flags[0]},
            {m_otherFd, reinterpret_cast<sockaddr*>(&b.addr), static_cast<int>(sizeof(b.addr)), &m_flags[1]},
        };
    }
    // The packages and what a reader must get of them, package by package.
    void makeBatch(const std::vector<uint32_t>& payloads, uint32_t fragPayload)
    {
        m_pkgs.clear();
        m_expected.clear();
        for (size_t i = 0; i < payloads.size(); ++i) {
            m_pkgs.push_back(stalePackageOf(payloads[i], 1000 + i, static_cast<uint8_t>(11 * i + 1)));
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
    int m_otherFd{-1}; // a second sending socket, closed with the fixture
    bool m_flags[2] = {false, false};
    std::vector<DatagramTarget_t> m_targets;
};

TEST_F(BatchedFanoutNsTest, QueuedPackagesArriveIntactAndInOrder)
{
    BoundSocket a("/tmp/s18_bat-1");
    BoundSocket b("/tmp/s18_bat-2");
    ASSERT_NO_FATAL_FAILURE(targetTwo(a, b));
    CDatagramFanout fanout(100);
    std::vector<uint8_t> headers;
    // One datagram, several, an empty payload, one exactly a fragment: 9 datagrams in all, as
    // many as a reader's queue surely holds.
    makeBatch({10, 250, 0, 100, 30}, 100);
    ASSERT_EQ(send(fanout, headers, m_targets), 5u);
    EXPECT_EQ(m_built, std::vector<int>(5, 1));
    const auto all = expectedOf({0, 1, 2, 3, 4});
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(a.drain(), all);
    EXPECT_EQ(b.drain(), all);
    EXPECT_EQ(headers.size(), 7 * DDS_HEADER_SIZE) << "headers only, for the whole batch";

    // A malformed package in the middle is left out; the others go as before.
    makeBatch({20, 150, 40}, 100);
    m_lens[1] = 33;
    ASSERT_EQ(send(fanout, headers, m_targets), 2u);
    EXPECT_EQ(m_built, (std::vector<int>{1, 0, 1}));
    EXPECT_EQ(a.drain(), expectedOf({0, 2}));
    EXPECT_EQ(b.drain(), expectedOf({0, 2}));

    // A larger batch than before moves the headers; the frames gathered first follow them.
    makeBatch({250, 250, 150}, 100);
    ASSERT_EQ(send(fanout, headers, m_targets), 3u);
    EXPECT_EQ(headers.size(), 8 * DDS_HEADER_SIZE);
    EXPECT_EQ(a.drain(), expectedOf({0, 1, 2}));
    EXPECT_EQ(b.drain(), expectedOf({0, 1, 2}));
    EXPECT_FALSE(m_flags[0] || m_flags[1]);
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
    BoundUdpSocket rx(50418);
    ASSERT_TRUE(rx.bound);
    // An unbound sender of its own: the fixture's socket is a Unix one.
    m_otherFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(m_otherFd, 0);
    bool stalled = false;
    std::vector<DatagramTarget_t> targets = {
        {m_otherFd, reinterpret_cast<sockaddr*>(&rx.addr), static_cast<int>(sizeof(rx.addr)), &stalled}};
    const uint32_t frag = 65600; // a full fragment is above what one UDP datagram carries
    CDatagramFanout fanout(frag);
    std::vector<uint8_t> headers;
    makeBatch({1000, 2000, frag + 7, 3000, 4000}, frag);
    ASSERT_EQ(send(fanout, headers, targets), 5u);
    // Loopback delivers in order but not necessarily before the send returns: read with a deadline.
    timeval tv{10, 0};
    ASSERT_EQ(::setsockopt(rx.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)), 0);
    const auto expected = expectedOf({0, 1, 3, 4});
    std::vector<std::vector<uint8_t>> got;
    std::vector<uint8_t> buf(70000);
    while (got.size() < expected.size()) {
        const ssize_t n = ::recv(rx.fd, buf.data(), buf.size(), 0);
        if (n < 0) {
            break;
        }
        got.emplace_back(buf.begin(), buf.begin() + n);
    }
    EXPECT_EQ(got, expected);
    EXPECT_FALSE(stalled);
}

// A reader whose queue fills in the middle of a batch: what went out is the batch's beginning,
// intact and in order; the rest of the batch is lost for that reader under the stall rule (one
// send timeout, not one per package); once it reads again the next batch reaches it whole.
TEST_F(BatchedFanoutNsTest, ReaderQueueFillsInTheMiddleOfABatch)
{
    BoundSocket rx("/tmp/s18_bat-4");
    BoundSocket healthy("/tmp/s18_bat-5");
    ASSERT_NO_FATAL_FAILURE(targetTwo(rx, healthy));
    timeval tv{0, 10000};
    ASSERT_EQ(::setsockopt(m_sendFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)), 0);
    CDatagramFanout fanout(1000);
    std::vector<uint8_t> headers;
    // Packages of 3 datagrams each (a batch the other reader's queue holds); the never-read
    // reader's queue fills somewhere in there, in the middle of a frame or between two.
    makeBatch({2500, 2500, 2500}, 1000);
    const auto all = expectedOf({0, 1, 2});
    size_t batches = 0;
    std::vector<std::vector<uint8_t>> got;
    while (!m_flags[0] && batches < 10000) {
        ASSERT_EQ(send(fanout, headers, m_targets), 3u);
        ++batches;
        ASSERT_EQ(healthy.drain(), all) << "the other reader gets every batch whole";
    }
    ASSERT_TRUE(m_flags[0]);
    got = rx.drain();
    ASSERT_LT(got.size(), batches * all.size());
    // Every batch before the last went out whole, then a beginning of the last one.
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], all[i % all.size()]) << "datagram " << i;
    }
    EXPECT_GE(got.size(), (batches - 1) * all.size());
    EXPECT_FALSE(m_flags[1]);

    // Reading again, it gets the next batch whole and is no longer stalled.
    ASSERT_EQ(send(fanout, headers, m_targets), 3u);
    EXPECT_EQ(rx.drain(), all);
    EXPECT_FALSE(m_flags[0]);
    EXPECT_EQ(healthy.drain(), all);
}

} // namespace
