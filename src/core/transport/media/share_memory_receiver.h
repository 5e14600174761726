// Data receiver over System V shared memory: adapts a CShmClient, which attaches the writer's pool
// segment and the connection's notification queue, and whose queue thread hands every package
// number the writer posts to the data callbacks. The receiver itself runs no thread.
//
// Threads: the control thread calls init, deinit, the callback registration and the destructor
// (m_mutexState serialises init and deinit); application threads and the client's queue thread
// give packages back; status threads call getFps. m_mutexClient guards only the m_pClient
// pointer: callers take a shared snapshot and work on it without the mutex, so a package given
// back while deinit runs never meets a destroyed client. A package given back after deinit goes
// through the process-wide registry of pool mappings (the mapping outlives the client while
// packages of it are held).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/transport/receiver.h"

class CShmClient;

class CShareMemoryReceiver : public CDataReceiver {
public:
    CShareMemoryReceiver(const std::string& topicName, CDataManager* dataManager);
    explicit CShareMemoryReceiver(CDataManager* dataManager);
    ~CShareMemoryReceiver() override;

    // Attaches the pool and the queue a type-3 parameter names; false when initialised already,
    // for any other type, or when the client cannot attach (then nothing stays attached).
    bool init(TransParam_t& param) override;
    // Stops the client's dispatch and destroys it. A later init makes a new one.
    void deinit() override;
    // A FIFO fed by the client; null without a client.
    CDataFifo* createDataFifo(int policy, int depth) override;
    // Deletes a FIFO made by createDataFifo (any other pointer is left alone); the client it
    // hangs on is kept until then.
    void destroyDataFifo(CDataFifo* fifo) override;
    void putEmptyDataPkg(DataPackage_t* pkg) override;
    int registerDataCallBack(std::function<int(int, DataPackage_t*)> callback) override;
    int registerHeldDataCallBack(std::function<void(int, CHeldPkg&)> callback) override;
    void unregisterDataCallBack(int id) override;
    // -1 unless initialised, else the rate of numbers received from the writer.
    int getFps() override;
    // Returns at once: the client's queue thread receives.
    void recvTask() override;

    bool isInit() const { return m_bInit.load(); }

private:
    std::shared_ptr<CShmClient> client();

    std::shared_ptr<CShmClient> m_pClient;
    std::mutex m_mutexClient;
    std::atomic<bool> m_bInit{false};
    std::mutex m_mutexState;
    // FIFOs point at the client they were made on: each keeps that client alive until it is
    // destroyed, also past deinit. Guarded by m_mutexClient.
    std::map<CDataFifo*, std::shared_ptr<CShmClient>> m_mapFifoClient;
};
