// Shared-memory server over a real shared-memory pool: the reference table with two readers,
// double and forged returns, detaching with numbers in flight, foreign packages, a reader
// process killed mid-stream, and packages end to end into a client.
#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"
#include "memory/shm_client.h"
#include "memory/shm_layout.h"
#include "memory/shm_mem_pool.h"
#include "memory/shm_queue.h"
#include "memory/shm_server.h"
#include "memory/shm_test_util.h"
#include "support/zqtest.h"

#include <gtest/gtest-spi.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sched.h>

namespace {

// Keys of this file: 0x47020000 + n.
constexpr int kKeyBase = 0x47020000;

using shmtest::Collector;
using shmtest::RawSegment;

MemConfig_t poolCfg(int key, int chunkSize, int count)
{
    MemConfig_t cfg{};
    cfg.m_iKey = key;
    cfg.m_u32MaxPoolSize = 0x400000;
    cfg.m_stGroup[0] = {0, chunkSize, count};
    cfg.m_iGroupCount = 1;
    return cfg;
}

// The writer's side of a topic: a pool, its data manager and the server.
class Writer : public shmtest::PoolWriter {
public:
    Writer(int poolKey, int chunkSize, int count) : PoolWriter(poolCfg(poolKey, chunkSize, count))
    {
        m_server = std::make_unique<CShmServer>(&m_dm);
        m_ok = m_ok && m_server->init(m_pool.getMemAddr(), m_pool.getMemLayout());
    }
    ~Writer() { m_server.reset(); }

    CShmServer& server() { return *m_server; }

private:
    std::unique_ptr<CShmServer> m_server;
};

// Runs `steps` with the output going to `cap`, then stops it and reports what failed in them: a
// failure printed while the output is captured would be lost. False after a fatal one.
bool underCapture(zqtest::OutputCapture& cap, const std::function<void()>& steps)
{
    ::testing::TestPartResultArray failures;
    {
        ::testing::ScopedFakeTestPartResultReporter hold(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        steps();
    }
    cap.stop();
    bool fatal = false;
    for (int i = 0; i < failures.size(); ++i) {
        const ::testing::TestPartResult& f = failures.GetTestPartResult(i);
        ADD_FAILURE_AT(f.file_name() != nullptr ? f.file_name() : "?", f.line_number()) << f.message();
        fatal = fatal || f.fatally_failed();
    }
    return !fatal;
}

class ShmServerNsTest : public zqtest::NsTest {
protected:
    void TearDown() override { shmtest::removeAllSegments(); }
};

// A reader's queue end driven by the test: it records what arrives and returns what it is told.
struct TestReader {
    explicit TestReader(int key) : m_key(key) {}
    bool start()
    {
        if (!m_que.init(m_key, 1, [this](int, int id) { m_got.add(id); })) {
            return false;
        }
        m_que.setEnable(true);
        m_ring = std::make_unique<RawSegment>(m_key);
        return m_ring->ok();
    }
    // Returns one number and waits until the writer has taken it out of the ring.
    bool giveBack(int id)
    {
        return m_que.post(id, 0) && zqtest::waitUntil([&] { return m_ring->intAt(80 + 4) == 0; }, 5000);
    }

    int m_key;
    Collector m_got;
    CShmQueque m_que;
    std::unique_ptr<RawSegment> m_ring;
};

TEST_F(ShmServerNsTest, ReferenceTableCountsEachReaderOnceAndIgnoresForeignReturns)
{
    Writer w(kKeyBase + 1, 256, 2);
    ASSERT_TRUE(w.ok());
    const int keyA = kKeyBase + 2;
    const int keyB = kKeyBase + 3;
    zqtest::OutputCapture attachCap;
    ASSERT_TRUE(underCapture(attachCap, [&] {
        ASSERT_TRUE(w.server().attachQueue(keyA));
        ASSERT_TRUE(w.server().attachQueue(keyB));
    }));
    EXPECT_TRUE(zqtest::hasDdsLine(attachCap.out(), "32", "Attach share memory queue 0x47020002"));
    TestReader a(keyA);
    TestReader b(keyB);
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());

    DataPackage_t* p = w.publish("first");
    ASSERT_NE(p, nullptr);
    const int k = p->m_iPkgId;
    ASSERT_TRUE(a.m_got.waitCount(1, 5000));
    ASSERT_TRUE(b.m_got.waitCount(1, 5000));
    EXPECT_EQ(a.m_got.values(), (std::vector<int>{k}));
    EXPECT_EQ(b.m_got.values(), (std::vector<int>{k}));
    // One chunk reference for the whole distribution, one in-flight entry per reader.
    ASSERT_TRUE(zqtest::waitUntil([&] { return w.server().getInFlightCount(keyB) == 1; }, 5000));
    EXPECT_EQ(w.refCount(p), 1);
    EXPECT_EQ(w.server().getInFlightCount(keyA), 1u);

    zqtest::OutputCapture cap;
    DataPackage_t* p2 = nullptr;
    int k2 = 0;
    ASSERT_TRUE(underCapture(cap, [&] {
        ASSERT_TRUE(a.giveBack(k));
        ASSERT_TRUE(zqtest::waitUntil([&] { return w.server().getInFlightCount(keyA) == 0; }, 5000));
        EXPECT_EQ(w.refCount(p), 1) << "still held for B";

        // A returns it again and returns numbers it never got: none of it touches B's reference.
        ASSERT_TRUE(a.giveBack(k));
        ASSERT_TRUE(a.giveBack(999));
        ASSERT_TRUE(a.giveBack(0));
        p2 = w.publish("second");
        ASSERT_NE(p2, nullptr);
        k2 = p2->m_iPkgId;
        EXPECT_NE(k2, k);
        ASSERT_TRUE(a.m_got.waitCount(2, 5000));
        ASSERT_TRUE(a.giveBack(k2));
        // k2 passed the same thread after the forged returns, so they have all been handled.
        ASSERT_TRUE(zqtest::waitUntil([&] { return w.server().getInFlightCount(keyA) == 0; }, 5000));
        ASSERT_TRUE(b.m_got.waitCount(2, 5000));
        EXPECT_EQ(w.refCount(p), 1);
        EXPECT_EQ(w.refCount(p2), 1);
        EXPECT_EQ(w.freeChunks(100), 0);

        ASSERT_TRUE(b.giveBack(k));
        ASSERT_TRUE(b.giveBack(k2));
        // A count of 0 comes a moment before the chunk is on its free list: wait for the chunks.
        ASSERT_TRUE(zqtest::waitUntil([&] { return w.freeChunks(100) == 2; }, 5000));
    }));
    EXPECT_EQ(w.refCount(p), 0);
    EXPECT_EQ(w.refCount(p2), 0);
    EXPECT_EQ(w.server().getInFlightCount(keyB), 0u);
    for (int id : {k, 999, 0}) {
        char text[96];
        snprintf(text, sizeof(text), "Queue 0x47020002 returned pkg %d which it does not hold!", id);
        EXPECT_EQ(zqtest::countDdsLines(cap.out(), "32", text), 1) << id;
    }

    // A second attach of a key is refused and the first queue keeps working.
    EXPECT_FALSE(w.server().attachQueue(keyA));
    EXPECT_FALSE(w.server().attachQueue(-1));
    DataPackage_t* p3 = w.publish("third");
    ASSERT_NE(p3, nullptr);
    ASSERT_TRUE(a.m_got.waitCount(3, 5000));
}

TEST_F(ShmServerNsTest, DetachTakesBackWhatIsInFlight)
{
    Writer w(kKeyBase + 4, 128, 4);
    ASSERT_TRUE(w.ok());
    const int key = kKeyBase + 5;
    ASSERT_TRUE(w.server().attachQueue(key));
    TestReader r(key);
    ASSERT_TRUE(r.start());
    for (int n = 1; n <= 2; ++n) {
        ASSERT_NE(w.publish("m" + std::to_string(n)), nullptr);
        ASSERT_TRUE(r.m_got.waitCount(static_cast<size_t>(n), 5000));
    }
    ASSERT_TRUE(zqtest::waitUntil([&] { return w.server().getInFlightCount(key) == 2; }, 5000));
    EXPECT_EQ(w.freeChunks(100), 2);
    EXPECT_GE(w.server().getFps(), 0);

    zqtest::OutputCapture cap;
    ASSERT_TRUE(underCapture(cap, [&] {
        EXPECT_TRUE(w.server().detachQueue(key));
        EXPECT_FALSE(w.server().detachQueue(key));
    }));
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "Detach share memory queue 0x47020005"));
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "33", "Warning: Queue 0x47020005 left 2 mem blocks!!!"));
    EXPECT_EQ(w.freeChunks(100), 4);
    EXPECT_FALSE(shmtest::keyExists(key));

    // The reader still has its mapping; its late return is refused on its side.
    zqtest::OutputCapture late;
    ASSERT_TRUE(underCapture(late, [&] { EXPECT_FALSE(r.m_que.post(r.m_got.values()[0], 0)); }));
    EXPECT_TRUE(zqtest::hasDdsLine(late.out(), "32", "Queue 0x47020005 is not enable!"));
}

TEST_F(ShmServerNsTest, PackagesNoQueueTookGoBackAtOnce)
{
    Writer w(kKeyBase + 6, 128, 2);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w.server().getFps(), 0);
    DataPackage_t* p = w.publish("nobody");
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return w.freeChunks(100) == 2; }, 5000));
    EXPECT_EQ(w.refCount(p), 0);

    // A reader that is attached but not listening misses the package; nothing stays counted.
    const int key = kKeyBase + 7;
    ASSERT_TRUE(w.server().attachQueue(key));
    zqtest::OutputCapture cap;
    DataPackage_t* q = nullptr;
    ASSERT_TRUE(underCapture(cap, [&] {
        q = w.publish("unheard");
        ASSERT_NE(q, nullptr);
        ASSERT_TRUE(zqtest::waitUntil([&] { return w.freeChunks(100) == 2; }, 5000));
    }));
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "Queue 0x47020007 is not enable!"));
    EXPECT_EQ(w.refCount(q), 0);
    EXPECT_EQ(w.server().getInFlightCount(key), 0u);

    CShmServer idle(&w.dm());
    EXPECT_EQ(idle.getFps(), -1);
    EXPECT_FALSE(idle.init(nullptr, w.pool().getMemLayout()));
    CShmServer none(nullptr);
    EXPECT_FALSE(none.init(w.pool().getMemAddr(), w.pool().getMemLayout()));

    // The table is the data manager's pool's: a server told of another segment or layout, or
    // whose data manager has a pool in process memory, does not start.
    MemPoolLayout_t other = w.pool().getMemLayout();
    other.m_stGroup[0].m_iChunkCount += 1;
    CNormalMemPool heap;
    ASSERT_TRUE(heap.init(poolCfg(-1, 128, 2)));
    CDataManager heapDm;
    heapDm.setMemPool(&heap);
    struct Case {
        const char* name;
        CDataManager* dm;
        void* base;
        MemPoolLayout_t layout;
    };
    auto* base = static_cast<uint8_t*>(w.pool().getMemAddr());
    for (const Case& c :
         {Case{"other layout", &w.dm(), base, other}, Case{"other base", &w.dm(), base + 8, w.pool().getMemLayout()},
          Case{"pool in process memory", &heapDm, base, w.pool().getMemLayout()}}) {
        CShmServer refused(c.dm);
        zqtest::OutputCapture refusedCap;
        EXPECT_FALSE(refused.init(c.base, c.layout)) << c.name;
        refusedCap.stop();
        char line[64];
        snprintf(line, sizeof(line), "Error: invalid share memory pool layout at %p!", c.base);
        EXPECT_TRUE(zqtest::hasDdsLine(refusedCap.out(), "31", line)) << c.name << refusedCap.out();
        EXPECT_FALSE(refused.isRunning()) << c.name;
    }
}

TEST_F(ShmServerNsTest, AReaderWithAFullRingMissesOnlyWhatArrivesMeanwhile)
{
    Writer w(kKeyBase + 18, 128, 4);
    ASSERT_TRUE(w.ok());
    const int key = kKeyBase + 19;
    ASSERT_TRUE(w.server().attachQueue(key));
    // A reader that enabled its ring and then stopped taking.
    RawSegment ring(key);
    ASSERT_TRUE(ring.ok());
    ring.setByte(0, 1);
    for (int n = 1; n <= 2; ++n) {
        ASSERT_NE(w.publish("kept"), nullptr);
        ASSERT_TRUE(
            zqtest::waitUntil([&] { return w.server().getInFlightCount(key) == static_cast<size_t>(n); }, 5000));
    }
    zqtest::OutputCapture cap;
    int missedId = -1;
    ASSERT_TRUE(underCapture(cap, [&] {
        DataPackage_t* missed = w.publish("missed");
        ASSERT_NE(missed, nullptr);
        missedId = missed->m_iPkgId;
        ASSERT_TRUE(zqtest::waitUntil([&] { return w.refCount(missed) == 0; }, 5000));
    }));
    EXPECT_TRUE(
        zqtest::hasDdsLine(cap.out(), "33", "Warning: Queue 0x47020013 post " + std::to_string(missedId) + " failed!"));
    EXPECT_EQ(w.server().getInFlightCount(key), 2u);

    // The reader takes one: the next package reaches it again.
    const int head = ring.intAt(12);
    ring.setInt(12, (head + 1) % 2);
    ring.setInt(4, 1);
    ASSERT_NE(w.publish("again"), nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return w.server().getInFlightCount(key) == 3; }, 5000));
    EXPECT_EQ(ring.intAt(4), 2);
}

TEST_F(ShmServerNsTest, BurstThatFitsTheSendQueueReachesAReaderThatKeepsTaking)
{
    // The ring holds two numbers; a reader whose thread takes them as they come must still get
    // every package of a burst written faster than its thread wakes.
    Writer w(kKeyBase + 40, 128, 16);
    ASSERT_TRUE(w.ok());
    const int key = kKeyBase + 41;
    ASSERT_TRUE(w.server().attachQueue(key));
    TestReader reader(key);
    ASSERT_TRUE(reader.start());
    zqtest::OutputCapture cap;
    const int burst = 8; // the send queue's depth
    ASSERT_TRUE(underCapture(cap, [&] {
        for (int n = 0; n < burst; ++n) {
            ASSERT_NE(w.publish("burst"), nullptr);
        }
        EXPECT_TRUE(reader.m_got.waitCount(burst, 5000));
    }));
    EXPECT_EQ(reader.m_got.size(), static_cast<size_t>(burst));
    EXPECT_EQ(cap.out().find("failed!"), std::string::npos) << cap.out();
    EXPECT_EQ(w.server().getInFlightCount(key), static_cast<size_t>(burst));
}

// A reader that gives every number back from its receive thread the moment it arrives, so a
// return can reach the writer before its post() call is back. Each number must come back through
// the in-flight table: listed before it is posted, it is never "returned but not held".
TEST_F(ShmServerNsTest, NumbersReturnedBeforeThePostIsBackAreAllTakenBack)
{
    Writer w(kKeyBase + 60, 128, 8);
    ASSERT_TRUE(w.ok());
    const int key = kKeyBase + 61;
    ASSERT_TRUE(w.server().attachQueue(key));
    std::atomic<int> echoed{0};
    std::atomic<int> refused{0};
    CShmQueque reader;
    ASSERT_TRUE(reader.init(key, 1, [&](int, int id) {
        // The writer's ring holds two numbers: its return thread takes them as they come.
        bool back = false;
        for (int tries = 0; !back && tries < 100000; ++tries) {
            back = reader.post(id, 0);
            if (!back) {
                sched_yield();
            }
        }
        (back ? echoed : refused).fetch_add(1);
    }));
    zqtest::ScopeExit stopReader([&] { reader.deinit(); });
    reader.setEnable(true);

    zqtest::OutputCapture cap;
    const int total = 20000;
    int published = 0;
    // Eight chunks: a lost return would use them up and stop the loop early.
    while (published < total && zqtest::waitUntil([&] { return w.publish("s") != nullptr; }, 10000)) {
        ++published;
    }
    const bool settled =
        zqtest::waitUntil([&] { return w.server().getInFlightCount(key) == 0 && w.freeChunks(100) == 8; }, 10000);
    cap.stop();
    EXPECT_EQ(published, total) << "every chunk is held";
    EXPECT_TRUE(settled) << "in flight " << w.server().getInFlightCount(key) << ", free chunks " << w.freeChunks(100);
    EXPECT_GT(echoed.load(), 0);
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(cap.out().find("which it does not hold"), std::string::npos) << cap.out().substr(0, 2000);
}

// A reader whose thread is held in its callback keeps its ring full: the fast reader still gets
// every package of every burst (as it would alone), the slow one gets what its ring took before
// it stopped, and queues are attached and detached meanwhile. The fast reader's thread only takes:
// had it also returned each number, waiting for room in the return ring, a busy CPU would have
// kept it from taking for longer than the writer waits for a full ring.
TEST_F(ShmServerNsTest, AReaderThatStopsTakingDelaysNobodyElse)
{
    Writer w(kKeyBase + 50, 128, 64);
    ASSERT_TRUE(w.ok());
    const int fastKey = kKeyBase + 51;
    const int slowKey = kKeyBase + 52;
    ASSERT_TRUE(w.server().attachQueue(fastKey));
    ASSERT_TRUE(w.server().attachQueue(slowKey));
    Collector fast;
    CShmQueque fastQue;
    ASSERT_TRUE(fastQue.init(fastKey, 1, [&](int, int id) { fast.add(id); }));
    fastQue.setEnable(true);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    Collector slow;
    CShmQueque slowQue;
    ASSERT_TRUE(slowQue.init(slowKey, 1, [&](int, int id) {
        slow.add(id);
        released.wait();
    }));
    slowQue.setEnable(true);
    // Lets the slow reader's thread go before its queue is torn down, whatever happens below.
    std::once_flag once;
    auto letGo = [&] { std::call_once(once, [&] { release.set_value(); }); };
    std::unique_ptr<void, std::function<void(void*)>> guard(&once, [&](void*) { letGo(); });

    zqtest::OutputCapture cap;
    ASSERT_TRUE(underCapture(cap, [&] {
        const int bursts = 20;
        const int burst = 8; // the distribution FIFO's depth
        for (int b = 0; b < bursts; ++b) {
            for (int n = 0; n < burst; ++n) {
                ASSERT_NE(w.publish("burst"), nullptr) << b << " " << n;
            }
            ASSERT_TRUE(fast.waitCount(static_cast<size_t>((b + 1) * burst), 10000)) << b;
            // Each burst also attaches and detaches a queue while the slow ring is full.
            ASSERT_TRUE(w.server().attachQueue(kKeyBase + 53));
            ASSERT_TRUE(w.server().detachQueue(kKeyBase + 53));
            // The fast reader returns the burst from here, not from its thread: that thread only
            // takes, so its takes wait on nothing but its own wake-up.
            const std::vector<int> got = fast.values();
            for (size_t i = static_cast<size_t>(b * burst); i < got.size(); ++i) {
                CShmQueque::PostRet_e ret = CShmQueque::POST_FULL;
                ASSERT_TRUE(zqtest::waitUntil(
                    [&] { return (ret = fastQue.postRet(got[i], false)) != CShmQueque::POST_FULL; }, 10000));
                ASSERT_EQ(ret, CShmQueque::POST_OK);
            }
            // Only the slow reader's numbers are held.
            ASSERT_TRUE(zqtest::waitUntil([&] { return w.server().getInFlightCount(fastKey) == 0; }, 10000));
        }
        EXPECT_EQ(fast.size(), static_cast<size_t>(bursts * burst));
        // The slow reader's thread took one and holds it; one more waits in its ring.
        EXPECT_EQ(slow.size(), 1u);
        letGo();
        slowQue.setEnable(false);
        slowQue.deinit();
        fastQue.setEnable(false);
        fastQue.deinit();
    }));
}

TEST_F(ShmServerNsTest, ForgedNumbersDoNotChangeWhatIsPostedAndOtherPoolsPackagesNeverAre)
{
    Writer w(kKeyBase + 8, 128, 2);
    ASSERT_TRUE(w.ok());
    const int key = kKeyBase + 9;
    ASSERT_TRUE(w.server().attachQueue(key));
    TestReader r(key);
    ASSERT_TRUE(r.start());

    // Its number rewritten in the segment by someone else: the writer posts the number it knows
    // for that chunk, not the one the segment says.
    DataPackage_t* forged = w.dm().getEmptyDataPkg(100, 0);
    ASSERT_NE(forged, nullptr);
    const int own = forged->m_iPkgId;
    const int fake = own == 1 ? 2 : 1;
    forged->m_iPkgId = fake;
    forged->m_iLen = 40;
    CNormalMemPool heap;
    MemChunk_t* chunk = nullptr;
    DataPackage_t* good = nullptr;
    zqtest::OutputCapture cap;
    ASSERT_TRUE(underCapture(cap, [&] {
        w.dm().putFullDataPkg(forged, forged->m_iLen);
        ASSERT_TRUE(r.m_got.waitCount(1, 5000));
        EXPECT_EQ(r.m_got.values(), (std::vector<int>{own}));
        ASSERT_TRUE(r.giveBack(own));
        ASSERT_TRUE(zqtest::waitUntil([&] { return w.refCount(forged) == 0; }, 5000));
        // A package of a process-memory pool reaching this data manager.
        MemConfig_t heapCfg = poolCfg(-1, 256, 4);
        ASSERT_TRUE(heap.init(heapCfg));
        chunk = heap.getMemChunk(100);
        ASSERT_NE(chunk, nullptr);
        chunk->m_stPkg.m_iPkgId = 1;
        w.dm().putFullDataPkg(&chunk->m_stPkg, chunk->m_stPkg.m_iLen);
        // A good package after it: once it arrives, the heap package was handled.
        good = w.publish("good");
        ASSERT_NE(good, nullptr);
        ASSERT_TRUE(r.m_got.waitCount(2, 5000));
        // Through the in-flight table, which the distribution thread wrote after it let the heap
        // package go (the rings alone are mapped twice here, which the race checker cannot follow).
        ASSERT_TRUE(zqtest::waitUntil([&] { return w.server().getInFlightCount(key) == 1; }, 5000));
    }));
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(r.m_got.values(), (std::vector<int>{own, good->m_iPkgId}));
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "32", "Can't find pkg 1 !!!"), 1);
    heap.releaseMemChunk(chunk);
}

TEST_F(ShmServerNsTest, KilledReaderProcessGivesEverythingBack)
{
    const int poolKey = kKeyBase + 10;
    const int queueKey = kKeyBase + 11;
    {
        Writer w(poolKey, 1024, 4);
        ASSERT_TRUE(w.ok());
        ASSERT_TRUE(w.server().attachQueue(queueKey));
        std::string error;
        auto reader = zqtest::ChildProcess::spawn(
            {zqtest::helperPath("shm_reader"), std::to_string(queueKey), std::to_string(poolKey), "1024x4", "hold"},
            &error);
        ASSERT_NE(reader, nullptr) << error;
        ASSERT_TRUE(reader->waitForLine("shm_reader: ready", 10000)) << reader->output();

        // A reader that never reads holds every chunk: the writer gets no package (back-pressure).
        for (int n = 1; n <= 4; ++n) {
            std::string text = "msg-" + std::to_string(n);
            DataPackage_t* p = w.publish(text);
            ASSERT_NE(p, nullptr) << n;
            std::string line;
            ASSERT_TRUE(reader->waitForLine("got", 10000, &line)) << reader->output();
            EXPECT_NE(line.find(" " + std::to_string(text.size() + 1) + " " + text), std::string::npos) << line;
        }
        zqtest::OutputCapture cap;
        ASSERT_TRUE(underCapture(cap, [&] { EXPECT_EQ(w.dm().getEmptyDataPkg(100, 0), nullptr); }));
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "Get mem chunk size 100 failed!")) << cap.out();
        EXPECT_EQ(w.server().getInFlightCount(queueKey), 4u);

        reader->signal(SIGKILL);
        reader->wait(10000);
        // The writing side notices when the control connection closes and detaches the queue.
        zqtest::OutputCapture detach;
        ASSERT_TRUE(underCapture(detach, [&] { EXPECT_TRUE(w.server().detachQueue(queueKey)); }));
        EXPECT_TRUE(zqtest::hasDdsLine(detach.out(), "33", "Warning: Queue 0x4702000b left 4 mem blocks!!!"));
        EXPECT_EQ(w.freeChunks(100), 4);
    }
    EXPECT_EQ(shmtest::segmentCount(), 0);
}

TEST_F(ShmServerNsTest, PackagesReachAClientInPlaceAndAllComeBack)
{
    const int poolKey = kKeyBase + 12;
    const int queueKey = kKeyBase + 13;
    Writer w(poolKey, 512, 8);
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w.server().attachQueue(queueKey));
    // One reader here, by loan in place; another in its own process, which gives each back at once.
    std::mutex mtx;
    std::vector<std::string> texts;
    std::vector<DataPackage_t*> kept;
    CShmClient client; // after what its callback captures: gone first
    client.registerCallBack([&](int, DataPackage_t* pkg) {
        std::lock_guard<std::mutex> lock(mtx);
        texts.emplace_back(reinterpret_cast<char*>(pkgData(pkg)) + 34);
        kept.push_back(pkg);
        return 0;
    });
    // A reader of the writer's own process attaches the segment again and walks what that
    // attachment holds once, for its own table.
    const uint64_t walks = shmLayoutWalks();
    ASSERT_TRUE(client.init(queueKey, poolKey, w.pool().getMemLayout()));
    EXPECT_EQ(shmLayoutWalks() - walks, 1u);
    std::string error;
    const int otherKey = kKeyBase + 14;
    ASSERT_TRUE(w.server().attachQueue(otherKey));
    auto other = zqtest::ChildProcess::spawn(
        {zqtest::helperPath("shm_reader"), std::to_string(otherKey), std::to_string(poolKey), "512x8", "copy"}, &error);
    ASSERT_NE(other, nullptr) << error;
    ASSERT_TRUE(other->waitForLine("shm_reader: ready", 10000)) << other->output();

    const int total = 500;
    for (int n = 0; n < total; ++n) {
        DataPackage_t* p = nullptr;
        // The pool has 8 chunks; the holders here give them back below, the other reader at once.
        ASSERT_TRUE(zqtest::waitUntil(
            [&] {
                {
                    std::lock_guard<std::mutex> lock(mtx);
                    for (DataPackage_t* pkg : kept) {
                        client.putEmptyDataPkg(pkg);
                    }
                    kept.clear();
                }
                p = w.publish("n" + std::to_string(n));
                return p != nullptr;
            },
            10000))
            << n;
        std::string line;
        ASSERT_TRUE(other->waitForLine("got", 10000, &line)) << other->output();
        ASSERT_TRUE(zqtest::waitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(mtx);
                return texts.size() == static_cast<size_t>(n + 1);
            },
            10000));
        EXPECT_NE(line.find(" n" + std::to_string(n)), std::string::npos) << line;
    }
    {
        std::lock_guard<std::mutex> lock(mtx);
        for (int n = 0; n < total; ++n) {
            ASSERT_EQ(texts[static_cast<size_t>(n)], "n" + std::to_string(n));
        }
        for (DataPackage_t* pkg : kept) {
            client.putEmptyDataPkg(pkg);
        }
        kept.clear();
    }
    ASSERT_TRUE(zqtest::waitUntil([&] { return w.freeChunks(100) == 8; }, 10000));
    other->closeInput();
    ASSERT_TRUE(other->waitForLine("shm_reader: done", 10000));
    client.deinit();
    EXPECT_TRUE(w.server().detachQueue(queueKey));
    EXPECT_TRUE(w.server().detachQueue(otherKey));
}

// The pool and its server work from one table, made by one walk of the layout when the pool
// gets its segment; the server's init walks nothing.
TEST_F(ShmServerNsTest, ThePoolAndItsServerShareOneTableFromOneWalk)
{
    const uint64_t walks = shmLayoutWalks();
    Writer w(kKeyBase + 65, 128, 3);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(shmLayoutWalks() - walks, 1u);
    const int key = kKeyBase + 66;
    ASSERT_TRUE(w.server().attachQueue(key));
    TestReader r(key);
    ASSERT_TRUE(r.start());
    DataPackage_t* p = w.publish("one table");
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(r.m_got.waitCount(1, 5000));
    EXPECT_EQ(r.m_got.values(), (std::vector<int>{p->m_iPkgId}));
    ASSERT_TRUE(r.giveBack(p->m_iPkgId));
    ASSERT_TRUE(zqtest::waitUntil([&] { return w.freeChunks(100) == 3; }, 5000));
    EXPECT_EQ(shmLayoutWalks() - walks, 1u);
}

// Package numbers looked up by address on the writing side for one message that two readers
// take and give back, from taking the chunk to its return to the free list: taking it, publishing
// it (which also takes the center's reference) and the server's, which hands it back to the pool
// by that number. 13 when every pool operation looked the chunk up again, 6 while the center's
// references still went by address.
TEST_F(ShmServerNsTest, AMessageToTwoReadersIsLookedUpByAddressOnlyOnTheDataManagersPath)
{
    CShmPkgTable::countLookups(true);
    Writer w(kKeyBase + 62, 128, 2);
    ASSERT_TRUE(w.ok());
    const int keyA = kKeyBase + 63;
    const int keyB = kKeyBase + 64;
    ASSERT_TRUE(w.server().attachQueue(keyA));
    ASSERT_TRUE(w.server().attachQueue(keyB));
    TestReader a(keyA);
    TestReader b(keyB);
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    constexpr int kMessages = 6;
    const uint64_t searched = CShmPkgTable::searches();
    uint64_t lookups = 0;
    for (int n = 0; n < kMessages; ++n) {
        const uint64_t before = CShmPkgTable::lookups();
        DataPackage_t* p = w.publish("counted");
        ASSERT_NE(p, nullptr);
        const int id = p->m_iPkgId;
        ASSERT_TRUE(a.m_got.waitCount(static_cast<size_t>(n + 1), 5000));
        ASSERT_TRUE(b.m_got.waitCount(static_cast<size_t>(n + 1), 5000));
        ASSERT_TRUE(a.giveBack(id));
        ASSERT_TRUE(b.giveBack(id));
        // Back on its free list: the pool's used bytes are counted down after the last lookup.
        ASSERT_TRUE(zqtest::waitUntil([&] { return w.pool().getUsedSize() == 0; }, 5000));
        lookups += CShmPkgTable::lookups() - before;
    }
    const double perMessage = static_cast<double>(lookups) / kMessages;
    RecordProperty("lookups_per_message", std::to_string(perMessage));
    std::printf("lookups per message: %.2f\n", perMessage);
    EXPECT_EQ(CShmPkgTable::searches() - searched, 0u);
    // Taking the chunk, publishing it (with the center's reference) and the server's: every
    // later reference on the writing side moves by the number found with them.
    EXPECT_LE(lookups, 3u * kMessages);
    CShmPkgTable::countLookups(false);
}

// Another process rewrites every package number in the segment before the first reader asks:
// the server still starts and serves, since it keeps the pool's own table and never reads the
// numbers back (a server that refused here would refuse every later request of the topic too).
TEST_F(ShmServerNsTest, NumbersRewrittenBeforeTheServerStartsDoNotStopIt)
{
    shmtest::PoolWriter w(poolCfg(kKeyBase + 67, 128, 3));
    ASSERT_TRUE(w.ok());
    std::vector<ShmPkgSlot_t> slots;
    ASSERT_TRUE(shmLayoutSlots(w.pool().getMemLayout(), &slots));
    auto* base = static_cast<uint8_t*>(w.pool().getMemAddr());
    for (const ShmPkgSlot_t& slot : slots) {
        reinterpret_cast<DataPackage_t*>(base + slot.m_u64Offset)->m_iPkgId = 0x5a5a;
    }
    CShmServer server(&w.dm());
    ASSERT_TRUE(server.init(w.pool().getMemAddr(), w.pool().getMemLayout()));
    const int key = kKeyBase + 68;
    ASSERT_TRUE(server.attachQueue(key));
    TestReader r(key);
    ASSERT_TRUE(r.start());
    DataPackage_t* p = w.publish("after the forgery");
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(r.m_got.waitCount(1, 5000));
    ASSERT_EQ(r.m_got.values().size(), 1u);
    EXPECT_GE(r.m_got.values()[0], 1);
    EXPECT_LE(r.m_got.values()[0], 3);
    ASSERT_TRUE(r.giveBack(r.m_got.values()[0]));
    ASSERT_TRUE(zqtest::waitUntil([&] { return w.freeChunks(100) == 3; }, 5000));
    server.deinit();
}

TEST_F(ShmServerNsTest, DeinitTearsDownQueuesAndInFlightIds)
{
    Writer w(kKeyBase + 15, 128, 2);
    ASSERT_TRUE(w.ok());
    const int key = kKeyBase + 16;
    ASSERT_TRUE(w.server().attachQueue(key));
    TestReader r(key);
    ASSERT_TRUE(r.start());
    ASSERT_NE(w.publish("held"), nullptr);
    ASSERT_TRUE(r.m_got.waitCount(1, 5000));
    zqtest::OutputCapture cap;
    w.server().deinit();
    cap.stop();
    EXPECT_FALSE(zqtest::hasDdsLine(cap.out(), "32", "Detach share memory queue 0x47020010"));
    EXPECT_FALSE(shmtest::keyExists(key));
    EXPECT_EQ(w.server().getFps(), -1);
    EXPECT_EQ(w.freeChunks(100), 2);

    // Queues attached without init go as well.
    CShmServer early(&w.dm());
    EXPECT_TRUE(early.attachQueue(kKeyBase + 17));
    early.deinit();
    EXPECT_FALSE(shmtest::keyExists(kKeyBase + 17));
}

} // namespace
