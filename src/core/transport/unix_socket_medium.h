// The numbers of the Unix-domain socket medium, which its sender and its receiver share.
#pragma once

#include <cstdint>

// Fragment payload and datagram limit.
constexpr uint32_t UNIX_SOCKET_FRAG_PAYLOAD = 65502;
constexpr int UNIX_SOCKET_MAX_DATAGRAM = 65536;
// Socket buffer size of both sides (logged as 2048 KB).
constexpr int UNIX_SOCKET_BUF_SIZE = 2097152;
// Bound on one datagram send: a reader that does not read loses its messages and stalls no one.
constexpr int UNIX_SOCKET_SEND_TIMEOUT_MS = 50;

// Receive buffer: larger than any datagram of this medium.
constexpr int UNIX_SOCKET_RECV_BUF_SIZE = 65586;
// Datagrams taken per read.
constexpr int UNIX_SOCKET_RECV_BATCH = 8;
// Pause after a failed read.
constexpr int UNIX_SOCKET_ERROR_PAUSE_US = 20;
