// Points in time: construction, conversions, span arithmetic, comparisons, the two clocks.
#include "utils/zq_time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

TEST(ZqTimeTest, ConstructorsGiveNanoseconds)
{
    struct Case {
        const char* what;
        CTime time;
        uint64_t ns;
    };
    const Case cases[] = {
        {"default", CTime(), 0},
        {"unsigned long", CTime(12345678901234UL), 12345678901234ULL},
        {"int", CTime(42), 42},
        {"negative int, sign-extended", CTime(-1), kMax},
        {"seconds and nanoseconds", CTime(2u, 500u), 2000000500ULL},
        {"largest seconds and nanoseconds", CTime(4294967295u, 4294967295u),
         4294967295ULL * 1000000000ULL + 4294967295ULL},
        {"double seconds", CTime(1.5), 1500000000ULL},
        {"double, truncated", CTime(1e-9 * 2.9), 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.time.toNanosecond(), c.ns) << c.what;
        EXPECT_EQ(c.time.isZero(), c.ns == 0) << c.what;
    }
}

TEST(ZqTimeTest, OutOfRangeSecondsSaturate)
{
    struct Case {
        double seconds;
        uint64_t ns;
    };
    const Case cases[] = {
        {-1.5, 0},
        {-1e30, 0},
        {-std::numeric_limits<double>::infinity(), 0},
        {std::nan(""), 0},
        {1.8446744073709551616e10, kMax}, // 2^64 ns
        {1e30, kMax},
        {std::numeric_limits<double>::infinity(), kMax},
        {1.8e10, 18000000000000000000ULL}, // still in range
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CTime(c.seconds).toNanosecond(), c.ns) << c.seconds;
    }
}

TEST(ZqTimeTest, ConversionsTruncate)
{
    const CTime t(2u, 500u);
    EXPECT_EQ(t.toMillisecond(), 2000u);
    EXPECT_EQ(t.toMicrosecond(), 2000000u);
    EXPECT_DOUBLE_EQ(t.toSecond(), 2.0000005);

    const CTime justBelow(1999999UL);
    EXPECT_EQ(justBelow.toMillisecond(), 1u);
    EXPECT_EQ(justBelow.toMicrosecond(), 1999u);

    // Wall-clock sized values go through double (256 ns resolution there).
    EXPECT_EQ(CTime(1700000000123456789UL).toMillisecond(), 1700000000123ULL);
    EXPECT_EQ(CTime(kMax).toMillisecond(), 18446744073709ULL);
}

TEST(ZqTimeTest, SpanArithmeticIsModular)
{
    const CTime five(5);
    const CTime seven(7);
    EXPECT_EQ((five - seven).toNanosecond(), -2);
    EXPECT_EQ((seven - five).toNanosecond(), 2);
    EXPECT_EQ((CTime(kMax) - CTime(0)).toNanosecond(), -1);

    EXPECT_EQ((five + CDuration(3)).toNanosecond(), 8u);
    EXPECT_EQ((five - CDuration(3)).toNanosecond(), 2u);
    EXPECT_EQ((five + CDuration(-7)).toNanosecond(), kMax - 1);
    EXPECT_EQ((CTime(kMax) + CDuration(2)).toNanosecond(), 1u);
    EXPECT_EQ((CTime(0) - CDuration(1)).toNanosecond(), kMax);

    CTime t(100);
    CTime& same = (t += CDuration(20));
    EXPECT_EQ(&same, &t);
    EXPECT_EQ(t.toNanosecond(), 120u);
    EXPECT_EQ((t -= CDuration(-30)).toNanosecond(), 150u);
    EXPECT_EQ((t -= CDuration(160)).toNanosecond(), kMax - 9);

    CTime assigned;
    assigned = t;
    EXPECT_EQ(assigned, t);
}

TEST(ZqTimeTest, ComparisonsAreUnsigned)
{
    const CTime five(5);
    const CTime seven(7);
    const CTime huge(-1); // the largest value, not a negative one
    EXPECT_TRUE(five < seven);
    EXPECT_TRUE(five <= seven);
    EXPECT_TRUE(seven > five);
    EXPECT_TRUE(seven >= five);
    EXPECT_TRUE(five != seven);
    EXPECT_FALSE(five == seven);
    EXPECT_TRUE(five == CTime(5UL));
    EXPECT_TRUE(five <= CTime(5));
    EXPECT_TRUE(five >= CTime(5));
    EXPECT_TRUE(huge > seven);
}

TEST(ZqTimeTest, ClocksReadTheWallAndTheMonotonicClock)
{
    using namespace std::chrono;
    auto ns = [](auto tp) { return static_cast<uint64_t>(duration_cast<nanoseconds>(tp.time_since_epoch()).count()); };

    const uint64_t wallBefore = ns(system_clock::now());
    const CTime wall = CTime::now();
    const uint64_t wallAfter = ns(system_clock::now());
    EXPECT_GE(wall.toNanosecond(), wallBefore);
    EXPECT_LE(wall.toNanosecond(), wallAfter);

    const uint64_t monoBefore = ns(steady_clock::now());
    const CTime mono = CTime::monoTime();
    const uint64_t monoAfter = ns(steady_clock::now());
    EXPECT_GE(mono.toNanosecond(), monoBefore);
    EXPECT_LE(mono.toNanosecond(), monoAfter);
    EXPECT_LE(mono, CTime::monoTime());
}

} // namespace
