// Notification queue between one writing and one reading process: package numbers travel in a
// 160-byte System V segment holding two rings of two slots. Each ring's 32-byte field is a
// process-shared POSIX semaphore as glibc lays it out on x86-64, so that a peer may sem_post and
// sem_timedwait on it; this side works on it with atomics and shared futex calls of its own: the
// segment is writable by any local process, and nothing it holds may make a wake-up wait for the
// timeout for good, nor make a receiver spin.
//
// Threads: the owner calls init/deinit/setEnable; post may be called from any thread (posts are
// serialised by m_mtxPost); the receive thread runs the callback; getFps from any thread. The
// segment is written by another process too, so everything read from it is bounds-checked:
// slots are chosen modulo the compile-time capacity and a count outside [0, 2] counts as corrupt.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "utils/frame_rate.h"
#include "utils/shm_attachment.h"
#include "utils/worker_thread.h"

// Slots used per ring; every index is taken modulo this constant, never modulo the segment field.
constexpr int SHM_QUEUE_CAPACITY = 2;
// Bytes of one queue segment: ring 0 (writer to reader) at 0, ring 1 (reader to writer) at 80.
constexpr size_t SHM_QUEUE_SEGMENT_SIZE = 160;

class CShmQueque {
public:
    // One ring, constructed in place by the creator only; the attacher uses the creator's ring.
    struct DataQueue_t {
        // Always stores `enable`; with `reset` also zeroes count and indices and writes the capacity.
        // Never touches the id slots or the semaphore.
        DataQueue_t(bool reset, bool enable);
        void setEnable(bool enable);

        std::atomic<bool> m_bEnable;   // the receiving side listens; posts are refused while 0
        std::atomic<int32_t> m_iCount; // ids posted and not yet taken
        std::atomic<int32_t> m_iTail;  // slot of the next post
        std::atomic<int32_t> m_iHead;  // slot of the next take
        int32_t m_iCapacity;           // written as 2 for the peer; never read for indexing
        int32_t m_iPkgIds[7];          // slots 0 and 1 in use, the rest reserved
        // The semaphore (sem_t): tokens in the low 32 bits (the futex word), waiters in the high
        // 32 bits, then the scope word (128: process-shared); the rest glibc leaves alone too.
        std::atomic<uint64_t> m_u64Sem;
        int32_t m_iSemScope;
        uint8_t m_u8SemReserved[20];
    };

    using RecvCallBack_t = std::function<void(int, int)>;
    // Run on the receive thread once per pass (argument false) and once after the final drain
    // (true); its result says it still has work, which shortens the next wait.
    using PassTask_t = std::function<bool(bool)>;

    enum PostRet_e {
        POST_OK = 0,
        POST_DISABLED = -1, // the receiving side does not listen
        POST_FULL = -2,     // two ids waiting
        POST_DOWN = -3,     // this queue is not set up
        POST_BROKEN = -4,   // the ring's count is corrupt: the connection is to be ended
    };

    CShmQueque();
    ~CShmQueque();
    CShmQueque(const CShmQueque&) = delete;
    CShmQueque& operator=(const CShmQueque&) = delete;

    // Role 0 creates the segment, any other value attaches to it; starts the receive thread.
    bool init(int key, int flag, RecvCallBack_t callback);
    // Stops the receive thread (after it drained its ring) and releases the segment; always true.
    bool deinit();
    // Appends the id to the send ring; the second argument is ignored.
    bool post(int id, int);
    // post with its result; a full ring prints its warning only when `reportFull`.
    PostRet_e postRet(int id, bool reportFull);
    // Makes the receive thread look at its ring and run its pass task now.
    void wake();
    // Tells the peer whether this side listens on its receive ring.
    void setEnable(bool enable);
    // Receive frame rate, -1 when not running.
    int getFps();
    // Set while not running.
    void setPassTask(PassTask_t task);
    // Called once, on the receive thread, when the receive ring's count is found corrupt: the
    // thread stops taking ids from then on (it neither spins nor reads the slots again) and the
    // owner is to end the connection. Set while not running.
    void setCorruptTask(std::function<void()> task);
    // The receive ring was found corrupt; posts are refused from then on.
    bool isCorrupt() const { return m_bCorrupt.load(); }
    // The owner has ids waiting for room in the send ring (set before it tries the post that finds
    // the ring full, cleared once none wait): the receive thread then does not sleep while the
    // ring has room, so that its pass task posts them when the peer's take wakes nobody.
    void setSendWaiting(bool waiting);
    // Longest sleep of the receive thread between looks at its ring (tests make it long, to
    // show that a post wakes it). Set while not running.
    void setWaitMs(int ms);
    // Longest sleep while ids wait for room in the send ring (tests make it long, to show that
    // the peer's take wakes it). Set while not running.
    void setPendingWaitMs(int ms);
    // Runs on the receive thread between its look at the receive ring and each take (tests play
    // the peer there). Set while not running.
    void setTakeHook(std::function<void()> hook);
    // Tests: called on the receive thread in each round of a wait, once it found nothing to take
    // and before it sleeps (the round's number). Set before init.
    void setWaitHook(std::function<void(int)> hook);

    int getKey() const { return m_iKey; }
    bool isRunning() const { return m_bRunning.load(); }

private:
    bool initShm();
    void deinitShm();
    // What init took, given back once no thread runs: the rings, the segment, key and callback.
    void releaseQueue();
    void initSem();
    void deinitSem();
    // Sleeps on the receive ring's semaphore until a post, `ms` or an interruption. With
    // `lookForRoom`, returns true at once (without sleeping) when ids wait (`pending`, or the
    // owner's mark) and the send ring has room.
    bool waitForPost(int ms, bool pending, bool lookForRoom);
    // Ids wait to be posted (`pending`, or the owner's mark) and the send ring has room.
    bool roomForWaiting(bool pending);
    void markCorrupt();
    void clearQue();
    void recvTask();
    void recvOne();
    // Count of a ring, or 0 (after one red line) when it lies outside [0, capacity].
    int loadCount(DataQueue_t* que);
    void calculateFrameRate();
    void resetFrameRate();

    int m_iWaitMs;
    int m_iPendingWaitMs;
    RecvCallBack_t m_callback;
    PassTask_t m_passTask;
    std::function<void()> m_takeHook;
    std::function<void(int)> m_waitHook;
    std::function<void()> m_corruptTask;
    int m_iKey{-1};
    int m_iFlag{0};
    int m_iShmId{-1};
    CShmAttachment m_pShmAddr;
    DataQueue_t* m_pSendQue{nullptr};
    DataQueue_t* m_pRecvQue{nullptr};
    std::atomic<bool> m_bRunning{false};
    CWorkerThread m_thread;
    std::mutex m_mtxPost; // serialises posts; guards the ring pointers against deinit
    std::atomic<bool> m_bCorruptReported{false};
    std::atomic<bool> m_bCorrupt{false};
    std::atomic<bool> m_bFutexReported{false};
    std::mutex m_mtxStop; // with m_cvStop: a thread that gave up on a corrupt ring waits for deinit
    std::condition_variable m_cvStop;
    std::atomic<bool> m_bBusy{false};
    std::atomic<bool> m_bSendWaiting{false};
    std::atomic<bool> m_bWakeAsked{false}; // set by wake(), cleared by the pass that answers it
    CFrameRate m_rate;
};

// The steps over one ring as it lies in the segment, which the peer may write at any time: plain
// functions, no lock, no wake-up. Every slot index is taken modulo SHM_QUEUE_CAPACITY.
// The count, or -1 when it lies outside [0, SHM_QUEUE_CAPACITY]; `raw` (may be null) gets it as read.
int shmRingCount(const CShmQueque::DataQueue_t* que, int32_t* raw = nullptr);
// Takes the id at the head, moves the head on, then lowers the count (for a count above 0);
// `before` (may be null) gets the count as this take found it.
int shmRingTake(CShmQueque::DataQueue_t* que, int32_t* before = nullptr);
// Stores the id at the tail, moves the tail on, then raises the count (for a count below capacity).
void shmRingPut(CShmQueque::DataQueue_t* que, int id);
// The ring's semaphore as sem_init(sem, 1, 0) leaves it.
void shmSemInit(CShmQueque::DataQueue_t* que);
// sem_post: one token more (none at SEM_VALUE_MAX, which only a forger reaches) and a shared
// FUTEX_WAKE for a registered waiter, or for one that may sleep whatever the waiter count says;
// with `wakeAlways` (this side waking its own thread) whatever the word holds.
void shmSemPost(CShmQueque::DataQueue_t* que, bool wakeAlways = false);

static_assert(std::atomic<bool>::is_always_lock_free, "ring flags live in shared memory");
static_assert(std::atomic<int32_t>::is_always_lock_free, "ring counters live in shared memory");
static_assert(sizeof(std::atomic<bool>) == 1, "enable byte");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the semaphore word lives in shared memory");
static_assert(sizeof(std::atomic<uint64_t>) == 8, "semaphore word");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the token count is the low half of the semaphore word");
static_assert(offsetof(CShmQueque::DataQueue_t, m_bEnable) == 0, "ring layout");
static_assert(offsetof(CShmQueque::DataQueue_t, m_iCount) == 4, "ring layout");
static_assert(offsetof(CShmQueque::DataQueue_t, m_iTail) == 8, "ring layout");
static_assert(offsetof(CShmQueque::DataQueue_t, m_iHead) == 12, "ring layout");
static_assert(offsetof(CShmQueque::DataQueue_t, m_iCapacity) == 16, "ring layout");
static_assert(offsetof(CShmQueque::DataQueue_t, m_iPkgIds) == 20, "ring layout");
static_assert(offsetof(CShmQueque::DataQueue_t, m_u64Sem) == 48, "ring layout");
static_assert(offsetof(CShmQueque::DataQueue_t, m_iSemScope) == 56, "ring layout");
static_assert(sizeof(CShmQueque::DataQueue_t) == 80, "ring layout");
static_assert(2 * sizeof(CShmQueque::DataQueue_t) == SHM_QUEUE_SEGMENT_SIZE, "queue segment layout");
