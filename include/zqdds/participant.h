// The application's entry into the library: one participant of a discovery domain.
#pragma once

#include <string>

#include "dds_types.h"
#include "zqdds_export.h"

class CParticipantImpl;
class CTopic;
class CPublisher;
class CSubscriber;

// Construct from a configuration record or from the path of a JSON file (an empty path keeps
// every default). Every handle it gives out belongs to the library: hand it back through the
// matching delete operation, children before parents, and delete the participant last.
// Operations may be called from any application thread.
class ZQDDS_API CParticipant {
public:
    explicit CParticipant(_DomainConfigParam_t& param);
    explicit CParticipant(const std::string& path);
    virtual ~CParticipant();

    CParticipant(const CParticipant&) = delete;
    CParticipant& operator=(const CParticipant&) = delete;

    // config null: the topic uses the process-local pool; otherwise a shared-memory pool with the
    // application's layout (m_bUseUserLayout) or the default one. Null on failure.
    CTopic* createTopic(const std::string& name, ShmConfig_t* config = nullptr);
    int deleteTopic(CTopic* topic);
    CPublisher* createPublisher();
    int deletePublisher(CPublisher* publisher);
    CSubscriber* createSubscriber();
    int deleteSubscriber(CSubscriber* subscriber);

    int getDomainId();
    std::string getDevIp();
    // kind DDS_INFO_PUB or DDS_INFO_SUB; -1 and the record untouched for another kind or a topic
    // that no local publisher (subscriber) has.
    int getDdsInfo(const std::string& topic, int kind, _DdsInfo_t& info);

private:
    CParticipantImpl* m_pImpl{nullptr};
};
