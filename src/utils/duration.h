// A signed span of time in nanoseconds. Plain value type.
#pragma once

#include <cstdint>

class CDuration {
public:
    CDuration() = default;
    explicit CDuration(long ns) : m_i64NanoSec(ns) {}
    explicit CDuration(int ns) : m_i64NanoSec(ns) {}
    // Seconds; truncated toward zero, saturated at the int64 range (NaN gives 0).
    explicit CDuration(double seconds);
    CDuration(unsigned int sec, unsigned int nsec)
        : m_i64NanoSec(static_cast<int64_t>(sec) * 1000000000 + static_cast<int64_t>(nsec))
    {
    }
    CDuration(const CDuration&) = default;
    CDuration& operator=(const CDuration&) = default;

    int64_t toNanosecond() const { return m_i64NanoSec; }
    int64_t toMicrosecond() const;
    int64_t toMillisecond() const;
    double toSecond() const;
    bool isZero() const { return m_i64NanoSec == 0; }
    // Blocks the calling thread for the span; a zero or negative span returns at once.
    void sleep() const;

    // Sums and differences wrap modulo 2^64 instead of overflowing.
    CDuration operator+(const CDuration& other) const;
    CDuration operator-(const CDuration& other) const;
    // Truncated toward zero and saturated like the double constructor.
    CDuration operator*(double factor) const;
    CDuration& operator+=(const CDuration& other);
    CDuration& operator-=(const CDuration& other);
    CDuration& operator*=(double factor);

    bool operator==(const CDuration& other) const { return m_i64NanoSec == other.m_i64NanoSec; }
    bool operator!=(const CDuration& other) const { return m_i64NanoSec != other.m_i64NanoSec; }
    bool operator>(const CDuration& other) const { return m_i64NanoSec > other.m_i64NanoSec; }
    bool operator<(const CDuration& other) const { return m_i64NanoSec < other.m_i64NanoSec; }
    bool operator>=(const CDuration& other) const { return m_i64NanoSec >= other.m_i64NanoSec; }
    bool operator<=(const CDuration& other) const { return m_i64NanoSec <= other.m_i64NanoSec; }

private:
    int64_t m_i64NanoSec{0};
};
