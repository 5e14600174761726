#include "memory/datafifo.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>

namespace {

// A private futex on the FIFO's change count: a waiter sleeps on the count it read under the
// mutex, so a push after that read either changes the word (the wait returns at once) or wakes
// it. One call each way, where a condition variable costs the pusher and the woken reader a
// mutex hand-over more (a switch each way when they share a CPU).
long futexWait(std::atomic<uint32_t>* word, uint32_t expected, int timeoutMs)
{
    timespec ts{};
    timespec* rel = nullptr;
    if (timeoutMs >= 0) {
        ts.tv_sec = timeoutMs / 1000;
        ts.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
        rel = &ts;
    }
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, rel, nullptr, 0);
}

void futexWake(std::atomic<uint32_t>* word, int count)
{
    (void)syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

} // namespace

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
    bool waiter = false;
    {
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
        m_uChanges.fetch_add(1);
        // A reader still polling finds the package itself.
        waiter = m_iWaiters > 0;
    }
    // After the unlock: a reader woken on this CPU would otherwise run at once, only to block on
    // the mutex still held here and hand the CPU back (two needless switches per package).
    if (waiter) {
        futexWake(&m_uChanges, 1);
    }
    return 0;
}

DataPackage_t* CDataFifo::dequeue(int timeoutMs)
{
    if (!m_bEnable) {
        return nullptr;
    }
    std::unique_lock<std::mutex> lock(m_mtxQueue);
    while (m_bEnable) {
        if (!m_quePkgs.empty()) {
            DataPackage_t* pkg = m_quePkgs.front();
            m_quePkgs.pop();
            m_iQueued.store(m_quePkgs.size(), std::memory_order_relaxed);
            return pkg;
        }
        if (timeoutMs == 0) {
            // No wait at all: a sleep with a zero timeout still costs a timer's slack.
            return nullptr;
        }
        ++m_iWaiters;
        const uint32_t seen = m_uChanges.load();
        lock.unlock();
        bool timedOut = false;
        if (futexWait(&m_uChanges, seen, timeoutMs) != 0) {
            const int err = errno;
            // EAGAIN: changed meanwhile; EINTR: look again. Any other failure cannot sleep here:
            // it ends the wait like a timeout rather than turning the caller's loop into a spin.
            timedOut = err != EAGAIN && err != EINTR;
        }
        lock.lock();
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
    {
        std::lock_guard<std::mutex> lock(m_mtxQueue);
        m_bEnable = false;
        m_uChanges.fetch_add(1);
    }
    futexWake(&m_uChanges, INT_MAX);
}
