// The reading side's pool mapping on its own: a package is found only by the exact start the
// table gives it, and an orphaned mapping stays registered exactly while a package of it is held.
#include "memory/pool_mapping.h"
#include "memory/shm_queue.h"
#include "memory/shm_test_util.h"
#include "support/zqtest.h"
#include "utils/system_utils.h"

#include <atomic>
#include <future>
#include <memory>
#include <vector>

namespace {

// Keys of this file: 0x47060000 + n.
constexpr int kKeyBase = 0x47060000;
constexpr size_t kSegSize = 4096;

class PoolMappingNsTest : public zqtest::NsTest {
protected:
    void TearDown() override { shmtest::removeAllSegments(); }

    // A mapping of its own attachment of a fresh segment, registered as the client registers it.
    std::shared_ptr<CPoolMapping> makeMapping(int key, std::unique_ptr<shmtest::RawSegment>* seg)
    {
        return shmtest::makeRegisteredMapping(key, kSegSize, {{48, 256, 0}, {400, 256, 0}, {1000, 1024, 1}}, seg);
    }
};

TEST_F(PoolMappingNsTest, APackageIsFoundOnlyAtItsExactStart)
{
    std::unique_ptr<shmtest::RawSegment> seg;
    std::shared_ptr<CPoolMapping> mapping = makeMapping(kKeyBase + 1, &seg);
    ASSERT_NE(mapping, nullptr);
    const uint8_t* base = mapping->m_pBase;
    struct Case {
        size_t offset;
        int id;
    };
    const Case cases[] = {{48, 1},  {400, 2},  {1000, 3},  {0, -1},           {47, -1},
                          {49, -1}, {399, -1}, {1001, -1}, {kSegSize - 1, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        auto* p = reinterpret_cast<const DataPackage_t*>(base + c.offset);
        EXPECT_EQ(mapping->idOf(p), c.id);
        EXPECT_EQ(CPoolMapping::findMapping(p).get(), mapping.get()) << "inside the segment";
    }
    EXPECT_EQ(mapping->idOf(reinterpret_cast<const DataPackage_t*>(base + kSegSize)), -1);
    EXPECT_EQ(CPoolMapping::findMapping(base + kSegSize).get(), nullptr);
    EXPECT_EQ(CPoolMapping::findMapping(base - 1).get(), nullptr);
    EXPECT_EQ(mapping->record(0), nullptr);
    EXPECT_EQ(mapping->record(4), nullptr);
    ASSERT_NE(mapping->record(3), nullptr);
    EXPECT_EQ(mapping->record(3)->m_pPkg, reinterpret_cast<const DataPackage_t*>(base + 1000));
    EXPECT_EQ(mapping->capacity(3), 1024);
    CPoolMapping::unregisterMapping(mapping.get());
    EXPECT_EQ(CPoolMapping::findMapping(base + 48).get(), nullptr);
}

TEST_F(PoolMappingNsTest, AnOrphanStaysRegisteredWhileAPackageIsHeldAndDetachesWithItsLastOwner)
{
    std::unique_ptr<shmtest::RawSegment> seg;
    std::shared_ptr<CPoolMapping> mapping = makeMapping(kKeyBase + 2, &seg);
    ASSERT_NE(mapping, nullptr);
    const uint8_t* one = mapping->m_pBase + 48;
    mapping->refer(1);
    mapping->refer(1);
    mapping->refer(2);
    mapping->letGo();
    mapping->letGo(); // a second time changes nothing
    EXPECT_EQ(CPoolMapping::findMapping(one).get(), mapping.get()) << "packages are held";
    mapping->release(1);
    mapping->release(1);
    EXPECT_EQ(CPoolMapping::findMapping(one).get(), mapping.get()) << "number 2 is still held";
    // A release nobody is holding for changes nothing, above all not the held count.
    mapping->release(1);
    EXPECT_EQ(mapping->record(1)->m_iRefCount.load(), 0);
    EXPECT_EQ(CPoolMapping::findMapping(one).get(), mapping.get()) << "number 2 is still held";
    mapping->release(2);
    EXPECT_EQ(CPoolMapping::findMapping(one).get(), nullptr) << "last holder gone";
    EXPECT_EQ(mapping->m_lHeld.load(), 0);
    EXPECT_EQ(seg->attachCount(), 2u);
    mapping.reset();
    EXPECT_EQ(seg->attachCount(), 1u) << "the mapping detached its own attachment";
}

// The writer takes the returns that filled the ring (its take wakes the reader's queue thread,
// which finds nothing pending and sleeps again) just before the next return, refused by that full
// ring, is listed: the listing itself wakes the thread, which posts the number at once. The thread
// sleeps a minute otherwise, so the return would not come within the test's deadline.
TEST_F(PoolMappingNsTest, AReturnListedAfterTheWritersTakeWakesThePostingThread)
{
    std::unique_ptr<shmtest::RawSegment> seg;
    std::shared_ptr<CPoolMapping> mapping = makeMapping(kKeyBase + 3, &seg);
    ASSERT_NE(mapping, nullptr);
    const int queueKey = kKeyBase + 4;
    // The writer takes the first return, then waits at the gate.
    shmtest::Collector returns;
    std::promise<void> firstTaken;
    std::promise<void> open;
    std::shared_future<void> gate = open.get_future().share();
    bool opened = false;
    auto openGate = [&] {
        if (!opened) {
            opened = true;
            open.set_value();
        }
    };
    zqtest::ScopeExit openAtEnd(openGate);
    bool first = true;
    CShmQueque writer;
    ASSERT_TRUE(writer.init(queueKey, 0, [&](int, int id) {
        returns.add(id);
        if (first) {
            first = false;
            firstTaken.set_value();
            gate.wait();
        }
    }));
    writer.setEnable(true);
    shmtest::RawSegment ring(queueKey);
    ASSERT_TRUE(ring.ok());

    // The reading end as the client sets it up, with a thread that sleeps long.
    CPoolMapping* mp = mapping.get();
    std::atomic<int> passes{0};
    mp->m_pQueue = std::make_unique<CShmQueque>();
    mp->m_pQueue->setWaitMs(60000);
    mp->m_pQueue->setPassTask([mp, &passes](bool final) {
        passes.fetch_add(1);
        return mp->flushPending(final);
    });
    bool hooked = false;
    bool taken = false;
    bool asleep = false;
    mp->m_fnOnFull = [&](int) {
        if (hooked) {
            return;
        }
        hooked = true;
        openGate();
        taken = returns.waitCount(3, 10000);
        // The take that emptied the full ring woke the thread; that wake-up is made certain here
        // (it may land while the thread still looks at its ring). The thread then makes its pass,
        // finds nothing pending, and registers as a sleeper again.
        const int before = passes.load();
        mp->m_pQueue->wake();
        asleep = zqtest::waitUntil([&] { return passes.load() > before && ring.intAt(52) == 1; }, 10000);
    };
    ASSERT_TRUE(mp->m_pQueue->init(queueKey, 1, [](int, int) {}));
    zqtest::ScopeExit stopReader([mp] { mp->m_pQueue->deinit(); });

    for (int id : {1, 2, 3}) {
        mapping->refer(id);
    }
    mapping->release(1);
    firstTaken.get_future().wait();
    zqtest::OutputCapture quiet;
    mapping->release(2);
    mapping->release(3); // the ring is full now
    mapping->refer(1);
    mapping->release(1); // refused by the full ring, listed after the writer's take
    quiet.stop();
    EXPECT_TRUE(hooked);
    EXPECT_TRUE(taken);
    EXPECT_TRUE(asleep);
    EXPECT_TRUE(returns.waitCount(4, 10000)) << "the pending return waits for the thread's timeout";
    EXPECT_EQ(returns.values(), (std::vector<int>{1, 2, 3, 1}));
    CPoolMapping::unregisterMapping(mp);
}

} // namespace
