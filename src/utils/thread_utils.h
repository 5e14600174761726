// Scheduling policy and priority, name and processor affinity of a started std::thread.
//
// Stateless; any thread may call any operation. A thread that is not joinable (never started,
// already joined or detached) has no native handle to work on and is refused.
#pragma once

#include <string>
#include <thread>

class CThreadUtils {
public:
    // Passed to the system unchanged as the POSIX policy number.
    enum SchedPolicy : int {
        SCHED_POLICY_OTHER = 0,
        SCHED_POLICY_FIFO = 1,
        SCHED_POLICY_RR = 2,
    };

    static bool setPolicyAndPriority(std::thread& thread, SchedPolicy policy, int priority);
    static bool setThreadName(std::thread& thread, const std::string& name);
    // `core` from 0 to 1023; any other value gives an empty set, which the system refuses.
    static bool bindToCore(std::thread& thread, int core);
};
