// A data writer: turns application messages into packages with the package header and
// publishes them through its publisher's transport of the topic.
//
// Threads: write, the loan and isConnect may run on several application threads at once; the
// buffer cache, the pools and the data manager lock for themselves. The writer keeps its
// publisher's transport of the topic at hand: that transport goes only after the topic's last
// writer in the publisher, so it outlives the writer.
#pragma once

#include <string>

#include "core/data_buffer_cache.h"
#include "zqdds/dds_types.h"

class CDataWriter;
class CPublisherImpl;
class CTransport;
class CTopic;
class CTopicDescImpl;

class CDataWriterImpl {
public:
    // Adds one to the topic's use count and takes the publisher's transport of the topic, which
    // must exist already.
    CDataWriterImpl(CPublisherImpl* publisher, CTopic* topic);
    // Frees the cached descriptors, deletes the handle and takes one from the topic's use count.
    virtual ~CDataWriterImpl();
    CDataWriterImpl(const CDataWriterImpl&) = delete;
    CDataWriterImpl& operator=(const CDataWriterImpl&) = delete;

    void setDataWriter(CDataWriter* handle) { m_pDataWriter = handle; }
    CDataWriter* getDataWriter() const { return m_pDataWriter; }

    int write(void* data, int iLen);
    _DataBuffer_t* getEmptyDataBuffer(int size, int timeoutMs);
    int putFullDataBuffer(_DataBuffer_t* buffer);
    bool isConnect();

    DataPackage_t* getEmptyDataPkg(int size, int timeoutMs);
    int putFullDataPkg(DataPackage_t* pkg, int len);
    _DataBuffer_t* allocDataBuffer();
    void freeDataBuffer(_DataBuffer_t* buffer);

    CTopicDescImpl* getTopicDesc() const { return m_pTopicDesc; }

    CPublisherImpl* getPublisherImpl() const { return m_pPublisherImpl; }
    const std::string& getTopicName() const { return m_strTopicName; }
    int getCacheCount();

    // Largest payload a writer publishes (a frame's limit on every medium).
    static int maxPayload();

private:
    // Fills the header of a package with iLen payload bytes.
    static void fillHeader(DataPackage_t* pkg, int iLen);

    CDataBufferCache m_cache{8};
    CPublisherImpl* m_pPublisherImpl;
    CTransport* m_pTransport;
    CDataWriter* m_pDataWriter{nullptr};
    CTopicDescImpl* m_pTopicDesc;
    std::string m_strTopicName;
};
