// A mutex for very short critical sections shared by two busy threads.
//
// Threads: any; used like std::mutex (Lockable), waited on with std::condition_variable_any.
#pragma once

#include <pthread.h>

// A mutex for critical sections of a few instructions that two threads take in turn: a contended
// lock spins briefly before it sleeps, so that the holder's unlock needs no wake-up call. The spin
// is bounded, so a waiter never holds a holder off its CPU for long.
class CShortLock {
public:
    CShortLock()
    {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
        pthread_mutex_init(&m_mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~CShortLock() { pthread_mutex_destroy(&m_mutex); }
    CShortLock(const CShortLock&) = delete;
    CShortLock& operator=(const CShortLock&) = delete;

    void lock() { pthread_mutex_lock(&m_mutex); }
    void unlock() { pthread_mutex_unlock(&m_mutex); }

private:
    pthread_mutex_t m_mutex;
};
