// Sole owner of one worker thread: joins it when it goes, so no thread outlives its object.
//
// One owner thread starts and joins; the worker must not join itself (it never sees its holder).
#pragma once

#include <system_error>
#include <thread>
#include <utility>

class CWorkerThread {
public:
    CWorkerThread() noexcept = default;
    // Takes over a started thread: for an owner that cannot be without its thread, whose
    // std::thread constructor throws when none can start.
    explicit CWorkerThread(std::thread thread) noexcept : m_thread(std::move(thread)) {}
    ~CWorkerThread() { join(); }

    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;
    CWorkerThread(CWorkerThread&& other) noexcept : m_thread(std::move(other.m_thread)) {}
    CWorkerThread& operator=(CWorkerThread&& other) noexcept
    {
        if (this != &other) {
            join();
            m_thread = std::move(other.m_thread);
        }
        return *this;
    }

    // Starts `fn(args...)` on a new thread: false when none can start (a thread limit), and
    // nothing runs. A thread still held is joined first.
    template <typename Fn, typename... Args> bool start(Fn&& fn, Args&&... args)
    {
        join();
        try {
            m_thread = std::thread(std::forward<Fn>(fn), std::forward<Args>(args)...);
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    // Waits for the thread to end; nothing when none is held. The caller has told it to stop.
    void join() noexcept
    {
        if (m_thread.joinable()) {
            try {
                m_thread.join();
            } catch (const std::system_error&) {
                // Only a self-join or a lost thread can fail, and neither is left to wait for.
            }
        }
    }

    bool running() const noexcept { return m_thread.joinable(); }
    // For the scheduling utilities only (policy, name, affinity); never joined or detached here.
    std::thread& handle() noexcept { return m_thread; }

private:
    std::thread m_thread;
};
