// The writing side of one topic's control channel: a TCP endpoint served by the event reactor that
// answers each reader's data-channel request with a channel of a medium it picks, answers
// heartbeats, and takes a reader's channel down when its control connection closes.
//
// Threads: the reactor's poll thread runs every callback (accept, receive, the handlers and
// deleteConn); application threads construct, call the setters, setMsgTransParam, the package and
// status operations and the destructor. m_mutexFds guards m_iListenFd, m_mapConns, m_bClosing
// and the reserve descriptor; m_connParams has its own mutex. Each connection is served by one
// thread only: the optional poll loop (trans_sender_loop.cpp) accepts from the same listening
// socket as the reactor and serves the connections it accepted itself (never handed to the
// reactor); the reactor serves the others. What both may reach at once (the senders, the pools,
// the lists) has its own lock. m_mapSender is fixed after the constructor and read without a
// lock. Lock order: m_mutexFds, the reactor's table mutex; a sender's own lock; the channel
// lists' mutex last (nothing is taken under it).
//
// Descriptors: each is held by a CUniqueFd until it is registered with the reactor, and given
// back with unregisterEventAndClose, so the reactor closes it when it drops the record and its
// number cannot be reused while a record for it exists. Each registration carries a token that
// the reactor destroys with the record; the destructor waits for the tokens, so no callback of
// this object runs once it goes on.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/transport/control/control_msg.h"
#include "core/transport/sender.h"
#include "core/transport/transport.h"
#include "utils/unique_fd.h"
#include "utils/worker_thread.h"

class CDataManager;
class CPublisherImpl;

// Keepalive of accepted control connections: a reader host that vanishes without a FIN is dropped
// within about 10 s (idle 2 s, then 5 probes 1 s apart).
constexpr int CTRL_KEEPALIVE_IDLE_S = 2;
constexpr int CTRL_KEEPALIVE_INTERVAL_S = 1;
constexpr int CTRL_KEEPALIVE_COUNT = 5;
// Bound on unacknowledged data to such a host (ms), which keepalive alone does not cover.
constexpr int CTRL_USER_TIMEOUT_MS = 8000;
// Send timeout of every answer (ms).
constexpr int CTRL_SEND_TIMEOUT_MS = 10;

// Result of the handlers when the answer could not be sent whole: the stream is out of step and
// the caller closes the connection (the reader resets and rediscovers).
constexpr int CTRL_RET_SEND_FAILED = -2;

// Counts the live registrations of one kind; the reactor destroys a token with its record.
class CRegistrationCount {
public:
    class Token {
    public:
        explicit Token(std::shared_ptr<CRegistrationCount> owner);
        ~Token();
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;

    private:
        std::shared_ptr<CRegistrationCount> m_pOwner;
    };

    // Blocks until no token is left.
    void waitNone();
    int count();

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_iCount{0};
};

class CTransSender : public CTransport {
public:
    CTransSender();
    ~CTransSender() override;
    CTransSender(const CTransSender&) = delete;
    CTransSender& operator=(const CTransSender&) = delete;

    int setMsgTransParam(TransParam_t& param) override;
    int getTopicDataTransParam(const std::string& topicName, std::vector<ConnParam_t>* out) override;
    int getClientCount() override;
    uint64_t getLostPkgCount() override;
    int getFps(std::vector<int>& out) override;
    int setTopicImpl(CTopicImpl* topic) override;
    void setMemPool(CMemPool* pool) override;
    DataPackage_t* getEmptyDataPkg(int size, int timeoutMs) override;
    void putEmptyDataPkg(DataPackage_t* pkg) override;
    void referDataPkg(DataPackage_t* pkg) override;
    int putFullDataPkg(DataPackage_t* pkg, int len) override;
    int getDataPkgCapacity(DataPackage_t* pkg) override;
    int registerDataCallBack(std::function<int(int, DataPackage_t*)> callback) override;
    void unregisterDataCallBack(int id) override;
    int registerEventCallBack(std::function<void(int, int)> callback) override;
    void unregisterEventCallBack(int id) override;
    bool isConnect() override;

    int setPublisherImpl(CPublisherImpl* publisher);

    // One complete control message of a connection: 0 handled, -1 refused (no answer),
    // CTRL_RET_SEND_FAILED when the answer did not go out whole. A request is served only when
    // the address it names is a unicast address and the one the connection comes from or, for a
    // connection from this host, an address of one of this host's interfaces.
    int procMsg(int fd, unsigned char* msg, int len);
    int procRequestDataChanMsg(int fd, unsigned char* msg, int len);
    int procHeartbeatMsg(int fd, unsigned char* msg, int len);
    // Takes a channel's resource into `param`, as the medium's row says: 0, or -1 for a type
    // without a resource (unknown, or PCIe) or an empty pool (the resource manager has printed
    // its line; nothing is written).
    int allocDataTransChan(int type, TransParam_t* param);
    // Gives a channel's resource back: 0, or -1 for a type without a resource or a value of -1.
    int freeDataTransPort(int type, int value);
    int setTopicDataTransParam(const std::string& topic, ConnParam_t& conn);

    // A poll loop on a thread of this object that serves the endpoint beside the reactor; the
    // connections it accepts are its own. Not used by the library's own flow (trans_sender_loop.cpp).
    void startMsgTask();
    void stopMsgTask();
    void procMsgTask();

    // The data sender of a type code (null when this build has no such medium).
    std::shared_ptr<CDataSender> getSender(int type) const;
    // Control connections now open (the listening socket not counted).
    int getConnCount();
    // Test seam: runs in the destructor once no callback of a connection runs any more, before
    // the channels are released.
    void setBeforeChannelsGoHook(std::function<void()> hook) { m_fnBeforeChannelsGo = std::move(hook); }

private:
    struct CtrlConn_t {
        explicit CtrlConn_t(CUniqueFd fd) : m_fd(std::move(fd)) {}
        CUniqueFd m_fd;
        CCtrlMsgBuffer m_buffer;
        // A channel was offered, and the reader confirmed it with a heartbeat since.
        bool m_bOffered{false};
        bool m_bConfirmed{false};
    };
    void onAccept(int listenFd);
    // Serves one readable connection: false once it was closed (its number may be reused).
    bool onReadable(int fd);
    // Accepts one connection and sets its options; empty when accept failed (line printed).
    CUniqueFd acceptConn(int listenFd);
    // Out of descriptors: spends the reserve to take a pending connection off the listener.
    void refusePending(int listenFd);
    // Lists an accepted connection under its number, which it returns. Needs m_mutexFds.
    int listConn(CUniqueFd fd);
    // The poll loop's accept: the connection is listed but never registered. Its number, or -1.
    int acceptOwn(int listenFd);
    // Registers a descriptor with the reactor, its token counted in `count`.
    bool registerFd(int fd, bool listener);
    // Hands a descriptor to the reactor for closing, or closes it when the reactor does not hold
    // it (a stopped reactor dropped it, or it was never registered).
    static void releaseFd(CUniqueFd fd);
    // Forgets a connection, takes its channel down and releases its descriptor; nothing when it
    // was forgotten already. Serving thread only (a connection's buffer dies here). 0.
    int deleteConn(int fd);
    // Channel of a connection: sender table and channel lists. A channel that failed sets its
    // resource aside instead of giving it back in order.
    void releaseChannel(int fd, bool failed = false);
    // Gives a resource back to the back of its pool: the next request gets another one.
    void setAsideDataTransPort(int type, int value);
    void noteOffered(int fd);
    void noteConfirmed(int fd);
    // Opens the listening socket on the endpoint's port or, when another process holds that one
    // (at bind, or at listen when both bound first), on the next free port of the range; the port
    // goes into `*bound`. The descriptor, or -1 with its line printed. Ports found held go back
    // to the pool at once; the given one stays the caller's.
    int openEndpoint(const TransParam_t& param, int* bound);
    bool hasChannel(int fd);
    // Opens one channel of `type` for the connection; 0 or -1 (the resource is back).
    int openChannel(int type, int fd, const CtrlRequest_t& request, TransParam_t& ackParam, ConnParam_t& conn);
    // Starts a medium's send thread unless it runs: false, after a red line, when it cannot start
    // (a thread limit), and the channel is refused rather than offered with nothing to feed it.
    bool startSender(int type, CDataSender& sender);
    int sendAnswer(int fd, unsigned char* msg, int len);
    // The medium of a requester with this address text: a Unix-domain socket (or shared memory)
    // only for one that is on this host and names this side's address, UDP otherwise.
    int chooseMedium(const std::string& requesterIp, const std::string& hostIp, bool onHost);

    char m_szIp[DDS_IP_TEXT_SIZE];
    int m_iPort{0};
    CUniqueFd m_iListenFd; // registered with the reactor while it is held
    sockaddr_in m_stAddr;
    CWorkerThread m_thread;
    std::atomic<bool> m_bRunning{false};
    std::unique_ptr<CDataManager> m_pDataManager;
    std::map<int, std::shared_ptr<CDataSender>> m_mapSender;
    CTopicImpl* m_pTopicImpl{nullptr};
    std::string m_strTopicName; // copied from the topic, so the reactor thread reads no other object
    CPublisherImpl* m_pPublisherImpl{nullptr};
    CConnParamLists m_connParams;

    std::mutex m_mutexFds;
    // The accepted control connections by descriptor (the listening socket is m_iListenFd).
    std::map<int, std::unique_ptr<CtrlConn_t>> m_mapConns;
    bool m_bClosing{false}; // the destructor runs: accepted connections are closed at once
    std::shared_ptr<CRegistrationCount> m_pListenCount;
    std::shared_ptr<CRegistrationCount> m_pConnCount;
    CUniqueFd m_reserveFd; // spent to refuse a connection when the process is out of descriptors
    std::function<void()> m_fnBeforeChannelsGo;
};
