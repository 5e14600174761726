// The numbers of the Unix-domain socket medium, which its sender and its receiver share (its row:
// unix_socket_medium.cpp).
#pragma once

#include <cstdint>

constexpr uint32_t UNIX_SOCKET_FRAG_PAYLOAD = 65502; // fragment payload
constexpr int UNIX_SOCKET_MAX_DATAGRAM = 65536;      // header and payload
constexpr int UNIX_SOCKET_RECV_BUF_SIZE = 65586;     // receive buffer: larger than any datagram
constexpr int UNIX_SOCKET_RECV_BATCH = 8;            // datagrams taken per read
constexpr int UNIX_SOCKET_ERROR_PAUSE_US = 20;       // after a failed read

// Socket buffer size of both sides (logged as 2048 KB).
constexpr int UNIX_SOCKET_BUF_SIZE = 2097152;
// Bound on one datagram send: a reader that does not read loses its messages and stalls no one.
constexpr int UNIX_SOCKET_SEND_TIMEOUT_MS = 50;
