// Topic handles given to the application by CParticipant::createTopic.
#pragma once

#include <string>

#include "zqdds_export.h"

class CTopicDescImpl;
class CTopicImpl;

// Abstract description of a topic: its name and the way to its implementation.
// The name is set at construction and never changes.
class ZQDDS_API CTopicDesc {
public:
    explicit CTopicDesc(const std::string& name) : m_strName(name) {}
    virtual ~CTopicDesc() = default;
    virtual CTopicDescImpl* getTopicDescImpl() const = 0;

    const std::string& getName() const { return m_strName; }

    CTopicDesc(const CTopicDesc&) = delete;
    CTopicDesc& operator=(const CTopicDesc&) = delete;

protected:
    std::string m_strName;
};

// The handle of one topic. It belongs to the library: hand it back with
// CParticipant::deleteTopic and never delete it yourself.
class ZQDDS_API CTopic : public CTopicDesc {
public:
    CTopic(const std::string& name, CTopicImpl* impl);
    ~CTopic() override;

    // The name keys every registry of the library; do not write through this reference.
    std::string& getTopicName() { return m_strName; }
    const std::string& getTopicName() const { return m_strName; }
    CTopicDescImpl* getTopicDescImpl() const override;

private:
    CTopicImpl* m_pTopicImpl;
};
