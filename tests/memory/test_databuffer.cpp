// The package reference rule over a pool, and packages kept to the kind of pool they came from.
#include "memory/databuffer.h"

#include "memory/normal_mem_pool.h"
#include "support/zqtest.h"

namespace {

class DataBufferTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MemConfig_t cfg{};
        cfg.m_iKey = -1;
        cfg.m_u32MaxPoolSize = 0x100000;
        cfg.m_stGroup[0] = MemGroup_t{0, 1024, 4};
        cfg.m_iGroupCount = 1;
        ASSERT_TRUE(m_pool.init(cfg));
        m_buffer.setMemPool(&m_pool);
    }
    static int count(DataPackage_t* pkg) { return getChunkAddr(pkg)->m_iRefCount.load(); }

    CNormalMemPool m_pool;
    CDataBuffer m_buffer;
};

TEST_F(DataBufferTest, LastReleaseReturnsTheChunk)
{
    DataPackage_t* pkg = m_buffer.createPackage(100);
    ASSERT_NE(pkg, nullptr);
    EXPECT_EQ(count(pkg), 0);
    EXPECT_EQ(pkg->m_iSize, 1024);

    m_buffer.releasePackage(pkg);
    EXPECT_EQ(count(pkg), 0) << "a release at 0 does nothing";
    EXPECT_EQ(m_pool.getUsedSize(), 1024u) << "and the package stays in use";

    m_buffer.referPackage(pkg);
    m_buffer.referPackage(pkg);
    m_buffer.releasePackage(pkg);
    EXPECT_EQ(m_pool.getUsedSize(), 1024u);
    m_buffer.releasePackage(pkg);
    EXPECT_EQ(m_pool.getUsedSize(), 0u);
    EXPECT_EQ(m_buffer.createPackage(10), pkg) << "the chunk went back on its free list";
    m_buffer.referPackage(pkg);
    m_buffer.releasePackage(pkg);
}

TEST_F(DataBufferTest, WithoutPoolNothingIsTakenOrReleased)
{
    CDataBuffer bare;
    EXPECT_EQ(bare.createPackage(10), nullptr);
    DataPackage_t* pkg = m_buffer.createPackage(10);
    ASSERT_NE(pkg, nullptr);
    bare.referPackage(pkg);
    EXPECT_EQ(count(pkg), 1) << "referring needs no pool";
    bare.releasePackage(pkg);
    EXPECT_EQ(count(pkg), 1);
    bare.releasePackage(nullptr);
    m_buffer.referPackage(nullptr);
    m_buffer.releasePackage(nullptr);
    m_buffer.releasePackage(pkg);
    EXPECT_EQ(m_pool.getUsedSize(), 0u);
}

// Each pool operation tells a chunk of the other kind by itself: the buffer asks nothing first.
TEST_F(DataBufferTest, SharedMemoryPackageIsNotReleasedIntoHeapPool)
{
    MemChunk_t shm;
    CMemPool::initMemChunk(&shm, true, 0, 5, 1024);
    shm.m_stPkg.m_iLen = 300;
    EXPECT_EQ(m_buffer.packageLen(&shm.m_stPkg), 0);
    EXPECT_EQ(m_buffer.packageCapacity(&shm.m_stPkg), 0);
    m_pool.notePublished(&shm, 10);
    EXPECT_EQ(shm.m_stPkg.m_iLen, 300) << "not this pool's to write";
    EXPECT_FALSE(m_pool.referMemChunk(&shm));
    EXPECT_FALSE(m_pool.dropMemChunk(&shm));
    EXPECT_EQ(shm.m_iRefCount.load(), 0);
    m_buffer.referPackage(&shm.m_stPkg);
    zqtest::OutputCapture cap;
    m_buffer.releasePackage(&shm.m_stPkg);
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: package 5 released into a pool of another kind!"))
        << cap.out();
    EXPECT_EQ(shm.m_iRefCount.load(), 1) << "the reference was not dropped";
    pthread_mutex_destroy(&shm.m_mutex);
}

} // namespace
