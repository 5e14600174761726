// The numbers of the UDP medium, which its sender and its receiver share (its row: udp_medium.cpp).
#pragma once

#include <cstdint>

// Fragment payload and datagram limit.
constexpr uint32_t UDP_FRAG_PAYLOAD = 1438;
constexpr int UDP_MAX_DATAGRAM = 1472;
// Socket buffer size of both sides (logged as 2048 KB).
constexpr int UDP_SOCK_BUF_SIZE = 2097152;
// Send timeout of the sender's sockets and receive timeout of the receiver's.
constexpr int UDP_SOCK_TIMEOUT_MS = 50;
// Real-time priority asked for the send and receive threads.
constexpr int UDP_THREAD_PRIORITY = 10;

// Receive buffer: larger than any datagram of this medium, so a longer one shows as too long.
constexpr int UDP_RECV_BUF_SIZE = 2496;
// Datagrams taken per read: a 1 MiB message is about 730 of them.
constexpr int UDP_RECV_BATCH = 64;
// With coalesced reads: slots per read, each room for one coalesced buffer (at most one UDP
// datagram's payload, 65507 bytes).
constexpr int UDP_GRO_BATCH = 8;
constexpr int UDP_GRO_BUF_SIZE = 65536;
// Pause after a failed read, doubling with every further failure.
constexpr int UDP_ERROR_PAUSE_MIN_US = 20;
constexpr int UDP_ERROR_PAUSE_MAX_US = 1000;
