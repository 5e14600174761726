// Package memory: get/refer/release of a package, and the fan-out of one package to 1 and 4
// FIFOs (published, then taken and given back by every FIFO), over the process-memory pool and
// over the shared-memory pool. Time per iteration is the cost of one such operation.
//
// The shared-memory cases run in a private IPC namespace made at start (root or a user
// namespace needed); where it cannot be made they are skipped, so the machine's own segments
// are never touched.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"
#include "memory/shm_mem_pool.h"

namespace {

bool g_privateIpc = false;
constexpr int kShmKey = 0x44FF0001;
constexpr int kPayload = 1024;

MemConfig_t poolCfg(int key)
{
    MemConfig_t cfg{};
    cfg.m_iKey = key;
    cfg.m_u32MaxPoolSize = 0x1400000;
    cfg.m_stGroup[0] = MemGroup_t{0, 4096, 64};
    cfg.m_stGroup[1] = MemGroup_t{1, 65536, 16};
    cfg.m_iGroupCount = 2;
    return cfg;
}

// Keeps the library's diagnostic lines (pool set-up) out of the report.
class CQuiet {
public:
    CQuiet()
    {
        fflush(stdout);
        m_iSaved = dup(STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    ~CQuiet()
    {
        fflush(stdout);
        if (m_iSaved >= 0) {
            dup2(m_iSaved, STDOUT_FILENO);
            close(m_iSaved);
        }
    }
    CQuiet(const CQuiet&) = delete;
    CQuiet& operator=(const CQuiet&) = delete;

private:
    int m_iSaved{-1};
};

// A pool of the asked kind, or null (with the reason set on the state) when it cannot be made.
std::unique_ptr<CMemPool> makePool(benchmark::State& state, bool shm)
{
    if (!shm) {
        auto pool = std::make_unique<CNormalMemPool>();
        pool->init(poolCfg(-1));
        return pool;
    }
    if (!g_privateIpc) {
        state.SkipWithError("no private IPC namespace: shared-memory pool not measured");
        return nullptr;
    }
    auto pool = std::make_unique<CShmMemPool>();
    bool ok;
    {
        CQuiet quiet;
        ok = pool->init(poolCfg(kShmKey));
    }
    if (!ok) {
        state.SkipWithError("shared-memory pool init failed");
        return nullptr;
    }
    return pool;
}

void BM_GetReferRelease(benchmark::State& state, bool shm)
{
    std::unique_ptr<CMemPool> pool = makePool(state, shm);
    if (!pool) {
        return;
    }
    CDataManager mgr;
    mgr.setMemPool(pool.get());
    for (auto _ : state) {
        DataPackage_t* pkg = mgr.getEmptyDataPkg(kPayload + 34, 0);
        benchmark::DoNotOptimize(pkg);
        mgr.referDataPkg(pkg);
        mgr.releaseDataPkg(pkg);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_FanOut(benchmark::State& state, bool shm)
{
    std::unique_ptr<CMemPool> pool = makePool(state, shm);
    if (!pool) {
        return;
    }
    CDataManager mgr;
    mgr.setMemPool(pool.get());
    std::vector<CDataFifo*> fifos;
    fifos.reserve(static_cast<size_t>(state.range(0)));
    for (int i = 0; i < state.range(0); ++i) {
        fifos.push_back(mgr.createDataFifo(FIFO_POLICY_DROP_OLDEST, 8));
    }
    for (auto _ : state) {
        DataPackage_t* pkg = mgr.getEmptyDataPkg(kPayload + 34, 0);
        pkg->m_iLen = kPayload + 34;
        mgr.putFullDataPkg(pkg, pkg->m_iLen);
        for (CDataFifo* fifo : fifos) {
            DataPackage_t* got = fifo->getDataPackage(0);
            benchmark::DoNotOptimize(got);
            fifo->releaseDataPackage(got);
        }
    }
    for (CDataFifo* fifo : fifos) {
        mgr.destroyDataFifo(fifo);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(BM_GetReferRelease, heap, false);
BENCHMARK_CAPTURE(BM_GetReferRelease, shm, true);
BENCHMARK_CAPTURE(BM_FanOut, heap, false)->Arg(1)->Arg(4);
BENCHMARK_CAPTURE(BM_FanOut, shm, true)->Arg(1)->Arg(4);

} // namespace

int main(int argc, char** argv)
{
    // Before any thread exists: segments made here vanish with the namespace.
    g_privateIpc = unshare(CLONE_NEWIPC) == 0 || (unshare(CLONE_NEWUSER | CLONE_NEWIPC) == 0);
    if (!g_privateIpc) {
        fprintf(stderr, "bench_memory: cannot unshare an IPC namespace (%s); shared-memory cases skipped\n",
                strerror(errno));
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
