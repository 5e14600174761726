#include "memory/shm_client.h"

#include <sched.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>

#include "memory/datafifo.h"
#include "memory/shm_layout.h"
#include "memory/shm_queue.h"
#include "memory/shm_server.h"
#include "utils/dds_common.h"
#include "utils/system_utils.h"

namespace {

// Bytes of the package header in front of the payload.
// A return refused by a full ring is retried this often (yielding in between) before it waits
// in the pending list: the writer's thread drains the ring within microseconds.
constexpr int RETURN_SPINS = 64;
// The last flush before the queue goes may wait longer for the writer.
constexpr int FINAL_FLUSH_SPINS = 20000;

} // namespace

// One attached pool segment with its number-to-package table and its return path. Shared by
// the client that made it and by a process-wide registry (keyed by address) that keeps it while
// packages of it are held. The table never changes during its life.
class CShmClient::CPoolMapping {
public:
    CPoolMapping(int poolKey, uint8_t* base, size_t size, const std::vector<ShmPkgSlot_t>& slots)
        : m_iPoolKey(poolKey), m_pBase(base), m_uSize(size)
    {
        m_vecPkgs.reserve(slots.size());
        m_vecCapacity.reserve(slots.size());
        m_vecByAddr.reserve(slots.size());
        for (size_t i = 0; i < slots.size(); ++i) {
            m_vecPkgs.push_back(new DataPkgInfo_t(reinterpret_cast<DataPackage_t*>(base + slots[i].m_u64Offset)));
            m_vecCapacity.push_back(slots[i].m_iCapacity);
            m_vecByAddr.emplace_back(slots[i].m_u64Offset, static_cast<int>(i + 1));
        }
        std::sort(m_vecByAddr.begin(), m_vecByAddr.end());
    }

    ~CPoolMapping()
    {
        if (m_pQueue) {
            m_pQueue->deinit();
        }
        for (DataPkgInfo_t* rec : m_vecPkgs) {
            delete rec;
        }
        CSystemUtils::detachShm(m_pBase);
    }

    CPoolMapping(const CPoolMapping&) = delete;
    CPoolMapping& operator=(const CPoolMapping&) = delete;

    bool contains(const void* p) const
    {
        auto* b = static_cast<const uint8_t*>(p);
        return b >= m_pBase && b < m_pBase + m_uSize;
    }

    DataPkgInfo_t* record(int id) const
    {
        if (id < 1 || static_cast<size_t>(id) > m_vecPkgs.size()) {
            return nullptr;
        }
        return m_vecPkgs[static_cast<size_t>(id - 1)];
    }

    int capacity(int id) const { return m_vecCapacity[static_cast<size_t>(id - 1)]; }

    // Number of the package at `pkg`, or -1 when no package of this segment starts there.
    int idOf(const DataPackage_t* pkg) const
    {
        if (!contains(pkg)) {
            return -1;
        }
        uint64_t offset = static_cast<uint64_t>(reinterpret_cast<const uint8_t*>(pkg) - m_pBase);
        auto it = std::lower_bound(m_vecByAddr.begin(), m_vecByAddr.end(), std::make_pair(offset, 0));
        return (it != m_vecByAddr.end() && it->first == offset) ? it->second : -1;
    }

    void refer(int id)
    {
        DataPkgInfo_t* rec = record(id);
        if (rec == nullptr) {
            DDS_GREEN("Can't find pkg %d !!!", id);
            return;
        }
        pthread_mutex_lock(&rec->m_mutex);
        if (rec->m_iRefCount.fetch_add(1) == 0) {
            m_lHeld.fetch_add(1);
        }
        pthread_mutex_unlock(&rec->m_mutex);
    }

    // Drops one holder; the last one posts the number back. The caller holds a shared pointer to
    // this mapping, so a mapping that this release frees goes when the caller drops it.
    void release(int id)
    {
        DataPkgInfo_t* rec = record(id);
        if (rec == nullptr) {
            DDS_GREEN("Can't find pkg %d !!!", id);
            return;
        }
        bool last = false;
        pthread_mutex_lock(&rec->m_mutex);
        if (rec->m_iRefCount.load() > 0) {
            last = rec->m_iRefCount.fetch_sub(1) == 1;
        }
        pthread_mutex_unlock(&rec->m_mutex);
        if (last) {
            returnId(id);
            if (m_lHeld.fetch_sub(1) == 1 && m_bOrphan.load()) {
                dropIfUnused();
            }
        }
    }

    // Posts a number back to the writer. A full ring is retried, then the number waits in the
    // pending list for the queue thread; a disabled ring means the writer has let this reader
    // go and taken its numbers back already.
    void returnId(int id)
    {
        CShmQueque* que = m_pQueue.get();
        if (que == nullptr) {
            return;
        }
        for (int n = 0; n < RETURN_SPINS; ++n) {
            CShmQueque::PostRet_e ret = que->postRet(id, false);
            if (ret == CShmQueque::POST_OK) {
                return;
            }
            if (ret != CShmQueque::POST_FULL) {
                return;
            }
            sched_yield();
        }
        CShmQueque::PostRet_e ret = que->postRet(id, true);
        if (ret != CShmQueque::POST_FULL) {
            return;
        }
        std::lock_guard<std::mutex> lock(m_mtxPending);
        m_vecPending.push_back(id);
        m_bHasPending.store(true);
    }

    // Runs on the queue thread; true while numbers are still pending.
    bool flushPending(bool final)
    {
        if (!m_bHasPending.load()) {
            return false;
        }
        std::vector<int> ids;
        {
            std::lock_guard<std::mutex> lock(m_mtxPending);
            ids.swap(m_vecPending);
            m_bHasPending.store(false);
        }
        int spins = final ? FINAL_FLUSH_SPINS : 0;
        size_t done = 0;
        while (done < ids.size()) {
            CShmQueque::PostRet_e ret = m_pQueue->postRet(ids[done], false);
            if (ret == CShmQueque::POST_OK) {
                ++done;
            } else if (ret == CShmQueque::POST_FULL && spins-- > 0) {
                sched_yield();
            } else if (ret == CShmQueque::POST_FULL) {
                break;
            } else {
                // Disabled: the writer has taken them back itself.
                done = ids.size();
            }
        }
        if (done == ids.size() || final) {
            return false;
        }
        std::lock_guard<std::mutex> lock(m_mtxPending);
        m_vecPending.insert(m_vecPending.begin(), ids.begin() + static_cast<long>(done), ids.end());
        m_bHasPending.store(true);
        return true;
    }

    // Called once the owning client has let go: removes the mapping from the registry when no
    // package of it is held any more.
    void dropIfUnused();

    const int m_iPoolKey;
    uint8_t* const m_pBase;
    const size_t m_uSize;
    std::vector<DataPkgInfo_t*> m_vecPkgs;             // record of number n at n - 1
    std::vector<int32_t> m_vecCapacity;                // capacity of number n at n - 1, from the walk
    std::vector<std::pair<uint64_t, int>> m_vecByAddr; // package offset -> number, sorted
    std::unique_ptr<CShmQueque> m_pQueue;              // set before the queue starts, never replaced
    std::mutex m_mtxPending;
    std::vector<int> m_vecPending;
    std::atomic<bool> m_bHasPending{false};
    std::atomic<long> m_lHeld{0};       // records with a count above 0
    std::atomic<bool> m_bOrphan{false}; // the client has let go
};

namespace {

// Every pool mapping of this process, by base address. Never destroyed, so that releases during
// static destruction still find it.
struct MappingRegistry {
    std::mutex m_mtx;
    std::map<uintptr_t, std::shared_ptr<CShmClient::CPoolMapping>> m_map;
};

MappingRegistry& registry()
{
    static MappingRegistry* reg = new MappingRegistry();
    return *reg;
}

void registerMapping(const std::shared_ptr<CShmClient::CPoolMapping>& mapping)
{
    MappingRegistry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.m_mtx);
    reg.m_map[reinterpret_cast<uintptr_t>(mapping->m_pBase)] = mapping;
}

// Takes the mapping out of the registry; the caller's reference then decides when it goes.
void unregisterMapping(CShmClient::CPoolMapping* mapping)
{
    std::shared_ptr<CShmClient::CPoolMapping> last;
    MappingRegistry& reg = registry();
    {
        std::lock_guard<std::mutex> lock(reg.m_mtx);
        auto it = reg.m_map.find(reinterpret_cast<uintptr_t>(mapping->m_pBase));
        if (it != reg.m_map.end() && it->second.get() == mapping) {
            last = std::move(it->second);
            reg.m_map.erase(it);
        }
    }
}

std::shared_ptr<CShmClient::CPoolMapping> findMapping(const void* p)
{
    MappingRegistry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.m_mtx);
    auto it = reg.m_map.upper_bound(reinterpret_cast<uintptr_t>(p));
    if (it == reg.m_map.begin()) {
        return nullptr;
    }
    --it;
    return it->second->contains(p) ? it->second : nullptr;
}

int readInt(const int32_t* field)
{
    int32_t value = 0;
    std::memcpy(&value, field, sizeof(value));
    return value;
}

} // namespace

void CShmClient::CPoolMapping::dropIfUnused()
{
    if (m_bOrphan.load() && m_lHeld.load() == 0) {
        unregisterMapping(this);
    }
}

CShmClient::CShmClient() = default;

CShmClient::~CShmClient()
{
    deinit();
}

std::shared_ptr<CShmClient::CPoolMapping> CShmClient::currentMapping()
{
    std::lock_guard<std::mutex> lock(m_mtxMapping);
    return m_pMapping;
}

bool CShmClient::init(int queueKey, int poolKey, const MemPoolLayout_t& layout)
{
    if (m_bInit.load()) {
        return false;
    }
    std::shared_ptr<CPoolMapping> mapping = initMemLayout(poolKey, layout);
    if (!mapping) {
        return false;
    }
    // Published before the first number can arrive, so that holders can give packages back.
    registerMapping(mapping);
    {
        std::lock_guard<std::mutex> lock(m_mtxMapping);
        m_pMapping = mapping;
    }
    if (!initMemQue(queueKey, mapping)) {
        {
            std::lock_guard<std::mutex> lock(m_mtxMapping);
            m_pMapping.reset();
        }
        unregisterMapping(mapping.get());
        return false;
    }
    m_bInit.store(true);
    return true;
}

std::shared_ptr<CShmClient::CPoolMapping> CShmClient::initMemLayout(int poolKey, const MemPoolLayout_t& layout)
{
    if (poolKey < 0) {
        return nullptr;
    }
    uint64_t size = 0;
    int count = 0;
    if (!shmLayoutSize(layout, &size, &count)) {
        DDS_RED("Error: invalid mem pool layout! m_iKey: %#x, group count: %d", static_cast<unsigned>(poolKey),
                layout.m_iGroupCount);
        return nullptr;
    }
    int shmId = CSystemUtils::openShm(poolKey, 1, size);
    if (shmId < 0) {
        DDS_RED("Error: openShm() failed! m_iKey: %#x, size: %lu", static_cast<unsigned>(poolKey),
                static_cast<unsigned long>(size));
        return nullptr;
    }
    // The layout comes from the wire: the segment must really hold all of it.
    shmid_ds ds{};
    if (shmctl(shmId, IPC_STAT, &ds) != 0 || ds.shm_segsz < size) {
        DDS_RED("Error: share memory is smaller than its layout! m_iKey: %#x, size: %lu, layout size: %lu",
                static_cast<unsigned>(poolKey), static_cast<unsigned long>(ds.shm_segsz),
                static_cast<unsigned long>(size));
        return nullptr;
    }
    auto* base = static_cast<uint8_t*>(CSystemUtils::attachShm(shmId));
    if (base == nullptr) {
        DDS_RED("Error: attachShm() failed! m_iKey: %#x, shmid: %d", static_cast<unsigned>(poolKey), shmId);
        return nullptr;
    }
    std::vector<ShmPkgSlot_t> slots;
    if (!shmWalkLayout(base, ds.shm_segsz, layout, &slots)) {
        DDS_RED("Error: invalid package numbers in share memory! m_iKey: %#x", static_cast<unsigned>(poolKey));
        CSystemUtils::detachShm(base);
        return nullptr;
    }
    return std::make_shared<CPoolMapping>(poolKey, base, static_cast<size_t>(ds.shm_segsz), slots);
}

bool CShmClient::initMemQue(int queueKey, const std::shared_ptr<CPoolMapping>& mapping)
{
    if (queueKey < 0) {
        return false;
    }
    CPoolMapping* mp = mapping.get();
    mp->m_pQueue = std::make_unique<CShmQueque>();
    mp->m_pQueue->setPassTask([mp](bool final) { return mp->flushPending(final); });
    if (!mp->m_pQueue->init(queueKey, 1, [this, mp](int, int id) { dispatch(mp, id); })) {
        return false;
    }
    mp->m_pQueue->setEnable(true);
    return true;
}

void CShmClient::dispatch(CPoolMapping* mapping, int id)
{
    DataPkgInfo_t* rec = mapping->record(id);
    if (rec == nullptr) {
        DDS_GREEN("Can't find pkg %d !!!", id);
        return;
    }
    DataPackage_t* pkg = rec->m_pPkg;
    int len = readInt(&pkg->m_iLen);
    int size = readInt(&pkg->m_iSize);
    mapping->refer(id);
    if (!shmPkgLengthsFit(len, size, mapping->capacity(id))) {
        // Nobody gets a package whose lengths would lead a reader out of its chunk.
        DDS_YELLOW("Warning: Drop pkg %d, len: %d, size: %d, capacity: %d", id, len, size, mapping->capacity(id));
        mapping->release(id);
        return;
    }
    m_targets.handOut(
        pkg, [mapping, id] { mapping->refer(id); }, [mapping, id] { mapping->release(id); });
    mapping->release(id);
}

void CShmClient::deinit()
{
    if (!m_bInit.load()) {
        return;
    }
    std::shared_ptr<CPoolMapping> mapping = currentMapping();
    // Ring 0 closes first; the thread then dispatches what it still holds, flushes the pending
    // returns and ends.
    mapping->m_pQueue->setEnable(false);
    mapping->m_pQueue->deinit();
    m_bInit.store(false);
    {
        std::lock_guard<std::mutex> lock(m_mtxMapping);
        m_pMapping.reset();
    }
    // The segment stays attached while packages of it are held here.
    mapping->m_bOrphan.store(true);
    mapping->dropIfUnused();
}

int CShmClient::attachFifo(CDataFifo* fifo)
{
    return m_targets.attachFifo(fifo);
}

int CShmClient::detachFifo(CDataFifo* fifo)
{
    return m_targets.detachFifo(fifo);
}

int CShmClient::registerCallBack(DataCallBack_t callback)
{
    return m_targets.registerCallBack(std::move(callback));
}

void CShmClient::unregisterCallBack(int id)
{
    m_targets.unregisterCallBack(id);
}

void CShmClient::putEmptyDataPkg(DataPackage_t* pkg)
{
    if (pkg == nullptr) {
        return;
    }
    std::shared_ptr<CPoolMapping> mapping = currentMapping();
    if (mapping && mapping->contains(pkg)) {
        int id = mapping->idOf(pkg);
        if (id > 0) {
            mapping->release(id);
        }
        return;
    }
    releaseHeldPackage(pkg);
}

bool CShmClient::releaseHeldPackage(DataPackage_t* pkg)
{
    if (pkg == nullptr) {
        return false;
    }
    std::shared_ptr<CPoolMapping> mapping = findMapping(pkg);
    if (!mapping) {
        return false;
    }
    int id = mapping->idOf(pkg);
    if (id < 0) {
        return false;
    }
    mapping->release(id);
    return true;
}

int CShmClient::heldPackageCapacity(const DataPackage_t* pkg)
{
    if (pkg == nullptr) {
        return -1;
    }
    std::shared_ptr<CPoolMapping> mapping = findMapping(pkg);
    if (!mapping) {
        return -1;
    }
    int id = mapping->idOf(pkg);
    return id < 0 ? -1 : mapping->capacity(id);
}

void CShmClient::releasePackage(int id)
{
    std::shared_ptr<CPoolMapping> mapping = currentMapping();
    if (!mapping) {
        DDS_GREEN("Can't find pkg %d !!!", id);
        return;
    }
    mapping->release(id);
}

void CShmClient::referPackage(int id)
{
    std::shared_ptr<CPoolMapping> mapping = currentMapping();
    if (!mapping) {
        DDS_GREEN("Can't find pkg %d !!!", id);
        return;
    }
    mapping->refer(id);
}

DataPackage_t* CShmClient::getDataPkgById(int id)
{
    std::shared_ptr<CPoolMapping> mapping = currentMapping();
    DataPkgInfo_t* rec = mapping ? mapping->record(id) : nullptr;
    if (rec == nullptr) {
        DDS_GREEN("Can't find pkg %d !!!", id);
        return nullptr;
    }
    return rec->m_pPkg;
}

int CShmClient::getFps()
{
    if (!m_bInit.load()) {
        return -1;
    }
    std::shared_ptr<CPoolMapping> mapping = currentMapping();
    return (mapping && mapping->m_pQueue) ? mapping->m_pQueue->getFps() : -1;
}
