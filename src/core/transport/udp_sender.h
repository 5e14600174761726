// Data sender over UDP unicast: every package the topic's writers publish goes to every connected
// reader on another host, cut into datagrams of at most 1472 bytes.
//
// Threads: the send thread runs sendTask; the reactor thread calls addConn, init, isConnExist,
// getPort and delConn; the transport's teardown calls delConn and deinit; status threads call
// getClientCount and getFps. The connection table (CDatagramConns) guards itself and is never
// locked across a send; init and deinit are serialised by the base.
//
// The fragment headers are written in a buffer of the sender's own, never in the topic's pool (a
// shared-memory pool serves only its group sizes, and its chunks belong to the writers); each
// datagram is gathered from its header and its slice of the package.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <vector>

#include "core/transport/datagram_conns.h"
#include "core/transport/datagram_fanout.h"
#include "core/transport/sender.h"

// Fragment payload and datagram limit of this medium.
constexpr uint32_t UDP_FRAG_PAYLOAD = 1438;
constexpr int UDP_MAX_DATAGRAM = 1472;
// Socket buffer size of both sides (logged as 2048 KB).
constexpr int UDP_SOCK_BUF_SIZE = 2097152;
// Send timeout of the sender's sockets and receive timeout of the receiver's.
constexpr int UDP_SOCK_TIMEOUT_MS = 50;
// Real-time priority asked for the send and receive threads.
constexpr int UDP_THREAD_PRIORITY = 10;

// One reader connection of the sender.
struct UdpSockAddr_t {
    int m_iFd;                     // the connection's own UDP socket (unbound)
    char m_szIp[DDS_IP_TEXT_SIZE]; // the receiver's address text
    int m_iPort;                   // the data port
    sockaddr_in m_addr;
};

class CUdpSender : public CDataSender {
public:
    explicit CUdpSender(CDataManager* dataManager);
    ~CUdpSender() override;

    bool init() override;
    bool isInit() override;
    void deinit() override;
    bool addConn(int connId, TransParam_t& param) override;
    bool delConn(int connId) override;
    bool isConnExist(int connId) override;
    int getClientCount() override;
    int getPort(int connId) override;
    int getFps() override;
    void sendTask() override;

    // Opens the connection's socket and fills `out`; 0, or -1 (an address that is not dotted
    // IPv4 inside its field, or a port outside 1..65535, is refused before a socket is opened).
    int open(UdpParam_t& param, UdpSockAddr_t* out);
    // Sends one package (`length` bytes from its header) to every connection; true when it went
    // out (to at least the first datagram's send), false for no connection or a malformed package.
    bool sendData(unsigned char* header, int length);

private:
    void stopped() override;
    void sendPackages(size_t count, unsigned char* const* data, const int* length, bool* sent) override;
    // sendData for `count` packages at once, their datagrams batched across packages; true when
    // any went out (to at least its first datagram's send).
    bool sendBatch(size_t count, unsigned char* const* data, const int* length);

    CDatagramConns<UdpSockAddr_t> m_conns;
    CDatagramFanout m_fanout{UDP_FRAG_PAYLOAD};
    // Send thread only, kept between packages: the connection snapshot, and the fragment headers
    // (grown to the largest package's, freed by deinit).
    std::vector<CDatagramConns<UdpSockAddr_t>::ConnPtr> m_vecSnapshot;
    std::vector<DatagramTarget_t> m_vecTargets;
    std::vector<uint8_t> m_vecScratch;
    bool m_bBuilt[SEND_FIFO_DEPTH];
};

// A second fragmenting send to one address, with the largest datagram `maxDatagram` (it must
// exceed the 34-byte header) and one scratch package of that size from `dataManager`; the
// library's own flow does not use it. 0, or -1 for bad arguments or no scratch package.
int sendUdpSockData(int fd, sockaddr* address, int addressLen, void* header, int length, int maxDatagram,
                    CDataManager* dataManager);
