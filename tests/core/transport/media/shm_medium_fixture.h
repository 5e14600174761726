// The writing side of the shared-memory medium as the sender and receiver tests use it: a real
// shared-memory pool, its data manager and a CShareMemorySender, with the TransParam_t a reader
// would be given for a queue key.
#pragma once

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/transport/media/share_memory_sender.h"
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

class Writer : public shmtest::PoolWriter {
public:
    explicit Writer(int poolKey) : PoolWriter(poolCfg(poolKey))
    {
        m_sender = std::make_unique<CShareMemorySender>(&m_dm);
    }
    ~Writer() { m_sender.reset(); }

    CShareMemorySender& sender() { return *m_sender; }
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

    // Every chunk of the pool is free again (the server gives its reference back last).
    bool full()
    {
        return zqtest::waitUntil([&] { return freeChunks(1) == 4 && freeChunks(2048) == 2; }, 10000);
    }

private:
    std::unique_ptr<CShareMemorySender> m_sender;
};

// Holds every package a client or receiver delivers, in order.
struct Holder {
    std::mutex mtx;
    std::vector<DataPackage_t*> pkgs;
    int keep(DataPackage_t* pkg)
    {
        std::lock_guard<std::mutex> lock(mtx);
        pkgs.push_back(pkg);
        return 0;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mtx);
        return pkgs.size();
    }
    DataPackage_t* at(size_t i)
    {
        std::lock_guard<std::mutex> lock(mtx);
        return pkgs.at(i);
    }
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
