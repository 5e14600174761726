// Reading a datagram socket in batches.
#include "core/transport/datagram/datagram_batch.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/zqtest.h"
#include "utils/socket_utils.h"
#include "utils/unique_fd.h"

namespace {

using Bytes = std::vector<uint8_t>;

class DatagramBatchNsTest : public zqtest::NsTest {};

TEST_F(DatagramBatchNsTest, TakesEveryQueuedDatagramInBatchesThenReportsNone)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
    const CUniqueFd ends[2] = {CUniqueFd(pair[0]), CUniqueFd(pair[1])};
    const int fds[2] = {ends[0].get(), ends[1].get()};
    constexpr size_t kSlots = 4;
    constexpr size_t kSlotSize = 16;
    CDatagramBatch batch(kSlots, kSlotSize);
    ASSERT_TRUE(batch.valid());
    // Ten datagrams of lengths 1..10, then one longer than a slot and an empty one.
    for (int i = 1; i <= 10; ++i) {
        Bytes datagram(static_cast<size_t>(i), static_cast<uint8_t>(i));
        ASSERT_EQ(::send(fds[0], datagram.data(), datagram.size(), 0), i);
    }
    Bytes longer(kSlotSize + 9, 0x77);
    ASSERT_EQ(::send(fds[0], longer.data(), longer.size(), 0), static_cast<ssize_t>(longer.size()));
    ASSERT_EQ(::send(fds[0], longer.data(), 0, 0), 0);
    std::vector<Bytes> got;
    int reads = 0;
    for (;;) {
        const int count = batch.read(fds[1], 0);
        if (count == SOCK_RET_TIMEOUT) {
            break;
        }
        ASSERT_GT(count, 0);
        ASSERT_LE(static_cast<size_t>(count), kSlots);
        ++reads;
        for (int i = 0; i < count; ++i) {
            got.emplace_back(batch.data(i), batch.data(i) + batch.length(i));
        }
    }
    ASSERT_EQ(got.size(), 12u);
    EXPECT_EQ(reads, 3); // 12 queued datagrams in slots of 4: every read took a full batch
    for (int i = 1; i <= 10; ++i) {
        EXPECT_EQ(got[static_cast<size_t>(i - 1)], Bytes(static_cast<size_t>(i), static_cast<uint8_t>(i))) << i;
    }
    EXPECT_EQ(got[10], Bytes(kSlotSize, 0x77)); // cut to the slot
    EXPECT_TRUE(got[11].empty());
    // A datagram sent while the reader waits in poll is read once it comes.
    std::thread late([&] {
        uint8_t one = 9;
        ::send(fds[0], &one, 1, 0);
    });
    int count = SOCK_RET_TIMEOUT;
    while (count == SOCK_RET_TIMEOUT) {
        count = batch.read(fds[1], 60000);
    }
    late.join();
    ASSERT_EQ(count, 1);
    EXPECT_EQ(batch.length(0), 1u);
    EXPECT_EQ(batch.data(0)[0], 9);
}

} // namespace
