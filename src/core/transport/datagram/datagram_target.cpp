#include "core/transport/datagram/datagram_target.h"

#include <netinet/in.h>
#include <netinet/udp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// One datagram; false when it did not go out whole. `err` gets the errno of a failure.
bool sendOne(int fd, const sockaddr* address, int addressLen, const std::pair<unsigned char*, int>& datagram, int flags,
             int* err)
{
    ssize_t result;
    do {
        result = ::sendto(fd, datagram.first, static_cast<size_t>(datagram.second), flags | MSG_NOSIGNAL, address,
                          static_cast<socklen_t>(addressLen));
    } while (result < 0 && errno == EINTR);
    *err = result < 0 ? errno : 0;
    return result == datagram.second;
}

} // namespace

int sendUdpData(int fd, const sockaddr* address, int addressLen, const DatagramList_t& datagrams)
{
    int sent = 0;
    int err = 0;
    for (const auto& datagram : datagrams) {
        if (!sendOne(fd, address, addressLen, datagram, 0, &err)) {
            break;
        }
        ++sent;
    }
    return sent;
}

namespace {

// What one segmented send may carry: the kernel's segment limit, and one UDP datagram's payload.
constexpr size_t SEGMENTS_PER_SEND = 64;
constexpr size_t SEGMENTED_SEND_BYTES = 65507;

size_t fragmentBytes(const GatheredFragment_t& fragment)
{
    return fragment.m_iov[0].iov_len + fragment.m_iov[1].iov_len;
}

// Where the sending of gathered frames to one target stands: the next datagram, whether it starts
// a frame, and how many datagrams from there one send may carry.
class CFrameCursor {
public:
    explicit CFrameCursor(const GatheredList_t& fragments) : m_fragments(fragments) {}

    bool done() const { return m_next >= m_fragments.size(); }
    bool atFrameStart() const { return m_bFrameStart; }
    size_t position() const { return m_next; }
    const GatheredFragment_t& at(size_t index) const { return m_fragments[index]; }
    size_t left() const { return m_fragments.size() - m_next; }

    // The datagrams from `from` that one send may carry: 1, or with `segmented` a run of the same
    // frame whose datagrams all have the first one's length, but for a shorter last one.
    size_t runFrom(size_t from, bool segmented) const
    {
        const size_t segment = fragmentBytes(m_fragments[from]);
        if (!segmented || segment == 0) {
            return 1;
        }
        const size_t limit = std::min<size_t>({SEGMENTS_PER_SEND, SEGMENTED_SEND_BYTES / segment,
                                               m_fragments[from].m_u32FrameLeft, m_fragments.size() - from});
        size_t count = 1;
        while (count < limit) {
            const size_t bytes = fragmentBytes(m_fragments[from + count]);
            if (bytes > segment) {
                break;
            }
            ++count;
            if (bytes < segment) {
                break; // a shorter one ends a segmented send
            }
        }
        return count;
    }
    // `count` datagrams from the cursor went out; true when the last of them ended its frame.
    bool sent(size_t count)
    {
        m_next += count;
        m_bFrameStart = m_fragments[m_next - 1].m_u32FrameLeft <= 1;
        return m_bFrameStart;
    }
    // The datagram at the cursor did not go out whole: the rest of its frame is useless to the
    // reader.
    void dropFrame()
    {
        m_next += std::max<uint32_t>(m_fragments[m_next].m_u32FrameLeft, 1);
        m_bFrameStart = true;
    }

private:
    const GatheredList_t& m_fragments;
    size_t m_next{0};
    bool m_bFrameStart{true};
};

// Messages one sendmmsg takes (the kernel takes up to 1024), and the iovecs the segmented ones of
// a call may use between them.
constexpr size_t SEND_BATCH = 512;
constexpr size_t SEND_BATCH_IOVS = 1024;
// The control buffer of one segmented send.
struct SegmentControl_t {
    alignas(cmsghdr) char m_buf[CMSG_SPACE(sizeof(uint16_t))];
};

// Sends one target's frames, batch by batch, under the stall, segmentation and connection rules
// of DatagramTarget_t.
class CTargetSend {
public:
    CTargetSend(const DatagramTarget_t& target, const GatheredList_t& fragments) : m_target(target), m_cursor(fragments)
    {
    }

    int run()
    {
        while (!m_cursor.done()) {
            if (m_cursor.atFrameStart() && !connect()) {
                m_cursor.dropFrame();
                continue;
            }
            // A stalled reader's frame: its first send is tried without waiting, and the frame is
            // lost for this reader only while it still has no room; the rest follows as usual.
            if (m_cursor.atFrameStart() && stalled()) {
                tryAlone();
                continue;
            }
            const size_t messages = build();
            int done;
            do {
                done = ::sendmmsg(m_target.m_iFd, m_msgs, static_cast<unsigned int>(messages), MSG_NOSIGNAL);
            } while (done < 0 && errno == EINTR);
            if (done < 0) {
                failed(errno, m_runs[0]);
                continue;
            }
            if (!wentOut(static_cast<size_t>(done))) {
                continue;
            }
            if (static_cast<size_t>(done) < messages) {
                // The next one failed after its send bound and its error was not reported: one
                // try without waiting tells why.
                tryAlone();
            }
        }
        return m_iSent;
    }

private:
    bool stalled() const { return m_target.m_pStalled != nullptr && *m_target.m_pStalled; }
    bool segmented() const { return m_target.m_pSegment != nullptr && *m_target.m_pSegment; }
    bool connected() const { return m_target.m_pConnected != nullptr && *m_target.m_pConnected; }

    // A connecting medium's socket is connected before a frame goes out; false (the frame is lost
    // for this reader, as an unconnected send to nobody would lose it) when that is refused.
    bool connect()
    {
        if (m_target.m_pConnected == nullptr || *m_target.m_pConnected) {
            return true;
        }
        int result;
        do {
            result = ::connect(m_target.m_iFd, m_target.m_pAddr, static_cast<socklen_t>(m_target.m_iAddrLen));
        } while (result < 0 && errno == EINTR);
        *m_target.m_pConnected = result == 0;
        return result == 0;
    }

    // Fills the message of the `count` datagrams from `from`; false when their iovecs do not fit.
    bool fill(mmsghdr& entry, SegmentControl_t& control, size_t from, size_t count)
    {
        msghdr& msg = entry.msg_hdr;
        msg = msghdr{};
        entry.msg_len = 0;
        if (!connected()) {
            msg.msg_name = const_cast<sockaddr*>(m_target.m_pAddr);
            msg.msg_namelen = static_cast<socklen_t>(m_target.m_iAddrLen);
        }
        if (count == 1) {
            msg.msg_iov = const_cast<iovec*>(m_cursor.at(from).m_iov);
            msg.msg_iovlen = 2;
            return true;
        }
        if (m_iovsUsed + 2 * count > SEND_BATCH_IOVS) {
            return false;
        }
        iovec* iov = m_iovs + m_iovsUsed;
        for (size_t i = 0; i < count; ++i) {
            iov[2 * i] = m_cursor.at(from + i).m_iov[0];
            iov[2 * i + 1] = m_cursor.at(from + i).m_iov[1];
        }
        m_iovsUsed += 2 * count;
        msg.msg_iov = iov;
        msg.msg_iovlen = 2 * count;
        msg.msg_control = control.m_buf;
        msg.msg_controllen = sizeof(control.m_buf);
        cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
        cmsg->cmsg_level = SOL_UDP;
        cmsg->cmsg_type = UDP_SEGMENT;
        cmsg->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        const uint16_t segment = static_cast<uint16_t>(fragmentBytes(m_cursor.at(from)));
        std::memcpy(CMSG_DATA(cmsg), &segment, sizeof(segment));
        return true;
    }

    // Lays out the next batch from the cursor, across frames; the number of messages.
    size_t build()
    {
        m_iovsUsed = 0;
        size_t messages = 0;
        size_t from = m_cursor.position();
        const size_t end = from + m_cursor.left();
        while (from < end && messages < SEND_BATCH) {
            const size_t count = m_cursor.runFrom(from, segmented());
            if (!fill(m_msgs[messages], m_controls[messages], from, count)) {
                break;
            }
            m_runs[messages] = count;
            ++messages;
            from += count;
        }
        return messages;
    }

    // The first `done` messages of the batch were sent: false when one of them did not go out
    // whole (its frame is then dropped).
    bool wentOut(size_t done)
    {
        for (size_t i = 0; i < done; ++i) {
            size_t bytes = 0;
            for (size_t k = 0; k < m_runs[i]; ++k) {
                bytes += fragmentBytes(m_cursor.at(m_cursor.position() + k));
            }
            if (m_msgs[i].msg_len != bytes) {
                m_cursor.dropFrame();
                return false;
            }
            m_iSent += static_cast<int>(m_runs[i]);
            if (m_cursor.sent(m_runs[i]) && m_target.m_pStalled != nullptr) {
                *m_target.m_pStalled = false; // a frame went out whole
            }
        }
        return true;
    }

    // One send from the cursor without waiting.
    void tryAlone()
    {
        m_iovsUsed = 0;
        const size_t count = m_cursor.runFrom(m_cursor.position(), segmented());
        fill(m_msgs[0], m_controls[0], m_cursor.position(), count);
        m_runs[0] = count;
        ssize_t result;
        do {
            result = ::sendmsg(m_target.m_iFd, &m_msgs[0].msg_hdr, MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (result < 0 && errno == EINTR);
        if (result < 0) {
            failed(errno, count);
            return;
        }
        m_msgs[0].msg_len = static_cast<unsigned int>(result);
        wentOut(1);
    }

    // The send at the cursor (`count` datagrams) failed with `err`.
    void failed(int err, size_t count)
    {
        if (count > 1 && (err == EIO || err == EINVAL || err == EMSGSIZE || err == EOPNOTSUPP)) {
            // The kernel does not segment for this path: this run and all later ones go one by one.
            *m_target.m_pSegment = false;
            return;
        }
        if (m_target.m_pStalled != nullptr && (err == EAGAIN || err == EWOULDBLOCK)) {
            *m_target.m_pStalled = true;
        }
        if (m_target.m_pConnected != nullptr && (err == ECONNREFUSED || err == ENOTCONN || err == ENOENT)) {
            *m_target.m_pConnected = false; // the peer went: connect again at the next frame
        }
        m_cursor.dropFrame();
    }

    const DatagramTarget_t& m_target;
    CFrameCursor m_cursor;
    int m_iSent{0};
    size_t m_iovsUsed{0};
    mmsghdr m_msgs[SEND_BATCH];
    size_t m_runs[SEND_BATCH];
    SegmentControl_t m_controls[SEND_BATCH];
    iovec m_iovs[SEND_BATCH_IOVS];
};

} // namespace

int sendToTarget(const DatagramTarget_t& target, const GatheredList_t& fragments)
{
    CTargetSend send(target, fragments); // about 64 KB of stack
    return send.run();
}
