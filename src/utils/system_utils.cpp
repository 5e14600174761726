#include "utils/system_utils.h"

#include "utils/dds_common.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

constexpr int kShmPerm = 0666;
constexpr int kCreateRounds = 4;

void setInUse(bool* inUse)
{
    if (inUse != nullptr) {
        *inUse = true;
    }
}

// True when the segment belongs to a live process other than this one, which may still use it.
// Only the kernel's own records count (the creator and the last attach or detach), never bytes
// of the segment. A creator that is alive counts even before it attached (it may be between its
// shmget and its shmat), unless it has itself detached last and nobody is attached (its number
// now names another program, or it is a zombie).
// A record that cannot be read counts as alive: a key too many is skipped rather than a live
// segment removed. A creator the kernel does not name is judged by unseenCreatorHolds.
bool heldByLiveProcess(int shmid, pid_t* creator)
{
    shmid_ds ds{};
    if (shmctl(shmid, IPC_STAT, &ds) < 0) {
        return errno != EINVAL && errno != EIDRM;
    }
    *creator = ds.shm_cpid;
    if (ds.shm_cpid == getpid()) {
        return false; // handed to this process by its own key pool: a leftover of its own
    }
    if (ds.shm_cpid <= 0) {
        return CSystemUtils::unseenCreatorHolds(ds, time(nullptr));
    }
    if (kill(ds.shm_cpid, 0) < 0 && errno == ESRCH) {
        return false; // its creator died
    }
    return !(ds.shm_nattch == 0 && ds.shm_lpid == ds.shm_cpid);
}

} // namespace

bool CSystemUtils::unseenCreatorHolds(const shmid_ds& ds, time_t now)
{
    if (ds.shm_nattch != 0) {
        return true;
    }
    if (ds.shm_atime != 0) {
        return false; // attached before and let go of by everyone
    }
    // Never attached: its creator may still be between shmget and shmat, but not for long. A
    // clock set back makes it young again, which only skips the key.
    return now - ds.shm_ctime < kUnseenCreatorGraceSec;
}

int CSystemUtils::openShm(int key, int attach, unsigned long size, bool* inUse)
{
    if (inUse != nullptr) {
        *inUse = false;
    }
    // IPC_PRIVATE would make an anonymous segment that nobody else can find (and the creating
    // path would leak one).
    if (key == IPC_PRIVATE) {
        DDS_RED("Error: shmget()!");
        errno = EINVAL;
        ddsPerror("shmget");
        return -1;
    }

    if (attach != 0) {
        int shmid = shmget(key, 0, kShmPerm);
        if (shmid < 0) {
            DDS_RED("Error: shmget()!");
            ddsPerror("shmget");
            return -1;
        }
        return shmid;
    }

    // Created exclusively every time, so that two processes creating over one stale segment at
    // once never end up sharing the fresh one; a few rounds, then the key counts as taken.
    for (int round = 0; round < kCreateRounds; ++round) {
        int shmid = shmget(key, size, IPC_CREAT | IPC_EXCL | kShmPerm);
        if (shmid >= 0) {
            return shmid;
        }
        if (errno != EEXIST) {
            if (round > 0) {
                DDS_RED("Error: shmget()!");
            }
            ddsPerror("shmget");
            return -1;
        }
        if (round == 0) {
            DDS_GREEN("share memory key %d is already exitst!", key);
        }
        int oldId = shmget(key, 0, kShmPerm);
        if (oldId < 0) {
            int err = errno;
            if (err == ENOENT) {
                continue; // removed meanwhile: create again
            }
            // A segment this process may not even look at is not ours to replace.
            DDS_YELLOW("Warning: share memory key %d is in use by another process, it is left alone.", key);
            errno = err;
            ddsPerror("shmget");
            setInUse(inUse);
            return -1;
        }
        pid_t creator = 0;
        if (heldByLiveProcess(oldId, &creator)) {
            DDS_YELLOW("Warning: share memory key %d is in use by process %d, it is left alone.", key,
                       static_cast<int>(creator));
            setInUse(inUse);
            return -1;
        }
        if (shmctl(oldId, IPC_RMID, nullptr) < 0) {
            int err = errno;
            if (err == EINVAL || err == EIDRM) {
                continue; // removed meanwhile
            }
            DDS_GREEN("Delete old share memory key %d failed!!!", key);
            errno = err;
            ddsPerror("shmctl");
            // Another user's segment: the key is taken for us.
            setInUse(inUse);
            return -1;
        }
        DDS_GREEN("Delete old share memory key %d success.", key);
    }
    DDS_YELLOW("Warning: share memory key %d is in use by another process, it is left alone.", key);
    setInUse(inUse);
    return -1;
}

int CSystemUtils::removeShm(int shmid)
{
    int ret = shmctl(shmid, IPC_RMID, nullptr);
    if (ret < 0) {
        DDS_RED("Error: shmctl()!");
        ddsPerror("shmctl(): ");
        return -1;
    }
    return ret;
}

void* CSystemUtils::attachShm(int shmid)
{
    void* addr = shmat(shmid, nullptr, 0);
    if (reinterpret_cast<intptr_t>(addr) == -1) {
        DDS_RED("Error: shmat()!");
        ddsPerror("shmat(): ");
        return nullptr;
    }
    return addr;
}

int CSystemUtils::detachShm(void* addr)
{
    if (shmdt(addr) < 0) {
        DDS_RED("Error: shmdt()!");
        ddsPerror("shmdt(): ");
        return -1;
    }
    return 0;
}
