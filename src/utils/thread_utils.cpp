#include "utils/thread_utils.h"

#include "utils/dds_common.h"

#include <pthread.h>
#include <sched.h>

namespace {

const char* policyText(CThreadUtils::SchedPolicy policy)
{
    switch (policy) {
    case CThreadUtils::SCHED_POLICY_OTHER:
        return "SCHED_OTHER";
    case CThreadUtils::SCHED_POLICY_FIFO:
        return "SCHED_FIFO";
    case CThreadUtils::SCHED_POLICY_RR:
        return "SCHED_RR";
    }
    return nullptr;
}

} // namespace

bool CThreadUtils::setPolicyAndPriority(std::thread& thread, SchedPolicy policy, int priority)
{
    // Only the three policies named above: another number (SCHED_BATCH, SCHED_IDLE) could be
    // accepted by the system but has no text for the log line.
    const char* text = policyText(policy);
    if (!thread.joinable() || text == nullptr) {
        DDS_RED("Failed to set thread policy and priority !");
        return false;
    }
    sched_param param{};
    param.sched_priority = priority;
    if (pthread_setschedparam(thread.native_handle(), policy, &param) != 0) {
        DDS_RED("Failed to set thread policy and priority !");
        return false;
    }
    DDS_GREEN("Set thread policy %s priority %d [%d, %d].", text, priority, sched_get_priority_min(policy),
              sched_get_priority_max(policy));
    return true;
}

bool CThreadUtils::setThreadName(std::thread& thread, const std::string& name)
{
    if (!thread.joinable() || pthread_setname_np(thread.native_handle(), name.c_str()) != 0) {
        DDS_RED("Failed to set thread name !");
        return false;
    }
    return true;
}

bool CThreadUtils::bindToCore(std::thread& thread, int core)
{
    if (!thread.joinable()) {
        DDS_RED("Failed to set thread affinity !");
        return false;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    if (core >= 0 && core < CPU_SETSIZE) {
        CPU_SET(core, &set);
    }
    if (pthread_setaffinity_np(thread.native_handle(), sizeof(set), &set) != 0) {
        DDS_RED("Failed to set thread affinity !");
        return false;
    }
    DDS_BLUE("Bind thread to core %d .", core);
    return true;
}
