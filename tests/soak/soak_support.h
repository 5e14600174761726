// Shared by the soak test and its peer program: the participant record and the messages.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "core/pubsub_support.h"

namespace soak {

constexpr int DOMAIN_ID = 561;
// One discovery group and port for every participant of the soak, whatever its ports.
constexpr int MULTICAST_PORT = 47699;

inline _DomainConfigParam_t record(const std::string& ethName, int domain, int portBase, int unixBase, int keyBase)
{
    _DomainConfigParam_t param = pubsub::loRecord(domain, portBase, unixBase, keyBase, 8);
    param.m_iMulticastPort = MULTICAST_PORT;
    param.m_strEthName = ethName;
    return param;
}

// Sizes from one fragment to many on both socket media.
inline int messageLength(uint32_t seq)
{
    static const int sizes[] = {4, 100, 1438, 1439, 5000, 65502, 65503, 70000};
    return sizes[seq % (sizeof(sizes) / sizeof(sizes[0]))];
}

// A whole message of a soak writer: its length fits its sequence number and every byte its pattern.
inline bool isSoakMessage(const uint8_t* data, int len)
{
    if (data == nullptr || len < 4) {
        return false;
    }
    uint32_t seq = 0;
    std::memcpy(&seq, data, sizeof(seq));
    return len == messageLength(seq) && pubsub::isMessage(data, len, seq);
}

} // namespace soak
