// Base of every medium's data sender, and the datagram fragmenter the socket media share.
//
// Threads: a sender's send thread runs sendTask; the control channel's reactor thread calls
// addConn, delConn, isConnExist, getPort and init; the transport's teardown calls delConn and
// deinit; status threads call getClientCount and getFps. m_mutexSendState serialises the start
// and stop of the send thread; the rest of the base is atomics (running flag, sent flag,
// frame-rate fields) and the fifo, which only the send thread reads while it runs. Each medium
// guards its own connection table.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/transport/frame_rate.h"
#include "core/transport/transport.h"

class CDataFifo;
class CDataManager;

// Depth of a sender's fifo (drop the oldest beyond it), and so the most packages one pass of the
// send loop takes.
constexpr int SEND_FIFO_DEPTH = 8;

class CDataSender {
public:
    explicit CDataSender(CDataManager* dataManager);
    // Each medium's destructor runs its deinit first, so no thread outlives the members.
    virtual ~CDataSender();
    CDataSender(const CDataSender&) = delete;
    CDataSender& operator=(const CDataSender&) = delete;

    virtual bool init() = 0;
    virtual bool isInit() = 0;
    virtual void deinit() = 0;
    virtual bool addConn(int connId, TransParam_t& param) = 0;
    virtual bool delConn(int connId) = 0;
    virtual bool isConnExist(int connId) = 0;
    virtual int getClientCount() = 0;
    virtual int getPort(int connId) = 0;
    virtual int getFps() = 0;
    virtual void sendTask() = 0;

    // Counts one package sent to the connections (once however many connections it went to).
    void calculateFrameRate();
    void resetFrameRate();

protected:
    // Step 2 of the getter rule: the last rate, zeroed after the read when nothing was sent in
    // the current pass of the send loop.
    int readFps();
    // getFps of a medium with `connections` connections: -1 without any, else readFps.
    int readFps(int connections);
    // Marks the current pass as sent and counts the package.
    void countSent();

    // init of the socket media: attaches the fifo (drop-oldest, depth 8) before the send thread
    // starts, so every package published after init is queued, then starts sendTask, at
    // real-time priority `priority` where the system allows it (0: the default policy). False
    // when running already or without a thread, with nothing left attached.
    bool startSending(int priority);
    // deinit of the socket media: stops and joins the send thread, detaches the fifo, then calls
    // stopped() (still serialised with startSending). Nothing when not running.
    void stopSending();
    // The medium's part of stopSending: drops its connections and the send thread's buffers.
    virtual void stopped() {}
    // sendTask of the socket media: waits up to 100 ms for a package, then takes every other one
    // already queued without waiting (at most the fifo's depth), hands them to sendPackages, counts
    // each one marked sent and releases them all; a package-less pass clears the sent flag.
    void sendLoop();
    // Sends `count` packages in fifo order (`data[i]`, `length[i]` bytes from its header) and sets
    // `sent[i]` for each that counts as sent. This one calls sendPackage for each in turn.
    virtual void sendPackages(size_t count, unsigned char* const* data, const int* length, bool* sent);
    virtual bool sendPackage(unsigned char* data, int length);

    std::thread m_thread;
    std::atomic<bool> m_bRunning{false};
    CDataManager* m_pDataManager; // borrowed from the owning transport
    std::atomic<bool> m_bSent{false};
    CFrameRate m_frameRate;
    std::mutex m_mutexSendState;
    CDataFifo* m_pSendFifo{nullptr}; // created by startSending, destroyed by stopSending
};

// Runs one job per destination of a package: the first on the calling thread, each further one
// on a worker thread of its own. A worker is started the first time a package has that many
// destinations and then waits for the next package until stop(), so no package starts a thread
// and one slow reader delays no other. Without a thread to spare, the jobs left run in turn on
// the caller.
//
// Threads: run() and stop() are called by one thread (the medium's send thread, or its owner
// once that thread is joined); the workers touch only their own slot and m_remaining.
class CSendWorkers {
public:
    using Job_t = void (*)(void* context, size_t index);

    CSendWorkers() = default;
    ~CSendWorkers();
    CSendWorkers(const CSendWorkers&) = delete;
    CSendWorkers& operator=(const CSendWorkers&) = delete;

    // Calls job(context, i) for every i in 0..count-1 (the job must not throw) and returns when
    // every call has returned.
    void run(size_t count, Job_t job, void* context);
    template <typename Fn> void run(size_t count, Fn& fn)
    {
        run(
            count, [](void* context, size_t index) { (*static_cast<Fn*>(context))(index); }, &fn);
    }
    // Stops and joins every worker; the next run starts them again.
    void stop();
    size_t workerCount() const { return m_workers.size(); }

private:
    struct Worker_t {
        std::thread m_thread;
        std::mutex m_mutex;
        std::condition_variable m_cv;
        bool m_bPending{false}; // guarded by m_mutex
        bool m_bQuit{false};    // guarded by m_mutex
    };
    void workerLoop(Worker_t* worker, size_t index);
    void finishOne();

    std::vector<std::unique_ptr<Worker_t>> m_workers;
    // The round in flight: written before the workers are woken, read by them.
    Job_t m_pfnJob{nullptr};
    void* m_pContext{nullptr};
    std::atomic<size_t> m_remaining{0};
    std::mutex m_mutexDone;
    std::condition_variable m_cvDone;
};

// A list of prepared datagrams: (start, length) pairs.
using DatagramList_t = std::vector<std::pair<unsigned char*, int>>;

// Number of fragments of a payload of `payload` bytes in pieces of at most `fragPayload` bytes:
// 1 for an empty payload, else the quotient rounded up. 0 for a fragment size of 0.
uint32_t fragmentCount(uint32_t payload, uint32_t fragPayload);
// Bytes of scratch space buildFragments needs: a header per fragment plus the payload.
size_t fragmentScratchSize(uint32_t payload, uint32_t fragPayload);
// Payload bytes of fragment `seqNo` (1..n) of a frame of `totalLen` payload bytes.
uint32_t fragmentPayloadLen(uint32_t seqNo, uint32_t totalLen, uint32_t fragPayload);
// Flag of fragment `seqNo` of `count`: first (also when it is the only one), last, middle.
uint8_t fragmentFlag(uint32_t seqNo, uint32_t count);

// Writes the header of fragment `seqNo` of a frame of `payload` bytes at `to` (flag, number, the
// source's type and time stamp, lengths, count).
void writeFragmentHeader(uint8_t* to, const DDSHeader_t& source, uint32_t seqNo, uint32_t payload,
                         uint32_t fragPayload);
// Writes fragment `seqNo` of a frame of `payload` bytes at `to`: its header (flag, number, the
// source's type and time stamp, lengths, count) and its slice, read at `from`. Its payload length.
uint32_t writeFragment(uint8_t* to, const DDSHeader_t& source, const uint8_t* from, uint32_t seqNo, uint32_t payload,
                       uint32_t fragPayload);

// Cuts one package (`len` bytes: its 34-byte header, then the payload) into fragments laid out
// back to back in `scratch`, each a full header (magic, flag, the package's type and time stamp,
// fragment number from 1, this fragment's payload length, the frame's payload length, the
// fragment count, reserved bytes 0) and its slice of the payload; `out` receives one
// (start, length) pair per fragment. False, with `out` empty, for a package shorter than a
// header, a payload above DDS_MAX_FRAME_PAYLOAD, a fragment size of 0 or too little scratch.
// The senders gather their datagrams instead (gatherFragments); these whole copies are what the
// checks compare the gathered ones against and what test peers send.
bool buildFragments(const uint8_t* pkg, size_t len, uint32_t fragPayload, uint8_t* scratch, size_t scratchSize,
                    DatagramList_t& out);

// Sends the datagrams in order to one address with MSG_NOSIGNAL. Stops at the first datagram
// that cannot be sent whole (the rest of that frame is useless to the receiver, and a socket
// with a send timeout then costs one timeout per package, not one per fragment). Returns the
// number of datagrams sent.
int sendUdpData(int fd, const sockaddr* address, int addressLen, const DatagramList_t& datagrams);

// One fragment gathered from two places: its header, then its slice of the package's payload,
// which stays where it is. `m_u32FrameLeft` counts the datagrams from this one to the end of its
// frame (1 for a frame's last), so a list can hold the frames of several packages.
struct GatheredFragment_t {
    iovec m_iov[2];
    uint32_t m_u32FrameLeft;
};
using GatheredList_t = std::vector<GatheredFragment_t>;

// The fragments of buildFragments without copying the payload: only the headers are written, back
// to back in `headers` (grown as needed, DDS_HEADER_SIZE bytes a fragment); each entry of `out`
// points at its header and at its slice of `pkg`, which must stay valid while they are sent.
// The same refusals as buildFragments, and false when `headers` cannot grow.
bool gatherFragments(const uint8_t* pkg, size_t len, uint32_t fragPayload, std::vector<uint8_t>& headers,
                     GatheredList_t& out);
// The same, appended behind the frames already in `out` (whose headers lie at the start of
// `headers`, DDS_HEADER_SIZE bytes each in list order, and move with it when it grows). A refusal
// leaves both as they were.
bool appendFragments(const uint8_t* pkg, size_t len, uint32_t fragPayload, std::vector<uint8_t>& headers,
                     GatheredList_t& out);

// One destination of a datagram sender. `m_pStalled` (may be null) is the destination's own flag,
// touched only by the sending thread: set when a send timed out (the reader does not read), it
// makes the next frames try their first datagram without waiting and drop the frame at once
// while the reader still has no room; a frame that goes out whole clears it. So a stalled
// reader costs one send timeout, not one per package.
//
// `m_pSegment` (may be null: one datagram per send) lets runs of a frame's datagrams go out in one
// segmented send (UDP_SEGMENT: the kernel cuts them into the same datagrams) while it is set; the
// first segmented send the kernel refuses (a link MTU below the datagram, no checksum offload,
// an old kernel) clears it for good and that run is resent datagram by datagram.
// `m_pConnected` (may be null: every send names the address) marks a medium whose socket is
// connected at its first send and then sends without an address; a peer that went away clears
// it, losing that frame as an unconnected send would, and the next frame connects again.
// Both flags, like the stall flag, are the destination's own and touched by the sending thread.
struct DatagramTarget_t {
    int m_iFd;
    const sockaddr* m_pAddr;
    int m_iAddrLen;
    bool* m_pStalled;
    bool* m_pSegment{nullptr};
    bool* m_pConnected{nullptr};
};

// Sends the gathered frames of one or more packages to one target, in order and with as few
// system calls as the kernel allows, under the stall rule above: a frame stops at its first
// datagram that does not go out whole, and the next frame is tried. The number of datagrams sent.
int sendToTarget(const DatagramTarget_t& target, const GatheredList_t& fragments);

// Cuts each package once and sends the same datagrams to every target, the targets in parallel
// when there are several (CSendWorkers), so one slow reader delays no other. Used by one send
// thread only; its lists and workers are kept between packages.
class CDatagramFanout {
public:
    explicit CDatagramFanout(uint32_t fragPayload) : m_u32FragPayload(fragPayload) {}

    // Sends one package to every target without copying the payload: the fragment headers are
    // written in the caller's `scratch` (grown to the largest package's, DDS_HEADER_SIZE bytes a
    // fragment) and each datagram is gathered from its header and its slice of `pkg`. False for
    // no target, a malformed package, or a scratch that cannot grow.
    bool send(std::vector<uint8_t>& scratch, const uint8_t* pkg, int len, const std::vector<DatagramTarget_t>& targets);
    // The same for `count` packages at once: their frames go to each target in this order, batched
    // across packages. `built[i]` tells whether package i was cut (false for a malformed one, or
    // all false for no target or a scratch that cannot grow); the number cut.
    size_t send(std::vector<uint8_t>& scratch, size_t count, const uint8_t* const* pkgs, const int* lens,
                const std::vector<DatagramTarget_t>& targets, bool* built);
    // Stops the workers (the owner's stop, once the send thread is joined).
    void stop() { m_workers.stop(); }

    uint32_t getFragPayload() const { return m_u32FragPayload; }

private:
    uint32_t m_u32FragPayload;
    GatheredList_t m_gathered;
    CSendWorkers m_workers;
};

// Closes a connection's own socket (the datagram media's connection holders).
void closeConnSocket(int fd);

// The connection table of a datagram medium: one record with its own socket per reader, keyed
// by the control descriptor. The send thread copies the holders and sends without the lock, so
// control work never waits for a reader; a socket closes when its last holder lets go.
// `Record` has m_iFd and m_addr (the reader's address).
//
// Threads: any; m_mutex guards m_map and is held only for table work, never across a send.
template <typename Record> class CDatagramConns {
public:
    // `connectFirst`: every connection's socket is connected at its first send.
    explicit CDatagramConns(bool connectFirst = false) : m_bConnectFirst(connectFirst) {}

    struct Conn_t {
        Conn_t(const Record& record, bool segment) : m_stAddr(record), m_bSegment(segment) {}
        ~Conn_t() { closeConnSocket(m_stAddr.m_iFd); }
        Conn_t(const Conn_t&) = delete;
        Conn_t& operator=(const Conn_t&) = delete;
        Record m_stAddr;
        bool m_bStalled{false}; // send thread only, like the two below
        bool m_bSegment;        // segmented sends allowed
        bool m_bConnected{false};
    };
    using ConnPtr = std::shared_ptr<Conn_t>;

    // Takes over the record's socket; false (the socket closed) for an id already present.
    // `segment`: its sends may be segmented (DatagramTarget_t).
    bool add(int connId, const Record& record, bool segment = false)
    {
        ConnPtr conn = std::make_shared<Conn_t>(record, segment);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_map.count(connId) != 0) {
            return false;
        }
        m_map.emplace(connId, std::move(conn));
        m_iCount.store(static_cast<int>(m_map.size()));
        return true;
    }
    // Drops the connection after calling `onRemove(record)` under the lock; the socket closes
    // now, or after the package in flight when the send thread still holds it.
    template <typename OnRemove> bool remove(int connId, OnRemove&& onRemove)
    {
        ConnPtr dropped;
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_map.find(connId);
        if (it == m_map.end()) {
            return false;
        }
        dropped = std::move(it->second);
        onRemove(static_cast<const Record&>(dropped->m_stAddr));
        m_map.erase(it);
        m_iCount.store(static_cast<int>(m_map.size()));
        return true;
    }
    void clear()
    {
        std::map<int, ConnPtr> dropped;
        std::lock_guard<std::mutex> lock(m_mutex);
        dropped.swap(m_map);
        m_iCount.store(0);
    }
    bool exists(int connId)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_map.count(connId) != 0;
    }
    // The record's `field` (its port or index), -1 for an id not present.
    int number(int connId, int Record::*field)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_map.find(connId);
        return it == m_map.end() ? -1 : it->second->m_stAddr.*field;
    }
    // Lock-free: the table's size.
    int count() const { return m_iCount.load(); }

    // Send thread: copies the holders into `holders` and lists their targets; false when there is
    // no connection. The caller clears both after the send.
    bool snapshot(std::vector<ConnPtr>& holders, std::vector<DatagramTarget_t>& targets)
    {
        holders.clear();
        targets.clear();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_map.empty()) {
                return false;
            }
            for (const auto& entry : m_map) {
                holders.push_back(entry.second);
            }
        }
        for (const ConnPtr& conn : holders) {
            const Record& record = conn->m_stAddr;
            targets.push_back(DatagramTarget_t{record.m_iFd, reinterpret_cast<const sockaddr*>(&record.m_addr),
                                               static_cast<int>(sizeof(record.m_addr)), &conn->m_bStalled,
                                               &conn->m_bSegment, m_bConnectFirst ? &conn->m_bConnected : nullptr});
        }
        return true;
    }

private:
    std::map<int, ConnPtr> m_map;
    std::mutex m_mutex;
    std::atomic<int> m_iCount{0}; // m_map's size, for the lock-free getters
    bool m_bConnectFirst;
};
