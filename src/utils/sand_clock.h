// Stopwatch: whole milliseconds since the last reset. Not synchronised; its owner calls it from
// one thread at a time.
#pragma once

#include "utils/duration.h"
#include "utils/zq_time.h"

#include <cstdint>

// The monotonic clock as a stopwatch time source.
struct CMonoClockSource {
    static CTime now() { return CTime::monoTime(); }
};

// The stopwatch over a time source with a static `CTime now()`; tests give their own source.
template <typename ClockSource> class CBasicSandClock {
public:
    CBasicSandClock()
    {
        m_duration = CDuration(m_i64Span);
        m_startTime = ClockSource::now();
        m_endTime = m_startTime + m_duration;
    }

    void reset()
    {
        m_startTime = ClockSource::now();
        m_endTime = m_startTime + m_duration;
    }

    // Both readings are truncated to whole milliseconds before subtracting, so 0.9 ms may read
    // as 1 and 1.1 ms as 1 or 2.
    int64_t elapsedMilliSecond() const
    {
        return static_cast<int64_t>(ClockSource::now().toMillisecond() - m_startTime.toMillisecond());
    }

private:
    CTime m_startTime; // last reset
    CTime m_endTime;   // start plus the span
    CDuration m_duration;
    int64_t m_i64Span{0};
};

using CSandClock = CBasicSandClock<CMonoClockSource>;
