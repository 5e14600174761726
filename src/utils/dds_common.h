// Common functions of the library and its diagnostic line format.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

// Prints one diagnostic line on stdout: ESC, "[<color>m", "[DDS] ", the text, ESC "[0m",
// " @function,line" and a line feed, with a single printf so that lines of threads do not mix.
void ddsLogLine(const char* color, const char* func, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Red marks errors, yellow warnings, green information (and many failures), blue details.
#define DDS_RED(...) ::ddsLogLine("31", __FUNCTION__, __LINE__, __VA_ARGS__)
#define DDS_GREEN(...) ::ddsLogLine("32", __FUNCTION__, __LINE__, __VA_ARGS__)
#define DDS_YELLOW(...) ::ddsLogLine("33", __FUNCTION__, __LINE__, __VA_ARGS__)
#define DDS_BLUE(...) ::ddsLogLine("34", __FUNCTION__, __LINE__, __VA_ARGS__)

// perror that leaves errno as it found it. With stderr open write-only (a file, a pipe) glibc's
// perror leaves EINVAL behind, and a caller that looks at errno after the line would act on that.
void ddsPerror(const char* prefix);

// Milliseconds of the monotonic clock; -1 when the clock cannot be read.
int64_t getUptimeMs();
// Whole milliseconds of a clock reading (nanoseconds truncated).
int64_t timespecToMs(const struct timespec& ts);
// Microseconds of the wall clock since the Unix epoch; follows changes of the system time.
int64_t getSysTimeUs();
// The library's one reading of IPv4 address text: exactly four decimal fields 0..255 joined by
// dots, without leading zeros, signs or blanks, so that a text accepted anywhere means the same
// address everywhere (the system's other readers take "010" as octal). True with the address,
// network byte order, in *out; false (and *out untouched) otherwise, also for a null text and
// for a string holding a NUL.
bool parseIPv4(const char* text, in_addr* out);
bool parseIPv4(const std::string& text, in_addr* out);
// True when parseIPv4 reads the text.
bool isValidIPv4(const std::string& ip);
// parseIPv4's address (network byte order), or INADDR_NONE (255.255.255.255, which binds, joins
// and connects refuse) for a text it cannot read.
in_addr_t ipv4OrNone(const char* text);
// Build date and time, such as "Mar 24 2025 at 16:45:55"; fixed when the library is built.
std::string getCompileTime();
