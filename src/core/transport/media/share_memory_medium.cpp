// The shared-memory medium's row: a queue key of the host's pool (the pool holds the configured
// number the key was made from); the reader attaches the topic's pool too.
#include "core/resource_manager.h"
#include "core/transport/media/share_memory_receiver.h"
#include "core/transport/media/share_memory_sender.h"
#include "core/transport/medium.h"
#include "memory/datacenter.h"

namespace {

std::shared_ptr<CDataSender> makeSender(CDataManager* dataManager)
{
    return std::make_shared<CShareMemorySender>(dataManager);
}

std::unique_ptr<CDataReceiver> makeReceiver(const std::string& topicName, CDataManager* dataManager)
{
    return std::make_unique<CShareMemoryReceiver>(topicName, dataManager);
}

int take(int type, const std::string&, TransParam_t* param)
{
    int key = CResourceManager::getInstance()->getShmKey();
    if (key == -1) {
        return -1;
    }
    param->m_iType = type;
    param->m_shmParam.m_iQueueKey = key;
    return 0;
}

int numberOf(const TransParam_t& param)
{
    return param.m_shmParam.m_iQueueKey;
}

void offer(CDataManager& data, const std::string&, TransParam_t& ack, TransParam_t& conn)
{
    ack.m_shmParam.m_iMemPoolKey = data.getMemPoolKey();
    ack.m_shmParam.m_layout = data.getMemPoolLayout();
    ack.m_shmParam.m_u64Reserved = 0;
    conn = ack;
}

} // namespace

const TransMedium_t SHARE_MEMORY_MEDIUM = {
    TRANS_TYPE_SHARE_MEMORY,
    "share memory",
    makeSender,
    makeReceiver,
    take,
    &CResourceManager::putShmKey,
    &CResourceManager::setAsideShmKey,
    SHM_KEY_OFFSET, // the pool takes the configured number the key was made from
    numberOf,
    offer,
    true,    // started before its connection is added
    true,    // the reader attaches the topic's pool
    true,    // this host only
    nullptr, // nothing more to check
};
