#include "core/data_writer_impl.h"

#include <cstring>
#include <new>

#include "core/publisher_impl.h"
#include "core/topic_impl.h"
#include "core/transport/transport.h"
#include "memory/mem_pool.h"
#include "utils/dds_common.h"
#include "zqdds/data_writer.h"
#include "zqdds/topic.h"

CDataWriterImpl::CDataWriterImpl(CPublisherImpl* publisher, CTopic* topic)
    : m_pPublisherImpl(publisher), m_pTransport(publisher->getTransport(topic->getTopicName())),
      m_pTopicDesc(topic->getTopicDescImpl()), m_strTopicName(topic->getTopicName())
{
    m_pTopicDesc->reference();
}

CDataWriterImpl::~CDataWriterImpl()
{
    m_cache.clear();
    delete m_pDataWriter;
    m_pDataWriter = nullptr;
    m_pTopicDesc->dereference();
}

int CDataWriterImpl::maxPayload()
{
    // A frame's payload limit; far below INT_MAX, so size + header + chunk overhead never overflows.
    return static_cast<int>(DDS_MAX_FRAME_PAYLOAD);
}

void CDataWriterImpl::fillHeader(DataPackage_t* pkg, int iLen)
{
    // Zero-filled as a whole, so that no bytes of an earlier message travel in the unused fields.
    DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
    header.m_u32SeqNo = 0;
    header.m_u64TimeStamp = static_cast<uint64_t>(getSysTimeUs());
    header.m_u32DataLen = static_cast<uint32_t>(iLen);
    writeDdsHeader(pkgData(pkg), header);
}

int CDataWriterImpl::write(void* data, int iLen)
{
    if (data == nullptr) {
        return -1;
    }
    if (iLen < 0 || iLen > maxPayload()) {
        DDS_RED("Error: write length %d is out of range 0..%d!", iLen, maxPayload());
        return -1;
    }
    DataPackage_t* pkg = getEmptyDataPkg(iLen + static_cast<int>(DDS_HEADER_SIZE), 100);
    if (pkg == nullptr) {
        DDS_RED_LIMITED("Error: getEmptyDataPkg failed! iLen:%d", iLen);
        return -1;
    }
    fillHeader(pkg, iLen);
    memcpy(pkgData(pkg) + DDS_HEADER_SIZE, data, static_cast<size_t>(iLen));
    putFullDataPkg(pkg, iLen + static_cast<int>(DDS_HEADER_SIZE));
    return iLen;
}

_DataBuffer_t* CDataWriterImpl::getEmptyDataBuffer(int size, int timeoutMs)
{
    if (size < 0 || size > maxPayload()) {
        return nullptr;
    }
    _DataBuffer_t* buffer = allocDataBuffer();
    if (buffer == nullptr) {
        return nullptr;
    }
    DataPackage_t* pkg = getEmptyDataPkg(size + static_cast<int>(DDS_HEADER_SIZE), timeoutMs);
    if (pkg == nullptr) {
        freeDataBuffer(buffer);
        return nullptr;
    }
    // The capacity as the pool knows it: the package's own field lies in a segment others can write.
    buffer->m_iSize = m_pTransport->getDataPkgCapacity(pkg) - static_cast<int>(DDS_HEADER_SIZE);
    buffer->m_pData = pkgData(pkg) + DDS_HEADER_SIZE;
    buffer->m_iLen = 0;
    buffer->m_pPkg = pkg;
    return buffer;
}

int CDataWriterImpl::putFullDataBuffer(_DataBuffer_t* buffer)
{
    if (buffer == nullptr) {
        return -1;
    }
    DataPackage_t* pkg = buffer->m_pPkg;
    if (pkg == nullptr) {
        freeDataBuffer(buffer);
        return -1;
    }
    // The length is the application's: checked against the package's own capacity, so that no
    // sender reads beyond the chunk.
    int capacity =
        m_pTransport == nullptr ? 0 : m_pTransport->getDataPkgCapacity(pkg) - static_cast<int>(DDS_HEADER_SIZE);
    int len = buffer->m_iLen;
    if (len < 0 || len > buffer->m_iSize || len > capacity || len > maxPayload()) {
        DDS_RED("Error: data length %d is out of range 0..%d!", len,
                capacity < buffer->m_iSize ? capacity : buffer->m_iSize);
        freeDataBuffer(buffer);
        // A fresh package (count 0) is only given back by a release that follows a reference,
        // taken through the pool that keeps the package's count.
        if (m_pTransport != nullptr) {
            m_pTransport->referDataPkg(pkg);
            m_pTransport->putEmptyDataPkg(pkg);
        }
        return -1;
    }
    fillHeader(pkg, len);
    freeDataBuffer(buffer);
    return putFullDataPkg(pkg, len + static_cast<int>(DDS_HEADER_SIZE));
}

bool CDataWriterImpl::isConnect()
{
    return m_pTransport != nullptr && m_pTransport->isConnect();
}

DataPackage_t* CDataWriterImpl::getEmptyDataPkg(int size, int timeoutMs)
{
    return m_pTransport == nullptr ? nullptr : m_pTransport->getEmptyDataPkg(size, timeoutMs);
}

int CDataWriterImpl::putFullDataPkg(DataPackage_t* pkg, int len)
{
    return m_pTransport == nullptr ? -1 : m_pTransport->putFullDataPkg(pkg, len);
}

_DataBuffer_t* CDataWriterImpl::allocDataBuffer()
{
    return m_cache.alloc();
}

void CDataWriterImpl::freeDataBuffer(_DataBuffer_t* buffer)
{
    m_cache.free(buffer);
}

int CDataWriterImpl::getCacheCount()
{
    return m_cache.count();
}
