#include "utils/dds_common.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <sys/time.h>
#include <vector>

namespace {

void printLine(const char* color, const char* text, const char* func, int line)
{
    // stdout is fully buffered on a file or pipe: without the flush a process that aborts or is
    // killed loses its lines. Under the stream's lock, so that no other thread's output splits it.
    flockfile(stdout);
    printf("\033[%sm[DDS] %s\033[0m @%s,%d\n", color, text, func, line);
    fflush(stdout);
    funlockfile(stdout);
}

} // namespace

void ddsLogLine(const char* color, const char* func, int line, const char* fmt, ...)
{
    const int savedErrno = errno;
    char text[512];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) < sizeof(text)) {
        printLine(color, text, func, line);
    } else if (n >= 0) {
        std::vector<char> big(static_cast<size_t>(n) + 1);
        va_start(args, fmt);
        vsnprintf(big.data(), big.size(), fmt, args);
        va_end(args);
        printLine(color, big.data(), func, line);
    }
    errno = savedErrno;
}

bool CLineGate::admit(uint64_t key, int64_t nowMs, int* leftOut)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    *leftOut = 0;
    Budget_t* budget = &m_budgets[key];
    if (!budget->m_bStarted || nowMs - budget->m_i64WindowStart >= m_i64WindowMs) {
        budget->m_bStarted = true;
        budget->m_i64WindowStart = nowMs;
        budget->m_iPrinted = 0;
    }
    if (budget->m_iPrinted >= m_iPerWindow) {
        ++budget->m_iLeftOut;
        return false;
    }
    ++budget->m_iPrinted;
    *leftOut = budget->m_iLeftOut;
    budget->m_iLeftOut = 0;
    return true;
}

uint64_t ddsLineKey(const std::string& name)
{
    return std::hash<std::string>{}(name);
}

bool ddsAdmitLine(CLineGate& gate)
{
    return ddsAdmitLine(gate, 0, getUptimeMs());
}

bool ddsAdmitLine(CLineGate& gate, uint64_t key, int64_t nowMs)
{
    const int savedErrno = errno;
    int leftOut = 0;
    if (!gate.admit(key, nowMs, &leftOut)) {
        return false;
    }
    if (leftOut > 0) {
        DDS_YELLOW("Warning: the next line was repeated %d more times", leftOut);
    }
    errno = savedErrno;
    return true;
}

bool ddsAdmitLine(CLineGate& gate, uint64_t key)
{
    return ddsAdmitLine(gate, key, getUptimeMs());
}

void ddsPerror(const char* prefix)
{
    const int err = errno;
    perror(prefix);
    errno = err;
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

bool parseIPv4(const char* text, in_addr* out)
{
    in_addr addr{};
    // inet_pton takes the strict dotted quad only; inet_addr and inet_aton would also take
    // octal and hexadecimal fields and short forms.
    if (text == nullptr || out == nullptr || inet_pton(AF_INET, text, &addr) != 1) {
        return false;
    }
    *out = addr;
    return true;
}

bool parseIPv4(const std::string& text, in_addr* out)
{
    return text.find('\0') == std::string::npos && parseIPv4(text.c_str(), out);
}

bool isValidIPv4(const std::string& ip)
{
    in_addr addr{};
    return parseIPv4(ip, &addr);
}

in_addr_t ipv4OrNone(const char* text)
{
    in_addr addr{};
    return parseIPv4(text, &addr) ? addr.s_addr : htonl(INADDR_NONE);
}

std::string getCompileTime()
{
    return std::string(__DATE__) + " at " + __TIME__;
}
