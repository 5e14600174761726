// Subscriber handles given to the application by CParticipant::createSubscriber.
#pragma once

#include "dds_types.h"
#include "zqdds_export.h"

class CSubscriberImpl;
class CTopic;
class CDataReader;

// Groups the data readers of one participant. It belongs to the library: hand it back with
// CParticipant::deleteSubscriber once its readers are deleted, and never delete it yourself.
// Operations may be called from any application thread.
class ZQDDS_API CSubscriber {
public:
    explicit CSubscriber(CSubscriberImpl* impl) : m_pImpl(impl) {}
    // Does nothing: the implementation owns the handle.
    virtual ~CSubscriber() = default;

    CSubscriber(const CSubscriber&) = delete;
    CSubscriber& operator=(const CSubscriber&) = delete;

    // A reader of a topic of this subscriber's participant, keeping at most `depth` messages
    // (8 when depth is 0 or less); null for a null topic, a topic of another participant or one
    // already deleted.
    CDataReader* createDataReader(CTopic* topic, int depth = 8);
    // 0 (also for a reader of another subscriber, which is left alone); -1 for null.
    int deleteDataReader(CDataReader* reader);

private:
    CSubscriberImpl* m_pImpl;
};
