#include "utils/dds_common.h"

#include <cstdarg>
// GCC 12 with sanitizers reports false maybe-uninitialized warnings inside <regex>.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#else
#include <regex>
#endif
#include <sys/time.h>
#include <vector>

void ddsLogLine(const char* color, const char* func, int line, const char* fmt, ...)
{
    char text[512];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    if (static_cast<size_t>(n) < sizeof(text)) {
        printf("\033[%sm[DDS] %s\033[0m @%s,%d\n", color, text, func, line);
        return;
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    va_start(args, fmt);
    vsnprintf(big.data(), big.size(), fmt, args);
    va_end(args);
    printf("\033[%sm[DDS] %s\033[0m @%s,%d\n", color, big.data(), func, line);
}

int64_t timespecToMs(const struct timespec& ts)
{
    return static_cast<int64_t>(ts.tv_sec) * 1000 + static_cast<int64_t>(ts.tv_nsec) / 1000000;
}

int64_t getUptimeMs()
{
    struct timespec ts {};
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
        return -1;
    }
    return timespecToMs(ts);
}

int64_t getSysTimeUs()
{
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + static_cast<int64_t>(tv.tv_usec);
}

bool isValidIPv4(const std::string& ip)
{
    // Compiled per call: the check runs once per participant start.
    const std::regex pattern("^((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\\.){3}(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)$");
    return std::regex_match(ip, pattern);
}

std::string getCompileTime() { return std::string(__DATE__) + " at " + __TIME__; }
