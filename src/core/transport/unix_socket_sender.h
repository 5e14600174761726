// Data sender over Unix-domain datagram sockets: every package the topic's writers publish goes to
// every connected reader, cut into datagrams of at most 65536 bytes.
//
// Threads: the send thread runs sendTask; the reactor thread calls addConn, init, isConnExist,
// getPort and delConn; the transport's teardown calls delConn and deinit; status threads call
// getClientCount and getFps. The connection table (CDatagramConns) guards itself and is never
// locked across a send; init and deinit are serialised by the base.
#pragma once

#include <sys/un.h>

#include <cstdint>
#include <vector>

#include "core/transport/datagram_conns.h"
#include "core/transport/datagram_fanout.h"
#include "core/transport/sender.h"

// Fragment payload and datagram limit of this medium.
constexpr uint32_t UNIX_SOCKET_FRAG_PAYLOAD = 65502;
constexpr int UNIX_SOCKET_MAX_DATAGRAM = 65536;
// Socket buffer size of both sides (logged as 2048 KB).
constexpr int UNIX_SOCKET_BUF_SIZE = 2097152;
// Bound on one datagram send: a reader that does not read loses its messages and stalls no one.
constexpr int UNIX_SOCKET_SEND_TIMEOUT_MS = 50;

// One reader connection of the sender.
struct UnixSockAddr_t {
    int m_iFd;                         // the connection's own datagram socket (unbound)
    char m_szPath[DDS_PATH_TEXT_SIZE]; // the receiver's path
    int m_iId;                         // socket index
    sockaddr_un m_addr;
};

class CUnixSocketSender : public CDataSender {
public:
    explicit CUnixSocketSender(CDataManager* dataManager);
    ~CUnixSocketSender() override;

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

    // Opens the connection's socket and fills `out`; 0, or -1 (a path that is empty or not
    // terminated inside its field is refused before any socket is opened).
    int open(UnixSocketParam_t& param, UnixSockAddr_t* out);
    // Sends one package (`length` bytes from its header) to every connection.
    void sendData(unsigned char* header, int length);

private:
    void stopped() override;
    void sendPackages(size_t count, unsigned char* const* data, const int* length, bool* sent) override;
    // The fan-out of `count` packages, their datagrams batched across packages; `sent[i]` is set
    // when package i went out to a connection still listed.
    void fanOut(size_t count, unsigned char* const* data, const int* length, bool* sent);

    // Connected at the first send: no path lookup for every datagram.
    CDatagramConns<UnixSockAddr_t> m_conns{true};
    CDatagramFanout m_fanout{UNIX_SOCKET_FRAG_PAYLOAD};
    // Send thread only, kept between packages: the connection snapshot and the fragment headers.
    std::vector<CDatagramConns<UnixSockAddr_t>::ConnPtr> m_vecSnapshot;
    std::vector<DatagramTarget_t> m_vecTargets;
    std::vector<uint8_t> m_vecHeaders;
};
