// Frame-rate counting shared by every data sender and receiver and by both ends of shared-memory
// transfer (queue and server).
//
// Threads: count() runs on the measuring thread (send or receive loop), reset() on whichever
// thread drops a connection or stops the medium, read() on status threads. Every field is an
// atomic, so no lock is needed; the worst an unlucky interleaving of reset() and count() gives is
// one stale status figure.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>

class CFrameRate {
public:
    CFrameRate() : m_i64StartMs(nowMs()) {}

    // Monotonic clock in whole milliseconds.
    static int64_t nowMs()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    // Counts one frame at `now`. The first frame after a reset opens the window; a frame that
    // comes after more than one second of window computes the rate and opens the next window.
    void count(int64_t now)
    {
        if (!m_bClockStarted.load()) {
            m_i64StartMs.store(now);
        }
        double elapsedSec = static_cast<double>(now - m_i64StartMs.load()) / 1000.0;
        m_dElapsedSec.store(elapsedSec);
        int frames = m_iFrameCount.fetch_add(1) + 1;
        if (elapsedSec > 1.0) {
            m_iFps.store(static_cast<int>(std::lround(static_cast<double>(frames) / elapsedSec)));
            m_iFrameCount.store(0);
            m_dElapsedSec.store(0.0);
            m_i64StartMs.store(now);
        }
        m_bClockStarted.store(true);
    }

    void reset(int64_t now)
    {
        m_bClockStarted.store(false);
        m_i64StartMs.store(now);
        m_iFrameCount.store(0);
        m_dElapsedSec.store(0.0);
        m_iFps.store(0);
    }

    // The getter rule: the last rate; when nothing moved in the current pass (`active` false)
    // the rate is zeroed after the read, unless a new rate was computed meanwhile.
    int read(bool active)
    {
        int fps = m_iFps.load();
        if (!active) {
            int expected = fps;
            m_iFps.compare_exchange_strong(expected, 0);
        }
        return fps;
    }

    int fps() const { return m_iFps.load(); }
    int frameCount() const { return m_iFrameCount.load(); }
    double elapsedSec() const { return m_dElapsedSec.load(); }
    bool clockStarted() const { return m_bClockStarted.load(); }

private:
    std::atomic<bool> m_bClockStarted{false};
    std::atomic<int> m_iFrameCount{0};
    std::atomic<double> m_dElapsedSec{0.0};
    std::atomic<int64_t> m_i64StartMs; // start of the window, monotonic milliseconds
    std::atomic<int> m_iFps{0};
};
