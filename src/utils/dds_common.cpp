#include "utils/dds_common.h"

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <pthread.h>
#include <sys/time.h>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Lines are handed to one writer thread of their own: a thread that prints (often while holding a
// lock of the message path) never waits for stdout, which may be a pipe nobody reads any more.
// The backlog is a ring of preallocated slots; what does not fit is counted and said once output
// moves again. Never destroyed: the writer thread is detached and may still run at exit.
class CLineWriter {
public:
    static CLineWriter& instance()
    {
        static CLineWriter& writer = *new CLineWriter;
        return writer;
    }

    void post(bool toStderr, const char* text)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!startLocked()) {
            // No thread could be started: print here, as a library without one would.
            lock.unlock();
            writeOut(toStderr, text);
            return;
        }
        if (m_uCount == RING_SLOTS) {
            ++m_iDropped;
            return;
        }
        Slot_t& slot = m_slots[(m_uHead + m_uCount) % RING_SLOTS];
        slot.m_bStderr = toStderr;
        slot.m_iDroppedBefore = m_iDropped;
        slot.m_strText.assign(text);
        m_iDropped = 0;
        ++m_uCount;
        const uint64_t mine = ++m_u64Posted;
        m_cvWork.notify_one();
        // A line is normally out before its call returns (a process that aborts right after keeps
        // it); once the writer is found stuck, nobody waits until a write of it completes again.
        if (!m_bStuck) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_bExiting ? 1000 : 200);
            if (!m_cvDone.wait_until(lock, until, [&] { return m_u64Written >= mine; })) {
                m_bStuck = true;
            }
        }
    }

    bool flush(int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!startLocked()) {
            return true;
        }
        const uint64_t target = m_u64Posted;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        return m_cvDone.wait_until(lock, until, [&] { return m_u64Written >= target && m_iDropped == 0 && !m_bBusy; });
    }

    // At exit the backlog is given a bounded time to drain; a full pipe never holds exit up.
    void atExit()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bExiting = true;
        }
        flush(m_bStuck ? 0 : 1500);
    }

    // A child of fork() has no writer thread; the parent's backlog is the parent's to print.
    void afterForkInChild()
    {
        new (&m_mutex) std::mutex;
        new (&m_cvWork) std::condition_variable;
        new (&m_cvDone) std::condition_variable;
        m_bStarted = false;
        m_bStuck = false;
        m_bBusy = false;
        m_uCount = 0;
        m_iDropped = 0;
        m_u64Written = m_u64Posted;
    }

private:
    static constexpr size_t RING_SLOTS = 1024;
    struct Slot_t {
        bool m_bStderr{false};
        int m_iDroppedBefore{0};
        std::string m_strText;
    };

    CLineWriter() : m_slots(RING_SLOTS)
    {
        pthread_atfork([] { instance().m_mutex.lock(); }, [] { instance().m_mutex.unlock(); },
                       [] { instance().afterForkInChild(); });
        std::atexit([] { instance().atExit(); });
    }

    bool startLocked()
    {
        if (m_bStarted) {
            return true;
        }
        // The writer must not take signals meant for the application's threads.
        sigset_t all;
        sigset_t old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        try {
            std::thread(&CLineWriter::run, this).detach();
            m_bStarted = true;
        } catch (const std::system_error&) {
            m_bStarted = false;
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return m_bStarted;
    }

    static void writeOut(bool toStderr, const char* text)
    {
        FILE* stream = toStderr ? stderr : stdout;
        // stdout is fully buffered on a file or pipe: without the flush a process that aborts or
        // is killed loses its lines. Under the stream's lock, so that the application's own
        // output never splits a line.
        flockfile(stream);
        fputs(text, stream);
        fflush(stream);
        funlockfile(stream);
    }

    static void writeDropped(int dropped)
    {
        char text[160];
        snprintf(text, sizeof(text),
                 "\033[33m[DDS] Warning: %d lines of this library were dropped while its output was blocked\033[0m "
                 "@%s,%d\n",
                 dropped, __FUNCTION__, __LINE__);
        writeOut(false, text);
    }

    void run()
    {
        std::string text;
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_cvWork.wait(lock, [&] { return m_uCount > 0 || m_iDropped > 0; });
            int dropped = 0;
            bool toStderr = false;
            bool haveLine = false;
            if (m_uCount > 0) {
                Slot_t& slot = m_slots[m_uHead];
                dropped = slot.m_iDroppedBefore;
                toStderr = slot.m_bStderr;
                text.swap(slot.m_strText);
                haveLine = true;
                m_uHead = (m_uHead + 1) % RING_SLOTS;
                --m_uCount;
            } else {
                dropped = m_iDropped;
                m_iDropped = 0;
            }
            m_bBusy = true;
            lock.unlock();
            if (dropped > 0) {
                writeDropped(dropped);
            }
            if (haveLine) {
                writeOut(toStderr, text.c_str());
            }
            lock.lock();
            if (haveLine) {
                ++m_u64Written;
            }
            m_bBusy = false;
            if (m_uCount == 0) {
                m_bStuck = false;
            }
            m_cvDone.notify_all();
        }
    }

    std::mutex m_mutex; // guards every member below
    std::condition_variable m_cvWork;
    std::condition_variable m_cvDone;
    std::vector<Slot_t> m_slots;
    size_t m_uHead{0};
    size_t m_uCount{0};
    int m_iDropped{0}; // lines refused since the last one kept
    uint64_t m_u64Posted{0};
    uint64_t m_u64Written{0};
    bool m_bStarted{false};
    bool m_bStuck{false}; // a line waited for in vain; cleared when the backlog is empty
    bool m_bBusy{false};  // the writer thread is writing
    bool m_bExiting{false};
};

void printLine(const char* color, const char* text, const char* func, int line)
{
    const int n = snprintf(nullptr, 0, "\033[%sm[DDS] %s\033[0m @%s,%d\n", color, text, func, line);
    if (n < 0) {
        return;
    }
    std::vector<char> whole(static_cast<size_t>(n) + 1);
    snprintf(whole.data(), whole.size(), "\033[%sm[DDS] %s\033[0m @%s,%d\n", color, text, func, line);
    CLineWriter::instance().post(false, whole.data());
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

bool ddsLogFlush(int timeoutMs)
{
    return CLineWriter::instance().flush(timeoutMs);
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
    // perror's text, handed to the writer thread like every other line.
    char buf[256];
    const char* message = strerror_r(err, buf, sizeof(buf));
    std::string text;
    if (prefix != nullptr && *prefix != '\0') {
        text = std::string(prefix) + ": ";
    }
    text += message;
    text += '\n';
    CLineWriter::instance().post(true, text.c_str());
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
