#include "core/transport/sender_factory.h"

#include "core/transport/pcie_sender.h"
#include "core/transport/share_memory_sender.h"
#include "core/transport/tcp_sender.h"
#include "core/transport/udp_sender.h"
#include "core/transport/unix_socket_sender.h"

std::shared_ptr<CDataSender> CSenderFactory::createSender(int type, CDataManager* dataManager)
{
    switch (type) {
    case TRANS_TYPE_TCP:
        return std::make_shared<CTcpSender>(dataManager);
    case TRANS_TYPE_UDP:
        return std::make_shared<CUdpSender>(dataManager);
    case TRANS_TYPE_PCIE:
        return std::make_shared<CPCIeSender>(dataManager);
    case TRANS_TYPE_UNIX_SOCKET:
        return std::make_shared<CUnixSocketSender>(dataManager);
    case TRANS_TYPE_SHARE_MEMORY:
        return std::make_shared<CShareMemorySender>(dataManager);
    default:
        return nullptr;
    }
}
