// What the comparison harnesses share: percentiles, the result lines, a pipe between the two
// processes of a run.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace peerperf {

using Clock = std::chrono::steady_clock;

inline double usSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

inline int64_t wallUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "lat <system> <bytes> <median> <p90> <p99> <max>" in microseconds.
inline void printLatency(const char* name, size_t size, std::vector<double>& us)
{
    if (us.empty()) {
        printf("lat %s %zu - - - -\n", name, size);
        return;
    }
    std::sort(us.begin(), us.end());
    auto at = [&us](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * (us.size() - 1) + 0.5))]; };
    printf("lat %s %zu %.1f %.1f %.1f %.1f\n", name, size, at(0.5), at(0.9), at(0.99), us.back());
    fflush(stdout);
}

// "tput <system> <bytes> <msg/s> <MB/s> <lost>".
inline void printThroughput(const char* name, size_t size, long long sent, long long got, int64_t startUs,
                            int64_t lastUs)
{
    double secs = lastUs > startUs ? static_cast<double>(lastUs - startUs) / 1e6 : 0;
    double rate = secs > 0 ? static_cast<double>(got) / secs : 0;
    printf("tput %s %zu %.0f %.1f %lld\n", name, size, rate, rate * static_cast<double>(size) / 1e6, sent - got);
    fflush(stdout);
}

// A one-way byte channel between the two processes (made before the fork).
struct Pipe {
    int fd[2]{-1, -1};
    Pipe()
    {
        if (pipe(fd) != 0) {
            std::exit(1);
        }
    }
    void put(long long v) { (void)!write(fd[1], &v, sizeof(v)); }
    long long get()
    {
        long long v = -1;
        (void)!read(fd[0], &v, sizeof(v));
        return v;
    }
};

inline std::vector<size_t> sizesFrom(const char* list)
{
    std::vector<size_t> sizes;
    std::string text(list);
    size_t at = 0;
    while (at < text.size()) {
        size_t comma = text.find(',', at);
        sizes.push_back(static_cast<size_t>(std::atoll(text.substr(at, comma - at).c_str())));
        if (comma == std::string::npos) {
            break;
        }
        at = comma + 1;
    }
    return sizes;
}

// The harnesses' arguments: <sizes a,b,...> <round trips> <warm-up> <throughput bytes>.
struct Args {
    std::vector<size_t> sizes;
    int count{0};
    int warmup{0};
    long long tputBytes{0};
};

inline bool parseArgs(int argc, char** argv, Args& args)
{
    if (argc < 5) {
        fprintf(stderr, "usage: %s <sizes a,b,...> <round trips> <warm-up> <throughput bytes>\n", argv[0]);
        return false;
    }
    args.sizes = sizesFrom(argv[1]);
    args.count = std::atoi(argv[2]);
    args.warmup = std::atoi(argv[3]);
    args.tputBytes = std::atoll(argv[4]);
    return true;
}

} // namespace peerperf
