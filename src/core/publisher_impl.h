// The publisher: its data writers by topic and, per topic, the writing side of the data path
// (the control-channel transport, the topic's own shared-memory pool, the control endpoint).
//
// Threads: application threads call every operation; the discovery receive thread calls
// isTopicExist and getTopicMsgTransParam, and the participant's status report the queries, all
// under the participant's publisher lock. m_mtxLifecycle serialises writer creation and deletion
// (and so a topic's side appearing and going with its first and last writer here) and is taken
// first; m_mtxWriter guards m_mapWriters; m_mtxControl guards m_mapMsgTransParam; the transport
// mutex (in m_transports) guards the transports and m_mapMemPools. The writer mutex is never
// held together with another one but the lifecycle mutex; the control mutex is taken before the
// transport mutex, never after it. Writers are destroyed and transports deleted outside the
// writer, control and transport mutexes. Writes take the transport mutex only to look the
// transport up.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/topic_transports.h"
#include "core/transport/transport.h"

class CParticipantImpl;
class CPublisher;
class CDataWriter;
class CDataWriterImpl;
class CMemPool;
class CShmMemPool;
class CTopic;
class CTopicImpl;

class CPublisherImpl {
public:
    explicit CPublisherImpl(CParticipantImpl* participant);
    // Deletes the handle and what is left of the topics' sides; the participant deletes a
    // publisher only once it has no writers.
    virtual ~CPublisherImpl();
    CPublisherImpl(const CPublisherImpl&) = delete;
    CPublisherImpl& operator=(const CPublisherImpl&) = delete;

    // Set once by the participant, right after both objects were made.
    void setPublisher(CPublisher* handle) { m_pPublisher = handle; }
    CPublisher* getPublisher() const { return m_pPublisher; }
    CParticipantImpl* getParticipantImpl() const { return m_pParticipantImpl; }

    // Null for a null topic, a handle not registered in this participant, or a topic whose data
    // path cannot be set up (no control port, no transport); nothing is left behind then.
    CDataWriter* createDataWriter(CTopic* topic);
    // 0, also for a writer that is not this publisher's; -1 for null. The topic's last writer here
    // takes the topic's side here along (transport, pool, control endpoint and its port).
    int deleteDataWriter(CDataWriter* writer);

    bool isNoWriters();
    bool isTopicExist(const std::string& topic);
    int getTopicMsgTransParam(const std::string& topic, TransParam_t* out);
    // Its caller holds the control mutex.
    int setTopicMsgTransParam(const std::string& topic, TransParam_t& param);
    int getTopicDataTransParam(const std::string& topic, std::vector<ConnParam_t>* out);
    int getClientCount(const std::string& topic);
    int getFps(const std::string& topic, std::vector<int>& out);

    int createTransport(const std::string& topic);
    int deleteTransport(const std::string& topic);
    CTransport* getTransport(const std::string& topic);

    DataPackage_t* getEmptyDataPkg(const std::string& topic, int size, int timeoutMs);
    void putEmptyDataPkg(const std::string& topic, DataPackage_t* pkg);
    int putFullDataPkg(const std::string& topic, DataPackage_t* pkg, int len);
    bool isConnect(const std::string& topic);

    // Makes the segment of the topic's pool that had none (every key was in use when its writer
    // was made), on the topic's own key or the next free one; true when the pool has one. Called
    // by the topic's control threads with no lock held; takes m_mtxShmPlace, then those of the
    // key pool and the participant's topics.
    bool reopenShmPool(const std::string& topic, CShmMemPool* pool);

    // Drops the side of a topic without writers here (its transport, pool and control endpoint),
    // should one be left.
    void dropTopicLeftover(const std::string& topic);

private:
    // Transport and control endpoint of a topic's first writer here; -1 leaves nothing behind.
    int setUpTopic(const std::string& topic);
    // The topic's shared-memory pool (initialised, or without a segment when none can be made).
    CShmMemPool* openShmPool(const std::string& topic, MemConfig_t cfg);
    // Makes the pool's segment on the next free key of the range after `given`, which was in use.
    bool placeShmPool(const std::string& topic, CShmMemPool* pool, int given);
    // Under the transport mutex.
    int createTransportLocked(const std::string& topic, TopicTransportMap_t& transports);
    // A topic's side taken out of the registries, to be destroyed with no mutex held.
    struct TopicSide_t {
        CTransport* m_pTransport{nullptr};
        CMemPool* m_pPool{nullptr};
        int m_iPort{-1}; // the control endpoint's port, -1 without a description
    };
    // Under the control mutex: unlinks the topic's transport, pool and control description
    // (0), or prints "Can't find topic" (-1).
    int unlinkTopicLocked(const std::string& topic, TopicSide_t* side);
    static void destroyTopicSide(const TopicSide_t& side);

    std::map<std::string, std::vector<CDataWriterImpl*>> m_mapWriters;
    std::mutex m_mtxWriter;
    CTopicTransports m_transports;
    std::map<std::string, CMemPool*> m_mapMemPools;
    std::map<std::string, TransParam_t> m_mapMsgTransParam;
    std::mutex m_mtxControl;
    std::mutex m_mtxLifecycle;
    std::mutex m_mtxShmPlace; // serialises reopenShmPool
    CParticipantImpl* m_pParticipantImpl;
    CPublisher* m_pPublisher{nullptr};
};
