#include "utils/zq_time.h"

#include <chrono>
#include <cmath>
#include <limits>

namespace {

// A double nanosecond count as uint64: truncated, saturated, NaN as 0. A plain cast of a
// negative or too large value would be undefined.
uint64_t saturateToUint64(double ns)
{
    if (std::isnan(ns) || ns <= 0.0) {
        return 0;
    }
    // 2^64 is exact in double; every double below it converts without overflow.
    constexpr double kLimit = 18446744073709551616.0;
    if (ns >= kLimit) {
        return std::numeric_limits<uint64_t>::max();
    }
    return static_cast<uint64_t>(ns);
}

template <typename Clock> uint64_t nanosecondsOf()
{
    auto since = Clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}

} // namespace

CTime::CTime(double seconds) : m_u64NanoSec(saturateToUint64(seconds * 1e9)) {}

CTime CTime::now()
{
    return CTime(static_cast<unsigned long>(nanosecondsOf<std::chrono::system_clock>()));
}

CTime CTime::monoTime()
{
    return CTime(static_cast<unsigned long>(nanosecondsOf<std::chrono::steady_clock>()));
}

uint64_t CTime::toMicrosecond() const
{
    return static_cast<uint64_t>(static_cast<double>(m_u64NanoSec) / 1000.0);
}

uint64_t CTime::toMillisecond() const
{
    return static_cast<uint64_t>(static_cast<double>(m_u64NanoSec) / 1000000.0);
}

double CTime::toSecond() const
{
    return static_cast<double>(m_u64NanoSec) / 1e9;
}

CDuration CTime::operator-(const CTime& other) const
{
    return CDuration(static_cast<long>(m_u64NanoSec - other.m_u64NanoSec));
}

CTime CTime::operator+(const CDuration& span) const
{
    return CTime(static_cast<unsigned long>(m_u64NanoSec + static_cast<uint64_t>(span.toNanosecond())));
}

CTime CTime::operator-(const CDuration& span) const
{
    return CTime(static_cast<unsigned long>(m_u64NanoSec - static_cast<uint64_t>(span.toNanosecond())));
}

CTime& CTime::operator+=(const CDuration& span)
{
    m_u64NanoSec += static_cast<uint64_t>(span.toNanosecond());
    return *this;
}

CTime& CTime::operator-=(const CDuration& span)
{
    m_u64NanoSec -= static_cast<uint64_t>(span.toNanosecond());
    return *this;
}
