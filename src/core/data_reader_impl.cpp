#include "core/data_reader_impl.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/subscriber_impl.h"
#include "core/topic_impl.h"
#include "core/transport/control/trans_receiver.h"
#include "core/transport/transport.h"
#include "memory/held_pkg.h"
#include "memory/mem_pool.h"
#include "utils/dds_common.h"
#include "zqdds/data_reader.h"
#include "zqdds/topic.h"

namespace {

constexpr int DEFAULT_DEPTH = 8;

uint64_t pkgTimeStamp(DataPackage_t* pkg)
{
    return readDdsHeader(pkgData(pkg)).m_u64TimeStamp;
}

// The payload length, or -1 when the used length does not fit the package's capacity.
int payloadLen(const CHeldPkg& held)
{
    if (held.len() < static_cast<int>(DDS_HEADER_SIZE) || held.len() > held.capacity()) {
        return -1;
    }
    return held.len() - static_cast<int>(DDS_HEADER_SIZE);
}

} // namespace

CDataReaderImpl::CDataReaderImpl(CSubscriberImpl* subscriber, CTopic* topic, int depth)
    : m_pSubscriberImpl(subscriber),
      m_pReceiver(dynamic_cast<CTransReceiver*>(subscriber->getTransport(topic->getTopicName()))),
      m_iDepth(depth <= 0 ? DEFAULT_DEPTH : depth), m_pTopicDesc(topic->getTopicDescImpl()),
      m_strTopicName(topic->getTopicName())
{
    m_vecCache.reserve(kCacheLimit);
    // A dropped package goes back as its handle ends, under the queue's mutex.
    m_pQueue = std::make_unique<CDataQueue<CHeldPkg>>(m_iDepth, nullptr);
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
    std::unordered_set<LentBuffer_t*> lent;
    {
        std::lock_guard<std::mutex> lock(m_mtxCache);
        lent.swap(m_setLent);
        for (LentBuffer_t* cached : m_vecCache) {
            delete cached;
        }
        m_vecCache.clear();
    }
    // Loans the application did not give back: their packages go back with the reader.
    for (LentBuffer_t* loan : lent) {
        delete loan;
    }
    delete m_pDataReader;
    m_pDataReader = nullptr;
    m_pTopicDesc->dereference();
}

void CDataReaderImpl::subscribeLocked()
{
    if (m_iDataCbId >= 0) {
        return;
    }
    m_iDataCbId = m_pSubscriberImpl->registerHeldDataCallBack(
        m_strTopicName, [this](int iCbId, CHeldPkg& held) { onData(iCbId, held); });
    DDS_GREEN_LIMITED_BY(m_strTopicName, "m_iDataCbId: %d", m_iDataCbId);
}

void CDataReaderImpl::unsubscribeLocked()
{
    if (m_iDataCbId >= 0) {
        // When this returns the data callback is not running and will not run again.
        m_pSubscriberImpl->unregisterDataCallBack(m_strTopicName, m_iDataCbId);
        m_iDataCbId = -1;
    }
    // Queued packages go back while the channel they came from still exists.
    CHeldPkg held;
    while (m_pQueue->dequeue(held, 0)) {
        held.release();
    }
}

void CDataReaderImpl::onEvent(int iCbId, int iEventId)
{
    DDS_GREEN_LIMITED_BY(m_strTopicName, "iCbId: %d, iEventId: %d", iCbId, iEventId);
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

void CDataReaderImpl::onData(int iCbId, CHeldPkg& held)
{
    (void)iCbId;
    DataPackage_t* pkg = held.pkg();
    if (pkg == nullptr) {
        return;
    }
    // A shared-memory package carries the writing process's length: one outside the package is
    // left to the caller, which releases it, rather than handed on. What the handle took at
    // hand-over is what the application gets, whatever the segment says later.
    int len = payloadLen(held);
    if (len < 0) {
        return;
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
    m_pQueue->enqueue(std::move(held));
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
    CHeldPkg held;
    if (!takeHeld(timeoutMs, &held)) {
        return -1;
    }
    // Checked when it was queued; the length is the one taken then.
    int len = payloadLen(held);
    if (size < len) {
        DDS_YELLOW_LIMITED_BY(m_strTopicName, "Warning: topic %s buf size is not enough! buf size (%d) < data Len (%d)",
                              m_strTopicName.c_str(), size, len);
        return -1;
    }
    memcpy(pBuf, pkgData(held.pkg()) + DDS_HEADER_SIZE, static_cast<size_t>(len));
    if (info != nullptr) {
        info->m_u64TimeStamp = pkgTimeStamp(held.pkg());
    }
    return len;
}

_DataBuffer_t* CDataReaderImpl::getDataBuffer(int timeoutMs, _ExtraDataInfo_t* info)
{
    return getFullDataBuffer(timeoutMs, info);
}

int CDataReaderImpl::releaseDataBuffer(_DataBuffer_t* buffer)
{
    return putEmptyDataBuffer(buffer);
}

_DataBuffer_t* CDataReaderImpl::getFullDataBuffer(int timeoutMs, _ExtraDataInfo_t* info)
{
    LentBuffer_t* lent = allocLent();
    if (lent == nullptr) {
        return nullptr;
    }
    if (!takeHeld(timeoutMs, &lent->m_stHeld)) {
        freeLent(lent);
        return nullptr;
    }
    const CHeldPkg& held = lent->m_stHeld;
    _DataBuffer_t* buffer = &lent->m_stBuf;
    buffer->m_u64TimeStamp = pkgTimeStamp(held.pkg());
    buffer->m_iSize = held.capacity() - static_cast<int>(DDS_HEADER_SIZE);
    buffer->m_iLen = payloadLen(held);
    buffer->m_pData = pkgData(held.pkg()) + DDS_HEADER_SIZE;
    buffer->m_pPkg = held.pkg();
    if (info != nullptr) {
        info->m_u64TimeStamp = buffer->m_u64TimeStamp;
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxCache);
        m_setLent.insert(lent);
    }
    return buffer;
}

int CDataReaderImpl::putEmptyDataBuffer(_DataBuffer_t* buffer)
{
    if (buffer == nullptr) {
        return -1;
    }
    // Every descriptor a reader lends is the head of a LentBuffer_t; only one lent now is read.
    auto* lent = reinterpret_cast<LentBuffer_t*>(buffer);
    {
        std::lock_guard<std::mutex> lock(m_mtxCache);
        if (m_setLent.erase(lent) == 0) {
            DDS_RED("Error: topic %s: buffer %p is not lent by this reader!", m_strTopicName.c_str(),
                    static_cast<void*>(buffer));
            return -1;
        }
    }
    lent->m_stHeld.release();
    freeLent(lent);
    return 0;
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
    CHeldPkg held;
    return takeHeld(timeoutMs, &held) ? held.disown() : nullptr;
}

void CDataReaderImpl::putEmptyDataPkg(DataPackage_t* pkg)
{
    if (m_pReceiver != nullptr) {
        m_pReceiver->putEmptyDataPkg(pkg);
    }
}

bool CDataReaderImpl::takeHeld(int timeoutMs, CHeldPkg* held)
{
    return m_pQueue->dequeue(*held, timeoutMs);
}

_DataBuffer_t* CDataReaderImpl::allocDataBuffer()
{
    LentBuffer_t* lent = allocLent();
    return lent == nullptr ? nullptr : &lent->m_stBuf;
}

void CDataReaderImpl::freeDataBuffer(_DataBuffer_t* buffer)
{
    auto* lent = reinterpret_cast<LentBuffer_t*>(buffer);
    {
        // Freed as a bare descriptor: no longer a loan to take back. Its package stays with the
        // application, which may still give it back bare (m_pPkg).
        std::lock_guard<std::mutex> lock(m_mtxCache);
        m_setLent.erase(lent);
    }
    if (lent != nullptr) {
        lent->m_stHeld.disown();
    }
    freeLent(lent);
}

CDataReaderImpl::LentBuffer_t* CDataReaderImpl::allocLent()
{
    LentBuffer_t* lent = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mtxCache);
        if (!m_vecCache.empty()) {
            lent = m_vecCache.back();
            m_vecCache.pop_back();
        }
    }
    if (lent == nullptr) {
        lent = new (std::nothrow) LentBuffer_t;
        if (lent == nullptr) {
            return nullptr;
        }
        lent->m_stBuf.m_u64TimeStamp = 0;
    }
    lent->m_stBuf.m_iSize = 0;
    lent->m_stBuf.m_iLen = 0;
    lent->m_stBuf.m_pData = nullptr;
    lent->m_stBuf.m_pPkg = nullptr;
    return lent;
}

void CDataReaderImpl::freeLent(LentBuffer_t* lent)
{
    if (lent == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxCache);
        if (std::find(m_vecCache.begin(), m_vecCache.end(), lent) != m_vecCache.end()) {
            DDS_RED("Error: topic %s: buffer %p is freed twice!", m_strTopicName.c_str(), static_cast<void*>(lent));
            return;
        }
        if (m_vecCache.size() < kCacheLimit) {
            m_vecCache.push_back(lent);
            return;
        }
    }
    delete lent;
}

int CDataReaderImpl::getDataCbId()
{
    std::lock_guard<std::mutex> lock(m_mtxEvent);
    return m_iDataCbId;
}

int CDataReaderImpl::getCacheCount()
{
    std::lock_guard<std::mutex> lock(m_mtxCache);
    return static_cast<int>(m_vecCache.size());
}
