// Topic implementations: use count, identifier and the owning participant.
//
// Threads: writers and readers change the use count from application threads at any time;
// everything else is written before createTopic returns and only read afterwards.
#pragma once

#include <atomic>
#include <string>

#include "utils/uuid.h"
#include "zqdds/topic.h"

class CParticipantImpl;

// What every topic implementation keeps: the use count (live writers plus readers) and the
// random identifier printed when the topic is created.
class CTopicDescImpl {
public:
    CTopicDescImpl() = default;
    virtual ~CTopicDescImpl() = default;
    CTopicDescImpl(const CTopicDescImpl&) = delete;
    CTopicDescImpl& operator=(const CTopicDescImpl&) = delete;

    void reference() { m_iReference.fetch_add(1, std::memory_order_acq_rel); }
    // Gives the count before the decrement, so that exactly one caller sees that it was the last user.
    int dereference() { return m_iReference.fetch_sub(1, std::memory_order_acq_rel); }
    int getReference() const { return m_iReference.load(std::memory_order_acquire); }

    void generateUUID() { CUUID<8>::generate(m_uuid); }
    std::string getUUIDString() const { return m_uuid.toString(); }

private:
    std::atomic<int> m_iReference{0};
    CUUID<8> m_uuid;
};

// One topic of one participant. It owns the handle given to the application.
class CTopicImpl : public CTopicDescImpl {
public:
    explicit CTopicImpl(CParticipantImpl* participant) : m_pParticipantImpl(participant) {}
    ~CTopicImpl() override;

    // Set once by the participant, right after both objects were made.
    void setTopic(CTopic* topic) { m_pTopic = topic; }
    CTopic* getTopic() const { return m_pTopic; }
    CParticipantImpl* getParticipantImpl() const { return m_pParticipantImpl; }
    std::string& getTopicName() { return m_pTopic->getTopicName(); }

private:
    CTopic* m_pTopic{nullptr};
    CParticipantImpl* m_pParticipantImpl;
};

// Live topic handles of the process, so that a handle can be told apart from a freed one
// without touching it: copies the handle's name and gives true while the handle exists.
bool copyLiveTopicName(const CTopic* topic, std::string& name);
