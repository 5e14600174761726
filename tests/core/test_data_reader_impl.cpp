// The data reader: messages by copy, by loan and through the application's callback, its bounded
// queue, the refusals of read, late readers, the drain at a channel's STOP, destruction racing a
// channel reset, and the replacement of the application's callback.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/channel_fixture.h"
#include "core/data_reader_impl.h"
#include "core/resource_manager.h"
#include "core/shm_maps.h"
#include "memory/databuffer.h"
#include "memory/held_pkg.h"
#include "memory/mem_pool.h"
#include "memory/shm_test_util.h"

namespace {

const std::string RED = "31";
const std::string GREEN = "32";
const std::string YELLOW = "33";

class DataReaderImplNsTest : public ChannelNsTest {
protected:
    int domain() const override { return 534; }
    int portBase() const override { return 53200; }
    int unixBase() const override { return 5340; }
    int keyBase() const override { return 0x5340; }

    CDataReader* reader() { return m_readers.front(); }

    // Counts what the application's callback sees.
    void countDeliveries(CDataReader* r, std::atomic<int>* count)
    {
        r->registerUserDataCallBack([count](void*, int, _ExtraDataInfo_t*) {
            count->fetch_add(1);
            return 0;
        });
    }
};

TEST_F(DataReaderImplNsTest, MessagesOfEverySizeArriveByCopyLoanAndCallback)
{
    ASSERT_TRUE(open("h13_sizes"));
    std::mutex mtx;
    std::vector<std::pair<std::vector<uint8_t>, uint64_t>> seen;
    // The reader outlives this body: its callback goes (and a running call ends) before the locals.
    zqtest::ScopeExit dropCallback([this] { reader()->registerUserDataCallBack(nullptr); });
    reader()->registerUserDataCallBack([&](void* data, int len, _ExtraDataInfo_t* info) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        std::lock_guard<std::mutex> lock(mtx);
        seen.emplace_back(std::vector<uint8_t>(bytes, bytes + len), info->m_u64TimeStamp);
        return 99; // ignored
    });
    const int sizes[] = {1, 65502, 65503, 1048577}; // empty messages do not travel over sockets
    uint32_t seq = 0;
    for (int len : sizes) {
        for (int mode = 0; mode < 2; ++mode, ++seq) {
            uint64_t before = 0;
            uint64_t after = 0;
            ASSERT_EQ(writeMessage(len, seq, &before, &after), len);
            _ExtraDataInfo_t info{0};
            if (mode == 0) {
                std::vector<uint8_t> buf(static_cast<size_t>(len) + 1);
                ASSERT_EQ(reader()->read(buf.data(), len, 10000, &info), len) << "size " << len;
                EXPECT_TRUE(pubsub::isMessage(buf.data(), len, seq));
            } else {
                _DataBuffer_t* buf = reader()->getDataBuffer(10000, &info);
                ASSERT_NE(buf, nullptr) << "size " << len;
                EXPECT_EQ(buf->m_iLen, len);
                EXPECT_GE(buf->m_iSize, len);
                EXPECT_EQ(buf->m_iSize, buf->m_pPkg->m_iSize - 34);
                EXPECT_EQ(buf->m_pData, reinterpret_cast<uint8_t*>(buf->m_pPkg) + 50);
                EXPECT_EQ(buf->m_u64TimeStamp, info.m_u64TimeStamp);
                EXPECT_TRUE(pubsub::isMessage(buf->m_pData, len, seq));
                reader()->releaseDataBuffer(buf);
            }
            EXPECT_GE(info.m_u64TimeStamp, before);
            EXPECT_LE(info.m_u64TimeStamp, after);
            std::lock_guard<std::mutex> lock(mtx);
            ASSERT_EQ(seen.size(), seq + 1);
            EXPECT_EQ(seen.back().first, pubsub::makeMessage(len, seq));
            EXPECT_EQ(seen.back().second, info.m_u64TimeStamp);
        }
    }
    EXPECT_EQ(reader()->getBufferCount(), 0);
    EXPECT_TRUE(poolDrained());
}

TEST_F(DataReaderImplNsTest, ExceptionFromTheCallbackIsReportedAndTheMessageStillQueued)
{
    ASSERT_TRUE(open("h13_throw"));
    std::atomic<int> calls{0};
    reader()->registerUserDataCallBack([&](void*, int, _ExtraDataInfo_t*) -> int {
        int call = ++calls;
        if (call == 1) {
            throw std::runtime_error("application fault");
        }
        throw 42; // not even a std::exception
    });
    zqtest::OutputCapture cap;
    for (uint32_t seq = 0; seq < 2; ++seq) {
        ASSERT_EQ(writeMessage(16, seq), 16);
        std::vector<uint8_t> buf(16);
        ASSERT_EQ(reader()->read(buf.data(), 16, 10000), 16);
        EXPECT_TRUE(pubsub::isMessage(buf.data(), 16, seq));
    }
    cap.stop();
    EXPECT_EQ(calls.load(), 2);
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), RED, "Error: topic h13_throw: data callback threw an exception!"), 2)
        << cap.out();
    reader()->registerUserDataCallBack(nullptr);
}

TEST_F(DataReaderImplNsTest, FullQueueKeepsTheNewest)
{
    ASSERT_TRUE(open("h13_depth", 2));
    std::atomic<int> delivered{0};
    countDeliveries(reader(), &delivered);
    for (uint32_t seq = 0; seq < 3; ++seq) {
        ASSERT_EQ(writeMessage(16, seq), 16);
    }
    ASSERT_TRUE(zqtest::waitUntil([&] { return delivered.load() == 3; }, 10000));
    EXPECT_EQ(reader()->getBufferCount(), 2);
    uint8_t buf[16];
    for (uint32_t seq = 1; seq < 3; ++seq) {
        ASSERT_EQ(reader()->read(buf, sizeof(buf), 0, nullptr), 16);
        EXPECT_TRUE(pubsub::isMessage(buf, 16, seq));
    }
    EXPECT_TRUE(poolDrained());
}

class DefaultDepthNsTest : public DataReaderImplNsTest, public ::testing::WithParamInterface<int> {};

TEST_P(DefaultDepthNsTest, DepthOfZeroOrLessKeepsEight)
{
    ASSERT_TRUE(open("h13_default_depth", GetParam()));
    std::atomic<int> delivered{0};
    countDeliveries(reader(), &delivered);
    for (uint32_t seq = 0; seq < 9; ++seq) {
        ASSERT_EQ(writeMessage(8, seq), 8);
        // Paced: the sender's own queue holds eight as well.
        ASSERT_TRUE(zqtest::waitUntil([&] { return delivered.load() == static_cast<int>(seq) + 1; }, 10000));
    }
    EXPECT_EQ(reader()->getBufferCount(), 8);
    uint8_t buf[8];
    ASSERT_EQ(reader()->read(buf, sizeof(buf), 0, nullptr), 8);
    EXPECT_TRUE(pubsub::isMessage(buf, 8, 1));
}

INSTANTIATE_TEST_SUITE_P(Depths, DefaultDepthNsTest, ::testing::Values(0, -5));

TEST_F(DataReaderImplNsTest, ReadRefusals)
{
    ASSERT_TRUE(open("h13_refusals"));
    std::atomic<int> delivered{0};
    countDeliveries(reader(), &delivered);
    for (uint32_t seq = 0; seq < 3; ++seq) {
        ASSERT_EQ(writeMessage(100, seq), 100);
    }
    ASSERT_TRUE(zqtest::waitUntil([&] { return delivered.load() == 3; }, 10000));
    std::vector<uint8_t> buf(100);

    zqtest::OutputCapture capture;
    EXPECT_EQ(reader()->read(nullptr, 100, 0, nullptr), -1);
    // A negative size is refused before a message is taken.
    EXPECT_EQ(reader()->read(buf.data(), -1, 0, nullptr), -1);
    EXPECT_EQ(reader()->read(buf.data(), INT_MIN, 0, nullptr), -1);
    EXPECT_EQ(reader()->getBufferCount(), 3);
    // One byte short: that message is lost, the next one comes.
    EXPECT_EQ(reader()->read(buf.data(), 99, 0, nullptr), -1);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, "Error: pBuf is null!"));
    EXPECT_TRUE(zqtest::hasDdsLine(
        capture.out(), YELLOW, "Warning: topic h13_refusals buf size is not enough! buf size (99) < data Len (100)"));
    EXPECT_EQ(reader()->read(buf.data(), 100, 0, nullptr), 100);
    EXPECT_TRUE(pubsub::isMessage(buf.data(), 100, 1));
    EXPECT_EQ(reader()->read(buf.data(), 100, 0, nullptr), 100);
    EXPECT_TRUE(pubsub::isMessage(buf.data(), 100, 2));

    // Nothing queued: no wait with 0.
    EXPECT_EQ(reader()->read(buf.data(), 100, 0, nullptr), -1);
    EXPECT_EQ(reader()->getDataBuffer(0, nullptr), nullptr);
    reader()->releaseDataBuffer(nullptr);
    EXPECT_TRUE(poolDrained());
}

TEST_F(DataReaderImplNsTest, WaitingReadTakesTheNextMessage)
{
    ASSERT_TRUE(open("h13_wait_read"));
    std::atomic<int> got{-2};
    std::thread waiter([&] {
        uint8_t buf[32];
        got = reader()->read(buf, sizeof(buf), -1, nullptr);
    });
    ASSERT_EQ(writeMessage(32, 0), 32);
    waiter.join();
    EXPECT_EQ(got.load(), 32);
}

TEST_F(DataReaderImplNsTest, TwoReadersEachGetEveryMessage)
{
    ASSERT_TRUE(open("h13_two_readers"));
    CDataReader* second = addReader(8);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return second->isConnect(); }, 10000));
    for (uint32_t seq = 0; seq < 4; ++seq) {
        ASSERT_EQ(writeMessage(64, seq), 64);
        for (CDataReader* r : {reader(), second}) {
            uint8_t buf[64];
            ASSERT_EQ(r->read(buf, sizeof(buf), 10000, nullptr), 64);
            EXPECT_TRUE(pubsub::isMessage(buf, 64, seq));
        }
    }
    EXPECT_TRUE(poolDrained());
}

TEST_F(DataReaderImplNsTest, ReaderCreatedWhileTheChannelIsUpReceivesAtOnce)
{
    ASSERT_TRUE(open("h13_late"));
    CDataReader* late = addReader(8);
    ASSERT_NE(late, nullptr);
    // No reset needed: the new reader subscribed when it was made.
    EXPECT_TRUE(late->isConnect());
    ASSERT_EQ(writeMessage(10, 7), 10);
    uint8_t buf[10];
    ASSERT_EQ(late->read(buf, sizeof(buf), 10000, nullptr), 10);
    EXPECT_TRUE(pubsub::isMessage(buf, 10, 7));
    ASSERT_EQ(reader()->read(buf, sizeof(buf), 10000, nullptr), 10);
}

TEST_F(DataReaderImplNsTest, QueuedMessagesGoBackWhenTheChannelStops)
{
    ASSERT_TRUE(open("h13_drain"));
    std::atomic<int> delivered{0};
    countDeliveries(reader(), &delivered);
    for (uint32_t seq = 0; seq < 3; ++seq) {
        ASSERT_EQ(writeMessage(5000, seq), 5000);
    }
    ASSERT_TRUE(zqtest::waitUntil([&] { return delivered.load() == 3; }, 10000));
    EXPECT_EQ(reader()->getBufferCount(), 3);
    EXPECT_GT(poolInUse(), 0u);

    closeWritingSide();
    // The reading side resets: STOP empties the queue while the data receiver still exists.
    ASSERT_TRUE(zqtest::waitUntil([&] { return !reader()->isConnect(); }, 10000));
    EXPECT_EQ(reader()->getBufferCount(), 0);
    EXPECT_TRUE(poolDrained());
    // Marking the topic waiting again is the reset's last step.
    EXPECT_TRUE(
        zqtest::waitUntil([&] { return m_sub->getTopicState(m_topicName) == TOPIC_STATE_UNSUBSCRIBED; }, 10000));
}

TEST_F(DataReaderImplNsTest, LentMessageGoesBackAfterTheChannelStopped)
{
    ASSERT_TRUE(open("h13_lent"));
    ASSERT_EQ(writeMessage(300, 1), 300);
    _DataBuffer_t* buf = reader()->getDataBuffer(10000, nullptr);
    ASSERT_NE(buf, nullptr);
    closeWritingSide();
    ASSERT_TRUE(zqtest::waitUntil([&] { return !reader()->isConnect(); }, 10000));
    EXPECT_TRUE(pubsub::isMessage(buf->m_pData, 300, 1));
    reader()->releaseDataBuffer(buf);
    EXPECT_TRUE(poolDrained());
}

// Over shared memory the lent message lies in the writer's pool segment, attached by the reader's
// channel: the channel drops while the application holds it, and the release still gives it back
// to that mapping, which then detaches; queued ones go back at the drop, the channel's last ones
// with the reader.
TEST_F(DataReaderImplNsTest, SharedMemoryMessagesHeldAcrossTheChannelsDropGoBackToItsMapping)
{
    ShmConfig_t config{};
    config.m_bUseUserLayout = true;
    config.m_iGroupCount = 1;
    config.m_groups[0] = MemGroup_t{0, 4096, 4};
    ASSERT_TRUE(open("h13_shm_orphan", 8, &config));
    const int poolKey = CResourceManager::shmKeyOf(keyBase());
    shmtest::RawSegment pool(poolKey);
    ASSERT_TRUE(pool.ok());
    const size_t attachedAlone = 2; // the writer's pool and this test's view of it
    std::atomic<int> delivered{0};
    countDeliveries(reader(), &delivered);
    for (uint32_t seq = 0; seq < 3; ++seq) {
        ASSERT_EQ(writeMessage(300, seq), 300);
    }
    ASSERT_TRUE(zqtest::waitUntil([&] { return delivered.load() == 3; }, 10000));
    _DataBuffer_t* lent = reader()->getDataBuffer(0, nullptr);
    ASSERT_NE(lent, nullptr);
    // Handed over in place, from the segment the reader's channel attached.
    shmmaps::Where where = shmmaps::locate(lent->m_pData);
    ASSERT_TRUE(where.found);
    EXPECT_EQ(where.key, static_cast<unsigned>(poolKey));
    EXPECT_EQ(pool.attachCount(), attachedAlone + 1);
    EXPECT_EQ(lent->m_iSize, 4096 - 34);

    closeWritingSide();
    ASSERT_TRUE(zqtest::waitUntil([&] { return !reader()->isConnect(); }, 10000));
    EXPECT_EQ(reader()->getBufferCount(), 0);
    // The writer's side has let its pool go; the lent message keeps the reader's mapping attached.
    EXPECT_EQ(pool.attachCount(), 2u);
    EXPECT_TRUE(pubsub::isMessage(lent->m_pData, 300, 0));
    reader()->releaseDataBuffer(lent);
    // The channel's own teardown may still hold the mapping for a moment after isConnect turned
    // false; once both have let go it detaches.
    EXPECT_TRUE(zqtest::waitUntil([&] { return pool.attachCount() == 1u; }, 10000))
        << "the reader's mapping is still attached";
}

TEST_F(DataReaderImplNsTest, ReaderDestructionRacesAChannelReset)
{
    ASSERT_TRUE(open("h13_race_reset"));
    for (int round = 0; round < 8; ++round) {
        CDataReader* victim = addReader(4);
        ASSERT_NE(victim, nullptr);
        ASSERT_TRUE(victim->isConnect());
        std::atomic<int> delivered{0};
        countDeliveries(victim, &delivered);
        for (uint32_t seq = 0; seq < 3; ++seq) {
            writeMessage(2000, seq);
        }
        std::atomic<bool> go{false};
        std::thread closer([&] {
            while (!go.load()) {
            }
            closeWritingSide();
        });
        go = true;
        removeReader(victim);
        closer.join();
        // The remaining reader sees the reset; then the writing side comes back.
        ASSERT_TRUE(zqtest::waitUntil([&] { return !reader()->isConnect(); }, 10000)) << "round " << round;
        {
            zqtest::OutputCapture quiet;
            m_writer = m_pub->createDataWriter(m_topic);
        }
        ASSERT_NE(m_writer, nullptr);
        ASSERT_TRUE(connect()) << "round " << round;
    }
    uint8_t buf[2000];
    while (reader()->read(buf, sizeof(buf), 0, nullptr) > 0) {
    }
    EXPECT_TRUE(poolDrained());
}

TEST_F(DataReaderImplNsTest, ReplacedCallbackIsNeverCalledAfterTheReplacementReturns)
{
    ASSERT_TRUE(open("h13_replace"));
    std::mutex mtx;
    std::condition_variable cv;
    bool inOld = false;
    bool release = false;
    std::atomic<bool> replaced{false};
    std::atomic<bool> replacedSeenByOld{false};
    std::atomic<int> oldCalls{0};
    std::atomic<int> newCalls{0};
    std::thread replacer;
    // On every way out: the held call is let go, the replacer joined, and the callback dropped
    // (which waits for a running call) before the locals it captures.
    zqtest::ScopeExit cleanup([&] {
        {
            std::lock_guard<std::mutex> lock(mtx);
            release = true;
        }
        cv.notify_all();
        if (replacer.joinable()) {
            replacer.join();
        }
        reader()->registerUserDataCallBack(nullptr);
    });
    reader()->registerUserDataCallBack([&](void*, int, _ExtraDataInfo_t*) {
        oldCalls.fetch_add(1);
        std::unique_lock<std::mutex> lock(mtx);
        inOld = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        replacedSeenByOld = replaced.load();
        return 0;
    });
    ASSERT_EQ(writeMessage(4, 0), 4);
    {
        std::unique_lock<std::mutex> lock(mtx);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return inOld; }));
    }
    std::atomic<bool> calling{false};
    replacer = std::thread([&] {
        calling = true;
        reader()->registerUserDataCallBack([&](void*, int, _ExtraDataInfo_t*) {
            newCalls.fetch_add(1);
            return 0;
        });
        replaced = true;
    });
    ASSERT_TRUE(zqtest::waitUntil([&] { return calling.load(); }, 10000));
    {
        std::lock_guard<std::mutex> lock(mtx);
        release = true;
    }
    cv.notify_all();
    replacer.join();
    // The replacement waited for the running call to end.
    EXPECT_FALSE(replacedSeenByOld.load());
    ASSERT_EQ(writeMessage(4, 1), 4);
    ASSERT_TRUE(zqtest::waitUntil([&] { return newCalls.load() == 1; }, 10000));
    EXPECT_EQ(oldCalls.load(), 1);
    // An empty callback removes it; messages are still queued.
    reader()->registerUserDataCallBack(nullptr);
    ASSERT_EQ(writeMessage(4, 2), 4);
    ASSERT_TRUE(zqtest::waitUntil([&] { return reader()->getBufferCount() == 3; }, 10000));
    EXPECT_EQ(newCalls.load(), 1);
}

TEST_F(DataReaderImplNsTest, StopWithoutStartOnlyClearsTheConnectedFlag)
{
    m_topicName = "h13_events";
    m_topic = m_participant->createTopic(m_topicName, nullptr);
    ASSERT_NE(m_topic, nullptr);
    ASSERT_EQ(m_sub->createTransport(m_topicName), 0);
    zqtest::OutputCapture capture;
    {
        CDataReaderImpl impl(m_sub.get(), m_topic, 0);
        EXPECT_EQ(impl.getDepth(), 8);
        EXPECT_EQ(impl.getDataCbId(), -1);
        impl.onEvent(impl.getEventCbId(), EVENT_DATA_TRANS_STOP);
        EXPECT_FALSE(impl.isConnect());
        EXPECT_EQ(impl.getDataCbId(), -1);
        // START without a data receiver: nothing to register with.
        impl.onEvent(impl.getEventCbId(), EVENT_DATA_TRANS_START);
        EXPECT_EQ(impl.getDataCbId(), -1);
        EXPECT_EQ(m_topic->getTopicDescImpl()->getReference(), 1);
    }
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), GREEN, "iCbId: 2, iEventId: 2"));
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), GREEN, "m_iDataCbId: -1"));
    EXPECT_EQ(m_topic->getTopicDescImpl()->getReference(), 0);
    EXPECT_EQ(m_sub->deleteTransport(m_topicName), 0);
}

TEST_F(DataReaderImplNsTest, PackagesWithALengthOutsideThemAreDropped)
{
    m_topicName = "h13_lengths";
    m_topic = m_participant->createTopic(m_topicName, nullptr);
    ASSERT_NE(m_topic, nullptr);
    ASSERT_EQ(m_sub->createTransport(m_topicName), 0);
    zqtest::OutputCapture quiet;
    std::atomic<int> calls{0}; // outlives the reader whose callback counts in it
    CDataBuffer origin;        // outlives the handles the reader keeps
    origin.setMemPool(m_participant->getMemPool());
    CDataReaderImpl impl(m_sub.get(), m_topic, 4);
    impl.registerUserDataCallBack([&](void*, int, _ExtraDataInfo_t*) {
        calls.fetch_add(1);
        return 0;
    });
    MemChunk_t* chunk = m_participant->getMemPool()->getMemChunk(100);
    ASSERT_NE(chunk, nullptr);
    DataPackage_t* pkg = &chunk->m_stPkg;
    const int bad[] = {-1, 0, 33, pkg->m_iSize + 1, INT_MAX};
    for (int len : bad) {
        CHeldPkg held = CHeldPkg::ofBuffer(&origin, -1, pkg, pkg->m_iSize, len);
        impl.onData(1, held);
        EXPECT_TRUE(held) << len << ": refused, the reference stays with the caller";
        held.disown();
    }
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(impl.getBufferCount(), 0);
    // A good one is kept, with the reference the caller took for it.
    referChunk(chunk);
    CHeldPkg good = CHeldPkg::ofBuffer(&origin, -1, pkg, pkg->m_iSize, 34);
    impl.onData(1, good);
    EXPECT_FALSE(good);
    EXPECT_EQ(calls.load(), 1);
    _DataBuffer_t* buf = impl.getDataBuffer(0, nullptr);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(buf->m_iLen, 0);
    impl.releaseDataBuffer(buf);
    EXPECT_TRUE(poolDrained());
}

// A loan goes back once, and only while it is lent: a second release of one loan, a descriptor
// this reader never lent, and null are refused (the first two with a red line), so no package is
// given back twice and no descriptor serves two loans; loans still out go back with the reader.
TEST_F(DataReaderImplNsTest, OnlyADescriptorLentNowIsTakenBackAndOnlyOnce)
{
    m_topicName = "h13_twice";
    m_topic = m_participant->createTopic(m_topicName, nullptr);
    ASSERT_NE(m_topic, nullptr);
    ASSERT_EQ(m_sub->createTransport(m_topicName), 0);
    CDataBuffer origin; // outlives the handles the reader keeps
    origin.setMemPool(m_participant->getMemPool());
    auto impl = std::make_unique<CDataReaderImpl>(m_sub.get(), m_topic, 4);
    // A package as the channel hands it over: with the reference taken for the reader.
    auto handOver = [&](int len) {
        MemChunk_t* chunk = m_participant->getMemPool()->getMemChunk(100);
        if (chunk == nullptr) {
            return false;
        }
        referChunk(chunk);
        CHeldPkg held = CHeldPkg::ofBuffer(&origin, -1, &chunk->m_stPkg, chunk->m_stPkg.m_iSize, len);
        impl->onData(1, held);
        return !held;
    };
    {
        zqtest::OutputCapture quiet;
        ASSERT_TRUE(handOver(40));
        ASSERT_TRUE(handOver(41));
    }
    _DataBuffer_t* first = impl->getDataBuffer(0, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->m_iLen, 6);
    EXPECT_EQ(impl->releaseDataBuffer(first), 0);
    _DataBuffer_t stranger{};
    char text[2][128];
    snprintf(text[0], sizeof(text[0]), "Error: topic h13_twice: buffer %p is not lent by this reader!",
             static_cast<void*>(first));
    snprintf(text[1], sizeof(text[1]), "Error: topic h13_twice: buffer %p is not lent by this reader!",
             static_cast<void*>(&stranger));
    zqtest::OutputCapture cap;
    EXPECT_EQ(impl->releaseDataBuffer(first), -1);
    EXPECT_EQ(impl->releaseDataBuffer(&stranger), -1);
    EXPECT_EQ(impl->releaseDataBuffer(nullptr), -1);
    cap.stop();
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), RED, text[0]), 1) << cap.out();
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), RED, text[1]), 1) << cap.out();
    EXPECT_EQ(impl->getCacheCount(), 1);

    // Two loans at once get two descriptors.
    _DataBuffer_t* second = impl->getDataBuffer(0, nullptr);
    ASSERT_NE(second, nullptr);
    {
        zqtest::OutputCapture quiet;
        ASSERT_TRUE(handOver(42));
    }
    _DataBuffer_t* third = impl->getDataBuffer(0, nullptr);
    ASSERT_NE(third, nullptr);
    EXPECT_NE(second, third);
    EXPECT_EQ(second->m_iLen, 7);
    EXPECT_EQ(third->m_iLen, 8);
    EXPECT_EQ(impl->releaseDataBuffer(second), 0);
    EXPECT_NE(poolInUse(), 0u) << "the third is still lent";
    // The third is still lent when the reader goes: it goes back with it.
    impl.reset();
    EXPECT_TRUE(poolDrained());
}

// A socket medium's packages are this process's memory: every way a reader gives one back (read,
// a refused read, a loan's release, the queue's drop, a channel's STOP, the reader's end) goes
// through the handle it came in, straight to its data buffer, and never searches the registry of
// pool mappings.
class SocketPackagesNsTest : public DataReaderImplNsTest,
                             public ::testing::WithParamInterface<std::pair<const char*, int>> {};

TEST_P(SocketPackagesNsTest, GoBackWithoutASearchOfTheMappings)
{
    // A topic too long for a socket path goes over UDP.
    ASSERT_TRUE(open(GetParam().first, 2));
    CDataReader* ending = addReader(2);
    ASSERT_NE(ending, nullptr);
    std::vector<ConnParam_t> conns;
    ASSERT_EQ(m_sub->getTransport(m_topicName)->getTopicDataTransParam(m_topicName, &conns), 0);
    ASSERT_EQ(conns.size(), 1u);
    EXPECT_EQ(conns[0].m_param.m_iType, GetParam().second);
    std::atomic<int> delivered{0};
    std::atomic<int> deliveredEnding{0};
    countDeliveries(reader(), &delivered);
    countDeliveries(ending, &deliveredEnding);
    CHeldPkg::countLookups(true);
    const unsigned long lookups = CHeldPkg::addressLookups();

    for (uint32_t seq = 0; seq < 3; ++seq) {
        ASSERT_EQ(writeMessage(100, seq), 100);
    }
    ASSERT_TRUE(zqtest::waitUntil([&] { return delivered.load() == 3 && deliveredEnding.load() == 3; }, 10000));
    uint8_t buf[100];
    {
        zqtest::OutputCapture quiet;
        EXPECT_EQ(reader()->read(buf, 10, 0, nullptr), -1) << "too small: given back";
    }
    _DataBuffer_t* loan = reader()->getDataBuffer(0, nullptr);
    ASSERT_NE(loan, nullptr);
    EXPECT_TRUE(pubsub::isMessage(loan->m_pData, 100, 2));
    reader()->releaseDataBuffer(loan);
    ASSERT_EQ(writeMessage(100, 3), 100);
    ASSERT_EQ(writeMessage(100, 4), 100);
    ASSERT_TRUE(zqtest::waitUntil([&] { return delivered.load() == 5 && deliveredEnding.load() == 5; }, 10000));
    ASSERT_EQ(reader()->read(buf, sizeof(buf), 0, nullptr), 100);
    EXPECT_TRUE(pubsub::isMessage(buf, 100, 3));
    // One loan and one queued package end with the reader.
    ASSERT_NE(ending->getDataBuffer(0, nullptr), nullptr);
    removeReader(ending);
    // One queued package goes at the STOP.
    closeWritingSide();
    ASSERT_TRUE(zqtest::waitUntil([&] { return !reader()->isConnect(); }, 10000));
    EXPECT_EQ(reader()->getBufferCount(), 0);
    EXPECT_TRUE(poolDrained());
    EXPECT_EQ(CHeldPkg::addressLookups(), lookups);
}

INSTANTIATE_TEST_SUITE_P(Media, SocketPackagesNsTest,
                         ::testing::Values(std::make_pair("h13_unix_back", static_cast<int>(TRANS_TYPE_UNIX_SOCKET)),
                                           std::make_pair("h13_udp_back_a_topic_name_too_long_for_any_socket_path_"
                                                          "of_the_unix_medium",
                                                          static_cast<int>(TRANS_TYPE_UDP))),
                         [](const ::testing::TestParamInfo<std::pair<const char*, int>>& param) {
                             return std::string(param.param.second == TRANS_TYPE_UDP ? "Udp" : "Unix");
                         });

} // namespace
