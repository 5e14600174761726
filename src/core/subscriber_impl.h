// The subscriber: its data readers by topic and, per topic, the reading side of the data path
// (the control-channel transport, the topic's subscription state, the publisher's control
// endpoint as discovery delivered it).
//
// Threads: application threads create and delete readers and ask for status; the discovery
// receive thread calls isTopicExist and setTopicMsgTransParam and the discovery timer
// getUnsubscribedTopic (both under the participant's subscriber lock); a topic's control thread
// runs the event callbacks and setTopicState; a data channel's delivering thread runs the
// readers' data callbacks and the releases of dropped packages.
//
// Locks: m_mtxLifecycle serialises topology changes (reader creation and deletion, transport
// creation and deletion, leftover sweeps); readers are destroyed under it but outside every
// other mutex here, since their destructors wait for running data callbacks, which may ask for
// status; m_mtxReader guards m_mapReaders, m_mtxState m_mapTopicState, the transport mutex (in
// m_transports) the transports, m_mtxControl m_mapMsgTransParam, m_mtxChannel m_mapChannelUp.
// Orders: lifecycle, then reader, then one at a time state and transport; control, then one at a
// time state and transport; a transport's event mutex (its control thread runs the readers'
// event callbacks under it) before the transport mutex, so nothing registers with a transport
// while holding the transport mutex. A transport is called with the transport mutex held only by
// the status queries and setTopicMsgTransParam; it is unlinked under the mutex and destroyed after
// releasing it. m_mtxChannel is taken last and alone.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/topic_transports.h"
#include "core/transport/transport.h"

class CParticipantImpl;
class CSubscriber;
class CDataReader;
class CDataReaderImpl;
class CDataFifo;
class CHeldPkg;
class CTopic;

class CSubscriberImpl {
public:
    explicit CSubscriberImpl(CParticipantImpl* participant);
    // Deletes the handle and what is left of the topics' sides; the participant deletes a
    // subscriber only once it has no readers.
    virtual ~CSubscriberImpl();
    CSubscriberImpl(const CSubscriberImpl&) = delete;
    CSubscriberImpl& operator=(const CSubscriberImpl&) = delete;

    // Set once by the participant, right after both objects were made.
    void setSubscriber(CSubscriber* handle) { m_pSubscriber = handle; }
    CSubscriber* getSubscriber() const { return m_pSubscriber; }
    CParticipantImpl* getParticipantImpl() const { return m_pParticipantImpl; }

    // Null for a null topic, a handle not registered in this participant, or when no transport
    // can be made; nothing is left behind then.
    CDataReader* createDataReader(CTopic* topic, int depth);
    // 0, also for a reader that is not this subscriber's; -1 for null. The topic's last reader
    // here takes the topic's side here along (state, transport, endpoint).
    int deleteDataReader(CDataReader* reader);

    bool isNoReaders();
    bool isTopicExist(const std::string& topic);

    int addTopicState(const std::string& topic);
    int delTopicState(const std::string& topic);
    int getTopicState(const std::string& topic);
    // True when the state changed; false when it had that value or the topic has no state.
    bool setTopicState(const std::string& topic, int state);
    int getUnsubscribedTopic(std::vector<std::string>& out);

    // The discovery hook: 0 when the topic went from waiting to subscribed and its transport
    // took the endpoint; -1 otherwise (a refused endpoint leaves the topic waiting).
    int setTopicMsgTransParam(const std::string& topic, TransParam_t& param);
    int getTopicMsgTransParam(const std::string& topic, TransParam_t* out);
    int getTopicDataTransParam(const std::string& topic, std::vector<ConnParam_t>* out);
    int64_t getLostPkgCount(const std::string& topic);
    int getFps(const std::string& topic, std::vector<int>& out);

    int createTransport(const std::string& topic);
    int deleteTransport(const std::string& topic);
    CTransport* getTransport(const std::string& topic);

    void putEmptyDataPkg(const std::string& topic, DataPackage_t* pkg);
    int registerDataCallBack(const std::string& topic, std::function<int(int, DataPackage_t*)> callback);
    // The same, for a callback that takes the package's handle (its origin with it).
    int registerHeldDataCallBack(const std::string& topic, std::function<void(int, CHeldPkg&)> callback);
    void unregisterDataCallBack(const std::string& topic, int id);
    int registerEventCallBack(const std::string& topic, std::function<void(int, int)> callback);
    void unregisterEventCallBack(const std::string& topic, int id);
    CDataFifo* createDataFifo(const std::string& topic, int policy, int depth);
    int destroyDataFifo(const std::string& topic, CDataFifo* fifo);
    bool isConnect(const std::string& topic);

    // Whether the topic's data channel is up, as its transport last reported (false without one).
    bool isChannelUp(const std::string& topic);

    // Drops the side of a topic without readers here (its state and transport), should one be
    // left.
    void dropTopicLeftover(const std::string& topic);

private:
    void onChannelEvent(const std::string& topic, int eventId);

    std::map<std::string, std::vector<CDataReaderImpl*>> m_mapReaders;
    std::mutex m_mtxReader;
    std::map<std::string, int> m_mapTopicState;
    std::mutex m_mtxState;
    CTopicTransports m_transports;
    std::map<std::string, TransParam_t> m_mapMsgTransParam;
    std::mutex m_mtxControl;
    CParticipantImpl* m_pParticipantImpl;
    CSubscriber* m_pSubscriber{nullptr};
    std::mutex m_mtxLifecycle;
    // Per topic with a transport: whether its data channel is up (between the START and STOP
    // events), so that a reader created meanwhile subscribes at once.
    std::map<std::string, bool> m_mapChannelUp;
    std::mutex m_mtxChannel;
};
