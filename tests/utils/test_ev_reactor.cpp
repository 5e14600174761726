// The event reactor: registration rules, dropping of unregistered records, closing on drop,
// start and stop from several threads, and connections served while others come and go.
#include "support/thread_state.h"
#include "support/zqtest.h"
#include "utils/ev_reactor.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int kWaitMs = 10000;

bool isOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

using zqtest::currentTid;
using zqtest::isSleeping;

int makeEventFd()
{
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

// Reads a non-blocking descriptor empty.
void drain(int fd)
{
    char buf[16];
    while (read(fd, buf, sizeof(buf)) > 0) {
    }
}

// Holds the poll thread inside one of its callbacks, so that no new pass can begin.
class PassBlocker {
public:
    explicit PassBlocker(CEvReactor* reactor) : m_reactor(reactor)
    {
        EXPECT_EQ(pipe2(m_fds, O_CLOEXEC | O_NONBLOCK), 0);
        EXPECT_TRUE(m_reactor->registerEvent(
            m_fds[0], POLL_EVENT_READ, [this](int fd, void*) { onReadable(fd); }, nullptr));
    }
    ~PassBlocker()
    {
        release();
        if (m_reactor->unregisterEventAndClose(m_fds[0])) {
            EXPECT_TRUE(zqtest::waitUntil([this] { return !m_reactor->isEventRegistered(m_fds[0]); }, kWaitMs));
        } else {
            close(m_fds[0]);
        }
        close(m_fds[1]);
    }
    PassBlocker(const PassBlocker&) = delete;
    PassBlocker& operator=(const PassBlocker&) = delete;

    int fd() const { return m_fds[0]; }

    // True once the poll thread is inside the callback.
    bool hold()
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        m_bRelease = false;
        EXPECT_EQ(write(m_fds[1], "x", 1), 1);
        return m_cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [this] { return m_bHeld; });
    }

    // Lets the poll thread go on and waits until it has left the callback.
    void release()
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        m_bRelease = true;
        m_cv.notify_all();
        m_cv.wait(lock, [this] { return !m_bHeld; });
    }

private:
    void onReadable(int fd)
    {
        drain(fd);
        std::unique_lock<std::mutex> lock(m_mtx);
        m_bHeld = true;
        m_cv.notify_all();
        m_cv.wait(lock, [this] { return m_bRelease; });
        m_bHeld = false;
        m_cv.notify_all();
    }

    CEvReactor* m_reactor;
    int m_fds[2]{-1, -1};
    std::mutex m_mtx;
    std::condition_variable m_cv;
    bool m_bHeld{false};
    bool m_bRelease{true};
};

class EvReactorNsTest : public zqtest::NsTest {
protected:
    void TearDown() override { m_reactor->deinit(); }

    // Unregisters `fd` for closing and waits until its record is gone.
    void dropAndWait(int fd)
    {
        ASSERT_TRUE(m_reactor->unregisterEventAndClose(fd));
        ASSERT_TRUE(zqtest::waitUntil([&] { return !m_reactor->isEventRegistered(fd); }, kWaitMs));
    }

    CEvReactor* m_reactor{CEvReactor::getInstance()};
};

TEST_F(EvReactorNsTest, FullTableRefusesWithLineAndMarkedRecordsCount)
{
    ASSERT_TRUE(m_reactor->init(100, 100));
    PassBlocker blocker(m_reactor);
    std::vector<int> fds;
    for (int i = 0; i < 100; ++i) {
        fds.push_back(makeEventFd());
        ASSERT_GE(fds.back(), 0);
    }
    for (int i = 0; i < 99; ++i) { // with the blocker's, 100 registrations
        ASSERT_TRUE(m_reactor->registerEvent(fds[i], POLL_EVENT_READ, nullptr, nullptr));
    }

    zqtest::OutputCapture cap;
    bool extra = m_reactor->registerEvent(fds[99], POLL_EVENT_READ, nullptr, nullptr);
    ASSERT_TRUE(blocker.hold());
    EXPECT_TRUE(m_reactor->unregisterEvent(fds[0]));
    bool whileMarked = m_reactor->registerEvent(fds[99], POLL_EVENT_READ, nullptr, nullptr);
    blocker.release();
    ASSERT_TRUE(zqtest::waitUntil([&] { return !m_reactor->isEventRegistered(fds[0]); }, kWaitMs));
    bool afterDrop = m_reactor->registerEvent(fds[99], POLL_EVENT_READ, nullptr, nullptr);
    cap.stop();

    EXPECT_FALSE(extra);
    EXPECT_FALSE(whileMarked);
    EXPECT_TRUE(afterDrop);
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "31", "Too many event fd !!!"), 2) << cap.out();
    m_reactor->deinit();
    for (int fd : fds) {
        close(fd);
    }
}

TEST_F(EvReactorNsTest, NegativeAndDuplicateRefusedSilentlyUntilTheMarkIsDropped)
{
    ASSERT_TRUE(m_reactor->init(100, 100));
    PassBlocker blocker(m_reactor);
    int fd = makeEventFd();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(m_reactor->registerEvent(fd, POLL_EVENT_READ, nullptr, nullptr));

    zqtest::OutputCapture cap;
    EXPECT_FALSE(m_reactor->registerEvent(-1, POLL_EVENT_READ, nullptr, nullptr));
    EXPECT_FALSE(m_reactor->isEventRegistered(-1));
    EXPECT_FALSE(m_reactor->registerEvent(fd, POLL_EVENT_READ, nullptr, nullptr));
    ASSERT_TRUE(blocker.hold());
    EXPECT_TRUE(m_reactor->unregisterEvent(fd));
    EXPECT_TRUE(m_reactor->isEventRegistered(fd)); // until the next pass begins
    EXPECT_FALSE(m_reactor->registerEvent(fd, POLL_EVENT_READ, nullptr, nullptr));
    blocker.release();
    EXPECT_TRUE(zqtest::waitUntil([&] { return !m_reactor->isEventRegistered(fd); }, kWaitMs));
    EXPECT_FALSE(m_reactor->unregisterEvent(fd));
    EXPECT_TRUE(m_reactor->registerEvent(fd, POLL_EVENT_READ, nullptr, nullptr));
    cap.stop();
    EXPECT_EQ(cap.out(), "");
    m_reactor->deinit();
    close(fd);
}

struct EventCase {
    const char* name;
    int events;
    int peerAction; // 0 none, 1 write a byte, 2 close
    int expectEvents;
    int expectREvents;
};

TEST_F(EvReactorNsTest, RequestedAndReportedEventBits)
{
    const EventCase cases[] = {
        {"negative means read", -5, 1, POLL_EVENT_READ, POLL_EVENT_READ},
        {"write", POLL_EVENT_WRITE, 0, POLL_EVENT_WRITE, POLL_EVENT_WRITE},
        {"read and write", POLL_EVENT_READ | POLL_EVENT_WRITE, 1, 3, 3},
        {"none still sees a hang-up", 0, 2, 0, 0},
    };
    ASSERT_TRUE(m_reactor->init(100, 100));
    for (const EventCase& c : cases) {
        SCOPED_TRACE(c.name);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        int userMarker = 0;
        std::promise<std::pair<int, int>> seen;
        std::atomic<bool> first{true};
        auto callback = [&](int fd, void* arg) {
            auto* record = static_cast<_PollEvent_t*>(arg);
            EXPECT_EQ(record->m_iFd, fd);
            EXPECT_EQ(record->m_pUserData, &userMarker);
            m_reactor->unregisterEvent(fd);
            if (first.exchange(false)) {
                seen.set_value({record->m_iEvents, record->m_iREvents});
            }
        };
        if (c.peerAction == 1) {
            ASSERT_EQ(write(sv[1], "x", 1), 1);
        } else if (c.peerAction == 2) {
            close(sv[1]);
        }
        ASSERT_TRUE(m_reactor->registerEvent(sv[0], c.events, callback, &userMarker));
        auto result = seen.get_future();
        ASSERT_EQ(result.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
        auto bits = result.get();
        EXPECT_EQ(bits.first, c.expectEvents);
        EXPECT_EQ(bits.second, c.expectREvents);
        ASSERT_TRUE(zqtest::waitUntil([&] { return !m_reactor->isEventRegistered(sv[0]); }, kWaitMs));
        close(sv[0]);
        if (c.peerAction != 2) {
            close(sv[1]);
        }
    }
}

TEST_F(EvReactorNsTest, PartlyReadDataIsReportedAgain)
{
    ASSERT_TRUE(m_reactor->init(100, 100));
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(write(p[1], "abc", 3), 3);
    std::atomic<int> calls{0};
    std::string got;
    ASSERT_TRUE(m_reactor->registerEvent(
        p[0], POLL_EVENT_READ,
        [&](int fd, void*) {
            char c;
            if (read(fd, &c, 1) == 1) {
                got += c;
            }
            ++calls;
        },
        nullptr));
    ASSERT_TRUE(zqtest::waitUntil([&] { return calls.load() == 3; }, kWaitMs));
    ASSERT_NO_FATAL_FAILURE(dropAndWait(p[0]));
    EXPECT_EQ(calls.load(), 3); // nothing left to report once the pipe was empty
    EXPECT_EQ(got, "abc");
    close(p[1]);
}

TEST_F(EvReactorNsTest, UnregisteredCallbackIsNeverCalledAgain)
{
    ASSERT_TRUE(m_reactor->init(100, 100));
    PassBlocker blocker(m_reactor);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    std::atomic<int> calls{0};
    ASSERT_TRUE(m_reactor->registerEvent(
        p[0], POLL_EVENT_READ,
        [&](int fd, void*) {
            drain(fd);
            ++calls;
        },
        nullptr));
    ASSERT_EQ(write(p[1], "x", 1), 1);
    ASSERT_TRUE(zqtest::waitUntil([&] { return calls.load() == 1; }, kWaitMs));

    ASSERT_TRUE(blocker.hold());
    ASSERT_EQ(write(p[1], "y", 1), 1); // readable, but unregistered before any pass sees it
    EXPECT_TRUE(m_reactor->unregisterEvent(p[0]));
    EXPECT_TRUE(m_reactor->isEventRegistered(p[0]));
    blocker.release();
    ASSERT_TRUE(zqtest::waitUntil([&] { return !m_reactor->isEventRegistered(p[0]); }, kWaitMs));
    EXPECT_EQ(calls.load(), 1);
    EXPECT_TRUE(isOpen(p[0])); // a plain unregistration leaves the descriptor to its owner
    close(p[0]);
    close(p[1]);
}

TEST_F(EvReactorNsTest, CallbackUnregisteringAnotherReadyOneDropsIt)
{
    ASSERT_TRUE(m_reactor->init(100, 100));
    int a[2];
    int b[2];
    ASSERT_EQ(pipe2(a, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(pipe2(b, O_CLOEXEC | O_NONBLOCK), 0);
    std::atomic<int> calls{0};
    auto both = [&](int, void*) {
        ++calls;
        m_reactor->unregisterEvent(a[0]);
        m_reactor->unregisterEvent(b[0]);
    };
    ASSERT_TRUE(m_reactor->registerEvent(a[0], POLL_EVENT_READ, both, nullptr));
    ASSERT_TRUE(m_reactor->registerEvent(b[0], POLL_EVENT_READ, both, nullptr));
    // Readable only once both are registered: a pass that saw only the first could not drop the
    // second before it was there.
    ASSERT_EQ(write(a[1], "x", 1), 1);
    ASSERT_EQ(write(b[1], "x", 1), 1);
    ASSERT_TRUE(zqtest::waitUntil(
        [&] { return !m_reactor->isEventRegistered(a[0]) && !m_reactor->isEventRegistered(b[0]); }, kWaitMs));
    EXPECT_EQ(calls.load(), 1); // whichever ran first dropped the other, ready or not
    for (int fd : {a[0], a[1], b[0], b[1]}) {
        close(fd);
    }
}

TEST_F(EvReactorNsTest, CloseOnDropClosesOnlyWhenTheRecordIsDropped)
{
    ASSERT_TRUE(m_reactor->init(100, 100));
    PassBlocker blocker(m_reactor);
    int fd = makeEventFd();
    int stranger = makeEventFd();
    ASSERT_GE(fd, 0);
    ASSERT_GE(stranger, 0);
    ASSERT_TRUE(m_reactor->registerEvent(fd, POLL_EVENT_READ, nullptr, nullptr));

    EXPECT_FALSE(m_reactor->unregisterEventAndClose(stranger));
    EXPECT_TRUE(isOpen(stranger)); // not registered: left to its owner

    ASSERT_TRUE(blocker.hold());
    EXPECT_TRUE(m_reactor->unregisterEventAndClose(fd));
    EXPECT_TRUE(isOpen(fd)); // its number cannot be reused while the record exists
    EXPECT_TRUE(m_reactor->isEventRegistered(fd));
    blocker.release();
    // The record leaves the registry before the dropped record is destroyed (and its descriptor
    // closed) with the mutex free: wait for both.
    EXPECT_TRUE(zqtest::waitUntil([&] { return !m_reactor->isEventRegistered(fd) && !isOpen(fd); }, kWaitMs));
    close(stranger);
}

// Descriptor numbers in every epoll set of this process, as the kernel lists them.
std::vector<int> epollWatchedFds()
{
    std::vector<int> watched;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return watched;
    }
    while (struct dirent* entry = readdir(dir)) {
        char target[64] = {};
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof(target) - 1) <= 0 ||
            std::string(target) != "anon_inode:[eventpoll]") {
            continue;
        }
        std::ifstream info(std::string("/proc/self/fdinfo/") + entry->d_name);
        std::string line;
        while (std::getline(info, line)) {
            int fd = -1;
            if (sscanf(line.c_str(), "tfd: %d", &fd) == 1) {
                watched.push_back(fd);
            }
        }
    }
    closedir(dir);
    return watched;
}

// Three pipes whose read ends, registered in this order and readable together, one pass reports
// in that order: `first`, then `victim` (which first's callback drops), then `last`. The write
// ends close with it; the read ends are the test's.
struct PassPipes {
    void open()
    {
        for (auto& p : fds) {
            ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
        }
        // Descriptors ready when added come up in the order they were added: ascending.
        first = fds[0][0];
        victim = fds[1][0];
        last = fds[2][0];
        ASSERT_LT(first, victim);
        ASSERT_LT(victim, last);
    }
    // While `blocker` holds the poll thread: registers the read ends, makes them readable and lets
    // a pass serve them. first's callback drains its pipe and, on its first call, drops the victim
    // with `dropVictim`, on later ones calls `laterFirst`; the victim's callback only counts its
    // calls (its byte stays unread); last's drains its pipe and calls `onLast`.
    void servePass(CEvReactor* reactor, PassBlocker& blocker, std::function<void()> dropVictim,
                   std::function<void()> laterFirst, std::function<void()> onLast)
    {
        ASSERT_TRUE(blocker.hold());
        ASSERT_TRUE(reactor->registerEvent(
            first, POLL_EVENT_READ,
            [this, dropVictim, laterFirst](int fd, void*) {
                drain(fd);
                if (!unregistered.exchange(true)) {
                    dropVictim();
                } else {
                    laterFirst();
                }
            },
            nullptr));
        ASSERT_TRUE(reactor->registerEvent(
            victim, POLL_EVENT_READ, [this](int, void*) { ++victimCalls; }, nullptr));
        ASSERT_TRUE(reactor->registerEvent(
            last, POLL_EVENT_READ,
            [onLast](int fd, void*) {
                drain(fd);
                onLast();
            },
            nullptr));
        for (auto& p : fds) {
            ASSERT_EQ(write(p[1], "x", 1), 1);
        }
        blocker.release();
    }
    ~PassPipes()
    {
        for (auto& p : fds) {
            if (p[1] >= 0) {
                close(p[1]);
            }
        }
    }

    int fds[3][2]{{-1, -1}, {-1, -1}, {-1, -1}};
    int first{-1};
    int victim{-1};
    int last{-1};
    std::atomic<bool> unregistered{false}; // first's callback dropped the victim
    std::atomic<int> victimCalls{0};
};

TEST_F(EvReactorNsTest, RecordDroppedLaterInThePassLeavesTheEpollSet)
{
    // A registrant may close its descriptor as soon as the record is gone. When another
    // descriptor still refers to the same open file (a dup, a forked child), closing does not
    // take it out of the epoll set, which would then keep reporting the freed record.
    ASSERT_TRUE(m_reactor->init(100, 100));
    PassBlocker blocker(m_reactor);
    PassPipes pipes;
    ASSERT_NO_FATAL_FAILURE(pipes.open());
    const int alias = fcntl(pipes.victim, F_DUPFD_CLOEXEC, 0);
    ASSERT_GE(alias, 0);

    std::atomic<bool> closedInPass{false};
    std::atomic<int> laterFirstCalls{0};
    ASSERT_NO_FATAL_FAILURE(pipes.servePass(
        m_reactor, blocker, [&] { m_reactor->unregisterEvent(pipes.victim); }, [&] { ++laterFirstCalls; },
        [&] {
            // The registrant's side: the record is gone, so the descriptor may be closed.
            if (pipes.unregistered.load() && !closedInPass.load() && !m_reactor->isEventRegistered(pipes.victim)) {
                close(pipes.victim);
                closedInPass = true;
            }
        }));
    ASSERT_TRUE(zqtest::waitUntil([&] { return closedInPass.load(); }, kWaitMs));
    EXPECT_EQ(pipes.victimCalls.load(), 0);

    // A later pass with the file still readable through the alias.
    ASSERT_EQ(write(pipes.fds[0][1], "y", 1), 1);
    ASSERT_TRUE(zqtest::waitUntil([&] { return laterFirstCalls.load() >= 1; }, kWaitMs));
    const std::vector<int> watched = epollWatchedFds();
    EXPECT_EQ(std::count(watched.begin(), watched.end(), pipes.victim), 0);

    for (int fd : {pipes.first, pipes.last}) {
        ASSERT_NO_FATAL_FAILURE(dropAndWait(fd));
    }
    close(alias);
}

TEST_F(EvReactorNsTest, NumberOfARecordDroppedInThePassIsLeftAloneByThatPass)
{
    // Once a record is gone its number may come back at once for another file of any thread
    // (here the test's eventfd(), in a library a socket()). The rest of the pass must not touch that
    // number: the flag that lets the pass end is relaxed on purpose, so the pass is not ordered
    // after the reuse, just as it is not after a stranger's socket(); the thread sanitizer
    // reports any access to the number after the drop.
    ASSERT_TRUE(m_reactor->init(100, 100));
    PassBlocker blocker(m_reactor);
    PassPipes pipes;
    ASSERT_NO_FATAL_FAILURE(pipes.open());

    struct stat victimFile {};
    ASSERT_EQ(fstat(pipes.victim, &victimFile), 0);
    std::atomic<bool> reused{false};
    std::atomic<bool> lastDone{false};
    ASSERT_NO_FATAL_FAILURE(pipes.servePass(
        m_reactor, blocker, [&] { m_reactor->unregisterEventAndClose(pipes.victim); }, [] {},
        [&] {
            if (lastDone.load()) {
                return;
            }
            // Stays in the pass that dropped the victim until its number belongs to another file.
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
            while (!reused.load(std::memory_order_relaxed) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            lastDone = true;
        }));
    ASSERT_TRUE(zqtest::waitUntil([&] { return !m_reactor->isEventRegistered(pipes.victim); }, kWaitMs));
    // Closed by the reactor when it dropped the record: the number is free, or already another
    // file's (another thread of this process, a sanitizer's say, may have taken it since).
    struct stat now {};
    EXPECT_FALSE(fstat(pipes.victim, &now) == 0 && now.st_dev == victimFile.st_dev && now.st_ino == victimFile.st_ino);
    // New descriptors take the lowest free number: fill the gaps below until one gets it.
    std::vector<int> fillers;
    int reuser = makeEventFd();
    while (reuser >= 0 && reuser < pipes.victim) {
        fillers.push_back(reuser);
        reuser = makeEventFd();
    }
    // Another thread of this process (a sanitizer's, say) may have taken the number first: then
    // that file is the reuser, which is the case the pass must leave alone all the same.
    const bool ownReuse = reuser == pipes.victim;
    reused.store(true, std::memory_order_relaxed);
    ASSERT_TRUE(zqtest::waitUntil([&] { return lastDone.load(); }, kWaitMs));
    EXPECT_EQ(pipes.victimCalls.load(), 0);

    for (int fd : {pipes.first, pipes.last}) {
        ASSERT_NO_FATAL_FAILURE(dropAndWait(fd));
    }
    // The number is the reuser's: still open, and never in the reactor's set.
    if (ownReuse) {
        EXPECT_TRUE(isOpen(pipes.victim));
    }
    const std::vector<int> watched = epollWatchedFds();
    EXPECT_EQ(std::count(watched.begin(), watched.end(), pipes.victim), 0);
    m_reactor->deinit();
    close(reuser);
    for (int fd : fillers) {
        close(fd);
    }
}

// Which of the reactor's mutexes a probe asks for: the table's (a lookup) or the lifecycle's
// (init, which returns at once when the reactor runs and starts it otherwise).
enum class Probed { Table, Lifecycle };

// Captured by a callback, so destroyed with its record: asks the reactor from another thread
// whether a mutex is free at that moment (a captured object's destructor may take any lock).
class MutexProbe {
public:
    MutexProbe(CEvReactor* reactor, Probed what, std::atomic<int>* verdict, std::future<bool>* keep)
        : m_reactor(reactor), m_what(what), m_verdict(verdict), m_keep(keep)
    {
    }
    ~MutexProbe()
    {
        CEvReactor* reactor = m_reactor;
        const Probed what = m_what;
        // The future outlives this destructor: a probe stuck on the mutex ends only after it.
        *m_keep = std::async(std::launch::async, [reactor, what] {
            return what == Probed::Table ? reactor->isEventRegistered(1 << 20) : reactor->init(100, 100);
        });
        bool answered = m_keep->wait_for(std::chrono::milliseconds(kWaitMs)) == std::future_status::ready;
        m_verdict->store(answered ? 1 : 2);
    }
    MutexProbe(const MutexProbe&) = delete;
    MutexProbe& operator=(const MutexProbe&) = delete;

private:
    CEvReactor* m_reactor;
    Probed m_what;
    std::atomic<int>* m_verdict;
    std::future<bool>* m_keep;
};

enum class DropBy { NextPass, SamePass, NoPollThread, Deinit, Init };

struct DropCase {
    const char* name;
    DropBy by;
    Probed what;
};

TEST_F(EvReactorNsTest, DroppedRecordsAreDestroyedWithTheMutexFree)
{
    const DropCase cases[] = {
        {"marked, dropped when the next pass begins", DropBy::NextPass, Probed::Table},
        {"marked, its event later in the same pass", DropBy::SamePass, Probed::Table},
        {"unregistered with no poll thread", DropBy::NoPollThread, Probed::Table},
        {"dropped by deinit", DropBy::Deinit, Probed::Table},
        {"dropped by init", DropBy::Init, Probed::Table},
        {"dropped by deinit, lifecycle", DropBy::Deinit, Probed::Lifecycle},
        {"dropped by init, lifecycle", DropBy::Init, Probed::Lifecycle},
        {"marked, next pass, lifecycle", DropBy::NextPass, Probed::Lifecycle},
    };
    for (const DropCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> verdict{0}; // 1 free, 2 held
        std::future<bool> keep;
        int trigger[2];
        ASSERT_EQ(pipe2(trigger, O_CLOEXEC | O_NONBLOCK), 0);
        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
        auto probe = std::make_shared<MutexProbe>(m_reactor, c.what, &verdict, &keep);
        std::function<void(int, void*)> capture = [probe](int, void*) {};
        probe.reset(); // once registered, the record's callback holds the only reference
        if (c.by != DropBy::NoPollThread && c.by != DropBy::Init) {
            ASSERT_TRUE(m_reactor->init(100, 100));
        }
        std::unique_ptr<PassBlocker> blocker;
        switch (c.by) {
        case DropBy::NextPass:
            ASSERT_TRUE(m_reactor->registerEvent(p[0], POLL_EVENT_READ, std::move(capture), nullptr));
            ASSERT_TRUE(m_reactor->unregisterEvent(p[0]));
            break;
        case DropBy::SamePass: {
            // The trigger's callback unregisters the probe's record, whose event comes later.
            blocker = std::make_unique<PassBlocker>(m_reactor);
            ASSERT_TRUE(blocker->hold());
            ASSERT_LT(trigger[0], p[0]);
            ASSERT_TRUE(m_reactor->registerEvent(
                trigger[0], POLL_EVENT_READ, [this, &p](int, void*) { m_reactor->unregisterEvent(p[0]); }, nullptr));
            ASSERT_TRUE(m_reactor->registerEvent(p[0], POLL_EVENT_READ, std::move(capture), nullptr));
            ASSERT_EQ(write(trigger[1], "x", 1), 1);
            ASSERT_EQ(write(p[1], "x", 1), 1);
            blocker->release();
            break;
        }
        case DropBy::NoPollThread:
            ASSERT_TRUE(m_reactor->registerEvent(p[0], POLL_EVENT_READ, std::move(capture), nullptr));
            ASSERT_TRUE(m_reactor->unregisterEvent(p[0]));
            break;
        case DropBy::Deinit:
            ASSERT_TRUE(m_reactor->registerEvent(p[0], POLL_EVENT_READ, std::move(capture), nullptr));
            m_reactor->deinit();
            break;
        case DropBy::Init:
            ASSERT_TRUE(m_reactor->registerEvent(p[0], POLL_EVENT_READ, std::move(capture), nullptr));
            ASSERT_TRUE(m_reactor->init(100, 100));
            break;
        }
        EXPECT_TRUE(zqtest::waitUntil([&] { return verdict.load() != 0; }, 3 * kWaitMs));
        EXPECT_EQ(verdict.load(), 1);
        m_reactor->deinit();
        blocker.reset();
        if (keep.valid()) {
            keep.wait();
        }
        for (int fd : {p[0], p[1], trigger[0], trigger[1]}) {
            close(fd);
        }
    }
}

TEST_F(EvReactorNsTest, ExceptionFromACallbackIsReportedAndServingGoesOn)
{
    ASSERT_TRUE(m_reactor->init(100, 100));
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    std::atomic<int> calls{0};
    zqtest::OutputCapture cap;
    ASSERT_TRUE(m_reactor->registerEvent(
        p[0], POLL_EVENT_READ,
        [&](int fd, void*) {
            char buf[8];
            while (read(fd, buf, sizeof(buf)) > 0) {
            }
            int call = ++calls;
            if (call == 1) {
                throw std::runtime_error("application fault");
            }
            if (call == 2) {
                throw 42; // not even a std::exception
            }
        },
        nullptr));
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(write(p[1], "x", 1), 1);
        ASSERT_TRUE(zqtest::waitUntil([&] { return calls.load() == i; }, kWaitMs));
    }
    ASSERT_NO_FATAL_FAILURE(dropAndWait(p[0]));
    cap.stop();
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "31",
                                    "Error: event callback of fd " + std::to_string(p[0]) + " threw an exception!"),
              2)
        << cap.out();
    close(p[1]);
}

struct NoPollThreadCase {
    const char* name;
    bool runOnceBefore; // the reactor ran and was stopped, as after a participant's deletion
};

TEST_F(EvReactorNsTest, WithoutPollThreadUnregisteringErasesAtOnce)
{
    for (const NoPollThreadCase& c : {NoPollThreadCase{"never started", false}, NoPollThreadCase{"stopped", true}}) {
        SCOPED_TRACE(c.name);
        if (c.runOnceBefore) {
            ASSERT_TRUE(m_reactor->init(100, 100));
            m_reactor->deinit();
        }
        int plain = makeEventFd();
        int closing = makeEventFd();
        ASSERT_TRUE(m_reactor->registerEvent(plain, POLL_EVENT_READ, nullptr, nullptr));
        ASSERT_TRUE(m_reactor->registerEvent(closing, POLL_EVENT_READ, nullptr, nullptr));
        EXPECT_TRUE(m_reactor->unregisterEvent(plain));
        EXPECT_FALSE(m_reactor->isEventRegistered(plain));
        EXPECT_TRUE(isOpen(plain));
        EXPECT_TRUE(m_reactor->unregisterEventAndClose(closing));
        EXPECT_FALSE(m_reactor->isEventRegistered(closing));
        EXPECT_FALSE(isOpen(closing));
        EXPECT_FALSE(m_reactor->unregisterEvent(plain));
        close(plain);
    }
}

TEST_F(EvReactorNsTest, InitEmptiesTheTableAndKeepsTheFirstLimitsWhileRunning)
{
    int fds[3];
    for (int& fd : fds) {
        fd = makeEventFd();
        ASSERT_GE(fd, 0);
    }
    ASSERT_TRUE(m_reactor->registerEvent(fds[0], POLL_EVENT_READ, nullptr, nullptr));
    ASSERT_TRUE(m_reactor->init(2, 100));
    EXPECT_FALSE(m_reactor->isEventRegistered(fds[0])); // made before init: gone
    EXPECT_TRUE(m_reactor->init(100, 50));

    zqtest::OutputCapture cap;
    EXPECT_TRUE(m_reactor->registerEvent(fds[0], POLL_EVENT_READ, nullptr, nullptr));
    EXPECT_TRUE(m_reactor->registerEvent(fds[1], POLL_EVENT_READ, nullptr, nullptr));
    EXPECT_FALSE(m_reactor->registerEvent(fds[2], POLL_EVENT_READ, nullptr, nullptr));
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Too many event fd !!!")) << cap.out();

    m_reactor->deinit();
    m_reactor->deinit(); // stopped already: nothing happens
    for (int fd : fds) {
        EXPECT_FALSE(m_reactor->isEventRegistered(fd));
        EXPECT_TRUE(isOpen(fd));
        close(fd);
    }
}

TEST_F(EvReactorNsTest, DeinitDropsEverythingAndClosesOnlyWhatWasMarkedForClosing)
{
    int threadsBefore = zqtest::baselineThreads();
    ASSERT_TRUE(m_reactor->init(100, 100));
    auto blocker = std::make_unique<PassBlocker>(m_reactor);
    int plain = makeEventFd();
    int closing = makeEventFd();
    ASSERT_TRUE(m_reactor->registerEvent(plain, POLL_EVENT_READ, nullptr, nullptr));
    ASSERT_TRUE(m_reactor->registerEvent(closing, POLL_EVENT_READ, nullptr, nullptr));
    ASSERT_TRUE(blocker->hold());
    ASSERT_TRUE(m_reactor->unregisterEventAndClose(closing));

    std::atomic<pid_t> stopperTid{0};
    std::thread stopper([&] {
        stopperTid = currentTid();
        m_reactor->deinit();
    });
    // The stopper waits for the held pass, so the marked record is still in the table when
    // deinit empties it.
    ASSERT_TRUE(zqtest::waitUntil([&] { return stopperTid.load() != 0 && isSleeping(stopperTid.load()); }, kWaitMs));
    EXPECT_TRUE(m_reactor->isEventRegistered(closing));
    blocker->release();
    stopper.join();

    EXPECT_FALSE(m_reactor->isEventRegistered(plain));
    EXPECT_FALSE(m_reactor->isEventRegistered(blocker->fd()));
    EXPECT_TRUE(isOpen(plain));
    EXPECT_FALSE(isOpen(closing));
    EXPECT_EQ(zqtest::threadsSettleAt(threadsBefore), threadsBefore);
    blocker.reset();
    close(plain);
}

TEST_F(EvReactorNsTest, CallbackCannotStopOrRestartItsOwnReactor)
{
    ASSERT_TRUE(m_reactor->init(100, 100));
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    std::atomic<int> calls{0};
    std::atomic<bool> initResult{false};
    ASSERT_TRUE(m_reactor->registerEvent(
        p[0], POLL_EVENT_READ,
        [&](int fd, void*) {
            char buf[8];
            while (read(fd, buf, sizeof(buf)) > 0) {
            }
            m_reactor->deinit();
            initResult = m_reactor->init(1, 1);
            ++calls;
        },
        nullptr));
    ASSERT_EQ(write(p[1], "x", 1), 1);
    ASSERT_TRUE(zqtest::waitUntil([&] { return calls.load() == 1; }, kWaitMs));
    EXPECT_TRUE(initResult.load());
    // Still running, with its registrations and its first limit.
    EXPECT_TRUE(m_reactor->isEventRegistered(p[0]));
    int other = makeEventFd();
    EXPECT_TRUE(m_reactor->registerEvent(other, POLL_EVENT_READ, nullptr, nullptr));
    ASSERT_EQ(write(p[1], "y", 1), 1);
    EXPECT_TRUE(zqtest::waitUntil([&] { return calls.load() == 2; }, kWaitMs));
    m_reactor->deinit();
    for (int fd : {p[0], p[1], other}) {
        close(fd);
    }
}

TEST_F(EvReactorNsTest, InitAndDeinitFromSeveralThreadsAtOnce)
{
    int threadsBefore = zqtest::baselineThreads();
    std::vector<int> fds;
    for (int i = 0; i < 8; ++i) {
        fds.push_back(makeEventFd());
        ASSERT_GE(fds.back(), 0);
    }
    int fdsBefore = zqtest::countOpenFds();

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            std::mt19937 rng(static_cast<unsigned>(t));
            for (int i = 0; i < 150; ++i) {
                if (rng() % 2 == 0) {
                    m_reactor->init(100, 100);
                } else {
                    m_reactor->deinit();
                }
            }
        });
    }
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(100 + t));
            while (!stop.load()) {
                int fd = fds[rng() % fds.size()];
                switch (rng() % 3) {
                case 0:
                    m_reactor->registerEvent(
                        fd, POLL_EVENT_READ, [](int, void*) {}, nullptr);
                    break;
                case 1:
                    m_reactor->unregisterEvent(fd);
                    break;
                default:
                    m_reactor->isEventRegistered(fd);
                }
            }
        });
    }
    for (int t = 0; t < 4; ++t) {
        threads[t].join();
    }
    stop = true;
    for (size_t t = 4; t < threads.size(); ++t) {
        threads[t].join();
    }
    m_reactor->deinit();
    EXPECT_EQ(zqtest::threadsSettleAt(threadsBefore), threadsBefore);
    EXPECT_EQ(zqtest::countOpenFds(), fdsBefore); // every epoll set closed

    // Started again, it serves from an empty table.
    for (int fd : fds) {
        m_reactor->unregisterEvent(fd);
    }
    ASSERT_TRUE(m_reactor->init(100, 100));
    for (int fd : fds) {
        EXPECT_FALSE(m_reactor->isEventRegistered(fd));
    }
    std::promise<void> served;
    uint64_t one = 1;
    ASSERT_TRUE(m_reactor->registerEvent(
        fds[0], POLL_EVENT_READ,
        [&](int fd, void*) {
            uint64_t value;
            EXPECT_EQ(read(fd, &value, sizeof(value)), static_cast<ssize_t>(sizeof(value)));
            served.set_value();
        },
        nullptr));
    ASSERT_EQ(write(fds[0], &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
    EXPECT_EQ(served.get_future().wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    m_reactor->deinit();
    for (int fd : fds) {
        close(fd);
    }
}

// An echo server on the reactor, as the writing side of a control channel uses it: the listening
// socket and every accepted connection registered, each closed through the reactor.
class EchoServer {
public:
    EchoServer(CEvReactor* reactor, uint16_t port) : m_reactor(reactor)
    {
        m_iListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        int on = 1;
        setsockopt(m_iListenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bOk = bind(m_iListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
                listen(m_iListenFd, 64) == 0 &&
                m_reactor->registerEvent(
                    m_iListenFd, POLL_EVENT_READ, [this](int fd, void*) { onAccept(fd); }, nullptr);
    }

    bool ok() const { return m_bOk; }
    int listenFd() const { return m_iListenFd; }
    int refused() const { return m_iRefused.load(); }

private:
    void onAccept(int listenFd)
    {
        int conn = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) {
            return;
        }
        if (!m_reactor->registerEvent(
                conn, POLL_EVENT_READ, [this](int fd, void*) { onData(fd); }, nullptr)) {
            ++m_iRefused;
            close(conn);
        }
    }

    void onData(int fd)
    {
        char buf[2048];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n > 0) {
            EXPECT_EQ(send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL), n);
            return;
        }
        int err = errno;
        if (n == 0 || (err != EAGAIN && err != EINTR)) {
            m_reactor->unregisterEventAndClose(fd);
        }
    }

    CEvReactor* m_reactor;
    int m_iListenFd{-1};
    bool m_bOk{false};
    std::atomic<int> m_iRefused{0};
};

int connectTo(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends a message and reads its echo; false when the echo does not come.
bool roundTrip(int fd, const std::string& msg)
{
    if (send(fd, msg.data(), msg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(msg.size())) {
        return false;
    }
    std::string got;
    while (got.size() < msg.size()) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, kWaitMs) != 1) {
            return false;
        }
        char buf[256];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            return false;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    return got == msg;
}

TEST_F(EvReactorNsTest, ConnectionsComeAndGoWhileOthersStayUp)
{
    constexpr uint16_t kPort = 42001;
    constexpr int kClients = 2;
    constexpr int kLongPerClient = 2;
    constexpr int kRounds = 150;
    ASSERT_TRUE(m_reactor->init(100, 100));
    int fdsBefore = zqtest::countOpenFds();
    auto server = std::make_unique<EchoServer>(m_reactor, kPort);
    ASSERT_TRUE(server->ok());

    std::atomic<int> shortServed{0};
    std::atomic<int> longServed{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            std::vector<int> longConns;
            for (int i = 0; i < kLongPerClient; ++i) {
                longConns.push_back(connectTo(kPort));
            }
            for (int round = 0; round < kRounds; ++round) {
                int fd = connectTo(kPort);
                if (fd >= 0 && roundTrip(fd, "short " + std::to_string(c) + "/" + std::to_string(round))) {
                    ++shortServed;
                }
                if (fd >= 0) {
                    close(fd);
                }
                int longFd = longConns[static_cast<size_t>(round % kLongPerClient)];
                if (longFd >= 0 && roundTrip(longFd, "long " + std::to_string(round))) {
                    ++longServed;
                }
            }
            for (int fd : longConns) {
                if (fd >= 0) {
                    close(fd);
                }
            }
        });
    }
    for (auto& t : clients) {
        t.join();
    }
    EXPECT_EQ(shortServed.load(), kClients * kRounds);
    EXPECT_EQ(longServed.load(), kClients * kRounds);
    EXPECT_EQ(server->refused(), 0);

    int listenFd = server->listenFd();
    ASSERT_NO_FATAL_FAILURE(dropAndWait(listenFd));
    // Every server-side connection was closed through the reactor once its peer left.
    EXPECT_TRUE(zqtest::waitUntil([&] { return zqtest::countOpenFds() == fdsBefore; }, kWaitMs))
        << zqtest::countOpenFds() << " open, " << fdsBefore << " before";
    m_reactor->deinit(); // no callback can refer to the server any more
    server.reset();
}

} // namespace
