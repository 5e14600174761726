// A package's fragments gathered without copying its payload: headers written apart, each
// datagram two pieces of memory.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// One fragment gathered from two places: its header, then its slice of the package's payload,
// which stays where it is. `m_u32FrameLeft` counts the datagrams from this one to the end of its
// frame (1 for a frame's last), so a list can hold the frames of several packages.
struct GatheredFragment_t {
    iovec m_iov[2];
    uint32_t m_u32FrameLeft;
};
using GatheredList_t = std::vector<GatheredFragment_t>;

// The fragments of buildFragments without copying the payload: only the headers are written, back
// to back in `headers` (grown as needed, DDS_HEADER_SIZE bytes a fragment); each entry of `out`
// points at its header and at its slice of `pkg`, which must stay valid while they are sent.
// The same refusals as buildFragments, and false when `headers` cannot grow.
bool gatherFragments(const uint8_t* pkg, size_t len, uint32_t fragPayload, std::vector<uint8_t>& headers,
                     GatheredList_t& out);
// The same, appended behind the frames already in `out` (whose headers lie at the start of
// `headers`, DDS_HEADER_SIZE bytes each in list order, and move with it when it grows). A refusal
// leaves both as they were.
bool appendFragments(const uint8_t* pkg, size_t len, uint32_t fragPayload, std::vector<uint8_t>& headers,
                     GatheredList_t& out);
// A list longer than `entries` counts as an allocation that failed (tests stand in for a full
// heap with it); no limit until set.
void setGatheredListLimit(size_t entries);
