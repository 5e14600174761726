// Notification queue: segment bytes, the ring protocol between creator and attacher, drain on
// deinit, refused inits, forged ring fields, wake-ups of sleeping receivers (also while another
// process writes their semaphores, and at a full ring), peers that use POSIX semaphores, and
// 100k numbers through another process.
#include "memory/shm_queue.h"
#include "memory/shm_test_util.h"
#include "support/zqtest.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
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
constexpr size_t kWakeSeq = 48;  // the semaphore's token count
constexpr size_t kSleepers = 52; // its waiter count
constexpr size_t kSemScope = 56;
constexpr int kLongWaitMs = 24 * 3600 * 1000;

// Whether a thread of process `pid` sleeps in a futex call on the word at `offset` of segment
// `key`, through any of that process's mappings of it (as /proc shows the call a thread is in).
bool sleepsOnWord(pid_t pid, int key, size_t offset)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    char name[32];
    snprintf(name, sizeof(name), "/SYSV%08x", static_cast<unsigned>(key));
    std::vector<unsigned long long> words;
    std::ifstream maps(proc + "/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find(name) != std::string::npos) {
            words.push_back(strtoull(line.c_str(), nullptr, 16) + offset);
        }
    }
    DIR* dir = opendir((proc + "/task").c_str());
    if (dir == nullptr) {
        return false;
    }
    bool found = false;
    while (dirent* ent = readdir(dir)) {
        std::ifstream call(proc + "/task/" + ent->d_name + "/syscall");
        long nr = -1;
        std::string arg;
        if (call >> nr >> arg && nr == SYS_futex) {
            const unsigned long long addr = strtoull(arg.c_str(), nullptr, 16);
            for (unsigned long long word : words) {
                found = found || addr == word;
            }
        }
    }
    closedir(dir);
    return found;
}

using shmtest::Collector;
using shmtest::RawSegment;

class ShmQueueNsTest : public zqtest::NsTest {
protected:
    void TearDown() override { shmtest::removeAllSegments(); }

    static CShmQueque::RecvCallBack_t into(Collector& c)
    {
        return [&c](int, int id) { c.add(id); };
    }

    // The sem_* peer on `key` in `mode` ("wait" N or "post"), once it says it is ready.
    static void startSemPeer(int key, const std::vector<std::string>& mode, std::unique_ptr<zqtest::ChildProcess>* peer)
    {
        std::vector<std::string> argv{zqtest::helperPath("shmq_sem_peer"), std::to_string(key)};
        argv.insert(argv.end(), mode.begin(), mode.end());
        std::string error;
        *peer = zqtest::ChildProcess::spawn(argv, &error);
        ASSERT_NE(*peer, nullptr) << error;
        ASSERT_TRUE((*peer)->waitForLine("shmq_sem_peer: ready", 10000)) << (*peer)->output();
    }

    // A posting peer is told to quit, a waiting one ends by itself; either says `done` and exits 0.
    static void endSemPeer(zqtest::ChildProcess& peer, const std::string& done, bool quit, int ms)
    {
        if (quit) {
            ASSERT_TRUE(peer.writeInput("quit\n"));
        }
        ASSERT_TRUE(peer.waitForLine(done, ms)) << peer.output();
        peer.wait(10000);
        EXPECT_EQ(peer.exitCode(), 0);
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
        // The semaphore as sem_init(sem, 1, 0) leaves it: no token, no waiter, process-shared. The
        // writer's own receive thread may already sleep on ring 1 (its returns) and count itself.
        EXPECT_EQ(seg.intAt(ring + kWakeSeq), 0);
        if (ring == kRing0) {
            EXPECT_EQ(seg.intAt(ring + kSleepers), 0);
        } else {
            EXPECT_TRUE(seg.intAt(ring + kSleepers) == 0 || seg.intAt(ring + kSleepers) == 1)
                << seg.intAt(ring + kSleepers);
        }
        EXPECT_EQ(seg.intAt(ring + kSemScope), 128);
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
                      // The semaphore field: its waiter count, its token word and the bytes after them.
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

struct WakeForgery {
    const char* name;
    const char* op; // "add" once, or "hold"
    int32_t value;
    size_t field; // kSleepers or kWakeSeq, forged in both rings
    int key;
};

void PrintTo(const WakeForgery& f, std::ostream* os)
{
    *os << f.name;
}

class ShmQueueWakeForgeryNsTest : public ShmQueueNsTest, public ::testing::WithParamInterface<WakeForgery> {};

// Another process writes the waiter counts or the token counts of both rings while both receive
// threads sleep on them, relative to what they hold (once) or holding them (for the first rounds).
// Each receive thread waits a day at most, so a number that comes back was woken by its post and
// its return by theirs; a lost wake-up fails the round at its deadline. Once the writes have
// stopped, a sleeping receiver shows itself as the one waiter again.
TEST_P(ShmQueueWakeForgeryNsTest, APostWakesTheSleepingReceiverWhateverAnotherProcessWrites)
{
    const WakeForgery& f = GetParam();
    const int rounds = 6;
    std::mutex mtx;
    std::condition_variable cv;
    int echoed = 0;
    CShmQueque writer;
    writer.setWaitMs(kLongWaitMs);
    ASSERT_TRUE(writer.init(f.key, 0, [&](int, int id) {
        std::lock_guard<std::mutex> lock(mtx);
        echoed = id;
        cv.notify_all();
    }));
    writer.setEnable(true);
    RawSegment seg(f.key);
    ASSERT_TRUE(seg.ok());
    std::string error;
    auto peer = zqtest::ChildProcess::spawn(
        {zqtest::helperPath("shmq_echo"), std::to_string(f.key), std::to_string(rounds), std::to_string(kLongWaitMs)},
        &error);
    ASSERT_NE(peer, nullptr) << error;
    ASSERT_TRUE(peer->waitForLine("shmq_echo: ready", 10000)) << peer->output();

    std::unique_ptr<zqtest::ChildProcess> forger;
    for (int n = 1; n <= rounds; ++n) {
        ASSERT_TRUE(zqtest::waitUntil(
            [&] {
                return sleepsOnWord(peer->pid(), f.key, kRing0 + kWakeSeq) &&
                       sleepsOnWord(getpid(), f.key, kRing1 + kWakeSeq);
            },
            60000))
            << n;
        if (n == 1) {
            forger = zqtest::ChildProcess::spawn({zqtest::helperPath("shmq_forger"), std::to_string(f.key), f.op,
                                                  std::to_string(f.value), std::to_string(kRing0 + f.field),
                                                  std::to_string(kRing1 + f.field)},
                                                 &error);
            ASSERT_NE(forger, nullptr) << error;
            const bool hold = std::string(f.op) == "hold";
            ASSERT_TRUE(forger->waitForLine(hold ? "shmq_forger: holding" : "shmq_forger: done", 10000))
                << forger->output();
        } else if (n == rounds / 2 + 1) {
            forger->closeInput();
            ASSERT_NE(forger->wait(10000), -1);
            EXPECT_EQ(forger->exitCode(), 0);
        }
        if (n > rounds / 2 + 1) {
            EXPECT_EQ(seg.intAt(kRing0 + kSleepers), 1) << n;
            EXPECT_EQ(seg.intAt(kRing1 + kSleepers), 1) << n;
        }
        ASSERT_TRUE(writer.post(n, 0)) << n;
        std::unique_lock<std::mutex> lock(mtx);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return echoed == n; })) << n;
    }
    ASSERT_TRUE(peer->waitForLine("shmq_echo: done 6 0", 30000)) << peer->output();
    peer->wait(10000);
    EXPECT_EQ(peer->exitCode(), 0);
    writer.setEnable(false);
    writer.deinit();
}

INSTANTIATE_TEST_SUITE_P(Semaphore, ShmQueueWakeForgeryNsTest,
                         ::testing::Values(WakeForgery{"waitersLessOne", "add", -1, kSleepers, kKeyBase + 0x200 + 1},
                                           WakeForgery{"waitersHeldAtZero", "hold", 0, kSleepers, kKeyBase + 0x200 + 2},
                                           WakeForgery{"tokensPlusOne", "add", 1, kWakeSeq, kKeyBase + 0x200 + 3},
                                           WakeForgery{"tokensLessOne", "add", -1, kWakeSeq, kKeyBase + 0x200 + 4},
                                           WakeForgery{"tokensHeldAtFive", "hold", 5, kWakeSeq, kKeyBase + 0x200 + 5}),
                         [](const ::testing::TestParamInfo<WakeForgery>& p) { return std::string(p.param.name); });

// The poster's post that fills the ring lands between the receive thread's look at the ring and
// its take, and the poster has one more number waiting for room and sleeps. The take that found
// the ring full must wake it: both threads wait a day at most, so a missed wake-up fails at the
// deadline. Both directions: the writer's numbers on ring 0, the reader's returns on ring 1.
TEST_F(ShmQueueNsTest, TheTakeThatFindsTheRingFullWakesThePosterWaitingForRoom)
{
    for (bool returns : {false, true}) {
        SCOPED_TRACE(returns ? "returns on ring 1" : "numbers on ring 0");
        const int key = kKeyBase + (returns ? 15 : 14);
        std::mutex mtx;
        std::deque<int> waiting;
        std::atomic<int> posted{0};
        bool first = true;
        Collector taken;
        CShmQueque writer;
        CShmQueque reader;
        CShmQueque& poster = returns ? reader : writer;
        CShmQueque& taker = returns ? writer : reader;
        const size_t posterRing = returns ? kRing0 : kRing1; // the ring the poster sleeps on
        poster.setWaitMs(kLongWaitMs);
        poster.setPendingWaitMs(kLongWaitMs);
        poster.setPassTask([&](bool final) {
            std::lock_guard<std::mutex> lock(mtx);
            while (!final && !waiting.empty() && poster.postRet(waiting.front(), false) == CShmQueque::POST_OK) {
                waiting.pop_front();
                ++posted;
            }
            return !final && !waiting.empty();
        });
        taker.setWaitMs(kLongWaitMs);
        taker.setTakeHook([&] {
            if (!first) {
                return;
            }
            first = false;
            // The ring holds number 1 and the taker has looked: 2 fills it, 3 waits for room.
            {
                std::lock_guard<std::mutex> lock(mtx);
                waiting.insert(waiting.end(), {2, 3});
            }
            poster.wake();
            EXPECT_TRUE(zqtest::waitUntil(
                [&] { return posted.load() == 2 && sleepsOnWord(getpid(), key, posterRing + kWakeSeq); }, 60000));
        });
        Collector unused;
        ASSERT_TRUE(writer.init(key, 0, returns ? into(taken) : into(unused)));
        ASSERT_TRUE(reader.init(key, 1, returns ? into(unused) : into(taken)));
        reader.setEnable(true);
        {
            std::lock_guard<std::mutex> lock(mtx);
            waiting.push_back(1);
        }
        poster.wake();
        EXPECT_TRUE(taken.waitCount(3, 30000));
        EXPECT_EQ(taken.values(), (std::vector<int>{1, 2, 3}));
        reader.setEnable(false);
        reader.deinit();
        writer.setEnable(false);
        writer.deinit();
    }
}

// A reader built from the segment layout alone sleeps in sem_timedwait on ring 0 (an hour at
// most): every number this side posts wakes it, and each takes its one token.
TEST_F(ShmQueueNsTest, APostWakesAPeerThatWaitsWithPosixSemaphores)
{
    const int key = kKeyBase + 16;
    const int total = 20;
    Collector unused;
    CShmQueque writer;
    ASSERT_TRUE(writer.init(key, 0, into(unused)));
    writer.setEnable(true);
    std::unique_ptr<zqtest::ChildProcess> peer;
    ASSERT_NO_FATAL_FAILURE(startSemPeer(key, {"wait", std::to_string(total)}, &peer));
    for (int n = 1; n <= total; ++n) {
        ASSERT_TRUE(zqtest::waitUntil([&] { return sleepsOnWord(peer->pid(), key, kRing0 + kWakeSeq); }, 60000)) << n;
        ASSERT_TRUE(writer.post(n, 0)) << n;
        ASSERT_TRUE(peer->waitForLine("shmq_sem_peer: got " + std::to_string(n), 30000)) << n << peer->output();
    }
    ASSERT_NO_FATAL_FAILURE(endSemPeer(*peer, "shmq_sem_peer: done 20 0 0", false, 30000));
    writer.setEnable(false);
    writer.deinit();
}

// A writer built from the segment layout alone makes the segment with sem_init and posts with
// sem_post: each post wakes this reader's thread while it sleeps (a day at most), and a burst of
// posts that the thread takes without sleeping leaves no more tokens than numbers can wait.
TEST_F(ShmQueueNsTest, APeerThatPostsWithPosixSemaphoresWakesTheReaderAndItsTokensStayFew)
{
    const int key = kKeyBase + 17;
    const int single = 10;
    const int burst = 3000;
    std::unique_ptr<zqtest::ChildProcess> peer;
    ASSERT_NO_FATAL_FAILURE(startSemPeer(key, {"post"}, &peer));
    Collector taken;
    CShmQueque reader;
    reader.setWaitMs(kLongWaitMs);
    ASSERT_TRUE(reader.init(key, 1, into(taken)));
    reader.setEnable(true);
    RawSegment seg(key);
    ASSERT_TRUE(seg.ok());

    for (int n = 1; n <= single; ++n) {
        ASSERT_TRUE(zqtest::waitUntil([&] { return sleepsOnWord(getpid(), key, kRing0 + kWakeSeq); }, 60000)) << n;
        ASSERT_TRUE(peer->writeInput("one\n"));
        ASSERT_TRUE(taken.waitCount(static_cast<size_t>(n), 30000)) << n;
    }
    ASSERT_TRUE(peer->writeInput("burst " + std::to_string(burst) + "\n"));
    ASSERT_TRUE(peer->waitForLine("shmq_sem_peer: burst 0", 60000)) << peer->output();
    ASSERT_TRUE(taken.waitCount(static_cast<size_t>(single + burst), 30000));
    std::vector<int> expected(static_cast<size_t>(single + burst));
    for (size_t i = 0; i < expected.size(); ++i) {
        expected[i] = static_cast<int>(i + 1);
    }
    EXPECT_EQ(taken.values(), expected);
    // Asleep again, the thread has taken every token.
    ASSERT_TRUE(zqtest::waitUntil([&] { return sleepsOnWord(getpid(), key, kRing0 + kWakeSeq); }, 60000));
    EXPECT_EQ(seg.intAt(kRing0 + kWakeSeq), 0);

    reader.setEnable(false);
    reader.deinit();
    ASSERT_NO_FATAL_FAILURE(endSemPeer(*peer, "shmq_sem_peer: done", true, 10000));
}

// Another local process writes 0 over a ring's scope word while its receiver sleeps. A peer
// using sem_* then waits or posts with private futex calls that never meet this side's, so every
// number after it would wait out the whole (day-long) wait: the side that waits or posts next
// sets the word back, and the damage ends with the wait it was done in.
TEST_F(ShmQueueNsTest, AScopeWordWrittenOverIsSetBackForAPosixSemaphoreWaiter)
{
    const int key = kKeyBase + 18;
    const int total = 5;
    Collector unused;
    CShmQueque writer;
    ASSERT_TRUE(writer.init(key, 0, into(unused)));
    writer.setEnable(true);
    RawSegment seg(key);
    ASSERT_TRUE(seg.ok());
    std::unique_ptr<zqtest::ChildProcess> peer;
    ASSERT_NO_FATAL_FAILURE(startSemPeer(key, {"wait", std::to_string(total)}, &peer));
    for (int n = 1; n <= total; ++n) {
        ASSERT_TRUE(zqtest::waitUntil([&] { return sleepsOnWord(peer->pid(), key, kRing0 + kWakeSeq); }, 60000)) << n;
        seg.setInt(kRing0 + kSemScope, 0);
        ASSERT_TRUE(writer.post(n, 0)) << n;
        ASSERT_TRUE(peer->waitForLine("shmq_sem_peer: got " + std::to_string(n), 30000)) << n << peer->output();
    }
    ASSERT_NO_FATAL_FAILURE(endSemPeer(*peer, "shmq_sem_peer: done", false, 30000));
    EXPECT_EQ(seg.intAt(kRing0 + kSemScope), 128);
    writer.setEnable(false);
    writer.deinit();
}

TEST_F(ShmQueueNsTest, AScopeWordWrittenOverIsSetBackForAPosixSemaphorePoster)
{
    const int key = kKeyBase + 19;
    const int total = 5;
    std::unique_ptr<zqtest::ChildProcess> peer;
    ASSERT_NO_FATAL_FAILURE(startSemPeer(key, {"post"}, &peer));
    Collector taken;
    CShmQueque reader;
    reader.setWaitMs(kLongWaitMs);
    ASSERT_TRUE(reader.init(key, 1, into(taken)));
    reader.setEnable(true);
    RawSegment seg(key);
    ASSERT_TRUE(seg.ok());
    for (int n = 1; n <= total; ++n) {
        ASSERT_TRUE(zqtest::waitUntil([&] { return sleepsOnWord(getpid(), key, kRing0 + kWakeSeq); }, 60000)) << n;
        seg.setInt(kRing0 + kSemScope, 0);
        // The wait the word was spoilt in is the one that is lost; a wake of this side's own
        // ends it, and the next wait sets the word back before the peer posts.
        reader.wake();
        ASSERT_TRUE(zqtest::waitUntil(
            [&] { return seg.intAt(kRing0 + kSemScope) != 0 && sleepsOnWord(getpid(), key, kRing0 + kWakeSeq); },
            60000))
            << n;
        ASSERT_TRUE(peer->writeInput("one\n"));
        ASSERT_TRUE(taken.waitCount(static_cast<size_t>(n), 30000)) << n;
    }
    reader.setEnable(false);
    reader.deinit();
    ASSERT_NO_FATAL_FAILURE(endSemPeer(*peer, "shmq_sem_peer: done", true, 10000));
}

// A wait that has taken stale tokens for several rounds sleeps on whatever the word holds. A post
// that lands after the round's look at the count must still end that sleep: the word is loaded
// before the look, so the post has changed it. The hook plays the stale tokens, then the post,
// right after the look; the receiver waits a day at most.
TEST_F(ShmQueueNsTest, APostJustAfterTheLookInALateRoundEndsTheSleep)
{
    const int key = kKeyBase + 20;
    Collector unused;
    CShmQueque writer;
    ASSERT_TRUE(writer.init(key, 0, into(unused)));
    writer.setEnable(true);
    RawSegment seg(key);
    ASSERT_TRUE(seg.ok());
    std::atomic<bool> armed{false};
    std::atomic<bool> posted{false};
    Collector taken;
    CShmQueque reader;
    reader.setWaitMs(kLongWaitMs);
    reader.setWaitHook([&](int round) {
        if (!armed.load() || posted.load()) {
            return;
        }
        if (round < 4) {
            seg.setInt(kRing0 + kWakeSeq, seg.intAt(kRing0 + kWakeSeq) + 1);
            return;
        }
        posted.store(writer.post(7, 0));
    });
    ASSERT_TRUE(reader.init(key, 1, into(taken)));
    reader.setEnable(true);
    armed.store(true);
    reader.wake();
    ASSERT_TRUE(taken.waitCount(1, 30000));
    EXPECT_TRUE(posted.load());
    EXPECT_EQ(taken.values(), std::vector<int>{7});
    reader.setEnable(false);
    reader.deinit();
    writer.setEnable(false);
    writer.deinit();
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
