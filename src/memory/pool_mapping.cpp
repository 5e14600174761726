#include "memory/pool_mapping.h"

#include <time.h>

#include <algorithm>
#include <map>

#include "utils/dds_common.h"

namespace {

// The last flush before the queue goes waits for the writer at most this often, this long each: a
// writer that runs takes a return within microseconds, one that is stopped never does.
constexpr int FINAL_FLUSH_WAITS = 4;
constexpr long FINAL_FLUSH_WAIT_NS = 1000000L;

// Every pool mapping of this process, by base address. Never destroyed, so that releases during
// static destruction still find it.
struct MappingRegistry {
    std::mutex m_mtx;
    std::map<uintptr_t, std::shared_ptr<CPoolMapping>> m_map;
};

MappingRegistry& registry()
{
    static MappingRegistry* reg = new MappingRegistry();
    return *reg;
}

} // namespace

CPoolMapping::CPoolMapping(int poolKey, CShmAttachment segment, size_t size, std::vector<ShmPkgSlot_t> slots)
    : m_segment(std::move(segment)), m_iPoolKey(poolKey), m_pBase(static_cast<uint8_t*>(m_segment.get())), m_uSize(size)
{
    m_table.build(m_pBase, std::move(slots));
    m_vecPkgs.reserve(m_table.count());
    for (int id = 1; m_table.has(id); ++id) {
        m_vecPkgs.push_back(new DataPkgInfo_t(m_table.pkg(id)));
    }
}

CPoolMapping::~CPoolMapping()
{
    if (m_pQueue) {
        m_pQueue->deinit();
    }
    for (DataPkgInfo_t* rec : m_vecPkgs) {
        delete rec;
    }
}

void CPoolMapping::registerMapping(const std::shared_ptr<CPoolMapping>& mapping)
{
    MappingRegistry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.m_mtx);
    reg.m_map[reinterpret_cast<uintptr_t>(mapping->m_pBase)] = mapping;
}

void CPoolMapping::unregisterMapping(CPoolMapping* mapping)
{
    std::shared_ptr<CPoolMapping> last;
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

std::shared_ptr<CPoolMapping> CPoolMapping::findMapping(const void* p)
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

int CPoolMapping::idOf(const DataPackage_t* pkg) const
{
    return contains(pkg) ? m_table.idOf(pkg) : -1;
}

void CPoolMapping::refer(int id)
{
    DataPkgInfo_t* rec = record(id);
    if (rec == nullptr) {
        DDS_GREEN_LIMITED("Can't find pkg %d !!!", id);
        return;
    }
    pthread_mutex_lock(&rec->m_mutex);
    if (rec->m_iRefCount.fetch_add(1) == 0) {
        m_lHeld.fetch_add(1, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&rec->m_mutex);
}

void CPoolMapping::release(int id)
{
    DataPkgInfo_t* rec = record(id);
    if (rec == nullptr) {
        DDS_GREEN_LIMITED("Can't find pkg %d !!!", id);
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
        // Nothing of this mapping is touched after the decrement unless it was the last use.
        if (m_lHeld.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            unregisterMapping(this);
        }
    }
}

void CPoolMapping::returnId(int id)
{
    CShmQueque* que = m_pQueue.get();
    if (que == nullptr) {
        return;
    }
    // One attempt: a writer that takes nothing (stopped, or hung) must not hold up the holder.
    m_uReleasePosts.fetch_add(1, std::memory_order_relaxed);
    if (que->postRet(id, true) != CShmQueque::POST_FULL) {
        // Posted, or a ring the writer no longer listens on: it has taken the number back itself.
        return;
    }
    if (m_fnOnFull) {
        m_fnOnFull(id);
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxPending);
        m_vecPending.push_back(id);
        m_bHasPending.store(true);
    }
    // The writer's take that made room may have woken the queue's thread before the number was
    // listed: wake it again, so that it posts the number now rather than at its next timeout.
    que->wake();
}

bool CPoolMapping::flushPending(bool final)
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
    int waits = final ? FINAL_FLUSH_WAITS : 0;
    size_t done = 0;
    while (done < ids.size()) {
        CShmQueque::PostRet_e ret = m_pQueue->postRet(ids[done], false);
        if (ret == CShmQueque::POST_OK) {
            ++done;
        } else if (ret == CShmQueque::POST_FULL && waits-- > 0) {
            // A sleep, not a yield: a busy thread on this CPU does not stretch it.
            m_uFlushWaits.fetch_add(1, std::memory_order_relaxed);
            timespec ts{0, FINAL_FLUSH_WAIT_NS};
            nanosleep(&ts, nullptr);
        } else if (ret == CShmQueque::POST_FULL) {
            break;
        } else {
            // Disabled: the writer has taken them back itself.
            done = ids.size();
        }
    }
    // What the final flush could not give back goes with the mapping: the writer takes those
    // numbers back when it lets this reader's queue go.
    if (done == ids.size() || final) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mtxPending);
    m_vecPending.insert(m_vecPending.begin(), ids.begin() + static_cast<long>(done), ids.end());
    m_bHasPending.store(true);
    return true;
}

void CPoolMapping::letGo()
{
    if (!m_bOrphan.exchange(true) && m_lHeld.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        unregisterMapping(this);
    }
}
