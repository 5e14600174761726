// Data receiver over UDP: binds the channel's port on every local address, reassembles the
// fragments into packages of the transport's pool and publishes them through its data manager
// (see CDatagramReceiver for the threads). It reads coalesced buffers where the socket allows it.
//
// The port is bound without SO_REUSEADDR: two channels can never share a port silently; the
// second bind fails and that channel's init with it.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>

#include "core/transport/datagram/datagram_receiver.h"
#include "core/transport/media/udp_medium.h"

class CUdpReceiver : public CDatagramReceiver {
public:
    CUdpReceiver(const std::string& topicName, CDataManager* dataManager);
    explicit CUdpReceiver(CDataManager* dataManager);
    ~CUdpReceiver() override;

    // Opens the socket and binds the port on every local address; 0, or -1 with nothing left open
    // (a sender address not terminated inside its field is refused before a socket is opened, and
    // so is a second open while a socket is held).
    int open(UdpParam_t& param);
    // The pause after a failed read that followed a pause of `pauseUs`.
    static int nextErrorPause(int pauseUs);

private:
    int openChannel(TransParam_t& param) override;
    void closeChannel() override;
    bool keepDatagram(size_t len) override;
    int pauseAfter(int pauseUs) override;
    void logExit() override;

    sockaddr_in m_addr;
};
