// A data reader: subscribes to the packages of its topic's data channel, keeps them in a bounded
// queue that drops the oldest, and gives them to the application by copy, by loan or through the
// application's callback.
//
// Threads: application threads call read, the loan, getBufferCount, registerUserDataCallBack and
// isConnect; the topic's control thread runs onEvent; the channel's delivering thread runs
// onData (with the channel's callback mutex held). m_mtxEvent guards m_iDataCbId and m_bClosing,
// so that event handling and destruction exclude each other; m_mtxUserCb guards m_fnUserCb and
// is held while it runs; m_mtxCache guards only the descriptor cache and the lent descriptors.
// Orders: the transport's event mutex, then m_mtxEvent, then the channel's callback mutex; the
// channel's callback mutex, then m_mtxUserCb, then the queue's mutex, then the pool's locks (or a
// package record's mutex). The reader keeps its subscriber's transport of the topic at hand for
// the releases: that transport goes only after the topic's last reader in the subscriber, so it
// outlives the reader.
//
// Each package comes in a handle (CHeldPkg) with its origin (a pool mapping of a shared-memory
// channel, or this process's memory) and the lengths read once at hand-over; the handle travels
// through the queue and the lent descriptor and gives the package back where it came from: the
// message path takes no process-wide lock, searches nothing and reads no length from a segment
// after that. Only getFullDataPkg lets the bare pointer out, which comes back by address.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/data_queue.h"
#include "memory/held_pkg.h"
#include "zqdds/dds_types.h"

class CDataReader;
class CSubscriberImpl;
class CTopic;
class CTransReceiver;
class CTopicDescImpl;

class CDataReaderImpl {
public:
    // Registers for the topic's channel events, subscribes at once when the channel is up
    // already, and adds one to the topic's use count; takes the subscriber's transport of the topic,
    // which must exist already. A depth of 0 or less becomes 8.
    CDataReaderImpl(CSubscriberImpl* subscriber, CTopic* topic, int depth);
    // Unregisters both callbacks (no event or package reaches the reader afterwards), releases
    // every queued package, frees the cached descriptors, deletes the handle and takes one from
    // the topic's use count.
    ~CDataReaderImpl();
    CDataReaderImpl(const CDataReaderImpl&) = delete;
    CDataReaderImpl& operator=(const CDataReaderImpl&) = delete;

    void setDataReader(CDataReader* handle) { m_pDataReader = handle; }
    CDataReader* getDataReader() const { return m_pDataReader; }

    int read(void* pBuf, int size, int timeoutMs, _ExtraDataInfo_t* info);
    _DataBuffer_t* getDataBuffer(int timeoutMs, _ExtraDataInfo_t* info);
    // 0, or -1 for null and (with a red line) for a descriptor this reader has not lent now: one
    // given back already, or one it never lent.
    int releaseDataBuffer(_DataBuffer_t* buffer);
    int getBufferCount();
    void registerUserDataCallBack(UserDataCallBack_t callback);
    bool isConnect() const { return m_bConnected.load(); }

    // The package alone: its origin is looked up again when it is given back.
    DataPackage_t* getFullDataPkg(int timeoutMs);
    // Gives back a package of getFullDataPkg through the topic's transport, by address.
    void putEmptyDataPkg(DataPackage_t* pkg);
    _DataBuffer_t* getFullDataBuffer(int timeoutMs, _ExtraDataInfo_t* info);
    int putEmptyDataBuffer(_DataBuffer_t* buffer);
    _DataBuffer_t* allocDataBuffer();
    void freeDataBuffer(_DataBuffer_t* buffer);

    CTopicDescImpl* getTopicDesc() const { return m_pTopicDesc; }

    CSubscriberImpl* getSubscriberImpl() const { return m_pSubscriberImpl; }
    const std::string& getTopicName() const { return m_strTopicName; }
    int getDepth() const { return m_iDepth; }
    int getEventCbId() const { return m_iEventCbId; }
    int getDataCbId();
    int getCacheCount();

    // The two callbacks the transport calls.
    void onEvent(int iCbId, int iEventId);
    // Keeps the package by moving the handle out; one it refuses stays in `held`.
    void onData(int iCbId, CHeldPkg& held);

private:
    // A lent descriptor with the origin of the package it lends; the application sees m_stBuf.
    struct LentBuffer_t {
        _DataBuffer_t m_stBuf;
        CHeldPkg m_stHeld;
    };
    static_assert(offsetof(LentBuffer_t, m_stBuf) == 0, "a lent descriptor starts with what the application sees");

    // Registers the data callback unless one is; m_mtxEvent is held.
    void subscribeLocked();
    // Unregisters the data callback and releases every queued package; m_mtxEvent is held.
    void unsubscribeLocked();
    // The oldest queued package with its origin; false when none came in time.
    bool takeHeld(int timeoutMs, CHeldPkg* held);
    LentBuffer_t* allocLent();
    void freeLent(LentBuffer_t* lent);

    CSubscriberImpl* m_pSubscriberImpl;
    // The subscriber's transport of the topic (a subscriber's transports are receiving ones):
    // packages given back bare go back through it.
    CTransReceiver* m_pReceiver;
    CDataReader* m_pDataReader{nullptr};
    int m_iDepth;
    int m_iEventCbId{-1};
    int m_iDataCbId{-1};
    std::unique_ptr<CDataQueue<CHeldPkg>> m_pQueue;
    // Descriptors kept for reuse (last given back, first taken), at most kCacheLimit.
    static constexpr size_t kCacheLimit = 8;
    std::vector<LentBuffer_t*> m_vecCache;
    // Descriptors lent now: only these are taken back, each once (an application's second
    // release of one loan would give its package back twice and cache the descriptor twice).
    std::unordered_set<LentBuffer_t*> m_setLent;
    std::mutex m_mtxCache; // guards m_vecCache and m_setLent
    UserDataCallBack_t m_fnUserCb;
    std::atomic<bool> m_bConnected{false};

    CTopicDescImpl* m_pTopicDesc;
    std::string m_strTopicName;
    std::mutex m_mtxEvent;
    bool m_bClosing{false};
    std::mutex m_mtxUserCb;
};
