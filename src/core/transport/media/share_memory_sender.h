// Data sender over System V shared memory: adapts the topic's CShmServer, whose distribution
// thread posts every published package's number to each reader's notification queue. The sender
// itself runs no thread; only numbers cross to the readers, the packages stay in the topic's pool.
//
// Threads: the reactor thread calls init, addConn, delConn, isConnExist and getPort; the
// transport's teardown calls delConn and deinit; status threads call getClientCount and getFps.
// m_mutexConn guards m_mapConn and m_pServer (the server's own locks guard its work); the
// connection count is atomic so that the getters need no table. Lock order: m_mutexConn, then the
// server's locks. The control descriptors used as connection ids belong to the control channel,
// which closes them; this sender never does.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "core/transport/sender.h"

class CShmServer;

// One reader connection: bytes 8..23 of its TransParam_t.
struct ShmemAttr_t {
    int32_t m_iQueueKey;
    int32_t m_iMemPoolKey;
    uint64_t m_u64Reserved; // copied, never read
};
static_assert(sizeof(ShmemAttr_t) == 16, "ShmemAttr_t layout");

class CShareMemorySender : public CDataSender {
public:
    explicit CShareMemorySender(CDataManager* dataManager);
    ~CShareMemorySender() override;

    // Starts the server on the data manager's pool; false when initialised already, when the
    // pool is not a shared-memory pool, or when the server refuses the pool.
    bool init() override;
    bool isInit() override;
    // Detaches every reader's queue, stops and destroys the server. A later init makes a new one.
    void deinit() override;
    // Creates the reader's queue segment; refused while not initialised, for an id already
    // present, a parameter of another type, or a queue the server cannot create.
    bool addConn(int connId, TransParam_t& param) override;
    // Detaches the connection's queue; the ids in flight to it come back. The id's descriptor
    // is left open.
    bool delConn(int connId) override;
    bool isConnExist(int connId) override;
    int getClientCount() override;
    // The connection's queue key, or -1.
    int getPort(int connId) override;
    // -1 without a connection, else the server's distribution rate.
    int getFps() override;
    // Returns at once: the server distributes.
    void sendTask() override;

    // Ids posted to a connection's queue and not yet returned (0 for an unknown id).
    size_t getInFlightCount(int connId);

private:
    std::atomic<bool> m_bInit{false};
    std::unique_ptr<CShmServer> m_pServer;
    std::map<int, ShmemAttr_t> m_mapConn;
    std::mutex m_mutexConn;
    std::atomic<int> m_iConnCount{0};
};
