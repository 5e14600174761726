// Sending datagrams to one destination: a list of whole ones, or the gathered frames of packages
// under the stall, segmentation and connection rules of a datagram medium.
#pragma once

#include <sys/socket.h>

#include <utility>
#include <vector>

#include "core/transport/datagram/fragment_gather.h"

// A list of prepared datagrams: (start, length) pairs.
using DatagramList_t = std::vector<std::pair<unsigned char*, int>>;

// Sends the datagrams in order to one address with MSG_NOSIGNAL. Stops at the first datagram
// that cannot be sent whole (the rest of that frame is useless to the receiver, and a socket
// with a send timeout then costs one timeout per package, not one per fragment). Returns the
// number of datagrams sent.
int sendUdpData(int fd, const sockaddr* address, int addressLen, const DatagramList_t& datagrams);

// One destination of a datagram sender. `m_pStalled` (may be null) is the destination's own flag,
// touched only by the sending thread: set when a send timed out (the reader does not read), it
// makes the next frames try their first datagram without waiting and drop the frame at once
// while the reader still has no room; a frame that goes out whole clears it. So a stalled
// reader costs one send timeout, not one per package.
//
// `m_pSegment` (may be null: one datagram per send) lets runs of a frame's datagrams go out in one
// segmented send (UDP_SEGMENT: the kernel cuts them into the same datagrams) while it is set; the
// first segmented send the kernel refuses (a link MTU below the datagram, no checksum offload,
// an old kernel) clears it for good and that run is resent datagram by datagram.
// `m_pConnected` (may be null: every send names the address) marks a medium whose socket is
// connected at its first send and then sends without an address; a peer that went away clears
// it, losing that frame as an unconnected send would, and the next frame connects again.
// Both flags, like the stall flag, are the destination's own and touched by the sending thread.
struct DatagramTarget_t {
    int m_iFd;
    const sockaddr* m_pAddr;
    int m_iAddrLen;
    bool* m_pStalled;
    bool* m_pSegment{nullptr};
    bool* m_pConnected{nullptr};
};

// Sends the gathered frames of one or more packages to one target, in order and with as few
// system calls as the kernel allows, under the rules above: a frame stops at its first datagram
// (or segmented run) that does not go out whole, and the next frame is tried. The number of
// datagrams sent.
int sendToTarget(const DatagramTarget_t& target, const GatheredList_t& fragments);
