#include "utils/system_utils.h"

#include "utils/dds_common.h"

#include <cerrno>
#include <cstdio>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

constexpr int kShmPerm = 0666;

} // namespace

int CSystemUtils::openShm(int key, int attach, unsigned long size)
{
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
            int err = errno;
            DDS_RED("Error: shmget()!");
            errno = err;
            ddsPerror("shmget");
            return -1;
        }
        return shmid;
    }

    int shmid = shmget(key, size, IPC_CREAT | IPC_EXCL | kShmPerm);
    if (shmid >= 0) {
        return shmid;
    }
    if (errno != EEXIST) {
        ddsPerror("shmget");
        return -1;
    }

    DDS_GREEN("share memory key %d is already exitst!", key);
    int oldId = shmget(key, 0, kShmPerm);
    if (oldId < 0) {
        ddsPerror("shmget");
        return -1;
    }
    if (shmctl(oldId, IPC_RMID, nullptr) < 0) {
        int err = errno;
        DDS_GREEN("Delete old share memory key %d failed!!!", key);
        errno = err;
        ddsPerror("shmctl");
        return -1;
    }
    DDS_GREEN("Delete old share memory key %d success.", key);

    shmid = shmget(key, size, IPC_CREAT | kShmPerm);
    if (shmid < 0) {
        int err = errno;
        DDS_RED("Error: shmget()!");
        errno = err;
        ddsPerror("shmget");
        return -1;
    }
    return shmid;
}

int CSystemUtils::removeShm(int shmid)
{
    int ret = shmctl(shmid, IPC_RMID, nullptr);
    if (ret < 0) {
        int err = errno;
        DDS_RED("Error: shmctl()!");
        errno = err;
        ddsPerror("shmctl(): ");
        return -1;
    }
    return ret;
}

void* CSystemUtils::attachShm(int shmid)
{
    void* addr = shmat(shmid, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        int err = errno;
        DDS_RED("Error: shmat()!");
        errno = err;
        ddsPerror("shmat(): ");
        return nullptr;
    }
    return addr;
}

int CSystemUtils::detachShm(void* addr)
{
    if (shmdt(addr) < 0) {
        int err = errno;
        DDS_RED("Error: shmdt()!");
        errno = err;
        ddsPerror("shmdt(): ");
        return -1;
    }
    return 0;
}
