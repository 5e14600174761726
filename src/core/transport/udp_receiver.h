// Data receiver over UDP: binds the channel's port on every local address, reassembles the
// fragments into packages of the transport's pool and publishes them through its data manager.
//
// Threads: the receive thread runs recvTask (and every data callback); the control thread calls
// init, deinit and the destructor (m_mutexState serialises them); application threads call the
// forwarding operations and getFps. m_iFd is atomic because getFps reads it.
//
// The port is bound without SO_REUSEADDR: two channels can never share a port silently; the
// second bind fails and that channel's init with it.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <mutex>

#include "core/transport/receiver.h"

// Receive buffer: larger than any datagram of this medium, so a longer one shows as too long.
constexpr int UDP_RECV_BUF_SIZE = 2496;
// Datagrams taken per read: a 1 MiB message is about 730 of them.
constexpr int UDP_RECV_BATCH = 64;
// With coalesced reads: slots per read, each room for one coalesced buffer (at most one UDP
// datagram's payload, 65507 bytes).
constexpr int UDP_GRO_BATCH = 8;
constexpr int UDP_GRO_BUF_SIZE = 65536;
// Pause after a failed read, doubling with every further failure.
constexpr int UDP_ERROR_PAUSE_MIN_US = 20;
constexpr int UDP_ERROR_PAUSE_MAX_US = 1000;

class CUdpReceiver : public CDataReceiver {
public:
    CUdpReceiver(const std::string& topicName, CDataManager* dataManager);
    explicit CUdpReceiver(CDataManager* dataManager);
    ~CUdpReceiver() override;

    bool init(TransParam_t& param) override;
    void deinit() override;
    int getFps() override;
    void recvTask() override;

    // Opens the socket and binds the port on every local address; 0, or -1 with nothing left open
    // (a sender address not terminated inside its field is refused before a socket is opened, and
    // so is a second open while a socket is held).
    int open(UdpParam_t& param);
    // The pause after a failed read that followed a pause of `pauseUs`.
    static int nextErrorPause(int pauseUs);

private:
    sockaddr_in m_addr;
    std::atomic<int> m_iFd{-1};
    std::mutex m_mutexState;
};
