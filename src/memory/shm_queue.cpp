#include "memory/shm_queue.h"

#include <linux/futex.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "utils/dds_common.h"
#include "utils/system_utils.h"

namespace {

constexpr int WAIT_MS = 100;
// While the owner's pass task has work left, the thread looks again this soon.
constexpr int PENDING_WAIT_MS = 1;
// Passes in a row that skip the sleep because the send ring showed room for waiting numbers. A
// peer that keeps forging room for a ring that is full again at the post costs no more than this
// per PENDING_WAIT_MS.
constexpr int MAX_ROOM_PASSES = 4;
// Ids the final drain takes at most: a ring holds two, and posts stop once it is disabled. The
// bound keeps a peer that keeps raising the count from holding deinit up for ever.
constexpr int MAX_DRAIN = 8;

inline int slotOf(int32_t index)
{
    return static_cast<int>(static_cast<uint32_t>(index) % static_cast<uint32_t>(SHM_QUEUE_CAPACITY));
}

// The id slots are plain integers in the segment; relaxed atomic accesses keep the compiler from
// tearing or re-reading them. Ordering comes from the count.
inline void storeSlot(CShmQueque::DataQueue_t* que, int slot, int id)
{
    __atomic_store_n(&que->m_iPkgIds[slot], id, __ATOMIC_RELAXED);
}

inline int loadSlot(CShmQueque::DataQueue_t* que, int slot)
{
    return __atomic_load_n(&que->m_iPkgIds[slot], __ATOMIC_RELAXED);
}

// The semaphore word as glibc keeps it for a process-shared sem_t on x86-64.
constexpr uint32_t SEM_VALUE_MAX_TOKENS = 0x7fffffff; // SEM_VALUE_MAX
constexpr int SEM_NWAITERS_SHIFT = 32;
constexpr uint64_t SEM_VALUE_MASK = 0xffffffffu;
constexpr int32_t SEM_SCOPE_SHARED = 128; // what sem_init(sem, 1, value) stores
// Compare-exchanges on the word before giving up: another process may change it between the load
// and the exchange, and a forger doing so without end must not hold a thread in the loop.
constexpr int SEM_CAS_ATTEMPTS = 6;
// Rounds of one wait: tokens with nothing posted are taken (as sem_wait would, one by one) in the
// first SEM_STALE_ROUNDS; after that the thread sleeps on whatever the word holds, and a word
// that still keeps changing with nothing posted is written by another process: the wait then
// sleeps SEM_FORGED_SLEEP_NS without it rather than come straight back.
constexpr int SEM_STALE_ROUNDS = 4;
constexpr int SEM_WAIT_ROUNDS = 8;
constexpr long SEM_FORGED_SLEEP_NS = 1000000L;

inline uint32_t semValue(uint64_t word)
{
    return static_cast<uint32_t>(word & SEM_VALUE_MASK);
}

inline uint32_t semWaiters(uint64_t word)
{
    return static_cast<uint32_t>(word >> SEM_NWAITERS_SHIFT);
}

// The futex word is the token count, the low half of the semaphore word.
inline uint32_t* semFutex(CShmQueque::DataQueue_t* que)
{
    return reinterpret_cast<uint32_t*>(&que->m_u64Sem);
}

// Shared (not private) futex operations: the word lies in a segment mapped by two processes.
long futexWait(uint32_t* word, uint32_t expected, int ms)
{
    timespec ts{};
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    return syscall(SYS_futex, word, FUTEX_WAIT, expected, &ts, nullptr, 0);
}

void futexWake(uint32_t* word)
{
    // Waking nobody, or failing, leaves the receiver to its next timed look: nothing to undo.
    (void)syscall(SYS_futex, word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

// Applies `change` to the semaphore word; false when the word kept changing under every attempt.
template <typename Change> bool semUpdate(CShmQueque::DataQueue_t* que, Change&& change)
{
    uint64_t word = que->m_u64Sem.load();
    for (int n = 0; n < SEM_CAS_ATTEMPTS; ++n) {
        uint64_t next = word;
        if (!change(&next)) {
            return true;
        }
        if (que->m_u64Sem.compare_exchange_strong(word, next)) {
            return true;
        }
    }
    return false;
}

// This ring's one receiver says it is about to sleep (1) or awake (0). The count is stored, not
// added to as sem_wait does: a count that another process changed is set right at every wait,
// so a peer's sem_post finds a sleeper again.
void semSetWaiters(CShmQueque::DataQueue_t* que, uint32_t waiters)
{
    (void)semUpdate(que, [waiters](uint64_t* word) {
        const uint64_t next = (uint64_t{waiters} << SEM_NWAITERS_SHIFT) | (*word & SEM_VALUE_MASK);
        const bool changed = next != *word;
        *word = next;
        return changed;
    });
}

// sem_trywait: one token, if there is one.
void semTakeToken(CShmQueque::DataQueue_t* que)
{
    (void)semUpdate(que, [](uint64_t* word) {
        if (semValue(*word) == 0) {
            return false;
        }
        *word -= 1;
        return true;
    });
}

// After a take that found `before` numbers: tokens beyond one per number still in the ring, and
// one more, announce nothing, and the receiver takes them so that a peer's sem_post never runs
// into SEM_VALUE_MAX. The one kept while the receiver is awake spares the poster a wake-up call
// (see shmSemPost).
void semDropStale(CShmQueque::DataQueue_t* que, int32_t before)
{
    const uint32_t keep = static_cast<uint32_t>(before < 0 ? 0 : std::min(before, int32_t{SHM_QUEUE_CAPACITY}));
    (void)semUpdate(que, [keep](uint64_t* word) {
        if (semValue(*word) <= keep) {
            return false;
        }
        *word = (*word & ~SEM_VALUE_MASK) | keep;
        return true;
    });
}

} // namespace

CShmQueque::DataQueue_t::DataQueue_t(bool reset, bool enable)
{
    m_bEnable.store(enable);
    if (reset) {
        m_iCount.store(0);
        m_iTail.store(0);
        m_iHead.store(0);
        m_iCapacity = SHM_QUEUE_CAPACITY;
    }
}

void CShmQueque::DataQueue_t::setEnable(bool enable)
{
    m_bEnable.store(enable);
}

CShmQueque::CShmQueque() : m_iWaitMs(WAIT_MS), m_iPendingWaitMs(PENDING_WAIT_MS) {}

void CShmQueque::setCorruptTask(std::function<void()> task)
{
    if (!m_bRunning.load()) {
        m_corruptTask = std::move(task);
    }
}

void CShmQueque::setWaitMs(int ms)
{
    if (!m_bRunning.load() && ms > 0) {
        m_iWaitMs = ms;
    }
}

void CShmQueque::setPendingWaitMs(int ms)
{
    if (!m_bRunning.load() && ms > 0) {
        m_iPendingWaitMs = ms;
    }
}

CShmQueque::~CShmQueque()
{
    deinit();
}

void CShmQueque::setTakeHook(std::function<void()> hook)
{
    if (!m_bRunning.load()) {
        m_takeHook = std::move(hook);
    }
}

void CShmQueque::setWaitHook(std::function<void(int)> hook)
{
    if (!m_bRunning.load()) {
        m_waitHook = std::move(hook);
    }
}

void CShmQueque::setPassTask(PassTask_t task)
{
    if (!m_bRunning.load()) {
        m_passTask = std::move(task);
    }
}

bool CShmQueque::init(int key, int flag, RecvCallBack_t callback)
{
    if (m_bRunning.load()) {
        return false;
    }
    m_iKey = key;
    m_iFlag = flag != 0 ? 1 : 0;
    if (!initShm()) {
        m_iKey = -1;
        return false;
    }
    m_callback = std::move(callback);
    m_bCorruptReported.store(false);
    m_bCorrupt.store(false);
    char* base = static_cast<char*>(m_pShmAddr.get());
    {
        std::lock_guard<std::mutex> lock(m_mtxPost);
        if (m_iFlag == 0) {
            // Only the creator constructs the rings; the segment is fresh and zero-filled.
            m_pSendQue = new (base) DataQueue_t(true, false);
            m_pRecvQue = new (base + sizeof(DataQueue_t)) DataQueue_t(true, true);
            initSem();
        } else {
            // The creator's rings are live: take them as they are and only write the enable bytes.
            m_pSendQue = reinterpret_cast<DataQueue_t*>(base + sizeof(DataQueue_t));
            m_pRecvQue = reinterpret_cast<DataQueue_t*>(base);
            m_pSendQue->setEnable(true);
            m_pRecvQue->setEnable(false);
        }
    }
    if (m_iFlag != 0) {
        clearQue();
    }
    m_bRunning.store(true);
    if (!m_thread.start(&CShmQueque::recvTask, this)) {
        DDS_RED("Error: Queue %#x can't start its thread!", static_cast<unsigned>(key));
        m_bRunning.store(false);
        releaseQueue();
        return false;
    }
    return true;
}

bool CShmQueque::initShm()
{
    m_iShmId = CSystemUtils::openShm(m_iKey, m_iFlag, SHM_QUEUE_SEGMENT_SIZE);
    if (m_iShmId < 0) {
        DDS_RED("Error: openShm failed!");
        m_iShmId = -1;
        return false;
    }
    if (m_iFlag != 0) {
        // A stale or foreign segment under this key may be smaller than the two rings.
        shmid_ds ds{};
        if (shmctl(m_iShmId, IPC_STAT, &ds) != 0 || ds.shm_segsz < SHM_QUEUE_SEGMENT_SIZE) {
            DDS_RED("Error: openShm failed!");
            m_iShmId = -1;
            return false;
        }
    }
    m_pShmAddr.reset(CSystemUtils::attachShm(m_iShmId));
    if (!m_pShmAddr) {
        DDS_RED("Error: attachShm failed!");
        if (m_iFlag == 0) {
            CSystemUtils::removeShm(m_iShmId);
        }
        m_iShmId = -1;
        return false;
    }
    return true;
}

void CShmQueque::deinitShm()
{
    m_pShmAddr.reset(); // detached before the creator removes it
    if (m_iFlag == 0 && m_iShmId >= 0) {
        CSystemUtils::removeShm(m_iShmId);
    }
    m_iShmId = -1;
}

void CShmQueque::initSem()
{
    shmSemInit(m_pSendQue);
    shmSemInit(m_pRecvQue);
}

// As sem_destroy of glibc: nothing to release; the peer may still be sleeping on the word until
// its timeout.
void CShmQueque::deinitSem() {}

void shmSemInit(CShmQueque::DataQueue_t* que)
{
    que->m_u64Sem.store(0);
    __atomic_store_n(&que->m_iSemScope, SEM_SCOPE_SHARED, __ATOMIC_RELAXED);
}

static void shmSemKeepShared(CShmQueque::DataQueue_t* que)
{
    // Any local process may write the scope word; a peer using sem_* would then wait and wake on
    // private futexes that never meet ours. Set right before every wait and post, the damage
    // lasts one wait at most.
    if (__atomic_load_n(&que->m_iSemScope, __ATOMIC_RELAXED) != SEM_SCOPE_SHARED) {
        __atomic_store_n(&que->m_iSemScope, SEM_SCOPE_SHARED, __ATOMIC_RELAXED);
    }
}

void shmSemPost(CShmQueque::DataQueue_t* que, bool wakeAlways)
{
    shmSemKeepShared(que);
    // After the count: a receiver that registered before this token either sees the count, or
    // sleeps on a word that no longer holds the value it read and returns at once.
    uint64_t word = que->m_u64Sem.load();
    for (int n = 0; n < SEM_CAS_ATTEMPTS && semValue(word) < SEM_VALUE_MAX_TOKENS; ++n) {
        if (que->m_u64Sem.compare_exchange_strong(word, word + 1)) {
            break;
        }
    }
    // sem_post wakes only when the waiter count says so, and that count lies in a segment any
    // local process may write. A receiver sleeps on a word of 0 tokens (on another value only
    // while something else keeps putting tokens back): when there was none before this post, it
    // may be asleep whatever the count says, and is woken. A receiver that is awake keeps a token
    // (semDropStale), so a busy one costs no call. A forger that writes both the tokens and the
    // count costs each post at most the receiver's wait, until the writes stop.
    const uint32_t value = semValue(word);
    if (wakeAlways || semWaiters(word) != 0 || value == 0 || value >= SEM_VALUE_MAX_TOKENS) {
        futexWake(semFutex(que));
    }
}

void CShmQueque::setSendWaiting(bool waiting)
{
    m_bSendWaiting.store(waiting);
}

bool CShmQueque::roomForWaiting(bool pending)
{
    // A count outside the ring counts as room: the pass task's post then finds it broken.
    return (pending || m_bSendWaiting.load()) && shmRingCount(m_pSendQue) < SHM_QUEUE_CAPACITY;
}

bool CShmQueque::waitForPost(int ms, bool pending, bool lookForRoom)
{
    DataQueue_t* que = m_pRecvQue;
    semSetWaiters(que, 1);
    bool room = false;
    int round = 0;
    for (;; ++round) {
        shmSemKeepShared(que);
        // The word first, then the count and flags: a post raises the count before its token,
        // so one whose count this look missed has changed the word since, and the sleep on the
        // value loaded here returns at once. Looked at again after registering for the same
        // reason. A take by the peer that made room for waiting numbers lowered the send ring's
        // count before it posted on this ring, so it too is seen here or ends the sleep. A count
        // outside the ring counts as room: the pass task's post then finds it broken. A wake()
        // asked for before the registration is seen here the same way.
        const uint32_t value = semValue(que->m_u64Sem.load());
        room = lookForRoom && roomForWaiting(pending);
        if (room || m_bWakeAsked.load() || que->m_iCount.load() != 0 || !m_bRunning.load()) {
            break;
        }
        if (m_waitHook) {
            m_waitHook(round);
        }
        if (round == SEM_WAIT_ROUNDS) {
            timespec ts{0, SEM_FORGED_SLEEP_NS};
            nanosleep(&ts, nullptr);
            break;
        }
        if (value != 0 && round < SEM_STALE_ROUNDS) {
            // The token of a number already taken, or of a wake-up already answered.
            semTakeToken(que);
            continue;
        }
        // Tokens that keep coming back with nothing posted are forged: sleep on the word as it
        // is; a post changes it.
        if (futexWait(semFutex(que), value, ms) == 0) {
            // Woken: the token of the post, as sem_wait takes it.
            semTakeToken(que);
            break;
        }
        const int err = errno;
        // EAGAIN: the word changed meanwhile, look again. ETIMEDOUT, EINTR: back to the loop.
        // Anything else means the call cannot sleep here: sleep without it rather than come
        // straight back.
        if (err == EAGAIN) {
            continue;
        }
        if (err != ETIMEDOUT && err != EINTR) {
            if (!m_bFutexReported.exchange(true)) {
                DDS_RED("Error: Queue %#x can't wait: %s!", static_cast<unsigned>(m_iKey), strerror(err));
            }
            timespec ts{0, SEM_FORGED_SLEEP_NS};
            nanosleep(&ts, nullptr);
        }
        break;
    }
    semSetWaiters(que, 0);
    return room;
}

void CShmQueque::markCorrupt()
{
    if (m_bCorrupt.exchange(true)) {
        return;
    }
    {
        // The peer finds its own receive ring corrupt too and gives up its side at once.
        std::lock_guard<std::mutex> lock(m_mtxPost);
        if (m_pSendQue != nullptr) {
            m_pSendQue->m_iCount.store(-1);
            shmSemPost(m_pSendQue);
        }
    }
    if (m_corruptTask) {
        m_corruptTask();
    }
}

int shmRingCount(const CShmQueque::DataQueue_t* que, int32_t* raw)
{
    int32_t count = que->m_iCount.load();
    if (raw != nullptr) {
        *raw = count;
    }
    return count < 0 || count > SHM_QUEUE_CAPACITY ? -1 : count;
}

int shmRingTake(CShmQueque::DataQueue_t* que, int32_t* before)
{
    int slot = slotOf(que->m_iHead.load());
    int id = loadSlot(que, slot);
    que->m_iHead.store(slotOf(slot + 1));
    // The id is read before the slot is handed back to the producer.
    const int32_t count = que->m_iCount.fetch_sub(1);
    if (before != nullptr) {
        *before = count;
    }
    return id;
}

void shmRingPut(CShmQueque::DataQueue_t* que, int id)
{
    int slot = slotOf(que->m_iTail.load());
    storeSlot(que, slot, id);
    que->m_iTail.store(slotOf(slot + 1));
    // The id is in its slot before the count says so.
    que->m_iCount.fetch_add(1);
}

int CShmQueque::loadCount(DataQueue_t* que)
{
    int32_t raw = 0;
    int count = shmRingCount(que, &raw);
    if (count < 0 && !m_bCorruptReported.exchange(true)) {
        DDS_RED("Error: Queue %#x count %d is corrupt!", static_cast<unsigned>(m_iKey), raw);
    }
    return count;
}

void CShmQueque::clearQue()
{
    // Ids a former reader of this segment left unread go back to the writer.
    for (int n = 0; n < MAX_DRAIN && loadCount(m_pRecvQue) > 0; ++n) {
        post(shmRingTake(m_pRecvQue), 0);
    }
}

bool CShmQueque::post(int id, int)
{
    return postRet(id, true) == POST_OK;
}

CShmQueque::PostRet_e CShmQueque::postRet(int id, bool reportFull)
{
    PostRet_e ret = POST_OK;
    int key = 0;
    {
        std::lock_guard<std::mutex> lock(m_mtxPost);
        DataQueue_t* que = m_pSendQue;
        if (que == nullptr) {
            return POST_DOWN;
        }
        key = m_iKey;
        int count = 0;
        if (!que->m_bEnable.load()) {
            ret = POST_DISABLED;
        } else if ((count = loadCount(que)) < 0) {
            return POST_BROKEN;
        } else if (count >= SHM_QUEUE_CAPACITY) {
            ret = POST_FULL;
        } else {
            shmRingPut(que, id);
            shmSemPost(que);
            return POST_OK;
        }
    }
    // Printed once the lock is let go: a line never holds up the other posters.
    if (ret == POST_DISABLED) {
        DDS_GREEN_LIMITED("Queue %#x is not enable!", static_cast<unsigned>(key));
    } else if (reportFull) {
        DDS_YELLOW_LIMITED("Warning: Queue %#x post %d failed!", static_cast<unsigned>(key), id);
    }
    return ret;
}

void CShmQueque::recvOne()
{
    DataQueue_t* que = m_pRecvQue;
    if (m_takeHook) {
        m_takeHook();
    }
    int32_t before = 0;
    int id = shmRingTake(que, &before);
    semDropStale(que, before);
    // The take that found the ring full made room: the sender may have numbers waiting for it
    // (the reader's returns), and its receive thread sleeps on the other ring; it is woken to
    // post them now rather than at its next timeout. Only the take's own count tells: one read
    // before it misses a post that fills the ring in between. The ring pointers stay set until
    // deinit has joined this thread.
    if (before >= SHM_QUEUE_CAPACITY) {
        shmSemPost(m_pSendQue);
    }
    if (m_callback) {
        m_callback(m_iKey, id);
    }
}

void CShmQueque::recvTask()
{
    bool pending = false;
    int roomPasses = 0;
    while (m_bRunning.load()) {
        m_bBusy.store(false);
        // This pass answers every wake() asked for until now.
        m_bWakeAsked.store(false);
        if (m_passTask) {
            pending = m_passTask(false);
        }
        int count = loadCount(m_pRecvQue);
        if (count < 0) {
            // Nothing of this ring can be trusted any more: the connection is ended by the
            // owner, and this thread only waits for its stop.
            markCorrupt();
            std::unique_lock<std::mutex> lock(m_mtxStop);
            m_cvStop.wait(lock, [this] { return !m_bRunning.load(); });
            break;
        }
        if (count > 0) {
            roomPasses = 0;
            m_bBusy.store(true);
            calculateFrameRate();
            recvOne();
            continue;
        }
        // Nothing to do: sleep at once. A thread that looks before sleeping takes the CPU from
        // whoever shares it, the poster included, and on a busy machine that costs far more than
        // the wake-up it saves. Room for ids that wait ends the sleep, a few passes in a row at
        // most.
        const bool lookForRoom = roomPasses < MAX_ROOM_PASSES;
        const bool waiting = pending || m_bSendWaiting.load();
        if (waitForPost(waiting ? m_iPendingWaitMs : m_iWaitMs, pending, lookForRoom)) {
            ++roomPasses;
        } else {
            roomPasses = 0;
        }
    }
    // Ids posted before the stop still reach the callback.
    for (int n = 0; n < MAX_DRAIN && !m_bCorrupt.load() && loadCount(m_pRecvQue) > 0; ++n) {
        recvOne();
    }
    if (m_passTask) {
        m_passTask(true);
    }
}

void CShmQueque::wake()
{
    std::lock_guard<std::mutex> lock(m_mtxPost);
    m_bWakeAsked.store(true);
    if (m_pRecvQue != nullptr) {
        shmSemPost(m_pRecvQue, true);
    }
}

void CShmQueque::setEnable(bool enable)
{
    std::lock_guard<std::mutex> lock(m_mtxPost);
    if (m_pRecvQue != nullptr) {
        m_pRecvQue->setEnable(enable);
    }
}

int CShmQueque::getFps()
{
    if (!m_bRunning.load()) {
        return -1;
    }
    return m_rate.read(m_bBusy.load());
}

void CShmQueque::calculateFrameRate()
{
    m_rate.count(CFrameRate::nowMs());
}

void CShmQueque::resetFrameRate()
{
    m_bBusy.store(false);
    m_rate.reset(CFrameRate::nowMs());
}

bool CShmQueque::deinit()
{
    if (!m_bRunning.load()) {
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxStop);
        m_bRunning.store(false);
        m_cvStop.notify_all();
    }
    // Wake our own thread at once instead of letting it sleep out its wait.
    shmSemPost(m_pRecvQue, true);
    m_thread.join();
    resetFrameRate();
    releaseQueue();
    return true;
}

void CShmQueque::releaseQueue()
{
    {
        std::lock_guard<std::mutex> lock(m_mtxPost);
        m_pSendQue = nullptr;
        m_pRecvQue = nullptr;
    }
    if (m_iFlag == 0) {
        deinitSem();
    }
    deinitShm();
    m_iKey = -1;
    m_callback = nullptr;
}
