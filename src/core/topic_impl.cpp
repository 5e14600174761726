#include "core/topic_impl.h"

CTopicImpl::~CTopicImpl()
{
    delete m_pTopic;
    m_pTopic = nullptr;
}
