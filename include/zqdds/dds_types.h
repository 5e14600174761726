// Public records of libzqdds: configuration, topic layouts, lent buffers and status figures.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zqdds_export.h"

struct DataPackage_t;

// One size group of a memory pool: group number, data capacity of each chunk, chunk count.
struct MemGroup_t {
    int m_iGrpId;
    int m_iChunkSize;
    int m_iChunkCount;
};

// Participant configuration filled by the application.
struct _DomainConfigParam_t {
    int m_iDomainId;
    std::string m_strMulticastIp;
    int m_iMulticastPort;
    int m_iDiscoverPeriod;
    std::vector<int> m_vecSocketPorts;
    std::vector<int> m_vecUnixSocketIdx;
    std::vector<int> m_vecShmKeys;
    int m_iMaxMemPoolSize;
    std::string m_strEthName;
};

// Optional shared-memory configuration of a topic: the application's own layout, or the default one.
struct ShmConfig_t {
    bool m_bUseUserLayout;
    int m_iGroupCount;
    MemGroup_t m_groups[16];
};

// One data channel of a topic in a status record.
struct _DataTransChnInfo_t {
    int m_iTransType;
    int m_iPort;
};

// Which side of a topic CParticipant::getDdsInfo reports.
enum DdsInfoKind_e {
    DDS_INFO_PUB = 0,
    DDS_INFO_SUB = 1,
};

// A subscriber's state of a topic, reported in _DdsInfo_t::m_iTopicState.
enum TopicState_e {
    TOPIC_STATE_UNSUBSCRIBED = 0, // waiting for a publisher; discovery announces it
    TOPIC_STATE_SUBSCRIBED = 1,   // the publisher's control endpoint was received
};

// Per-topic status filled by CParticipant::getDdsInfo.
struct _DdsInfo_t {
    int m_iMsgChnPort;
    std::vector<_DataTransChnInfo_t> m_vecDataChnInfo;
    int m_iClientCount;
    int m_iTopicState;
    std::vector<int> m_vecFps;
    int64_t m_i64LostPkgCount;
};

// A package lent to the application by a writer or a reader; the library owns it.
struct _DataBuffer_t {
    uint64_t m_u64TimeStamp;
    int m_iSize;
    int m_iLen;
    uint8_t* m_pData;
    DataPackage_t* m_pPkg;
};

// What a reader reports with each message: the writer's send time in microseconds (wall clock).
struct _ExtraDataInfo_t {
    uint64_t m_u64TimeStamp;
};

// The application's data callback: payload, payload length, extra information; its result is ignored.
using UserDataCallBack_t = std::function<int(void*, int, _ExtraDataInfo_t*)>;
