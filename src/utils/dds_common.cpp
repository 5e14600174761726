#include "utils/dds_common.h"

#include <cstdarg>
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
