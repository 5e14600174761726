// Bounded wait run before a blocking wait on the message path. A hand-off from a thread on
// another CPU usually lands within microseconds, far sooner than a sleeping thread is woken
// (about 25 us on these machines), and a consumer that is still looking costs its producer no
// wake-up call. Each look is followed by sched_yield rather than a pause loop: on a loaded
// (virtual) machine a thread that burns its CPU delays the very thread it waits for, while a
// yielding one gives way to it and still takes the hand-off at once when the CPU is free.
// The budget is short so that an idle channel sleeps within a fraction of a millisecond.
#pragma once

#include <sched.h>

#include <algorithm>
#include <chrono>

// Time spent looking before a hot-path wait blocks. Longer than a round trip between two
// processes, so that the threads of a request/reply exchange stay awake between messages.
constexpr int SPIN_WAIT_US = 200;
// A yield that takes longer than this means the CPU is busy with other threads.
constexpr int SPIN_YIELD_LATE_US = 20;
// How often a thread looks again at the CPUs it may run on.
constexpr auto SPIN_AFFINITY_RECHECK = std::chrono::milliseconds(100);
// The longest look of a real-time thread: its yields give no normal thread a turn, so every
// microsecond of it is taken from whatever else wants its CPU. It must still outlast a round trip
// whose threads sleep (about 100 us across a veth link), or an exchange that once fell asleep
// would never look long enough to wake up again.
constexpr int SPIN_RT_WAIT_US = 200;
// Waits that a real-time thread sleeps at once after a look that found nothing: a channel that
// is slower than the look costs it a look in every few waits only. Each further fruitless look
// in a row doubles them, up to the most: a thread that keeps its producer off their shared CPU
// (the producer then cannot run, so every look runs out) soon all but stops looking.
constexpr int SPIN_RT_BACKOFF_WAITS = 8;
constexpr int SPIN_RT_BACKOFF_MAX_WAITS = 1024;

// Where the thread a wait looks for runs.
enum SpinPeer_e {
    SPIN_PEER_IN_PROCESS = 0,    // a thread of this process, which may share this thread's CPU
    SPIN_PEER_OTHER_PROCESS = 1, // another process, with CPUs of its own when pinned
};

// What the rule needs to know of the calling thread.
struct SpinThread_t {
    bool m_bRealTime; // SCHED_FIFO or SCHED_RR
    int m_iCpus;      // CPUs it may run on; 0 when unknown
};

inline SpinThread_t spinThisThread()
{
    const int policy = sched_getscheduler(0);
    cpu_set_t set;
    CPU_ZERO(&set);
    const int cpus = sched_getaffinity(0, sizeof(set), &set) == 0 ? CPU_COUNT(&set) : 0;
    return SpinThread_t{policy == SCHED_FIFO || policy == SCHED_RR, cpus};
}

// The waiting rule of one thread; the caller's thread_local instance (spinRuleOfThisThread)
// serves only that thread.
//
// A thread bound to a single CPU never looks for a thread of its own process: that thread would
// share the CPU, and one that keeps yielding instead of sleeping loses the prompt turn the
// scheduler gives a woken thread, so each hand-off would wait for a time slice. A pinned normal
// thread waiting for another process still looks: that process runs on CPUs of its own. A pinned
// real-time thread never looks: there a yield returns at once unless another real-time thread is
// ready, so the look would run its whole budget and hold normal threads (the very producer among
// them) off its only CPU. A real-time thread that may run on two CPUs or more looks for at most
// SPIN_RT_WAIT_US, and after a look that found nothing sleeps at once for its next
// SPIN_RT_BACKOFF_WAITS waits (twice as many after each further fruitless look, until a look
// finds its condition), so that a thread it keeps off its CPU gets that CPU back soon and for
// long. The thread's policy and CPUs are looked at again now and then (an application may pin its
// threads or change their policy at any time).
class CSpinRule {
public:
    using Probe_t = SpinThread_t (*)();

    explicit CSpinRule(Probe_t probe = spinThisThread) : m_pfnProbe(probe) {}

    // Whether this thread's policy and CPUs let it look at all for `peer` (the back-off aside).
    bool worthwhile(std::chrono::steady_clock::time_point now, SpinPeer_e peer)
    {
        refresh(now);
        if (m_thread.m_bRealTime) {
            return m_thread.m_iCpus >= 2;
        }
        return m_thread.m_iCpus != 1 || peer == SPIN_PEER_OTHER_PROCESS;
    }

    // Microseconds that the wait starting now may look before it sleeps, out of `budgetUs`; 0:
    // sleep at once. A real-time thread's wait in back-off is counted off here.
    int lookBudgetUs(std::chrono::steady_clock::time_point now, SpinPeer_e peer, int budgetUs)
    {
        if (budgetUs <= 0 || !worthwhile(now, peer)) {
            return 0;
        }
        if (!m_thread.m_bRealTime) {
            m_iBackOff = 0;
            m_iBackOffLength = SPIN_RT_BACKOFF_WAITS;
            return budgetUs;
        }
        if (m_iBackOff > 0) {
            --m_iBackOff;
            return 0;
        }
        return std::min(budgetUs, SPIN_RT_WAIT_US);
    }

    // How the look that lookBudgetUs allowed ended: `found` when its condition came true.
    void lookEnded(bool found)
    {
        if (!m_thread.m_bRealTime) {
            return;
        }
        if (found) {
            m_iBackOffLength = SPIN_RT_BACKOFF_WAITS;
            return;
        }
        m_iBackOff = m_iBackOffLength;
        m_iBackOffLength = std::min(2 * m_iBackOffLength, SPIN_RT_BACKOFF_MAX_WAITS);
    }

private:
    void refresh(std::chrono::steady_clock::time_point now)
    {
        if (now >= m_nextCheck) {
            m_thread = m_pfnProbe();
            m_nextCheck = now + SPIN_AFFINITY_RECHECK;
        }
    }

    Probe_t m_pfnProbe;
    std::chrono::steady_clock::time_point m_nextCheck{};
    SpinThread_t m_thread{false, 1};
    int m_iBackOff{0};                           // waits still to sleep at once
    int m_iBackOffLength{SPIN_RT_BACKOFF_WAITS}; // waits of the next back-off
};

inline CSpinRule& spinRuleOfThisThread()
{
    thread_local CSpinRule rule;
    return rule;
}

// Whether the calling thread may look for `peer` at all (see CSpinRule).
inline bool spinWorthwhile(std::chrono::steady_clock::time_point now, SpinPeer_e peer = SPIN_PEER_IN_PROCESS)
{
    return spinRuleOfThisThread().worthwhile(now, peer);
}

// Looks at `ready` until it holds or the budget the thread's rule allows out of `budgetUs`
// microseconds has passed; its last result.
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
    CSpinRule& rule = spinRuleOfThisThread();
    const int lookUs = rule.lookBudgetUs(now, peer, budgetUs);
    if (lookUs <= 0) {
        return false;
    }
    const auto end = now + std::chrono::microseconds(lookUs);
    auto last = now;
    for (;;) {
        sched_yield();
        if (ready()) {
            rule.lookEnded(true);
            return true;
        }
        const auto at = std::chrono::steady_clock::now();
        // A yield that came back late ran someone else on this CPU: it is wanted, and a thread
        // that sleeps gets it back sooner when woken than one that keeps yielding.
        if (at >= end || at - last > std::chrono::microseconds(SPIN_YIELD_LATE_US)) {
            rule.lookEnded(false);
            return false;
        }
        last = at;
    }
}
