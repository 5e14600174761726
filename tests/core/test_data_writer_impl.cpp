// The data writer: write and the buffer loan with their length refusals, the package header it
// writes, the descriptor cache, and the limits of a topic's own shared-memory pool.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <vector>

#include "core/channel_fixture.h"
#include "core/data_writer_impl.h"
#include "memory/mem_pool.h"
#include "utils/dds_common.h"

namespace {

const std::string RED = "31";

class DataWriterImplNsTest : public ChannelNsTest {
protected:
    int domain() const override { return 535; }
    int portBase() const override { return 53300; }
    int unixBase() const override { return 5350; }
    int keyBase() const override { return 0x5350; }

    // A topic with a writer and no reader.
    void openAlone(const std::string& name, ShmConfig_t* config = nullptr)
    {
        m_topicName = name;
        m_topic = m_participant->createTopic(name, config);
        ASSERT_NE(m_topic, nullptr);
        m_writer = m_pub->createDataWriter(m_topic);
        ASSERT_NE(m_writer, nullptr);
    }

    // A writer alone on a shared-memory topic whose one group has `chunks` chunks of 4 KiB.
    void openAloneOnShm(const std::string& name, int chunks)
    {
        ShmConfig_t config{};
        config.m_bUseUserLayout = true;
        config.m_iGroupCount = 1;
        config.m_groups[0] = MemGroup_t{0, 4096, chunks};
        openAlone(name, &config);
    }
};

TEST_F(DataWriterImplNsTest, WriteWithoutReaderReturnsItsLengthAndGivesThePackageBack)
{
    openAlone("h13_alone");
    std::vector<uint8_t> data(5000, 0x5A);
    EXPECT_FALSE(m_writer->isConnect());
    EXPECT_EQ(m_writer->write(data.data(), 5000), 5000);
    EXPECT_EQ(m_writer->write(data.data(), 0), 0);
    EXPECT_TRUE(poolDrained());
}

TEST_F(DataWriterImplNsTest, BadLengthsAreRefused)
{
    openAlone("h13_bad_len");
    uint8_t data[16] = {};
    zqtest::OutputCapture capture;
    EXPECT_EQ(m_writer->write(nullptr, 4), -1);
    const int badWrites[] = {-1, -34, -35, INT_MIN, INT_MAX, INT_MAX - 34, CDataWriterImpl::maxPayload() + 1};
    for (int len : badWrites) {
        EXPECT_EQ(m_writer->write(data, len), -1) << len;
    }
    const int badLoans[] = {-1, -35, INT_MIN, INT_MAX, INT_MAX - 130, CDataWriterImpl::maxPayload() + 1};
    for (int size : badLoans) {
        EXPECT_EQ(m_writer->getEmptyDataBuffer(size, 0), nullptr) << size;
    }
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, "Error: write length -35 is out of range 0..67108864!"));
    EXPECT_TRUE(poolDrained());
}

TEST_F(DataWriterImplNsTest, LentBufferWithABadLengthGoesBackUnpublished)
{
    ASSERT_TRUE(open("h13_bad_put"));
    EXPECT_EQ(m_writer->putFullDataBuffer(nullptr), -1);
    struct Case {
        int len;
        int sizeDelta; // what the application did to m_iSize
    };
    const Case cases[] = {{-1, 0}, {INT_MIN, 0}, {1, 0}, {INT_MAX, 0}, {1, 1000000}};
    for (const Case& c : cases) {
        _DataBuffer_t* buf = m_writer->getEmptyDataBuffer(100, 0);
        ASSERT_NE(buf, nullptr);
        EXPECT_EQ(buf->m_iLen, 0);
        EXPECT_GE(buf->m_iSize, 100);
        const int capacity = buf->m_iSize;
        buf->m_iLen = c.len == 1 ? capacity + 1 + c.sizeDelta : c.len;
        buf->m_iSize += c.sizeDelta;
        zqtest::OutputCapture quiet;
        EXPECT_EQ(m_writer->putFullDataBuffer(buf), -1) << c.len << " " << c.sizeDelta;
        quiet.stop();
        EXPECT_TRUE(poolDrained());
    }
    // A descriptor without package is given back too.
    _DataBuffer_t* buf = m_writer->getEmptyDataBuffer(10, 0);
    ASSERT_NE(buf, nullptr);
    DataPackage_t* pkg = buf->m_pPkg;
    buf->m_pPkg = nullptr;
    EXPECT_EQ(m_writer->putFullDataBuffer(buf), -1);
    referChunk(getChunkAddr(pkg));
    m_pub->putEmptyDataPkg(m_topicName, pkg);
    EXPECT_TRUE(poolDrained());
    // Nothing of the refused ones reached the reader.
    EXPECT_EQ(m_readers.front()->getBufferCount(), 0);
}

TEST_F(DataWriterImplNsTest, EmptyMessageIsPublishedButNeverArrivesOverTheUnixSocket)
{
    ASSERT_TRUE(open("h13_empty"));
    std::atomic<int> delivered{0};
    // The reader outlives this body: its callback goes (and a running call ends) before `delivered`.
    zqtest::ScopeExit dropCallback([this] { m_readers.front()->registerUserDataCallBack(nullptr); });
    m_readers.front()->registerUserDataCallBack([&](void*, int, _ExtraDataInfo_t*) {
        delivered.fetch_add(1);
        return 0;
    });
    zqtest::OutputCapture capture;
    uint8_t byte = 7;
    EXPECT_EQ(m_writer->write(&byte, 0), 0);
    _DataBuffer_t* buf = m_writer->getEmptyDataBuffer(0, 100);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(buf->m_iLen, 0);
    EXPECT_EQ(m_writer->putFullDataBuffer(buf), 0);
    // Sent as bare headers, which the receiver refuses: the next message is the first to arrive.
    ASSERT_EQ(writeMessage(1, 5), 1);
    uint8_t got[4] = {};
    ASSERT_EQ(m_readers.front()->read(got, sizeof(got), 10000, nullptr), 1);
    capture.stop();
    EXPECT_TRUE(pubsub::isMessage(got, 1, 5));
    EXPECT_EQ(delivered.load(), 1);
    EXPECT_EQ(zqtest::countDdsLines(capture.out(), RED, "[h13_empty] Error: iRecvLen 34 <= sizeof(DDSHeader_t) 34"), 2)
        << capture.out();
    EXPECT_TRUE(poolDrained());
}

TEST_F(DataWriterImplNsTest, LoanPublishesInPlace)
{
    ASSERT_TRUE(open("h13_loan"));
    const int sizes[] = {1, 4000, 65503}; // empty messages do not travel over sockets
    uint32_t seq = 0;
    for (int len : sizes) {
        _DataBuffer_t* buf = m_writer->getEmptyDataBuffer(len, 100);
        ASSERT_NE(buf, nullptr);
        EXPECT_EQ(buf->m_pData, reinterpret_cast<uint8_t*>(buf->m_pPkg) + 50);
        EXPECT_EQ(buf->m_iSize, buf->m_pPkg->m_iSize - 34);
        pubsub::fillPattern(buf->m_pData, len, seq);
        buf->m_iLen = len;
        uint64_t before = static_cast<uint64_t>(getSysTimeUs());
        ASSERT_EQ(m_writer->putFullDataBuffer(buf), 0);
        uint64_t after = static_cast<uint64_t>(getSysTimeUs());
        _ExtraDataInfo_t info{0};
        std::vector<uint8_t> got(static_cast<size_t>(len) + 1);
        ASSERT_EQ(m_readers.front()->read(got.data(), len, 10000, &info), len);
        EXPECT_TRUE(pubsub::isMessage(got.data(), len, seq));
        EXPECT_GE(info.m_u64TimeStamp, before);
        EXPECT_LE(info.m_u64TimeStamp, after);
        ++seq;
    }
    EXPECT_TRUE(poolDrained());
}

TEST_F(DataWriterImplNsTest, ReceivedPackageCarriesTheWritersHeader)
{
    ASSERT_TRUE(open("h13_header"));
    uint8_t data[40];
    pubsub::fillPattern(data, sizeof(data), 3);
    uint64_t before = static_cast<uint64_t>(getSysTimeUs());
    ASSERT_EQ(m_writer->write(data, sizeof(data)), 40);
    uint64_t after = static_cast<uint64_t>(getSysTimeUs());
    _DataBuffer_t* buf = m_readers.front()->getDataBuffer(10000, nullptr);
    ASSERT_NE(buf, nullptr);
    DDSHeader_t header = readDdsHeader(pkgData(buf->m_pPkg));
    EXPECT_EQ(memcmp(header.m_u8Magic, "ZQMW", 4), 0);
    EXPECT_EQ(+header.m_u8Type, MSG_TYPE_DATA);
    EXPECT_EQ(+header.m_u8Flag, PKT_FLAG_FIRST);
    EXPECT_EQ(+header.m_u32DataLen, 40u);
    EXPECT_GE(+header.m_u64TimeStamp, before);
    EXPECT_LE(+header.m_u64TimeStamp, after);
    EXPECT_EQ(buf->m_pPkg->m_iLen, 40 + 34);
    m_readers.front()->releaseDataBuffer(buf);
}

TEST_F(DataWriterImplNsTest, HeaderOfAPublishedPackage)
{
    openAloneOnShm("h13_shm_header", 4);
    // A package of the topic's pool, dirtied as an earlier message would leave it.
    DataPackage_t* pkg = m_pub->getEmptyDataPkg(m_topicName, 100, 0);
    ASSERT_NE(pkg, nullptr);
    memset(pkgData(pkg), 0xEE, 34);
    referChunk(getChunkAddr(pkg));
    m_pub->putEmptyDataPkg(m_topicName, pkg);

    _DataBuffer_t* buf = m_writer->getEmptyDataBuffer(10, 0);
    ASSERT_NE(buf, nullptr);
    ASSERT_EQ(buf->m_pPkg, pkg); // the same chunk, last given back first
    memcpy(buf->m_pData, "0123456789", 10);
    buf->m_iLen = 10;
    uint64_t before = static_cast<uint64_t>(getSysTimeUs());
    ASSERT_EQ(m_writer->putFullDataBuffer(buf), 0);
    uint64_t after = static_cast<uint64_t>(getSysTimeUs());
    // No reader: the package is back in the pool, as the writer left it.
    DDSHeader_t header = readDdsHeader(pkgData(pkg));
    EXPECT_EQ(memcmp(header.m_u8Magic, "ZQMW", 4), 0);
    EXPECT_EQ(+header.m_u8Flag, 0);
    EXPECT_EQ(+header.m_u8Type, 100);
    EXPECT_EQ(+header.m_u32SeqNo, 0u);
    EXPECT_GE(+header.m_u64TimeStamp, before);
    EXPECT_LE(+header.m_u64TimeStamp, after);
    EXPECT_EQ(+header.m_u32DataLen, 10u);
    // Nothing of the earlier message is left in the fields no receiver reads.
    EXPECT_EQ(+header.m_u32TotalLen, 0u);
    EXPECT_EQ(+header.m_u32PktCount, 0u);
    const uint8_t zero[4] = {0, 0, 0, 0};
    EXPECT_EQ(memcmp(header.m_u8Reserved, zero, 4), 0);
    EXPECT_EQ(pkg->m_iLen, 44);
}

TEST_F(DataWriterImplNsTest, DescriptorCacheKeepsEight)
{
    m_topicName = "h13_cache";
    m_topic = m_participant->createTopic(m_topicName, nullptr);
    ASSERT_NE(m_topic, nullptr);
    ASSERT_EQ(m_pub->createTransport(m_topicName), 0);
    {
        CDataWriterImpl writer(m_pub.get(), m_topic);
        std::vector<_DataBuffer_t*> lent;
        for (int i = 0; i < 9; ++i) {
            lent.push_back(writer.getEmptyDataBuffer(16, 0));
            ASSERT_NE(lent.back(), nullptr);
        }
        for (_DataBuffer_t* buf : lent) {
            buf->m_iLen = 16;
            EXPECT_EQ(writer.putFullDataBuffer(buf), 0);
        }
        EXPECT_EQ(writer.getCacheCount(), 8);
        // The ninth was freed; the next eight come from the cache, the one given back last first.
        std::vector<_DataBuffer_t*> again;
        for (int i = 7; i >= 0; --i) {
            _DataBuffer_t* buf = writer.getEmptyDataBuffer(16, 0);
            ASSERT_EQ(buf, lent[static_cast<size_t>(i)]);
            EXPECT_EQ(writer.getCacheCount(), i);
            again.push_back(buf);
        }
        for (_DataBuffer_t* buf : again) {
            buf->m_iLen = 0;
            EXPECT_EQ(writer.putFullDataBuffer(buf), 0);
        }
        EXPECT_EQ(writer.getCacheCount(), 8);
        EXPECT_EQ(m_topic->getTopicDescImpl()->getReference(), 1);
    }
    EXPECT_EQ(m_topic->getTopicDescImpl()->getReference(), 0);
    EXPECT_TRUE(poolDrained());
    EXPECT_EQ(m_pub->deleteTransport(m_topicName), 0);
}

TEST_F(DataWriterImplNsTest, SharedMemoryPoolRefusesWhatNoGroupHolds)
{
    openAloneOnShm("h13_shm_limit", 2);
    std::vector<uint8_t> data(4096, 1);
    zqtest::OutputCapture capture;
    EXPECT_EQ(m_writer->write(data.data(), 4096 - 34), 4096 - 34);
    EXPECT_EQ(m_writer->write(data.data(), 4096 - 33), -1);
    EXPECT_EQ(m_writer->getEmptyDataBuffer(4096 - 33, 0), nullptr);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, "Error: getEmptyDataPkg failed! iLen:4063"));

    // Two chunks: a third loan fails until one is given back.
    _DataBuffer_t* a = m_writer->getEmptyDataBuffer(10, 0);
    _DataBuffer_t* b = m_writer->getEmptyDataBuffer(10, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(a->m_pPkg->m_bShm);
    EXPECT_EQ(m_writer->getEmptyDataBuffer(10, 0), nullptr);
    a->m_iLen = 10;
    EXPECT_EQ(m_writer->putFullDataBuffer(a), 0);
    _DataBuffer_t* c = m_writer->getEmptyDataBuffer(10, 0);
    ASSERT_NE(c, nullptr);
    b->m_iLen = 0;
    c->m_iLen = 0;
    EXPECT_EQ(m_writer->putFullDataBuffer(b), 0);
    EXPECT_EQ(m_writer->putFullDataBuffer(c), 0);
}

TEST_F(DataWriterImplNsTest, ARunOfRefusedWritesPrintsAFewLines)
{
    openAloneOnShm("h25_dry", 2);
    std::vector<uint8_t> data(8192, 1);
    zqtest::OutputCapture capture;
    constexpr int kWrites = 500;
    for (int i = 0; i < kWrites; ++i) {
        ASSERT_EQ(m_writer->write(data.data(), 4096 - 33 + i % 7), -1) << "write " << i;
    }
    capture.stop();
    const std::string& out = capture.out();
    EXPECT_TRUE(zqtest::hasDdsLine(out, RED, "Error: getEmptyDataPkg failed! iLen:4063")) << out;
    int refusals = 0;
    for (int len = 4063; len < 4063 + 7; ++len) {
        refusals += zqtest::countDdsLines(out, RED, "Error: getEmptyDataPkg failed! iLen:" + std::to_string(len));
    }
    // A window's worth (two if the run spans a window's end), however long the run.
    EXPECT_LE(refusals, 2 * DDS_LINES_PER_WINDOW);
    int lines = 0;
    for (size_t at = out.find("[DDS] "); at != std::string::npos; at = out.find("[DDS] ", at + 1)) {
        ++lines;
    }
    EXPECT_LE(lines, 4 * DDS_LINES_PER_WINDOW) << "the pool's own line is bounded too";
}

TEST_F(DataWriterImplNsTest, LocalPoolServesAWriteLargerThanEveryGroup)
{
    openAlone("h13_oneoff");
    std::vector<uint8_t> data(9 * 1024 * 1024, 7);
    EXPECT_EQ(m_writer->write(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    EXPECT_TRUE(poolDrained());
}

} // namespace
