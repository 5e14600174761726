#include "zqdds/participant.h"

#include "core/participant_impl.h"

CParticipant::CParticipant(_DomainConfigParam_t& param) : m_pImpl(new CParticipantImpl(this, param)) {}

CParticipant::CParticipant(const std::string& path) : m_pImpl(new CParticipantImpl(this, path)) {}

CParticipant::~CParticipant()
{
    delete m_pImpl;
    m_pImpl = nullptr;
}

CTopic* CParticipant::createTopic(const std::string& name, ShmConfig_t* config)
{
    return m_pImpl->createTopic(name, config);
}

int CParticipant::deleteTopic(CTopic* topic)
{
    return m_pImpl->deleteTopic(topic);
}

CPublisher* CParticipant::createPublisher()
{
    return m_pImpl->createPublisher();
}

int CParticipant::deletePublisher(CPublisher* publisher)
{
    return m_pImpl->deletePublisher(publisher);
}

CSubscriber* CParticipant::createSubscriber()
{
    return m_pImpl->createSubscriber();
}

int CParticipant::deleteSubscriber(CSubscriber* subscriber)
{
    return m_pImpl->deleteSubscriber(subscriber);
}

int CParticipant::getDomainId()
{
    return m_pImpl->getDomainId();
}

std::string CParticipant::getDevIp()
{
    return m_pImpl->getDevIp();
}

int CParticipant::getDdsInfo(const std::string& topic, int kind, _DdsInfo_t& info)
{
    return m_pImpl->getDdsInfo(topic, kind, info);
}
