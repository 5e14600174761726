// Data sender over UDP unicast: every package the topic's writers publish goes to every connected
// reader on another host, cut into datagrams of at most 1472 bytes, sent in segmented runs where
// the kernel and the path allow it (see CDatagramSender for the threads).
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "core/transport/datagram/datagram_sender.h"
#include "core/transport/media/udp_medium.h"

class CDataManager;

// One reader connection of the sender.
struct UdpSockAddr_t {
    int m_iFd;                     // the connection's own UDP socket (unbound)
    char m_szIp[DDS_IP_TEXT_SIZE]; // the receiver's address text
    int m_iPort;                   // the data port
    sockaddr_in m_addr;
};

class CUdpSender : public CDatagramSender<UdpSockAddr_t> {
public:
    explicit CUdpSender(CDataManager* dataManager);
    ~CUdpSender() override;

    // Opens the connection's socket and fills `out`; 0, or -1 (an address that is not dotted
    // IPv4 inside its field, or a port outside 1..65535, is refused before a socket is opened).
    int open(UdpParam_t& param, UdpSockAddr_t* out);
    // Sends one package (`length` bytes from its header) to every connection; true when it went
    // out (to at least the first datagram's send), false for no connection or a malformed package.
    bool sendData(unsigned char* header, int length);

private:
    bool openConn(TransParam_t& param, UdpSockAddr_t* out, bool* segment) override;
    void connDeleted(int connId, const UdpSockAddr_t& record) override;
};

// A second fragmenting send to one address, with the largest datagram `maxDatagram` (it must
// exceed the 34-byte header) and one scratch package of that size from `dataManager`; the
// library's own flow does not use it. 0, or -1 for bad arguments or no scratch package.
int sendUdpSockData(int fd, sockaddr* address, int addressLen, void* header, int length, int maxDatagram,
                    CDataManager* dataManager);
