// Where the sending of gathered frames to one destination stands: the next datagram, whether it
// starts a frame, and how many datagrams from there one send may carry.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/transport/fragment_gather.h"

// What one segmented send may carry: the kernel's segment limit, and one UDP datagram's payload.
constexpr size_t SEGMENTS_PER_SEND = 64;
constexpr size_t SEGMENTED_SEND_BYTES = 65507;

inline size_t fragmentBytes(const GatheredFragment_t& fragment)
{
    return fragment.m_iov[0].iov_len + fragment.m_iov[1].iov_len;
}

// Where the sending to one target stands in its list of gathered frames.
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
