// Writing side of zero-copy transfer for one topic: posts the number of every published package
// to each attached reader's notification queue and gives the package back to its pool once every
// reader it reached has returned the number.
//
// Threads: the distribution thread (sendTask); one receive thread per queue (the queue
// callback, and the retry of that queue's waiting numbers); the owner's thread calls
// attachQueue/detachQueue/init/deinit; getFps from any thread. m_mtxQueue guards the queue table
// and the frame-rate fields and is never held while waiting; each queue's m_mtxWaiting its
// waiting numbers; m_mtxInFlight the in-flight table; each record's mutex its count. Lock order:
// m_mtxQueue, then a queue's m_mtxWaiting, then m_mtxInFlight or a record's mutex (then the data
// manager's locks). The queue callback never takes m_mtxQueue and takes the in-flight and record
// mutexes one after the other.
//
// The in-flight lists mirror exactly the references held per queue: an id is added before it is
// posted (and taken out again when the post is refused), and a return counts only when it
// removes one entry of its own queue's list. Ids a reader returns that were not sent to it are
// ignored. A number that finds a reader's ring full waits in that reader's own short list and is
// posted by that queue's thread once the reader takes; a reader that takes nothing for a moment
// misses what waits for it, and no reader ever holds up the distribution to the others.
//
// The package table is the pool's own (one per segment in this process): a package is looked up
// by address once, when it leaves the distribution FIFO, and from there on goes by that number,
// back to the pool too. The server borrows the pool through its data manager; its owner ends it
// before the pool goes.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "memory/mem_pool.h"
#include "memory/shm_layout.h"
#include "memory/shm_queue.h"
#include "utils/frame_rate.h"
#include "utils/worker_thread.h"

class CDataFifo;
class CDataManager;
class CShmMemPool;

// Numbers that may wait for room in one reader's ring: the depth of the distribution FIFO.
constexpr size_t SHM_SERVER_WAITING = 8;

// Reference record of one package of a pool segment. On the writing side the count is the
// number of reader queues holding the package's number (plus one while the distribution thread
// handles it): it decides when the distribution FIFO's one chunk reference goes back to the pool,
// so the pool's count sees one holder however many readers there are. On the reading side the
// number of holders in that process: it decides when the number is posted back.
struct DataPkgInfo_t {
    explicit DataPkgInfo_t(DataPackage_t* pkg);
    ~DataPkgInfo_t();
    DataPkgInfo_t(const DataPkgInfo_t&) = delete;
    DataPkgInfo_t& operator=(const DataPkgInfo_t&) = delete;

    DataPackage_t* m_pPkg;            // inside the attached pool segment; borrowed
    std::atomic<int32_t> m_iRefCount; // changed only under m_mutex
    pthread_mutex_t m_mutex;
};

class CShmServer {
public:
    explicit CShmServer(CDataManager* dataManager);
    ~CShmServer();
    CShmServer(const CShmServer&) = delete;
    CShmServer& operator=(const CShmServer&) = delete;

    // Takes the package table of the data manager's pool, whose segment is at `base` and laid out
    // by `layout`, and starts the distribution thread. False when running, for a null base or
    // data manager, or when the data manager's pool is no shared-memory pool with that segment
    // and layout.
    bool init(void* base, const MemPoolLayout_t& layout);
    // Stops the thread, tears down every queue, takes back every id in flight, frees the records.
    void deinit();
    // Creates the queue segment of one reader connection (as creator) and starts serving it.
    // `onBroken`, when set, is called once on that queue's thread when a ring of its segment is
    // found corrupt: the connection is to be ended (its queue is then detached as usual).
    bool attachQueue(int queueKey, std::function<void()> onBroken = nullptr);
    // Tears that queue down and takes back the ids still in flight to it.
    bool detachQueue(int queueKey);
    // Distribution frame rate, -1 when not running.
    int getFps();
    // Ids posted to the queue and not yet returned.
    size_t getInFlightCount(int queueKey);
    bool isRunning() const { return m_bRunning.load(); }

private:
    bool initMemLayout(void* base, const MemPoolLayout_t& layout);
    void enqueDataPkg(DataPackage_t* pkg);
    void clearMemLayout();
    void sendTask(CDataFifo* fifo);
    // Number of a package of this pool, or -1 for any other pointer.
    int findPkgId(DataPackage_t* pkg) const;
    DataPkgInfo_t* findRecord(int id) const;
    void referPackage(int id);
    void releasePackage(int id);
    void addMemId(int queueKey, int id);
    // Removes one occurrence (the latest); true when there was one.
    bool delMemId(int queueKey, int id);
    void onReturn(int queueKey, int id);

    // One reader connection: its queue and the numbers that wait for room in its ring.
    struct Reader_t {
        CShmQueque m_que;
        std::mutex m_mtxWaiting;
        int m_iWaiting[SHM_SERVER_WAITING]{}; // ring of numbers, oldest at m_uFirst
        size_t m_uFirst{0};
        size_t m_uCount{0};
        std::chrono::steady_clock::time_point m_tLastPost{}; // last time the ring took a number
    };
    // Posts to one reader without waiting: a full ring puts the number on the reader's waiting
    // list. False when the reader does not take it (not listening, broken, or the oldest waiting
    // number made room and was dropped: that one is dropped here, this one waits).
    bool postToReader(int queueKey, Reader_t* reader, int id);
    // Runs on the reader's queue thread: posts what waits; drops it when the ring has taken
    // nothing for a while. True while numbers still wait.
    bool flushWaiting(int queueKey, Reader_t* reader);
    // Posts waiting numbers while the ring takes them (m_mtxWaiting held).
    void lockedFlush(int queueKey, Reader_t* reader, std::chrono::steady_clock::time_point now);
    // Drops one waiting number with its line: its in-flight entry and reference go.
    void dropWaiting(int queueKey, int id);
    void calculateFrameRate();
    void resetFrameRate();

    CDataManager* m_pDataManager;
    std::map<int, std::unique_ptr<Reader_t>> m_mapQueues;
    std::mutex m_mtxQueue;
    // Which numbers each reader holds (its share of the records' counts): taken back when the
    // reader goes, and a return counts only when its reader holds the number.
    std::map<int, std::vector<int>> m_mapInFlight;
    std::mutex m_mtxInFlight;
    // The pool (borrowed), its package table (shared with it), and the record of number n at
    // index n - 1. Written by init and deinit only, while no other thread uses them.
    CShmMemPool* m_pPool{nullptr};
    std::shared_ptr<const CShmPkgTable> m_pTable;
    std::vector<DataPkgInfo_t*> m_vecPkgs;
    std::atomic<bool> m_bRunning{false};
    CWorkerThread m_thread;
    std::atomic<bool> m_bSent{false};
    CFrameRate m_rate;
};
