#include "core/transport/datagram/datagram_batch.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "core/transport/transport.h"
#include "utils/socket_utils.h"

CDatagramBatch::CDatagramBatch(size_t slots, size_t slotSize) : m_iSlotSize(slotSize)
{
    try {
        m_vecBuffer.resize(slots * slotSize);
        m_vecIov.resize(slots);
        m_vecMsgs.resize(slots);
    } catch (const std::bad_alloc&) {
        m_vecBuffer.clear();
        m_vecIov.clear();
        m_vecMsgs.clear();
    }
}

bool CDatagramBatch::enableGro(int fd, size_t slots, size_t slotSize)
{
    static_assert(GRO_CONTROL_SIZE >= CMSG_SPACE(sizeof(int)), "room for the segment size");
    std::vector<uint8_t> buffer;
    std::vector<iovec> iov;
    std::vector<mmsghdr> msgs;
    std::vector<uint8_t> control;
    try {
        buffer.resize(slots * slotSize);
        iov.resize(slots);
        msgs.resize(slots);
        control.resize(slots * GRO_CONTROL_SIZE);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const int on = 1;
    if (slots == 0 || ::setsockopt(fd, SOL_UDP, UDP_GRO, &on, sizeof(on)) != 0) {
        return false;
    }
    m_iSlotSize = slotSize;
    m_vecBuffer.swap(buffer);
    m_vecIov.swap(iov);
    m_vecMsgs.swap(msgs);
    m_vecControl.swap(control);
    return true;
}

size_t CDatagramBatch::segmentSize(int index) const
{
    if (m_vecControl.empty()) {
        return 0;
    }
    // The kernel's own record of the coalescing, not the sender's bytes.
    msghdr msg = m_vecMsgs[static_cast<size_t>(index)].msg_hdr;
    for (cmsghdr* cmsg = CMSG_FIRSTHDR(&msg); cmsg != nullptr; cmsg = CMSG_NXTHDR(&msg, cmsg)) {
        if (cmsg->cmsg_level == SOL_UDP && cmsg->cmsg_type == UDP_GRO && cmsg->cmsg_len >= CMSG_LEN(sizeof(int))) {
            int segment = 0;
            std::memcpy(&segment, CMSG_DATA(cmsg), sizeof(segment));
            return segment > 0 ? static_cast<size_t>(segment) : 0;
        }
    }
    return 0;
}

int CDatagramBatch::readQueued(int fd)
{
    for (size_t i = 0; i < m_vecMsgs.size(); ++i) {
        m_vecIov[i].iov_base = m_vecBuffer.data() + i * m_iSlotSize;
        m_vecIov[i].iov_len = m_iSlotSize;
        m_vecMsgs[i].msg_hdr = msghdr{};
        m_vecMsgs[i].msg_hdr.msg_iov = &m_vecIov[i];
        m_vecMsgs[i].msg_hdr.msg_iovlen = 1;
        if (!m_vecControl.empty()) {
            m_vecMsgs[i].msg_hdr.msg_control = m_vecControl.data() + i * GRO_CONTROL_SIZE;
            m_vecMsgs[i].msg_hdr.msg_controllen = GRO_CONTROL_SIZE;
        }
        m_vecMsgs[i].msg_len = 0;
    }
    const int count =
        ::recvmmsg(fd, m_vecMsgs.data(), static_cast<unsigned int>(m_vecMsgs.size()), MSG_DONTWAIT, nullptr);
    if (count >= 0) {
        return count;
    }
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        return 0;
    }
    if (err == EINTR) {
        return SOCK_RET_TRY_AGAIN;
    }
    return err == ECONNRESET ? SOCK_RET_DISCONNECTED : SOCK_RET_ERROR;
}

int CDatagramBatch::read(int fd, int timeoutMs)
{
    if (!valid()) {
        return SOCK_RET_FAIL;
    }
    int count = readQueued(fd);
    if (count != 0) {
        return count;
    }
    pollfd entry{};
    entry.fd = fd;
    entry.events = POLLIN;
    const int ready = ::poll(&entry, 1, timeoutMs);
    if (ready < 0) {
        const int err = errno;
        return (err == EAGAIN || err == EINTR) ? SOCK_RET_TRY_AGAIN : SOCK_RET_ERROR;
    }
    if (ready == 0) {
        return SOCK_RET_TIMEOUT;
    }
    if ((entry.revents & POLLIN) == 0) {
        return SOCK_RET_FAIL;
    }
    count = readQueued(fd);
    return count == 0 ? SOCK_RET_TIMEOUT : count;
}
