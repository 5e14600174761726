#include "utils/ev_reactor.h"

#include "utils/dds_common.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace {

// The reactor whose poll thread this is, so that a callback cannot stop or restart its own
// reactor (the join would wait for itself).
thread_local const CEvReactor* t_pPollingReactor = nullptr;

// Bound of one wait's array: ready descriptors beyond it are reported in the next pass
// (level-triggered), and an absurd limit cannot make init allocate without bound.
constexpr unsigned int kMaxWaitEvents = 65536;

constexpr int kIdleWaitMs = 10;

uint32_t toEpoll(int events)
{
    uint32_t bits = 0;
    if (events & POLL_EVENT_READ) {
        bits |= EPOLLIN;
    }
    if (events & POLL_EVENT_WRITE) {
        bits |= EPOLLOUT;
    }
    return bits;
}

int fromEpoll(uint32_t bits)
{
    int events = 0;
    if (bits & EPOLLIN) {
        events |= POLL_EVENT_READ;
    }
    if (bits & EPOLLOUT) {
        events |= POLL_EVENT_WRITE;
    }
    return events;
}

} // namespace

CEvReactor* CEvReactor::getInstance()
{
    // Never destroyed: the last participant stops it, and that may be one in a global or a
    // static, destroyed after every function-local static.
    static CEvReactor* evReactor = new CEvReactor();
    return evReactor;
}

CEvReactor::~CEvReactor()
{
    deinit();
}

bool CEvReactor::init(unsigned int maxEvents, int timeoutMs)
{
    if (t_pPollingReactor == this) {
        return true; // a callback: the reactor runs by definition
    }
    // Declared before the lifecycle lock, so destroyed after it is released: what the dropped
    // records' callbacks captured may itself start or stop the reactor.
    EventTable dropped;
    std::vector<std::shared_ptr<_PollEvent_t>> unregistered;
    std::lock_guard<std::mutex> life(m_mtxLifecycle);
    if (m_bRunning.load()) {
        return true;
    }
    CUniqueFd epollFd(epoll_create1(EPOLL_CLOEXEC));
    if (!epollFd) {
        return false;
    }
    CUniqueFd wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.ptr = nullptr;
    unsigned int waitEvents = std::min(maxEvents, kMaxWaitEvents) + 1; // one slot for the wake-up
    std::unique_ptr<epoll_event[]> events(new (std::nothrow) epoll_event[waitEvents]);
    if (!wakeFd || !events || epoll_ctl(epollFd.get(), EPOLL_CTL_ADD, wakeFd.get(), &wake) < 0) {
        return false;
    }

    {
        std::lock_guard<std::mutex> lock(m_mtxEvents);
        m_u32MaxEvents = maxEvents;
        m_iTimeoutMs = timeoutMs;
        dropped = takeTableLocked();
        m_bPollAlive = true;
    }
    m_iEpollFd = std::move(epollFd);
    m_iWakeFd = std::move(wakeFd);
    m_pEvents = std::move(events);
    m_iWaitEvents = static_cast<int>(waitEvents);
    m_bRunning.store(true);
    if (!m_threadPoll.start(&CEvReactor::pollEvent, this)) {
        m_bRunning.store(false);
        {
            std::lock_guard<std::mutex> lock(m_mtxEvents);
            m_bPollAlive = false;
            // Unregistered since the table was emptied: no poll thread will ever drop these.
            for (auto it = m_mapEvents.begin(); it != m_mapEvents.end();) {
                if (it->second->m_bRemoved.load()) {
                    it->second->m_closeOnDrop.reset();
                    unregistered.push_back(std::move(it->second));
                    it = m_mapEvents.erase(it);
                } else {
                    ++it;
                }
            }
        }
        m_iWakeFd.reset();
        m_iEpollFd.reset();
        m_pEvents.reset();
        return false;
    }
    return true;
}

void CEvReactor::deinit()
{
    if (t_pPollingReactor == this) {
        return;
    }
    EventTable dropped; // destroyed after both mutexes are released, as in init
    std::lock_guard<std::mutex> life(m_mtxLifecycle);
    if (!m_bRunning.load()) {
        return;
    }
    m_bRunning.store(false);
    uint64_t one = 1;
    ssize_t written = write(m_iWakeFd.get(), &one, sizeof(one));
    (void)written; // a full counter is readable already
    m_threadPoll.join();
    {
        std::lock_guard<std::mutex> lock(m_mtxEvents);
        m_bPollAlive = false;
        dropped = takeTableLocked();
    }
    m_iWakeFd.reset();
    m_iEpollFd.reset();
    m_pEvents.reset();
    m_iWaitEvents = 0;
}

bool CEvReactor::registerEvent(int fd, int events, std::function<void(int, void*)> callback, void* userData)
{
    if (fd < 0) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mtxEvents);
    if (m_mapEvents.size() >= m_u32MaxEvents) {
        DDS_RED_LIMITED("Too many event fd !!!");
        return false;
    }
    if (m_mapEvents.count(fd) != 0) {
        return false;
    }
    auto record = std::make_shared<_PollEvent_t>();
    record->m_iFd = fd;
    record->m_iEvents = events < 0 ? POLL_EVENT_READ : events;
    record->m_pUserData = userData;
    record->m_fnCallback = std::move(callback);
    m_mapEvents.emplace(fd, std::move(record));
    return true;
}

bool CEvReactor::isEventRegistered(int fd)
{
    if (fd < 0) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mtxEvents);
    return m_mapEvents.count(fd) != 0;
}

bool CEvReactor::unregisterEvent(int fd)
{
    return unregister(fd, false);
}

bool CEvReactor::unregisterEventAndClose(int fd)
{
    return unregister(fd, true);
}

bool CEvReactor::unregister(int fd, bool closeOnDrop)
{
    std::shared_ptr<_PollEvent_t> dropped; // destroyed after unlocking
    std::lock_guard<std::mutex> lock(m_mtxEvents);
    auto it = m_mapEvents.find(fd);
    if (it == m_mapEvents.end()) {
        return false;
    }
    _PollEvent_t& record = *it->second;
    if (closeOnDrop && !record.m_closeOnDrop) {
        record.m_closeOnDrop.reset(fd);
    }
    if (!m_bPollAlive) {
        // No pass can hold the record: drop it now, or a registrant waiting for the drop
        // would wait for ever.
        record.m_closeOnDrop.reset();
        dropped = std::move(it->second);
        m_mapEvents.erase(it);
        return true;
    }
    record.m_bRemoved.store(true);
    return true;
}

CEvReactor::EventTable CEvReactor::takeTableLocked()
{
    for (auto& entry : m_mapEvents) {
        entry.second->m_closeOnDrop.reset();
    }
    EventTable table;
    table.swap(m_mapEvents);
    return table;
}

void CEvReactor::pollEvent()
{
    t_pPollingReactor = this;
    std::vector<int> fds;
    while (m_bRunning.load()) {
        loadEvent(fds);
        if (fds.empty()) {
            // Idle: only the wake-up descriptor is in the set.
            epoll_wait(m_iEpollFd.get(), m_pEvents.get(), 1, kIdleWaitMs);
            continue;
        }
        int n = epoll_wait(m_iEpollFd.get(), m_pEvents.get(), m_iWaitEvents, m_iTimeoutMs);
        if (n < 0 && errno != EINTR) {
            usleep(100);
        }
        for (int i = 0; i < n; ++i) {
            auto* record = static_cast<_PollEvent_t*>(m_pEvents[i].data.ptr);
            if (record == nullptr) {
                continue; // the wake-up: the loop condition ends the thread
            }
            record->m_iREvents = fromEpoll(m_pEvents[i].events);
            if (record->m_bRemoved.load()) {
                int fd = record->m_iFd;
                deleteEvent(fd); // the record is gone after this
                // Out of the set already, and the number may be another thread's by now: the
                // end of the pass leaves it alone.
                auto pos = std::lower_bound(fds.begin(), fds.end(), fd);
                if (pos != fds.end() && *pos == fd) {
                    fds.erase(pos);
                }
            } else if (record->m_fnCallback) {
                try {
                    record->m_fnCallback(record->m_iFd, record);
                } catch (...) {
                    DDS_RED("Error: event callback of fd %d threw an exception!", record->m_iFd);
                }
            }
        }
        unloadEvent(fds);
        fds.clear();
    }
    t_pPollingReactor = nullptr;
}

void CEvReactor::loadEvent(std::vector<int>& fds)
{
    std::vector<std::shared_ptr<_PollEvent_t>> dropped; // destroyed after unlocking
    std::lock_guard<std::mutex> lock(m_mtxEvents);
    for (auto it = m_mapEvents.begin(); it != m_mapEvents.end();) {
        _PollEvent_t* record = it->second.get();
        if (record->m_bRemoved.load()) {
            // Left the epoll set at the end of the previous pass.
            record->m_closeOnDrop.reset();
            dropped.push_back(std::move(it->second));
            it = m_mapEvents.erase(it);
            continue;
        }
        epoll_event ev{};
        ev.events = toEpoll(record->m_iEvents);
        ev.data.ptr = record;
        epoll_ctl(m_iEpollFd.get(), EPOLL_CTL_ADD, record->m_iFd, &ev);
        fds.push_back(record->m_iFd);
        ++it;
    }
}

void CEvReactor::unloadEvent(std::vector<int>& fds)
{
    // Only records still in the table: their numbers cannot change hands before they are dropped.
    for (int fd : fds) {
        epoll_ctl(m_iEpollFd.get(), EPOLL_CTL_DEL, fd, nullptr);
    }
}

void CEvReactor::deleteEvent(int fd)
{
    std::shared_ptr<_PollEvent_t> dropped; // destroyed after unlocking
    std::lock_guard<std::mutex> lock(m_mtxEvents);
    auto it = m_mapEvents.find(fd);
    if (it == m_mapEvents.end()) {
        return;
    }
    // Still in this pass's set: take it out while the descriptor is surely open. Once the record
    // is gone its owner may close it, and if the open file lives on elsewhere (a dup, a forked
    // child) the set would keep the entry and report the freed record in later passes.
    epoll_ctl(m_iEpollFd.get(), EPOLL_CTL_DEL, fd, nullptr);
    it->second->m_closeOnDrop.reset();
    dropped = std::move(it->second);
    m_mapEvents.erase(it);
}
