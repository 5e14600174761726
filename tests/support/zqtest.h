// Test support: private namespaces, output capture, helper processes and extra hosts.
//
// Every test process starts (in zqtest_main) by moving into private network, IPC and mount
// namespaces: `lo` up with multicast and a 224.0.0.0/4 route, and its own tmpfs on /tmp (with the
// source and build trees bound back in when they lie under /tmp). Tests that open sockets, join
// multicast groups or create System V segments derive their fixture from zqtest::NsTest (fixture
// names end in "NsTest"); where the namespaces were refused they skip with the reason, so nothing
// ever runs in the machine's own namespaces.
#pragma once

#include "utils/dds_common.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <sys/syscall.h>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zqtest {

// True when this process runs in its own network, IPC and mount namespaces (set up by
// enterPrivateNamespaces).
bool isolated();
// Why isolation was refused (empty when isolated).
const std::string& isolationError();

// Skips the current test unless the process is isolated.
#define ZQ_REQUIRE_NAMESPACE()                                                                                         \
    do {                                                                                                               \
        if (!::zqtest::isolated()) {                                                                                   \
            GTEST_SKIP() << "needs private network/IPC/mount namespaces: " << ::zqtest::isolationError();              \
        }                                                                                                              \
    } while (0)

// Base fixture of every test that touches sockets, multicast or System V IPC.
class NsTest : public ::testing::Test {
protected:
    void SetUp() override { ZQ_REQUIRE_NAMESPACE(); }
};

// Sets up the namespaces of the calling process (single-threaded only). Used by zqtest_main and
// by helper programs that want namespaces of their own.
bool enterPrivateNamespaces(std::string* error);
// Mounts a fresh tmpfs on /tmp of the calling thread's mount namespace and binds each directory
// of `keep` that lies under /tmp back at its own path inside it (others are left alone).
bool mountPrivateTmp(const std::vector<std::string>& keep, std::string* error);
// Brings an interface up with multicast on; adds a 224.0.0.0/4 route on it when asked.
bool bringUp(const std::string& ifName, bool multicastRoute, std::string* error);

// Captures what this process writes to stdout and stderr (the file descriptors, so printf,
// perror and std::cout are all seen) until stop() or destruction.
class OutputCapture {
public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Stops capturing (idempotent) and restores the original descriptors.
    void stop();
    const std::string& out() const { return m_out; }
    const std::string& err() const { return m_err; }

private:
    int m_savedOut{-1};
    int m_savedErr{-1};
    int m_fileOut{-1};
    int m_fileErr{-1};
    bool m_active{false};
    std::string m_out;
    std::string m_err;
};

// A diagnostic line as the library prints it, without " @function,line".
// color: "31" red, "32" green, "33" yellow, "34" blue.
std::string ddsLine(const std::string& color, const std::string& text);
// True when `output` holds a line that starts with ddsLine(color, text) followed by " @".
bool hasDdsLine(const std::string& output, const std::string& color, const std::string& text);
// Number of such lines.
int countDdsLines(const std::string& output, const std::string& color, const std::string& text);

// Path of a helper program built from tests/helpers/<name>.cpp.
std::string helperPath(const std::string& name);

// A child process started with posix_spawn (never fork: the test process has threads). Its
// stdout and stderr go to a pipe that this object reads. The destructor kills it (SIGKILL) and
// reaps it.
class ChildProcess {
public:
    static std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv, std::string* error = nullptr);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    // Reads output until a line containing `text` arrives; false on timeout or exit.
    bool waitForLine(const std::string& text, int timeoutMs, std::string* line = nullptr);
    // Everything read so far.
    const std::string& output();
    // Writes to the child's stdin.
    bool writeInput(const std::string& data);
    void closeInput();
    void signal(int sig);
    // Waits for exit; returns the raw wait status, or -1 on timeout.
    int wait(int timeoutMs);
    // Exit code after wait(), -1 if killed by a signal or still running.
    int exitCode() const;

private:
    ChildProcess() = default;
    bool pump(int timeoutMs);

    pid_t m_pid{-1};
    int m_outFd{-1};
    int m_inFd{-1};
    bool m_exited{false};
    int m_status{0};
    std::string m_output;
    size_t m_scanPos{0};
};

// Runs a command to completion (with a deadline) and gives its exit code, -1 on failure.
int runCommand(const std::vector<std::string>& argv, int timeoutMs = 10000, std::string* output = nullptr);

// An extra "host": a process holding network, IPC and mount namespaces of its own (lo up with
// multicast, its own /tmp). Commands run inside it with nsenter. Destroying the host kills what
// runs in it; the namespaces and any veth end in them vanish with the last process.
class NetHost {
public:
    static std::unique_ptr<NetHost> create(std::string* error = nullptr);
    ~NetHost();
    NetHost(const NetHost&) = delete;
    NetHost& operator=(const NetHost&) = delete;

    pid_t pid() const { return m_holder->pid(); }
    // Starts a process inside the host.
    std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv, std::string* error = nullptr);
    // Runs a command inside the host to completion; its exit code or -1.
    int run(const std::vector<std::string>& argv, int timeoutMs = 10000, std::string* output = nullptr);

private:
    NetHost() = default;
    std::unique_ptr<ChildProcess> m_holder;
};

// Joins two hosts with a veth pair: `ifA` with `cidrA` (e.g. "198.18.0.1/24") in host a, `ifB`
// with `cidrB` in host b. Both ends get multicast on and a 224.0.0.0/4 route. A null host means
// this test process's own (private) namespace. Refused unless this process is isolated().
bool joinHosts(NetHost* a, const std::string& ifA, const std::string& cidrA, NetHost* b, const std::string& ifB,
               const std::string& cidrB, std::string* error = nullptr);

// Whether `group` is joined on interface `ifName` in this process's network namespace (from
// /proc/net/igmp).
bool joinedOn(const std::string& ifName, const std::string& group);
// The device the routing table of this process's network namespace picks for `addr`; empty when
// there is none.
std::string routeDevice(const std::string& addr);

// Runs `f` when the scope ends, on every path out of a test body (an ASSERT returns early): used
// to unregister callbacks and join threads before the locals they capture go away.
template <typename F> class ScopeExit {
public:
    explicit ScopeExit(F f) : m_f(std::move(f)) {}
    ~ScopeExit() { m_f(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    F m_f;
};

// Number of open descriptors of this process.
int countOpenFds();
// Number of threads of this process.
int countThreads();

// Polls `pred` until it holds or `timeoutMs` passes; for state that has no event to wait on.
template <typename Pred> bool waitUntil(Pred pred, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return pred();
        }
        struct timespec ts {
            0, 1000000
        };
        nanosleep(&ts, nullptr);
    }
    return true;
}

// The thread count to compare against later: a first thread is made and joined before counting,
// since some runtimes (TSan) start a helper thread of their own at the first thread creation.
inline int baselineThreads()
{
    // The library's line writer is started now, not after the count.
    ddsLogFlush(10000);
    pid_t tid = 0;
    std::thread([&tid] { tid = static_cast<pid_t>(syscall(SYS_gettid)); }).join();
    // The joined thread can still be listed for a moment.
    std::string task = "/proc/self/task/" + std::to_string(tid);
    waitUntil([&] { return access(task.c_str(), F_OK) != 0; }, 2000);
    return countThreads();
}

// The thread count once it reaches `expected`, or whatever it is after `timeoutMs`. A joined
// thread can still be listed in /proc for a moment after pthread_join returns.
inline int threadsSettleAt(int expected, int timeoutMs = 2000)
{
    int count = countThreads();
    waitUntil([&] { return (count = countThreads()) == expected; }, timeoutMs);
    return count;
}

} // namespace zqtest
