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
#include <thread>

#include "core/transport/fragment_reassembler.h"
#include "core/transport/frame_rate.h"
#include "core/transport/transport.h"

class CDataFifo;
class CDataManager;
struct DatagramMedium_t;

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
    // The receive task of a datagram medium on `fd` until m_bRunning clears: reads in batches and
    // feeds the reassembler, which publishes through the data manager. False, after its red line,
    // when the batch could not be allocated.
    bool runDatagramLoop(int fd, const DatagramMedium_t& medium);

    std::thread m_thread;
    std::atomic<bool> m_bRunning{false};
    CDataManager* m_pDataManager; // borrowed from the owning transport
    TransParam_t m_stTransParam;
    std::atomic<uint64_t> m_u64LostPkgCount{0};
    std::string m_strTopicName;
    std::atomic<bool> m_bBusy{false};
    CFrameRate m_frameRate;
};

// What a datagram medium's receive loop takes from the medium.
struct DatagramMedium_t {
    size_t m_batchSlots; // datagrams taken per read
    int m_iSlotSize;     // receive buffer of one datagram
    uint32_t m_u32FragPayload;
    ReassemblyStyle_e m_eStyle;
    int m_iFirstPauseUs;        // after a failed read
    int (*m_pfnNextPause)(int); // after a further failure, from the last pause
    // Whether a datagram of `len` bytes goes to the reassembler; one that does not has had its line.
    bool (*m_pfnKeep)(
        const std::string& topic,
        size_t len); // Coalesced reads (UDP_GRO) where the socket allows them: slots per read and slot size; 0
    // slots for none.
    size_t m_groSlots;
    int m_iGroSlotSize;
};
