// Reading a datagram socket in batches.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// Reads a datagram socket in batches: one recvmmsg takes the datagrams already queued (up to the
// batch's slots) without waiting first, and the thread sleeps in poll only when none is queued.
// A datagram longer than a slot is cut to the slot's size. The slots are allocated once.
//
// Threads: one receive thread.
class CDatagramBatch {
public:
    CDatagramBatch(size_t slots, size_t slotSize);
    CDatagramBatch(const CDatagramBatch&) = delete;
    CDatagramBatch& operator=(const CDatagramBatch&) = delete;

    // False when the slots could not be allocated.
    bool valid() const { return !m_vecMsgs.empty(); }
    // Asks a UDP socket for coalesced reads (UDP_GRO) and takes `slots` slots of `slotSize` bytes
    // for them; false, with the slots as they were, where the socket refuses it or memory lacks.
    bool enableGro(int fd, size_t slots, size_t slotSize);
    // The datagrams queued on `fd` (1 or more), or, when none is: a wait of up to `timeoutMs` in
    // poll and one more read. SOCK_RET_TIMEOUT when still none came, another SOCK_RET_* code on
    // a failure (as readData reports them).
    int read(int fd, int timeoutMs);
    const uint8_t* data(int index) const { return m_vecBuffer.data() + static_cast<size_t>(index) * m_iSlotSize; }
    size_t length(int index) const { return m_vecMsgs[static_cast<size_t>(index)].msg_len; }
    // The datagram length the buffer at `index` was coalesced from (its last one may be shorter);
    // 0 for a buffer that holds one datagram.
    size_t segmentSize(int index) const;

private:
    // recvmmsg without waiting: the count, 0 when nothing is queued, or a SOCK_RET_* code.
    int readQueued(int fd);

    size_t m_iSlotSize;
    std::vector<uint8_t> m_vecBuffer;
    std::vector<iovec> m_vecIov;
    std::vector<mmsghdr> m_vecMsgs;
    // With GRO: each slot's control buffer, room for one int.
    static constexpr size_t GRO_CONTROL_SIZE = 32;
    std::vector<uint8_t> m_vecControl;
};
