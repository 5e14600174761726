#include "core/transport/media/pcie_receiver.h"

CPCIeReceiver::CPCIeReceiver(const std::string& topicName, CDataManager* dataManager)
    : CDataReceiver(topicName, dataManager)
{
}

CPCIeReceiver::CPCIeReceiver(CDataManager* dataManager) : CDataReceiver(dataManager) {}

CPCIeReceiver::~CPCIeReceiver()
{
    CPCIeReceiver::deinit();
}

bool CPCIeReceiver::init(TransParam_t& param)
{
    std::lock_guard<std::mutex> lock(m_mutexState);
    if (m_bRunning.load() || param.m_iType != TRANS_TYPE_PCIE) {
        return false;
    }
    m_stTransParam = param;
    m_bRunning.store(true);
    if (!m_thread.start(&CPCIeReceiver::recvTask, this)) {
        m_bRunning.store(false);
        return false;
    }
    return true;
}

void CPCIeReceiver::deinit()
{
    std::lock_guard<std::mutex> lock(m_mutexState);
    if (!m_bRunning.load()) {
        return;
    }
    resetFrameRate();
    resetLostPkgCount();
    {
        // Cleared under the wake-up mutex, so that the thread cannot miss it between its check
        // and its wait.
        std::lock_guard<std::mutex> stopLock(m_mutexStop);
        m_bRunning.store(false);
    }
    m_cvStop.notify_all();
    m_thread.join();
}

int CPCIeReceiver::getFps()
{
    return -1;
}

void CPCIeReceiver::recvTask()
{
    std::unique_lock<std::mutex> lock(m_mutexStop);
    m_cvStop.wait(lock, [this] { return !m_bRunning.load(); });
}
