// The shared-memory data receiver against a writing side in this process: init on type 3 only,
// a failed init that leaves nothing attached, delivery in place and the return of each number,
// FIFOs, and packages given back while and after the receiver goes down.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "core/transport/media/share_memory_receiver.h"
#include "core/transport/media/shm_medium_fixture.h"
#include "memory/datafifo.h"
#include "memory/pool_mapping.h"
#include "memory/shm_client.h"

namespace {

// Keys of this file: 0x53320000 + n.
constexpr int kKeyBase = 0x53320000;

using shmmedium::Holder;
using shmmedium::Writer;

std::string keysLine(const char* text, int poolKey, int queueKey)
{
    char line[128];
    std::snprintf(line, sizeof(line), "%s mem pool key: %#x, queue key: %#x", text, static_cast<unsigned>(poolKey),
                  static_cast<unsigned>(queueKey));
    return line;
}

class ShareMemoryReceiverNsTest : public zqtest::NsTest {
protected:
    void TearDown() override { shmtest::removeAllSegments(); }

    // The writing side of one channel with its queue key.
    bool openWriter(int poolKey, int queueKey)
    {
        m_writer = std::make_unique<Writer>(poolKey);
        m_queueKey = queueKey;
        if (!m_writer->ok() || !m_writer->sender().init()) {
            return false;
        }
        TransParam_t param = m_writer->param(queueKey);
        zqtest::OutputCapture quiet;
        return m_writer->sender().addConn(1, param);
    }

    TransParam_t param() { return m_writer->param(m_queueKey); }

    // True when `p` lies in a mapping of this process other than the writer's.
    bool inReaderMapping(const void* p)
    {
        auto* base = static_cast<const uint8_t*>(m_writer->pool().getMemAddr());
        auto* byte = static_cast<const uint8_t*>(p);
        std::shared_ptr<CPoolMapping> mapping = CPoolMapping::findMapping(p);
        return mapping != nullptr && mapping->idOf(static_cast<const DataPackage_t*>(p)) > 0 &&
               !(byte >= base && byte < base + m_writer->pool().getMemSize());
    }

    std::unique_ptr<Writer> m_writer;
    int m_queueKey{-1};
};

TEST_F(ShareMemoryReceiverNsTest, InitTakesOnlyTypeThreeAndAFailureLeavesNothing)
{
    ASSERT_TRUE(openWriter(kKeyBase + 1, kKeyBase + 2));
    const int threads = zqtest::baselineThreads();
    CShareMemoryReceiver rx("s1_rx", nullptr);
    for (int type : {0, 1, 2, 4, 7}) {
        TransParam_t other = param();
        other.m_iType = type;
        zqtest::OutputCapture capture;
        EXPECT_FALSE(rx.init(other)) << type;
        capture.stop();
        EXPECT_EQ(capture.out(), "") << type;
    }

    // Keys that name no segment, and a layout larger than the pool segment.
    TransParam_t noPool = param();
    noPool.m_shmParam.m_iMemPoolKey = kKeyBase + 3;
    TransParam_t noQueue = param();
    noQueue.m_shmParam.m_iQueueKey = kKeyBase + 4;
    TransParam_t tooLarge = param();
    tooLarge.m_shmParam.m_layout.m_stGroup[1].m_iChunkCount = 3;
    for (TransParam_t* bad : {&noPool, &noQueue, &tooLarge}) {
        CShareMemoryReceiver failed("s1_rx", nullptr);
        zqtest::OutputCapture capture;
        EXPECT_FALSE(failed.init(*bad));
        capture.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(
            capture.out(), "32",
            keysLine("Init share memory client failed!", bad->m_shmParam.m_iMemPoolKey, bad->m_shmParam.m_iQueueKey)))
            << capture.out();
        EXPECT_FALSE(failed.isInit());
        EXPECT_EQ(failed.getFps(), -1);
        EXPECT_EQ(shmmedium::attachCount(m_writer->pool().getMemKey()), 1u) << "only the writer's mapping";
        EXPECT_EQ(shmmedium::attachCount(m_queueKey), 1u);
    }
    EXPECT_EQ(zqtest::threadsSettleAt(threads), threads);

    zqtest::OutputCapture capture;
    TransParam_t good = param();
    ASSERT_TRUE(rx.init(good));
    EXPECT_FALSE(rx.init(good)) << "initialised already";
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32",
                                   keysLine("Init share memory client,", m_writer->pool().getMemKey(), m_queueKey)))
        << capture.out();
    EXPECT_EQ(shmmedium::attachCount(m_queueKey), 2u);
    EXPECT_GE(rx.getFps(), 0);
    EXPECT_EQ(rx.getLostPkgCount(), 0u);
    rx.recvTask(); // returns at once
    rx.deinit();
    EXPECT_EQ(rx.getFps(), -1);
    EXPECT_EQ(rx.registerDataCallBack([](int, DataPackage_t*) { return -1; }), -1) << "no client";
    EXPECT_EQ(shmmedium::attachCount(m_writer->pool().getMemKey()), 1u);
    EXPECT_EQ(shmmedium::attachCount(m_queueKey), 1u);
    EXPECT_EQ(zqtest::threadsSettleAt(threads), threads);
}

TEST_F(ShareMemoryReceiverNsTest, DeliversInPlaceAndReturnsWhatItIsGivenBack)
{
    ASSERT_TRUE(openWriter(kKeyBase + 10, kKeyBase + 11));
    Holder held; // before the receiver, whose thread calls back into it
    CShareMemoryReceiver rx("s1_rx", nullptr);
    TransParam_t p = param();
    ASSERT_TRUE(rx.init(p));
    EXPECT_EQ(rx.registerDataCallBack([&](int, DataPackage_t* pkg) { return held.keep(pkg); }), 1);
    ASSERT_NE(m_writer->publish("zero-copy"), nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return held.count() == 1; }, 10000));
    ASSERT_NE(m_writer->publish("second"), nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return held.count() == 2; }, 10000));
    // The package lies in this receiver's mapping of the writer's segment, not in a copy.
    EXPECT_TRUE(inReaderMapping(held.at(0)));
    EXPECT_STREQ(reinterpret_cast<const char*>(pkgData(held.at(0)) + 34), "zero-copy");
    EXPECT_EQ(m_writer->sender().getInFlightCount(1), 2u);
    EXPECT_EQ(m_writer->freeChunks(1), 2);

    rx.putEmptyDataPkg(held.at(0));
    rx.putEmptyDataPkg(nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_writer->sender().getInFlightCount(1) == 1; }, 10000));
    rx.putEmptyDataPkg(held.at(1));
    EXPECT_TRUE(m_writer->full());
    EXPECT_EQ(m_writer->sender().getInFlightCount(1), 0u);

    // Unregistered: numbers go straight back.
    rx.unregisterDataCallBack(1);
    ASSERT_NE(m_writer->publish("unheld"), nullptr);
    EXPECT_TRUE(m_writer->full());
    EXPECT_EQ(held.count(), 2u);
    rx.deinit();
}

TEST_F(ShareMemoryReceiverNsTest, FifoTakesPackagesAndOutlivesDeinit)
{
    ASSERT_TRUE(openWriter(kKeyBase + 20, kKeyBase + 21));
    auto rx = std::make_unique<CShareMemoryReceiver>("s1_rx", nullptr);
    TransParam_t p = param();
    ASSERT_TRUE(rx->init(p));
    CDataFifo* fifo = rx->createDataFifo(FIFO_POLICY_DROP_OLDEST, 2);
    ASSERT_NE(fifo, nullptr);
    ASSERT_NE(m_writer->publish("a"), nullptr);
    DataPackage_t* got = fifo->getDataPackage(10000);
    ASSERT_NE(got, nullptr);
    EXPECT_TRUE(inReaderMapping(got));
    EXPECT_STREQ(reinterpret_cast<const char*>(pkgData(got) + 34), "a");
    fifo->releaseDataPackage(got);
    EXPECT_TRUE(m_writer->full());

    // Two queued in the FIFO when the receiver goes down.
    ASSERT_NE(m_writer->publish("b"), nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return fifo->getCount() == 1u; }, 10000));
    ASSERT_NE(m_writer->publish("c"), nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return fifo->getCount() == 2u; }, 10000));
    rx->deinit();
    EXPECT_EQ(rx->createDataFifo(FIFO_POLICY_DROP_OLDEST, 2), nullptr) << "no client";
    // The FIFO's client is still there, and so is the mapping its packages lie in.
    EXPECT_EQ(shmmedium::attachCount(m_writer->pool().getMemKey()), 2u);
    rx->destroyDataFifo(fifo);
    EXPECT_EQ(shmmedium::attachCount(m_writer->pool().getMemKey()), 1u);
    // The writer takes them back when the connection goes.
    EXPECT_TRUE(m_writer->sender().delConn(1));
    EXPECT_TRUE(m_writer->full());
    rx.reset();
}

TEST_F(ShareMemoryReceiverNsTest, PackagesGivenBackWhileAndAfterDeinitAreSafe)
{
    ASSERT_TRUE(openWriter(kKeyBase + 30, kKeyBase + 31));
    const int poolKey = m_writer->pool().getMemKey();
    for (int round = 0; round < 20; ++round) {
        Holder held; // before the receiver, whose thread calls back into it
        auto rx = std::make_unique<CShareMemoryReceiver>("s1_rx", nullptr);
        TransParam_t p = param();
        auto quiet = std::make_unique<zqtest::OutputCapture>();
        ASSERT_TRUE(rx->init(p));
        quiet.reset();
        rx->registerDataCallBack([&](int, DataPackage_t* pkg) { return held.keep(pkg); });
        // One at a time: the notification ring holds two numbers.
        for (size_t i = 0; i < 4; ++i) {
            ASSERT_NE(m_writer->publish("m" + std::to_string(i)), nullptr);
            ASSERT_TRUE(zqtest::waitUntil([&] { return held.count() == i + 1; }, 10000));
        }

        // Application threads give back while the control thread takes the receiver down.
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([&, i] {
                while (!go.load()) {
                    std::this_thread::yield();
                }
                rx->putEmptyDataPkg(held.at(static_cast<size_t>(i)));
            });
        }
        go.store(true);
        rx->deinit();
        for (std::thread& t : threads) {
            t.join();
        }
        quiet = std::make_unique<zqtest::OutputCapture>();
        // Every holder let go: this process's mapping is gone, the receiver may go too.
        EXPECT_EQ(shmmedium::attachCount(poolKey), 1u) << round;
        rx.reset();
        // Whatever did not get back before the queue closed, the writer takes back with the
        // connection; a new connection under the same key follows.
        ASSERT_TRUE(m_writer->sender().delConn(1));
        TransParam_t again = param();
        ASSERT_TRUE(m_writer->sender().addConn(1, again));
        quiet.reset();
        EXPECT_TRUE(m_writer->full()) << round;
    }
}

} // namespace
