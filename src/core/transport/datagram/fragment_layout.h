// The layout of a package's fragments: how many, their lengths and flags, and their headers.
// Both sides of the datagram media follow it.
#pragma once

#include <cstdint>

#include "core/transport/transport.h"

// Number of fragments of a payload of `payload` bytes in pieces of at most `fragPayload` bytes:
// 1 for an empty payload, else the quotient rounded up. 0 for a fragment size of 0.
uint32_t fragmentCount(uint32_t payload, uint32_t fragPayload);
// Payload bytes of fragment `seqNo` (1..n) of a frame of `totalLen` payload bytes.
uint32_t fragmentPayloadLen(uint32_t seqNo, uint32_t totalLen, uint32_t fragPayload);
// Flag of fragment `seqNo` of `count`: first (also when it is the only one), last, middle.
uint8_t fragmentFlag(uint32_t seqNo, uint32_t count);

// Writes the header of fragment `seqNo` of a frame of `payload` bytes at `to` (flag, number, the
// source's type and time stamp, lengths, count).
void writeFragmentHeader(uint8_t* to, const DDSHeader_t& source, uint32_t seqNo, uint32_t payload,
                         uint32_t fragPayload);
// Writes fragment `seqNo` of a frame of `payload` bytes at `to`: its header (flag, number, the
// source's type and time stamp, lengths, count) and its slice, read at `from`. Its payload length.
uint32_t writeFragment(uint8_t* to, const DDSHeader_t& source, const uint8_t* from, uint32_t seqNo, uint32_t payload,
                       uint32_t fragPayload);
