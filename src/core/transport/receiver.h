// Base of every medium's data receiver, and the fragment reassembler the socket media share.
//
// Threads: a receiver's receive thread runs recvTask (and with it the reassembler and every
// data callback); the reading side's control thread calls init, deinit and the destructor;
// application threads call the forwarding operations and the status getters. The base holds
// only atomics besides what init writes before the receive thread starts.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/uio.h>

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

// Where the reassembler takes packages from and hands complete frames to.
class IFramePkgSink {
public:
    virtual ~IFramePkgSink() = default;
    // A fresh package (reference count 0) of at least `size` data bytes, or null.
    virtual DataPackage_t* getFramePkg(int size) = 0;
    // Gives back a fresh package that was never published.
    virtual void discardFramePkg(DataPackage_t* pkg) = 0;
    // Publishes a complete frame; the sink keeps no reference for the reassembler.
    virtual void publishFramePkg(DataPackage_t* pkg) = 0;
};

// The sink of a receiver: its data manager.
class CDataManagerSink : public IFramePkgSink {
public:
    explicit CDataManagerSink(CDataManager* dataManager) : m_pDataManager(dataManager) {}
    DataPackage_t* getFramePkg(int size) override;
    void discardFramePkg(DataPackage_t* pkg) override;
    void publishFramePkg(DataPackage_t* pkg) override;

private:
    CDataManager* m_pDataManager;
};

// The two socket media reassemble alike and differ in the fragment size and in what they log
// and count.
enum ReassemblyStyle_e {
    REASSEMBLY_STYLE_UNIX = 0, // logs every lost fragment
    REASSEMBLY_STYLE_UDP = 1,  // counts lost frames, logs those instead
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

// Rebuilds packages from datagram fragments. A plain state machine over received bytes: the
// receive thread feeds it one datagram at a time; it needs no socket.
//
// Every datagram is checked before it touches the frame being rebuilt: the magic, type
// MSG_TYPE_DATA, the fragment's length against the datagram, at most `fragPayload` payload bytes,
// a frame of at most DDS_MAX_FRAME_PAYLOAD, a fragment count and a fragment number, flag and
// length that agree with the frame's length. A datagram that fails is dropped and counted as a
// lost fragment, and the frame being rebuilt is left as it was.
class CFragmentReassembler {
public:
    // `lostCounter` (may be null) is the receiver's lost-packet counter.
    CFragmentReassembler(uint32_t fragPayload, ReassemblyStyle_e style, const std::string& topicName,
                         IFramePkgSink* sink, std::atomic<uint64_t>* lostCounter);
    // Gives back a frame still open.
    ~CFragmentReassembler();
    CFragmentReassembler(const CFragmentReassembler&) = delete;
    CFragmentReassembler& operator=(const CFragmentReassembler&) = delete;

    // Takes one datagram; true when it completed a frame, which has then been published.
    bool onDatagram(const uint8_t* data, size_t len);
    // Gives back the open package, if any, and forgets the frame.
    void reset();

    bool hasOpenPackage() const { return m_pPkg != nullptr; }
    uint32_t getLostFrameCount() const { return m_u32LostFrameCount; }
    uint32_t getFragPayload() const { return m_u32FragPayload; }

    // Whether a datagram is a well-formed fragment for this fragment size (see above).
    static bool isValidFragment(const DDSHeader_t& header, size_t len, uint32_t fragPayload);

private:
    bool onFirst(const DDSHeader_t& header, const uint8_t* data, size_t len);
    bool onFollowing(const DDSHeader_t& header, const uint8_t* data, size_t len);
    bool complete();
    void countLost();

    uint32_t m_u32FragPayload;
    ReassemblyStyle_e m_eStyle;
    std::string m_strTopicName;
    IFramePkgSink* m_pSink;
    std::atomic<uint64_t>* m_pLostCounter;

    DataPackage_t* m_pPkg{nullptr}; // the frame being rebuilt
    bool m_bLost{false};
    uint32_t m_u32LastSeqNo{0};
    uint64_t m_u64LastTimestamp{0};
    uint32_t m_u32FrameTotalLen{0}; // of the open frame
    uint32_t m_u32FramePktCount{0}; // of the open frame
    int m_iFragCounter{0};          // fragments seen since the last delivered frame
    uint32_t m_u32LostFrameCount{0};
};

// Reads a datagram socket in batches: one recvmmsg takes the datagrams already queued (up to the
// batch's slots) without waiting first, and the thread sleeps in poll only when none is queued.
// A datagram longer than a slot is cut to the slot's size. The slots are allocated once.
//
// Threads: one receive thread.
class CDatagramBatch {
public:
    CDatagramBatch(size_t slots, size_t slotSize);
    CDatagramBatch(const CDatagramBatch&) = delete;
    CDatagramBatch& operator=(const CDatagramBatch&) = delete;

    // False when the slots could not be allocated.
    bool valid() const { return !m_vecMsgs.empty(); }
    // Asks a UDP socket for coalesced reads (UDP_GRO) and takes `slots` slots of `slotSize` bytes
    // for them; false, with the slots as they were, where the socket refuses it or memory lacks.
    bool enableGro(int fd, size_t slots, size_t slotSize);
    // The datagrams queued on `fd` (1 or more), or, when none is: with `lookFirst` a short look
    // for one (spinUntil, for a sender in another process), then a wait of up to `timeoutMs` in
    // poll and one more read. SOCK_RET_TIMEOUT when still none came, another SOCK_RET_* code on
    // a failure (as readData reports them).
    int read(int fd, int timeoutMs, bool lookFirst);
    const uint8_t* data(int index) const { return m_vecBuffer.data() + static_cast<size_t>(index) * m_iSlotSize; }
    size_t length(int index) const { return m_vecMsgs[static_cast<size_t>(index)].msg_len; }
    // The datagram length the buffer at `index` was coalesced from (its last one may be shorter);
    // 0 for a buffer that holds one datagram.
    size_t segmentSize(int index) const;

private:
    // recvmmsg without waiting: the count, 0 when nothing is queued, or a SOCK_RET_* code.
    int readQueued(int fd);

    size_t m_iSlotSize;
    std::vector<uint8_t> m_vecBuffer;
    std::vector<iovec> m_vecIov;
    std::vector<mmsghdr> m_vecMsgs;
    // With GRO: each slot's control buffer, room for one int.
    static constexpr size_t GRO_CONTROL_SIZE = 32;
    std::vector<uint8_t> m_vecControl;
};
