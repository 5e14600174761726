// Base of every medium's data receiver.
//
// Threads: a receiver's receive thread runs recvTask (and with it every data callback); the
// reading side's control thread calls init, deinit and the destructor; application threads call
// the forwarding operations and the status getters. The base holds only atomics besides what init
// writes before the receive thread starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "core/transport/transport.h"
#include "utils/frame_rate.h"
#include "utils/worker_thread.h"

class CDataFifo;
class CDataManager;
class CHeldPkg;

class CDataReceiver {
public:
    CDataReceiver(const std::string& topicName, CDataManager* dataManager);
    explicit CDataReceiver(CDataManager* dataManager);
    // Each medium's destructor runs its deinit first, so no thread outlives the members.
    virtual ~CDataReceiver();
    CDataReceiver(const CDataReceiver&) = delete;
    CDataReceiver& operator=(const CDataReceiver&) = delete;

    virtual bool init(TransParam_t& param) = 0;
    virtual void deinit() = 0;
    // The socket media forward these to the data manager (only when one is set); the
    // shared-memory medium overrides them.
    virtual CDataFifo* createDataFifo(int policy, int depth);
    virtual void destroyDataFifo(CDataFifo* fifo);
    virtual void putEmptyDataPkg(DataPackage_t* pkg);
    virtual int registerDataCallBack(std::function<int(int, DataPackage_t*)> callback);
    // The same, for a callback that takes the package's handle (its origin with it).
    virtual int registerHeldDataCallBack(std::function<void(int, CHeldPkg&)> callback);
    virtual void unregisterDataCallBack(int id);
    virtual int getFps() = 0;
    virtual void recvTask() = 0;

    uint64_t getLostPkgCount() const { return m_u64LostPkgCount.load(); }
    void resetLostPkgCount() { m_u64LostPkgCount.store(0); }
    // Counts one delivered frame.
    void calculateFrameRate();
    void resetFrameRate();
    const std::string& getTopicName() const { return m_strTopicName; }

protected:
    // Step 2 of the getter rule: the last rate, zeroed after the read when no frame was
    // delivered in the current pass of the receive loop.
    int readFps();
    // The first steps of a medium's deinit: stops and joins the receive thread and clears the
    // counters; false when it was not running (the medium then has nothing to close).
    bool stopRecvThread();

    CWorkerThread m_thread;
    std::atomic<bool> m_bRunning{false};
    CDataManager* m_pDataManager; // borrowed from the owning transport
    TransParam_t m_stTransParam;
    std::atomic<uint64_t> m_u64LostPkgCount{0};
    std::string m_strTopicName;
    std::atomic<bool> m_bBusy{false};
    CFrameRate m_frameRate;
};
