// The Unix-domain socket medium's row: a socket index of the host's pool, which with the topic
// makes the reader's path; the send thread starts once the first connection is there.
#include <cstring>

#include "core/resource_manager.h"
#include "core/transport/media/unix_socket_receiver.h"
#include "core/transport/media/unix_socket_sender.h"
#include "core/transport/medium.h"
#include "utils/dds_common.h"

namespace {

std::shared_ptr<CDataSender> makeSender(CDataManager* dataManager)
{
    return std::make_shared<CUnixSocketSender>(dataManager);
}

std::unique_ptr<CDataReceiver> makeReceiver(const std::string& topicName, CDataManager* dataManager)
{
    return std::make_unique<CUnixSocketReceiver>(topicName, dataManager);
}

int take(int type, const std::string& topic, TransParam_t* param)
{
    CResourceManager* resources = CResourceManager::getInstance();
    int id = resources->getUnixSocketId();
    if (id == -1) {
        return -1;
    }
    char path[DDS_PATH_TEXT_SIZE];
    if (!makeUnixSocketPath(topic, id, path)) {
        DDS_RED("Error: topic %s has no unix socket path for index %d!", topic.c_str(), id);
        resources->putUnixSocketId(id);
        return -1;
    }
    param->m_iType = type;
    param->m_unixSocketParam.m_iId = id;
    std::memcpy(param->m_unixSocketParam.m_szPath, path, sizeof(path));
    return 0;
}

int numberOf(const TransParam_t& param)
{
    return param.m_unixSocketParam.m_iId;
}

void offer(CDataManager&, const std::string&, TransParam_t&, TransParam_t&) {}

// The receiver unlinks a stale file at this path: only the path our own topic has.
bool acceptable(const std::string& topic, const TransParam_t& param)
{
    char expected[DDS_PATH_TEXT_SIZE];
    return makeUnixSocketPath(topic, param.m_unixSocketParam.m_iId, expected) &&
           std::strcmp(expected, param.m_unixSocketParam.m_szPath) == 0;
}

} // namespace

const TransMedium_t UNIX_SOCKET_MEDIUM = {
    TRANS_TYPE_UNIX_SOCKET,
    "unix socket",
    makeSender,
    makeReceiver,
    take,
    &CResourceManager::putUnixSocketId,
    &CResourceManager::setAsideUnixSocketId,
    0,
    numberOf,
    offer,
    false, // started once its first connection is there
    false, // the reader attaches no pool
    true,  // this host only
    acceptable,
};
