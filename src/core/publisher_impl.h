// Stand-in for the publisher until the data-writing side lands: only what the participant's
// registry calls, behaving as a publisher without writers. Replace this file as a whole.
#pragma once

#include <string>
#include <vector>

class CParticipantImpl;
class CPublisherImpl;
struct TransParam_t;

class CPublisher {
public:
    explicit CPublisher(CPublisherImpl* impl) : m_pImpl(impl) {}
    virtual ~CPublisher() = default;
    CPublisherImpl* getImpl() const { return m_pImpl; }
    CPublisher(const CPublisher&) = delete;
    CPublisher& operator=(const CPublisher&) = delete;

private:
    CPublisherImpl* m_pImpl;
};

class CPublisherImpl {
public:
    explicit CPublisherImpl(CParticipantImpl* participant) : m_pParticipantImpl(participant) {}
    virtual ~CPublisherImpl() { delete m_pPublisher; }
    CPublisherImpl(const CPublisherImpl&) = delete;
    CPublisherImpl& operator=(const CPublisherImpl&) = delete;

    void setPublisher(CPublisher* handle) { m_pPublisher = handle; }
    CPublisher* getPublisher() const { return m_pPublisher; }
    CParticipantImpl* getParticipantImpl() const { return m_pParticipantImpl; }

    bool isNoWriters() { return true; }
    bool isTopicExist(const std::string&) { return false; }
    int getTopicMsgTransParam(const std::string&, TransParam_t*) { return -1; }
    int getClientCount(const std::string&) { return 0; }
    int getFps(const std::string&, std::vector<int>&) { return 0; }
    // Drops what a topic without writers left behind (its transport), before the topic goes.
    void dropTopicLeftover(const std::string&) {}

private:
    CParticipantImpl* m_pParticipantImpl;
    CPublisher* m_pPublisher{nullptr};
};
