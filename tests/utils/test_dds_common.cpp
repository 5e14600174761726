// Clocks, the IPv4 address check and the build time text.
#include "utils/dds_common.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <sys/time.h>

namespace {

TEST(DdsCommonTest, ClockReadingToMillisecondsTruncates)
{
    struct Case {
        time_t sec;
        long nsec;
        int64_t ms;
    };
    const Case cases[] = {
        {0, 0, 0},
        {0, 999999, 0},
        {0, 1000000, 1},
        {1, 999999999, 1999},
        {86400L * 365 * 30, 123456789, 86400LL * 365 * 30 * 1000 + 123},
    };
    for (const Case& c : cases) {
        struct timespec ts {};
        ts.tv_sec = c.sec;
        ts.tv_nsec = c.nsec;
        EXPECT_EQ(timespecToMs(ts), c.ms) << c.sec << " s " << c.nsec << " ns";
    }
}

TEST(DdsCommonTest, UptimeFollowsTheMonotonicClock)
{
    struct timespec before {};
    struct timespec after {};
    ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &before), 0);
    int64_t uptime = getUptimeMs();
    ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &after), 0);
    EXPECT_GE(uptime, timespecToMs(before));
    EXPECT_LE(uptime, timespecToMs(after));
}

TEST(DdsCommonTest, SystemTimeIsWallClockMicroseconds)
{
    struct timeval before {};
    struct timeval after {};
    gettimeofday(&before, nullptr);
    int64_t now = getSysTimeUs();
    gettimeofday(&after, nullptr);
    EXPECT_GE(now, static_cast<int64_t>(before.tv_sec) * 1000000 + before.tv_usec);
    EXPECT_LE(now, static_cast<int64_t>(after.tv_sec) * 1000000 + after.tv_usec);
}

TEST(DdsCommonTest, IPv4CheckAcceptsOnlyWholeDottedQuads)
{
    struct Case {
        const char* text;
        bool valid;
    };
    const Case cases[] = {
        {"192.168.1.10", true}, {"0.0.0.0", true},      {"255.255.255.255", true},
        {"01.002.3.004", true}, {"000.00.0.010", true}, {"249.250.199.100", true},
        {"256.1.1.1", false},   {"1.2.3.260", false},   {"1000.1.1.1", false},
        {"0001.1.1.1", false},  {"1.2.3", false},       {"1.2.3.4.5", false},
        {"1..2.3", false},      {".1.2.3", false},      {"1.2.3.", false},
        {"1.2.3.4.", false},    {" 1.2.3.4", false},    {"1.2.3.4 ", false},
        {"1.2. 3.4", false},    {"1.2.3.4\n", false},   {"+1.2.3.4", false},
        {"1.2.3.-4", false},    {"1,2,3,4", false},     {"1x2.3.4", false},
        {"a.b.c.d", false},     {"::1", false},         {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isValidIPv4(c.text), c.valid) << '"' << c.text << '"';
    }
}

TEST(DdsCommonTest, CompileTimeHasTheCompilerDateAndTimeForms)
{
    const std::string text = getCompileTime();
    const std::regex form("(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ( [1-9]|[12][0-9]|3[01]) [0-9]{4}"
                          " at ([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]");
    EXPECT_TRUE(std::regex_match(text, form)) << text;
    EXPECT_EQ(getCompileTime(), text);
}

} // namespace
