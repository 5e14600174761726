// Repeating callbacks at fixed intervals on one worker thread of the timer's own.
//
// Threads: the worker runs due tasks; any other thread may call add_task, remove_task and stop.
// m_mtxTasks guards m_setTasks and is held by the worker while due tasks run, so remove_task
// returns only after a batch under way has finished, and a task must not add or remove tasks of
// its own timer. Lock order: m_mtxTasks before any lock a task takes. std::mutex is not fair, so
// after a batch the worker lets callers that wait for the mutex go first (an interval-0 task
// would otherwise keep it from them). An exception escaping a task is caught and reported with a
// red line; the task stays scheduled.
#pragma once

#include "utils/dds_common.h"
#include "utils/worker_thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

class CTask {
public:
    using time_point = std::chrono::steady_clock::time_point;

    CTask(int id, std::function<void()> fn, unsigned int interval, int count, time_point next)
        : m_iId(id), m_u32Interval(interval), m_iCount(count), m_fnTask(std::move(fn)), m_tpNext(next)
    {
    }
    CTask(const CTask&) = default;
    CTask(CTask&&) noexcept = default;
    CTask& operator=(const CTask&) = default;
    CTask& operator=(CTask&&) noexcept = default;
    ~CTask() = default;

    // Deadline order.
    struct Compare {
        bool operator()(const CTask& a, const CTask& b) const { return a.m_tpNext < b.m_tpNext; }
    };

    int m_iId;
    unsigned int m_u32Interval; // milliseconds
    int m_iCount;               // re-arms left; negative repeats for ever
    std::function<void()> m_fnTask;
    time_point m_tpNext;
};

class CTimer {
public:
    // async: run the tasks of one batch each on a thread of its own instead of one after another.
    explicit CTimer(bool async)
        : m_bAsync(async), m_iIdCounter(0), m_bRunning(true), m_threadWorker(std::thread(&CTimer::doWork, this))
    {
    }
    virtual ~CTimer() { stop(); }
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    // First run one interval from now, each later one an interval after the end of the previous
    // run; count N > 0 gives N + 1 runs, a negative count runs until removed. Returns the task's
    // identifier (from 1, never reused), or -1 for an empty function or count 0.
    int add_task(const std::function<void()>& fn, unsigned int intervalMs, int count)
    {
        if (!fn || count == 0) {
            std::cout << "Invalid parameter!" << std::endl;
            return -1;
        }
        int id = m_iIdCounter.fetch_add(1) + 1;
        auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(intervalMs);
        {
            std::unique_lock<std::mutex> lock = lockForCaller();
            m_setTasks.insert(CTask(id, fn, intervalMs, count, next));
        }
        // Also ends a wait for a later deadline, so that an earlier task is not held up by it.
        m_cvTasks.notify_one();
        return id;
    }

    // Removes the pending task with that identifier; waits for a batch under way. An unknown
    // identifier is ignored.
    void remove_task(int id)
    {
        {
            std::unique_lock<std::mutex> lock = lockForCaller();
            for (auto it = m_setTasks.begin(); it != m_setTasks.end(); ++it) {
                if (it->m_iId == id) {
                    m_setTasks.erase(it);
                    break;
                }
            }
        }
        m_cvTasks.notify_one(); // a worker that let this caller go first waits for it
    }

    // Ends the worker and waits for it; pending tasks never run. Not from a task.
    void stop()
    {
        {
            std::unique_lock<std::mutex> lock = lockForCaller();
            if (!m_bRunning.load()) {
                return;
            }
            m_bRunning.store(false);
        }
        m_cvTasks.notify_all();
        m_threadWorker.join();
    }

private:
    void doWork()
    {
        std::vector<CTask> batch;
        while (m_bRunning.load()) {
            std::unique_lock<std::mutex> lock(m_mtxTasks);
            m_cvTasks.wait(lock, [this] { return !m_setTasks.empty() || !m_bRunning.load(); });
            if (!m_bRunning.load()) {
                break;
            }
            auto now = std::chrono::steady_clock::now();
            while (!m_setTasks.empty() && m_setTasks.begin()->m_tpNext <= now) {
                batch.push_back(std::move(m_setTasks.extract(m_setTasks.begin()).value()));
            }
            if (!batch.empty()) {
                executeTasks(batch);
                for (CTask& task : batch) {
                    if (task.m_iCount == 0) {
                        continue;
                    }
                    if (task.m_iCount > 0) {
                        --task.m_iCount;
                    }
                    task.m_tpNext = std::chrono::steady_clock::now() + std::chrono::milliseconds(task.m_u32Interval);
                    m_setTasks.insert(std::move(task));
                }
                batch.clear();
                // Callers waiting for the mutex go before the next batch.
                m_cvTasks.wait(lock, [this] { return m_iWaiters.load() == 0 || !m_bRunning.load(); });
            }
            if (!m_setTasks.empty() && m_bRunning.load()) {
                // A notification (a new task, or stop) ends the wait early; the next round then
                // looks at the deadlines again and runs only what is due. The deadline is copied:
                // its task may be removed during the wait.
                CTask::time_point deadline = m_setTasks.begin()->m_tpNext;
                m_cvTasks.wait_until(lock, deadline);
            }
        }
    }

    // Takes m_mtxTasks for add_task, remove_task or stop; the worker notices the wait.
    std::unique_lock<std::mutex> lockForCaller()
    {
        m_iWaiters.fetch_add(1);
        std::unique_lock<std::mutex> lock(m_mtxTasks);
        m_iWaiters.fetch_sub(1);
        return lock;
    }

    void executeTasks(const std::vector<CTask>& batch)
    {
        if (m_bAsync.load()) {
            asyncExecutor(batch);
        } else {
            syncExecutor(batch);
        }
    }

    static void runTask(const CTask& task)
    {
        try {
            task.m_fnTask();
        } catch (...) {
            DDS_RED("Error: timer task %d threw an exception!", task.m_iId);
        }
    }

    void syncExecutor(const std::vector<CTask>& batch)
    {
        for (const CTask& task : batch) {
            runTask(task);
        }
    }

    void asyncExecutor(const std::vector<CTask>& batch)
    {
        std::vector<std::future<void>> futures;
        futures.reserve(batch.size());
        for (const CTask& task : batch) {
            try {
                futures.push_back(std::async(std::launch::async, [&task] { runTask(task); }));
            } catch (const std::system_error&) {
                runTask(task); // no thread to be had: run it here rather than lose the run
            }
        }
        for (auto& future : futures) {
            future.wait();
        }
    }

    std::atomic<bool> m_bAsync;
    std::atomic<int> m_iIdCounter;
    std::mutex m_mtxTasks;
    std::condition_variable m_cvTasks;
    std::multiset<CTask, CTask::Compare> m_setTasks;
    std::atomic<bool> m_bRunning;
    std::atomic<int> m_iWaiters{0}; // callers waiting for m_mtxTasks (before the worker starts)
    CWorkerThread m_threadWorker;   // last: every other member is ready before the worker starts
};

// The process-wide synchronous timer.
class CTimerSingleton : public CTimer {
public:
    // Never destroyed: a participant in a global or a static may remove its task at exit, after
    // every function-local static is gone. Its thread sleeps or runs tasks of live participants.
    static CTimerSingleton* getInstance()
    {
        static CTimerSingleton* objTimer = new CTimerSingleton();
        return objTimer;
    }

private:
    CTimerSingleton() : CTimer(false) {}
};
