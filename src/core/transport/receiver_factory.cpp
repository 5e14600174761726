#include "core/transport/receiver_factory.h"

#include "core/transport/pcie_receiver.h"
#include "core/transport/share_memory_receiver.h"
#include "core/transport/tcp_receiver.h"
#include "core/transport/udp_receiver.h"
#include "core/transport/unix_socket_receiver.h"

std::unique_ptr<CDataReceiver> CReceiverFactory::createReceiver(int type, const std::string& topicName,
                                                                CDataManager* dataManager)
{
    switch (type) {
    case TRANS_TYPE_TCP:
        return std::make_unique<CTcpReceiver>(topicName, dataManager);
    case TRANS_TYPE_UDP:
        return std::make_unique<CUdpReceiver>(topicName, dataManager);
    case TRANS_TYPE_PCIE:
        return std::make_unique<CPCIeReceiver>(topicName, dataManager);
    case TRANS_TYPE_UNIX_SOCKET:
        return std::make_unique<CUnixSocketReceiver>(topicName, dataManager);
    case TRANS_TYPE_SHARE_MEMORY:
        return std::make_unique<CShareMemoryReceiver>(topicName, dataManager);
    default:
        return nullptr;
    }
}
