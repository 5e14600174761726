// The fragment layout and the gathered fragments: tables for both fragment sizes against whole
// copies, and what cannot be cut.
#include "core/transport/datagram/fragment_gather.h"

#include <sys/uio.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/transport/datagram/fragment_layout.h"
#include "support/datagram_support.h"
#include "support/fragment_builder.h"

namespace {

using dgramtest::stalePackageOf;

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
        std::vector<uint8_t> pkg = stalePackageOf(c.payload, timeStamp, static_cast<uint8_t>(c.payload));
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
    std::vector<uint8_t> pkg = stalePackageOf(100, 1, 1);
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

// The list cannot grow for the second package after its headers would have moved: the frames of
// the first must still point at their own header bytes, which a batch goes on to send.
TEST(SenderTest, AFailedAppendLeavesTheListedFramesOnTheirHeaders)
{
    struct LimitReset {
        ~LimitReset() { setGatheredListLimit(std::numeric_limits<size_t>::max()); }
    } reset;
    constexpr uint32_t kFrag = 16;
    std::vector<uint8_t> first = stalePackageOf(2 * kFrag, 7, 7);
    std::vector<uint8_t> second = stalePackageOf(4 * kFrag, 8, 8);
    std::vector<uint8_t> headers;
    GatheredList_t out;
    ASSERT_TRUE(gatherFragments(first.data(), first.size(), kFrag, headers, out));
    ASSERT_EQ(out.size(), 2u);
    ASSERT_LT(headers.capacity(), 6 * DDS_HEADER_SIZE) << "the second package must need more room";
    std::vector<std::vector<uint8_t>> listed;
    for (const GatheredFragment_t& f : out) {
        const uint8_t* h = static_cast<const uint8_t*>(f.m_iov[0].iov_base);
        listed.emplace_back(h, h + DDS_HEADER_SIZE);
    }
    setGatheredListLimit(5);
    EXPECT_FALSE(appendFragments(second.data(), second.size(), kFrag, headers, out));
    ASSERT_EQ(out.size(), 2u);
    for (size_t i = 0; i < out.size(); ++i) {
        const uint8_t* h = static_cast<const uint8_t*>(out[i].m_iov[0].iov_base);
        ASSERT_GE(h, headers.data()) << "frame " << i;
        ASSERT_LE(h + DDS_HEADER_SIZE, headers.data() + headers.size()) << "frame " << i;
        EXPECT_EQ(std::memcmp(h, listed[i].data(), DDS_HEADER_SIZE), 0) << "frame " << i;
    }
    setGatheredListLimit(std::numeric_limits<size_t>::max());
    ASSERT_TRUE(appendFragments(second.data(), second.size(), kFrag, headers, out));
    ASSERT_EQ(out.size(), 6u);
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].m_iov[0].iov_base, headers.data() + i * DDS_HEADER_SIZE) << "frame " << i;
    }
    EXPECT_EQ(std::memcmp(out[1].m_iov[0].iov_base, listed[1].data(), DDS_HEADER_SIZE), 0);
}

} // namespace
