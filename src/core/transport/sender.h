// Base of every medium's data sender, and the datagram fragmenter the socket media share.
//
// Threads: a sender's send thread runs sendTask; the control channel's reactor thread calls
// addConn, delConn, isConnExist, getPort and init; the transport's teardown calls delConn and
// deinit; status threads call getClientCount and getFps. The base holds only atomics (running
// flag, sent flag, frame-rate fields); each medium guards its own connection table.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "core/transport/frame_rate.h"
#include "core/transport/transport.h"

class CDataManager;

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

    std::thread m_thread;
    std::atomic<bool> m_bRunning{false};
    CDataManager* m_pDataManager; // borrowed from the owning transport
    std::atomic<bool> m_bSent{false};
    CFrameRate m_frameRate;
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

// Cuts one package (`len` bytes: its 34-byte header, then the payload) into fragments laid out
// back to back in `scratch`, each a full header (magic, flag, the package's type and time stamp,
// fragment number from 1, this fragment's payload length, the frame's payload length, the
// fragment count, reserved bytes 0) and its slice of the payload; `out` receives one
// (start, length) pair per fragment. False, with `out` empty, for a package shorter than a
// header, a payload above DDS_MAX_FRAME_PAYLOAD, a fragment size of 0 or too little scratch.
bool buildFragments(const uint8_t* pkg, size_t len, uint32_t fragPayload, uint8_t* scratch, size_t scratchSize,
                    DatagramList_t& out);

// Sends the datagrams in order to one address with MSG_NOSIGNAL. Stops at the first datagram
// that cannot be sent whole (the rest of that frame is useless to the receiver, and a socket
// with a send timeout then costs one timeout per package, not one per fragment). Returns the
// number of datagrams sent.
int sendUdpData(int fd, const sockaddr* address, int addressLen, const DatagramList_t& datagrams);

// One destination of a datagram sender. `m_pStalled` (may be null) is the destination's own flag,
// touched only by the sending thread: set when a send timed out (the reader does not read), it
// makes the next frames try their first datagram without waiting and drop the frame at once
// while the reader still has no room; a frame that goes out whole clears it. So a stalled
// reader costs one send timeout, not one per package.
struct DatagramTarget_t {
    int m_iFd;
    const sockaddr* m_pAddr;
    int m_iAddrLen;
    bool* m_pStalled;
};

// Sends one frame's datagrams to one target under the stall rule above; the number sent.
int sendToTarget(const DatagramTarget_t& target, const DatagramList_t& datagrams);

// Cuts each package once into a scratch package and sends the same datagrams to every target,
// the targets in parallel when there are several, so one slow reader delays no other. Used by
// one send thread only; its lists are kept between packages.
class CDatagramFanout {
public:
    explicit CDatagramFanout(uint32_t fragPayload) : m_u32FragPayload(fragPayload) {}

    // Sends one package to every target. False when nothing was sent: no target, a malformed
    // package, or no scratch package from the data manager.
    bool send(CDataManager* dataManager, const uint8_t* pkg, int len, const std::vector<DatagramTarget_t>& targets);

    uint32_t getFragPayload() const { return m_u32FragPayload; }

private:
    uint32_t m_u32FragPayload;
    DatagramList_t m_datagrams;
    std::vector<std::future<int>> m_tasks;
};
