// System V shared memory: create or look up a segment by key, attach, detach, remove.
//
// Stateless; every operation may run on any thread at once. Each key has one creating side,
// which alone removes the segment (or a leftover of its own or of a process that died); other
// processes only look it up, attach and detach.
#pragma once

#include <ctime>

struct shmid_ds;

class CSystemUtils {
public:
    // Seconds a segment that nobody ever attached stays its unseen creator's.
    static constexpr time_t kUnseenCreatorGraceSec = 5;
    // Whether a segment whose creator this process cannot see (pid 0: another pid namespace) may
    // still be in use at `now`: while anyone is attached, or, never attached, younger than the
    // grace (its creator may be between shmget and shmat). Attached before and by nobody now, or
    // never attached and older, it is a leftover.
    static bool unseenCreatorHolds(const shmid_ds& ds, time_t now);

    // The segment identifier of `key`, or -1. With `attach` not 0 an existing segment is looked
    // up (any size); with `attach` 0 a fresh zero-filled segment of `size` bytes is created,
    // removing a stale one that still holds the key. A segment that a live process other than this
    // one made and may use is left alone: -1, with `inUse` (when given) set, so that the caller
    // takes another key. Key 0 (IPC_PRIVATE) is refused.
    static int openShm(int key, int attach, unsigned long size, bool* inUse = nullptr);
    // Marks the segment for removal; 0, or -1.
    static int removeShm(int shmid);
    // Attaches read-write at an address the system chooses; null on failure.
    static void* attachShm(int shmid);
    // Detaches the segment attached at `addr`; 0, or -1.
    static int detachShm(void* addr);
};
