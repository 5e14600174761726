// Walking a pool segment by its layout: sizes, refused layouts, and numbers read from the bytes.
#include "memory/shm_layout.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

namespace {

MemPoolLayout_t layoutOf(std::initializer_list<MemGroup_t> groups)
{
    MemPoolLayout_t layout{};
    for (const MemGroup_t& g : groups) {
        layout.m_stGroup[layout.m_iGroupCount++] = g;
    }
    return layout;
}

// A segment image laid out as the writer's pool lays it out, numbered 1..N in walk order.
std::vector<uint8_t> imageOf(const MemPoolLayout_t& layout)
{
    uint64_t size = 0;
    int count = 0;
    EXPECT_TRUE(shmLayoutSize(layout, &size, &count));
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    size_t off = 0;
    int id = 1;
    for (int g = 0; g < layout.m_iGroupCount; ++g) {
        for (int c = 0; c < layout.m_stGroup[g].m_iChunkCount; ++c) {
            int32_t v = id++;
            std::memcpy(bytes.data() + off + MEM_CHUNK_PKG_OFFSET, &v, sizeof(v));
            off += static_cast<size_t>(layout.m_stGroup[g].m_iChunkSize) + MEM_CHUNK_OVERHEAD;
        }
    }
    return bytes;
}

void setId(std::vector<uint8_t>& bytes, size_t pkgOffset, int32_t id)
{
    std::memcpy(bytes.data() + pkgOffset, &id, sizeof(id));
}

TEST(ShmLayoutTest, SizeIsTheSumOfStridesInSixtyFourBits)
{
    MemPoolLayout_t layout = layoutOf({{0, 1 << 20, 8}, {1, 2 << 20, 4}, {2, 5 << 20, 4}});
    uint64_t size = 0;
    int count = 0;
    ASSERT_TRUE(shmLayoutSize(layout, &size, &count));
    EXPECT_EQ(size, 8ull * ((1 << 20) + 96) + 4ull * ((2 << 20) + 96) + 4ull * ((5 << 20) + 96));
    EXPECT_EQ(count, 16);

    // Larger than 4 GiB is fine as long as it fits 64 bits.
    MemPoolLayout_t big = layoutOf({{0, INT_MAX - 103, 4}});
    ASSERT_TRUE(shmLayoutSize(big, &size, &count));
    EXPECT_EQ(size, 4ull * (INT_MAX - 7));

    MemPoolLayout_t empty{};
    ASSERT_TRUE(shmLayoutSize(empty, &size, &count));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(count, 0);
}

TEST(ShmLayoutTest, LayoutsOutsideTheRecordAreRefused)
{
    struct Case {
        const char* name;
        MemPoolLayout_t layout;
    };
    MemPoolLayout_t tooMany = layoutOf({{0, 64, 1}});
    tooMany.m_iGroupCount = 17;
    MemPoolLayout_t negativeCount = layoutOf({{0, 64, 1}});
    negativeCount.m_iGroupCount = -1;
    MemPoolLayout_t overflow{};
    for (int g = 0; g < 16; ++g) {
        overflow.m_stGroup[overflow.m_iGroupCount++] = {g, INT_MAX - 7, INT_MAX};
    }
    MemPoolLayout_t tooManyPackages = layoutOf({{0, 0, INT_MAX}, {1, 0, 1}});
    const Case cases[] = {
        {"group count 17", tooMany},
        {"group count -1", negativeCount},
        {"negative chunk size", layoutOf({{0, -1, 4}})},
        {"very negative chunk size", layoutOf({{0, INT_MIN, 4}})},
        {"negative chunk count", layoutOf({{0, 64, -1}})},
        {"chunk size not a multiple of 8", layoutOf({{0, 64, 1}, {1, 100, 1}})},
        {"size beyond 64 bits", overflow},
        {"more than INT_MAX packages", tooManyPackages},
    };
    for (const Case& c : cases) {
        uint64_t size = 7;
        int count = 7;
        EXPECT_FALSE(shmLayoutSize(c.layout, &size, &count)) << c.name;
        EXPECT_EQ(size, 7u) << c.name;
        std::vector<uint8_t> bytes(4096);
        std::vector<ShmPkgSlot_t> slots{{1, 1, 0}};
        EXPECT_FALSE(shmWalkLayout(bytes.data(), bytes.size(), c.layout, &slots)) << c.name;
        EXPECT_TRUE(slots.empty()) << c.name;
    }
}

TEST(ShmLayoutTest, WalkMapsNumbersToPackagesWithTheirGroupCapacity)
{
    MemPoolLayout_t layout = layoutOf({{0, 104, 3}, {1, 1000, 2}});
    std::vector<uint8_t> bytes = imageOf(layout);
    std::vector<ShmPkgSlot_t> slots;
    ASSERT_TRUE(shmWalkLayout(bytes.data(), bytes.size(), layout, &slots));
    ASSERT_EQ(slots.size(), 5u);
    EXPECT_EQ(slots[0].m_u64Offset, 48u);
    EXPECT_EQ(slots[2].m_u64Offset, 2u * 200 + 48);
    EXPECT_EQ(slots[3].m_u64Offset, 3u * 200 + 48);
    EXPECT_EQ(slots[4].m_u64Offset, 3u * 200 + 1096 + 48);
    EXPECT_EQ(slots[2].m_iCapacity, 104);
    EXPECT_EQ(slots[3].m_iCapacity, 1000);
    EXPECT_EQ(slots[2].m_iGroup, 0);
    EXPECT_EQ(slots[3].m_iGroup, 1);

    // The numbers the segment holds decide; a permutation of 1..N is still a valid table.
    setId(bytes, slots[0].m_u64Offset, 2);
    setId(bytes, slots[1].m_u64Offset, 1);
    std::vector<ShmPkgSlot_t> swapped;
    ASSERT_TRUE(shmWalkLayout(bytes.data(), bytes.size(), layout, &swapped));
    EXPECT_EQ(swapped[0].m_u64Offset, slots[1].m_u64Offset);
    EXPECT_EQ(swapped[1].m_u64Offset, slots[0].m_u64Offset);
}

TEST(ShmLayoutTest, ForgedNumbersAndShortSegmentsAreRefused)
{
    MemPoolLayout_t layout = layoutOf({{0, 104, 3}});
    std::vector<uint8_t> good = imageOf(layout);
    struct Case {
        const char* name;
        int32_t id; // written into the second package
    };
    for (const Case& c :
         {Case{"zero", 0}, Case{"negative", -5}, Case{"past N", 4}, Case{"duplicate", 1}, Case{"huge", INT_MAX}}) {
        std::vector<uint8_t> bytes = good;
        setId(bytes, 200 + 48, c.id);
        std::vector<ShmPkgSlot_t> slots;
        EXPECT_FALSE(shmWalkLayout(bytes.data(), bytes.size(), layout, &slots)) << c.name;
        EXPECT_TRUE(slots.empty()) << c.name;
    }
    std::vector<ShmPkgSlot_t> slots;
    EXPECT_FALSE(shmWalkLayout(good.data(), good.size() - 1, layout, &slots));
    EXPECT_TRUE(shmWalkLayout(good.data(), good.size() + 100, layout, &slots));
    EXPECT_FALSE(shmWalkLayout(nullptr, 0, layout, &slots));
    MemPoolLayout_t empty{};
    EXPECT_TRUE(shmWalkLayout(nullptr, 0, empty, &slots));
    EXPECT_TRUE(slots.empty());
}

TEST(ShmLayoutTest, TheNumberInAHeaderIsBelievedOnlyWhereTheTableAgrees)
{
    MemPoolLayout_t layout = layoutOf({{0, 104, 3}, {1, 1000, 2}});
    std::vector<uint8_t> bytes = imageOf(layout);
    std::vector<ShmPkgSlot_t> slots;
    ASSERT_TRUE(shmWalkLayout(bytes.data(), bytes.size(), layout, &slots));
    CShmPkgTable table;
    table.build(bytes.data(), slots);

    // Intact headers: every package is found by its own number, without a search; each call is
    // one lookup, counted only while a test asks for it.
    const uint64_t before = CShmPkgTable::searches();
    for (bool counting : {false, true}) {
        CShmPkgTable::countLookups(counting);
        const uint64_t looked = CShmPkgTable::lookups();
        for (int id = 1; table.has(id); ++id) {
            EXPECT_EQ(table.idOf(table.pkg(id)), id);
        }
        EXPECT_EQ(CShmPkgTable::lookups() - looked, counting ? table.count() : 0u) << counting;
    }
    CShmPkgTable::countLookups(false);
    EXPECT_EQ(CShmPkgTable::searches(), before);

    // Whatever another process writes there afterwards, the address decides.
    struct Case {
        const char* name;
        int32_t written; // into package 4's header
    };
    for (const Case& c : {Case{"another package's number", 2}, Case{"zero", 0}, Case{"negative", -1}, Case{"past N", 6},
                          Case{"huge", INT_MAX}}) {
        setId(bytes, slots[3].m_u64Offset, c.written);
        const uint64_t searched = CShmPkgTable::searches();
        EXPECT_EQ(table.idOf(table.pkg(4)), 4) << c.name;
        EXPECT_EQ(CShmPkgTable::searches(), searched + 1) << c.name;
        EXPECT_EQ(table.idOf(table.pkg(2)), 2) << c.name;
    }
    // An address inside a package, or past the last one, is nobody's.
    EXPECT_EQ(table.idOf(reinterpret_cast<uint8_t*>(table.pkg(1)) + 8), -1);
    EXPECT_EQ(table.idOf(bytes.data() + bytes.size()), -1);
    EXPECT_EQ(table.idOf(bytes.data() - 1), -1);
    // A table never built (a pool without its segment yet) knows no address.
    EXPECT_EQ(CShmPkgTable().idOf(bytes.data()), -1);
}

} // namespace
