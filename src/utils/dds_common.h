// Common functions of the library and its diagnostic line format.
#pragma once

#include <netinet/in.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>

// Prints one diagnostic line on stdout: ESC, "[<color>m", "[DDS] ", the text, ESC "[0m",
// " @function,line" and a line feed, whole, so that lines of threads do not mix. Lines are
// written in order by a thread of their own: the caller waits a moment for its line to be out
// and flushed (a process that aborts keeps it), never for an output that does not move (a pipe
// nobody reads). Lines beyond a bounded backlog are counted and said once output moves again.
// errno is left as it was.
void ddsLogLine(const char* color, const char* func, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Red marks errors, yellow warnings, green information (and many failures), blue details.
#define DDS_RED(...) ::ddsLogLine("31", __FUNCTION__, __LINE__, __VA_ARGS__)
#define DDS_GREEN(...) ::ddsLogLine("32", __FUNCTION__, __LINE__, __VA_ARGS__)
#define DDS_YELLOW(...) ::ddsLogLine("33", __FUNCTION__, __LINE__, __VA_ARGS__)
#define DDS_BLUE(...) ::ddsLogLine("34", __FUNCTION__, __LINE__, __VA_ARGS__)

// perror that leaves errno as it found it. With stderr open write-only (a file, a pipe) glibc's
// perror leaves EINVAL behind, and a caller that looks at errno after the line would act on that.
// Its line goes through the same writer thread, to stderr.
void ddsPerror(const char* prefix);

// Waits up to `timeoutMs` until every line printed so far is written and flushed; false when
// the output did not take them in time. Starts the writer thread if it is not running yet. For
// tests that redirect stdout or count threads.
bool ddsLogFlush(int timeoutMs);

// Lines of one place in the code printed per window; the rest are counted and said once.
constexpr int DDS_LINES_PER_WINDOW = 11;
constexpr int64_t DDS_LINE_WINDOW_MS = 60000;

// The budget of one place in the code that prints lines others can make it repeat (peers'
// datagrams, answers, segments). A place whose honest lines come once per topic or channel
// (a channel up, a port opened) keys its budget by what is the process's own (its topic, port
// or key), so that a program with many topics prints every such line while one topic driven
// round by a peer still prints few. Keys are only ever the process's own, so they are as many
// as its topics and numbers. Any thread; its mutex guards the counts.
class CLineGate {
public:
    CLineGate() = default;
    CLineGate(int perWindow, int64_t windowMs) : m_iPerWindow(perWindow), m_i64WindowMs(windowMs) {}
    // Whether a line of `key` may be printed at `nowMs`; `*leftOut` gets the number of lines of
    // that key refused since its last one admitted (0 when refused).
    bool admit(uint64_t key, int64_t nowMs, int* leftOut);
    bool admit(int64_t nowMs, int* leftOut) { return admit(0, nowMs, leftOut); }

private:
    struct Budget_t {
        bool m_bStarted{false};
        int64_t m_i64WindowStart{0};
        int m_iPrinted{0};
        int m_iLeftOut{0};
    };

    std::mutex m_mutex;
    int m_iPerWindow{DDS_LINES_PER_WINDOW};
    int64_t m_i64WindowMs{DDS_LINE_WINDOW_MS};
    std::unordered_map<uint64_t, Budget_t> m_budgets;
};

// Asks the gate at `nowMs` (by default now) for `key`; when it admits after refusing, prints the
// repeat note first. Keeps errno.
bool ddsAdmitLine(CLineGate& gate, uint64_t key, int64_t nowMs);
bool ddsAdmitLine(CLineGate& gate, uint64_t key);
bool ddsAdmitLine(CLineGate& gate);
// The key of a place's budget for a topic name, or for a port, index or segment key.
uint64_t ddsLineKey(const std::string& name);
inline uint64_t ddsLineKey(long long number)
{
    return static_cast<uint64_t>(number);
}

// The gate of the place in the code where this is written (one per expansion). Never destroyed:
// a participant held in a static may print through it while the process's statics are torn down.
#define DDS_LINE_GATE()                                                                                                \
    ([]() -> ::CLineGate& {                                                                                            \
        static ::CLineGate& ddsGate_ = *new ::CLineGate;                                                               \
        return ddsGate_;                                                                                               \
    }())

// A line that something outside the process can make this place repeat: asked of the place's
// gate before anything is formatted. `print` is DDS_RED and the like, or perror; errno is kept.
#define DDS_LIMITED(print, ...)                                                                                        \
    do {                                                                                                               \
        const int ddsErrno_ = errno;                                                                                   \
        if (::ddsAdmitLine(DDS_LINE_GATE())) {                                                                         \
            print(__VA_ARGS__);                                                                                        \
        }                                                                                                              \
        errno = ddsErrno_;                                                                                             \
    } while (0)
#define DDS_RED_LIMITED(...) DDS_LIMITED(DDS_RED, __VA_ARGS__)
#define DDS_GREEN_LIMITED(...) DDS_LIMITED(DDS_GREEN, __VA_ARGS__)
#define DDS_YELLOW_LIMITED(...) DDS_LIMITED(DDS_YELLOW, __VA_ARGS__)

// The same, with the place's budget kept per `key`: a topic name, or a port, index or segment key
// of this process.
#define DDS_LIMITED_BY(key, print, ...)                                                                                \
    do {                                                                                                               \
        const int ddsErrno_ = errno;                                                                                   \
        if (::ddsAdmitLine(DDS_LINE_GATE(), ::ddsLineKey(key))) {                                                      \
            print(__VA_ARGS__);                                                                                        \
        }                                                                                                              \
        errno = ddsErrno_;                                                                                             \
    } while (0)
#define DDS_RED_LIMITED_BY(key, ...) DDS_LIMITED_BY(key, DDS_RED, __VA_ARGS__)
#define DDS_GREEN_LIMITED_BY(key, ...) DDS_LIMITED_BY(key, DDS_GREEN, __VA_ARGS__)
#define DDS_YELLOW_LIMITED_BY(key, ...) DDS_LIMITED_BY(key, DDS_YELLOW, __VA_ARGS__)

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
