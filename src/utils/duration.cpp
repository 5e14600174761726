#include "utils/duration.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace {

// A double nanosecond count as int64: truncated toward zero, saturated, NaN as 0. A plain cast
// of an out-of-range value would be undefined.
int64_t saturateToInt64(double ns)
{
    if (std::isnan(ns)) {
        return 0;
    }
    // 2^63 is exact in double; every double below it converts without overflow.
    constexpr double kLimit = 9223372036854775808.0;
    if (ns >= kLimit) {
        return std::numeric_limits<int64_t>::max();
    }
    if (ns <= -kLimit) {
        return std::numeric_limits<int64_t>::min();
    }
    return static_cast<int64_t>(ns);
}

int64_t wrapAdd(int64_t a, int64_t b)
{
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

int64_t wrapSub(int64_t a, int64_t b)
{
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

} // namespace

CDuration::CDuration(double seconds) : m_i64NanoSec(saturateToInt64(seconds * 1e9)) {}

int64_t CDuration::toMicrosecond() const
{
    return static_cast<int64_t>(static_cast<double>(m_i64NanoSec) / 1000.0);
}

int64_t CDuration::toMillisecond() const
{
    return static_cast<int64_t>(static_cast<double>(m_i64NanoSec) / 1000000.0);
}

double CDuration::toSecond() const
{
    return static_cast<double>(m_i64NanoSec) / 1e9;
}

void CDuration::sleep() const
{
    if (m_i64NanoSec > 0) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(m_i64NanoSec));
    }
}

CDuration CDuration::operator+(const CDuration& other) const
{
    return CDuration(static_cast<long>(wrapAdd(m_i64NanoSec, other.m_i64NanoSec)));
}

CDuration CDuration::operator-(const CDuration& other) const
{
    return CDuration(static_cast<long>(wrapSub(m_i64NanoSec, other.m_i64NanoSec)));
}

CDuration CDuration::operator*(double factor) const
{
    return CDuration(static_cast<long>(saturateToInt64(static_cast<double>(m_i64NanoSec) * factor)));
}

CDuration& CDuration::operator+=(const CDuration& other)
{
    m_i64NanoSec = wrapAdd(m_i64NanoSec, other.m_i64NanoSec);
    return *this;
}

CDuration& CDuration::operator-=(const CDuration& other)
{
    m_i64NanoSec = wrapSub(m_i64NanoSec, other.m_i64NanoSec);
    return *this;
}

CDuration& CDuration::operator*=(double factor)
{
    m_i64NanoSec = saturateToInt64(static_cast<double>(m_i64NanoSec) * factor);
    return *this;
}
