// Bounded blocking FIFO that never refuses an item: when full it drops its oldest item into the
// drop callback and keeps the new one.
//
// Threads: any number of producers and consumers; m_mutex guards m_queue and m_iWaiters, and
// m_iCount mirrors the size (written under m_mutex) so that consumers can poll it without the
// lock before they block. The drop callback, and the dropped item's destructor, run on the
// enqueuing thread with m_mutex held, so neither may use the same queue. T may be move-only (a
// held package's handle gives its package back as it ends). No thread may use the queue while it
// is destroyed (a consumer still waiting in dequeue would touch freed memory).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>

#include "utils/fixed_ring.h"

template <typename T> class CDataQueue {
public:
    // A capacity below 1 is taken as 1: a queue of 0 would have to drop from an empty container.
    CDataQueue(int32_t capacity, std::function<void(T)> dropCallback)
        : m_iCapacity(capacity < 1 ? 1 : capacity), m_funcDrop(std::move(dropCallback)),
          m_queue(static_cast<size_t>(m_iCapacity))
    {
    }

    // Hands every remaining item to the drop callback, oldest first.
    virtual ~CDataQueue()
    {
        while (!m_queue.empty()) {
            dropOldest();
        }
    }

    CDataQueue(const CDataQueue&) = delete;
    CDataQueue& operator=(const CDataQueue&) = delete;

    // Always true; a full queue first drops its oldest item.
    bool enqueue(T&& item)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.full()) {
            dropOldest();
        }
        m_queue.push(std::move(item));
        m_iCount.store(static_cast<int>(m_queue.size()), std::memory_order_release);
        // All, not one: a consumer whose timed wait just ran out returns without looking again,
        // and a single wake-up taken by it would leave another waiter asleep beside the item.
        // Consumers that are not asleep need none.
        if (m_iWaiters > 0) {
            m_cond.notify_all();
        }
        return true;
    }

    // True with the oldest item in `out`; false, `out` untouched, when none came in time. A
    // negative timeout waits for ever, 0 does not wait. A wake-up that finds the queue empty
    // (another consumer was faster) waits the whole timeout again.
    bool dequeue(T& out, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (!m_queue.empty()) {
                out = std::move(m_queue.front());
                m_queue.pop();
                m_iCount.store(static_cast<int>(m_queue.size()), std::memory_order_relaxed);
                return true;
            }
            if (timeoutMs == 0) {
                return false;
            }
            ++m_iWaiters;
            bool timedOut = false;
            if (timeoutMs < 0) {
                m_cond.wait(lock);
            } else {
                timedOut = m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs)) == std::cv_status::timeout;
            }
            --m_iWaiters;
            if (timedOut) {
                return false;
            }
        }
    }

    int getCount() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(m_queue.size());
    }

private:
    void dropOldest()
    {
        T oldest = std::move(m_queue.front());
        m_queue.pop();
        m_iCount.store(static_cast<int>(m_queue.size()), std::memory_order_relaxed);
        if (m_funcDrop) {
            m_funcDrop(std::move(oldest));
        }
    }

    int32_t m_iCapacity;
    std::function<void(T)> m_funcDrop;
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    CFixedRing<T> m_queue; // of m_iCapacity slots, allocated once
    std::atomic<int> m_iCount{0};
    int m_iWaiters{0}; // consumers blocked on m_cond
};
