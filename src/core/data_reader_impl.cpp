#include "core/data_reader_impl.h"

#include <cstring>
#include <new>

#include "core/subscriber_impl.h"
#include "core/topic_impl.h"
#include "core/transport/transport.h"
#include "memory/mem_pool.h"
#include "memory/shm_client.h"
#include "utils/dds_common.h"
#include "zqdds/data_reader.h"
#include "zqdds/topic.h"

namespace {

constexpr int DEFAULT_DEPTH = 8;

uint64_t pkgTimeStamp(DataPackage_t* pkg)
{
    return readDdsHeader(pkgData(pkg)).m_u64TimeStamp;
}

// Data capacity of a package as this process knows it: a shared-memory package's from its pool's
// layout (its segment can be written by other processes at any time), any other its own.
int pkgCapacity(const DataPackage_t* pkg)
{
    int capacity = CShmClient::heldPackageCapacity(pkg);
    return capacity >= 0 ? capacity : pkg->m_iSize;
}

// The payload length, read once, or -1 when it does not fit the package's capacity.
int pkgPayloadLen(const DataPackage_t* pkg, int capacity)
{
    int len = __atomic_load_n(&pkg->m_iLen, __ATOMIC_RELAXED);
    if (len < static_cast<int>(DDS_HEADER_SIZE) || len > capacity) {
        return -1;
    }
    return len - static_cast<int>(DDS_HEADER_SIZE);
}

} // namespace

CDataReaderImpl::CDataReaderImpl(CSubscriberImpl* subscriber, CTopic* topic, int depth)
    : m_pSubscriberImpl(subscriber), m_pTransport(subscriber->getTransport(topic->getTopicName())),
      m_iDepth(depth <= 0 ? DEFAULT_DEPTH : depth), m_pTopicDesc(topic->getTopicDescImpl()),
      m_strTopicName(topic->getTopicName())
{
    m_pQueue =
        std::make_unique<CDataQueue<DataPackage_t*>>(m_iDepth, [this](DataPackage_t* pkg) { putEmptyDataPkg(pkg); });
    m_iEventCbId = m_pSubscriberImpl->registerEventCallBack(
        m_strTopicName, [this](int iCbId, int iEventId) { onEvent(iCbId, iEventId); });
    DDS_GREEN("m_iEventCbId: %d", m_iEventCbId);
    {
        // Registered for events first: a channel that goes down from now on tells this reader, so
        // a subscription made here while it is up is always taken back at its STOP.
        std::lock_guard<std::mutex> lock(m_mtxEvent);
        if (m_iEventCbId >= 0 && m_pSubscriberImpl->isChannelUp(m_strTopicName)) {
            subscribeLocked();
            m_bConnected = true;
        }
    }
    m_pTopicDesc->reference();
}

CDataReaderImpl::~CDataReaderImpl()
{
    {
        // No event is handled from here on, and the data callback goes while the channel that
        // holds it is certainly alive (its STOP waits for this lock).
        std::lock_guard<std::mutex> lock(m_mtxEvent);
        m_bClosing = true;
        if (m_iDataCbId >= 0) {
            m_pSubscriberImpl->unregisterDataCallBack(m_strTopicName, m_iDataCbId);
        }
        m_iDataCbId = -1;
    }
    if (m_iEventCbId >= 0) {
        m_pSubscriberImpl->unregisterEventCallBack(m_strTopicName, m_iEventCbId);
    }
    m_iEventCbId = -1;
    m_pQueue.reset(); // every package still queued is released, oldest first
    m_cache.clear();
    delete m_pDataReader;
    m_pDataReader = nullptr;
    m_pTopicDesc->dereference();
}

void CDataReaderImpl::subscribeLocked()
{
    if (m_iDataCbId >= 0) {
        return;
    }
    m_iDataCbId = m_pSubscriberImpl->registerDataCallBack(
        m_strTopicName, [this](int iCbId, DataPackage_t* pkg) { return onData(iCbId, pkg); });
    DDS_GREEN("m_iDataCbId: %d", m_iDataCbId);
}

void CDataReaderImpl::unsubscribeLocked()
{
    if (m_iDataCbId >= 0) {
        // When this returns the data callback is not running and will not run again.
        m_pSubscriberImpl->unregisterDataCallBack(m_strTopicName, m_iDataCbId);
        m_iDataCbId = -1;
    }
    // Queued packages go back while the channel they came from still exists.
    DataPackage_t* pkg = nullptr;
    while (m_pQueue->dequeue(pkg, 0)) {
        putEmptyDataPkg(pkg);
    }
}

void CDataReaderImpl::onEvent(int iCbId, int iEventId)
{
    DDS_GREEN("iCbId: %d, iEventId: %d", iCbId, iEventId);
    std::lock_guard<std::mutex> lock(m_mtxEvent);
    if (m_bClosing) {
        return;
    }
    if (iEventId == EVENT_DATA_TRANS_START) {
        subscribeLocked();
    } else if (iEventId == EVENT_DATA_TRANS_STOP) {
        unsubscribeLocked();
    }
    m_bConnected = iEventId == EVENT_DATA_TRANS_START;
}

int CDataReaderImpl::onData(int iCbId, DataPackage_t* pkg)
{
    (void)iCbId;
    // A shared-memory package carries the writing process's length: one outside the package is
    // dropped (the caller releases its reference) rather than handed on.
    int len = pkg == nullptr ? -1 : pkgPayloadLen(pkg, pkgCapacity(pkg));
    if (len < 0) {
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxUserCb);
        if (m_fnUserCb) {
            _ExtraDataInfo_t info;
            info.m_u64TimeStamp = pkgTimeStamp(pkg);
            try {
                m_fnUserCb(pkgData(pkg) + DDS_HEADER_SIZE, len, &info);
            } catch (...) {
                DDS_RED("Error: topic %s: data callback threw an exception!", m_strTopicName.c_str());
            }
        }
    }
    m_pQueue->enqueue(std::move(pkg));
    return 0;
}

int CDataReaderImpl::read(void* pBuf, int size, int timeoutMs, _ExtraDataInfo_t* info)
{
    if (pBuf == nullptr) {
        DDS_RED("Error: pBuf is null!");
        return -1;
    }
    if (size < 0) {
        // Refused before a message is taken, so that none is lost.
        DDS_RED("Error: buf size %d is negative!", size);
        return -1;
    }
    DataPackage_t* pkg = getFullDataPkg(timeoutMs);
    if (pkg == nullptr) {
        return -1;
    }
    // Checked again: the length may have changed in the segment since the package was queued.
    int len = pkgPayloadLen(pkg, pkgCapacity(pkg));
    if (len < 0) {
        DDS_YELLOW("Warning: topic %s drops a package whose length does not fit it!", m_strTopicName.c_str());
        putEmptyDataPkg(pkg);
        return -1;
    }
    if (size < len) {
        DDS_YELLOW("Warning: topic %s buf size is not enough! buf size (%d) < data Len (%d)", m_strTopicName.c_str(),
                   size, len);
        putEmptyDataPkg(pkg);
        return -1;
    }
    memcpy(pBuf, pkgData(pkg) + DDS_HEADER_SIZE, static_cast<size_t>(len));
    if (info != nullptr) {
        info->m_u64TimeStamp = pkgTimeStamp(pkg);
    }
    putEmptyDataPkg(pkg);
    return len;
}

_DataBuffer_t* CDataReaderImpl::getDataBuffer(int timeoutMs, _ExtraDataInfo_t* info)
{
    return getFullDataBuffer(timeoutMs, info);
}

void CDataReaderImpl::releaseDataBuffer(_DataBuffer_t* buffer)
{
    putEmptyDataBuffer(buffer);
}

_DataBuffer_t* CDataReaderImpl::getFullDataBuffer(int timeoutMs, _ExtraDataInfo_t* info)
{
    _DataBuffer_t* buffer = allocDataBuffer();
    if (buffer == nullptr) {
        return nullptr;
    }
    DataPackage_t* pkg = getFullDataPkg(timeoutMs);
    if (pkg == nullptr) {
        freeDataBuffer(buffer);
        return nullptr;
    }
    int capacity = pkgCapacity(pkg);
    int len = pkgPayloadLen(pkg, capacity);
    if (len < 0) {
        DDS_YELLOW("Warning: topic %s drops a package whose length does not fit it!", m_strTopicName.c_str());
        putEmptyDataPkg(pkg);
        freeDataBuffer(buffer);
        return nullptr;
    }
    buffer->m_u64TimeStamp = pkgTimeStamp(pkg);
    buffer->m_iSize = capacity - static_cast<int>(DDS_HEADER_SIZE);
    buffer->m_iLen = len;
    buffer->m_pData = pkgData(pkg) + DDS_HEADER_SIZE;
    buffer->m_pPkg = pkg;
    if (info != nullptr) {
        info->m_u64TimeStamp = buffer->m_u64TimeStamp;
    }
    return buffer;
}

void CDataReaderImpl::putEmptyDataBuffer(_DataBuffer_t* buffer)
{
    if (buffer == nullptr) {
        return;
    }
    putEmptyDataPkg(buffer->m_pPkg);
    freeDataBuffer(buffer);
}

int CDataReaderImpl::getBufferCount()
{
    return m_pQueue->getCount();
}

void CDataReaderImpl::registerUserDataCallBack(UserDataCallBack_t callback)
{
    std::lock_guard<std::mutex> lock(m_mtxUserCb);
    m_fnUserCb = std::move(callback);
}

DataPackage_t* CDataReaderImpl::getFullDataPkg(int timeoutMs)
{
    DataPackage_t* pkg = nullptr;
    return m_pQueue->dequeue(pkg, timeoutMs) ? pkg : nullptr;
}

void CDataReaderImpl::putEmptyDataPkg(DataPackage_t* pkg)
{
    if (pkg != nullptr && m_pTransport != nullptr) {
        m_pTransport->putEmptyDataPkg(pkg);
    }
}

_DataBuffer_t* CDataReaderImpl::allocDataBuffer()
{
    return m_cache.alloc();
}

void CDataReaderImpl::freeDataBuffer(_DataBuffer_t* buffer)
{
    m_cache.free(buffer);
}

int CDataReaderImpl::getDataCbId()
{
    std::lock_guard<std::mutex> lock(m_mtxEvent);
    return m_iDataCbId;
}

int CDataReaderImpl::getCacheCount()
{
    return m_cache.count();
}
