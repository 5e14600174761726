#include "memory/datafifo.h"

#include <chrono>

#include "utils/spin_wait.h"

CDataFifo::CDataFifo(int policy, int depth)
    : m_quePkgs(static_cast<size_t>(depth < 0 ? FIFO_DEFAULT_DEPTH : depth)),
      m_iDepth(depth < 0 ? FIFO_DEFAULT_DEPTH : depth), m_iPolicy(policy < 0 ? FIFO_POLICY_REJECT_NEW : policy)
{
}

CDataFifo::~CDataFifo() = default;

size_t CDataFifo::getCount()
{
    std::lock_guard<std::mutex> lock(m_mtxQueue);
    return m_quePkgs.size();
}

int CDataFifo::enqueue(DataPackage_t* pkg, DataPackage_t** dropped)
{
    *dropped = nullptr;
    std::lock_guard<std::mutex> lock(m_mtxQueue);
    if (!m_bEnable) {
        return -1;
    }
    if (m_quePkgs.full()) {
        // Depth 0 has nothing to drop: refuse rather than pop an empty queue.
        if (m_iPolicy != FIFO_POLICY_DROP_OLDEST || m_quePkgs.empty()) {
            return -1;
        }
        *dropped = m_quePkgs.front();
        m_quePkgs.pop();
    }
    m_quePkgs.push(pkg);
    m_iQueued.store(m_quePkgs.size(), std::memory_order_release);
    // A reader still polling finds the package itself.
    if (m_iWaiters > 0) {
        m_cvQueue.notify_one();
    }
    return 0;
}

DataPackage_t* CDataFifo::dequeue(int timeoutMs)
{
    if (!m_bEnable) {
        return nullptr;
    }
    if (timeoutMs != 0) {
        spinUntil([this] {
            return m_iQueued.load(std::memory_order_acquire) != 0 || !m_bEnable.load(std::memory_order_relaxed);
        });
    }
    std::unique_lock<std::mutex> lock(m_mtxQueue);
    while (m_bEnable) {
        if (!m_quePkgs.empty()) {
            DataPackage_t* pkg = m_quePkgs.front();
            m_quePkgs.pop();
            m_iQueued.store(m_quePkgs.size(), std::memory_order_relaxed);
            return pkg;
        }
        ++m_iWaiters;
        bool timedOut = false;
        if (timeoutMs < 0) {
            m_cvQueue.wait(lock);
        } else {
            timedOut = m_cvQueue.wait_for(lock, std::chrono::milliseconds(timeoutMs)) == std::cv_status::timeout;
        }
        --m_iWaiters;
        if (timedOut) {
            return nullptr;
        }
    }
    return nullptr;
}

void CDataFifo::drainLocked(std::queue<DataPackage_t*>& out)
{
    while (!m_quePkgs.empty()) {
        out.push(m_quePkgs.front());
        m_quePkgs.pop();
    }
    m_iQueued.store(0, std::memory_order_relaxed);
}

void CDataFifo::disable()
{
    std::lock_guard<std::mutex> lock(m_mtxQueue);
    m_bEnable = false;
    m_cvQueue.notify_all();
}
