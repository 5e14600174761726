#include "core/transport/media/share_memory_receiver.h"

#include <utility>

#include "memory/held_pkg.h"
#include "memory/shm_client.h"
#include "memory/shm_datafifo.h"
#include "utils/dds_common.h"

CShareMemoryReceiver::CShareMemoryReceiver(const std::string& topicName, CDataManager* dataManager)
    : CDataReceiver(topicName, dataManager), m_pClient(std::make_shared<CShmClient>())
{
}

CShareMemoryReceiver::CShareMemoryReceiver(CDataManager* dataManager) : CShareMemoryReceiver(std::string(), dataManager)
{
}

CShareMemoryReceiver::~CShareMemoryReceiver()
{
    CShareMemoryReceiver::deinit(); // this class's own, before the members go
    std::shared_ptr<CShmClient> unused;
    {
        std::lock_guard<std::mutex> lock(m_mutexClient);
        unused.swap(m_pClient);
    }
}

std::shared_ptr<CShmClient> CShareMemoryReceiver::client()
{
    std::lock_guard<std::mutex> lock(m_mutexClient);
    return m_pClient;
}

bool CShareMemoryReceiver::init(TransParam_t& param)
{
    std::lock_guard<std::mutex> state(m_mutexState);
    if (m_bInit.load() || param.m_iType != TRANS_TYPE_SHARE_MEMORY) {
        return false;
    }
    std::shared_ptr<CShmClient> current;
    {
        std::lock_guard<std::mutex> lock(m_mutexClient);
        if (!m_pClient) {
            m_pClient = std::make_shared<CShmClient>();
        }
        current = m_pClient;
    }
    const ShareMemoryParam_t& shm = param.m_shmParam;
    // The client checks the layout against the segment it attaches: the parameter came over TCP.
    if (!current->init(shm.m_iQueueKey, shm.m_iMemPoolKey, shm.m_layout)) {
        DDS_GREEN_LIMITED("Init share memory client failed! mem pool key: %#x, queue key: %#x",
                          static_cast<unsigned>(shm.m_iMemPoolKey), static_cast<unsigned>(shm.m_iQueueKey));
        return false;
    }
    DDS_GREEN_LIMITED_BY(m_strTopicName, "Init share memory client, mem pool key: %#x, queue key: %#x",
                         static_cast<unsigned>(shm.m_iMemPoolKey), static_cast<unsigned>(shm.m_iQueueKey));
    m_stTransParam = param;
    m_bInit.store(true);
    return true;
}

void CShareMemoryReceiver::deinit()
{
    std::lock_guard<std::mutex> state(m_mutexState);
    if (!m_bInit.load()) {
        return;
    }
    resetFrameRate();
    resetLostPkgCount();
    std::shared_ptr<CShmClient> current;
    {
        std::lock_guard<std::mutex> lock(m_mutexClient);
        current.swap(m_pClient);
    }
    // Outside the mutex: deinit joins the queue thread, which may be giving a package back.
    current->deinit();
    m_bInit.store(false);
    // `current` goes with the last snapshot (or FIFO) that still uses it.
}

CDataFifo* CShareMemoryReceiver::createDataFifo(int policy, int depth)
{
    std::lock_guard<std::mutex> lock(m_mutexClient);
    if (!m_pClient) {
        return nullptr;
    }
    auto* fifo = new CShmDataFifo(m_pClient.get(), policy, depth);
    m_mapFifoClient.emplace(fifo, m_pClient);
    return fifo;
}

void CShareMemoryReceiver::destroyDataFifo(CDataFifo* fifo)
{
    std::shared_ptr<CShmClient> owner;
    {
        std::lock_guard<std::mutex> lock(m_mutexClient);
        auto it = m_mapFifoClient.find(fifo);
        if (it == m_mapFifoClient.end()) {
            return;
        }
        owner = std::move(it->second);
        m_mapFifoClient.erase(it);
    }
    // Detaches from `owner`, which is alive until this returns.
    delete fifo;
}

void CShareMemoryReceiver::putEmptyDataPkg(DataPackage_t* pkg)
{
    // Found by address: also a package of a client this receiver has let go.
    CHeldPkg::releaseByAddress(pkg, nullptr);
}

int CShareMemoryReceiver::registerDataCallBack(std::function<int(int, DataPackage_t*)> callback)
{
    std::shared_ptr<CShmClient> current = client();
    return current ? current->registerCallBack(std::move(callback)) : -1;
}

int CShareMemoryReceiver::registerHeldDataCallBack(std::function<void(int, CHeldPkg&)> callback)
{
    std::shared_ptr<CShmClient> current = client();
    return current ? current->registerHeldCallBack(std::move(callback)) : -1;
}

void CShareMemoryReceiver::unregisterDataCallBack(int id)
{
    std::shared_ptr<CShmClient> current = client();
    if (current) {
        current->unregisterCallBack(id);
    }
}

int CShareMemoryReceiver::getFps()
{
    if (!m_bInit.load()) {
        return -1;
    }
    std::shared_ptr<CShmClient> current = client();
    return current ? current->getFps() : -1;
}

void CShareMemoryReceiver::recvTask()
{
    // The interface's thread body: this medium never sets the running flag nor starts a thread.
}
