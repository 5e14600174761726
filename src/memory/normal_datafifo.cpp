#include "memory/normal_datafifo.h"

#include <chrono>

#include "memory/datacenter.h"

CNormalDataFifo::CNormalDataFifo(CDataCenter* center, int policy, int depth)
    : CDataFifo(policy, depth), m_pDataCenter(center)
{
    if (m_pDataCenter != nullptr) {
        m_pDataCenter->attachFifo(this);
    }
}

CNormalDataFifo::~CNormalDataFifo()
{
    // Detaching takes the center's FIFO-list mutex, so no fan-out is inside a push once it
    // returns and none can start one; only then is the queue emptied for good.
    if (m_pDataCenter != nullptr) {
        m_pDataCenter->detachFifo(this);
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxQueue);
        m_bEnable = false;
        m_cvQueue.notify_all();
    }
    CNormalDataFifo::clear();
}

void CNormalDataFifo::clear()
{
    std::lock_guard<std::mutex> lock(m_mtxQueue);
    while (!m_quePkgs.empty()) {
        DataPackage_t* pkg = m_quePkgs.front();
        m_quePkgs.pop();
        if (m_pDataCenter != nullptr) {
            m_pDataCenter->releasePackage(pkg);
        }
    }
    m_cvQueue.notify_one();
}

int CNormalDataFifo::pushDataPackage(DataPackage_t* pkg)
{
    if (pkg == nullptr || m_pDataCenter == nullptr) {
        return -1;
    }
    DataPackage_t* dropped = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mtxQueue);
        if (!m_bEnable) {
            return -1;
        }
        if (m_quePkgs.size() >= static_cast<size_t>(m_iDepth)) {
            // Depth 0 has nothing to drop: refuse rather than pop an empty queue.
            if (m_iPolicy != FIFO_POLICY_DROP_OLDEST || m_quePkgs.empty()) {
                return -1;
            }
            dropped = m_quePkgs.front();
            m_quePkgs.pop();
        }
        m_quePkgs.push(pkg);
        m_cvQueue.notify_one();
    }
    if (dropped != nullptr) {
        m_pDataCenter->releasePackage(dropped);
    }
    return 0;
}

DataPackage_t* CNormalDataFifo::getDataPackage(int timeoutMs)
{
    if (!m_bEnable) {
        return nullptr;
    }
    std::unique_lock<std::mutex> lock(m_mtxQueue);
    while (m_bEnable) {
        if (!m_quePkgs.empty()) {
            DataPackage_t* pkg = m_quePkgs.front();
            m_quePkgs.pop();
            return pkg;
        }
        if (timeoutMs < 0) {
            m_cvQueue.wait(lock);
        } else if (m_cvQueue.wait_for(lock, std::chrono::milliseconds(timeoutMs)) == std::cv_status::timeout) {
            return nullptr;
        }
    }
    return nullptr;
}

void CNormalDataFifo::releaseDataPackage(DataPackage_t* pkg)
{
    if (pkg != nullptr && m_bEnable && m_pDataCenter != nullptr) {
        m_pDataCenter->releasePackage(pkg);
    }
}
