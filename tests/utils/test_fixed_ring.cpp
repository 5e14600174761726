// The fixed ring behind the package FIFOs: first in, first out across the wrap, never beyond its
// capacity.
#include "utils/fixed_ring.h"

#include <memory>
#include <string>
#include <vector>

#include "support/zqtest.h"

namespace {

class FixedRingTest : public ::testing::Test {};

TEST_F(FixedRingTest, KeepsTheOrderAcrossTheWrap)
{
    for (size_t capacity : {1u, 2u, 3u, 8u}) {
        CFixedRing<int> ring(capacity);
        EXPECT_TRUE(ring.empty());
        int next = 0;
        int expected = 0;
        // Fill, take half, refill: the head goes round the storage several times.
        for (int round = 0; round < 5; ++round) {
            while (!ring.full()) {
                ring.push(next++);
            }
            EXPECT_EQ(ring.size(), capacity);
            for (size_t i = 0; i < (capacity + 1) / 2; ++i) {
                EXPECT_EQ(ring.front(), expected++) << capacity;
                ring.pop();
            }
        }
        while (!ring.empty()) {
            EXPECT_EQ(ring.front(), expected++) << capacity;
            ring.pop();
        }
        EXPECT_EQ(expected, next) << capacity;
    }
}

TEST_F(FixedRingTest, CapacityZeroIsFullAndEmpty)
{
    CFixedRing<int> ring(0);
    EXPECT_TRUE(ring.empty());
    EXPECT_TRUE(ring.full());
}

TEST_F(FixedRingTest, MovesItemsInAndOutAndLetsGoOfTaken)
{
    CFixedRing<std::shared_ptr<int>> ring(2);
    auto item = std::make_shared<int>(4);
    ring.push(std::shared_ptr<int>(item));
    EXPECT_EQ(item.use_count(), 2);
    std::shared_ptr<int> out = std::move(ring.front());
    ring.pop();
    EXPECT_EQ(*out, 4);
    out.reset();
    // The slot holds nothing once taken.
    EXPECT_EQ(item.use_count(), 1);
}

} // namespace
