#include "core/transport/datagram/fragment_layout.h"

#include <cstring>

uint32_t fragmentCount(uint32_t payload, uint32_t fragPayload)
{
    if (fragPayload == 0) {
        return 0;
    }
    if (payload == 0) {
        return 1;
    }
    return static_cast<uint32_t>((static_cast<uint64_t>(payload) + fragPayload - 1) / fragPayload);
}

uint32_t fragmentPayloadLen(uint32_t seqNo, uint32_t totalLen, uint32_t fragPayload)
{
    uint32_t count = fragmentCount(totalLen, fragPayload);
    if (seqNo == 0 || seqNo > count) {
        return 0;
    }
    if (seqNo < count) {
        return fragPayload;
    }
    return totalLen - (count - 1) * fragPayload;
}

uint8_t fragmentFlag(uint32_t seqNo, uint32_t count)
{
    if (seqNo <= 1) {
        return PKT_FLAG_FIRST;
    }
    return seqNo == count ? PKT_FLAG_LAST : PKT_FLAG_MIDDLE;
}

void writeFragmentHeader(uint8_t* to, const DDSHeader_t& source, uint32_t seqNo, uint32_t payload, uint32_t fragPayload)
{
    const uint32_t count = fragmentCount(payload, fragPayload);
    DDSHeader_t header = makeDdsHeader(fragmentFlag(seqNo, count), source.m_u8Type);
    header.m_u32SeqNo = seqNo;
    header.m_u64TimeStamp = source.m_u64TimeStamp;
    header.m_u32DataLen = fragmentPayloadLen(seqNo, payload, fragPayload);
    header.m_u32TotalLen = payload;
    header.m_u32PktCount = count;
    writeDdsHeader(to, header);
}

uint32_t writeFragment(uint8_t* to, const DDSHeader_t& source, const uint8_t* from, uint32_t seqNo, uint32_t payload,
                       uint32_t fragPayload)
{
    writeFragmentHeader(to, source, seqNo, payload, fragPayload);
    const uint32_t pieceLen = fragmentPayloadLen(seqNo, payload, fragPayload);
    std::memcpy(to + DDS_HEADER_SIZE, from, pieceLen);
    return pieceLen;
}
