// System V segments: creating over a stale key (and leaving a live one alone), looking up,
// attaching, removing, another process.
#include "support/zqtest.h"
#include "utils/system_utils.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <vector>

namespace {

// Keys of this file: 0x41000000 + n.
constexpr int kKeyBase = 0x41000000;

// Segments of this IPC namespace (all of them are this test's).
int segmentCount()
{
    shm_info info{};
    if (shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info)) < 0) {
        return -1;
    }
    return info.used_ids;
}

bool exists(int shmid)
{
    shmid_ds ds{};
    return shmctl(shmid, IPC_STAT, &ds) == 0;
}

class SystemUtilsNsTest : public zqtest::NsTest {
protected:
    void* attach(int shmid)
    {
        void* addr = CSystemUtils::attachShm(shmid);
        if (addr != nullptr) {
            m_attached.push_back(addr);
        }
        return addr;
    }

    void detach(void* addr)
    {
        for (auto it = m_attached.begin(); it != m_attached.end(); ++it) {
            if (*it == addr) {
                m_attached.erase(it);
                break;
            }
        }
        EXPECT_EQ(CSystemUtils::detachShm(addr), 0);
    }

    // The namespace is private, so every segment in it was made here: remove them all, also
    // when a test failed half-way.
    void TearDown() override
    {
        for (void* addr : m_attached) {
            shmdt(addr);
        }
        m_attached.clear();
        shm_info info{};
        int maxIndex = shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info));
        for (int index = 0; index <= maxIndex; ++index) {
            shmid_ds ds{};
            int shmid = shmctl(index, SHM_STAT, &ds);
            if (shmid >= 0) {
                shmctl(shmid, IPC_RMID, nullptr);
            }
        }
        EXPECT_EQ(segmentCount(), 0);
    }

    std::vector<void*> m_attached;
};

TEST_F(SystemUtilsNsTest, CreatesOneFreshZeroFilledSegment)
{
    const int key = kKeyBase + 1;
    zqtest::OutputCapture cap;
    int shmid = CSystemUtils::openShm(key, 0, 8192);
    cap.stop();
    ASSERT_GE(shmid, 0) << cap.err();
    EXPECT_EQ(cap.out(), "");
    // The exclusive create's segment is the one handed out: no second segment exists.
    EXPECT_EQ(segmentCount(), 1);

    shmid_ds ds{};
    ASSERT_EQ(shmctl(shmid, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 8192u);
    EXPECT_EQ(ds.shm_perm.__key, key);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0666u);

    auto* base = static_cast<unsigned char*>(attach(shmid));
    ASSERT_NE(base, nullptr);
    std::vector<unsigned char> zeros(8192, 0);
    EXPECT_EQ(memcmp(base, zeros.data(), zeros.size()), 0);
    detach(base);
    EXPECT_EQ(CSystemUtils::removeShm(shmid), 0);
    EXPECT_FALSE(exists(shmid));
}

TEST_F(SystemUtilsNsTest, CreatingOverAStaleSegmentReplacesIt)
{
    const int key = kKeyBase + 2;
    int oldId = CSystemUtils::openShm(key, 0, 4096);
    ASSERT_GE(oldId, 0);
    auto* oldBase = static_cast<char*>(attach(oldId));
    ASSERT_NE(oldBase, nullptr);
    strcpy(oldBase, "old contents");

    zqtest::OutputCapture cap;
    int newId = CSystemUtils::openShm(key, 0, 4096);
    cap.stop();
    ASSERT_GE(newId, 0) << cap.err();
    EXPECT_NE(newId, oldId);
    const std::string k = std::to_string(key);
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "share memory key " + k + " is already exitst!")) << cap.out();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "Delete old share memory key " + k + " success."));
    EXPECT_EQ(cap.err(), "");

    // The key names the fresh segment; the old mapping keeps its contents until detached.
    EXPECT_EQ(CSystemUtils::openShm(key, 1, 0), newId);
    EXPECT_STREQ(oldBase, "old contents");
    auto* newBase = static_cast<char*>(attach(newId));
    ASSERT_NE(newBase, nullptr);
    EXPECT_EQ(newBase[0], 0);
    shmid_ds ds{};
    ASSERT_EQ(shmctl(oldId, IPC_STAT, &ds), 0);
    EXPECT_NE(ds.shm_perm.mode & SHM_DEST, 0u);
    detach(oldBase);
    EXPECT_FALSE(exists(oldId));
    EXPECT_EQ(segmentCount(), 1);
    detach(newBase);
}

TEST_F(SystemUtilsNsTest, LooksUpAnExistingSegmentWhateverTheSizeAsked)
{
    const int key = kKeyBase + 3;
    int shmid = CSystemUtils::openShm(key, 0, 4096);
    ASSERT_GE(shmid, 0);
    for (unsigned long size : {0ul, 100ul, 1ul << 20}) {
        EXPECT_EQ(CSystemUtils::openShm(key, 1, size), shmid) << size;
    }
    EXPECT_EQ(segmentCount(), 1);
}

TEST_F(SystemUtilsNsTest, LookingUpAMissingKeyFails)
{
    zqtest::OutputCapture cap;
    EXPECT_EQ(CSystemUtils::openShm(kKeyBase + 4, 1, 4096), -1);
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: shmget()!")) << cap.out();
    EXPECT_EQ(cap.err(), "shmget: No such file or directory\n");
    EXPECT_EQ(segmentCount(), 0);
}

TEST_F(SystemUtilsNsTest, KeyZeroIsRefusedInBothPaths)
{
    for (int attachFlag : {0, 1}) {
        zqtest::OutputCapture cap;
        EXPECT_EQ(CSystemUtils::openShm(0, attachFlag, 4096), -1) << attachFlag;
        cap.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: shmget()!")) << cap.out();
        EXPECT_EQ(cap.err(), "shmget: Invalid argument\n");
    }
    // No anonymous segment was left behind.
    EXPECT_EQ(segmentCount(), 0);
}

TEST_F(SystemUtilsNsTest, RefusedCreateReportsOnlyTheSystemError)
{
    // Size 0 is below the system's minimum.
    zqtest::OutputCapture cap;
    EXPECT_EQ(CSystemUtils::openShm(kKeyBase + 5, 0, 0), -1);
    cap.stop();
    EXPECT_EQ(cap.out(), "");
    EXPECT_EQ(cap.err(), "shmget: Invalid argument\n");
    EXPECT_EQ(segmentCount(), 0);
}

TEST_F(SystemUtilsNsTest, AttachDetachAndRemoveFailuresAreReported)
{
    int shmid = CSystemUtils::openShm(kKeyBase + 6, 0, 4096);
    ASSERT_GE(shmid, 0);
    ASSERT_EQ(CSystemUtils::removeShm(shmid), 0);
    int notAttached = 0;

    const struct {
        const char* line;
        const char* err;
        bool (*call)(int shmid, void* addr);
    } cases[] = {
        {"Error: shmat()!", "shmat(): : Invalid argument\n",
         [](int id, void*) { return CSystemUtils::attachShm(id) == nullptr; }},
        {"Error: shmctl()!", "shmctl(): : Invalid argument\n",
         [](int id, void*) { return CSystemUtils::removeShm(id) == -1; }},
        {"Error: shmdt()!", "shmdt(): : Invalid argument\n",
         [](int, void* addr) { return CSystemUtils::detachShm(addr) == -1; }},
    };
    for (const auto& c : cases) {
        zqtest::OutputCapture cap;
        bool failed = c.call(shmid, &notAttached);
        cap.stop();
        EXPECT_TRUE(failed) << c.line;
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", c.line)) << cap.out();
        EXPECT_EQ(cap.err(), c.err);
    }
}

TEST_F(SystemUtilsNsTest, AnotherProcessAttachesByKey)
{
    const int key = kKeyBase + 7;
    int shmid = CSystemUtils::openShm(key, 0, 4096);
    ASSERT_GE(shmid, 0);
    auto* base = static_cast<char*>(attach(shmid));
    ASSERT_NE(base, nullptr);
    strcpy(base, "from the creator");

    std::string error;
    auto peer = zqtest::ChildProcess::spawn(
        {zqtest::helperPath("shmpeer"), std::to_string(key), "from the creator", "from the peer"}, &error);
    ASSERT_TRUE(peer) << error;
    ASSERT_NE(peer->wait(30000), -1);
    ASSERT_EQ(peer->exitCode(), 0) << peer->output();

    EXPECT_STREQ(base + 256, "from the peer");
    // The peer detached and left the segment to its creator.
    shmid_ds ds{};
    ASSERT_EQ(shmctl(shmid, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_nattch, 1u);
    EXPECT_EQ(ds.shm_perm.mode & SHM_DEST, 0u);
    detach(base);
    EXPECT_EQ(CSystemUtils::removeShm(shmid), 0);
}

} // namespace

namespace {

// Opens the key from a pid namespace of its own, where this process (and so a holder it
// started) cannot be seen: the creator reads as 0. False, with the reason, where refused.
bool openUnseen(int key, int* id, bool* inUse, std::string* out, std::string* refused)
{
    std::string error;
    auto opener = zqtest::ChildProcess::spawn({zqtest::helperPath("shm_unseen_opener"), std::to_string(key)}, &error);
    if (!opener) {
        *out = error;
        return false;
    }
    std::string line;
    const bool opened = opener->waitForLine("@@ opened ", 10000, &line);
    opener->wait(10000);
    *out = opener->output();
    if (!opened) {
        const size_t at = out->find("@@ refused ");
        if (at != std::string::npos) {
            *refused = out->substr(at + 11, out->find('\n', at) - at - 11);
        }
        return false;
    }
    const char* rest = line.c_str() + line.find("@@ opened ") + 10;
    char* end = nullptr;
    *id = static_cast<int>(std::strtol(rest, &end, 10));
    *inUse = std::strtol(end, nullptr, 10) != 0;
    return true;
}

// The creating path meets a segment that another program made under the key: one that a live
// process may still use is left alone (-1, in use: the caller takes another key); a leftover of
// a process that died, or that its live creator has let go of, is replaced. Seen from another
// pid namespace (creator 0), a segment nobody is attached to is a leftover once it was attached
// before; a fresh one is left to its creator for a while.
TEST_F(SystemUtilsNsTest, CreatingLeavesALiveProcessesSegmentAloneAndReplacesADeadOnes)
{
    const struct {
        const char* name;
        const char* mode;    // how the holder treats its segment
        bool kill;           // the holder is killed (and reaped) first
        bool attachedByTest; // this process keeps it attached (a reader of a dead writer)
        bool unseen;         // opened from a pid namespace where the holder cannot be seen
        bool replaced;
    } cases[] = {
        {"attached by its live creator", "attached", false, false, false, false},
        {"created, not yet attached", "created", false, false, false, false},
        {"attached by another while its creator lives", "created", false, true, false, false},
        {"let go of by its live creator", "detached", false, false, false, true},
        {"of a creator that was killed", "attached", true, false, false, true},
        {"of a killed creator, still attached by a reader", "attached", true, true, false, true},
        {"attached by an unseen creator", "attached", false, false, true, false},
        {"fresh, of an unseen creator", "created", false, false, true, false},
        {"let go of by an unseen creator", "detached", false, false, true, true},
        {"of an unseen creator that was killed", "attached", true, false, true, true},
        {"of an unseen killed creator, still attached by a reader", "attached", true, true, true, false},
    };
    int key = kKeyBase + 20;
    for (const auto& c : cases) {
        ++key;
        std::string error;
        auto holder =
            zqtest::ChildProcess::spawn({zqtest::helperPath("shm_holder"), std::to_string(key), c.mode}, &error);
        ASSERT_TRUE(holder) << error;
        std::string line;
        ASSERT_TRUE(holder->waitForLine("@@ holding ", 10000, &line)) << c.name << ": " << holder->output();
        const int oldId = std::atoi(line.substr(line.find("@@ holding ") + 11).c_str());
        const pid_t creator = c.unseen ? 0 : holder->pid();
        if (c.attachedByTest) {
            ASSERT_NE(attach(oldId), nullptr) << c.name;
        }
        if (c.kill) {
            holder->signal(SIGKILL);
            ASSERT_GE(holder->wait(10000), 0) << c.name;
        }

        bool inUse = true;
        int id = -1;
        std::string out;
        std::string err;
        if (c.unseen) {
            std::string refused;
            if (!openUnseen(key, &id, &inUse, &out, &refused)) {
                if (!refused.empty()) {
                    GTEST_SKIP() << "no pid namespace for the opener: " << refused;
                }
                FAIL() << c.name << ": " << out;
            }
        } else {
            zqtest::OutputCapture cap;
            id = CSystemUtils::openShm(key, 0, 4096, &inUse);
            cap.stop();
            out = cap.out();
            err = cap.err();
        }
        const std::string k = std::to_string(key);
        EXPECT_TRUE(zqtest::hasDdsLine(out, "32", "share memory key " + k + " is already exitst!"))
            << c.name << ": " << out;
        if (c.replaced) {
            EXPECT_GE(id, 0) << c.name << ": " << out << err;
            EXPECT_NE(id, oldId) << c.name;
            EXPECT_FALSE(inUse) << c.name;
            EXPECT_TRUE(zqtest::hasDdsLine(out, "32", "Delete old share memory key " + k + " success."))
                << c.name << ": " << out;
            EXPECT_EQ(CSystemUtils::openShm(key, 1, 0), id) << c.name;
        } else {
            EXPECT_EQ(id, -1) << c.name;
            EXPECT_TRUE(inUse) << c.name;
            EXPECT_TRUE(zqtest::hasDdsLine(out, "33",
                                           "Warning: share memory key " + k + " is in use by process " +
                                               std::to_string(creator) + ", it is left alone."))
                << c.name << ": " << out;
            EXPECT_EQ(out.find("Delete old"), std::string::npos) << c.name;
            // The key still names the holder's segment.
            EXPECT_EQ(shmget(key, 0, 0), oldId) << c.name;
            EXPECT_TRUE(exists(oldId)) << c.name;
            EXPECT_EQ(err, "") << c.name;
        }
        holder->closeInput();
        holder->wait(10000);
    }
}

// Whether a segment of a creator this process cannot see is still held, by the kernel's record
// alone, at a given time.
TEST(SystemUtilsUnseenCreator, HoldsWhileAttachedOrFreshAndNeverAttached)
{
    const time_t now = 1000000;
    const time_t grace = CSystemUtils::kUnseenCreatorGraceSec;
    const struct {
        const char* name;
        shmatt_t nattch;
        time_t atime;
        time_t ctime;
        bool holds;
    } cases[] = {
        {"attached now", 1, now - 100, now - 100, true},
        {"attached now, never detached", 2, now - 1, now - 1000, true},
        {"let go of", 0, now - 1, now - 2, false},
        {"let go of right after creation", 0, now, now, false},
        {"never attached, just made", 0, 0, now, true},
        {"never attached, within the grace", 0, 0, now - grace + 1, true},
        {"never attached, at the grace", 0, 0, now - grace, false},
        {"never attached, long ago", 0, 0, now - 3600, false},
        {"never attached, made after now (clock set back)", 0, 0, now + 3600, true},
    };
    for (const auto& c : cases) {
        shmid_ds ds{};
        ds.shm_nattch = c.nattch;
        ds.shm_atime = c.atime;
        ds.shm_ctime = c.ctime;
        EXPECT_EQ(CSystemUtils::unseenCreatorHolds(ds, now), c.holds) << c.name;
    }
}

} // namespace
