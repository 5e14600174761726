// Chunk records, group free lists, size matching and configuration checks of the pool base.
#include "memory/mem_pool.h"

#include <cstdlib>
#include <cstring>

#include "support/zqtest.h"

namespace {

// The smallest concrete pool: only the shared operations are exercised.
class CBarePool : public CMemPool {
public:
    CBarePool() : CMemPool(false) {}
    bool init(const MemConfig_t& cfg) override { return initMemPool(cfg); }
    bool deinit() override { return true; }
    MemChunk_t* getMemChunk(int) override { return nullptr; }
    bool releaseMemChunk(MemChunk_t*) override { return false; }
    void* getMemAddr() override { return nullptr; }
    int getMemKey() override { return -1; }
};

MemConfig_t makeCfg(std::initializer_list<MemGroup_t> groups, uint32_t budget = 0x100000)
{
    MemConfig_t cfg{};
    cfg.m_iKey = -1;
    cfg.m_u32MaxPoolSize = budget;
    for (const MemGroup_t& g : groups) {
        cfg.m_stGroup[cfg.m_iGroupCount++] = g;
    }
    return cfg;
}

TEST(MemPoolTest, ChunkLayoutIsTheSegmentFormat)
{
    alignas(MemChunk_t) unsigned char raw[sizeof(MemChunk_t) + 128];
    memset(raw, 0xAB, sizeof(raw));
    auto* chunk = reinterpret_cast<MemChunk_t*>(raw);
    CMemPool::initMemChunk(chunk, true, 7, 42, 128);

    int32_t v;
    memcpy(&v, raw + 0, 4);
    EXPECT_EQ(v, 7);
    memcpy(&v, raw + 4, 4);
    EXPECT_EQ(v, 0);
    memcpy(&v, raw + 48, 4);
    EXPECT_EQ(v, 42);
    EXPECT_EQ(raw[52], 1);
    memcpy(&v, raw + 56, 4);
    EXPECT_EQ(v, 128);
    memcpy(&v, raw + 60, 4);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(pkgData(&chunk->m_stPkg), raw + 64);
    EXPECT_EQ(raw[64], 0xAB) << "the data area is not touched";
    EXPECT_EQ(getChunkAddr(&chunk->m_stPkg), chunk);
    EXPECT_EQ(getChunkAddr(nullptr), nullptr);
    pthread_mutex_destroy(&chunk->m_mutex);
}

TEST(MemPoolTest, ReferenceCountNeverGoesBelowZero)
{
    MemChunk_t chunk;
    CMemPool::initMemChunk(&chunk, false, 0, -1, 0);
    EXPECT_FALSE(unreferChunk(&chunk)) << "a fresh chunk has nothing to release";
    EXPECT_EQ(chunk.m_iRefCount.load(), 0);
    referChunk(&chunk);
    referChunk(&chunk);
    EXPECT_FALSE(unreferChunk(&chunk));
    EXPECT_TRUE(unreferChunk(&chunk)) << "the last release reports zero";
    EXPECT_FALSE(unreferChunk(&chunk)) << "an extra release is ignored";
    EXPECT_EQ(chunk.m_iRefCount.load(), 0);
    referChunk(nullptr);
    EXPECT_FALSE(unreferChunk(nullptr));
    pthread_mutex_destroy(&chunk.m_mutex);
}

TEST(MemPoolTest, GroupListIsBoundedStack)
{
    CMemGroupMan grp(3, 100, 2);
    MemChunk_t a, b, c;
    EXPECT_TRUE(grp.isEmpty());
    EXPECT_EQ(grp.getChunk(), nullptr);
    EXPECT_TRUE(grp.putChunk(&a));
    EXPECT_TRUE(grp.putChunk(&b));
    EXPECT_FALSE(grp.putChunk(&c)) << "bound is the chunk count";
    EXPECT_EQ(grp.getCachedSize(), 200);
    EXPECT_EQ(grp.getChunk(), &b);
    EXPECT_EQ(grp.getChunk(), &a);
    EXPECT_EQ(grp.getChunk(), nullptr);
    EXPECT_EQ(grp.getCachedSize(), 0) << "an empty take subtracts nothing";
    EXPECT_EQ(grp.getMemSize(), 100);

    CMemGroupMan none(0, 100, 0);
    EXPECT_FALSE(none.putChunk(&a)) << "count 0 keeps no chunk";
}

TEST(MemPoolTest, GroupOfMoreThanTwoGibibytesCountsItsCachedBytes)
{
    // {1 GiB, 3}: a layout createTopic accepts. Chunk records stand in for the chunks.
    constexpr int gib = 1 << 30;
    CMemGroupMan grp(1, gib, 3);
    MemChunk_t a, b, c;
    ASSERT_TRUE(grp.putChunk(&a));
    ASSERT_TRUE(grp.putChunk(&b));
    ASSERT_TRUE(grp.putChunk(&c));
    EXPECT_EQ(grp.getCachedSize(), 3LL * gib);
    EXPECT_EQ(grp.getChunk(), &c);
    EXPECT_EQ(grp.getCachedSize(), 2LL * gib);
}

TEST(MemPoolTest, MatchTakesFirstFittingEntryInConfigurationOrder)
{
    CBarePool pool;
    EXPECT_EQ(pool.matchGrpId(0), INVALID_GRP_ID) << "before init there are no groups";
    ASSERT_TRUE(pool.init(makeCfg({{5, 4096, 8}, {9, 16384, 8}, {2, 8192, 8}})));
    struct Case {
        int size;
        int grp;
    } cases[] = {{0, 5}, {4096, 5}, {4097, 9}, {16384, 9}, {16385, INVALID_GRP_ID}, {-1, 5}};
    for (const Case& c : cases) {
        EXPECT_EQ(pool.matchGrpId(c.size), c.grp) << c.size;
    }
}

TEST(MemPoolTest, LayoutCopiesCountAndAllSixteenEntries)
{
    CBarePool pool;
    MemConfig_t cfg = makeCfg({{0, 10, 1}, {1, 20, 2}, {2, 30, 3}});
    cfg.m_stGroup[15] = MemGroup_t{99, 77, 66};
    ASSERT_TRUE(pool.init(cfg));
    MemPoolLayout_t layout = pool.getMemLayout();
    EXPECT_EQ(layout.m_iGroupCount, 3);
    EXPECT_EQ(memcmp(layout.m_stGroup, cfg.m_stGroup, sizeof(layout.m_stGroup)), 0);
    EXPECT_EQ(pool.getMaxPoolSize(), 0x100000u);
}

TEST(MemPoolTest, DefaultConfigurationHasSixteenGroups)
{
    MemConfig_t cfg{};
    CMemPool::getDefaultCfg(cfg);
    EXPECT_EQ(cfg.m_iKey, -1);
    EXPECT_EQ(cfg.m_u32MaxPoolSize, 0x400000u);
    EXPECT_EQ(cfg.m_iGroupCount, 16);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(cfg.m_stGroup[i].m_iGrpId, i);
        EXPECT_EQ(cfg.m_stGroup[i].m_iChunkSize, (i + 1) * 4096);
        EXPECT_EQ(cfg.m_stGroup[i].m_iChunkCount, 8);
    }
}

TEST(MemPoolTest, InvalidConfigurationsAreRefused)
{
    struct Case {
        const char* name;
        MemConfig_t cfg;
        const char* line;
    } cases[] = {
        {"duplicate ids", makeCfg({{0, 100, 1}, {1, 200, 1}, {0, 300, 1}}), "Error: duplicate mem group id 0!"},
        {"negative size", makeCfg({{0, -5, 1}}), "Error: invalid mem group 0, chunk size -5, chunk count 1!"},
        {"huge size", makeCfg({{1, MEM_MAX_CHUNK_SIZE + 1, 1}}),
         "Error: invalid mem group 1, chunk size 2147483552, chunk count 1!"},
        {"negative count", makeCfg({{2, 100, -1}}), "Error: invalid mem group 2, chunk size 100, chunk count -1!"},
    };
    for (const Case& c : cases) {
        CBarePool pool;
        zqtest::OutputCapture cap;
        EXPECT_FALSE(pool.init(c.cfg)) << c.name;
        cap.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", c.line)) << c.name << ": " << cap.out();
        EXPECT_EQ(pool.matchGrpId(0), INVALID_GRP_ID) << c.name << ": nothing was filed";
    }
}

TEST(MemPoolTest, GroupCountIsClampedAndSecondInitRefused)
{
    CBarePool pool;
    MemConfig_t cfg{};
    CMemPool::getDefaultCfg(cfg);
    cfg.m_iGroupCount = 1000;
    ASSERT_TRUE(pool.init(cfg));
    EXPECT_EQ(pool.getMemLayout().m_iGroupCount, 16);
    EXPECT_EQ(pool.matchGrpId(16 * 4096), 15);

    zqtest::OutputCapture cap;
    EXPECT_FALSE(pool.init(makeCfg({{0, 1, 1}})));
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: mem pool is already initialized!"));

    CBarePool negative;
    cfg.m_iGroupCount = -3;
    ASSERT_TRUE(negative.init(cfg));
    EXPECT_EQ(negative.getMemLayout().m_iGroupCount, 0);
    EXPECT_EQ(negative.matchGrpId(0), INVALID_GRP_ID);
}

} // namespace
