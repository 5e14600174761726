// Reading side of zero-copy transfer for one data channel: attaches the writer's pool segment,
// maps package numbers 1..N to the packages in it, hands each number the writer posts to the
// attached FIFOs and registered callbacks, and posts the number back once its last holder in
// this process has released it.
//
// Threads: the queue's receive thread runs the dispatch (FIFOs and callbacks); application
// threads give packages back; the owner's control thread calls init/deinit; the registrations
// and getFps from any thread. The targets' FIFO mutex is held while FIFOs are pushed to and their
// callback mutex while the callbacks run (so a callback must not register or unregister);
// m_mtxMapping guards the current-mapping pointer only. Record mutexes are taken inside those
// sections (a handle a consumer refuses is given back there).
//
// The pool mapping is shared: it stays attached, with its table, while packages of it are held
// in this process, even after deinit and after the client is gone. Consumers get each package in
// a handle that carries its mapping and number, so giving it back needs neither the registry's
// mutex nor a search; a package given back bare is found by its address (never by the numbers in
// the segment, which other processes can write), so any thread can give back a package of any
// mapping.
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

class CShmClient {
public:
    using DataCallBack_t = std::function<int(int, DataPackage_t*)>;
    using HeldCallBack_t = std::function<void(int, CHeldPkg&)>;

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
    int registerHeldCallBack(HeldCallBack_t callback);
    void unregisterCallBack(int id);

    // A holder gives a package back by address (CHeldPkg::releaseByAddress); anything that is
    // not a package of a mapping of this process is ignored.
    void putEmptyDataPkg(DataPackage_t* pkg);
    // Reference operations by number on the current mapping.
    void releasePackage(int id);
    void referPackage(int id);
    DataPackage_t* getDataPkgById(int id);
    // Rate of numbers received; -1 unless initialised.
    int getFps();

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
