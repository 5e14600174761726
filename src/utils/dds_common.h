// Common functions of the library and its diagnostic line format.
#pragma once

#include <cstdint>
#include <cstdio>
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
