// Publisher handles given to the application by CParticipant::createPublisher.
#pragma once

#include "dds_types.h"
#include "zqdds_export.h"

class CPublisherImpl;
class CTopic;
class CDataWriter;

// Groups the data writers of one participant. It belongs to the library: hand it back with
// CParticipant::deletePublisher once its writers are deleted, and never delete it yourself.
// Operations may be called from any application thread.
class ZQDDS_API CPublisher {
public:
    explicit CPublisher(CPublisherImpl* impl) : m_pImpl(impl) {}
    // Does nothing: the implementation owns the handle.
    virtual ~CPublisher() = default;

    CPublisher(const CPublisher&) = delete;
    CPublisher& operator=(const CPublisher&) = delete;

    // A writer of a topic of this publisher's participant; null for a null topic, a topic of
    // another participant or one already deleted, or when the topic's data path cannot be set up
    // (for instance no control port left).
    CDataWriter* createDataWriter(CTopic* topic);
    // 0 (also for a writer of another publisher, which is left alone); -1 for null.
    int deleteDataWriter(CDataWriter* writer);

private:
    CPublisherImpl* m_pImpl;
};
