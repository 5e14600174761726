#include "memory/shm_datafifo.h"

#include <chrono>
#include <vector>

#include "memory/shm_client.h"

CShmDataFifo::CShmDataFifo(CShmClient* client, int policy, int depth) : CDataFifo(policy, depth), m_pClient(client)
{
    if (m_pClient != nullptr) {
        m_pClient->attachFifo(this);
    }
}

CShmDataFifo::~CShmDataFifo()
{
    // Detaching takes the client's FIFO-list mutex, so no dispatch is inside a push once it
    // returns and none can start one; only then is the queue emptied for good.
    if (m_pClient != nullptr) {
        m_pClient->detachFifo(this);
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxQueue);
        m_bEnable = false;
        m_cvQueue.notify_all();
    }
    CShmDataFifo::clear();
}

void CShmDataFifo::giveBack(DataPackage_t* pkg)
{
    if (pkg == nullptr) {
        return;
    }
    if (m_pClient != nullptr) {
        m_pClient->putEmptyDataPkg(pkg);
    } else {
        CShmClient::releaseHeldPackage(pkg);
    }
}

void CShmDataFifo::clear()
{
    std::vector<DataPackage_t*> pkgs;
    {
        std::lock_guard<std::mutex> lock(m_mtxQueue);
        while (!m_quePkgs.empty()) {
            pkgs.push_back(m_quePkgs.front());
            m_quePkgs.pop();
        }
        m_cvQueue.notify_one();
    }
    for (DataPackage_t* pkg : pkgs) {
        giveBack(pkg);
    }
}

int CShmDataFifo::pushDataPackage(DataPackage_t* pkg)
{
    if (pkg == nullptr) {
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
    giveBack(dropped);
    return 0;
}

DataPackage_t* CShmDataFifo::getDataPackage(int timeoutMs)
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

void CShmDataFifo::releaseDataPackage(DataPackage_t* pkg)
{
    giveBack(pkg);
}
