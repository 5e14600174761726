// Stand-in for the subscriber until the data-reading side lands: only what the participant's
// registry calls, behaving as a subscriber without readers. Replace this file as a whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CParticipantImpl;
class CSubscriberImpl;
struct TransParam_t;

class CSubscriber {
public:
    explicit CSubscriber(CSubscriberImpl* impl) : m_pImpl(impl) {}
    virtual ~CSubscriber() = default;
    CSubscriberImpl* getImpl() const { return m_pImpl; }
    CSubscriber(const CSubscriber&) = delete;
    CSubscriber& operator=(const CSubscriber&) = delete;

private:
    CSubscriberImpl* m_pImpl;
};

class CSubscriberImpl {
public:
    explicit CSubscriberImpl(CParticipantImpl* participant) : m_pParticipantImpl(participant) {}
    virtual ~CSubscriberImpl() { delete m_pSubscriber; }
    CSubscriberImpl(const CSubscriberImpl&) = delete;
    CSubscriberImpl& operator=(const CSubscriberImpl&) = delete;

    void setSubscriber(CSubscriber* handle) { m_pSubscriber = handle; }
    CSubscriber* getSubscriber() const { return m_pSubscriber; }
    CParticipantImpl* getParticipantImpl() const { return m_pParticipantImpl; }

    bool isNoReaders() { return true; }
    bool isTopicExist(const std::string&) { return false; }
    int setTopicMsgTransParam(const std::string&, TransParam_t&) { return -1; }
    int getUnsubscribedTopic(std::vector<std::string>&) { return 0; }
    int getTopicMsgTransParam(const std::string&, TransParam_t*) { return -1; }
    int getTopicState(const std::string&) { return -1; }
    int64_t getLostPkgCount(const std::string&) { return -1; }
    int getFps(const std::string&, std::vector<int>&) { return -1; }
    // Drops what a topic without readers left behind (its transport), before the topic goes.
    void dropTopicLeftover(const std::string&) {}

private:
    CParticipantImpl* m_pParticipantImpl;
    CSubscriber* m_pSubscriber{nullptr};
};
