// One writer's pool segment attached on the reading side, with its number-to-package table and
// the path that posts numbers back to the writer. Made by the client that attached it and shared
// with a process-wide registry, keyed by base address, that keeps it while packages of it are
// held in this process (also after that client has let go or is gone).
//
// Threads: the client's control thread makes it, sets the queue before the queue starts and
// marks it orphaned; the queue's receive thread refers, releases and flushes pending returns;
// any thread releases a package it holds. Each record's mutex guards its count; m_mtxPending
// guards m_vecPending; the registry's mutex guards only the registry. None of these is held
// while a number is posted to the queue.
//
// Guarantees: the table never changes during its life; the segment stays attached until the last
// shared pointer goes; a number is posted back once per drop of its count to 0, and a return the
// ring refuses waits in the pending list for the receive thread; no release waits for the writer,
// and what is still pending a few milliseconds into the queue's shut-down stays with the writer,
// which takes it back when it lets the queue go. The registry keeps the mapping while its client
// holds it or any package of it is held, so a holder may keep a plain pointer to it until it
// releases its package.
//
// Its table is its own even when this process also writes the segment: the table holds this
// attachment's addresses and is built from what this attachment reads, whereas the writer's pool
// has the segment at another address and never learns which reader mapping is of its segment.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "memory/shm_layout.h"
#include "memory/shm_queue.h"
#include "memory/shm_server.h"
#include "utils/shm_attachment.h"

class CPoolMapping {
public:
    // Takes over the attachment (detached last, by the destructor) of `size` bytes, walked into
    // `slots`.
    CPoolMapping(int poolKey, CShmAttachment segment, size_t size, std::vector<ShmPkgSlot_t> slots);
    ~CPoolMapping();
    CPoolMapping(const CPoolMapping&) = delete;
    CPoolMapping& operator=(const CPoolMapping&) = delete;

    // Published before the first number can arrive, so that holders can give packages back.
    static void registerMapping(const std::shared_ptr<CPoolMapping>& mapping);
    // Takes the mapping out of the registry; the caller's reference then decides when it goes.
    static void unregisterMapping(CPoolMapping* mapping);
    // The registered mapping whose segment holds `p`, or null.
    static std::shared_ptr<CPoolMapping> findMapping(const void* p);

    bool contains(const void* p) const
    {
        auto* b = static_cast<const uint8_t*>(p);
        return b >= m_pBase && b < m_pBase + m_uSize;
    }

    DataPkgInfo_t* record(int id) const { return m_table.has(id) ? m_vecPkgs[static_cast<size_t>(id - 1)] : nullptr; }

    // Only for a number that record() accepts.
    int capacity(int id) const { return m_table.capacity(id); }

    // Number of the package at `pkg`, or -1 when no package of this segment starts there.
    int idOf(const DataPackage_t* pkg) const;

    void refer(int id);
    // Drops one holder; the last one posts the number back. When that was the last package held
    // after the client let go, the mapping leaves the registry and may be gone on return (unless
    // the caller holds a shared pointer to it).
    void release(int id);
    // Posts a number back to the writer, once: a full ring puts the number on the pending list
    // and wakes the queue thread, which posts it once the writer takes; a disabled ring means the
    // writer has let this reader go and taken its numbers back already. Never waits.
    void returnId(int id);
    // Runs on the queue thread; true while numbers are still pending. The final flush waits a few
    // milliseconds at most; what it cannot post goes with the mapping.
    bool flushPending(bool final);
    // The owning client lets go (again: nothing): the mapping leaves the registry now when no
    // package of it is held, else with the release of the last one.
    void letGo();

    CShmAttachment m_segment; // first, so that it goes last
    const int m_iPoolKey;
    uint8_t* const m_pBase;
    const size_t m_uSize;
    CShmPkgTable m_table;                  // from the walk: where each package lies, its capacity
    std::vector<DataPkgInfo_t*> m_vecPkgs; // this process's holders of number n, at n - 1
    std::unique_ptr<CShmQueque> m_pQueue;  // set before the queue starts, never replaced
    std::mutex m_mtxPending;
    std::vector<int> m_vecPending;
    std::atomic<bool> m_bHasPending{false};
    // Records with a count above 0, plus one until the client lets go: whoever takes it to 0 is
    // the last user and unregisters, so no one touches the mapping after its own decrement.
    std::atomic<long> m_lHeld{1};
    std::atomic<bool> m_bOrphan{false}; // the client has let go
    // Seen by tests: posts tried by releases (one each) and waits of the final flush.
    std::atomic<unsigned> m_uReleasePosts{0};
    std::atomic<unsigned> m_uFlushWaits{0};
    // Tests: called when a return finds the ring full, before it is listed. Set before the queue
    // starts.
    std::function<void(int)> m_fnOnFull;
};
