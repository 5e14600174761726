// Spans: construction, conversions toward zero, arithmetic, saturation, sleeping.
#include "utils/duration.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <limits>

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(DurationTest, ConstructorsGiveNanoseconds)
{
    struct Case {
        const char* what;
        CDuration span;
        int64_t ns;
    };
    const Case cases[] = {
        {"default", CDuration(), 0},
        {"long", CDuration(-123456789012L), -123456789012LL},
        {"int", CDuration(-1999999), -1999999},
        {"seconds and nanoseconds", CDuration(2u, 500u), 2000000500LL},
        {"largest seconds and nanoseconds", CDuration(4294967295u, 4294967295u),
         4294967295LL * 1000000000LL + 4294967295LL},
        {"double seconds", CDuration(-1.5), -1500000000LL},
        {"double, toward zero", CDuration(-2.9e-9), -2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.span.toNanosecond(), c.ns) << c.what;
        EXPECT_EQ(c.span.isZero(), c.ns == 0) << c.what;
    }
}

TEST(DurationTest, ConversionsTruncateTowardZero)
{
    struct Case {
        int64_t ns;
        int64_t us;
        int64_t ms;
    };
    const Case cases[] = {
        {-1500000000LL, -1500000, -1500}, {-1999999, -1999, -1}, {1999999, 1999, 1}, {999, 0, 0}, {-999, 0, 0},
    };
    for (const Case& c : cases) {
        const CDuration span(static_cast<long>(c.ns));
        EXPECT_EQ(span.toMicrosecond(), c.us) << c.ns;
        EXPECT_EQ(span.toMillisecond(), c.ms) << c.ns;
    }
    EXPECT_DOUBLE_EQ(CDuration(-1.5).toSecond(), -1.5);
}

TEST(DurationTest, ArithmeticAndComparisons)
{
    const CDuration three(3);
    EXPECT_EQ((three * 0.5).toNanosecond(), 1);
    EXPECT_EQ((three * -0.5).toNanosecond(), -1);
    EXPECT_EQ((three + CDuration(-5)).toNanosecond(), -2);
    EXPECT_EQ((three - CDuration(5)).toNanosecond(), -2);

    CDuration span(10);
    CDuration& same = (span += three);
    EXPECT_EQ(&same, &span);
    EXPECT_EQ(span.toNanosecond(), 13);
    EXPECT_EQ((span -= CDuration(20)).toNanosecond(), -7);
    EXPECT_EQ((span *= 2.0).toNanosecond(), -14);

    EXPECT_TRUE(CDuration(-2) < CDuration(1));
    EXPECT_TRUE(CDuration(-2) <= CDuration(-2));
    EXPECT_TRUE(CDuration(1) > CDuration(-2));
    EXPECT_TRUE(CDuration(1) >= CDuration(1));
    EXPECT_TRUE(CDuration(1) == CDuration(1L));
    EXPECT_TRUE(CDuration(1) != CDuration(-1));
}

TEST(DurationTest, OutOfRangeResultsSaturateOrWrapWithoutOverflow)
{
    struct Case {
        double seconds;
        int64_t ns;
    };
    const Case cases[] = {
        {1e30, kMax},
        {9.3e9, kMax},
        {std::numeric_limits<double>::infinity(), kMax},
        {-1e30, kMin},
        {-std::numeric_limits<double>::infinity(), kMin},
        {std::nan(""), 0},
        {9.2e9, 9200000000000000000LL}, // still in range
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CDuration(c.seconds).toNanosecond(), c.ns) << c.seconds;
    }

    const CDuration big(kMax);
    EXPECT_EQ((big * 2.0).toNanosecond(), kMax);
    EXPECT_EQ((big * -2.0).toNanosecond(), kMin);
    EXPECT_EQ((big * std::nan("")).toNanosecond(), 0);
    CDuration scaled(kMin);
    EXPECT_EQ((scaled *= 3.0).toNanosecond(), kMin);

    // Sums past the range wrap instead of overflowing.
    EXPECT_EQ((big + CDuration(1)).toNanosecond(), kMin);
    EXPECT_EQ((CDuration(kMin) - CDuration(1)).toNanosecond(), kMax);
}

TEST(DurationTest, SleepBlocksForPositiveSpansOnly)
{
    // A negative span taken as unsigned would sleep for centuries; the deadline only bounds
    // a wrong implementation.
    auto returned = std::async(std::launch::async, [] {
        CDuration().sleep();
        CDuration(-1).sleep();
        CDuration(kMin).sleep();
    });
    EXPECT_EQ(returned.wait_for(std::chrono::seconds(30)), std::future_status::ready);

    const auto start = std::chrono::steady_clock::now();
    CDuration(0.002).sleep();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2));
}

} // namespace
