#include "core/transport/transport.h"

#include <cstdio>
#include <cstring>

DDSHeader_t readDdsHeader(const uint8_t* data)
{
    DDSHeader_t header;
    std::memcpy(&header, data, sizeof(header));
    return header;
}

void writeDdsHeader(uint8_t* data, const DDSHeader_t& header)
{
    std::memcpy(data, &header, sizeof(header));
}

DDSHeader_t makeDdsHeader(uint8_t flag, uint8_t type)
{
    DDSHeader_t header;
    std::memset(&header, 0, sizeof(header));
    for (size_t i = 0; i < sizeof(DDS_HEADER_MAGIC); ++i) {
        header.m_u8Magic[i] = DDS_HEADER_MAGIC[i];
    }
    header.m_u8Flag = flag;
    header.m_u8Type = type;
    return header;
}

bool hasDdsMagic(const uint8_t* data, size_t len)
{
    return data != nullptr && len >= sizeof(DDS_HEADER_MAGIC) &&
           std::memcmp(data, DDS_HEADER_MAGIC, sizeof(DDS_HEADER_MAGIC)) == 0;
}

bool isTextTerminated(const char* field, size_t width)
{
    return field != nullptr && std::memchr(field, '\0', width) != nullptr;
}

bool decodeTransParam(const uint8_t* data, size_t len, TransParam_t* out)
{
    if (data == nullptr || out == nullptr || len < sizeof(TransParam_t)) {
        return false;
    }
    TransParam_t param;
    std::memcpy(&param, data, sizeof(param));
    switch (param.m_iType) {
    case TRANS_TYPE_TCP:
        if (!isTextTerminated(param.m_tcpParam.m_szIp, sizeof(param.m_tcpParam.m_szIp))) {
            return false;
        }
        break;
    case TRANS_TYPE_UDP:
        if (!isTextTerminated(param.m_udpParam.m_szIp, sizeof(param.m_udpParam.m_szIp))) {
            return false;
        }
        break;
    case TRANS_TYPE_UNIX_SOCKET:
        if (!isTextTerminated(param.m_unixSocketParam.m_szPath, sizeof(param.m_unixSocketParam.m_szPath))) {
            return false;
        }
        break;
    case TRANS_TYPE_SHARE_MEMORY: {
        const MemPoolLayout_t& layout = param.m_shmParam.m_layout;
        if (layout.m_iGroupCount < 0 || layout.m_iGroupCount > MEM_MAX_GROUPS) {
            return false;
        }
        for (int i = 0; i < layout.m_iGroupCount; ++i) {
            if (layout.m_stGroup[i].m_iChunkSize < 0 || layout.m_stGroup[i].m_iChunkCount < 0) {
                return false;
            }
        }
        break;
    }
    case TRANS_TYPE_PCIE:
        break;
    default:
        return false;
    }
    *out = param;
    return true;
}

bool makeUnixSocketPath(const std::string& topicName, int index, char (&out)[DDS_PATH_TEXT_SIZE])
{
    if (topicName.empty() || index < 0 || topicName.find('/') != std::string::npos ||
        topicName.find('\0') != std::string::npos) {
        return false;
    }
    char path[DDS_PATH_TEXT_SIZE];
    int written = std::snprintf(path, sizeof(path), "/tmp/%s-%d", topicName.c_str(), index);
    if (written <= 0 || static_cast<size_t>(written) >= sizeof(path)) {
        return false;
    }
    std::memset(out, 0, sizeof(out));
    std::memcpy(out, path, static_cast<size_t>(written));
    return true;
}
