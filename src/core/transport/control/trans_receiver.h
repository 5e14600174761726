// The reading side of one topic's control channel: its control thread connects to the writing
// side's endpoint, asks for a data channel, brings up the data receiver of the medium the writer
// chose, tells the registered callbacks, keeps the connection watched with heartbeats and, after
// too many faults or a close, takes the channel down and marks the topic waiting again.
//
// Threads: the control thread runs the state machine, startDataTrans, stopDataTrans, the event
// callbacks and the topic-state call; the discovery thread calls setMsgTransParam; application
// threads call the registrations, the pass-through and status operations and the destructor; the
// data channel's delivering thread releases packages. m_mutexEndpoint guards m_iFd, the endpoint
// fields and the change out of and back into STAT_IDLE (m_iState is atomic: written with release,
// read with acquire); m_mutexReceiver guards the current data channel and the FIFO origins, and is
// held only to take or swap a holder, never across a call into a receiver; m_mutexEventCb guards
// the event registry and is held while the callbacks run; the channel lists have their own
// mutex. Lock order: m_mutexEventCb, then m_mutexReceiver; nothing is taken under m_mutexReceiver
// or the lists' mutex. The peer flag belongs to the control thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/transport/control/control_msg.h"
#include "core/transport/receiver.h"
#include "core/transport/transport.h"
#include "utils/unique_fd.h"
#include "utils/worker_thread.h"

class CDataFifo;
class CDataManager;
class CSubscriberImpl;
class CHeldPkg;

// How the control thread marks the topic as waiting for a publisher again (the subscriber's
// setTopicState with state 0), called as the last step of every reset.
using TopicStateCallBack_t = std::function<void(const std::string& topicName, int state)>;

// Faults after which the connection is given up, and the count a close stands for.
constexpr int CTRL_MAX_FAULTS = 10;
constexpr int CTRL_CLOSED_FAULTS = 20;
// One read of an answer, and the pauses between attempts (ms).
constexpr int CTRL_READ_TIMEOUT_MS = 100;
constexpr int CTRL_RETRY_PAUSE_MS = 100;
constexpr int CTRL_ERROR_PAUSE_MS = 20;
// A connect attempt gives up after this long (ms), or when the object stops.
constexpr int CTRL_CONNECT_TIMEOUT_MS = 1000;

class CTransReceiver : public CTransport {
public:
    enum {
        STAT_IDLE = 0,
        STAT_CONNECT = 1,
        STAT_REQUEST = 2,
        STAT_HEARTBEAT = 3,
    };

    struct EventCbInfo_t {
        int m_iId;
        std::function<void(int iCbId, int iEventId)> m_fnCallback;
    };

    CTransReceiver();
    ~CTransReceiver() override;
    CTransReceiver(const CTransReceiver&) = delete;
    CTransReceiver& operator=(const CTransReceiver&) = delete;

    int setMsgTransParam(TransParam_t& param) override;
    int getTopicDataTransParam(const std::string& topicName, std::vector<ConnParam_t>* out) override;
    int getClientCount() override;
    uint64_t getLostPkgCount() override;
    int getFps(std::vector<int>& out) override;
    int setTopicImpl(CTopicImpl* topic) override;
    void setMemPool(CMemPool* pool) override;
    DataPackage_t* getEmptyDataPkg(int size, int timeoutMs) override;
    // A package given back bare, found by address: a package of a pool mapping goes back to it,
    // whatever channel delivered it and whether that channel is still there; any other goes to
    // this transport's data manager. (A holder of a handle gives it back through the handle.)
    void putEmptyDataPkg(DataPackage_t* pkg) override;
    void referDataPkg(DataPackage_t* pkg) override;
    int putFullDataPkg(DataPackage_t* pkg, int len) override;
    int getDataPkgCapacity(DataPackage_t* pkg) override;
    int registerDataCallBack(std::function<int(int, DataPackage_t*)> callback) override;
    // The current data channel's callback of the handle kind (unregistered by unregisterDataCallBack).
    int registerHeldDataCallBack(std::function<void(int, CHeldPkg&)> callback);
    void unregisterDataCallBack(int id) override;
    int registerEventCallBack(std::function<void(int, int)> callback) override;
    void unregisterEventCallBack(int id) override;
    bool isConnect() override;

    int setSubscriberImpl(CSubscriberImpl* subscriber);
    CSubscriberImpl* getSubscriberImpl();
    // The subscriber's "topic waiting again" call. Set before the first setMsgTransParam.
    void setTopicStateCallBack(TopicStateCallBack_t callback);
    CDataFifo* createDataFifo(int policy, int depth);
    void destroyDataFifo(CDataFifo* fifo);

    int startMsgTrans(TransParam_t& param);
    void startMsgTask();
    void stopMsgTask();
    void procMsgTask();
    void msgStateMachine();
    int connectServer();
    int disconnect();
    int sendRequestMsg();
    int procRequestAckMsg(unsigned char* buffer, int length);
    int sendHeartbeatMsg();
    int procHeartbeatAckMsg(unsigned char* buffer, int length);
    int startDataTrans(TransParam_t& param);
    int stopDataTrans();
    void notifyEvent(int event);
    int setTopicDataTransParam(const std::string& topic, ConnParam_t& conn);

    int getState() const { return m_iState.load(std::memory_order_acquire); }
    static const char* getStateName(int state);

private:
    // One data channel as the other threads see it. Packages it lent stay valid without it: a
    // shared-memory package lies in a pool mapping that the process keeps while any is held.
    struct DataChannel_t {
        std::shared_ptr<CDataReceiver> m_pDataReceiver;
        int m_iType{-1};
    };

    std::shared_ptr<DataChannel_t> getChannel();
    // One pass in STAT_REQUEST or STAT_HEARTBEAT: send when due, then one read.
    void exchange(int state);
    void onRequestData();
    void onHeartbeatData();
    void reset(int state);
    void closeControlSocket();
    // Waits up to `ms`, or until the object stops.
    void pause(int ms);
    // Binds the control socket to this host's address, so that the writing side sees the
    // connection come from the address the request names.
    static void bindToHostAddress(int fd);
    // An answer that is not the awaited one: a fault, and a pause so that a peer answering at
    // once cannot make the thread spin.
    void countBadAnswer();

    std::atomic<bool> m_bRunning{false};
    char m_szIp[DDS_IP_TEXT_SIZE];
    int m_iPort{0};
    CUniqueFd m_iFd; // the control socket, guarded by m_mutexEndpoint
    sockaddr_in m_stServerAddr;
    std::atomic<int> m_iState{STAT_IDLE};
    CWorkerThread m_thread;
    int m_iHeartbeatInterval{1000};
    int64_t m_i64NextSendTime{0};
    int m_iErrorCount{0};
    bool m_bWaitReply{false};
    bool m_bPeerOnHost{false}; // the control connection's peer is an address of this host
    std::unique_ptr<CDataManager> m_pDataManager;
    std::map<int, std::unique_ptr<EventCbInfo_t>> m_mapEventCb;
    std::mutex m_mutexEventCb;
    int m_iNextCbId{1};
    CTopicImpl* m_pTopicImpl{nullptr};
    std::string m_strTopicName;
    CSubscriberImpl* m_pSubscriberImpl{nullptr};
    TopicStateCallBack_t m_fnTopicState;
    std::string m_strAckTopic;
    CConnParamLists m_connParams;

    std::mutex m_mutexEndpoint;
    std::mutex m_mutexReceiver;
    std::shared_ptr<DataChannel_t> m_pDataChannel;
    // The channel each FIFO handed out came from: it is destroyed there, so the channel's
    // receiver object (stopped or not) stays until its last FIFO is gone.
    std::map<CDataFifo*, std::shared_ptr<DataChannel_t>> m_mapFifoOrigin;
    std::mutex m_mutexWake;
    std::condition_variable m_cvWake;
    CCtrlMsgBuffer m_recvBuffer; // control thread only
};
