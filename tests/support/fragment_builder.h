// Whole copies of a package's fragments, as a conforming sender puts them on the wire: what the
// tests compare the senders' datagrams against, and what test peers and the fuzz target send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/transport/datagram/datagram_target.h"
#include "core/transport/datagram/fragment_layout.h"

// Bytes of scratch space buildFragments needs: a header per fragment plus the payload.
inline size_t fragmentScratchSize(uint32_t payload, uint32_t fragPayload)
{
    return static_cast<size_t>(fragmentCount(payload, fragPayload)) * DDS_HEADER_SIZE + payload;
}

// Cuts one package (`len` bytes: its 34-byte header, then the payload) into fragments laid out
// back to back in `scratch`, each a full header (magic, flag, the package's type and time stamp,
// fragment number from 1, this fragment's payload length, the frame's payload length, the
// fragment count, reserved bytes 0) and its slice of the payload; `out` receives one
// (start, length) pair per fragment. False, with `out` empty, for a package shorter than a
// header, a payload above DDS_MAX_FRAME_PAYLOAD, a fragment size of 0 or too little scratch.
// The senders gather their datagrams instead (gatherFragments); these whole copies are what the
// checks compare the gathered ones against and what test peers send.
inline bool buildFragments(const uint8_t* pkg, size_t len, uint32_t fragPayload, uint8_t* scratch, size_t scratchSize,
                           DatagramList_t& out)
{
    out.clear();
    if (pkg == nullptr || scratch == nullptr || len < DDS_HEADER_SIZE || fragPayload == 0 ||
        len - DDS_HEADER_SIZE > DDS_MAX_FRAME_PAYLOAD) {
        return false;
    }
    const uint32_t payload = static_cast<uint32_t>(len - DDS_HEADER_SIZE);
    const uint32_t count = fragmentCount(payload, fragPayload);
    if (scratchSize < fragmentScratchSize(payload, fragPayload)) {
        return false;
    }
    const DDSHeader_t source = readDdsHeader(pkg);
    const uint8_t* from = pkg + DDS_HEADER_SIZE;
    uint8_t* to = scratch;
    out.reserve(count);
    for (uint32_t seqNo = 1; seqNo <= count; ++seqNo) {
        const uint32_t pieceLen = writeFragment(to, source, from, seqNo, payload, fragPayload);
        out.emplace_back(to, static_cast<int>(DDS_HEADER_SIZE + pieceLen));
        to += DDS_HEADER_SIZE + pieceLen;
        from += pieceLen;
    }
    return true;
}
