// Data receiver over a Unix-domain datagram socket: binds the channel's path, reassembles the
// fragments into packages of the transport's pool and publishes them through its data manager.
//
// Threads: the receive thread runs recvTask (and every data callback); the control thread calls
// init, deinit and the destructor (m_mutexState serialises them); application threads call the
// forwarding operations and getFps. m_iFd is atomic because getFps reads it.
//
// The path must be the one the writing side makes for this topic ("/tmp/<topic>-<index>"). A file
// there is removed only when it is a socket that nobody serves (a connect is refused); a live
// socket or any other kind of file makes init fail. deinit removes the socket file it bound.
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <atomic>
#include <mutex>

#include "core/transport/receiver.h"

// Receive buffer: larger than any datagram of this medium.
constexpr int UNIX_SOCKET_RECV_BUF_SIZE = 65586;
// Datagrams taken per read.
constexpr int UNIX_SOCKET_RECV_BATCH = 8;

class CUnixSocketReceiver : public CDataReceiver {
public:
    CUnixSocketReceiver(const std::string& topicName, CDataManager* dataManager);
    explicit CUnixSocketReceiver(CDataManager* dataManager);
    ~CUnixSocketReceiver() override;

    bool init(TransParam_t& param) override;
    void deinit() override;
    int getFps() override;
    void recvTask() override;

    // Checks the path, opens the socket and binds it; 0, or -1 with nothing left open.
    int open(UnixSocketParam_t& param);

private:
    // Whether the file at m_addr's path may be replaced; removes it when it is a stale socket.
    bool clearPath();
    // Closes the socket and removes the file it bound, if that file is still ours.
    void closeSocket();

    sockaddr_un m_addr;
    std::atomic<int> m_iFd{-1};
    dev_t m_boundDev{0};
    ino_t m_boundIno{0};
    std::mutex m_mutexState;
};
