// Notification queue: segment bytes, the ring protocol between creator and attacher, drain on
// deinit, refused inits, forged ring fields, wake-ups of sleeping receivers, and 100k numbers
// through another process.
#include "memory/shm_queue.h"
#include "memory/shm_test_util.h"
#include "support/zqtest.h"

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Keys of this file: 0x47010000 + n.
constexpr int kKeyBase = 0x47010000;

// Byte offsets in the segment.
constexpr size_t kRing0 = 0;
constexpr size_t kRing1 = 80;
constexpr size_t kEnable = 0;
constexpr size_t kCount = 4;
constexpr size_t kTail = 8;
constexpr size_t kHead = 12;
constexpr size_t kCapacity = 16;
constexpr size_t kSlots = 20;
constexpr size_t kWakeSeq = 48;
constexpr size_t kSleepers = 52;

using shmtest::Collector;
using shmtest::RawSegment;

class ShmQueueNsTest : public zqtest::NsTest {
protected:
    void TearDown() override { shmtest::removeAllSegments(); }

    static CShmQueque::RecvCallBack_t into(Collector& c)
    {
        return [&c](int, int id) { c.add(id); };
    }
};

TEST_F(ShmQueueNsTest, CreatorAndAttacherWriteTheSpecifiedBytes)
{
    const int key = kKeyBase + 1;
    Collector fromReader;
    Collector fromWriter;
    CShmQueque writer;
    ASSERT_TRUE(writer.init(key, 0, into(fromReader)));
    RawSegment seg(key);
    ASSERT_TRUE(seg.ok());
    shmid_ds ds{};
    ASSERT_EQ(shmctl(seg.id(), IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 160u);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0666);

    EXPECT_EQ(seg.byteAt(kRing0 + kEnable), 0);
    EXPECT_EQ(seg.byteAt(kRing1 + kEnable), 1);
    for (size_t ring : {kRing0, kRing1}) {
        EXPECT_EQ(seg.intAt(ring + kCount), 0);
        EXPECT_EQ(seg.intAt(ring + kTail), 0);
        EXPECT_EQ(seg.intAt(ring + kHead), 0);
        EXPECT_EQ(seg.intAt(ring + kCapacity), 2);
        for (size_t slot = 0; slot < 7; ++slot) {
            EXPECT_EQ(seg.intAt(ring + kSlots + 4 * slot), 0);
        }
        EXPECT_EQ(seg.intAt(ring + kWakeSeq), 0);
    }

    // Nobody listens on ring 0 yet: the id is refused and not written.
    zqtest::OutputCapture cap;
    EXPECT_FALSE(writer.post(5, 0));
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "Queue 0x47010001 is not enable!"));
    EXPECT_EQ(seg.intAt(kRing0 + kCount), 0);
    EXPECT_EQ(seg.intAt(kRing0 + kSlots), 0);

    CShmQueque reader;
    ASSERT_TRUE(reader.init(key, 1, into(fromWriter)));
    EXPECT_EQ(seg.byteAt(kRing1 + kEnable), 1);
    EXPECT_EQ(seg.byteAt(kRing0 + kEnable), 0);
    reader.setEnable(true);
    EXPECT_EQ(seg.byteAt(kRing0 + kEnable), 1);

    // An attacher's deinit leaves the segment; the creator's removes it.
    reader.setEnable(false);
    EXPECT_TRUE(reader.deinit());
    EXPECT_TRUE(shmtest::keyExists(key));
    writer.setEnable(false);
    EXPECT_TRUE(writer.deinit());
    EXPECT_FALSE(shmtest::keyExists(key));
    EXPECT_TRUE(writer.deinit());
}

TEST_F(ShmQueueNsTest, FullRingRefusesAndLeftoversGoBackToTheWriter)
{
    const int key = kKeyBase + 2;
    Collector fromReader;
    CShmQueque writer;
    ASSERT_TRUE(writer.init(key, 0, into(fromReader)));
    RawSegment seg(key);
    ASSERT_TRUE(seg.ok());
    // A reader that enabled ring 0 and then stopped taking.
    seg.setByte(kRing0 + kEnable, 1);

    zqtest::OutputCapture cap;
    EXPECT_TRUE(writer.post(5, 0));
    EXPECT_TRUE(writer.post(6, 0));
    EXPECT_FALSE(writer.post(7, 0));
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "33", "Warning: Queue 0x47010002 post 7 failed!"));
    EXPECT_EQ(seg.intAt(kRing0 + kCount), 2);
    EXPECT_EQ(seg.intAt(kRing0 + kTail), 0);
    EXPECT_EQ(seg.intAt(kRing0 + kHead), 0);
    EXPECT_EQ(seg.intAt(kRing0 + kSlots), 5);
    EXPECT_EQ(seg.intAt(kRing0 + kSlots + 4), 6);
    // Each post bumps the ring's wake word once.
    EXPECT_EQ(seg.intAt(kRing0 + kWakeSeq), 2);

    // A new reader of the segment hands the unread ids back before it starts.
    Collector fromWriter;
    CShmQueque reader;
    ASSERT_TRUE(reader.init(key, 1, into(fromWriter)));
    ASSERT_TRUE(fromReader.waitCount(2, 5000));
    EXPECT_EQ(fromReader.values(), (std::vector<int>{5, 6}));
    EXPECT_EQ(seg.intAt(kRing0 + kCount), 0);
    EXPECT_EQ(fromWriter.size(), 0u);
}

TEST_F(ShmQueueNsTest, IdsArriveInOrderAndSlotsWrap)
{
    const int key = kKeyBase + 3;
    Collector fromReader;
    Collector fromWriter;
    std::vector<int> keys;
    std::mutex keysMtx;
    CShmQueque writer;
    CShmQueque reader;
    ASSERT_TRUE(writer.init(key, 0, into(fromReader)));
    ASSERT_TRUE(reader.init(key, 1, [&](int k, int id) {
        {
            std::lock_guard<std::mutex> lock(keysMtx);
            keys.push_back(k);
        }
        fromWriter.add(id);
    }));
    reader.setEnable(true);
    RawSegment seg(key);
    ASSERT_TRUE(seg.ok());

    for (int id : {5, 6, 7}) {
        size_t before = fromWriter.size();
        ASSERT_TRUE(writer.post(id, 0));
        ASSERT_TRUE(fromWriter.waitCount(before + 1, 5000));
    }
    EXPECT_EQ(fromWriter.values(), (std::vector<int>{5, 6, 7}));
    EXPECT_EQ(seg.intAt(kRing0 + kTail), 1);
    EXPECT_EQ(seg.intAt(kRing0 + kHead), 1);
    EXPECT_EQ(seg.intAt(kRing0 + kCount), 0);
    {
        std::lock_guard<std::mutex> lock(keysMtx);
        EXPECT_EQ(keys, (std::vector<int>{key, key, key}));
    }

    // The way back: reader to writer on ring 1.
    ASSERT_TRUE(reader.post(42, 0));
    ASSERT_TRUE(fromReader.waitCount(1, 5000));
    EXPECT_EQ(fromReader.values(), (std::vector<int>{42}));
    EXPECT_GE(reader.getFps(), 0);
    EXPECT_EQ(CShmQueque().getFps(), -1);
}

TEST_F(ShmQueueNsTest, DeinitHandsTheIdsLeftInTheRingToTheCallback)
{
    const int key = kKeyBase + 4;
    Collector fromReader;
    Collector fromWriter;
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bool first = true;
    CShmQueque writer;
    CShmQueque reader;
    ASSERT_TRUE(writer.init(key, 0, into(fromReader)));
    ASSERT_TRUE(reader.init(key, 1, [&](int, int id) {
        fromWriter.add(id);
        if (first) {
            first = false;
            entered.set_value();
            released.wait();
        }
    }));
    reader.setEnable(true);

    ASSERT_TRUE(writer.post(1, 0));
    entered.get_future().wait();
    ASSERT_TRUE(writer.post(2, 0));
    ASSERT_TRUE(writer.post(3, 0));
    zqtest::OutputCapture cap;
    EXPECT_FALSE(writer.post(4, 0));
    cap.stop();

    std::thread stopper([&] {
        reader.setEnable(false);
        reader.deinit();
    });
    release.set_value();
    stopper.join();
    EXPECT_EQ(fromWriter.values(), (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(reader.isRunning());
    // Ring 0 is disabled again: the writer's posts are refused.
    zqtest::OutputCapture cap2;
    EXPECT_FALSE(writer.post(5, 0));
    cap2.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap2.out(), "32", "Queue 0x47010004 is not enable!"));
}

TEST_F(ShmQueueNsTest, RefusedInitsChangeNothing)
{
    // No segment under the key.
    {
        CShmQueque reader;
        zqtest::OutputCapture cap;
        EXPECT_FALSE(reader.init(kKeyBase + 5, 1, nullptr));
        cap.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: openShm failed!"));
        EXPECT_FALSE(reader.isRunning());
        EXPECT_EQ(reader.getKey(), -1);
        EXPECT_TRUE(reader.deinit());
    }
    // A stale or foreign segment smaller than the two rings is not touched.
    {
        RawSegment small(kKeyBase + 6, 100);
        ASSERT_TRUE(small.ok());
        std::memset(small.base(), 0x5a, 100);
        CShmQueque reader;
        zqtest::OutputCapture cap;
        EXPECT_FALSE(reader.init(kKeyBase + 6, 1, nullptr));
        cap.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: openShm failed!"));
        for (size_t i = 0; i < 100; ++i) {
            ASSERT_EQ(small.byteAt(i), 0x5a);
        }
    }
    // A running queue refuses a second init and keeps its segment.
    {
        CShmQueque writer;
        ASSERT_TRUE(writer.init(kKeyBase + 7, 0, nullptr));
        EXPECT_FALSE(writer.init(kKeyBase + 8, 0, nullptr));
        EXPECT_EQ(writer.getKey(), kKeyBase + 7);
        EXPECT_TRUE(shmtest::keyExists(kKeyBase + 7));
        EXPECT_FALSE(shmtest::keyExists(kKeyBase + 8));
    }
    EXPECT_FALSE(shmtest::keyExists(kKeyBase + 7));
}

struct Forgery {
    const char* name;
    size_t ring;  // kRing0 or kRing1
    size_t field; // offset in the ring
    int32_t value;
    bool corrupt; // the count is out of range: posts into that ring are refused
    int key;
};

void PrintTo(const Forgery& f, std::ostream* os)
{
    *os << f.name;
}

class ShmQueueForgeryNsTest : public ShmQueueNsTest, public ::testing::WithParamInterface<Forgery> {};

TEST_P(ShmQueueForgeryNsTest, ForgedRingFieldsNeverReachOutsideTheRing)
{
    const Forgery& f = GetParam();
    const int key = f.key;
    Collector fromReader;
    Collector fromWriter;
    CShmQueque writer;
    CShmQueque reader;
    ASSERT_TRUE(writer.init(key, 0, into(fromReader)));
    ASSERT_TRUE(reader.init(key, 1, into(fromWriter)));
    reader.setEnable(true);
    RawSegment seg(key);
    ASSERT_TRUE(seg.ok());
    uint8_t before[160];
    std::memcpy(before, seg.base(), sizeof(before));

    // Captured from the forgery on: the receiving thread may meet a forged count before the post.
    zqtest::OutputCapture cap;
    seg.setInt(f.ring + f.field, f.value);
    CShmQueque& sender = f.ring == kRing0 ? writer : reader;
    Collector& receiver = f.ring == kRing0 ? fromWriter : fromReader;
    bool posted = sender.post(9, 0);
    if (posted) {
        // Whatever the forged index, the receiving thread takes one id out of a real slot.
        EXPECT_TRUE(receiver.waitCount(1, 5000));
    }
    sender.setEnable(false);
    writer.deinit();
    reader.deinit();
    cap.stop();
    EXPECT_EQ(posted, !f.corrupt);
    if (f.corrupt) {
        // Reported once by each side that met the count.
        char text[64];
        snprintf(text, sizeof(text), "Error: Queue %#x count %d is corrupt!", static_cast<unsigned>(key), f.value);
        int lines = zqtest::countDdsLines(cap.out(), "31", text);
        EXPECT_GE(lines, 1);
        EXPECT_LE(lines, 2);
    }
    // Nothing outside the two ring records was written: the reserved slots are untouched.
    for (size_t ring : {kRing0, kRing1}) {
        for (size_t slot = 2; slot < 7; ++slot) {
            EXPECT_EQ(std::memcmp(before + ring + kSlots + 4 * slot, seg.base() + ring + kSlots + 4 * slot, 4), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ShmQueueForgeryNsTest,
    ::testing::Values(Forgery{"capacity0", kRing0, kCapacity, 0, false, kKeyBase + 0x100 + 1},
                      Forgery{"capacityHuge", kRing0, kCapacity, 1000, false, kKeyBase + 0x100 + 2},
                      Forgery{"capacityNegative", kRing1, kCapacity, -1, false, kKeyBase + 0x100 + 3},
                      Forgery{"tailNegative", kRing0, kTail, -7, false, kKeyBase + 0x100 + 4},
                      Forgery{"tailHuge", kRing1, kTail, 99999, false, kKeyBase + 0x100 + 5},
                      Forgery{"headHuge", kRing0, kHead, 12345, false, kKeyBase + 0x100 + 6},
                      Forgery{"headNegative", kRing1, kHead, -2, false, kKeyBase + 0x100 + 7},
                      Forgery{"countHigh", kRing0, kCount, 7, true, kKeyBase + 0x100 + 8},
                      Forgery{"countNegative", kRing1, kCount, -3, true, kKeyBase + 0x100 + 9},
                      // The wake field: a sleeper count, its word and the bytes after them.
                      Forgery{"wakeSleepers", kRing0, kSleepers, 1, false, kKeyBase + 0x100 + 10},
                      Forgery{"wakeSleepersNegative", kRing1, kSleepers, -1, false, kKeyBase + 0x100 + 11},
                      Forgery{"wakeWord", kRing0, kWakeSeq, 0x7fffffff, false, kKeyBase + 0x100 + 12},
                      Forgery{"wakeReserved", kRing0, kSleepers + 4, 0x12345, false, kKeyBase + 0x100 + 13},
                      Forgery{"wakeReservedHigh", kRing1, kSleepers + 4, -1, false, kKeyBase + 0x100 + 14}),
    [](const ::testing::TestParamInfo<Forgery>& p) { return std::string(p.param.name); });

// A count outside the ring's range, written while both threads wait: the side that meets it
// gives up its receive ring (no spinning on it) and tells its owner; the peer finds its own ring
// marked and tells its owner too. Posts are refused on both sides from then on.
TEST_F(ShmQueueNsTest, ACorruptCountEndsTheQueueOnBothSides)
{
    const int key = kKeyBase + 11;
    for (size_t ring : {kRing0, kRing1}) {
        std::promise<void> writerBroken;
        std::promise<void> readerBroken;
        Collector fromReader;
        Collector fromWriter;
        CShmQueque writer;
        CShmQueque reader;
        writer.setCorruptTask([&] { writerBroken.set_value(); });
        reader.setCorruptTask([&] { readerBroken.set_value(); });
        ASSERT_TRUE(writer.init(key, 0, into(fromReader)));
        ASSERT_TRUE(reader.init(key, 1, into(fromWriter)));
        reader.setEnable(true);
        RawSegment seg(key);
        ASSERT_TRUE(seg.ok());
        ASSERT_TRUE(writer.post(3, 0));
        ASSERT_TRUE(fromWriter.waitCount(1, 5000));

        zqtest::OutputCapture cap;
        seg.setInt(ring + kCount, 1000);
        // The thread only looks again when woken or after its wait.
        (ring == kRing0 ? writer : reader).wake();
        (ring == kRing0 ? reader : writer).wake();
        writerBroken.get_future().wait();
        readerBroken.get_future().wait();
        EXPECT_TRUE(writer.isCorrupt() || reader.isCorrupt());
        EXPECT_EQ(writer.postRet(4, true), CShmQueque::POST_BROKEN);
        EXPECT_EQ(reader.postRet(5, true), CShmQueque::POST_BROKEN);
        reader.setEnable(false);
        reader.deinit();
        writer.setEnable(false);
        writer.deinit();
        cap.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: Queue 0x4701000b count 1000 is corrupt!")) << cap.out();
        EXPECT_EQ(fromWriter.values(), (std::vector<int>{3}));
    }
}

// Both receive threads sleep with a wait far longer than the test's own limit: every number
// still arrives, so each post wakes its sleeper (a lost wake-up hangs the test until CTest ends
// it). Each number is posted only once the receiver has gone to sleep.
TEST_F(ShmQueueNsTest, APostWakesAReceiverThatSleepsWithoutATimeout)
{
    const int key = kKeyBase + 10;
    const int total = 300;
    const int longWaitMs = 24 * 3600 * 1000;
    std::mutex mtx;
    std::condition_variable cv;
    int echoed = 0;
    CShmQueque writer;
    writer.setWaitMs(longWaitMs);
    ASSERT_TRUE(writer.init(key, 0, [&](int, int) {
        std::lock_guard<std::mutex> lock(mtx);
        ++echoed;
        cv.notify_all();
    }));
    writer.setEnable(true);
    RawSegment seg(key);
    ASSERT_TRUE(seg.ok());
    std::string error;
    auto peer = zqtest::ChildProcess::spawn(
        {zqtest::helperPath("shmq_echo"), std::to_string(key), std::to_string(total), std::to_string(longWaitMs)},
        &error);
    ASSERT_NE(peer, nullptr) << error;
    ASSERT_TRUE(peer->waitForLine("shmq_echo: ready", 10000)) << peer->output();

    for (int n = 1; n <= total; ++n) {
        // The peer's thread is registered as a sleeper on ring 0 once it has nothing to do.
        ASSERT_TRUE(zqtest::waitUntil([&] { return seg.intAt(kRing0 + kSleepers) == 1; }, 60000)) << n;
        ASSERT_TRUE(writer.post(n, 0)) << n;
        std::unique_lock<std::mutex> lock(mtx);
        cv.wait(lock, [&] { return echoed == n; });
    }
    ASSERT_TRUE(peer->waitForLine("shmq_echo: done 300 0", 60000)) << peer->output();
    peer->wait(60000);
    EXPECT_EQ(peer->exitCode(), 0);
    // deinit wakes its own sleeping thread rather than waiting out the long wait.
    writer.setEnable(false);
    writer.deinit();
}

// Ids that found the send ring full wait with the owner; the peer's take that makes room comes
// right after that post and before the thread sleeps, so it wakes nobody. The thread must see
// the room before it sleeps, whether the pass task says ids wait or the owner marked them: its
// waits are far longer than the test's own limit, so a missed take hangs the test.
TEST_F(ShmQueueNsTest, IdsWaitingForRoomGoOutWhenTheTakeComesBeforeTheSleep)
{
    const int longWaitMs = 24 * 3600 * 1000;
    for (bool marked : {false, true}) {
        SCOPED_TRACE(marked ? "owner's mark" : "pass task's result");
        const int key = kKeyBase + (marked ? 12 : 13);
        const std::vector<int> ids{1, 2, 3};
        std::atomic<bool> go{false};
        std::atomic<int> taken{0};
        std::atomic<size_t> next{0};
        std::unique_ptr<RawSegment> seg;
        CShmQueque writer;
        writer.setWaitMs(longWaitMs);
        writer.setPendingWaitMs(longWaitMs);
        writer.setPassTask([&](bool final) {
            if (final || !go.load()) {
                return false;
            }
            while (next.load() < ids.size()) {
                if (marked) {
                    writer.setSendWaiting(true);
                }
                CShmQueque::PostRet_e ret = writer.postRet(ids[next.load()], false);
                if (ret == CShmQueque::POST_OK) {
                    ++next;
                    continue;
                }
                if (ret == CShmQueque::POST_FULL && taken.load() == 0) {
                    // The peer's take, as its receive thread does it: the count goes down, then
                    // a token goes onto the other ring; nobody sleeps on it yet, so no wake call.
                    auto* ring0 = reinterpret_cast<CShmQueque::DataQueue_t*>(seg->base() + kRing0);
                    auto* ring1 = reinterpret_cast<CShmQueque::DataQueue_t*>(seg->base() + kRing1);
                    taken.store(shmRingTake(ring0));
                    const uint64_t sem = ring1->m_u64Sem.fetch_add(1);
                    EXPECT_EQ(sem >> 32, 0u);
                }
                break;
            }
            const bool left = next.load() < ids.size();
            if (marked && !left) {
                writer.setSendWaiting(false);
            }
            return marked ? false : left;
        });
        Collector unused;
        ASSERT_TRUE(writer.init(key, 0, into(unused)));
        seg = std::make_unique<RawSegment>(key);
        ASSERT_TRUE(seg->ok());
        // A reader that listens on ring 0; the pass task starts at the next wake.
        seg->setByte(kRing0 + kEnable, 1);
        go.store(true);
        writer.wake();

        ASSERT_TRUE(zqtest::waitUntil([&] { return next.load() == ids.size(); }, 60000));
        EXPECT_EQ(taken.load(), 1);
        EXPECT_EQ(seg->intAt(kRing0 + kCount), 2);
        EXPECT_EQ(seg->intAt(kRing0 + kSlots), 3);
        EXPECT_EQ(seg->intAt(kRing0 + kSlots + 4), 2);
        writer.setEnable(false);
        writer.deinit();
    }
}

TEST_F(ShmQueueNsTest, HundredThousandNumbersThroughAnotherProcess)
{
    const int key = kKeyBase + 9;
    const int total = 100000;
    std::mutex mtx;
    std::condition_variable cv;
    int echoed = 0;
    int errors = 0;
    CShmQueque writer;
    ASSERT_TRUE(writer.init(key, 0, [&](int, int id) {
        std::lock_guard<std::mutex> lock(mtx);
        ++echoed;
        if (id != echoed) {
            ++errors;
        }
        cv.notify_all();
    }));
    writer.setEnable(true);
    std::string error;
    auto peer = zqtest::ChildProcess::spawn(
        {zqtest::helperPath("shmq_echo"), std::to_string(key), std::to_string(total)}, &error);
    ASSERT_NE(peer, nullptr) << error;
    ASSERT_TRUE(peer->waitForLine("shmq_echo: ready", 10000)) << peer->output();

    // At most two numbers unanswered, so neither ring can be full.
    for (int n = 1; n <= total; ++n) {
        std::unique_lock<std::mutex> lock(mtx);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return n - 1 - echoed < 2; })) << n;
        lock.unlock();
        ASSERT_TRUE(writer.post(n, 0)) << n;
    }
    {
        std::unique_lock<std::mutex> lock(mtx);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return echoed == total; }));
        EXPECT_EQ(errors, 0);
    }
    ASSERT_TRUE(peer->waitForLine("shmq_echo: done 100000 0", 30000)) << peer->output();
    peer->wait(10000);
    EXPECT_EQ(peer->exitCode(), 0);
    writer.setEnable(false);
    writer.deinit();
    EXPECT_EQ(shmtest::segmentCount(), 0);
}

} // namespace
