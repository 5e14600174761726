#include "memory/datacenter.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "memory/normal_datafifo.h"

CDataCenter::~CDataCenter() = default;

int CDataCenter::pushPackage(DataPackage_t* pkg)
{
    if (pkg == nullptr) {
        return -1;
    }
    const int id = referNumbered(pkg);
    if (id > 0) {
        // A numbering pool's chunk may lie where other processes write: its lengths are the pool's.
        return pushReferred(pkg, id, packageCapacity(pkg), packageLen(pkg));
    }
    return pushReferred(pkg, id, pkg->m_iSize, __atomic_load_n(&pkg->m_iLen, __ATOMIC_RELAXED));
}

int CDataCenter::pushReferred(DataPackage_t* pkg, int id, int capacity, int len)
{
    if (pkg == nullptr) {
        return -1;
    }
    // Our own reference keeps the package alive while it is handed out, and returns it to its
    // pool at the end when no consumer kept one. The number found with it moves every reference
    // after it, so the package is not looked up again here.
    const CHeldPkg own = CHeldPkg::ofBuffer(this, id, pkg, capacity, len);
    m_targets.handOut(own);
    return 0;
}

int CPackageTargets::attachFifo(CDataFifo* fifo)
{
    if (fifo == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mtxFifo);
    if (std::find(m_vecFifos.begin(), m_vecFifos.end(), fifo) != m_vecFifos.end()) {
        return -1;
    }
    m_vecFifos.push_back(fifo);
    return 0;
}

int CPackageTargets::detachFifo(CDataFifo* fifo)
{
    if (fifo == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mtxFifo);
    auto it = std::find(m_vecFifos.begin(), m_vecFifos.end(), fifo);
    if (it == m_vecFifos.end()) {
        return -1;
    }
    m_vecFifos.erase(it);
    return 0;
}

void CPackageTargets::handOut(const CHeldPkg& own)
{
    {
        std::lock_guard<std::mutex> lock(m_mtxFifo);
        for (CDataFifo* fifo : m_vecFifos) {
            CHeldPkg mine = own.share();
            if (fifo->pushDataPackage(mine.pkg()) == 0) {
                // The FIFO's reader gives it back by address.
                mine.disown();
            }
        }
    }
    // Most centers have no callback: spare their publishers the lock. A callback registered
    // meanwhile may miss this package, as it may when it waits for the lock.
    if (m_iCallBacks.load(std::memory_order_acquire) == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mtxCallBack);
    for (auto& entry : m_mapCallBacks) {
        CHeldPkg mine = own.share();
        if (entry.second.m_fnHeld) {
            entry.second.m_fnHeld(entry.first, mine);
        } else if (entry.second.m_fnPkg(entry.first, mine.pkg()) == 0) {
            // Kept as a bare pointer: it comes back by address.
            mine.disown();
        }
    }
}

int CPackageTargets::registerCallBack(DataCallBack_t callback)
{
    if (!callback) {
        return -1;
    }
    return addCallBack(CallBack_t{std::move(callback), nullptr});
}

int CPackageTargets::registerHeldCallBack(HeldCallBack_t callback)
{
    if (!callback) {
        return -1;
    }
    return addCallBack(CallBack_t{nullptr, std::move(callback)});
}

int CPackageTargets::addCallBack(CallBack_t callback)
{
    std::lock_guard<std::mutex> lock(m_mtxCallBack);
    int id = m_iNextCbId++;
    m_mapCallBacks.emplace(id, std::move(callback));
    m_iCallBacks.store(m_mapCallBacks.size(), std::memory_order_release);
    return id;
}

void CPackageTargets::unregisterCallBack(int id)
{
    std::lock_guard<std::mutex> lock(m_mtxCallBack);
    m_mapCallBacks.erase(id);
    m_iCallBacks.store(m_mapCallBacks.size(), std::memory_order_release);
}

CDataManager::CDataManager() : m_pDataCenter(new CDataCenter()) {}

CDataManager::~CDataManager()
{
    delete m_pDataCenter;
}

void CDataManager::setMemPool(CMemPool* pool)
{
    if (pool == nullptr) {
        return;
    }
    m_pDataCenter->setMemPool(pool);
    m_pMemPool = pool;
}

DataPackage_t* CDataManager::getEmptyDataPkg(int size, int timeoutMs)
{
    (void)timeoutMs;
    DataPackage_t* pkg = m_pDataCenter->createPackage(size);
    // Chunks come back on other threads of this process: a caller that asks again at once
    // (bound to one CPU, say) would keep them from running until its time slice ends.
    if (pkg == nullptr) {
        sched_yield();
    }
    return pkg;
}

void CDataManager::putEmptyDataPkg(DataPackage_t* pkg)
{
    m_pDataCenter->releasePackage(pkg);
}

void CDataManager::releaseDataPkg(DataPackage_t* pkg)
{
    m_pDataCenter->releasePackage(pkg);
}

void CDataManager::referDataPkg(DataPackage_t* pkg)
{
    m_pDataCenter->referPackage(pkg);
}

int CDataManager::putFullDataPkg(DataPackage_t* pkg, int len)
{
    if (pkg == nullptr || m_pMemPool == nullptr) {
        return m_pDataCenter->pushPackage(pkg);
    }
    // One lookup fixes the length, takes the center's reference and gives the package's number
    // with what the pool knows of it.
    int capacity = 0;
    const int id = m_pMemPool->publishNumbered(getChunkAddr(pkg), &len, &capacity);
    if (id < 0) {
        // Of another pool: no length is noted, and the center refers it as any such package.
        return m_pDataCenter->pushPackage(pkg);
    }
    return m_pDataCenter->pushReferred(pkg, id, capacity, len);
}

int CDataManager::getDataPkgLen(DataPackage_t* pkg)
{
    return m_pDataCenter->packageLen(pkg);
}

int CDataManager::getDataPkgCapacity(DataPackage_t* pkg)
{
    return m_pDataCenter->packageCapacity(pkg);
}

CDataFifo* CDataManager::createDataFifo(int policy, int depth)
{
    return new (std::nothrow) CNormalDataFifo(m_pDataCenter, policy, depth);
}

void CDataManager::destroyDataFifo(CDataFifo* fifo)
{
    delete fifo;
}

int CDataManager::registerCallBack(DataCallBack_t callback)
{
    return m_pDataCenter->registerCallBack(std::move(callback));
}

int CDataManager::registerHeldCallBack(HeldCallBack_t callback)
{
    return m_pDataCenter->registerHeldCallBack(std::move(callback));
}

void CDataManager::unregisterCallBack(int id)
{
    m_pDataCenter->unregisterCallBack(id);
}

bool CDataManager::getMemPoolType()
{
    return m_pMemPool != nullptr && m_pMemPool->getMemType();
}

void* CDataManager::getMemPoolAddr()
{
    return m_pMemPool == nullptr ? nullptr : m_pMemPool->getMemAddr();
}

int CDataManager::getMemPoolKey()
{
    return m_pMemPool == nullptr ? -1 : m_pMemPool->getMemKey();
}

MemPoolLayout_t CDataManager::getMemPoolLayout()
{
    if (m_pMemPool == nullptr) {
        MemPoolLayout_t layout;
        memset(&layout, 0, sizeof(layout));
        return layout;
    }
    return m_pMemPool->getMemLayout();
}

void CDataManager::restoreMemPoolNumbering()
{
    if (m_pMemPool != nullptr) {
        m_pMemPool->restoreNumbering();
    }
}
