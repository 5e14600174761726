#include "core/transport/sender_factory.h"

#include "core/transport/unix_socket_sender.h"

std::shared_ptr<CDataSender> CSenderFactory::createSender(int type, CDataManager* dataManager)
{
    switch (type) {
    case TRANS_TYPE_UNIX_SOCKET:
        return std::make_shared<CUnixSocketSender>(dataManager);
    case TRANS_TYPE_TCP:
    case TRANS_TYPE_UDP:
    case TRANS_TYPE_SHARE_MEMORY:
    case TRANS_TYPE_PCIE:
    default:
        return nullptr;
    }
}
