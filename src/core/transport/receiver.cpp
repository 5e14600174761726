#include "core/transport/receiver.h"

#include <cstring>
#include <utility>

#include "memory/datacenter.h"

CDataReceiver::CDataReceiver(const std::string& topicName, CDataManager* dataManager)
    : m_pDataManager(dataManager), m_strTopicName(topicName)
{
    std::memset(&m_stTransParam, 0, sizeof(m_stTransParam));
}

CDataReceiver::CDataReceiver(CDataManager* dataManager) : CDataReceiver(std::string(), dataManager) {}

CDataReceiver::~CDataReceiver() = default;

CDataFifo* CDataReceiver::createDataFifo(int policy, int depth)
{
    return m_pDataManager != nullptr ? m_pDataManager->createDataFifo(policy, depth) : nullptr;
}

void CDataReceiver::destroyDataFifo(CDataFifo* fifo)
{
    if (m_pDataManager != nullptr && fifo != nullptr) {
        m_pDataManager->destroyDataFifo(fifo);
    }
}

void CDataReceiver::putEmptyDataPkg(DataPackage_t* pkg)
{
    if (m_pDataManager != nullptr && pkg != nullptr) {
        m_pDataManager->putEmptyDataPkg(pkg);
    }
}

int CDataReceiver::registerDataCallBack(std::function<int(int, DataPackage_t*)> callback)
{
    return m_pDataManager != nullptr ? m_pDataManager->registerCallBack(std::move(callback)) : -1;
}

int CDataReceiver::registerHeldDataCallBack(std::function<void(int, CHeldPkg&)> callback)
{
    return m_pDataManager != nullptr ? m_pDataManager->registerHeldCallBack(std::move(callback)) : -1;
}

void CDataReceiver::unregisterDataCallBack(int id)
{
    if (m_pDataManager != nullptr) {
        m_pDataManager->unregisterCallBack(id);
    }
}

void CDataReceiver::calculateFrameRate()
{
    m_frameRate.count(CFrameRate::nowMs());
}

void CDataReceiver::resetFrameRate()
{
    m_bBusy.store(false);
    m_frameRate.reset(CFrameRate::nowMs());
}

int CDataReceiver::readFps()
{
    return m_frameRate.read(m_bBusy.load());
}

bool CDataReceiver::stopRecvThread()
{
    if (!m_bRunning.load()) {
        return false;
    }
    m_bRunning.store(false);
    m_thread.join();
    // After the join, so that no frame counted by the ending thread survives the reset.
    resetFrameRate();
    resetLostPkgCount();
    return true;
}
