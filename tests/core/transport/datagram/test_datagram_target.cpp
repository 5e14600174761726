// Sending to one destination: a list of datagrams in order, stopping at the first failure.
#include "core/transport/datagram/datagram_target.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "support/datagram_support.h"

namespace {

using dgramtest::BoundSocket;

class SenderNsTest : public dgramtest::UnixSendNsTest {};

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

} // namespace
