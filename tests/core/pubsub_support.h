// Shared by the publisher, subscriber, writer and reader tests and their helper program: a
// loopback participant record, the hand-over of a writing side's control endpoint to a reading
// side (what discovery does), and a payload pattern that tells messages apart.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/participant_impl.h"
#include "core/topic_impl.h"
#include "core/transport/transport.h"
#include "utils/dds_common.h"
#include "zqdds/dds_types.h"
#include "zqdds/topic.h"

namespace pubsub {

// A participant on the loopback interface with `count` ports, Unix-socket indices and key
// numbers from the given bases.
inline _DomainConfigParam_t loRecord(int domain, int portBase, int unixBase, int keyBase, int count = 4)
{
    _DomainConfigParam_t param;
    param.m_iDomainId = domain;
    param.m_strMulticastIp = "224.53.0." + std::to_string(domain % 250 + 1);
    param.m_iMulticastPort = portBase + 99;
    param.m_iDiscoverPeriod = 1;
    for (int i = 0; i < count; ++i) {
        param.m_vecSocketPorts.push_back(portBase + i);
        param.m_vecUnixSocketIdx.push_back(unixBase + i);
        param.m_vecShmKeys.push_back(keyBase + i);
    }
    param.m_iMaxMemPoolSize = 0x4000000;
    param.m_strEthName = "lo";
    return param;
}

// The participant a topic handle was made by.
inline CParticipantImpl* participantOf(CTopic* topic)
{
    return static_cast<CTopicImpl*>(topic->getTopicDescImpl())->getParticipantImpl();
}

// A control endpoint as discovery carries it.
inline TransParam_t controlEndpoint(const std::string& ip, int port)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_TCP;
    std::strncpy(param.m_tcpParam.m_szIp, ip.c_str(), sizeof(param.m_tcpParam.m_szIp) - 1);
    param.m_tcpParam.m_iPort = port;
    return param;
}

// Gives the reading side the writing side's endpoint of `topic`, as a discovery answer would:
// 0 when the reading side took it. Once discovery runs it may have done so already (then -1).
inline int handOver(CParticipantImpl* writing, CParticipantImpl* reading, const std::string& topic)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    if (writing->getPubTopicMsgTransParam(topic, &param) != 0 || param.m_iType != TRANS_TYPE_TCP) {
        return -1;
    }
    if (reading->setSubTopicMsgTransParam(topic, param) == 0) {
        return 0;
    }
    // Discovery runs too and may have handed the endpoint over first.
    _DdsInfo_t info{};
    info.m_iTopicState = -1;
    reading->getDdsInfo(topic, DDS_INFO_SUB, info);
    return info.m_iTopicState == TOPIC_STATE_SUBSCRIBED ? 0 : -1;
}

// Message `seq` of `len` bytes: the sequence number in its first four bytes (as far as they go),
// then bytes that depend on both.
inline void fillPattern(uint8_t* data, int len, uint32_t seq)
{
    uint8_t head[4];
    std::memcpy(head, &seq, sizeof(head));
    for (int i = 0; i < len; ++i) {
        data[i] = i < 4 ? head[i] : static_cast<uint8_t>((seq * 31u + static_cast<uint32_t>(i)) & 0xFFu);
    }
}

inline std::vector<uint8_t> makeMessage(int len, uint32_t seq)
{
    std::vector<uint8_t> data(static_cast<size_t>(len));
    fillPattern(data.data(), len, seq);
    return data;
}

// True when `data` is message `seq` of `len` bytes.
inline bool isMessage(const uint8_t* data, int len, uint32_t seq)
{
    std::vector<uint8_t> expected = makeMessage(len, seq);
    return len == 0 || std::memcmp(data, expected.data(), static_cast<size_t>(len)) == 0;
}

} // namespace pubsub
