// Data writer handles given to the application by CPublisher::createDataWriter.
#pragma once

#include "dds_types.h"
#include "zqdds_export.h"

class CDataWriterImpl;

// Publishes byte messages on one topic, by copy (write) or by loan (getEmptyDataBuffer, then
// putFullDataBuffer). Delivery is best effort: a message written while no reader is connected
// is dropped without notice. It belongs to the library: hand it back with
// CPublisher::deleteDataWriter, and use neither the handle nor a buffer lent by it afterwards.
// Every operation may run on several threads at once.
class ZQDDS_API CDataWriter {
public:
    explicit CDataWriter(CDataWriterImpl* impl) : m_pImpl(impl) {}
    // Does nothing: the implementation owns the handle.
    virtual ~CDataWriter() = default;

    CDataWriter(const CDataWriter&) = delete;
    CDataWriter& operator=(const CDataWriter&) = delete;

    // Copies iLen bytes into a package and publishes it; iLen, or -1 for null data, a negative
    // or oversize length, or when no package is free.
    int write(void* data, int iLen);
    // Lends a package with room for at least `size` payload bytes at m_pData (m_iSize of them);
    // null when none is free in time or `size` is negative or too large.
    _DataBuffer_t* getEmptyDataBuffer(int size, int timeoutMs);
    // Publishes a lent buffer with m_iLen payload bytes (0..m_iSize); -1 for null, a length out
    // of range (the package then goes back unpublished) or a topic without data path.
    int putFullDataBuffer(_DataBuffer_t* buffer);
    // True while at least one reader holds a data channel of the topic. It turns true when the
    // channel is offered, which may be before the reader's receiving side is up: the first
    // messages written right after it can be lost. Wait for the reader's isConnect, or for an
    // answer, where every message counts.
    bool isConnect();

private:
    CDataWriterImpl* m_pImpl;
};
