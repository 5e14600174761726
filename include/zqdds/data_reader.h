// Data reader handles given to the application by CSubscriber::createDataReader.
#pragma once

#include "dds_types.h"
#include "zqdds_export.h"

class CDataReaderImpl;

// Takes the messages of one topic from a bounded queue that drops its oldest message when full:
// by copy (read), by loan (getDataBuffer, then releaseDataBuffer) and, when registered, through
// the application's callback, which sees every message before it is queued. Timeouts are in
// milliseconds: negative waits for ever, 0 does not wait.
//
// It belongs to the library: hand it back with CSubscriber::deleteDataReader, after giving back
// every buffer lent by getDataBuffer. Do not delete a reader while another thread is inside its
// read or getDataBuffer: a waiting call would be left on a destroyed queue.
class ZQDDS_API CDataReader {
public:
    explicit CDataReader(CDataReaderImpl* impl) : m_pImpl(impl) {}
    // Does nothing: the implementation owns the handle.
    virtual ~CDataReader() = default;

    CDataReader(const CDataReader&) = delete;
    CDataReader& operator=(const CDataReader&) = delete;

    // Copies the oldest message into pBuf and gives its length; -1 for a null buffer, a negative
    // size, no message in time, or a message longer than `size` (that message is then lost).
    // `info`, when not null, gets the writer's time stamp.
    int read(void* pBuf, int size, int timeoutMs, _ExtraDataInfo_t* info = nullptr);
    // Lends the oldest message in place; null when none came in time. Give it back with
    // releaseDataBuffer.
    _DataBuffer_t* getDataBuffer(int timeoutMs, _ExtraDataInfo_t* info = nullptr);
    // Gives back a buffer lent by getDataBuffer (null is ignored). A buffer that is not lent at
    // this moment (given back already, or never lent by this reader) is refused with a red line.
    void releaseDataBuffer(_DataBuffer_t* buffer);
    // Messages waiting in the queue.
    int getBufferCount();
    // Replaces the application's callback (an empty one removes it). It runs on the library's
    // receiving thread; data and info are valid during the call only; its result is ignored.
    // When this returns, no call of the old callback is running any more.
    // The callback may ask for status (CParticipant::getDdsInfo, getBufferCount, isConnect), take
    // messages without waiting (read or getDataBuffer with timeout 0), give back lent buffers and
    // write through a writer. It must not call registerUserDataCallBack, create or delete
    // topics, publishers, subscribers, writers or readers, nor wait for a reader's queue: each
    // of those waits for the receiving thread, which is running the callback. Another thread may
    // delete any reader, this one included, while the callback runs: the deletion waits for it.
    // An exception the callback lets escape is reported with a red line; the message is still queued.
    // Every message is queued after its callback as well, so a reader that only registers a
    // callback must still take from its queue (read or getDataBuffer), or leave it to drop its
    // oldest. On a shared-memory topic each queued message holds its chunk: with the default
    // layout (8 chunks of a group) and depth (8), every write of the topic fails after the 8th
    // message, for every reader, until this reader takes from its queue or is deleted.
    void registerUserDataCallBack(UserDataCallBack_t callback);
    // True while the topic's data channel is up for this reader.
    bool isConnect();

private:
    CDataReaderImpl* m_pImpl;
};
