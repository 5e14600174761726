// The worker threads that carry one package to several destinations at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "utils/worker_thread.h"

// Runs one job per destination of a package: the first on the calling thread, each further one
// on a worker thread of its own. A worker is started the first time a package has that many
// destinations and then waits for the next package until stop(), so no package starts a thread
// and one slow reader delays no other. Without a thread to spare, the jobs left run in turn on
// the caller.
//
// Threads: run() and stop() are called by one thread (the medium's send thread, or its owner
// once that thread is joined); the workers touch only their own slot and m_remaining.
class CSendWorkers {
public:
    using Job_t = void (*)(void* context, size_t index);

    CSendWorkers() = default;
    ~CSendWorkers();
    CSendWorkers(const CSendWorkers&) = delete;
    CSendWorkers& operator=(const CSendWorkers&) = delete;

    // Calls job(context, i) for every i in 0..count-1 (the job must not throw) and returns when
    // every call has returned.
    void run(size_t count, Job_t job, void* context);
    template <typename Fn> void run(size_t count, Fn& fn)
    {
        run(
            count, [](void* context, size_t index) { (*static_cast<Fn*>(context))(index); }, &fn);
    }
    // Stops and joins every worker; the next run starts them again.
    void stop();
    size_t workerCount() const { return m_workers.size(); }

private:
    struct Worker_t {
        CWorkerThread m_thread;
        std::mutex m_mutex;
        std::condition_variable m_cv;
        bool m_bPending{false}; // guarded by m_mutex
        bool m_bQuit{false};    // guarded by m_mutex
    };
    void workerLoop(Worker_t* worker, size_t index);
    void finishOne();

    std::vector<std::unique_ptr<Worker_t>> m_workers;
    // The round in flight: written before the workers are woken, read by them.
    Job_t m_pfnJob{nullptr};
    void* m_pContext{nullptr};
    std::atomic<size_t> m_remaining{0};
    std::mutex m_mutexDone;
    std::condition_variable m_cvDone;
};
