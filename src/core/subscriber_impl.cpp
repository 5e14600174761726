#include "core/subscriber_impl.h"

#include "core/data_reader_impl.h"
#include "core/entity_registry.h"
#include "core/participant_impl.h"
#include "core/topic_impl.h"
#include "core/transport/control/trans_factory.h"
#include "core/transport/control/trans_receiver.h"
#include "utils/dds_common.h"
#include "zqdds/data_reader.h"
#include "zqdds/subscriber.h"
#include "zqdds/topic.h"

CSubscriberImpl::CSubscriberImpl(CParticipantImpl* participant) : m_pParticipantImpl(participant) {}

CSubscriberImpl::~CSubscriberImpl()
{
    // No reader is left (the participant checked), so no callback of ours waits on these
    // transports; their control threads stop with them.
    std::lock_guard<std::mutex> lifecycle(m_mtxLifecycle);
    for (const std::string& topic : m_transports.topics()) {
        deleteTransport(topic);
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxState);
        m_mapTopicState.clear();
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxReader);
        m_mapReaders.clear();
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxControl);
        m_mapMsgTransParam.clear();
    }
    delete m_pSubscriber;
    m_pSubscriber = nullptr;
}

CDataReader* CSubscriberImpl::createDataReader(CTopic* topic, int depth)
{
    if (m_pParticipantImpl->findTopicImpl(topic) == nullptr) {
        return nullptr;
    }
    const std::string name = topic->getTopicName();
    CDataReader* handle = nullptr;
    {
        std::lock_guard<std::mutex> lifecycle(m_mtxLifecycle);
        // First, so that the new reader finds the transport to register with.
        createTransport(name);
        if (getTransport(name) == nullptr) {
            return nullptr;
        }
        auto* impl = new CDataReaderImpl(this, topic, depth);
        handle = new CDataReader(impl);
        impl->setDataReader(handle);
        {
            std::lock_guard<std::mutex> lock(m_mtxReader);
            m_mapReaders[name].push_back(impl);
        }
        addTopicState(name);
    }
    m_pParticipantImpl->triggerDiscovery(name);
    return handle;
}

int CSubscriberImpl::deleteDataReader(CDataReader* reader)
{
    if (reader == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lifecycle(m_mtxLifecycle);
    // The subscriber's last reader of the topic takes the topic's side here along, so that a
    // reader of another subscriber gets the answers.
    deleteEntity(
        m_mapReaders, m_mtxReader, [reader](CDataReaderImpl* r) { return r->getDataReader() == reader; },
        [this](const std::string& topic) {
            delTopicState(topic);
            deleteTransport(topic);
        });
    return 0;
}

bool CSubscriberImpl::isNoReaders()
{
    std::lock_guard<std::mutex> lock(m_mtxReader);
    return hasNoEntity(m_mapReaders);
}

bool CSubscriberImpl::isTopicExist(const std::string& topic)
{
    std::lock_guard<std::mutex> lock(m_mtxReader);
    return m_mapReaders.count(topic) != 0;
}

int CSubscriberImpl::addTopicState(const std::string& topic)
{
    std::lock_guard<std::mutex> lock(m_mtxState);
    return m_mapTopicState.emplace(topic, TOPIC_STATE_UNSUBSCRIBED).second ? 0 : -1;
}

int CSubscriberImpl::delTopicState(const std::string& topic)
{
    std::lock_guard<std::mutex> lock(m_mtxState);
    return m_mapTopicState.erase(topic) != 0 ? 0 : -1;
}

int CSubscriberImpl::getTopicState(const std::string& topic)
{
    std::lock_guard<std::mutex> lock(m_mtxState);
    auto it = m_mapTopicState.find(topic);
    return it == m_mapTopicState.end() ? -1 : it->second;
}

bool CSubscriberImpl::setTopicState(const std::string& topic, int state)
{
    std::lock_guard<std::mutex> lock(m_mtxState);
    auto it = m_mapTopicState.find(topic);
    if (it == m_mapTopicState.end() || it->second == state) {
        return false;
    }
    it->second = state;
    return true;
}

int CSubscriberImpl::getUnsubscribedTopic(std::vector<std::string>& out)
{
    std::lock_guard<std::mutex> lock(m_mtxState);
    int count = 0;
    for (auto& entry : m_mapTopicState) {
        if (entry.second == TOPIC_STATE_UNSUBSCRIBED) {
            out.push_back(entry.first);
            ++count;
        }
    }
    return count;
}

int CSubscriberImpl::setTopicMsgTransParam(const std::string& topic, TransParam_t& param)
{
    std::lock_guard<std::mutex> control(m_mtxControl);
    if (!setTopicState(topic, TOPIC_STATE_SUBSCRIBED)) {
        return -1; // not waiting here: every further answer is ignored until a reset
    }
    m_mapMsgTransParam[topic] = param;
    // A state without a transport takes no endpoint either.
    int ret = m_transports.query(topic, -1, [&](CTransport* t) { return t->setMsgTransParam(param); });
    if (ret != 0) {
        // A refused endpoint must not leave the topic marked subscribed: nothing would announce
        // it again. State 0 here always means that no control socket is open.
        setTopicState(topic, TOPIC_STATE_UNSUBSCRIBED);
        m_mapMsgTransParam.erase(topic);
        return -1;
    }
    return 0;
}

int CSubscriberImpl::getTopicMsgTransParam(const std::string& topic, TransParam_t* out)
{
    std::lock_guard<std::mutex> lock(m_mtxControl);
    return copyTopicTransParam(m_mapMsgTransParam, topic, out);
}

int CSubscriberImpl::getTopicDataTransParam(const std::string& topic, std::vector<ConnParam_t>* out)
{
    return m_transports.query(topic, -1, [&](CTransport* t) { return t->getTopicDataTransParam(topic, out); });
}

int64_t CSubscriberImpl::getLostPkgCount(const std::string& topic)
{
    return m_transports.query(topic, int64_t{-1},
                              [](CTransport* t) { return static_cast<int64_t>(t->getLostPkgCount()); });
}

int CSubscriberImpl::getFps(const std::string& topic, std::vector<int>& out)
{
    return m_transports.query(topic, -1, [&](CTransport* t) { return t->getFps(out); });
}

int CSubscriberImpl::createTransport(const std::string& topic)
{
    if (getTransport(topic) != nullptr) {
        return -1;
    }
    CTopicImpl* topicImpl = m_pParticipantImpl->getTopicImpl(topic);
    if (topicImpl == nullptr) {
        return -1;
    }
    CTransport* transport = CTransFactory::createTransport(false);
    auto* receiver = dynamic_cast<CTransReceiver*>(transport);
    if (receiver == nullptr) {
        delete transport;
        DDS_RED("Error: topic %s: no transport for reading!", topic.c_str());
        return -1;
    }
    receiver->setSubscriberImpl(this);
    // At every reset the control thread marks the topic as waiting again.
    receiver->setTopicStateCallBack([this](const std::string& name, int state) { setTopicState(name, state); });
    receiver->setTopicImpl(topicImpl);
    receiver->setMemPool(m_pParticipantImpl->getMemPool());
    {
        std::lock_guard<std::mutex> channel(m_mtxChannel);
        m_mapChannelUp.emplace(topic, false);
    }
    // The first registration, so it sees every START and STOP before any reader does. Made
    // before the transport is linked and without the transport mutex, which comes after the
    // transport's event mutex: no other thread knows the transport yet.
    int watcher =
        receiver->registerEventCallBack([this, topic](int, int iEventId) { onChannelEvent(topic, iEventId); });
    if (m_transports.link(topic, receiver)) {
        return 0;
    }
    // Another caller linked one first: ours goes without telling the watcher of that one.
    receiver->unregisterEventCallBack(watcher);
    delete receiver;
    return -1;
}

void CSubscriberImpl::onChannelEvent(const std::string& topic, int eventId)
{
    std::lock_guard<std::mutex> lock(m_mtxChannel);
    auto it = m_mapChannelUp.find(topic);
    if (it != m_mapChannelUp.end()) {
        it->second = eventId == EVENT_DATA_TRANS_START;
    }
}

bool CSubscriberImpl::isChannelUp(const std::string& topic)
{
    std::lock_guard<std::mutex> lock(m_mtxChannel);
    auto it = m_mapChannelUp.find(topic);
    return it != m_mapChannelUp.end() && it->second;
}

int CSubscriberImpl::deleteTransport(const std::string& topic)
{
    CTransport* transport = m_transports.unlink(topic);
    if (transport == nullptr) {
        DDS_GREEN("Can't find topic %s", topic.c_str());
        return -1;
    }
    // Outside the transport mutex: the destructor joins the control thread, which may be in a
    // connect, and the status queries need not wait for it.
    delete transport;
    {
        std::lock_guard<std::mutex> lock(m_mtxChannel);
        m_mapChannelUp.erase(topic);
    }
    std::lock_guard<std::mutex> control(m_mtxControl);
    m_mapMsgTransParam.erase(topic);
    return 0;
}

CTransport* CSubscriberImpl::getTransport(const std::string& topic)
{
    return m_transports.find(topic);
}

void CSubscriberImpl::putEmptyDataPkg(const std::string& topic, DataPackage_t* pkg)
{
    CTransport* transport = getTransport(topic);
    if (transport != nullptr) {
        transport->putEmptyDataPkg(pkg);
    }
}

int CSubscriberImpl::registerDataCallBack(const std::string& topic, std::function<int(int, DataPackage_t*)> callback)
{
    CTransport* transport = getTransport(topic);
    return transport == nullptr ? -1 : transport->registerDataCallBack(std::move(callback));
}

int CSubscriberImpl::registerHeldDataCallBack(const std::string& topic, std::function<void(int, CHeldPkg&)> callback)
{
    // A subscriber's transports are receiving ones.
    auto* receiver = dynamic_cast<CTransReceiver*>(getTransport(topic));
    return receiver == nullptr ? -1 : receiver->registerHeldDataCallBack(std::move(callback));
}

void CSubscriberImpl::unregisterDataCallBack(const std::string& topic, int id)
{
    CTransport* transport = getTransport(topic);
    if (transport != nullptr) {
        transport->unregisterDataCallBack(id);
    }
}

int CSubscriberImpl::registerEventCallBack(const std::string& topic, std::function<void(int, int)> callback)
{
    CTransport* transport = getTransport(topic);
    return transport == nullptr ? -1 : transport->registerEventCallBack(std::move(callback));
}

void CSubscriberImpl::unregisterEventCallBack(const std::string& topic, int id)
{
    CTransport* transport = getTransport(topic);
    if (transport != nullptr) {
        transport->unregisterEventCallBack(id);
    }
}

CDataFifo* CSubscriberImpl::createDataFifo(const std::string& topic, int policy, int depth)
{
    auto* receiver = dynamic_cast<CTransReceiver*>(getTransport(topic));
    return receiver == nullptr ? nullptr : receiver->createDataFifo(policy, depth);
}

int CSubscriberImpl::destroyDataFifo(const std::string& topic, CDataFifo* fifo)
{
    auto* receiver = dynamic_cast<CTransReceiver*>(getTransport(topic));
    if (receiver == nullptr) {
        return -1;
    }
    receiver->destroyDataFifo(fifo);
    return 0;
}

bool CSubscriberImpl::isConnect(const std::string& topic)
{
    CTransport* transport = getTransport(topic);
    return transport != nullptr && transport->isConnect();
}

void CSubscriberImpl::dropTopicLeftover(const std::string& topic)
{
    std::lock_guard<std::mutex> lifecycle(m_mtxLifecycle);
    {
        std::lock_guard<std::mutex> lock(m_mtxReader);
        if (!dropEmptyEntry(m_mapReaders, topic)) {
            return; // still read here: not a leftover
        }
    }
    delTopicState(topic);
    if (getTransport(topic) != nullptr) {
        deleteTransport(topic);
    }
}
