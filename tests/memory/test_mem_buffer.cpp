// The discovery buffer pool: descriptors, waiting, order, one-off chunks and misuse.
#include "memory/mem_buffer.h"

#include <thread>

#include "support/zqtest.h"

namespace {

TEST(MemBufferTest, InitDefaultsAndOnlyOnce)
{
    CMemBuffer buf;
    zqtest::OutputCapture cap;
    ASSERT_TRUE(buf.init(0, 0));
    EXPECT_FALSE(buf.init(1024, 5));
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "Membuffer pool size : 40960")) << cap.out();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: Membuffer is already initialized!")) << cap.out();
    EXPECT_EQ(buf.getBufCount(), 10);
    EXPECT_EQ(buf.getBufSize(), 4096);
    std::vector<std::shared_ptr<MemBuffer_t>> taken;
    for (int i = 0; i < 10; ++i) {
        taken.push_back(buf.getEmptyBuffer(100, 0));
        ASSERT_TRUE(taken.back());
    }
    EXPECT_FALSE(buf.getEmptyBuffer(100, 0)) << "ten descriptors only";
    for (auto& b : taken) {
        buf.putEmptyBuffer(b);
    }
}

TEST(MemBufferTest, TakenBufferIsBoundGivenBackIsCleared)
{
    CMemBuffer buf;
    ASSERT_TRUE(buf.init(4096, 100));
    std::shared_ptr<MemBuffer_t> b = buf.getEmptyBuffer(300, 0);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->m_iSize, 300);
    EXPECT_EQ(b->m_iLen, 0);
    ASSERT_NE(b->m_pChunk, nullptr);
    EXPECT_EQ(b->m_pData, reinterpret_cast<uint8_t*>(b->m_pChunk) + 64);
    b->m_iLen = 300;
    EXPECT_TRUE(buf.putEmptyBuffer(b));
    EXPECT_EQ(b->m_iSize, -1);
    EXPECT_EQ(b->m_iLen, 0);
    EXPECT_EQ(b->m_pData, nullptr);
    EXPECT_EQ(b->m_pChunk, nullptr);
    EXPECT_EQ(b->m_u64Reserved0 | b->m_u64Reserved1, 0u);
}

TEST(MemBufferTest, LargeBufferGetsOneOffChunkFreedOnGiveBack)
{
    CMemBuffer buf;
    ASSERT_TRUE(buf.init(4096, 100));
    zqtest::OutputCapture cap; // 8192 is over no budget here, but keep any warning off the log
    std::shared_ptr<MemBuffer_t> b = buf.getEmptyBuffer(8192, 0);
    cap.stop();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->m_pChunk->m_iGrpId, INVALID_GRP_ID);
    EXPECT_EQ(b->m_pChunk->m_stPkg.m_iSize, 8192);
    b->m_pData[8191] = 1;
    EXPECT_EQ(buf.getMemPool()->getAllocSize(), 8192u);
    buf.putEmptyBuffer(b);
    EXPECT_EQ(buf.getMemPool()->getAllocSize(), 0u);
}

TEST(MemBufferTest, EmptyAreLastInFirstOutFullAreFirstInFirstOut)
{
    CMemBuffer buf;
    ASSERT_TRUE(buf.init(64, 3));
    auto a = buf.getEmptyBuffer(10, 0), b = buf.getEmptyBuffer(10, 0), c = buf.getEmptyBuffer(10, 0);
    ASSERT_TRUE(a && b && c);
    EXPECT_FALSE(buf.getFullBuffer(0));
    for (auto& x : {b, c, a}) {
        EXPECT_TRUE(buf.putFullBuffer(x));
    }
    EXPECT_FALSE(buf.putFullBuffer(nullptr));
    EXPECT_EQ(buf.getFullBuffer(0), b);
    EXPECT_EQ(buf.getFullBuffer(0), c);
    EXPECT_EQ(buf.getFullBuffer(0), a);
    buf.putEmptyBuffer(a);
    buf.putEmptyBuffer(c);
    EXPECT_EQ(buf.getEmptyBuffer(10, 0), c);
    EXPECT_EQ(buf.getEmptyBuffer(10, 0), a);
    for (auto& x : {a, b, c}) {
        buf.putFullBuffer(x); // the destructor gives their chunks back
    }
}

TEST(MemBufferTest, WaitsForADescriptorOrTimesOut)
{
    CMemBuffer buf;
    ASSERT_TRUE(buf.init(64, 2));
    auto a = buf.getEmptyBuffer(10, 0), b = buf.getEmptyBuffer(10, 0);
    ASSERT_TRUE(a && b);
    EXPECT_FALSE(buf.getEmptyBuffer(10, 50));
    std::thread giver([&] { buf.putEmptyBuffer(a); });
    std::shared_ptr<MemBuffer_t> c = buf.getEmptyBuffer(10, -1);
    giver.join();
    EXPECT_EQ(c, a);
    std::thread filler([&] { buf.putFullBuffer(b); });
    EXPECT_EQ(buf.getFullBuffer(-1), b);
    filler.join();
    buf.putEmptyBuffer(b);
    buf.putEmptyBuffer(c);
}

TEST(MemBufferTest, NullAndDoubleGiveBackAreIgnored)
{
    CMemBuffer buf;
    ASSERT_TRUE(buf.init(64, 2));
    EXPECT_FALSE(buf.putEmptyBuffer(nullptr));
    auto a = buf.getEmptyBuffer(10, 0);
    ASSERT_TRUE(a);
    EXPECT_TRUE(buf.putEmptyBuffer(a));
    EXPECT_FALSE(buf.putEmptyBuffer(a)) << "already given back";
    auto x = buf.getEmptyBuffer(10, 0), y = buf.getEmptyBuffer(10, 0);
    ASSERT_TRUE(x && y);
    EXPECT_NE(x, y) << "no two takers share a descriptor";
    EXPECT_NE(x->m_pChunk, y->m_pChunk);
    EXPECT_FALSE(buf.getEmptyBuffer(10, 0));
    buf.putEmptyBuffer(x);
    buf.putEmptyBuffer(y);
}

TEST(MemBufferTest, RefusedSizeKeepsTheDescriptor)
{
    CMemBuffer buf;
    ASSERT_TRUE(buf.init(64, 1));
    zqtest::OutputCapture cap;
    EXPECT_FALSE(buf.getEmptyBuffer(-5, 0));
    cap.stop();
    auto a = buf.getEmptyBuffer(10, 0);
    EXPECT_TRUE(a) << "the descriptor went back to the stack";
    buf.putEmptyBuffer(a);
}

} // namespace
