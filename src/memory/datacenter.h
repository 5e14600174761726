// Fan-out of published packages to FIFOs and data callbacks, and the per-transport data manager.
//
// Threads: pushPackage runs on any publishing thread, several at once. In CPackageTargets
// m_mtxFifo guards m_vecFifos and is held while the FIFOs are pushed to; m_mtxCallBack guards
// m_mapCallBacks and is held while the callbacks run, so a callback must not register or
// unregister callbacks of the same center. Lock order: m_mtxFifo, then a FIFO's mutex, then the
// pool's locks; m_mtxCallBack, then whatever a callback takes.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "memory/databuffer.h"
#include "memory/datafifo.h"
#include "memory/held_pkg.h"

// Called with the registration id and the package, after a reference was taken for the callee:
// 0 means the callee keeps that reference, anything else makes the center drop it.
using DataCallBack_t = std::function<int(int, DataPackage_t*)>;
// Called with the registration id and a handle of a reference taken for the callee, which keeps
// it by moving the handle out; whatever is left in it is given back on return.
using HeldCallBack_t = std::function<void(int, CHeldPkg&)>;

// The FIFOs and data callbacks that packages are handed to: the data center's and the
// shared-memory client's.
class CPackageTargets {
public:
    int attachFifo(CDataFifo* fifo);
    int detachFifo(CDataFifo* fifo);
    // Ids 1, 2, 3, ... of both kinds, never reused; -1 for an empty callback.
    int registerCallBack(DataCallBack_t callback);
    int registerHeldCallBack(HeldCallBack_t callback);
    void unregisterCallBack(int id);

    // Hands the package `own` holds to every FIFO in attach order, then to every callback in id
    // order, each with a reference of its own (own.share()), given back when the consumer refuses
    // it. The origin travels in the handle, so its consumers need no lookup to give it back.
    void handOut(const CHeldPkg& own);

private:
    // One of the two is set.
    struct CallBack_t {
        DataCallBack_t m_fnPkg;
        HeldCallBack_t m_fnHeld;
    };
    int addCallBack(CallBack_t callback);

    std::vector<CDataFifo*> m_vecFifos;
    std::mutex m_mtxFifo;
    std::map<int, CallBack_t> m_mapCallBacks;
    std::mutex m_mtxCallBack;
    std::atomic<size_t> m_iCallBacks{0}; // m_mapCallBacks.size(), written under m_mtxCallBack
    int m_iNextCbId{1};
};

class CDataCenter : public CDataBuffer {
public:
    CDataCenter() = default;
    // Drops the FIFO list and the callbacks; every FIFO must have been destroyed before.
    virtual ~CDataCenter();
    CDataCenter(const CDataCenter&) = delete;
    CDataCenter& operator=(const CDataCenter&) = delete;

    // Hands the package to every FIFO in attach order, then to every callback in id order, the
    // handle kind with this center as the package's origin and the capacity and length it has now;
    // -1 for null, else 0 whatever the consumers did.
    int pushPackage(DataPackage_t* pkg);
    // pushPackage for a package the caller took a reference of for this center, given back here;
    // `id` is the number the pool gave with it (0 or -1 for none), `capacity` and `len` what the pool
    // knows of it (for a shared-memory pool never the segment's fields).
    int pushReferred(DataPackage_t* pkg, int id, int capacity, int len);
    int attachFifo(CDataFifo* fifo) { return m_targets.attachFifo(fifo); }
    int detachFifo(CDataFifo* fifo) { return m_targets.detachFifo(fifo); }
    // Ids 1, 2, 3, ... never reused; -1 for an empty callback.
    int registerCallBack(DataCallBack_t callback) { return m_targets.registerCallBack(std::move(callback)); }
    int registerHeldCallBack(HeldCallBack_t callback) { return m_targets.registerHeldCallBack(std::move(callback)); }
    void unregisterCallBack(int id) { m_targets.unregisterCallBack(id); }

private:
    CPackageTargets m_targets;
};

// The facade through which a transport's senders or receivers take, publish, refer and release
// packages and open FIFOs. Owns its center; borrows the pool. Its owner stops every thread that
// uses it (and so destroys every FIFO) before deleting it.
class CDataManager {
public:
    CDataManager();
    virtual ~CDataManager();
    CDataManager(const CDataManager&) = delete;
    CDataManager& operator=(const CDataManager&) = delete;

    void setMemPool(CMemPool* pool);
    // The pool never waits, so the timeout is not used.
    DataPackage_t* getEmptyDataPkg(int size, int timeoutMs);
    void putEmptyDataPkg(DataPackage_t* pkg);
    void releaseDataPkg(DataPackage_t* pkg);
    void referDataPkg(DataPackage_t* pkg);
    // Publishes the package with `len` bytes in use, kept within its capacity. The length is the
    // caller's and never read back from the package, which may lie in a segment others can write.
    int putFullDataPkg(DataPackage_t* pkg, int len);
    // Bytes of a published package to send: the length fixed at publishing, never more than the
    // capacity this process knows for the chunk (0 for a package of another pool).
    int getDataPkgLen(DataPackage_t* pkg);
    // Data capacity of a package of this manager's pool as this process knows it (0 otherwise).
    int getDataPkgCapacity(DataPackage_t* pkg);
    // A new FIFO attached to the center, owned by the caller (the thread that reads it), which
    // gives it back with destroyDataFifo.
    CDataFifo* createDataFifo(int policy, int depth);
    void destroyDataFifo(CDataFifo* fifo);
    int registerCallBack(DataCallBack_t callback);
    int registerHeldCallBack(HeldCallBack_t callback);
    void unregisterCallBack(int id);
    bool getMemPoolType();
    void* getMemPoolAddr();
    int getMemPoolKey();
    // Zero-filled without a pool.
    MemPoolLayout_t getMemPoolLayout();
    // The pool's numbering as a new reader of another process walks it (CMemPool::restoreNumbering).
    void restoreMemPoolNumbering();

    CDataCenter* getDataCenter() const { return m_pDataCenter; }
    CMemPool* getMemPool() const { return m_pMemPool; }

private:
    CDataCenter* m_pDataCenter{nullptr};
    CMemPool* m_pMemPool{nullptr};
};
