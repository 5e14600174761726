// Data sender over Unix-domain datagram sockets: every package the topic's writers publish goes to
// every connected reader, cut into datagrams of at most 65536 bytes.
//
// Threads: the send thread runs sendTask; the reactor thread calls addConn, init, isConnExist,
// getPort and delConn; the transport's teardown calls delConn and deinit; status threads call
// getClientCount and getFps. m_mutexConn guards m_mapConn and is held only for table work, never
// across a send: the send thread copies the connections (shared holders) and sends without it, so
// control work never waits for a reader. A connection's socket closes when its last holder
// drops it. m_mutexState serialises init and deinit.
#pragma once

#include <sys/un.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "core/transport/sender.h"

class CDataFifo;

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
    // A connection as the table and the send thread share it; closes its socket when the last
    // holder lets go.
    struct Conn_t {
        explicit Conn_t(const UnixSockAddr_t& record) : m_stAddr(record) {}
        ~Conn_t();
        Conn_t(const Conn_t&) = delete;
        Conn_t& operator=(const Conn_t&) = delete;
        UnixSockAddr_t m_stAddr;
        bool m_bStalled{false}; // send thread only
    };
    using ConnPtr = std::shared_ptr<Conn_t>;

    std::map<int, ConnPtr> m_mapConn;
    std::mutex m_mutexConn;
    std::atomic<int> m_iConnCount{0}; // m_mapConn's size, for the lock-free getters
    std::mutex m_mutexState;
    CDataFifo* m_pFifo{nullptr}; // created by init, read by the send thread, destroyed by deinit
    CDatagramFanout m_fanout{UNIX_SOCKET_FRAG_PAYLOAD};
    // Send thread only, kept between packages.
    std::vector<ConnPtr> m_vecSnapshot;
    std::vector<DatagramTarget_t> m_vecTargets;
};
