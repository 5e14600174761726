// The writing side of the shared-memory medium as the sender and receiver tests use it: a real
// shared-memory pool, its data manager and a CShareMemorySender, with the TransParam_t a reader
// would be given for a queue key.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/transport/share_memory_sender.h"
#include "memory/datacenter.h"
#include "memory/shm_mem_pool.h"
#include "memory/shm_test_util.h"
#include "support/zqtest.h"

namespace shmmedium {

inline MemConfig_t poolCfg(int key)
{
    MemConfig_t cfg{};
    cfg.m_iKey = key;
    cfg.m_u32MaxPoolSize = 0x400000;
    cfg.m_stGroup[0] = {0, 1024, 4};
    cfg.m_stGroup[1] = {1, 65536, 2};
    cfg.m_iGroupCount = 2;
    return cfg;
}

class Writer {
public:
    explicit Writer(int poolKey)
    {
        m_ok = m_pool.init(poolCfg(poolKey));
        m_dm.setMemPool(&m_pool);
        m_sender = std::make_unique<CShareMemorySender>(&m_dm);
    }
    ~Writer() { m_sender.reset(); }

    bool ok() const { return m_ok; }
    CShareMemorySender& sender() { return *m_sender; }
    CDataManager& dm() { return m_dm; }
    CShmMemPool& pool() { return m_pool; }
    void dropSender() { m_sender.reset(); }

    // What the control channel hands to addConn and to the reader.
    TransParam_t param(int queueKey)
    {
        TransParam_t param;
        std::memset(&param, 0, sizeof(param));
        param.m_iType = TRANS_TYPE_SHARE_MEMORY;
        param.m_shmParam.m_iQueueKey = queueKey;
        param.m_shmParam.m_iMemPoolKey = m_pool.getMemKey();
        param.m_shmParam.m_layout = m_pool.getMemLayout();
        return param;
    }

    // Publishes a package carrying `text`; null when the pool has none left.
    DataPackage_t* publish(const std::string& text)
    {
        DataPackage_t* pkg = m_dm.getEmptyDataPkg(static_cast<int>(34 + text.size() + 1), 0);
        if (pkg == nullptr) {
            return nullptr;
        }
        std::memcpy(pkgData(pkg) + 34, text.c_str(), text.size() + 1);
        pkg->m_iLen = static_cast<int>(34 + text.size() + 1);
        m_dm.putFullDataPkg(pkg);
        return pkg;
    }

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

    // Every chunk of the pool is free again (the server gives its reference back last).
    bool full()
    {
        return zqtest::waitUntil([&] { return freeChunks(1) == 4 && freeChunks(2048) == 2; }, 10000);
    }

private:
    CShmMemPool m_pool;
    CDataManager m_dm;
    std::unique_ptr<CShareMemorySender> m_sender;
    bool m_ok{false};
};

inline size_t segmentSize(int key)
{
    int id = shmget(key, 0, 0);
    shmid_ds ds{};
    return (id >= 0 && shmctl(id, IPC_STAT, &ds) == 0) ? static_cast<size_t>(ds.shm_segsz) : 0;
}

inline size_t attachCount(int key)
{
    int id = shmget(key, 0, 0);
    shmid_ds ds{};
    return (id >= 0 && shmctl(id, IPC_STAT, &ds) == 0) ? static_cast<size_t>(ds.shm_nattch) : 0;
}

} // namespace shmmedium
