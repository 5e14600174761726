#include "core/transport/medium.h"

#include <algorithm>
#include <cstring>

#include "core/resource_manager.h"

namespace {

// In type-code order: a row's index is its code.
const TransMedium_t* const kMedia[] = {&TCP_MEDIUM, &UDP_MEDIUM, &UNIX_SOCKET_MEDIUM, &SHARE_MEMORY_MEDIUM,
                                       &PCIE_MEDIUM};
constexpr size_t kMediaCount = sizeof(kMedia) / sizeof(kMedia[0]);
static_assert(TRANS_TYPE_TCP == 0 && TRANS_TYPE_UDP == 1 && TRANS_TYPE_UNIX_SOCKET == 2 &&
                  TRANS_TYPE_SHARE_MEMORY == 3 && TRANS_TYPE_PCIE == 4 && kMediaCount == TRANS_TYPE_PCIE + 1,
              "rows in type-code order");

} // namespace

const TransMedium_t* transMedium(int type)
{
    if (type < 0 || static_cast<size_t>(type) >= kMediaCount) {
        return nullptr;
    }
    return kMedia[type];
}

const TransMedium_t* const* transMedia()
{
    return kMedia;
}

size_t transMediaCount()
{
    return kMediaCount;
}

void copyMediumText(char* field, size_t width, const std::string& text)
{
    std::memset(field, 0, width);
    std::copy_n(text.data(), std::min(text.size(), width - 1), field);
}

int takeMediumPort(int type, const std::string&, TransParam_t* param)
{
    CResourceManager* resources = CResourceManager::getInstance();
    int port = resources->getSocketPort();
    if (port == -1) {
        return -1;
    }
    param->m_iType = type;
    param->m_udpParam.m_iPort = port;
    copyMediumText(param->m_udpParam.m_szIp, sizeof(param->m_udpParam.m_szIp), resources->getHostIp());
    return 0;
}

int mediumPortOf(const TransParam_t& param)
{
    return param.m_udpParam.m_iPort;
}
