// zqperf: round-trip latency and one-way throughput of libzqdds's channels, measured through the
// public API only, as an application would use it.
//
// Two processes: this one writes "zqperf_ping" and reads "zqperf_pong"; a peer (this program
// again, with --peer) reads the ping and writes it back as the pong, or only counts what it gets.
// The library chooses the channel as it always does: a peer on the same address gets a Unix
// socket, or shared memory when the topics carry a shared-memory configuration, and a peer on
// another address gets UDP. Everything runs in private network, IPC and mount namespaces made at
// start; the UDP peer lives in a second network namespace joined to the first by a veth pair
// (198.18.77.1 and .2), so nothing leaves this machine's own namespaces. Messages go by loan
// both ways (only their first bytes are written). "pinned" puts every thread of this process on
// CPU 1 and every thread of the peer on CPU 3; "unpinned" leaves them to the scheduler; "busy"
// puts the writing application thread of this process on CPU 1 beside a thread that keeps that
// CPU busy, the library's threads and the peer left to the scheduler; "shared" puts every thread
// of this process on --writer-cpu (where the caller may run a busy process too), the peer free.
//
// --paced 100,1000,... measures paced streams instead: the writer sends one message per period
// for --paced-seconds, its CLOCK_MONOTONIC time in the payload; the peer takes the one-way
// latency of each, and both report the CPU their process used over the run (getrusage).
//
// Usage: zqperf [--channel unix|udp|shm|all] [--pin on|off|both|busy|shared|all]
//               [--sizes 64,1024,...] [--count N] [--warmup N] [--tput-seconds S] [--csv FILE]
//               [--no-latency] [--no-throughput] [--paced R1,R2,...] [--paced-seconds S]
//               [--writer-cpu N]
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zqdds/data_reader.h"
#include "zqdds/data_writer.h"
#include "zqdds/participant.h"
#include "zqdds/publisher.h"
#include "zqdds/subscriber.h"
#include "zqdds/topic.h"

extern char** environ;

namespace {

const char* const PING = "zqperf_ping";
const char* const PONG = "zqperf_pong";
const char* const PEER_NS = "zqperf_peer";
const char* const IF_A = "zqpa";
const char* const IF_B = "zqpb";
const char* const ADDR_A = "198.18.77.1/24";
const char* const ADDR_B = "198.18.77.2/24";
constexpr int TRANS_UDP = 1;
constexpr int TRANS_UNIX = 2;
constexpr int TRANS_SHM = 3;

using Clock = std::chrono::steady_clock;

int64_t wallUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The library writes its diagnostics to stdout: they go to /dev/null, our lines to a saved copy.
FILE* quietLibrary()
{
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    fcntl(saved, F_SETFD, FD_CLOEXEC);
    return fdopen(saved, "w");
}

int run(const std::string& cmd)
{
    std::string quiet = cmd + " >/dev/null 2>&1";
    int rc = std::system(quiet.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Every thread of this process on `cpu`, or on every processor for -1.
void pinProcess(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (cpu < 0) {
        long n = sysconf(_SC_NPROCESSORS_ONLN);
        for (long i = 0; i < n; ++i) {
            CPU_SET(static_cast<int>(i), &set);
        }
    } else {
        CPU_SET(cpu, &set);
    }
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            sched_setaffinity(std::atoi(entry->d_name), sizeof(set), &set);
        }
    }
    closedir(dir);
}

// CPU modes of a run.
constexpr int CPUS_UNPINNED = 0;
constexpr int CPUS_PINNED = 1;
constexpr int CPUS_BUSY = 2;
constexpr int CPUS_SHARED = 3;
constexpr int BUSY_CPU = 1;

const char* cpusName(int mode)
{
    switch (mode) {
    case CPUS_PINNED:
        return "pinned";
    case CPUS_BUSY:
        return "busy";
    case CPUS_SHARED:
        return "shared";
    default:
        return "unpinned";
    }
}

int64_t monoNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// User and system time of every thread of this process, µs.
int64_t cpuUs()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (static_cast<int64_t>(ru.ru_utime.tv_sec) + ru.ru_stime.tv_sec) * 1000000 + ru.ru_utime.tv_usec +
           ru.ru_stime.tv_usec;
}

// A paced message: the writer's time stamp and its number; the number -1 ends a run.
struct Stamp {
    int64_t ns;
    int64_t seq;
};

// The calling thread on `cpu` alone.
void pinThread(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof(set), &set);
}

// A thread that keeps one CPU busy at normal priority until stopped, as an application's
// computing thread would.
class BusyThread {
public:
    void start(int cpu)
    {
        m_bStop = false;
        m_thread = std::thread([this, cpu] {
            pinThread(cpu);
            while (!m_bStop.load(std::memory_order_relaxed)) {
            }
        });
    }
    void stop()
    {
        if (m_thread.joinable()) {
            m_bStop = true;
            m_thread.join();
        }
    }
    ~BusyThread() { stop(); }

private:
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

_DomainConfigParam_t config(const std::string& eth, int base)
{
    _DomainConfigParam_t param;
    param.m_iDomainId = 91;
    param.m_strMulticastIp = "224.91.0.1";
    param.m_iMulticastPort = 47990;
    param.m_iDiscoverPeriod = 1;
    for (int i = 0; i < 8; ++i) {
        param.m_vecSocketPorts.push_back(base + i);
        param.m_vecUnixSocketIdx.push_back(base % 1000 + i);
        param.m_vecShmKeys.push_back(base % 1000 + i);
    }
    param.m_iMaxMemPoolSize = 512 * 1024 * 1024;
    param.m_strEthName = eth;
    return param;
}

ShmConfig_t shmLayout()
{
    ShmConfig_t cfg{};
    cfg.m_bUseUserLayout = true;
    cfg.m_iGroupCount = 4;
    cfg.m_groups[0] = MemGroup_t{0, 2048, 512};
    cfg.m_groups[1] = MemGroup_t{1, 8192, 128};
    cfg.m_groups[2] = MemGroup_t{2, 65536 + 1024, 64};
    cfg.m_groups[3] = MemGroup_t{3, 1048576 + 1024, 16};
    return cfg;
}

// One side: a participant with a writer of one topic and a reader of the other.
struct Side {
    std::unique_ptr<CParticipant> participant;
    CTopic* out{nullptr};
    CTopic* in{nullptr};
    CPublisher* pub{nullptr};
    CSubscriber* sub{nullptr};
    CDataWriter* writer{nullptr};
    CDataReader* reader{nullptr};
    std::string outName;

    bool open(const std::string& eth, int base, const char* outTopic, const char* inTopic, bool shm, int depth)
    {
        _DomainConfigParam_t param = config(eth, base);
        participant = std::make_unique<CParticipant>(param);
        ShmConfig_t layout = shmLayout();
        outName = outTopic;
        out = participant->createTopic(outTopic, shm ? &layout : nullptr);
        in = participant->createTopic(inTopic, shm ? &layout : nullptr);
        pub = participant->createPublisher();
        sub = participant->createSubscriber();
        if (out == nullptr || in == nullptr || pub == nullptr || sub == nullptr) {
            return false;
        }
        writer = pub->createDataWriter(out);
        reader = sub->createDataReader(in, depth);
        return writer != nullptr && reader != nullptr;
    }
    bool waitConnected(int ms)
    {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            if (writer->isConnect() && reader->isConnect()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    // The medium the library chose for this side's writer: 1 UDP, 2 Unix socket, 3 shm; -1 none.
    int medium()
    {
        _DdsInfo_t info{};
        if (participant->getDdsInfo(outName, DDS_INFO_PUB, info) != 0 || info.m_vecDataChnInfo.empty()) {
            return -1;
        }
        return info.m_vecDataChnInfo.front().m_iTransType;
    }
    void close()
    {
        if (!participant) {
            return;
        }
        if (reader != nullptr) {
            sub->deleteDataReader(reader);
        }
        if (writer != nullptr) {
            pub->deleteDataWriter(writer);
        }
        if (sub != nullptr) {
            participant->deleteSubscriber(sub);
        }
        if (pub != nullptr) {
            participant->deletePublisher(pub);
        }
        if (out != nullptr) {
            participant->deleteTopic(out);
        }
        if (in != nullptr) {
            participant->deleteTopic(in);
        }
        participant.reset();
    }
};

// A loan, asked again for up to `ms` while the pool is empty: the pool itself never waits, and
// under load the readers' returns of the last few chunks of a small group can lag a little.
_DataBuffer_t* loan(CDataWriter* writer, int size, int ms)
{
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        _DataBuffer_t* buffer = writer->getEmptyDataBuffer(size, ms);
        if (buffer != nullptr || Clock::now() >= end) {
            return buffer;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

// ---------------------------------------------------------------- peer

int runPeer(const std::string& eth, bool shm)
{
    FILE* out = quietLibrary();
    auto say = [out](const std::string& text) {
        fprintf(out, "@@ %s\n", text.c_str());
        fflush(out);
    };
    Side side;
    if (!side.open(eth, 47100, PONG, PING, shm, 1024) || !side.waitConnected(20000)) {
        say("failed");
        side.close();
        return 1;
    }
    say("connected " + std::to_string(side.medium()));
    char line[256];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        std::istringstream in(line);
        std::string cmd;
        long long a = 0;
        long long b = 0;
        in >> cmd >> a >> b;
        if (cmd == "quit") {
            break;
        }
        if (cmd == "pin") {
            pinProcess(static_cast<int>(a));
            say("pinned");
        } else if (cmd == "echo") {
            // a messages back as they come; a read that times out ends the round.
            long long done = 0;
            for (; done < a; ++done) {
                // Lent in place both ways: only the first bytes are touched, as a zero-copy
                // application would.
                _DataBuffer_t* lent = side.reader->getDataBuffer(5000, nullptr);
                if (lent == nullptr) {
                    break;
                }
                const int len = lent->m_iLen;
                _DataBuffer_t* back = loan(side.writer, len, 1000);
                if (back == nullptr) {
                    side.reader->releaseDataBuffer(lent);
                    break;
                }
                std::memcpy(back->m_pData, lent->m_pData, static_cast<size_t>(std::min(len, 8)));
                back->m_iLen = len;
                side.reader->releaseDataBuffer(lent);
                if (side.writer->putFullDataBuffer(back) != 0) {
                    break;
                }
            }
            say("echoed " + std::to_string(done));
        } else if (cmd == "paced") {
            // One-way latency of each message until the end mark, or a quiet of b ms.
            std::vector<double> us;
            us.reserve(static_cast<size_t>(std::max(0LL, a)) + 16);
            const int64_t cpu0 = cpuUs();
            for (;;) {
                _DataBuffer_t* lent = side.reader->getDataBuffer(static_cast<int>(b), nullptr);
                if (lent == nullptr) {
                    break;
                }
                const int64_t now = monoNs();
                Stamp stamp{0, -1};
                if (lent->m_iLen >= static_cast<int>(sizeof(stamp))) {
                    std::memcpy(&stamp, lent->m_pData, sizeof(stamp));
                }
                side.reader->releaseDataBuffer(lent);
                if (stamp.seq < 0) {
                    break;
                }
                us.push_back(static_cast<double>(now - stamp.ns) / 1e3);
            }
            const int64_t cpu = cpuUs() - cpu0;
            // The spare end marks, so that they do not end the next run.
            while (_DataBuffer_t* late = side.reader->getDataBuffer(200, nullptr)) {
                side.reader->releaseDataBuffer(late);
            }
            std::sort(us.begin(), us.end());
            auto at = [&us](double q) {
                return us.empty() ? 0.0 : us[std::min(us.size() - 1, static_cast<size_t>(q * (us.size() - 1) + 0.5))];
            };
            char text[160];
            snprintf(text, sizeof(text), "paced %zu %.2f %.2f %lld", us.size(), at(0.5), at(0.99),
                     static_cast<long long>(cpu));
            say(text);
        } else if (cmd == "sink") {
            // Counts what arrives until a messages came or the channel stays quiet for b ms.
            long long got = 0;
            long long bytes = 0;
            int64_t first = 0;
            int64_t last = 0;
            while (got < a) {
                _DataBuffer_t* lent = side.reader->getDataBuffer(got == 0 ? 10000 : static_cast<int>(b), nullptr);
                if (lent == nullptr) {
                    break;
                }
                const int len = lent->m_iLen;
                side.reader->releaseDataBuffer(lent);
                last = wallUs();
                if (got == 0) {
                    first = last;
                }
                ++got;
                bytes += len;
            }
            say("got " + std::to_string(got) + " " + std::to_string(bytes) + " " + std::to_string(first) + " " +
                std::to_string(last));
        }
    }
    side.close();
    say("bye");
    fclose(out);
    return 0;
}

// ---------------------------------------------------------------- the measuring side

class Peer {
public:
    bool start(const std::vector<std::string>& argv)
    {
        int toChild[2];
        int fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        int rc = posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        m_in = fdopen(toChild[1], "w");
        m_out = fdopen(fromChild[0], "r");
        return rc == 0;
    }
    void send(const std::string& line)
    {
        fprintf(m_in, "%s\n", line.c_str());
        fflush(m_in);
    }
    // The next "@@ " line's text; empty when the peer is gone.
    std::string reply()
    {
        char line[512];
        while (fgets(line, sizeof(line), m_out) != nullptr) {
            std::string text(line);
            size_t at = text.find("@@ ");
            if (at != std::string::npos) {
                text = text.substr(at + 3);
                while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
                    text.pop_back();
                }
                return text;
            }
        }
        return std::string();
    }
    void finish()
    {
        if (m_in != nullptr) {
            send("quit");
            fclose(m_in);
            m_in = nullptr;
        }
        if (m_out != nullptr) {
            while (!reply().empty()) {
            }
            fclose(m_out);
            m_out = nullptr;
        }
        if (m_pid > 0) {
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
    }
    ~Peer() { finish(); }

private:
    pid_t m_pid{-1};
    FILE* m_in{nullptr};
    FILE* m_out{nullptr};
};

struct Options {
    std::vector<std::string> channels{"unix", "shm", "udp"};
    std::vector<int> pins{CPUS_UNPINNED, CPUS_PINNED};
    std::vector<int> sizes{64, 1024, 65536, 1048576};
    int count{10000};
    int warmup{1000};
    double tputSeconds{2.0};
    std::vector<int> paced;
    double pacedSeconds{5.0};
    int writerCpu{BUSY_CPU};
    bool latency{true};
    bool throughput{true};
    std::string csv;
};

struct Row {
    std::string channel;
    std::string pinned;
    int size{0};
    std::string status{"ok"};
    long long trips{0};
    double median{0}, p90{0}, p99{0}, max{0};
    long long sent{0}, received{0};
    double msgs{0}, mbs{0};
    // Paced runs: messages per second asked, messages due, CPU of the writing and reading process.
    int rate{0};
    long long due{0};
    long long cpuWriterUs{0}, cpuReaderUs{0};
};

std::string sizeText(int size)
{
    if (size >= 1048576 && size % 1048576 == 0) {
        return std::to_string(size / 1048576) + " MiB";
    }
    if (size >= 1024 && size % 1024 == 0) {
        return std::to_string(size / 1024) + " KiB";
    }
    return std::to_string(size) + " B";
}

bool makePeerNamespace()
{
    run(std::string("ip netns del ") + PEER_NS);
    const std::string steps[] = {
        std::string("ip netns add ") + PEER_NS,
        std::string("ip link add ") + IF_A + " type veth peer name " + IF_B,
        std::string("ip link set ") + IF_B + " netns " + PEER_NS,
        std::string("ip addr add ") + ADDR_A + " dev " + IF_A,
        std::string("ip link set ") + IF_A + " multicast on up",
        std::string("ip netns exec ") + PEER_NS + " ip addr add " + ADDR_B + " dev " + IF_B,
        std::string("ip netns exec ") + PEER_NS + " ip link set " + IF_B + " multicast on up",
        std::string("ip netns exec ") + PEER_NS + " ip link set lo up",
        std::string("ip netns exec ") + PEER_NS + " ip route replace 224.0.0.0/4 dev " + IF_B,
    };
    for (const std::string& step : steps) {
        if (run(step) != 0) {
            fprintf(stderr, "zqperf: '%s' failed\n", step.c_str());
            return false;
        }
    }
    return true;
}

// Directories under /tmp that this program runs from: its own and those of the files it has
// mapped (the library). The peer is this program started again, so they must outlive the mount.
std::vector<std::string> ownTreesUnderTmp()
{
    std::vector<std::string> dirs;
    auto add = [&dirs](const std::string& file) {
        char real[PATH_MAX];
        if (realpath(file.c_str(), real) == nullptr) {
            return;
        }
        std::string dir(real);
        dir.erase(dir.rfind('/'));
        if (dir.rfind("/tmp/", 0) == 0 && std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) {
            dirs.push_back(dir);
        }
    };
    add("/proc/self/exe");
    if (FILE* maps = fopen("/proc/self/maps", "r")) {
        char line[4096 + 128];
        while (fgets(line, sizeof(line), maps) != nullptr) {
            const char* path = strchr(line, '/');
            if (path != nullptr) {
                std::string file(path);
                file.erase(file.find_last_not_of('\n') + 1);
                add(file);
            }
        }
        fclose(maps);
    }
    std::sort(dirs.begin(), dirs.end());
    return dirs;
}

// A fresh tmpfs on /tmp, with `dirs` (all under /tmp) held open before the mount and bound back
// at their own paths after it.
bool privateTmp(const std::vector<std::string>& dirs, std::string* error)
{
    std::vector<std::pair<std::string, int>> held;
    for (const std::string& dir : dirs) {
        int fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            held.emplace_back(dir, fd);
        }
    }
    bool ok = mount("zqperf", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=256m") == 0;
    if (!ok) {
        *error = std::string("mount /tmp: ") + strerror(errno);
    }
    for (size_t i = 0; ok && i < held.size(); ++i) {
        const std::string& dir = held[i].first;
        for (size_t slash = dir.find('/', 5);; slash = dir.find('/', slash + 1)) {
            mkdir(dir.substr(0, slash).c_str(), 0755);
            if (slash == std::string::npos) {
                break;
            }
        }
        const std::string source = "/proc/self/fd/" + std::to_string(held[i].second);
        if (mount(source.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            *error = "bind " + dir + ": " + strerror(errno);
            ok = false;
        }
    }
    for (const auto& h : held) {
        close(h.second);
    }
    return ok;
}

bool enterNamespaces(std::string* error)
{
    const std::vector<std::string> keep = ownTreesUnderTmp();
    if (unshare(CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWNS) != 0) {
        *error = std::string("unshare: ") + strerror(errno);
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *error = std::string("mount: ") + strerror(errno);
        return false;
    }
    if (!privateTmp(keep, error)) {
        return false;
    }
    // ip netns keeps its handles under /run/netns: a tmpfs of our own there too.
    mkdir("/run/netns", 0755);
    mount("zqperf-netns", "/run/netns", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
    if (run("ip link set lo multicast on up") != 0 || run("ip route replace 224.0.0.0/4 dev lo") != 0) {
        *error = "could not bring lo up with multicast (ip from iproute2 is needed)";
        return false;
    }
    return true;
}

void stats(std::vector<double>& us, Row& row)
{
    std::sort(us.begin(), us.end());
    row.trips = static_cast<long long>(us.size());
    if (us.empty()) {
        return;
    }
    auto at = [&us](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * (us.size() - 1) + 0.5))]; };
    row.median = at(0.5);
    row.p90 = at(0.9);
    row.p99 = at(0.99);
    row.max = us.back();
}

// One message of `size` bytes by loan (waiting for a chunk when `wait`): only its first bytes
// are written.
bool send(Side& side, int size, bool wait)
{
    _DataBuffer_t* out = wait ? loan(side.writer, size, 1000) : side.writer->getEmptyDataBuffer(size, 1000);
    if (out == nullptr) {
        return false;
    }
    std::memset(out->m_pData, 0x5A, static_cast<size_t>(std::min(size, 8)));
    out->m_iLen = size;
    return side.writer->putFullDataBuffer(out) == 0;
}

void latency(Side& side, Peer& peer, Row& row, const Options& opt)
{
    int count = opt.count;
    int warmup = opt.warmup;
    std::vector<double> us;
    us.reserve(static_cast<size_t>(count));
    peer.send("echo " + std::to_string(warmup + count));
    for (int i = 0; i < warmup + count; ++i) {
        auto t0 = Clock::now();
        if (!send(side, row.size, true)) {
            row.status = "write refused";
            break;
        }
        _DataBuffer_t* in = side.reader->getDataBuffer(5000, nullptr);
        auto t1 = Clock::now();
        if (in == nullptr || in->m_iLen != row.size) {
            if (in != nullptr) {
                side.reader->releaseDataBuffer(in);
            }
            row.status = "reply lost at " + std::to_string(i);
            break;
        }
        side.reader->releaseDataBuffer(in);
        if (i >= warmup) {
            us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
    }
    peer.reply(); // "echoed N"
    if (row.status != "ok") {
        // The peer ends its round by a timeout; what it echoed meanwhile is drained here.
        while (_DataBuffer_t* late = side.reader->getDataBuffer(100, nullptr)) {
            side.reader->releaseDataBuffer(late);
        }
    }
    stats(us, row);
}

// The writer sends back to back for the set time; the peer counts what arrives until the channel
// stays quiet for a second. Rates are over the time from the first write to the last arrival.
void throughput(Side& side, Peer& peer, Row& row, const Options& opt)
{
    peer.send("sink 9000000000000 1000");
    const int64_t start = wallUs();
    const int64_t end = start + static_cast<int64_t>(opt.tputSeconds * 1e6);
    long long count = 0;
    long long sent = 0;
    while (wallUs() < end) {
        for (int i = 0; i < 64; ++i, ++count) {
            if (send(side, row.size, false)) {
                ++sent;
            }
        }
    }
    std::istringstream in(peer.reply());
    std::string word;
    long long got = 0;
    long long bytes = 0;
    long long first = 0;
    long long last = 0;
    in >> word >> got >> bytes >> first >> last;
    row.sent = count;
    row.received = got;
    double secs = last > start ? static_cast<double>(last - start) / 1e6 : 0;
    if (secs > 0) {
        row.msgs = static_cast<double>(got) / secs;
        row.mbs = static_cast<double>(bytes) / secs / 1e6;
    }
    if (sent < count) {
        row.status = std::to_string(count - sent) + " writes refused";
    }
}

// One message per period from a fixed schedule for the set time; a writer that falls behind
// sends at once but stops at the end, so what it did not get to counts as not delivered.
void paced(Side& side, Peer& peer, Row& row, const Options& opt)
{
    const int64_t period = 1000000000LL / std::max(1, row.rate);
    row.due = static_cast<long long>(opt.pacedSeconds * row.rate + 0.5);
    peer.send("paced " + std::to_string(row.due) + " 2000");
    // The peer's wait starts before the first message.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int64_t cpu0 = cpuUs();
    const int64_t t0 = monoNs();
    const int64_t end = t0 + static_cast<int64_t>(opt.pacedSeconds * 1e9);
    long long refused = 0;
    for (long long i = 0; i < row.due; ++i) {
        const int64_t at = t0 + i * period;
        timespec ts{static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        Stamp stamp{monoNs(), i};
        if (stamp.ns >= end) {
            break;
        }
        _DataBuffer_t* out = side.writer->getEmptyDataBuffer(row.size, 100);
        if (out == nullptr) {
            ++refused;
            continue;
        }
        std::memcpy(out->m_pData, &stamp, sizeof(stamp));
        out->m_iLen = row.size;
        if (side.writer->putFullDataBuffer(out) == 0) {
            ++row.sent;
        } else {
            ++refused;
        }
    }
    // The end mark, sent a few times in case one is dropped.
    for (int k = 0; k < 3; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (_DataBuffer_t* out = side.writer->getEmptyDataBuffer(row.size, 100)) {
            Stamp mark{monoNs(), -1};
            std::memcpy(out->m_pData, &mark, sizeof(mark));
            out->m_iLen = row.size;
            side.writer->putFullDataBuffer(out);
        }
    }
    std::istringstream in(peer.reply());
    row.cpuWriterUs = cpuUs() - cpu0;
    std::string word;
    long long got = 0;
    long long cpuReader = 0;
    in >> word >> got >> row.median >> row.p99 >> cpuReader;
    row.cpuReaderUs = cpuReader;
    row.received = got;
    row.trips = got;
    if (word != "paced") {
        row.status = "no report from the reader";
    } else if (refused > 0) {
        row.status = std::to_string(refused) + " writes refused";
    }
}

const char* mediumName(int type)
{
    switch (type) {
    case TRANS_UDP:
        return "udp";
    case TRANS_UNIX:
        return "unix";
    case TRANS_SHM:
        return "shm";
    default:
        return "none";
    }
}

void runChannel(const std::string& channel, const Options& opt, std::vector<Row>& rows, FILE* report)
{
    const bool udp = channel == "udp";
    const bool shm = channel == "shm";
    auto unavailable = [&](const std::string& why) {
        for (int pin : opt.pins) {
            for (int size : opt.sizes) {
                Row row;
                row.channel = channel;
                row.pinned = cpusName(pin);
                row.size = size;
                row.status = "not available: " + why;
                rows.push_back(row);
            }
        }
        fprintf(report, "%s: not available: %s\n", channel.c_str(), why.c_str());
        fflush(report);
    };
    if (udp) {
        if (!makePeerNamespace()) {
            unavailable("no second namespace");
            return;
        }
        run(std::string("ip route replace 224.0.0.0/4 dev ") + IF_A);
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    self[n > 0 ? n : 0] = '\0';
    std::vector<std::string> argv;
    if (udp) {
        argv = {"ip", "netns", "exec", PEER_NS};
    }
    argv.insert(argv.end(), {self, "--peer", udp ? IF_B : "lo", shm ? "shm" : "plain"});

    Side side;
    Peer peer;
    bool opened = side.open(udp ? IF_A : "lo", 47000, PING, PONG, shm, 1024);
    if (!opened || !peer.start(argv)) {
        unavailable("could not start");
        side.close();
        return;
    }
    std::string hello = peer.reply();
    const int want = udp ? TRANS_UDP : (shm ? TRANS_SHM : TRANS_UNIX);
    if (hello.rfind("connected", 0) != 0 || !side.waitConnected(10000)) {
        unavailable("the channel did not come up");
    } else if (side.medium() != want) {
        unavailable(std::string("the library chose ") + mediumName(side.medium()));
    } else {
        for (int pin : opt.pins) {
            BusyThread busy;
            pinProcess(pin == CPUS_PINNED ? 1 : (pin == CPUS_SHARED ? opt.writerCpu : -1));
            if (pin == CPUS_BUSY) {
                // Only this thread: the library's threads were started unpinned and stay so.
                pinThread(BUSY_CPU);
                busy.start(BUSY_CPU);
            }
            peer.send("pin " + std::to_string(pin == CPUS_PINNED ? 3 : -1));
            peer.reply();
            for (int rate : opt.paced) {
                Row row;
                row.channel = channel;
                row.pinned = cpusName(pin);
                row.size = opt.sizes.front();
                row.rate = rate;
                paced(side, peer, row, opt);
                fprintf(report, "  %-5s %-8s %8s %6d Hz  %s\n", row.channel.c_str(), row.pinned.c_str(),
                        sizeText(row.size).c_str(), rate, row.status.c_str());
                fflush(report);
                rows.push_back(row);
            }
            for (int size : opt.paced.empty() ? opt.sizes : std::vector<int>{}) {
                Row row;
                row.channel = channel;
                row.pinned = cpusName(pin);
                row.size = size;
                if (opt.latency) {
                    latency(side, peer, row, opt);
                }
                if (opt.throughput && row.status == "ok") {
                    throughput(side, peer, row, opt);
                }
                fprintf(report, "  %-5s %-8s %8s  %s\n", row.channel.c_str(), row.pinned.c_str(),
                        sizeText(row.size).c_str(), row.status.c_str());
                fflush(report);
                rows.push_back(row);
            }
            busy.stop();
        }
        pinProcess(-1);
    }
    peer.finish();
    side.close();
    if (udp) {
        run("ip route replace 224.0.0.0/4 dev lo");
        run(std::string("ip link del ") + IF_A);
        run(std::string("ip netns del ") + PEER_NS);
    }
}

void printTable(FILE* out, const std::vector<Row>& rows)
{
    fprintf(out, "| channel | cpus | payload | round trips | median us | p90 us | p99 us | max us | msg/s | MB/s | "
                 "lost | note |\n");
    fprintf(out, "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");
    for (const Row& r : rows) {
        if (r.status.rfind("not available", 0) == 0) {
            fprintf(out, "| %s | %s | %s | - | - | - | - | - | - | - | - | %s |\n", r.channel.c_str(), r.pinned.c_str(),
                    sizeText(r.size).c_str(), r.status.c_str());
            continue;
        }
        fprintf(out, "| %s | %s | %s | %lld | %.1f | %.1f | %.1f | %.1f | %.0f | %.1f | %lld | %s |\n",
                r.channel.c_str(), r.pinned.c_str(), sizeText(r.size).c_str(), r.trips, r.median, r.p90, r.p99, r.max,
                r.msgs, r.mbs, r.sent - r.received, r.status.c_str());
    }
}

void printPacedTable(FILE* out, const std::vector<Row>& rows)
{
    fprintf(out, "| channel | cpus | payload | rate Hz | due | sent | received | one-way median us | p99 us | "
                 "CPU writer us | CPU reader us | CPU us/msg | note |\n");
    fprintf(out, "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");
    for (const Row& r : rows) {
        const double per =
            r.received > 0 ? static_cast<double>(r.cpuWriterUs + r.cpuReaderUs) / static_cast<double>(r.received) : 0;
        fprintf(out, "| %s | %s | %s | %d | %lld | %lld | %lld | %.1f | %.1f | %lld | %lld | %.1f | %s |\n",
                r.channel.c_str(), r.pinned.c_str(), sizeText(r.size).c_str(), r.rate, r.due, r.sent, r.received,
                r.median, r.p99, r.cpuWriterUs, r.cpuReaderUs, per, r.status.c_str());
    }
}

void writePacedCsv(FILE* out, const std::vector<Row>& rows)
{
    fprintf(out, "channel,cpus,payload_bytes,rate_hz,due,sent,received,median_us,p99_us,cpu_writer_us,cpu_reader_us,"
                 "status\n");
    for (const Row& r : rows) {
        fprintf(out, "%s,%s,%d,%d,%lld,%lld,%lld,%.2f,%.2f,%lld,%lld,\"%s\"\n", r.channel.c_str(), r.pinned.c_str(),
                r.size, r.rate, r.due, r.sent, r.received, r.median, r.p99, r.cpuWriterUs, r.cpuReaderUs,
                r.status.c_str());
    }
    fclose(out);
}

void writeCsv(FILE* out, const std::vector<Row>& rows)
{
    fprintf(out, "channel,cpus,payload_bytes,round_trips,median_us,p90_us,p99_us,max_us,sent,received,lost,msgs_per_s,"
                 "mb_per_s,status\n");
    for (const Row& r : rows) {
        fprintf(out, "%s,%s,%d,%lld,%.2f,%.2f,%.2f,%.2f,%lld,%lld,%lld,%.0f,%.2f,\"%s\"\n", r.channel.c_str(),
                r.pinned.c_str(), r.size, r.trips, r.median, r.p90, r.p99, r.max, r.sent, r.received,
                r.sent - r.received, r.msgs, r.mbs, r.status.c_str());
    }
    fclose(out);
}

std::vector<std::string> split(const std::string& text)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

bool parse(int argc, char** argv, Options& opt)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--channel") {
            opt.channels = value == "all" ? std::vector<std::string>{"unix", "shm", "udp"} : split(value);
            ++i;
        } else if (arg == "--pin") {
            if (value == "on") {
                opt.pins = {CPUS_PINNED};
            } else if (value == "off") {
                opt.pins = {CPUS_UNPINNED};
            } else if (value == "busy") {
                opt.pins = {CPUS_BUSY};
            } else if (value == "shared") {
                opt.pins = {CPUS_SHARED};
            } else if (value == "all") {
                opt.pins = {CPUS_UNPINNED, CPUS_PINNED, CPUS_BUSY};
            } else {
                opt.pins = {CPUS_UNPINNED, CPUS_PINNED};
            }
            ++i;
        } else if (arg == "--sizes") {
            opt.sizes.clear();
            for (const std::string& s : split(value)) {
                opt.sizes.push_back(std::atoi(s.c_str()));
            }
            ++i;
        } else if (arg == "--count") {
            opt.count = std::max(1, std::atoi(value.c_str()));
            ++i;
        } else if (arg == "--warmup") {
            opt.warmup = std::max(0, std::atoi(value.c_str()));
            ++i;
        } else if (arg == "--tput-seconds") {
            opt.tputSeconds = std::max(0.1, std::atof(value.c_str()));
            ++i;
        } else if (arg == "--csv") {
            opt.csv = value;
            ++i;
        } else if (arg == "--paced") {
            opt.paced.clear();
            for (const std::string& s : split(value)) {
                opt.paced.push_back(std::max(1, std::atoi(s.c_str())));
            }
            ++i;
        } else if (arg == "--paced-seconds") {
            opt.pacedSeconds = std::max(0.2, std::atof(value.c_str()));
            ++i;
        } else if (arg == "--writer-cpu") {
            opt.writerCpu = std::max(0, std::atoi(value.c_str()));
            ++i;
        } else if (arg == "--no-latency") {
            opt.latency = false;
        } else if (arg == "--no-throughput") {
            opt.throughput = false;
        } else {
            fprintf(stderr, "usage: zqperf [--channel unix|udp|shm|all|a,b] [--pin on|off|both|busy|shared|all]\n"
                            "              [--sizes 64,1024,...]\n"
                            "              [--count N] [--warmup N] [--tput-seconds S] [--csv FILE] [--no-latency]\n"
                            "              [--no-throughput] [--paced R1,R2,...] [--paced-seconds S]\n"
                            "              [--writer-cpu N]\n");
            return false;
        }
    }
    for (const std::string& c : opt.channels) {
        if (c != "unix" && c != "udp" && c != "shm") {
            fprintf(stderr, "zqperf: unknown channel %s\n", c.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--peer") {
        return runPeer(argv[2], std::string(argv[3]) == "shm");
    }
    Options opt;
    if (!parse(argc, argv, opt)) {
        return 2;
    }
    // Opened before /tmp becomes our own.
    FILE* csv = nullptr;
    if (!opt.csv.empty() && (csv = fopen(opt.csv.c_str(), "w")) == nullptr) {
        fprintf(stderr, "zqperf: cannot write %s\n", opt.csv.c_str());
        return 1;
    }
    std::string error;
    if (!enterNamespaces(&error)) {
        printf("zqperf: private namespaces refused (%s); run as root\n", error.c_str());
        return 1;
    }
    FILE* report = quietLibrary();
    std::vector<Row> rows;
    for (const std::string& channel : opt.channels) {
        runChannel(channel, opt, rows, report);
    }
    fprintf(report, "\n");
    if (opt.paced.empty()) {
        printTable(report, rows);
    } else {
        printPacedTable(report, rows);
    }
    if (csv != nullptr) {
        if (opt.paced.empty()) {
            writeCsv(csv, rows);
        } else {
            writePacedCsv(csv, rows);
        }
    }
    fclose(report);
    return 0;
}
