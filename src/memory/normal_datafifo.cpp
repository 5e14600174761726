#include "memory/normal_datafifo.h"

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
    disable();
    CNormalDataFifo::clear();
}

void CNormalDataFifo::clear()
{
    std::lock_guard<std::mutex> lock(m_mtxQueue);
    std::queue<DataPackage_t*> pkgs;
    drainLocked(pkgs);
    while (!pkgs.empty()) {
        DataPackage_t* pkg = pkgs.front();
        pkgs.pop();
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
    if (enqueue(pkg, &dropped) != 0) {
        return -1;
    }
    if (dropped != nullptr) {
        m_pDataCenter->releasePackage(dropped);
    }
    return 0;
}

DataPackage_t* CNormalDataFifo::getDataPackage(int timeoutMs)
{
    return dequeue(timeoutMs);
}

void CNormalDataFifo::releaseDataPackage(DataPackage_t* pkg)
{
    if (pkg != nullptr && m_bEnable && m_pDataCenter != nullptr) {
        m_pDataCenter->releasePackage(pkg);
    }
}
