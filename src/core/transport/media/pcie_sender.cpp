#include "core/transport/media/pcie_sender.h"

CPCIeSender::CPCIeSender(CDataManager* dataManager) : CDataSender(dataManager) {}

CPCIeSender::~CPCIeSender()
{
    CPCIeSender::deinit();
}

bool CPCIeSender::init()
{
    std::lock_guard<std::mutex> lock(m_mutexState);
    if (m_bRunning.load()) {
        return false;
    }
    m_bRunning.store(true);
    if (!m_thread.start(&CPCIeSender::sendTask, this)) {
        m_bRunning.store(false);
        return false;
    }
    return true;
}

bool CPCIeSender::isInit()
{
    return m_bRunning.load();
}

void CPCIeSender::deinit()
{
    std::lock_guard<std::mutex> lock(m_mutexState);
    if (!m_bRunning.load()) {
        return;
    }
    resetFrameRate();
    {
        // Cleared under the wake-up mutex, so that the thread cannot miss it between its check
        // and its wait.
        std::lock_guard<std::mutex> stopLock(m_mutexStop);
        m_bRunning.store(false);
    }
    m_cvStop.notify_all();
    m_thread.join();
}

bool CPCIeSender::addConn(int connId, TransParam_t& param)
{
    (void)connId;
    (void)param;
    return false;
}

bool CPCIeSender::delConn(int connId)
{
    (void)connId;
    return false;
}

bool CPCIeSender::isConnExist(int connId)
{
    (void)connId;
    return false;
}

int CPCIeSender::getClientCount()
{
    return 0;
}

int CPCIeSender::getPort(int connId)
{
    (void)connId;
    return -1;
}

int CPCIeSender::getFps()
{
    return -1;
}

void CPCIeSender::sendTask()
{
    std::unique_lock<std::mutex> lock(m_mutexStop);
    m_cvStop.wait(lock, [this] { return !m_bRunning.load(); });
}
