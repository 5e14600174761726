// The process's socket event loop: one poll thread that waits on an epoll set and calls the
// callback registered for every descriptor that became ready.
//
// Threads: application threads call init, deinit, registerEvent, isEventRegistered and the
// unregister operations; the poll thread runs the callbacks, which may register and unregister
// (but not stop the reactor). m_mtxLifecycle serialises init and deinit and is never taken by the
// poll thread; m_mtxEvents guards m_mapEvents, the limits and m_bPollAlive, and is never held
// during the wait or a callback. Lock order: m_mtxLifecycle, then m_mtxEvents.
//
// The epoll set is rebuilt on every pass: each pass adds every live registration, waits once,
// runs the callbacks and removes the descriptors again. An unregistration while the poll thread
// runs only marks its record; the poll thread drops it at the start of its next pass (or when an
// event for it comes up later in the current pass), so the record address handed to a callback
// stays valid for the whole pass. A record dropped during a pass leaves the set at once, and the
// pass never touches its number again (it may belong to another file by then). With no poll
// thread, an unregistration erases at once. Dropped records, and what their callbacks captured,
// are destroyed after m_mtxEvents (and in init and deinit m_mtxLifecycle) is released. An
// exception escaping a callback is caught and reported with a red line.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "utils/unique_fd.h"
#include "utils/worker_thread.h"

struct epoll_event;

// Requested and reported event bits of a registration.
enum PollEvent_e {
    POLL_EVENT_READ = 1,  // EPOLLIN
    POLL_EVENT_WRITE = 2, // EPOLLOUT
};

// One registration, owned by the reactor's table.
struct _PollEvent_t {
    int m_iFd{0};
    int m_iEvents{0};           // requested POLL_EVENT_* bits
    void* m_pUserData{nullptr}; // the registrant's pointer, unchanged
    std::function<void(int, void*)> m_fnCallback;
    std::atomic<bool> m_bRemoved{false}; // unregistered; the poll thread drops the record
    int m_iREvents{0};                   // bits seen by the last wait (errors and hang-ups set none)
    CUniqueFd m_closeOnDrop;             // m_iFd, when the reactor closes it on dropping the record (m_mtxEvents)
};

class CEvReactor {
public:
    // The process's reactor, created on first use.
    static CEvReactor* getInstance();

    ~CEvReactor();
    CEvReactor(const CEvReactor&) = delete;
    CEvReactor& operator=(const CEvReactor&) = delete;

    // Starts the poll thread with an empty table. When the reactor already runs, returns true
    // and changes nothing. False when the epoll set cannot be made; the reactor stays stopped.
    bool init(unsigned int maxEvents, int timeoutMs);
    // Stops the poll thread (after its current pass) and drops every registration. Descriptors
    // are not closed, except those unregistered with unregisterEventAndClose. Idempotent. Called
    // from a callback it does nothing (the poll thread cannot wait for itself).
    void deinit();

    // Adds a registration, served from the next pass. events: POLL_EVENT_* bits, negative means
    // read. Refuses a negative fd, a full table (red line) and an fd already in the table,
    // unregistered-but-not-yet-dropped included.
    bool registerEvent(int fd, int events, std::function<void(int, void*)> callback, void* userData);
    // True while the table holds fd, a marked registration included. Once it turns false after
    // an unregistration, no callback of that registration runs or will run.
    bool isEventRegistered(int fd);
    // Marks the registration for dropping; false when the table does not hold fd.
    bool unregisterEvent(int fd);
    // As unregisterEvent, and the reactor closes fd when it drops the record (at once when no
    // poll thread runs), so the number cannot be reused while a record for it exists. False, and
    // fd left open, when the table does not hold fd.
    bool unregisterEventAndClose(int fd);

private:
    CEvReactor() = default;

    void pollEvent();
    void loadEvent(std::vector<int>& fds);
    void unloadEvent(std::vector<int>& fds);
    void deleteEvent(int fd);
    bool unregister(int fd, bool closeOnDrop);
    using EventTable = std::map<int, std::shared_ptr<_PollEvent_t>>;
    // Empties the table and hands its records over, to be destroyed after unlocking; closes
    // those marked for closing. Needs m_mtxEvents.
    EventTable takeTableLocked();

    CUniqueFd m_iEpollFd;
    unsigned int m_u32MaxEvents{100};
    int m_iTimeoutMs{100};
    std::map<int, std::shared_ptr<_PollEvent_t>> m_mapEvents;
    std::mutex m_mtxEvents;
    std::atomic<bool> m_bRunning{false};
    CWorkerThread m_threadPoll;

    std::mutex m_mtxLifecycle;
    bool m_bPollAlive{false}; // a poll thread exists (m_mtxEvents): set before start, cleared after join
    CUniqueFd m_iWakeFd;      // eventfd in the epoll set for good; deinit makes it readable
    std::unique_ptr<epoll_event[]> m_pEvents; // the wait's array, made by init
    int m_iWaitEvents{0};                     // its length
};
