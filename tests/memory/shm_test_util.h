// Shared helpers of the shared-memory transfer tests: raw views of segments and clean-up.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <memory>

#include "memory/datacenter.h"
#include "memory/pool_mapping.h"
#include "memory/shm_mem_pool.h"
#include "utils/shm_attachment.h"
#include "utils/system_utils.h"

namespace shmtest {

// Segments of this IPC namespace (the test's own, since the namespace is private).
inline int segmentCount()
{
    shm_info info{};
    if (shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info)) < 0) {
        return -1;
    }
    return info.used_ids;
}

// Removes every segment of this (private) namespace, also after a failed test.
inline void removeAllSegments()
{
    shm_info info{};
    int maxIndex = shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info));
    for (int i = 0; i <= maxIndex; ++i) {
        shmid_ds ds{};
        int id = shmctl(i, SHM_STAT, &ds);
        if (id >= 0) {
            shmctl(id, IPC_RMID, nullptr);
        }
    }
}

inline bool keyExists(int key)
{
    return shmget(key, 0, 0) >= 0;
}

// A test's own mapping of a segment, by key, to read and forge its bytes.
class RawSegment {
public:
    explicit RawSegment(int key)
    {
        m_id = shmget(key, 0, 0);
        if (m_id >= 0) {
            void* p = shmat(m_id, nullptr, 0);
            if (p != reinterpret_cast<void*>(-1)) {
                m_base = static_cast<uint8_t*>(p);
            }
        }
    }
    // Creates a fresh segment of `size` bytes.
    RawSegment(int key, size_t size)
    {
        m_id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0666);
        if (m_id >= 0) {
            void* p = shmat(m_id, nullptr, 0);
            if (p != reinterpret_cast<void*>(-1)) {
                m_base = static_cast<uint8_t*>(p);
            }
        }
    }
    ~RawSegment()
    {
        if (m_base != nullptr) {
            shmdt(m_base);
        }
    }
    RawSegment(const RawSegment&) = delete;
    RawSegment& operator=(const RawSegment&) = delete;

    bool ok() const { return m_base != nullptr; }
    int id() const { return m_id; }
    uint8_t* base() const { return m_base; }
    uint8_t byteAt(size_t off) const { return __atomic_load_n(m_base + off, __ATOMIC_SEQ_CST); }
    void setByte(size_t off, uint8_t v) { __atomic_store_n(m_base + off, v, __ATOMIC_SEQ_CST); }
    int32_t intAt(size_t off) const
    {
        return __atomic_load_n(reinterpret_cast<int32_t*>(m_base + off), __ATOMIC_SEQ_CST);
    }
    void setInt(size_t off, int32_t v)
    {
        __atomic_store_n(reinterpret_cast<int32_t*>(m_base + off), v, __ATOMIC_SEQ_CST);
    }
    size_t attachCount() const
    {
        shmid_ds ds{};
        return shmctl(m_id, IPC_STAT, &ds) == 0 ? static_cast<size_t>(ds.shm_nattch) : 0;
    }

private:
    int m_id{-1};
    uint8_t* m_base{nullptr};
};

// Values delivered by a callback on another thread, waited for with a deadline.
class Collector {
public:
    void add(int v)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_values.push_back(v);
        m_cv.notify_all();
    }
    bool waitCount(size_t n, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_values.size() >= n; });
    }
    std::vector<int> values()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_values;
    }
    size_t size()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_values.size();
    }

private:
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::vector<int> m_values;
};

// The writer's side of a topic without its transfer end: a shared-memory pool and its data
// manager. The tests derive from it and add the sender or the server they drive.
class PoolWriter {
public:
    explicit PoolWriter(const MemConfig_t& cfg)
    {
        m_ok = m_pool.init(cfg);
        m_dm.setMemPool(&m_pool);
    }
    PoolWriter(const PoolWriter&) = delete;
    PoolWriter& operator=(const PoolWriter&) = delete;

    bool ok() const { return m_ok; }
    CDataManager& dm() { return m_dm; }
    CShmMemPool& pool() { return m_pool; }

    // Publishes a package carrying `text`; null when the pool has none left.
    DataPackage_t* publish(const std::string& text)
    {
        DataPackage_t* pkg = m_dm.getEmptyDataPkg(static_cast<int>(34 + text.size() + 1), 0);
        if (pkg == nullptr) {
            return nullptr;
        }
        std::memcpy(pkgData(pkg) + 34, text.c_str(), text.size() + 1);
        pkg->m_iLen = static_cast<int>(34 + text.size() + 1);
        m_dm.putFullDataPkg(pkg, pkg->m_iLen);
        return pkg;
    }

    // The writer's own reference count of a package (kept in its memory, not in the segment).
    int refCount(DataPackage_t* pkg) const { return m_pool.chunkRefCount(getChunkAddr(pkg)); }

    // Chunks of at least `size` bytes that can be taken right now (each is given back at once).
    int freeChunks(int size)
    {
        std::vector<DataPackage_t*> taken;
        while (DataPackage_t* pkg = m_dm.getEmptyDataPkg(size, 0)) {
            taken.push_back(pkg);
        }
        for (DataPackage_t* pkg : taken) {
            m_dm.referDataPkg(pkg);
            m_dm.putEmptyDataPkg(pkg);
        }
        return static_cast<int>(taken.size());
    }

protected:
    CShmMemPool m_pool;
    CDataManager m_dm;
    bool m_ok{false};
};

// A mapping of its own attachment of a fresh segment of `size` bytes (kept in `seg`) with the
// packages `slots`, registered as the shared-memory client registers it; null when refused.
inline std::shared_ptr<CPoolMapping> makeRegisteredMapping(int key, size_t size, const std::vector<ShmPkgSlot_t>& slots,
                                                           std::unique_ptr<RawSegment>* seg)
{
    *seg = std::make_unique<RawSegment>(key, size);
    if (!(*seg)->ok()) {
        return nullptr;
    }
    CShmAttachment segment(CSystemUtils::attachShm((*seg)->id()));
    if (!segment) {
        return nullptr;
    }
    auto mapping = std::make_shared<CPoolMapping>(key, std::move(segment), size, slots);
    CPoolMapping::registerMapping(mapping);
    return mapping;
}

} // namespace shmtest
