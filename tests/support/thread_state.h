// Whether a thread of this process sleeps, as the kernel tells: for tests that must know that a
// thread waits (on a condition, a mutex or a join) before they act.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <type_traits>

#include "support/zqtest.h"

namespace zqtest {

inline pid_t currentTid()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// True while thread `tid` of this process sleeps in the kernel (state S), not running or
// yielding.
inline bool isSleeping(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

// Runs `fn` on a thread of its own and returns once that thread sleeps in the kernel; *asleep
// tells whether it did within `timeoutMs`. The future gives fn's result.
template <typename Fn> std::future<std::invoke_result_t<Fn>> runUntilAsleep(Fn fn, bool* asleep, int timeoutMs = 60000)
{
    auto tid = std::make_shared<std::atomic<pid_t>>(0);
    auto result = std::async(std::launch::async, [tid, fn]() mutable {
        tid->store(currentTid());
        return fn();
    });
    *asleep = waitUntil([&] { return tid->load() != 0 && isSleeping(tid->load()); }, timeoutMs);
    return result;
}

} // namespace zqtest
