// Bounded package FIFO interface with its two overflow policies.
//
// Threads: any number of pushers (the fan-out); one reader, which also creates and destroys the
// FIFO. m_mtxQueue guards m_quePkgs, m_iWaiters and the changes of m_bEnable; m_iQueued mirrors
// the queue's size (written under m_mtxQueue) so that the reader can poll it without the lock.
// Every queued package carries one reference taken for it by the publisher.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <queue>

#include "utils/fixed_ring.h"

struct DataPackage_t;

enum FifoPolicy_e {
    FIFO_POLICY_DROP_OLDEST = 1, // release the oldest package, accept the new one
    FIFO_POLICY_REJECT_NEW = 2,  // refuse the new package (as does every other value)
};

// Depth of a FIFO created with a negative depth.
constexpr int FIFO_DEFAULT_DEPTH = 8;

class CDataFifo {
public:
    // A negative policy becomes FIFO_POLICY_REJECT_NEW, a negative depth FIFO_DEFAULT_DEPTH.
    CDataFifo(int policy, int depth);
    virtual ~CDataFifo();
    CDataFifo(const CDataFifo&) = delete;
    CDataFifo& operator=(const CDataFifo&) = delete;

    virtual void clear() = 0;
    // 0 queued, -1 not queued (the caller keeps the reference it took).
    virtual int pushDataPackage(DataPackage_t* pkg) = 0;
    // The oldest package (its reference passes to the caller); null on timeout or when disabled.
    virtual DataPackage_t* getDataPackage(int timeoutMs) = 0;
    virtual void releaseDataPackage(DataPackage_t* pkg) = 0;

    int getPolicy() const { return m_iPolicy; }
    int getDepth() const { return m_iDepth; }
    bool isEnable() const { return m_bEnable.load(); }
    size_t getCount();

protected:
    // The queueing rules both kinds share; the derived FIFOs add how a package goes back.
    // Appends `pkg` under the overflow policy: 0 queued (*dropped is the oldest package pushed out,
    // or null), -1 refused (disabled, or full under a policy that refuses or with nothing to drop).
    int enqueue(DataPackage_t* pkg, DataPackage_t** dropped);
    // The oldest package (its reference passes to the caller), waiting up to `timeoutMs` (for ever
    // when negative, the full time again after a wake-up that finds nothing); null on timeout or
    // once disabled.
    DataPackage_t* dequeue(int timeoutMs);
    // Disables the FIFO and wakes every waiter.
    void disable();
    // Takes every queued package out (under m_mtxQueue, which the caller holds).
    void drainLocked(std::queue<DataPackage_t*>& out);

    CFixedRing<DataPackage_t*> m_quePkgs; // of m_iDepth slots, allocated once
    std::mutex m_mtxQueue;
    std::condition_variable m_cvQueue;
    int m_iDepth;
    int m_iPolicy;
    std::atomic<bool> m_bEnable{true};
    std::atomic<size_t> m_iQueued{0};
    int m_iWaiters{0}; // readers blocked on m_cvQueue

};
