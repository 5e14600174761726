#include "core/transport/receiver_factory.h"

#include "core/transport/unix_socket_receiver.h"

std::unique_ptr<CDataReceiver> CReceiverFactory::createReceiver(int type, const std::string& topicName,
                                                                CDataManager* dataManager)
{
    switch (type) {
    case TRANS_TYPE_UNIX_SOCKET:
        return std::make_unique<CUnixSocketReceiver>(topicName, dataManager);
    case TRANS_TYPE_TCP:
    case TRANS_TYPE_UDP:
    case TRANS_TYPE_SHARE_MEMORY:
    case TRANS_TYPE_PCIE:
    default:
        return nullptr;
    }
}
