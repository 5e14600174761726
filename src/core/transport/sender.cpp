#include "core/transport/sender.h"

#include "memory/datacenter.h"
#include "memory/datafifo.h"
#include "utils/thread_utils.h"

CDataSender::CDataSender(CDataManager* dataManager) : m_pDataManager(dataManager) {}

CDataSender::~CDataSender() = default;

void CDataSender::calculateFrameRate()
{
    m_frameRate.count(CFrameRate::nowMs());
}

void CDataSender::resetFrameRate()
{
    m_bSent.store(false);
    m_frameRate.reset(CFrameRate::nowMs());
}

int CDataSender::readFps()
{
    return m_frameRate.read(m_bSent.load());
}

int CDataSender::readFps(int connections)
{
    return connections == 0 ? -1 : readFps();
}

void CDataSender::countSent()
{
    m_bSent.store(true);
    calculateFrameRate();
}

bool CDataSender::startSending(int priority)
{
    std::lock_guard<std::mutex> lock(m_mutexSendState);
    if (m_bRunning.load()) {
        return false;
    }
    if (m_pDataManager != nullptr) {
        m_pSendFifo = m_pDataManager->createDataFifo(FIFO_POLICY_DROP_OLDEST, SEND_FIFO_DEPTH);
    }
    m_bRunning.store(true);
    if (!m_thread.start(&CDataSender::sendTask, this)) {
        m_bRunning.store(false);
        if (m_pSendFifo != nullptr) {
            m_pDataManager->destroyDataFifo(m_pSendFifo);
            m_pSendFifo = nullptr;
        }
        return false;
    }
    if (priority > 0) {
        // Where the system allows it; the medium works the same without.
        CThreadUtils::setPolicyAndPriority(m_thread.handle(), CThreadUtils::SCHED_POLICY_FIFO, priority);
    }
    return true;
}

void CDataSender::stopSending()
{
    std::lock_guard<std::mutex> lock(m_mutexSendState);
    if (!m_bRunning.load()) {
        return;
    }
    m_bRunning.store(false);
    m_thread.join();
    if (m_pSendFifo != nullptr) {
        m_pDataManager->destroyDataFifo(m_pSendFifo);
        m_pSendFifo = nullptr;
    }
    stopped();
}

size_t CDataSender::takePackages(CDataFifo& fifo, SendPass_t& pass)
{
    pass.m_count = 0;
    DataPackage_t* pkg = fifo.getDataPackage(100);
    while (pkg != nullptr) {
        pass.m_pkgs[pass.m_count] = pkg;
        pass.m_data[pass.m_count] = pkgData(pkg);
        // The length this process fixed when it published, within the chunk's capacity.
        pass.m_length[pass.m_count] = m_pDataManager->getDataPkgLen(pkg);
        ++pass.m_count;
        pkg = pass.m_count < SEND_FIFO_DEPTH ? fifo.getDataPackage(0) : nullptr;
    }
    return pass.m_count;
}

void CDataSender::releasePackages(CDataFifo& fifo, SendPass_t& pass)
{
    for (size_t i = 0; i < pass.m_count; ++i) {
        fifo.releaseDataPackage(pass.m_pkgs[i]);
    }
    pass.m_count = 0;
}
