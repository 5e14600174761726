// Writing side of zero-copy transfer for one topic: posts the number of every published package
// to each attached reader's notification queue and gives the package back to its pool once every
// reader it reached has returned the number.
//
// Threads: the distribution thread (sendTask); one receive thread per queue (the queue
// callback); the owner's thread calls attachQueue/detachQueue/init/deinit; getFps from any
// thread. m_mtxQueue guards the queue table and the frame-rate fields; m_mtxInFlight the
// in-flight table; each record's mutex its count. Lock order: m_mtxQueue, then a record's mutex
// (then the data manager's locks); m_mtxQueue, then m_mtxInFlight. The queue callback never
// takes m_mtxQueue and takes the in-flight and record mutexes one after the other.
//
// The in-flight lists mirror exactly the references held per queue: an id is added before it is
// posted (and taken out again when the post is refused), and a return counts only when it
// removes one entry of its own queue's list. Ids a reader returns that were not sent to it are
// ignored.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "memory/mem_pool.h"
#include "memory/shm_queue.h"

class CDataFifo;
class CDataManager;

// Reference record of one package of a pool segment. On the writing side the count is the
// number of reader queues holding the package's number (plus one while the distribution thread
// handles it); on the reading side the number of holders in that process.
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

    // Registers the packages of the pool at `base` (laid out by `layout`) and starts the
    // distribution thread. False when running, for a null base or data manager, or a layout
    // whose numbers are not 1..N in walk order.
    bool init(void* base, const MemPoolLayout_t& layout);
    // Stops the thread, tears down every queue, takes back every id in flight, frees the records.
    void deinit();
    // Creates the queue segment of one reader connection (as creator) and starts serving it.
    bool attachQueue(int queueKey);
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
    // Posts to one reader's queue, waiting a moment while its ring is full; under m_mtxQueue.
    bool postToQueue(int queueKey, CShmQueque* que, int id);
    void calculateFrameRate();
    void resetFrameRate();

    CDataManager* m_pDataManager;
    std::map<int, CShmQueque*> m_mapQueues;
    std::set<int> m_setStalled; // queues whose ring stayed full; guarded by m_mtxQueue
    std::mutex m_mtxQueue;
    std::map<int, std::vector<int>> m_mapInFlight;
    std::mutex m_mtxInFlight;
    // Package table: the record of number n at index n - 1. Written by init and deinit only,
    // while no other thread uses it.
    std::vector<DataPkgInfo_t*> m_vecPkgs;
    std::atomic<bool> m_bRunning{false};
    std::thread m_thread;
    std::atomic<bool> m_bSent{false};
    CShmFrameRate m_rate;
};
