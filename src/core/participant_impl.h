// The participant: configuration, start-up and shut-down, and the registries of its topics,
// publishers and subscribers.
//
// Threads: application threads call every operation; the discovery receive thread calls
// getDomainId, getPubTopicMsgTransParam and setSubTopicMsgTransParam; the timer thread calls
// getUnsubscribedTopic. m_mtxTopic guards m_mapTopics and m_mapTopicShmConfig, m_mtxPublisher
// guards m_mapPublishers, m_mtxSubscriber guards m_mapSubscribers; no operation holds two of them
// at once. Everything else is written by the constructor and only read afterwards.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "memory/mem_pool.h"
#include "zqdds/dds_types.h"

class CParticipant;
class CTopic;
class CTopicImpl;
class CPublisher;
class CPublisherImpl;
class CSubscriber;
class CSubscriberImpl;
class CDiscovery;
class CDDSConfig;
struct TransParam_t;

// Topic names travel in 128-byte NUL-terminated fields, so a name has at most 127 characters.
constexpr size_t TOPIC_NAME_MAX_LEN = 127;

// Layout of the process-local pool; createMemPool sets the budget. For a process-memory pool a
// group's count bounds the free chunks it keeps, not the chunks it hands out.
inline const MemConfig_t LOCAL_POOL_LAYOUT = {
    -1,
    0,
    {
        {0, 4096, 256},
        {1, 16384, 128},
        {2, 32768, 128},
        {3, 65536, 64},
        {4, 131072, 64},
        {5, 262144, 64},
        {6, 524288, 64},
        {7, 1048576, 32},
        {8, 2097152, 16},
        {9, 4194304, 16},
        {10, 5242880, 16},
        {11, 6291456, 16},
        {12, 7340032, 16},
        {13, 8388608, 16},
        {0, 0, 0},
        {0, 0, 0},
    },
    14,
};

// Layout of a topic's shared-memory pool when the application gives none; the key is taken
// from the resource manager for each topic.
inline const MemConfig_t DEFAULT_SHM_LAYOUT = {
    -1,
    0,
    {
        {0, 1048576, 8},
        {1, 2097152, 4},
        {2, 5242880, 4},
    },
    3,
};

class CParticipantImpl {
public:
    // Both run the start-up sequence; an empty path reads nothing and keeps every default.
    CParticipantImpl(CParticipant* handle, _DomainConfigParam_t& param);
    CParticipantImpl(CParticipant* handle, const std::string& path);
    virtual ~CParticipantImpl();

    CParticipantImpl(const CParticipantImpl&) = delete;
    CParticipantImpl& operator=(const CParticipantImpl&) = delete;

    CTopic* createTopic(const std::string& name, ShmConfig_t* config);
    int deleteTopic(CTopic* topic);
    CPublisher* createPublisher();
    int deletePublisher(CPublisher* publisher);
    CSubscriber* createSubscriber();
    int deleteSubscriber(CSubscriber* subscriber);

    CParticipant* getParticipant() const { return m_pParticipant; }
    int getDomainId() const { return m_iDomainId; }
    std::string getDevIp() const;
    int getDdsInfo(const std::string& topic, int kind, _DdsInfo_t& info);

    bool isInitialized() const { return m_bInitialized.load(std::memory_order_acquire); }
    const std::string& getMulticastIp() const { return m_strMulticastIp; }
    int getMulticastPort() const { return m_iMulticastPort; }
    int getDiscoverPeriod() const { return m_iDiscoverPeriod; }
    int getMaxMemPoolSize() const { return m_iMaxMemPoolSize; }

    // Used by publishers and subscribers.
    CMemPool* getMemPool() const { return m_pMemPool; }
    CTopicImpl* getTopicImpl(const std::string& name);
    // The implementation of a handle registered here; null, with the red "not exists" line for a
    // live handle, for null, a freed handle or another participant's topic (even of the same
    // name), whose use count must not be touched.
    CTopicImpl* findTopicImpl(const CTopic* topic);
    bool getTopicShmConfig(const std::string& name, MemConfig_t& out);
    // The topic's pool moved to another key (another process holds its own): later pools of the
    // topic start there.
    void setTopicShmKey(const std::string& name, int key);
    void triggerDiscovery(const std::string& name);

    // Used by discovery.
    int getUnsubscribedTopic(std::vector<std::string>& out);
    int getPubTopicMsgTransParam(const std::string& name, TransParam_t* out);
    int setSubTopicMsgTransParam(const std::string& name, TransParam_t& param);

    int getPubDdsInfo(const std::string& name, _DdsInfo_t& info);
    int getSubDdsInfo(const std::string& name, _DdsInfo_t& info);

private:
    void startUp(bool fromRecord, _DomainConfigParam_t* param);
    void shutDown();
    int loadConfig(_DomainConfigParam_t& param);
    int loadConfig();
    int createMemPool();
    void destroyMemPool();
    int startDiscovery();
    void stopDiscovery();
    void startReactor();
    void stopReactor();
    void getDefaultShmPoolConfig(MemConfig_t* cfg);
    void deleteUnusedTopics();

    // Configured values pass these checks or keep what is there, with a warning.
    void acceptMulticastIp(const std::string& ip);
    void acceptMulticastPort(int port);
    void acceptDiscoverPeriod(int period);
    void acceptMaxMemPoolSize(int size);
    static void putResources(const std::vector<int>& ports, const std::vector<int>& unixIds,
                             const std::vector<int>& shmKeys);
    // The settings lines of a start-up, the same whether they came from a record or a file.
    void printSettings() const;

    int m_iDomainId{66};
    std::string m_strMulticastIp{"224.5.6.7"};
    int m_iMulticastPort{8888};
    std::map<std::string, CTopicImpl*> m_mapTopics;
    std::mutex m_mtxTopic;
    std::map<std::string, MemConfig_t> m_mapTopicShmConfig;
    std::map<CPublisher*, CPublisherImpl*> m_mapPublishers;
    std::mutex m_mtxPublisher;
    std::map<CSubscriber*, CSubscriberImpl*> m_mapSubscribers;
    std::mutex m_mtxSubscriber;
    int m_iDiscoverPeriod{5};
    std::shared_ptr<CDiscovery> m_pDiscovery;
    std::string m_strConfigPath;
    std::shared_ptr<CDDSConfig> m_pDDSConfig;
    int m_iMaxMemPoolSize{0x1400000};
    CMemPool* m_pMemPool{nullptr};
    CParticipant* m_pParticipant;
    std::atomic<bool> m_bInitialized{false};
    // This participant counts in the process's use of the event reactor.
    bool m_bReactorUser{false};
};
