// The TCP medium's row: a port of the host's pool, never offered by the writing side.
#include "core/resource_manager.h"
#include "core/transport/media/tcp_receiver.h"
#include "core/transport/media/tcp_sender.h"
#include "core/transport/medium.h"

namespace {

std::shared_ptr<CDataSender> makeSender(CDataManager* dataManager)
{
    return std::make_shared<CTcpSender>(dataManager);
}

std::unique_ptr<CDataReceiver> makeReceiver(const std::string& topicName, CDataManager* dataManager)
{
    return std::make_unique<CTcpReceiver>(topicName, dataManager);
}

} // namespace

const TransMedium_t TCP_MEDIUM = {
    TRANS_TYPE_TCP,
    "tcp",
    makeSender,
    makeReceiver,
    takeMediumPort,
    &CResourceManager::putSocketPort,
    &CResourceManager::setAsideSocketPort,
    0,
    mediumPortOf,
    nullptr, // never offered: no row of the control channel opens its channel
    true,    // started before its connection is added
    false,   // the reader attaches no pool
    false,   // any host
    nullptr, // nothing more to check
};
