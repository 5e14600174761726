// The channel descriptions and process-memory pools that the datagram media's tests and writing
// processes start from.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "core/transport/transport.h"
#include "memory/mem_pool.h"

namespace dgramtest {

// The UDP channel to `ip`:`port`, the rest zero.
inline TransParam_t udpParam(const std::string& ip, int port)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_UDP;
    std::strncpy(param.m_udpParam.m_szIp, ip.c_str(), sizeof(param.m_udpParam.m_szIp) - 1);
    param.m_udpParam.m_iPort = port;
    return param;
}

// The Unix-domain socket channel at `path` with index `id`, the rest zero.
inline TransParam_t unixParam(const std::string& path, int id)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_UNIX_SOCKET;
    std::strncpy(param.m_unixSocketParam.m_szPath, path.c_str(), sizeof(param.m_unixSocketParam.m_szPath) - 1);
    param.m_unixSocketParam.m_iId = id;
    return param;
}

// A process-memory pool of small packages and `largeCount` packages of `largeSize` bytes.
inline MemConfig_t poolConfig(int largeSize, int largeCount)
{
    MemConfig_t cfg{};
    cfg.m_iKey = -1;
    cfg.m_u32MaxPoolSize = 0x10000000;
    cfg.m_stGroup[0] = MemGroup_t{0, 4096, 16};
    cfg.m_stGroup[1] = MemGroup_t{1, largeSize, largeCount};
    cfg.m_iGroupCount = 2;
    return cfg;
}

} // namespace dgramtest
