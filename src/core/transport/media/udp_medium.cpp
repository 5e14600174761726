// The UDP medium's row: a port of the host's pool; the sender sends to the requester, the reader
// is told the writer's address.
#include "core/resource_manager.h"
#include "core/transport/media/udp_receiver.h"
#include "core/transport/media/udp_sender.h"
#include "core/transport/medium.h"

namespace {

std::shared_ptr<CDataSender> makeSender(CDataManager* dataManager)
{
    return std::make_shared<CUdpSender>(dataManager);
}

std::unique_ptr<CDataReceiver> makeReceiver(const std::string& topicName, CDataManager* dataManager)
{
    return std::make_unique<CUdpReceiver>(topicName, dataManager);
}

void offer(CDataManager&, const std::string& requesterIp, TransParam_t&, TransParam_t& conn)
{
    copyMediumText(conn.m_udpParam.m_szIp, sizeof(conn.m_udpParam.m_szIp), requesterIp);
}

} // namespace

const TransMedium_t UDP_MEDIUM = {
    TRANS_TYPE_UDP,
    "udp",
    makeSender,
    makeReceiver,
    takeMediumPort,
    &CResourceManager::putSocketPort,
    &CResourceManager::setAsideSocketPort,
    0,
    mediumPortOf,
    offer,
    true,    // started before its connection is added
    false,   // the reader attaches no pool
    false,   // any host
    nullptr, // nothing more to check
};
