// Data receiver over a Unix-domain datagram socket: binds the channel's path, reassembles the
// fragments into packages of the transport's pool and publishes them through its data manager
// (see CDatagramReceiver for the threads).
//
// The path must be the one the writing side makes for this topic ("/tmp/<topic>-<index>"). A file
// there is removed only when it is a socket that nobody serves (a connect is refused); a live
// socket or any other kind of file makes init fail. deinit removes the socket file it bound.
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <cstddef>
#include <string>

#include "core/transport/datagram/datagram_receiver.h"
#include "core/transport/media/unix_socket_medium.h"

class CUnixSocketReceiver : public CDatagramReceiver {
public:
    CUnixSocketReceiver(const std::string& topicName, CDataManager* dataManager);
    explicit CUnixSocketReceiver(CDataManager* dataManager);
    ~CUnixSocketReceiver() override;

    // Checks the path, opens the socket and binds it; 0, or -1 with nothing left open.
    int open(UnixSocketParam_t& param);

private:
    int openChannel(TransParam_t& param) override;
    // Closes the socket and removes the file it bound, if that file is still ours.
    void closeChannel() override;
    bool keepDatagram(size_t len) override;
    int pauseAfter(int pauseUs) override;
    void logExit() override;
    // Whether the file at m_addr's path may be replaced; removes it when it is a stale socket.
    bool clearPath();

    sockaddr_un m_addr;
    dev_t m_boundDev{0};
    ino_t m_boundIno{0};
};
