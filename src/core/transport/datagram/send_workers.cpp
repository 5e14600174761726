#include "core/transport/datagram/send_workers.h"

#include <algorithm>

CSendWorkers::~CSendWorkers()
{
    stop();
}

void CSendWorkers::stop()
{
    for (auto& worker : m_workers) {
        {
            std::lock_guard<std::mutex> lock(worker->m_mutex);
            worker->m_bQuit = true;
        }
        worker->m_cv.notify_one();
    }
    for (auto& worker : m_workers) {
        worker->m_thread.join();
    }
    m_workers.clear();
}

void CSendWorkers::finishOne()
{
    if (m_remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        // Taken before the notify, so a caller that found work left is already waiting.
        std::lock_guard<std::mutex> lock(m_mutexDone);
        m_cvDone.notify_one();
    }
}

void CSendWorkers::workerLoop(Worker_t* worker, size_t index)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(worker->m_mutex);
            worker->m_cv.wait(lock, [worker] { return worker->m_bPending || worker->m_bQuit; });
            if (!worker->m_bPending) {
                return; // quit, with no round of its own in flight
            }
            worker->m_bPending = false;
        }
        m_pfnJob(m_pContext, index);
        finishOne();
    }
}

void CSendWorkers::run(size_t count, Job_t job, void* context)
{
    if (count == 0) {
        return;
    }
    size_t helped = count - 1;
    while (m_workers.size() < helped) {
        auto worker = std::make_unique<Worker_t>();
        Worker_t* raw = worker.get();
        const size_t index = m_workers.size() + 1;
        if (!worker->m_thread.start(&CSendWorkers::workerLoop, this, raw, index)) {
            break; // no thread to spare: the rest run here in turn
        }
        m_workers.push_back(std::move(worker));
    }
    helped = std::min(helped, m_workers.size());
    m_pfnJob = job;
    m_pContext = context;
    m_remaining.store(helped, std::memory_order_release);
    for (size_t i = 0; i < helped; ++i) {
        Worker_t& worker = *m_workers[i];
        {
            std::lock_guard<std::mutex> lock(worker.m_mutex);
            worker.m_bPending = true;
        }
        worker.m_cv.notify_one();
    }
    job(context, 0);
    for (size_t i = helped + 1; i < count; ++i) {
        job(context, i);
    }
    if (helped == 0) {
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutexDone);
    m_cvDone.wait(lock, [this] { return m_remaining.load(std::memory_order_acquire) == 0; });
}
