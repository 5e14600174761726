// Data sender over TCP: for every connection added it listens at the connection's address and
// port (the listening socket served by the event reactor), and sends every package the topic's
// writers publish, whole, to every socket accepted there.
//
// Threads: the send thread runs sendTask and sendData (each further reader is served by a worker
// of m_workers); the reactor thread runs the accept callback; addConn, delConn, isConnExist,
// getPort, getClientCount and getFps run on the caller's thread (the reactor thread for the
// control channel). m_mutexConn guards m_mapConn, m_mutexAccept guards m_mapAccepted; lock order
// m_mutexConn, then m_mutexAccept. Neither is held across a send: sendData sends to a snapshot of
// shared holders, so a slow reader never holds up an accept or any control work. An accepted
// socket closes when its last holder lets go. init and deinit are serialised by the base.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/transport/datagram/send_workers.h"
#include "core/transport/sender.h"
#include "utils/unique_fd.h"

// Send buffer of accepted sockets (logged as 256 KB) and their send timeout.
constexpr int TCP_SEND_BUF_SIZE = 262144;
constexpr int TCP_SEND_TIMEOUT_MS = 100;
// Once part of a frame is out, the rest may take this long, as long as it keeps moving.
constexpr int TCP_FRAME_FINISH_MS = 5000;

// Results of sendTcpData besides 0 (the frame went out whole), -1 (bad arguments), -201 (a send
// failure before any byte of the frame went out; the reader stays) and -202 (the peer is gone).
constexpr int TCP_SEND_SKIPPED = -203;   // nothing went out within the send bound: the stream is still aligned
constexpr int TCP_SEND_TRUNCATED = -205; // part of the frame went out and the rest could not follow

// Sends one package (`length` bytes from its header) on a connected stream. The header goes out
// as a private copy stamped as a whole frame (fragment 1 of 1, flag 0, total length = `length`,
// payload length = `length` - 34); the package itself is not written. A frame is either sent
// whole or, when a part went out and the rest cannot follow, reported as TCP_SEND_TRUNCATED: the
// caller must then close the stream, which is no longer aligned. `stalled` (may be null) is the
// reader's own flag, used by one thread at a time: set when nothing could be sent, it makes the
// next frames try once without waiting, so a reader that does not read costs one send bound, not
// one per package. Every result but 0 prints "Failed to send data, ..." (a reader that stays
// stalled prints it once).
int sendTcpData(int fd, const void* data, int length, bool* stalled = nullptr);

// One connection of the sender.
struct TcpSockAddr_t {
    CUniqueFd m_iFd;    // listening socket, until closeListener
    TcpParam_t m_param; // address text and port
    sockaddr_in m_addr; // the bound address
};

class CTcpSender : public CDataSender {
public:
    explicit CTcpSender(CDataManager* dataManager);
    ~CTcpSender() override;

    bool init() override;
    bool isInit() override;
    void deinit() override;
    // Refuses a type other than TCP and an id already present.
    bool addConn(int connId, TransParam_t& param) override;
    // Drops the listening socket and every reader accepted on it. The control descriptor `connId`
    // belongs to the control channel and stays open.
    bool delConn(int connId) override;
    bool isConnExist(int connId) override;
    int getClientCount() override;
    int getPort(int connId) override;
    int getFps() override;
    void sendTask() override;

    // Opens, binds and registers a listening socket; 0, or -1 with nothing left open.
    int open(TcpParam_t& param, TcpSockAddr_t* out);
    // Sends one package to every accepted reader, to all of them at once.
    void sendData(unsigned char* data, int length);

private:
    // An accepted reader; the socket closes when the last holder lets go.
    struct Accepted_t {
        Accepted_t(CUniqueFd fd, int listenFd) : m_iFd(std::move(fd)), m_iListenFd(listenFd) {}
        CUniqueFd m_iFd;
        int m_iListenFd;
        bool m_bStalled{false}; // the send thread's (or its one worker's) only
    };
    using AcceptedPtr = std::shared_ptr<Accepted_t>;

    // What the reactor's accept callbacks hold: they reach the sender only while it lives.
    struct AcceptGuard_t {
        std::mutex m_mutex;
        CTcpSender* m_pOwner{nullptr};
    };

    void stopped() override;
    void onAccept(int listenFd);
    // Unregisters a listening socket; the reactor closes it when it drops the record, this
    // holder when the reactor no longer has it.
    static void closeListener(CUniqueFd listenFd);
    // Drops every connection (both mutexes held by the caller).
    void closeAllLocked();
    void dropReader(const AcceptedPtr& reader);

    std::map<int, TcpSockAddr_t> m_mapConn;
    std::mutex m_mutexConn;
    std::map<int, std::vector<AcceptedPtr>> m_mapAccepted;
    std::mutex m_mutexAccept;
    std::atomic<int> m_iConnCount{0}; // m_mapConn's size, for getFps
    std::shared_ptr<AcceptGuard_t> m_pGuard;
    // Send thread only, kept between packages.
    std::vector<AcceptedPtr> m_vecSnapshot;
    std::vector<int> m_vecResults;
    CSendWorkers m_workers;
};
