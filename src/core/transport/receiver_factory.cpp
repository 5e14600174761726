#include "core/transport/receiver_factory.h"

#include "core/transport/medium.h"

std::unique_ptr<CDataReceiver> CReceiverFactory::createReceiver(int type, const std::string& topicName,
                                                                CDataManager* dataManager)
{
    const TransMedium_t* medium = transMedium(type);
    return medium != nullptr ? medium->m_fnMakeReceiver(topicName, dataManager) : nullptr;
}
