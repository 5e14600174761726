// Clocks, the IPv4 address check, the build time text and the line gates.
#include "utils/dds_common.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <sys/time.h>
#include <thread>

#include "support/zqtest.h"

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
        {"192.168.1.10", true},
        {"0.0.0.0", true},
        {"255.255.255.255", true},
        {"10.0.0.0", true},
        {"249.250.199.100", true},
        // Leading zeros are refused: the system's other readers take such fields as octal.
        {"01.002.3.004", false},
        {"000.00.0.010", false},
        {"224.010.0.1", false},
        {"224.5.6.08", false},
        {"256.1.1.1", false},
        {"1.2.3.260", false},
        {"1000.1.1.1", false},
        {"0001.1.1.1", false},
        {"1.2.3", false},
        {"1.2.3.4.5", false},
        {"1..2.3", false},
        {".1.2.3", false},
        {"1.2.3.", false},
        {"1.2.3.4.", false},
        {" 1.2.3.4", false},
        {"1.2.3.4 ", false},
        {"1.2. 3.4", false},
        {"1.2.3.4\n", false},
        {"+1.2.3.4", false},
        {"1.2.3.-4", false},
        {"1,2,3,4", false},
        {"1x2.3.4", false},
        {"a.b.c.d", false},
        {"::1", false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isValidIPv4(c.text), c.valid) << '"' << c.text << '"';
    }
}

TEST(DdsCommonTest, IPv4ParserGivesTheAddressInNetworkOrder)
{
    in_addr addr{};
    ASSERT_TRUE(parseIPv4("224.5.6.7", &addr));
    EXPECT_EQ(addr.s_addr, htonl(0xE0050607u));
    ASSERT_TRUE(parseIPv4(std::string("198.18.0.255"), &addr));
    EXPECT_EQ(addr.s_addr, htonl(0xC61200FFu));

    // Refused texts leave the output alone.
    addr.s_addr = 0x01020304u;
    EXPECT_FALSE(parseIPv4("224.010.0.1", &addr));
    EXPECT_FALSE(parseIPv4(static_cast<const char*>(nullptr), &addr));
    EXPECT_FALSE(parseIPv4(std::string("1.2.3.4\0junk", 12), &addr));
    EXPECT_FALSE(isValidIPv4(std::string("1.2.3.4\0", 8)));
    EXPECT_EQ(addr.s_addr, 0x01020304u);
}

TEST(DdsCommonTest, CompileTimeHasTheCompilerDateAndTimeForms)
{
    // "Mmm dd yyyy at hh:mm:ss", the day padded with a blank below 10.
    const std::string text = getCompileTime();
    ASSERT_EQ(text.size(), 23u) << text;
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const size_t month = months.find(text.substr(0, 3));
    EXPECT_TRUE(month != std::string::npos && month % 3 == 0) << text;
    EXPECT_EQ(text.substr(11, 4), " at ") << text;
    int day = 0, year = 0, hours = 0, minutes = 0, seconds = 0;
    char pad = 0;
    ASSERT_EQ(sscanf(text.c_str() + 3, "%c%2d %4d at %2d:%2d:%2d", &pad, &day, &year, &hours, &minutes, &seconds), 6)
        << text;
    EXPECT_EQ(pad, ' ');
    EXPECT_EQ(text[4] == ' ', day < 10) << text;
    EXPECT_TRUE(day >= 1 && day <= 31) << text;
    EXPECT_GE(year, 2024);
    EXPECT_TRUE(hours >= 0 && hours <= 23 && minutes >= 0 && minutes <= 59 && seconds >= 0 && seconds <= 60) << text;
    for (size_t pos : {7u, 8u, 9u, 10u, 15u, 16u, 18u, 19u, 21u, 22u}) {
        EXPECT_TRUE(isdigit(static_cast<unsigned char>(text[pos]))) << text << " at " << pos;
    }
    EXPECT_EQ(text[17], ':');
    EXPECT_EQ(text[20], ':');
    EXPECT_EQ(getCompileTime(), text);
}

TEST(LineGateTest, LetsAWindowOfLinesOfOnePlaceThroughAndCountsTheRest)
{
    // Two places in the code, each with its own gate: 3 lines per 1000 ms.
    CLineGate gates[2] = {{3, 1000}, {3, 1000}};
    const struct {
        int place;
        int64_t now;
        bool admitted;
        int leftOut;
    } steps[] = {
        {0, 0, true, 0},     {0, 10, true, 0},   {1, 10, true, 0},   {0, 20, true, 0},    {0, 30, false, 0},
        {0, 999, false, 0},  {1, 999, true, 0},  {0, 1000, true, 2}, {0, 1001, true, 0},  {0, 1002, true, 0},
        {0, 1003, false, 0}, {0, 5000, true, 1}, {1, 1009, true, 0}, {1, 1009, false, 0}, {1, 1009, false, 0},
        {1, 1010, true, 2},  {0, 5999, true, 0}, {0, 5999, true, 0}, {0, 5999, false, 0}, {0, 6000, true, 1},
    };
    int i = 0;
    for (const auto& step : steps) {
        int leftOut = -1;
        EXPECT_EQ(gates[step.place].admit(step.now, &leftOut), step.admitted) << "step " << i;
        EXPECT_EQ(leftOut, step.leftOut) << "step " << i;
        ++i;
    }
}

TEST(LineGateTest, KeysOfOnePlaceHaveBudgetsOfTheirOwn)
{
    CLineGate gate(2, 1000);
    int leftOut = -1;
    // Each topic (or port) of the process gets its own lines at one place.
    for (uint64_t key = 1; key <= 100; ++key) {
        EXPECT_TRUE(gate.admit(key, 0, &leftOut)) << key;
        EXPECT_TRUE(gate.admit(key, 0, &leftOut)) << key;
        EXPECT_FALSE(gate.admit(key, 0, &leftOut)) << key;
        EXPECT_FALSE(gate.admit(key, 500, &leftOut)) << key;
    }
    // Each keeps its own count: its next window says what it left out.
    EXPECT_TRUE(gate.admit(1, 1000, &leftOut));
    EXPECT_EQ(leftOut, 2);
    EXPECT_TRUE(gate.admit(100, 1200, &leftOut));
    EXPECT_EQ(leftOut, 2);
    EXPECT_TRUE(gate.admit(0, 1200, &leftOut));
    EXPECT_EQ(leftOut, 0);
}

TEST(LineGateTest, SaysHowManyLinesItLeftOutBeforeTheNextAndKeepsErrno)
{
    CLineGate gate(2, 1000);
    zqtest::OutputCapture capture;
    int admitted = 0;
    for (int64_t now = 0; now < 10; ++now) {
        errno = EADDRINUSE;
        if (ddsAdmitLine(gate, 0, now)) {
            ++admitted;
        }
        EXPECT_EQ(errno, EADDRINUSE) << "at " << now;
    }
    EXPECT_EQ(admitted, 2);
    errno = EADDRINUSE;
    EXPECT_TRUE(ddsAdmitLine(gate, 0, 1000));
    EXPECT_EQ(errno, EADDRINUSE);
    DDS_RED("Error: after the note");
    EXPECT_EQ(errno, EADDRINUSE);
    capture.stop();
    const std::string& out = capture.out();
    const std::string noteText = "Warning: the next line was repeated 8 more times";
    ASSERT_EQ(zqtest::countDdsLines(out, "33", noteText), 1) << out;
    EXPECT_EQ(out.find("\033["), out.find(zqtest::ddsLine("33", noteText))) << "only the note before the line";
    EXPECT_LT(out.find(zqtest::ddsLine("33", noteText)), out.find(zqtest::ddsLine("31", "Error: after the note")));
}

TEST(LineGateTest, EachPlaceInTheCodeHasItsOwnBudgetWhateverTheText)
{
    zqtest::OutputCapture capture;
    const int tries = 3 * DDS_LINES_PER_WINDOW;
    for (int i = 0; i < tries; ++i) {
        errno = ECONNREFUSED;
        DDS_RED_LIMITED("Error: endpoint %d is dead", i); // a new text every time, one place
        EXPECT_EQ(errno, ECONNREFUSED);
        DDS_LIMITED(DDS_GREEN, "other place %d", i);
    }
    capture.stop();
    int red = 0;
    int green = 0;
    for (int i = 0; i < tries; ++i) {
        red += zqtest::countDdsLines(capture.out(), "31", "Error: endpoint " + std::to_string(i) + " is dead");
        green += zqtest::countDdsLines(capture.out(), "32", "other place " + std::to_string(i));
    }
    // One window's worth each, two if the loop happened to span the end of a window.
    EXPECT_GE(red, DDS_LINES_PER_WINDOW);
    EXPECT_LE(red, 2 * DDS_LINES_PER_WINDOW);
    EXPECT_GE(green, DDS_LINES_PER_WINDOW);
    EXPECT_LE(green, 2 * DDS_LINES_PER_WINDOW);
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31", "Error: endpoint 0 is dead"));
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32", "other place 0"));
}

// A process started as a service, `> file` or `| tee` start it, that dies right after the
// library printed: every line is in its stdout already.
class DdsLineNsTest : public zqtest::NsTest {};

TEST_F(DdsLineNsTest, LinesReachAPipeOrFileBeforeTheProcessDies)
{
    const struct {
        const char* how; // "abort", or "wait" to be killed
        bool toFile;     // stdout a write-only file, else the pipe the test reads
    } cases[] = {{"abort", false}, {"abort", true}, {"wait", true}};
    const std::string file = "/tmp/h25_abort_stdout.txt";
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.how) + (c.toFile ? " with stdout a file" : " with stdout a pipe"));
        std::vector<std::string> argv = {zqtest::helperPath("abort_after_line"), c.how};
        if (c.toFile) {
            argv.push_back(file);
        }
        std::string error;
        auto child = zqtest::ChildProcess::spawn(argv, &error);
        ASSERT_NE(child, nullptr) << error;
        ASSERT_TRUE(child->waitForLine("@@ printed", 10000)) << child->output();
        if (std::string(c.how) == "wait") {
            child->signal(SIGKILL);
        }
        const int status = child->wait(10000);
        ASSERT_NE(status, -1);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), std::string(c.how) == "wait" ? SIGKILL : SIGABRT);
        std::string out = child->output();
        if (c.toFile) {
            std::ifstream in(file);
            std::stringstream text;
            text << in.rdbuf();
            out = text.str();
        }
        EXPECT_TRUE(zqtest::hasDdsLine(out, "31", "Error: Participant did not initialize successfully.")) << out;
    }
}

} // namespace

namespace {

// stdout is a pipe that nobody reads any more (a launcher that stopped reading): a thread that
// prints keeps running, what the backlog cannot keep is counted, and once output moves the lines
// kept come out in order and the count is said.
TEST(DdsLineTest, AStdoutNobodyReadsNeverStopsAThreadThatPrints)
{
    ASSERT_TRUE(ddsLogFlush(5000));
    fflush(stdout);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const int size = fcntl(fds[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(size, 0);
    // Exactly the pipe's room: this write completes, the next one blocks.
    const std::string fill(static_cast<size_t>(size), 'x');
    ASSERT_EQ(write(fds[1], fill.data(), fill.size()), static_cast<ssize_t>(fill.size()));
    const int saved = dup(STDOUT_FILENO);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(dup2(fds[1], STDOUT_FILENO), STDOUT_FILENO);
    const int lines = 3000;
    auto printing = std::async(std::launch::async, [] {
        for (int i = 0; i < lines; ++i) {
            DDS_RED("Error: line %d of a stalled output", i);
        }
    });
    const bool returned = printing.wait_for(std::chrono::seconds(20)) == std::future_status::ready;

    std::string out;
    std::atomic<bool> stop{false};
    std::thread drainer([&] {
        char buf[4096];
        for (;;) {
            pollfd entry{fds[0], POLLIN, 0};
            if (poll(&entry, 1, 100) <= 0) {
                if (stop.load()) {
                    return;
                }
                continue;
            }
            const ssize_t n = read(fds[0], buf, sizeof(buf));
            if (n <= 0) {
                return;
            }
            out.append(buf, static_cast<size_t>(n));
        }
    });
    printing.wait();
    const bool flushed = ddsLogFlush(20000);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fds[1]);
    stop.store(true);
    drainer.join();
    close(fds[0]);

    EXPECT_TRUE(returned) << "the printing thread waited for the pipe";
    EXPECT_TRUE(flushed);
    EXPECT_NE(out.find("lines of this library were dropped while its output was blocked"), std::string::npos);
    // The oldest lines are kept, in order; the newest that found the backlog full are counted.
    const size_t first = out.find("line 0 of a stalled output");
    EXPECT_NE(first, std::string::npos);
    EXPECT_LT(first, out.find("line 1 of a stalled output"));
}

} // namespace
