#include "core/transport/datagram/fragment_gather.h"

#include <atomic>
#include <limits>
#include <new>

#include "core/transport/datagram/fragment_layout.h"
#include "core/transport/transport.h"

namespace {
std::atomic<size_t> g_listLimit{std::numeric_limits<size_t>::max()};
} // namespace

void setGatheredListLimit(size_t entries)
{
    g_listLimit.store(entries, std::memory_order_relaxed);
}

bool gatherFragments(const uint8_t* pkg, size_t len, uint32_t fragPayload, std::vector<uint8_t>& headers,
                     GatheredList_t& out)
{
    out.clear();
    return appendFragments(pkg, len, fragPayload, headers, out);
}

bool appendFragments(const uint8_t* pkg, size_t len, uint32_t fragPayload, std::vector<uint8_t>& headers,
                     GatheredList_t& out)
{
    if (pkg == nullptr || len < DDS_HEADER_SIZE || fragPayload == 0 || len - DDS_HEADER_SIZE > DDS_MAX_FRAME_PAYLOAD) {
        return false;
    }
    const uint32_t payload = static_cast<uint32_t>(len - DDS_HEADER_SIZE);
    const uint32_t count = fragmentCount(payload, fragPayload);
    const size_t first = out.size();
    const uint8_t* before = headers.data();
    try {
        // The list is sized first: once the headers have moved nothing else can fail, so the
        // frames already listed are always re-pointed.
        if (first + count > g_listLimit.load(std::memory_order_relaxed)) {
            throw std::bad_alloc();
        }
        out.reserve(first + count);
        if (headers.size() < (first + count) * DDS_HEADER_SIZE) {
            headers.resize((first + count) * DDS_HEADER_SIZE);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    out.resize(first + count);
    if (headers.data() != before) {
        // The headers moved: the frames already listed follow them.
        for (size_t i = 0; i < first; ++i) {
            out[i].m_iov[0].iov_base = headers.data() + i * DDS_HEADER_SIZE;
        }
    }
    const DDSHeader_t source = readDdsHeader(pkg);
    const uint8_t* from = pkg + DDS_HEADER_SIZE;
    for (uint32_t seqNo = 1; seqNo <= count; ++seqNo) {
        const size_t index = first + seqNo - 1;
        uint8_t* header = headers.data() + index * DDS_HEADER_SIZE;
        const uint32_t pieceLen = fragmentPayloadLen(seqNo, payload, fragPayload);
        writeFragmentHeader(header, source, seqNo, payload, fragPayload);
        GatheredFragment_t& fragment = out[index];
        fragment.m_iov[0].iov_base = header;
        fragment.m_iov[0].iov_len = DDS_HEADER_SIZE;
        fragment.m_iov[1].iov_base = const_cast<uint8_t*>(from);
        fragment.m_iov[1].iov_len = pieceLen;
        fragment.m_u32FrameLeft = count - seqNo + 1;
        from += pieceLen;
    }
    return true;
}
