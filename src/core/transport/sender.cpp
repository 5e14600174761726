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

bool CDataSender::sendPackage(unsigned char*, int)
{
    return false;
}

void CDataSender::sendPackages(size_t count, unsigned char* const* data, const int* length, bool* sent)
{
    for (size_t i = 0; i < count; ++i) {
        sent[i] = sendPackage(data[i], length[i]);
    }
}

void CDataSender::sendLoop()
{
    CDataFifo* fifo = m_pSendFifo;
    if (fifo == nullptr) {
        return; // no data manager: nothing will ever be published to this sender
    }
    DataPackage_t* pkgs[SEND_FIFO_DEPTH];
    unsigned char* data[SEND_FIFO_DEPTH];
    int length[SEND_FIFO_DEPTH];
    bool sent[SEND_FIFO_DEPTH];
    while (m_bRunning.load()) {
        m_bSent.store(false);
        DataPackage_t* pkg = fifo->getDataPackage(100);
        if (pkg == nullptr) {
            continue;
        }
        // Whatever queued up meanwhile goes in the same pass, so its datagrams share system calls.
        size_t count = 0;
        while (pkg != nullptr) {
            pkgs[count] = pkg;
            data[count] = pkgData(pkg);
            // The length this process fixed when it published, within the chunk's capacity.
            length[count] = m_pDataManager->getDataPkgLen(pkg);
            sent[count] = false;
            ++count;
            pkg = count < SEND_FIFO_DEPTH ? fifo->getDataPackage(0) : nullptr;
        }
        sendPackages(count, data, length, sent);
        for (size_t i = 0; i < count; ++i) {
            if (sent[i]) {
                countSent();
            }
            fifo->releaseDataPackage(pkgs[i]);
        }
    }
}
