// Bounded wait run before a blocking wait on the message path. A hand-off from a thread on
// another CPU usually lands within microseconds, far sooner than a sleeping thread is woken
// (about 25 us on these machines), and a consumer that is still looking costs its producer no
// wake-up call. Each look is followed by sched_yield rather than a pause loop: on a loaded
// (virtual) machine a thread that burns its CPU delays the very thread it waits for, while a
// yielding one gives way to it and still takes the hand-off at once when the CPU is free.
// The budget is short so that an idle channel sleeps within a fraction of a millisecond.
#pragma once

#include <sched.h>

#include <chrono>

// Time spent looking before a hot-path wait blocks. Longer than a round trip between two
// processes, so that the threads of a request/reply exchange stay awake between messages.
constexpr int SPIN_WAIT_US = 200;
// A yield that takes longer than this means the CPU is busy with other threads.
constexpr int SPIN_YIELD_LATE_US = 20;
// How often a thread looks again at the CPUs it may run on.
constexpr auto SPIN_AFFINITY_RECHECK = std::chrono::milliseconds(100);

// Where the thread a wait looks for runs.
enum SpinPeer_e {
    SPIN_PEER_IN_PROCESS = 0,    // a thread of this process, which may share this thread's CPU
    SPIN_PEER_OTHER_PROCESS = 1, // another process, with CPUs of its own when pinned
};

// False for a thread under a real-time policy: there a yield returns at once unless another
// real-time thread is ready, so the look would run its whole budget at real-time priority and
// hold normal threads (the very producer among them) off this CPU. False also for a thread bound
// to a single CPU that waits for a thread of its own process: that thread would share the CPU,
// and one that keeps yielding instead of sleeping loses the prompt turn the scheduler gives a
// woken thread, so each hand-off would wait for a time slice. A pinned thread waiting for
// another process still looks: that process runs on CPUs of its own. Cached per thread, looked at
// again now and then (an application may pin its threads or change their policy at any time).
inline bool spinWorthwhile(std::chrono::steady_clock::time_point now, SpinPeer_e peer = SPIN_PEER_IN_PROCESS)
{
    thread_local std::chrono::steady_clock::time_point nextCheck{};
    thread_local bool realTime = false;
    thread_local bool singleCpu = true;
    if (now >= nextCheck) {
        const int policy = sched_getscheduler(0);
        realTime = policy == SCHED_FIFO || policy == SCHED_RR;
        cpu_set_t set;
        CPU_ZERO(&set);
        singleCpu = sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) <= 1;
        nextCheck = now + SPIN_AFFINITY_RECHECK;
    }
    return !realTime && (!singleCpu || peer == SPIN_PEER_OTHER_PROCESS);
}

// Looks at `ready` until it holds or `budgetUs` microseconds have passed; its last result.
template <typename Ready>
bool spinUntil(Ready&& ready, int budgetUs = SPIN_WAIT_US, SpinPeer_e peer = SPIN_PEER_IN_PROCESS)
{
    if (ready()) {
        return true;
    }
    if (budgetUs <= 0) {
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!spinWorthwhile(now, peer)) {
        return false;
    }
    const auto end = now + std::chrono::microseconds(budgetUs);
    auto last = now;
    for (;;) {
        sched_yield();
        if (ready()) {
            return true;
        }
        const auto at = std::chrono::steady_clock::now();
        // A yield that came back late ran someone else on this CPU: it is wanted, and a thread
        // that sleeps gets it back sooner when woken than one that keeps yielding.
        if (at >= end || at - last > std::chrono::microseconds(SPIN_YIELD_LATE_US)) {
            return false;
        }
        last = at;
    }
}
