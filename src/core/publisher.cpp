#include "zqdds/publisher.h"

#include "core/publisher_impl.h"

CDataWriter* CPublisher::createDataWriter(CTopic* topic)
{
    return m_pImpl->createDataWriter(topic);
}

int CPublisher::deleteDataWriter(CDataWriter* writer)
{
    return m_pImpl->deleteDataWriter(writer);
}
