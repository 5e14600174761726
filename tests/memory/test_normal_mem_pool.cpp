// The process-memory pool: matching, one-off chunks, free-list bounds, the soft budget with
// reclaiming, refused sizes, and reference drops racing with reclaiming.
#include "memory/normal_mem_pool.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "memory/databuffer.h"
#include "support/zqtest.h"

namespace {

MemConfig_t makeCfg(std::initializer_list<MemGroup_t> groups, uint32_t budget = 0x1000000)
{
    MemConfig_t cfg{};
    cfg.m_iKey = -1;
    cfg.m_u32MaxPoolSize = budget;
    for (const MemGroup_t& g : groups) {
        cfg.m_stGroup[cfg.m_iGroupCount++] = g;
    }
    return cfg;
}

class NormalMemPoolTest : public ::testing::Test {
protected:
    CNormalMemPool m_pool;
};

TEST_F(NormalMemPoolTest, ChunksComeFromTheMatchedGroup)
{
    ASSERT_TRUE(m_pool.init(makeCfg({{0, 4096, 8}, {1, 16384, 8}})));
    EXPECT_EQ(m_pool.getMemAddr(), nullptr);
    EXPECT_EQ(m_pool.getMemKey(), -1);
    EXPECT_FALSE(m_pool.getMemType());
    struct Case {
        int size;
        int grp;
        int capacity;
    } cases[] = {{0, 0, 4096}, {4096, 0, 4096}, {4097, 1, 16384}, {5000, 1, 16384}, {16385, INVALID_GRP_ID, 16385}};
    for (const Case& c : cases) {
        MemChunk_t* chunk = m_pool.getMemChunk(c.size);
        ASSERT_NE(chunk, nullptr) << c.size;
        EXPECT_EQ(chunk->m_iGrpId, c.grp) << c.size;
        EXPECT_EQ(chunk->m_stPkg.m_iSize, c.capacity) << c.size;
        EXPECT_EQ(chunk->m_stPkg.m_iPkgId, -1);
        EXPECT_FALSE(chunk->m_stPkg.m_bShm);
        EXPECT_EQ(chunk->m_iRefCount.load(), 0);
        EXPECT_EQ(m_pool.getUsedSize(), static_cast<uint32_t>(c.capacity));
        pkgData(&chunk->m_stPkg)[c.capacity - 1] = 0x5A; // the whole capacity is usable
        EXPECT_EQ(m_pool.releaseMemChunk(chunk), c.grp == INVALID_GRP_ID) << c.size;
        EXPECT_EQ(m_pool.getUsedSize(), 0u);
    }
    EXPECT_EQ(m_pool.getAllocSize(), 4096u + 16384u) << "the one-off chunk went back to the heap";
}

TEST_F(NormalMemPoolTest, ReusedChunkKeepsItsContents)
{
    ASSERT_TRUE(m_pool.init(makeCfg({{0, 256, 4}})));
    MemChunk_t* first = m_pool.getMemChunk(100);
    ASSERT_NE(first, nullptr);
    first->m_stPkg.m_iLen = 77;
    EXPECT_FALSE(m_pool.releaseMemChunk(first));
    MemChunk_t* again = m_pool.getMemChunk(10);
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->m_stPkg.m_iLen, 77);
    EXPECT_EQ(m_pool.getAllocSize(), 256u);
    m_pool.releaseMemChunk(again);
}

TEST_F(NormalMemPoolTest, FreeListKeepsAtMostTheChunkCount)
{
    ASSERT_TRUE(m_pool.init(makeCfg({{0, 128, 2}})));
    std::vector<MemChunk_t*> chunks;
    for (int i = 0; i < 5; ++i) {
        chunks.push_back(m_pool.getMemChunk(128));
        ASSERT_NE(chunks.back(), nullptr);
    }
    EXPECT_EQ(m_pool.getAllocSize(), 5u * 128);
    std::vector<bool> freed;
    for (MemChunk_t* c : chunks) {
        freed.push_back(m_pool.releaseMemChunk(c));
    }
    EXPECT_EQ(freed, (std::vector<bool>{false, false, true, true, true}));
    EXPECT_EQ(m_pool.getAllocSize(), 2u * 128);
    EXPECT_EQ(m_pool.getUsedSize(), 0u);
}

TEST_F(NormalMemPoolTest, SizesThatCannotBeAChunkAreRefused)
{
    ASSERT_TRUE(m_pool.init(makeCfg({{0, 64, 2}})));
    for (int size : {-1, -33, -96, -97, INT_MIN, INT_MAX, INT_MAX - 95}) {
        zqtest::OutputCapture cap;
        EXPECT_EQ(m_pool.getMemChunk(size), nullptr) << size;
        cap.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: invalid mem chunk size " + std::to_string(size) + "!"))
            << cap.out();
    }
    EXPECT_EQ(m_pool.getAllocSize(), 0u);
    EXPECT_EQ(m_pool.getUsedSize(), 0u);
}

TEST_F(NormalMemPoolTest, ReleaseOfUnknownGroupOrSharedChunk)
{
    ASSERT_TRUE(m_pool.init(makeCfg({{0, 64, 2}})));
    auto* stray = static_cast<MemChunk_t*>(malloc(MEM_CHUNK_OVERHEAD));
    ASSERT_NE(stray, nullptr);
    CMemPool::initMemChunk(stray, false, 77, -1, 0);
    {
        zqtest::OutputCapture cap;
        EXPECT_TRUE(m_pool.releaseMemChunk(stray)) << "a chunk of no filed group is freed";
        cap.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "ERROR: Can't find group 77")) << cap.out();
    }
    MemChunk_t shm;
    CMemPool::initMemChunk(&shm, true, 0, 1, 64);
    {
        zqtest::OutputCapture cap;
        EXPECT_FALSE(m_pool.releaseMemChunk(&shm));
        cap.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: shared memory chunk given to a heap pool!"));
    }
    MemChunk_t* own = m_pool.getMemChunk(64);
    EXPECT_NE(own, &shm) << "the refused chunk was not filed";
    m_pool.releaseMemChunk(own);
    EXPECT_FALSE(m_pool.releaseMemChunk(nullptr));
    pthread_mutex_destroy(&shm.m_mutex);
}

class BudgetTest : public NormalMemPoolTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_pool.init(makeCfg({{0, 1024, 8}, {1, 2048, 8}, {2, 4096, 8}, {3, 8192, 8}}, 16384)));
    }
    static std::string notEnough(const char* still, uint32_t alloc, uint32_t used, int need)
    {
        return std::string("WARN: MemPool is ") + still +
               "not enough! m_u32MaxPoolSize:16384, m_u32AllocSize:" + std::to_string(alloc) +
               ", m_u32UsedSize:" + std::to_string(used) + ", NeedAlloc:" + std::to_string(need);
    }
};

TEST_F(BudgetTest, OverBudgetReclaimsTheUpperHalf)
{
    MemChunk_t* big = m_pool.getMemChunk(8192);
    MemChunk_t* mid1 = m_pool.getMemChunk(4096);
    MemChunk_t* mid2 = m_pool.getMemChunk(4000);
    MemChunk_t* low = m_pool.getMemChunk(2000);
    ASSERT_TRUE(big && mid1 && mid2 && low);
    for (MemChunk_t* c : {big, mid1, mid2, low}) {
        EXPECT_FALSE(m_pool.releaseMemChunk(c));
    }
    ASSERT_EQ(m_pool.getAllocSize(), 8192u + 4096 + 4096 + 2048);

    zqtest::OutputCapture cap;
    MemChunk_t* small = m_pool.getMemChunk(100);
    cap.stop();
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "32", notEnough("", 18432, 0, 100)), 1) << cap.out();
    EXPECT_EQ(cap.out().find("still"), std::string::npos) << cap.out();
    // Groups 2 and 3 were emptied; group 1 kept its chunk; group 0 got a new one.
    EXPECT_EQ(m_pool.getAllocSize(), 2048u + 1024);
    EXPECT_EQ(m_pool.getMemChunk(2048), low);
    m_pool.releaseMemChunk(low);
    m_pool.releaseMemChunk(small);
}

TEST_F(BudgetTest, StillOverBudgetIsServedAnyway)
{
    MemChunk_t* big = m_pool.getMemChunk(8192);
    MemChunk_t* mid = m_pool.getMemChunk(4096);
    MemChunk_t* mid2 = m_pool.getMemChunk(4096);
    ASSERT_TRUE(big && mid && mid2);
    zqtest::OutputCapture cap;
    MemChunk_t* more = m_pool.getMemChunk(1024);
    cap.stop();
    ASSERT_NE(more, nullptr) << "the budget never refuses";
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "32", notEnough("", 16384, 16384, 1024)), 1) << cap.out();
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "32", notEnough("still ", 16384, 16384, 1024)), 1) << cap.out();
    for (MemChunk_t* c : {big, mid, mid2, more}) {
        m_pool.releaseMemChunk(c);
    }
}

// True once thread `tid` of this process sleeps (state S), or false at the deadline.
bool waitUntilAsleep(pid_t tid)
{
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(path);
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S') {
            return true;
        }
        std::this_thread::yield();
    }
    return false;
}

// A request over the budget prints its warning while the output is blocked (another thread holds
// stdout's lock, as a slow terminal would); a request within the budget must not wait for it.
TEST_F(BudgetTest, WarningsAreNotPrintedUnderThePoolLock)
{
    MemChunk_t* cached = m_pool.getMemChunk(8192);
    ASSERT_NE(cached, nullptr);
    m_pool.releaseMemChunk(cached); // reclaimed and freed by the request over the budget

    zqtest::OutputCapture cap;
    std::atomic<pid_t> printer{0};
    std::future<MemChunk_t*> over;
    std::future<MemChunk_t*> within;
    bool asleep = false;
    bool served = false;
    flockfile(stdout);
    {
        // Every path out of this block gives stdout back first.
        struct Unlock {
            ~Unlock() { funlockfile(stdout); }
        } unlock;
        over = std::async(std::launch::async, [this, &printer] {
            printer.store(static_cast<pid_t>(syscall(SYS_gettid)));
            return m_pool.getMemChunk(20000);
        });
        while (printer.load() == 0) {
            std::this_thread::yield();
        }
        asleep = waitUntilAsleep(printer.load()); // blocked in its warning
        within = std::async(std::launch::async, [this] { return m_pool.getMemChunk(100); });
        served = within.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    }
    MemChunk_t* big = over.get();
    MemChunk_t* small = within.get();
    cap.stop();
    EXPECT_TRUE(asleep);
    EXPECT_TRUE(served) << "a request within the budget waited for another request's warning";
    ASSERT_NE(big, nullptr);
    ASSERT_NE(small, nullptr);
    // The values are those of the check and the reclaim, whatever ran since.
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "32", notEnough("", 8192, 0, 20000)), 1) << cap.out();
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "32", notEnough("still ", 0, 0, 20000)), 1) << cap.out();
    EXPECT_EQ(m_pool.getAllocSize(), 20000u + 1024);
    EXPECT_TRUE(m_pool.releaseMemChunk(big));
    EXPECT_FALSE(m_pool.releaseMemChunk(small));
}

// Several threads drop references of shared packages while others keep asking for memory over
// the budget, so that every request reclaims the free list the released chunks land on. The last
// holder must be done with a chunk before the pool may free or reclaim it (under TSan a chunk
// freed or reclaimed while its releaser still works on it is reported).
TEST(NormalMemPoolStressTest, ReleasesRaceWithOverBudgetReclaim)
{
    CNormalMemPool pool;
    ASSERT_TRUE(pool.init(makeCfg({{0, 64, 4}, {1, 4096, 64}}, 0)));
    CDataBuffer buffer;
    buffer.setMemPool(&pool);

    constexpr int kWorkers = 4;
    constexpr int kPackages = 6000;
    struct Mailbox {
        std::mutex mtx;
        std::condition_variable cv;
        std::deque<DataPackage_t*> pkgs;
        bool done = false;
    } boxes[kWorkers];

    std::atomic<bool> stop{false};
    zqtest::OutputCapture cap; // every request warns: keep it off the test log
    std::vector<std::thread> reclaimers;
    for (int r = 0; r < 2; ++r) {
        reclaimers.emplace_back([&] {
            while (!stop.load()) {
                MemChunk_t* c = pool.getMemChunk(10);
                if (c != nullptr) {
                    pool.releaseMemChunk(c);
                }
            }
        });
    }
    std::vector<std::thread> workers;
    for (Mailbox& box : boxes) {
        workers.emplace_back([&box, &buffer] {
            std::unique_lock<std::mutex> lock(box.mtx);
            for (;;) {
                box.cv.wait(lock, [&] { return box.done || !box.pkgs.empty(); });
                if (box.pkgs.empty()) {
                    return;
                }
                DataPackage_t* pkg = box.pkgs.front();
                box.pkgs.pop_front();
                lock.unlock();
                buffer.releasePackage(pkg);
                lock.lock();
            }
        });
    }
    for (int i = 0; i < kPackages; ++i) {
        // One in three is a one-off chunk, which the last release frees at once.
        DataPackage_t* pkg = buffer.createPackage(i % 3 == 0 ? 6000 : 1000 + i % 3000);
        ASSERT_NE(pkg, nullptr);
        pkg->m_iLen = i;
        buffer.referPackage(pkg);
        for (Mailbox& box : boxes) {
            buffer.referPackage(pkg);
            std::lock_guard<std::mutex> lock(box.mtx);
            box.pkgs.push_back(pkg);
            box.cv.notify_one();
        }
        buffer.releasePackage(pkg);
    }
    for (Mailbox& box : boxes) {
        std::lock_guard<std::mutex> lock(box.mtx);
        box.done = true;
        box.cv.notify_one();
    }
    for (std::thread& t : workers) {
        t.join();
    }
    stop = true;
    for (std::thread& t : reclaimers) {
        t.join();
    }
    cap.stop();
    EXPECT_EQ(cap.err(), "") << "nothing may be reported while the pool warned";
    EXPECT_EQ(pool.getUsedSize(), 0u) << "every package came back";
    EXPECT_LE(pool.getAllocSize(), 64u * 4 + 4096u * 64);
}

} // namespace
