// Reading side of zero-copy transfer for one data channel: attaches the writer's pool segment,
// maps package numbers 1..N to the packages in it, hands each number the writer posts to the
// attached FIFOs and registered callbacks, and posts the number back once its last holder in
// this process has released it.
//
// Threads: the queue's receive thread runs the dispatch (FIFOs and callbacks); application
// threads give packages back; the owner's control thread calls init/deinit; registerCallBack,
// unregisterCallBack and getFps from any thread. The targets' FIFO mutex is held
// while FIFOs are pushed to and their callback mutex while the callbacks run (so a
// callback must not register or unregister); m_mtxMapping guards the current-mapping pointer
// only. Record mutexes are taken inside those sections.
//
// The pool mapping is shared: it stays attached, with its table, while packages of it are held
// in this process, even after deinit and after the client is gone. A package is found by its
// address (never by the numbers in the segment, which other processes can write), so any thread
// can give back a package of any mapping. Consumers called inside a hand-over can instead take
// the package's origin with it (handOverOf), which needs neither the registry's mutex nor a
// search when it is given back.
//
// The reading side's one way back is releaseHeld: the reader, the receiving transport, the
// shared-memory receiver, this client and its FIFOs all end there, by origin, or by address
// through releaseHeldPackage, which only finds the origin first.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "memory/datacenter.h"
#include "memory/mem_pool.h"

class CDataFifo;
class CPoolMapping;

// A package as its channel handed it over, with what this process knows of it: where its reference
// goes back and the lengths it may trust. Plain memory of this process, carried by the holder.
struct HeldPkg_t {
    DataPackage_t* m_pPkg{nullptr};
    // The pool mapping the package lies in, kept registered by the reference this holder owns;
    // null for a package of this process's memory.
    CPoolMapping* m_pMapping{nullptr};
    int m_iId{-1};      // number in m_pMapping
    int m_iCapacity{0}; // data capacity: the mapping's chunk size, never the segment's field
    int m_iLen{0};      // used length, read once at hand-over and within m_iCapacity
};

class CShmClient {
public:
    using DataCallBack_t = std::function<int(int, DataPackage_t*)>;

    CShmClient();
    virtual ~CShmClient();
    CShmClient(const CShmClient&) = delete;
    CShmClient& operator=(const CShmClient&) = delete;

    // Attaches and maps the pool, then attaches the queue; false when initialised already or
    // when either step fails (then nothing stays attached).
    bool init(int queueKey, int poolKey, const MemPoolLayout_t& layout);
    // Stops dispatching and detaches the queue; the pool mapping goes once nothing of it is held.
    void deinit();
    bool isInit() const { return m_bInit.load(); }

    // 0, or -1 for null, a FIFO already attached (attach) or not attached (detach).
    int attachFifo(CDataFifo* fifo);
    int detachFifo(CDataFifo* fifo);
    // The new callback's id (1, 2, ...), or -1 for an empty callback.
    int registerCallBack(DataCallBack_t callback);
    void unregisterCallBack(int id);

    // A holder gives a package back; anything that is not a package of a mapping of this
    // process is ignored.
    void putEmptyDataPkg(DataPackage_t* pkg);
    // Reference operations by number on the current mapping.
    void releasePackage(int id);
    void referPackage(int id);
    DataPackage_t* getDataPkgById(int id);
    // Rate of numbers received; -1 unless initialised.
    int getFps();

    // Gives back one reference of a package that lies in the pool mapping of any client of this
    // process, also one that has been deinitialised or deleted since: the origin is found by
    // address in the registry of mappings, then releaseHeld. False when the package is in no such
    // mapping (a process-memory package, for one); such a package goes to `own` when one is given.
    static bool releaseHeldPackage(DataPackage_t* pkg, CDataManager* own = nullptr);
    // The origin of `pkg` while the calling thread's dispatch hands it out (so inside a FIFO push
    // or a data callback of that hand-out); null for any other package or outside one.
    static const HeldPkg_t* handOverOf(const DataPackage_t* pkg);
    // The one way back of the reading side: gives back the reference a holder owns of `held`. A
    // package of a pool mapping drops it there, whether or not its channel is still there, with
    // neither the registry's mutex nor a search; any other package goes straight to `own`, the
    // data manager of the transport that delivered it (none: nothing).
    static void releaseHeld(const HeldPkg_t& held, CDataManager* own = nullptr);

private:
    std::shared_ptr<CPoolMapping> initMemLayout(int poolKey, const MemPoolLayout_t& layout);
    bool initMemQue(int queueKey, const std::shared_ptr<CPoolMapping>& mapping);
    void dispatch(CPoolMapping* mapping, int id);
    std::shared_ptr<CPoolMapping> currentMapping();

    std::shared_ptr<CPoolMapping> m_pMapping;
    std::mutex m_mtxMapping;
    CPackageTargets m_targets;
    std::atomic<bool> m_bInit{false};
};
