#include "zqdds/subscriber.h"

#include "core/subscriber_impl.h"

CDataReader* CSubscriber::createDataReader(CTopic* topic, int depth)
{
    return m_pImpl->createDataReader(topic, depth);
}

int CSubscriber::deleteDataReader(CDataReader* reader)
{
    return m_pImpl->deleteDataReader(reader);
}
