// The shared-memory pool: segment size and numbering, group matching without borrowing, layout
// checks, segment replacement and removal, a second process walking the same segment, and FIFOs
// coming and going over the fixed set of chunks.
#include "memory/shm_mem_pool.h"

#include <sys/shm.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "memory/datacenter.h"
#include "memory/shm_layout.h"
#include "support/zqtest.h"
#include "utils/system_utils.h"

namespace {

// Keys of this file: 0x44000000 + n.
constexpr int kKeyBase = 0x44000000;
constexpr int kMiB = 1024 * 1024;

MemConfig_t makeCfg(int key, std::initializer_list<MemGroup_t> groups)
{
    MemConfig_t cfg{};
    cfg.m_iKey = key;
    cfg.m_u32MaxPoolSize = 0x400000;
    for (const MemGroup_t& g : groups) {
        cfg.m_stGroup[cfg.m_iGroupCount++] = g;
    }
    return cfg;
}

// The number -> package table of the pool's segment, by the walk every reader makes.
bool pkgTable(CShmMemPool& pool, std::vector<DataPackage_t*>* table)
{
    auto* base = static_cast<uint8_t*>(pool.getMemAddr());
    std::vector<ShmPkgSlot_t> slots;
    if (!shmWalkLayout(base, pool.getMemSize(), pool.getMemLayout(), &slots)) {
        return false;
    }
    table->clear();
    for (const ShmPkgSlot_t& slot : slots) {
        table->push_back(reinterpret_cast<DataPackage_t*>(base + slot.m_u64Offset));
    }
    return true;
}

bool segmentExists(int shmid)
{
    shmid_ds ds{};
    return shmctl(shmid, IPC_STAT, &ds) == 0;
}

class ShmMemPoolNsTest : public zqtest::NsTest {};

TEST_F(ShmMemPoolNsTest, SegmentSizeAndNumberingFollowTheWalk)
{
    CShmMemPool pool;
    const int key = kKeyBase + 1;
    MemConfig_t cfg = makeCfg(key, {{0, 1 * kMiB, 8}, {1, 2 * kMiB, 4}, {2, 5 * kMiB, 4}});
    zqtest::OutputCapture cap;
    ASSERT_TRUE(pool.init(cfg));
    cap.stop();
    const uint64_t size = 8ull * (kMiB + 96) + 4ull * (2 * kMiB + 96) + 4ull * (5 * kMiB + 96);
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32",
                                   "Init share memory pool, m_iKey: 0x44000001, size: " + std::to_string(size)))
        << cap.out();
    EXPECT_EQ(pool.getMemSize(), size);
    EXPECT_EQ(pool.getMemKey(), key);
    EXPECT_TRUE(pool.getMemType());
    shmid_ds ds{};
    ASSERT_EQ(shmctl(pool.getShmId(), IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, size);
    EXPECT_EQ(pool.getAllocSize(), 8u * kMiB + 4u * 2 * kMiB + 4u * 5 * kMiB);
    EXPECT_EQ(pool.getMaxPoolSize(), 0x400000u + pool.getAllocSize());

    std::vector<DataPackage_t*> table;
    ASSERT_TRUE(pkgTable(pool, &table));
    ASSERT_EQ(table.size(), 16u);
    auto* base = static_cast<uint8_t*>(pool.getMemAddr());
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(table[i]->m_iPkgId, static_cast<int>(i) + 1);
        EXPECT_TRUE(table[i]->m_bShm);
        EXPECT_EQ(table[i]->m_iLen, 0);
    }
    EXPECT_EQ(reinterpret_cast<uint8_t*>(table[8]) - 48 - base, 8 * (kMiB + 96)) << "package 9 opens group 1";
    EXPECT_EQ(getChunkAddr(table[8])->m_iGrpId, 1);
    EXPECT_EQ(table[8]->m_iSize, 2 * kMiB);
    EXPECT_EQ(getChunkAddr(table[15])->m_iGrpId, 2);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(table[15]) - 48 - base + 5L * kMiB + 96, static_cast<ptrdiff_t>(size))
        << "the last chunk ends the segment";

    MemChunk_t* c = pool.getMemChunk(kMiB + 1);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->m_iGrpId, 1);
    EXPECT_EQ(pool.getUsedSize(), 2u * kMiB);
    pool.releaseMemChunk(c);
    cap.stop();
    zqtest::OutputCapture cap2;
    EXPECT_EQ(pool.getMemChunk(5 * kMiB + 1), nullptr);
    cap2.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap2.out(), "32", "Cant't find group! iSize: 5242881")) << cap2.out();
}

TEST_F(ShmMemPoolNsTest, ExhaustedGroupDoesNotBorrow)
{
    CShmMemPool pool;
    zqtest::OutputCapture cap;
    ASSERT_TRUE(pool.init(makeCfg(kKeyBase + 2, {{0, 128, 8}, {1, 256, 4}, {2, 512, 4}})));
    std::vector<MemChunk_t*> taken;
    for (int i = 0; i < 8; ++i) {
        taken.push_back(pool.getMemChunk(100));
        ASSERT_NE(taken.back(), nullptr);
    }
    EXPECT_EQ(pool.getMemChunk(100), nullptr);
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "Get mem chunk size 100 failed!")) << cap.out();
    taken[3]->m_stPkg.m_iLen = 55;
    EXPECT_FALSE(pool.releaseMemChunk(taken[3])) << "shared chunks are never freed";
    MemChunk_t* again = pool.getMemChunk(100);
    EXPECT_EQ(again, taken[3]);
    EXPECT_EQ(again->m_stPkg.m_iLen, 55) << "handed out as it was given back";
    for (MemChunk_t* c : taken) {
        pool.releaseMemChunk(c);
    }
    EXPECT_EQ(pool.getUsedSize(), 0u);
}

TEST_F(ShmMemPoolNsTest, AnyGroupNumberingWorks)
{
    CShmMemPool pool;
    zqtest::OutputCapture cap;
    ASSERT_TRUE(pool.init(makeCfg(kKeyBase + 3, {{7, 104, 2}, {3, 200, 2}, {-4, 304, 1}})));
    cap.stop();
    struct Case {
        int size, grp, pkgLow, pkgHigh;
    } cases[] = {{50, 7, 1, 2}, {150, 3, 3, 4}, {304, -4, 5, 5}};
    for (const Case& c : cases) {
        MemChunk_t* chunk = pool.getMemChunk(c.size);
        ASSERT_NE(chunk, nullptr) << c.size;
        EXPECT_EQ(chunk->m_iGrpId, c.grp);
        EXPECT_GE(chunk->m_stPkg.m_iPkgId, c.pkgLow);
        EXPECT_LE(chunk->m_stPkg.m_iPkgId, c.pkgHigh);
        pool.releaseMemChunk(chunk);
    }
}

TEST_F(ShmMemPoolNsTest, UnsafeLayoutsAndKeysAreRefused)
{
    const int key = kKeyBase + 4;
    MemConfig_t tooMany = makeCfg(key, {{0, 64, 1}});
    tooMany.m_iGroupCount = 17;
    MemConfig_t negCount = makeCfg(key, {{0, 64, 1}});
    negCount.m_iGroupCount = -1;
    struct Case {
        const char* name;
        MemConfig_t cfg;
        const char* line;
    } cases[] = {
        {"process key", makeCfg(-1, {{0, 64, 1}}), "Error: invalid share memory key -1!"},
        {"no groups", makeCfg(key, {}), "Error: invalid share memory group count 0!"},
        {"17 groups", tooMany, "Error: invalid share memory group count 17!"},
        {"negative group count", negCount, "Error: invalid share memory group count -1!"},
        {"chunk size 0", makeCfg(key, {{0, 0, 4}}),
         "Error: invalid share memory group 0, chunk size 0, chunk count 4!"},
        {"negative chunk size", makeCfg(key, {{1, -100, 4}}),
         "Error: invalid share memory group 1, chunk size -100, chunk count 4!"},
        {"chunk size over the limit", makeCfg(key, {{2, INT_MAX - 95, 1}}),
         "Error: invalid share memory group 2, chunk size 2147483552, chunk count 1!"},
        {"unaligned chunk size", makeCfg(key, {{5, 100, 2}}),
         "Error: share memory chunk size 100 of group 5 is not a multiple of 8!"},
        {"no chunks", makeCfg(key, {{3, 64, 0}}), "Error: invalid share memory group 3, chunk size 64, chunk count 0!"},
        {"negative count", makeCfg(key, {{4, 64, -2}}),
         "Error: invalid share memory group 4, chunk size 64, chunk count -2!"},
        {"duplicate numbers", makeCfg(key, {{0, 64, 1}, {1, 128, 1}, {0, 256, 1}}),
         "Error: duplicate share memory group id 0!"},
        {"more than INT_MAX chunks", makeCfg(key, {{0, 8, INT_MAX}, {1, 8, 1}}),
         "Error: share memory pool too large! chunks: 2147483648, size: 223338299392"},
    };
    for (const Case& c : cases) {
        CShmMemPool pool;
        zqtest::OutputCapture cap;
        EXPECT_FALSE(pool.init(c.cfg)) << c.name;
        EXPECT_EQ(pool.getMemChunk(1), nullptr) << c.name;
        cap.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", c.line)) << c.name << ": " << cap.out();
        EXPECT_EQ(pool.getShmId(), -1) << c.name;
        EXPECT_EQ(pool.getMemAddr(), nullptr) << c.name;
    }
    EXPECT_EQ(shmget(key, 0, 0666), -1) << "no segment was made";
}

TEST_F(ShmMemPoolNsTest, SegmentTooLargeForTheSystemFailsCleanly)
{
    // 2 PiB: refused by shmget, or at the latest by shmat.
    MemConfig_t cfg = makeCfg(kKeyBase + 5, {});
    for (int i = 0; i < 16; ++i) {
        cfg.m_stGroup[cfg.m_iGroupCount++] = MemGroup_t{i, 1 << 30, 1 << 17};
    }
    CShmMemPool pool;
    zqtest::OutputCapture cap;
    EXPECT_FALSE(pool.init(cfg));
    EXPECT_EQ(pool.getMemChunk(100), nullptr);
    cap.stop();
    EXPECT_TRUE(cap.out().find("Error: openShm() failed! m_iKey: 0x44000005") != std::string::npos ||
                cap.out().find("Error: attachShm() failed! m_iKey: 0x44000005") != std::string::npos)
        << cap.out();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "Get mem chunk size 100 failed!")) << cap.out();
    EXPECT_EQ(pool.getShmId(), -1);
    EXPECT_EQ(shmget(kKeyBase + 5, 0, 0666), -1) << "nothing is left under the key";
}

TEST_F(ShmMemPoolNsTest, StaleSegmentIsReplacedAndDestructionRemovesAndDetaches)
{
    const int key = kKeyBase + 6;
    zqtest::OutputCapture cap;
    int stale = CSystemUtils::openShm(key, 0, 100);
    ASSERT_GE(stale, 0);
    int shmid = -1;
    {
        CShmMemPool pool;
        ASSERT_TRUE(pool.init(makeCfg(key, {{0, 1000, 3}})));
        shmid = pool.getShmId();
        EXPECT_NE(shmid, stale);
        EXPECT_FALSE(segmentExists(stale));
        shmid_ds ds{};
        ASSERT_EQ(shmctl(shmid, IPC_STAT, &ds), 0);
        EXPECT_EQ(ds.shm_segsz, 3u * 1096);
        EXPECT_EQ(ds.shm_nattch, 1u);
    }
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "Delete old share memory key 1140850694 success.")) << cap.out();
    EXPECT_FALSE(segmentExists(shmid)) << "removed and no longer attached, so gone";
}

TEST_F(ShmMemPoolNsTest, ForeignAndRepeatedGiveBacksAreRefused)
{
    CShmMemPool pool;
    zqtest::OutputCapture cap;
    ASSERT_TRUE(pool.init(makeCfg(kKeyBase + 7, {{0, 64, 2}, {1, 128, 2}})));
    MemChunk_t heap;
    CMemPool::initMemChunk(&heap, false, 0, -1, 64);
    EXPECT_FALSE(pool.releaseMemChunk(&heap));
    EXPECT_FALSE(pool.releaseMemChunk(nullptr));
    MemChunk_t* inner = reinterpret_cast<MemChunk_t*>(static_cast<uint8_t*>(pool.getMemAddr()) + 8);
    EXPECT_FALSE(pool.releaseMemChunk(inner)) << "not the start of a chunk";
    // Every per-chunk operation finds out by itself that neither is one of the pool's.
    for (MemChunk_t* foreign : {&heap, inner}) {
        EXPECT_FALSE(pool.referMemChunk(foreign));
        EXPECT_EQ(pool.referNumbered(foreign), -1);
        int len = 40;
        int capacity = -7;
        EXPECT_EQ(pool.publishNumbered(foreign, &len, &capacity), -1);
        EXPECT_EQ(len, 40);
        EXPECT_EQ(capacity, -7);
        EXPECT_FALSE(pool.dropMemChunk(foreign));
        pool.notePublished(foreign, 40);
        EXPECT_EQ(pool.chunkLen(foreign), 0);
        EXPECT_EQ(pool.chunkCapacity(foreign), 0);
        EXPECT_EQ(pool.chunkRefCount(foreign), -1);
    }
    EXPECT_EQ(heap.m_iRefCount.load(), 0);
    EXPECT_EQ(heap.m_stPkg.m_iLen, 0);

    MemChunk_t* c = pool.getMemChunk(10);
    ASSERT_NE(c, nullptr);
    int pkgId = c->m_stPkg.m_iPkgId;
    EXPECT_FALSE(pool.releaseMemChunk(c));
    EXPECT_FALSE(pool.releaseMemChunk(c));
    cap.stop();
    EXPECT_TRUE(
        zqtest::hasDdsLine(cap.out(), "31", "Error: package " + std::to_string(pkgId) + " is given back twice!"))
        << cap.out();
    EXPECT_EQ(pool.getUsedSize(), 0u);
    MemChunk_t* a = pool.getMemChunk(10);
    MemChunk_t* b = pool.getMemChunk(10);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b) << "one chunk never goes to two takers";
    pool.releaseMemChunk(a);
    pool.releaseMemChunk(b);
    pthread_mutex_destroy(&heap.m_mutex);
}

TEST_F(ShmMemPoolNsTest, HeaderWrittenByAReaderIsNotTrusted)
{
    CShmMemPool pool;
    zqtest::OutputCapture cap;
    ASSERT_TRUE(pool.init(makeCfg(kKeyBase + 8, {{0, 64, 1}, {1, 4096, 1}})));
    MemChunk_t* small = pool.getMemChunk(64);
    ASSERT_NE(small, nullptr);
    // A reader that maps the segment writes nonsense into the header.
    small->m_iGrpId = 1;
    small->m_stPkg.m_iSize = 4096;
    small->m_stPkg.m_iPkgId = 2;
    pool.releaseMemChunk(small);
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "Invalid group id 1!")) << cap.out();
    MemChunk_t* big = pool.getMemChunk(4000);
    ASSERT_NE(big, nullptr);
    EXPECT_NE(big, small) << "the small chunk went back to its own group";
    MemChunk_t* again = pool.getMemChunk(64);
    ASSERT_EQ(again, small);
    EXPECT_EQ(again->m_iGrpId, 0);
    EXPECT_EQ(again->m_stPkg.m_iSize, 64);
    EXPECT_EQ(again->m_stPkg.m_iPkgId, 1);
    pool.releaseMemChunk(again);
    pool.releaseMemChunk(big);
}

TEST_F(ShmMemPoolNsTest, SecondProcessSeesTheSameNumberingAndBytes)
{
    const int key = kKeyBase + 9;
    CShmMemPool pool;
    zqtest::OutputCapture cap;
    ASSERT_TRUE(pool.init(makeCfg(key, {{4, 64, 3}, {1, 200, 2}})));
    cap.stop();
    std::vector<MemChunk_t*> taken;
    for (int size : {10, 10, 10, 150, 150}) {
        MemChunk_t* c = pool.getMemChunk(size);
        ASSERT_NE(c, nullptr);
        std::string text = "pkg-" + std::to_string(c->m_stPkg.m_iPkgId);
        memcpy(pkgData(&c->m_stPkg), text.data(), text.size());
        c->m_stPkg.m_iLen = static_cast<int>(text.size());
        taken.push_back(c);
    }

    std::string error;
    auto peer = zqtest::ChildProcess::spawn(
        {zqtest::helperPath("shmpool_peer"), std::to_string(key), "4:64:3", "1:200:2"}, &error);
    ASSERT_TRUE(peer) << error;
    ASSERT_TRUE(peer->waitForLine("done", 30000)) << peer->output();
    ASSERT_NE(peer->wait(30000), -1);
    EXPECT_EQ(peer->exitCode(), 0) << peer->output();

    auto hex = [](const std::string& s) {
        std::string out;
        char b[3];
        for (unsigned char ch : s) {
            snprintf(b, sizeof(b), "%02x", ch);
            out += b;
        }
        return out;
    };
    const std::string& out = peer->output();
    EXPECT_NE(out.find("segment " + std::to_string(3 * 160 + 2 * 296) + "\n"), std::string::npos) << out;
    size_t off = 0;
    for (int n = 1; n <= 5; ++n) {
        int grp = n <= 3 ? 4 : 1;
        int size = n <= 3 ? 64 : 200;
        std::string text = "pkg-" + std::to_string(n);
        std::string line = "pkg " + std::to_string(n) + " off " + std::to_string(off) + " grp " + std::to_string(grp) +
                           " id " + std::to_string(n) + " shm 1 size " + std::to_string(size) + " len " +
                           std::to_string(text.size()) + " data " + hex(text) + "\n";
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
        off += static_cast<size_t>(size) + 96;
    }
    std::vector<DataPackage_t*> table;
    ASSERT_TRUE(pkgTable(pool, &table));
    EXPECT_STREQ(reinterpret_cast<const char*>(pkgData(table[4])), "from peer") << "the peer's write is seen here";
    for (MemChunk_t* c : taken) {
        pool.releaseMemChunk(c);
    }
}

// Senders open and close FIFOs while writers publish over the fixed chunks of a segment: a lost
// reference would lose a chunk for good, so at the end every chunk can be taken again.
TEST_F(ShmMemPoolNsTest, EveryChunkComesBackWhileFifosComeAndGo)
{
    CShmMemPool pool;
    zqtest::OutputCapture cap; // an exhausted group reports every failed request
    ASSERT_TRUE(pool.init(makeCfg(kKeyBase + 10, {{0, 256, 16}, {1, 4096, 16}})));
    CDataManager mgr;
    mgr.setMemPool(&pool);
    EXPECT_TRUE(mgr.getMemPoolType());
    EXPECT_EQ(mgr.getMemPoolKey(), kKeyBase + 10);
    EXPECT_EQ(mgr.getMemPoolAddr(), pool.getMemAddr());

    std::atomic<bool> stop{false};
    std::vector<std::thread> writers, readers;
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < 30000; ++i) {
                if (DataPackage_t* pkg = mgr.getEmptyDataPkg(w == 0 ? 100 : 3000, 0)) {
                    pkg->m_iLen = i;
                    mgr.putFullDataPkg(pkg, pkg->m_iLen);
                }
            }
        });
    }
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&, r] {
            while (!stop.load()) {
                CDataFifo* fifo = mgr.createDataFifo(FIFO_POLICY_DROP_OLDEST, 4);
                for (int k = 0; k <= r; ++k) {
                    if (DataPackage_t* pkg = fifo->getDataPackage(0)) {
                        fifo->releaseDataPackage(pkg);
                    }
                }
                mgr.destroyDataFifo(fifo);
            }
        });
    }
    for (std::thread& t : writers) {
        t.join();
    }
    stop = true;
    for (std::thread& t : readers) {
        t.join();
    }
    cap.stop();
    EXPECT_EQ(pool.getUsedSize(), 0u);
    std::vector<MemChunk_t*> all;
    for (int i = 0; i < 16; ++i) {
        all.push_back(pool.getMemChunk(256));
        all.push_back(pool.getMemChunk(4096));
    }
    for (MemChunk_t* c : all) {
        EXPECT_NE(c, nullptr);
        pool.releaseMemChunk(c);
    }
}

} // namespace
