// What the two demo programs share: options, the participant's configuration, the message layout
// and the printing of a topic's status figures. Only the public headers are used.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zqdds/dds_types.h"
#include "zqdds/participant.h"

namespace demo {

struct Options {
    std::string config;           // JSON configuration file; empty: the record below
    std::string topic{"zq_demo"}; // topic name
    int count{300};               // messages the writer sends
    int rate{100};                // messages per second
    int size{1024};               // payload bytes per message (at least the 8-byte head)
    int waitSec{20};              // how long to wait for the other side
    std::string ready;            // the reader creates it on its first message; empty: /tmp/<topic>.ready
};

inline void usage(const char* prog, bool writer)
{
    std::fprintf(stderr,
                 "usage: %s [--config FILE] [--topic NAME] [--wait SECONDS] [--ready FILE]%s\n"
                 "  without --config: domain 66, discovery 224.5.6.7:8888 every second, interface lo\n"
                 "  --ready: the file by which the reader tells the writer it receives (/tmp/<topic>.ready)\n",
                 prog, writer ? " [--count N] [--rate PER_SECOND] [--size BYTES]" : "");
}

// False (after the usage line) for an unknown option or a value out of range.
inline bool parse(int argc, char** argv, bool writer, Options* opt)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--config" && hasValue) {
            opt->config = argv[++i];
        } else if (arg == "--topic" && hasValue) {
            opt->topic = argv[++i];
        } else if (arg == "--ready" && hasValue) {
            opt->ready = argv[++i];
        } else if (arg == "--wait" && hasValue) {
            opt->waitSec = std::atoi(argv[++i]);
        } else if (writer && arg == "--count" && hasValue) {
            opt->count = std::atoi(argv[++i]);
        } else if (writer && arg == "--rate" && hasValue) {
            opt->rate = std::atoi(argv[++i]);
        } else if (writer && arg == "--size" && hasValue) {
            opt->size = std::atoi(argv[++i]);
        } else {
            usage(argv[0], writer);
            return false;
        }
    }
    if (opt->topic.empty() || opt->waitSec <= 0 || opt->count <= 0 || opt->rate <= 0 || opt->size < 8 ||
        opt->size > 64 * 1024 * 1024) {
        usage(argv[0], writer);
        return false;
    }
    if (opt->ready.empty()) {
        opt->ready = "/tmp/" + opt->topic + ".ready";
    }
    return true;
}

// The configuration used without a file: loopback, a discovery period of one second.
inline _DomainConfigParam_t loopbackRecord()
{
    _DomainConfigParam_t param;
    param.m_iDomainId = 66;
    param.m_strMulticastIp = "224.5.6.7";
    param.m_iMulticastPort = 8888;
    param.m_iDiscoverPeriod = 1;
    for (int i = 0; i < 10; ++i) {
        param.m_vecSocketPorts.push_back(6000 + i);
        param.m_vecUnixSocketIdx.push_back(i);
        param.m_vecShmKeys.push_back(1000 + i);
    }
    param.m_iMaxMemPoolSize = 0x4000000;
    param.m_strEthName = "lo";
    return param;
}

inline CParticipant* makeParticipant(const Options& opt)
{
    if (!opt.config.empty()) {
        return new CParticipant(opt.config);
    }
    _DomainConfigParam_t param = loopbackRecord();
    return new CParticipant(param);
}

// Head of every message: its number and how many the writer sends. A warm-up message, which the
// writer repeats until the reader has one, carries a total of 0 and is not counted.
struct MsgHead {
    uint32_t seq;
    uint32_t total;
};

inline bool fileExists(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f != nullptr) {
        std::fclose(f);
    }
    return f != nullptr;
}

// Wall-clock microseconds, the clock of the writer's time stamp.
inline uint64_t nowUs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

inline const char* channelName(int type)
{
    switch (type) {
    case 0:
        return "tcp port";
    case 1:
        return "udp port";
    case 2:
        return "unix socket";
    case 3:
        return "shared memory key";
    case 4:
        return "pcie";
    default:
        return "unknown";
    }
}

// One line of a topic's figures, as getDdsInfo gives them; false when the side has no such topic.
inline bool printInfo(const char* who, CParticipant& participant, const std::string& topic, int kind)
{
    _DdsInfo_t info{};
    info.m_iMsgChnPort = -1;
    info.m_iClientCount = -1;
    info.m_iTopicState = -1;
    info.m_i64LostPkgCount = -1;
    if (participant.getDdsInfo(topic, kind, info) != 0) {
        return false;
    }
    std::string channels;
    for (const _DataTransChnInfo_t& chn : info.m_vecDataChnInfo) {
        channels += std::string(channels.empty() ? "" : ", ") + channelName(chn.m_iTransType) + " " +
                    std::to_string(chn.m_iPort);
    }
    std::string fps;
    for (int f : info.m_vecFps) {
        fps += (fps.empty() ? "" : ",") + std::to_string(f);
    }
    std::printf("%s   getDdsInfo: control port %d, data channels [%s], ", who, info.m_iMsgChnPort,
                channels.empty() ? "none" : channels.c_str());
    if (kind == DDS_INFO_PUB) {
        std::printf("readers %d, fps [%s]\n", info.m_iClientCount, fps.c_str());
    } else {
        std::printf("state %s, lost packets %lld, fps [%s]\n",
                    info.m_iTopicState == TOPIC_STATE_SUBSCRIBED ? "subscribed" : "waiting",
                    static_cast<long long>(info.m_i64LostPkgCount), fps.c_str());
    }
    std::fflush(stdout);
    return true;
}

} // namespace demo
