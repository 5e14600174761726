#include "core/transport/sender_factory.h"

#include "core/transport/medium.h"

std::shared_ptr<CDataSender> CSenderFactory::createSender(int type, CDataManager* dataManager)
{
    const TransMedium_t* medium = transMedium(type);
    return medium != nullptr ? medium->m_fnMakeSender(dataManager) : nullptr;
}
