// The reassembler the datagram media share: tables of fragment sequences (in order, lost,
// duplicated, reordered, oversize and forged fragments), exact log lines of both styles, the
// package reuse rule, pool failures, and a seeded fuzz run over mutated datagrams.
#include "core/transport/datagram/fragment_reassembler.h"

#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/transport/datagram/datagram_batch.h"
#include "core/transport/datagram/fragment_layout.h"
#include "memory/datacenter.h"
#include "memory/datafifo.h"
#include "memory/normal_mem_pool.h"
#include "support/datagram_support.h"
#include "support/fragment_builder.h"
#include "support/zqtest.h"
#include "utils/socket_utils.h"

namespace {

using dgramtest::Bytes;

const std::string kTopic = "h6_topic";

// Packages from the heap, with a record of what happened to each.
class FakeSink : public IFramePkgSink {
public:
    ~FakeSink() override
    {
        for (DataPackage_t* pkg : m_outstanding) {
            std::free(pkg);
        }
    }
    DataPackage_t* getFramePkg(int size) override
    {
        ++m_requests;
        if (m_failNext > 0) {
            --m_failNext;
            return nullptr;
        }
        auto* pkg = static_cast<DataPackage_t*>(std::calloc(1, sizeof(DataPackage_t) + static_cast<size_t>(size)));
        pkg->m_iPkgId = -1;
        pkg->m_iSize = size;
        pkg->m_iLen = 0;
        m_outstanding.insert(pkg);
        return pkg;
    }
    void discardFramePkg(DataPackage_t* pkg) override
    {
        ASSERT_EQ(m_outstanding.erase(pkg), 1u);
        ++m_discarded;
        std::free(pkg);
    }
    void publishFramePkg(DataPackage_t* pkg) override
    {
        ASSERT_EQ(m_outstanding.erase(pkg), 1u);
        ASSERT_GE(pkg->m_iLen, static_cast<int>(DDS_HEADER_SIZE));
        ASSERT_LE(pkg->m_iLen, pkg->m_iSize);
        m_frames.emplace_back(pkgData(pkg), pkgData(pkg) + pkg->m_iLen);
        std::free(pkg);
    }

    int m_failNext{0};
    int m_requests{0};
    int m_discarded{0};
    std::set<DataPackage_t*> m_outstanding;
    std::vector<Bytes> m_frames;
};

// A package (header and payload) of `payload` bytes, and its fragments.
Bytes makePackage(uint32_t payload, uint64_t timeStamp, uint8_t seed)
{
    return dgramtest::packageWith(payload, timeStamp,
                                  [seed](uint32_t i) { return static_cast<uint8_t>(seed * 31 + i * 13 + (i >> 9)); });
}

using dgramtest::fragmentsOf;

// Edits a datagram's header in place.
template <typename Edit> Bytes withHeader(Bytes datagram, Edit edit)
{
    DDSHeader_t h = readDdsHeader(datagram.data());
    edit(h);
    writeDdsHeader(datagram.data(), h);
    return datagram;
}

struct Harness {
    explicit Harness(uint32_t f, ReassemblyStyle_e style = REASSEMBLY_STYLE_UNIX)
        : reassembler(f, style, kTopic, &sink, &lost)
    {
    }
    int feed(const std::vector<Bytes>& datagrams)
    {
        int completed = 0;
        for (const Bytes& d : datagrams) {
            completed += reassembler.onDatagram(d.data(), d.size()) ? 1 : 0;
        }
        return completed;
    }
    FakeSink sink;
    std::atomic<uint64_t> lost{0};
    CFragmentReassembler reassembler;
};

void expectDelivered(const Bytes& frame, const Bytes& pkg, uint32_t fragPayload)
{
    ASSERT_EQ(frame.size(), pkg.size());
    const uint32_t payload = static_cast<uint32_t>(pkg.size() - DDS_HEADER_SIZE);
    DDSHeader_t h = readDdsHeader(frame.data());
    DDSHeader_t src = readDdsHeader(pkg.data());
    EXPECT_EQ(h.m_u8Flag, PKT_FLAG_FIRST);
    EXPECT_EQ(h.m_u8Type, MSG_TYPE_DATA);
    EXPECT_EQ(+h.m_u32SeqNo, 1u);
    EXPECT_EQ(+h.m_u64TimeStamp, +src.m_u64TimeStamp);
    EXPECT_EQ(+h.m_u32DataLen, fragmentPayloadLen(1, payload, fragPayload)) << "the first fragment's header";
    EXPECT_EQ(+h.m_u32TotalLen, payload);
    EXPECT_EQ(+h.m_u32PktCount, fragmentCount(payload, fragPayload));
    EXPECT_EQ(std::memcmp(frame.data() + DDS_HEADER_SIZE, pkg.data() + DDS_HEADER_SIZE, payload), 0);
}

TEST(ReceiverTest, RoundTripTable)
{
    struct Case {
        uint32_t f;
        uint32_t payload;
    } cases[] = {{65502, 1},   {65502, 65502}, {65502, 65503}, {65502, 3 * 65502 + 1},
                 {1438, 1438}, {1438, 1439},   {1438, 10000},  {16, 16 * 300 + 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE("f=" + std::to_string(c.f) + " P=" + std::to_string(c.payload));
        Harness h(c.f);
        Bytes pkg = makePackage(c.payload, 0x1122334455667788ull + c.payload, 5);
        std::vector<Bytes> frags = fragmentsOf(pkg, c.f);
        EXPECT_EQ(h.feed(frags), 1);
        ASSERT_EQ(h.sink.m_frames.size(), 1u);
        expectDelivered(h.sink.m_frames[0], pkg, c.f);
        EXPECT_EQ(h.lost.load(), 0u);
        EXPECT_TRUE(h.sink.m_outstanding.empty());
        EXPECT_FALSE(h.reassembler.hasOpenPackage());
    }
}

enum Mutation {
    M_NONE,
    M_BAD_MAGIC,
    M_BAD_TYPE,
    M_TRUNCATED, // one byte short of what the header says
    M_LONGER,    // one byte more than the header says
    M_OVERSIZE,  // a fragment larger than the fragment size
    M_OVER_CAP,  // a frame above the frame cap
    M_COUNT,     // fragment count that does not match the frame length
    M_SEQ_ZERO,
    M_SEQ_BEYOND,
    M_FLAG,        // flag that does not match the fragment number
    M_LEN,         // fragment length that does not match its place in the frame
    M_TIMESTAMP,   // well formed, but of another time stamp
    M_OTHER_TOTAL, // well formed, but of another frame length with the same count
};

struct Step {
    int frame; // 1 or 2
    int frag;  // 1..4
    Mutation mutation;
};

constexpr uint32_t kF = 16;

Bytes mutate(Bytes d, Mutation m)
{
    switch (m) {
    case M_NONE:
        return d;
    case M_BAD_MAGIC:
        d[1] = 'X';
        return d;
    case M_BAD_TYPE:
        return withHeader(d, [](DDSHeader_t& h) { h.m_u8Type = MSG_TYPE_HEARTBEAT; });
    case M_TRUNCATED:
        d.pop_back();
        return d;
    case M_LONGER:
        d.push_back(0);
        return d;
    case M_OVERSIZE:
        d.resize(DDS_HEADER_SIZE + kF + 1);
        return withHeader(d, [](DDSHeader_t& h) { h.m_u32DataLen = kF + 1; });
    case M_OVER_CAP:
        return withHeader(d, [](DDSHeader_t& h) {
            h.m_u32TotalLen = DDS_MAX_FRAME_PAYLOAD + 1;
            h.m_u32PktCount = fragmentCount(DDS_MAX_FRAME_PAYLOAD + 1, kF);
        });
    case M_COUNT:
        return withHeader(d, [](DDSHeader_t& h) { h.m_u32PktCount += 1; });
    case M_SEQ_ZERO:
        return withHeader(d, [](DDSHeader_t& h) { h.m_u32SeqNo = 0; });
    case M_SEQ_BEYOND:
        return withHeader(d, [](DDSHeader_t& h) { h.m_u32SeqNo = h.m_u32PktCount + 1; });
    case M_FLAG:
        return withHeader(
            d, [](DDSHeader_t& h) { h.m_u8Flag = h.m_u8Flag == PKT_FLAG_MIDDLE ? PKT_FLAG_LAST : PKT_FLAG_MIDDLE; });
    case M_LEN:
        d.resize(d.size() - 1);
        return withHeader(d, [](DDSHeader_t& h) { h.m_u32DataLen -= 1; });
    case M_TIMESTAMP:
        return withHeader(d, [](DDSHeader_t& h) { h.m_u64TimeStamp += 1; });
    case M_OTHER_TOTAL:
        return withHeader(d, [](DDSHeader_t& h) { h.m_u32TotalLen += 1; });
    }
    return d;
}

TEST(ReceiverTest, FragmentSequenceTable)
{
    // Two frames of four fragments each (16, 16, 16, 5 payload bytes).
    const Bytes pkg1 = makePackage(3 * kF + 5, 1001, 1);
    const Bytes pkg2 = makePackage(3 * kF + 5, 1002, 2);
    const std::vector<Bytes> frags[3] = {{}, fragmentsOf(pkg1, kF), fragmentsOf(pkg2, kF)};
    const std::vector<Step> frame2 = {{2, 1, M_NONE}, {2, 2, M_NONE}, {2, 3, M_NONE}, {2, 4, M_NONE}};
    auto then2 = [&](std::vector<Step> steps) {
        steps.insert(steps.end(), frame2.begin(), frame2.end());
        return steps;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<int> delivered;
        uint64_t lost;
    };
    std::vector<Case> cases = {
        {"in order", then2({{1, 1, M_NONE}, {1, 2, M_NONE}, {1, 3, M_NONE}, {1, 4, M_NONE}}), {1, 2}, 0},
        {"middle lost", then2({{1, 1, M_NONE}, {1, 3, M_NONE}, {1, 4, M_NONE}}), {2}, 2},
        {"first lost", then2({{1, 2, M_NONE}, {1, 3, M_NONE}, {1, 4, M_NONE}}), {2}, 3},
        {"last lost", then2({{1, 1, M_NONE}, {1, 2, M_NONE}, {1, 3, M_NONE}}), {2}, 0},
        {"middle duplicated",
         then2({{1, 1, M_NONE}, {1, 2, M_NONE}, {1, 2, M_NONE}, {1, 3, M_NONE}, {1, 4, M_NONE}}),
         {2},
         3},
        {"first duplicated",
         then2({{1, 1, M_NONE}, {1, 1, M_NONE}, {1, 2, M_NONE}, {1, 3, M_NONE}, {1, 4, M_NONE}}),
         {1, 2},
         0},
        {"last duplicated",
         then2({{1, 1, M_NONE}, {1, 2, M_NONE}, {1, 3, M_NONE}, {1, 4, M_NONE}, {1, 4, M_NONE}}),
         {1, 2},
         1},
        {"reordered", then2({{1, 1, M_NONE}, {1, 3, M_NONE}, {1, 2, M_NONE}, {1, 4, M_NONE}}), {2}, 3},
        {"a new frame abandons the open one",
         {{1, 1, M_NONE},
          {1, 2, M_NONE},
          {2, 1, M_NONE},
          {1, 3, M_NONE},
          {2, 2, M_NONE},
          {2, 3, M_NONE},
          {2, 4, M_NONE}},
         {},
         4},
        {"fragment of another time stamp",
         then2({{1, 1, M_NONE}, {1, 2, M_NONE}, {1, 3, M_TIMESTAMP}, {1, 3, M_NONE}, {1, 4, M_NONE}}),
         {2},
         3},
        {"fragment of another frame length",
         then2({{1, 1, M_NONE}, {1, 2, M_NONE}, {1, 3, M_OTHER_TOTAL}, {1, 3, M_NONE}, {1, 4, M_NONE}}),
         {2},
         3},
    };
    // Malformed datagrams are dropped and counted; the frame around them still arrives whole.
    const Mutation forged[] = {M_BAD_MAGIC, M_BAD_TYPE, M_TRUNCATED,  M_LONGER, M_OVERSIZE, M_OVER_CAP,
                               M_COUNT,     M_SEQ_ZERO, M_SEQ_BEYOND, M_FLAG,   M_LEN};
    for (Mutation m : forged) {
        for (int at : {1, 3, 4}) {
            cases.push_back({"forged",
                             then2({{1, 1, M_NONE}, {1, 2, M_NONE}, {1, at, m}, {1, 3, M_NONE}, {1, 4, M_NONE}}),
                             {1, 2},
                             1});
        }
    }

    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::string(c.name) + " #" + std::to_string(i));
        zqtest::OutputCapture capture;
        Harness h(kF);
        for (const Step& s : c.steps) {
            Bytes d = mutate(frags[s.frame][static_cast<size_t>(s.frag - 1)], s.mutation);
            h.reassembler.onDatagram(d.data(), d.size());
        }
        capture.stop();
        ASSERT_EQ(h.sink.m_frames.size(), c.delivered.size());
        for (size_t k = 0; k < c.delivered.size(); ++k) {
            expectDelivered(h.sink.m_frames[k], c.delivered[k] == 1 ? pkg1 : pkg2, kF);
        }
        EXPECT_EQ(h.lost.load(), c.lost);
        h.reassembler.reset();
        EXPECT_TRUE(h.sink.m_outstanding.empty());
    }
}

TEST(ReceiverTest, LostFragmentLinesOfTheUnixStyle)
{
    Harness h(kF);
    std::vector<Bytes> f = fragmentsOf(makePackage(3 * kF + 5, 1001, 1), kF);
    zqtest::OutputCapture capture;
    h.feed({f[0], f[2], f[3]});
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32",
                                   "[h6_topic] Lost pkt !!! m_u8Flag: 1, bLost:0, u32LastSeqNo: 1, m_u32SeqNo: 3, "
                                   "u64LastTimestamp: 1001, m_u64TimeStamp: 1001"))
        << capture.out();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32",
                                   "[h6_topic] Lost pkt !!! m_u8Flag: 2, bLost:1, u32LastSeqNo: 3, m_u32SeqNo: 4, "
                                   "u64LastTimestamp: 1001, m_u64TimeStamp: 1001"));
    EXPECT_EQ(h.lost.load(), 2u);
    EXPECT_EQ(h.reassembler.getLostFrameCount(), 0u) << "the Unix style counts no frames";
}

TEST(ReceiverTest, LostFrameLinesOfTheUdpStyle)
{
    Harness h(kF, REASSEMBLY_STYLE_UDP);
    std::vector<Bytes> f1 = fragmentsOf(makePackage(3 * kF + 5, 1001, 1), kF);
    std::vector<Bytes> f2 = fragmentsOf(makePackage(3 * kF + 5, 1002, 2), kF);
    std::vector<Bytes> f3 = fragmentsOf(makePackage(3 * kF + 5, 1003, 3), kF);
    zqtest::OutputCapture capture;
    h.feed({f1[0], f1[2]});               // a lost fragment: counted, no line
    h.feed({f2[0], f2[1], f2[2], f2[3]}); // the open frame is a lost frame
    h.feed({f3[1], f3[2]});               // first fragment lost
    h.feed(f1);                           // the unfinished frame 3 is a lost frame
    h.feed(f2);                           // after a delivered frame: nothing
    capture.stop();
    EXPECT_EQ(zqtest::countDdsLines(capture.out(), "33", "[h6_topic] Lost frame !!! Total lost frame count 1 ."), 1);
    EXPECT_EQ(zqtest::countDdsLines(capture.out(), "33", "[h6_topic] Lost frame !!! Total lost frame count 2 ."), 1);
    EXPECT_EQ(capture.out().find("Lost frame !!! Total lost frame count 3"), std::string::npos);
    EXPECT_EQ(capture.out().find("Lost pkt"), std::string::npos);
    EXPECT_EQ(h.reassembler.getLostFrameCount(), 2u);
    EXPECT_EQ(h.lost.load(), 3u);
    EXPECT_EQ(h.sink.m_frames.size(), 3u);
}

TEST(ReceiverTest, ShortAndUnsupportedDatagrams)
{
    struct Case {
        ReassemblyStyle_e style;
        const char* color;
        const char* shortLine;
        const char* flagColor;
    } cases[] = {
        {REASSEMBLY_STYLE_UNIX, "31", "[h6_topic] Error: iRecvLen 33 <= sizeof(DDSHeader_t) 34", "32"},
        {REASSEMBLY_STYLE_UDP, "33", "[h6_topic] iRecvLen 33 <= sizeof(DDSHeader_t) 34", "33"},
    };
    for (const Case& c : cases) {
        Harness h(kF, c.style);
        Bytes pkg = makePackage(3 * kF + 5, 1001, 1);
        std::vector<Bytes> f = fragmentsOf(pkg, kF);
        Bytes shortOne(f[1].begin(), f[1].begin() + 33);
        Bytes badFlag = withHeader(f[1], [](DDSHeader_t& hd) { hd.m_u8Flag = 3; });
        zqtest::OutputCapture capture;
        h.feed({f[0], shortOne, badFlag, f[1], f[2], f[3]});
        EXPECT_FALSE(h.reassembler.onDatagram(nullptr, 0));
        capture.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), c.color, c.shortLine)) << capture.out();
        EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), c.flagColor, "[h6_topic] Unsupported pkt type !!! m_u8Flag: 3"));
        EXPECT_EQ(h.lost.load(), 0u) << "neither is counted";
        ASSERT_EQ(h.sink.m_frames.size(), 1u) << "and the frame around them arrives";
        expectDelivered(h.sink.m_frames[0], pkg, kF);
    }
}

TEST(ReceiverTest, EmptyMessageIsRefusedWithItsLine)
{
    Harness h(65502);
    Bytes pkg = makePackage(0, 42, 0);
    std::vector<Bytes> f = fragmentsOf(pkg, 65502);
    ASSERT_EQ(f.size(), 1u);
    ASSERT_EQ(f[0].size(), 34u);
    zqtest::OutputCapture capture;
    EXPECT_EQ(h.feed(f), 0);
    capture.stop();
    EXPECT_TRUE(h.sink.m_frames.empty());
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31", "[h6_topic] Error: iRecvLen 34 <= sizeof(DDSHeader_t) 34"))
        << capture.out();
}

TEST(ReceiverTest, NoPackageForTheFirstFragmentLosesTheFrame)
{
    Harness h(kF);
    Bytes pkg1 = makePackage(3 * kF + 5, 1001, 1);
    Bytes pkg2 = makePackage(3 * kF + 5, 1002, 2);
    h.sink.m_failNext = 1;
    zqtest::OutputCapture capture;
    h.feed(fragmentsOf(pkg1, kF));
    h.feed(fragmentsOf(pkg2, kF));
    capture.stop();
    EXPECT_EQ(h.lost.load(), 3u);
    ASSERT_EQ(h.sink.m_frames.size(), 1u);
    expectDelivered(h.sink.m_frames[0], pkg2, kF);

    // A single-fragment frame without a package is simply not delivered.
    h.sink.m_failNext = 1;
    EXPECT_EQ(h.feed(fragmentsOf(makePackage(3, 1003, 3), kF)), 0);
    EXPECT_EQ(h.feed(fragmentsOf(makePackage(3, 1004, 4), kF)), 1);
}

TEST(ReceiverTest, OpenPackageReuseAndRelease)
{
    Harness h(kF);
    std::vector<Bytes> big = fragmentsOf(makePackage(3 * kF + 5, 1001, 1), kF);
    std::vector<Bytes> small = fragmentsOf(makePackage(5, 1002, 2), kF);
    // A partial big frame holds more than the small frame needs: its package is reused.
    h.feed({big[0], big[1]});
    EXPECT_EQ(h.sink.m_requests, 1);
    EXPECT_EQ(h.feed(small), 1);
    EXPECT_EQ(h.sink.m_requests, 1);
    EXPECT_EQ(h.sink.m_discarded, 0);
    // A partial small frame is too small for the big one: released, a new one taken.
    std::vector<Bytes> twoSmall = fragmentsOf(makePackage(kF + 1, 1003, 3), kF);
    h.feed({twoSmall[0]});
    h.feed(big);
    EXPECT_EQ(h.sink.m_requests, 3);
    EXPECT_EQ(h.sink.m_discarded, 1);
    EXPECT_TRUE(h.sink.m_outstanding.empty());

    // reset and the destructor give back a frame still being rebuilt.
    h.feed({big[0]});
    EXPECT_TRUE(h.reassembler.hasOpenPackage());
    h.reassembler.reset();
    EXPECT_FALSE(h.reassembler.hasOpenPackage());
    EXPECT_TRUE(h.sink.m_outstanding.empty());
    FakeSink sink;
    {
        CFragmentReassembler scoped(kF, REASSEMBLY_STYLE_UNIX, kTopic, &sink, nullptr);
        scoped.onDatagram(big[0].data(), big[0].size());
        EXPECT_EQ(sink.m_outstanding.size(), 1u);
    }
    EXPECT_TRUE(sink.m_outstanding.empty());
    EXPECT_EQ(sink.m_discarded, 1);
}

TEST(ReceiverTest, ValidFragmentPredicate)
{
    std::vector<Bytes> f = fragmentsOf(makePackage(3 * kF + 5, 9, 1), kF);
    for (const Bytes& d : f) {
        EXPECT_TRUE(CFragmentReassembler::isValidFragment(readDdsHeader(d.data()), d.size(), kF));
        EXPECT_FALSE(CFragmentReassembler::isValidFragment(readDdsHeader(d.data()), d.size(), kF + 1))
            << "a frame cut with another fragment size";
    }
    EXPECT_FALSE(CFragmentReassembler::isValidFragment(readDdsHeader(f[0].data()), f[0].size(), 0));
}

// Random datagrams (valid fragments of random frames, mutated, truncated, garbage) never crash or
// overrun; every delivered frame is consistent; nothing is held after a reset.
TEST(ReceiverTest, SeededFuzz)
{
    for (uint32_t f : {16u, 1438u}) {
        std::mt19937 rng(12345 + f);
        Harness h(f, f == 16 ? REASSEMBLY_STYLE_UNIX : REASSEMBLY_STYLE_UDP);
        zqtest::OutputCapture capture;
        std::vector<Bytes> pending;
        for (int i = 0; i < 20000; ++i) {
            if (pending.empty()) {
                uint32_t payload = rng() % (f * 5 + 3);
                pending = fragmentsOf(makePackage(payload, rng() % 4, static_cast<uint8_t>(rng())), f);
            }
            size_t pick = rng() % 4 == 0 ? rng() % pending.size() : 0;
            Bytes d = pending[pick];
            switch (rng() % 8) {
            case 0:
                d[rng() % d.size()] = static_cast<uint8_t>(rng());
                break;
            case 1:
                d.resize(rng() % (d.size() + 40));
                break;
            case 2: {
                d.resize(rng() % 200);
                for (uint8_t& b : d) {
                    b = static_cast<uint8_t>(rng());
                }
                if (d.size() >= 6 && rng() % 2 == 0) {
                    std::memcpy(d.data(), DDS_HEADER_MAGIC, 4);
                    d[5] = MSG_TYPE_DATA;
                }
                break;
            }
            default:
                pending.erase(pending.begin() + static_cast<long>(pick));
                break;
            }
            h.reassembler.onDatagram(d.data(), d.size());
            ASSERT_LE(h.sink.m_outstanding.size(), 1u);
        }
        capture.stop();
        for (const Bytes& frame : h.sink.m_frames) {
            DDSHeader_t hd = readDdsHeader(frame.data());
            EXPECT_EQ(frame.size(), DDS_HEADER_SIZE + hd.m_u32TotalLen);
        }
        EXPECT_GT(h.sink.m_frames.size(), 100u);
        h.reassembler.reset();
        EXPECT_TRUE(h.sink.m_outstanding.empty());
    }
}

} // namespace
