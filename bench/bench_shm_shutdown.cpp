// How long a shared-memory reader process takes to shut down when its writer process is stopped
// (SIGSTOP: a debugger, a hang) and stays stopped. The reader (this process, every thread of it
// on one CPU) holds 12 lent buffers of the writer's pool; half a second after the writer was
// stopped it gives them back and deletes its reader, subscriber, topic and participant. Measured
// with one busy thread on the reader's CPU ("busy", as an application's computing thread would
// be) and with the CPU to itself ("alone"). Prints one line per round: the time the returns took,
// the reader's deletion and the rest of the teardown.
//
// The writer is this program again ("--writer": a participant on loopback with one writer of a
// topic in shared memory, with more chunks than the reader holds). Runs in private network, IPC
// and mount namespaces made at start; where they cannot be made it prints why and does nothing.
//
// Usage: bench_shm_shutdown [--rounds N] [--busy-only]
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/pubsub_support.h"
#include "support/zqtest.h"
#include "zqdds/data_reader.h"
#include "zqdds/data_writer.h"
#include "zqdds/participant.h"
#include "zqdds/publisher.h"
#include "zqdds/subscriber.h"
#include "zqdds/topic.h"

namespace {

constexpr int HELD = 12;
constexpr int MESSAGE_BYTES = 4096;
constexpr int READER_DEPTH = 16;
const char* const TOPIC = "zqbench_shm_stop";

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Keeps the library's own lines out of the report; the report goes to a copy of stdout.
FILE* quietLibrary()
{
    FILE* report = fdopen(dup(STDOUT_FILENO), "w");
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    return report;
}

// The calling thread on `cpu` alone.
void pinTo(int cpu)
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    sched_setaffinity(0, sizeof(one), &one);
}

// True once the process is in the stopped state ("T" in /proc/<pid>/stat).
bool isStopped(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'T';
}

// The writer process: "@@ port <control port>", then serves stdin lines: "connected" (waits
// for the reader's channel), "write <n>" (n messages, "@@ wrote <how many went>"), "quit".
int runWriter(int domain, int portBase, int unixBase, int keyBase)
{
    auto say = [](const std::string& text) {
        fprintf(stderr, "@@ %s\n", text.c_str());
        fflush(stderr);
    };
    fclose(quietLibrary());
    _DomainConfigParam_t param = pubsub::loRecord(domain, portBase, unixBase, keyBase);
    auto participant = std::make_unique<CParticipant>(param);
    ShmConfig_t layout{};
    layout.m_bUseUserLayout = true;
    layout.m_iGroupCount = 1;
    layout.m_groups[0] = MemGroup_t{0, MESSAGE_BYTES + 1024, 4 * HELD};
    CTopic* topic = participant->createTopic(TOPIC, &layout);
    CPublisher* pub = participant->createPublisher();
    CDataWriter* writer = pub != nullptr && topic != nullptr ? pub->createDataWriter(topic) : nullptr;
    TransParam_t control;
    std::memset(&control, 0, sizeof(control));
    if (writer == nullptr || pubsub::participantOf(topic)->getPubTopicMsgTransParam(TOPIC, &control) != 0) {
        say("bad setup");
        return 3;
    }
    say("port " + std::to_string(control.m_tcpParam.m_iPort));
    std::vector<uint8_t> data(MESSAGE_BYTES, 0x5A);
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
        std::istringstream in(line);
        std::string cmd;
        int n = 0;
        in >> cmd >> n;
        if (cmd == "connected") {
            say(zqtest::waitUntil([&] { return writer->isConnect(); }, 20000) ? "connected" : "not-connected");
        } else if (cmd == "write") {
            int done = 0;
            while (done < n && writer->write(data.data(), MESSAGE_BYTES) == MESSAGE_BYTES) {
                ++done;
            }
            say("wrote " + std::to_string(done));
        }
    }
    pub->deleteDataWriter(writer);
    participant->deletePublisher(pub);
    participant->deleteTopic(topic);
    participant.reset();
    say("bye");
    return 0;
}

std::string ask(zqtest::ChildProcess& child, const std::string& command)
{
    std::string line;
    if (!child.writeInput(command + "\n") || !child.waitForLine("@@ ", 20000, &line)) {
        return "<no answer>";
    }
    return line.substr(line.find("@@ ") + 3);
}

struct Result {
    std::string error;
    double returnsMs{0};
    double readerMs{0};
    double restMs{0};
};

// One round: writer process, reader here with its CPU shared with a busy thread or not.
Result runRound(const std::string& self, int round, bool busy, int cpu)
{
    Result result;
    const int domain = 230 + round;
    const int portBase = 52000 + round * 200;
    const int unixBase = 5200 + round * 20;
    const int keyBase = 0x5200 + round * 0x20;
    std::string error;
    auto writer = zqtest::ChildProcess::spawn({self, "--writer", std::to_string(domain), std::to_string(portBase),
                                               std::to_string(unixBase), std::to_string(keyBase)},
                                              &error);
    std::string line;
    if (writer == nullptr || !writer->waitForLine("@@ port ", 20000, &line)) {
        result.error = "writer did not start " + error;
        return result;
    }
    const int port = std::atoi(line.substr(line.find("@@ port ") + 8).c_str());

    // Every thread the library starts for the reader inherits this CPU.
    cpu_set_t before;
    sched_getaffinity(0, sizeof(before), &before);
    pinTo(cpu);
    std::atomic<bool> stop{false};
    std::thread spinner;
    if (busy) {
        spinner = std::thread([&stop, cpu] {
            pinTo(cpu);
            while (!stop.load(std::memory_order_relaxed)) {
            }
        });
    }

    _DomainConfigParam_t param = pubsub::loRecord(domain, portBase + 100, unixBase + 10, keyBase + 0x10);
    auto participant = std::make_unique<CParticipant>(param);
    CTopic* topic = participant->createTopic(TOPIC);
    CSubscriber* sub = participant->createSubscriber();
    CDataReader* reader = sub != nullptr && topic != nullptr ? sub->createDataReader(topic, READER_DEPTH) : nullptr;
    std::vector<_DataBuffer_t*> held;
    if (reader != nullptr) {
        TransParam_t endpoint = pubsub::controlEndpoint("127.0.0.1", port);
        pubsub::participantOf(topic)->setSubTopicMsgTransParam(TOPIC, endpoint);
    }
    if (reader == nullptr || !zqtest::waitUntil([&] { return reader->isConnect(); }, 20000) ||
        ask(*writer, "connected") != "connected") {
        result.error = "the channel did not come up";
    }
    // One at a time: the writer's queue to a reader holds only a few packages.
    while (result.error.empty() && held.size() < static_cast<size_t>(HELD)) {
        if (ask(*writer, "write 1") != "wrote 1") {
            result.error = "write refused";
            break;
        }
        _DataBuffer_t* buffer = reader->getDataBuffer(10000, nullptr);
        if (buffer == nullptr) {
            result.error = "message " + std::to_string(held.size() + 1) + " did not arrive";
            break;
        }
        held.push_back(buffer);
    }

    if (result.error.empty()) {
        writer->signal(SIGSTOP);
        if (!zqtest::waitUntil([&] { return isStopped(writer->pid()); }, 10000)) {
            result.error = "writer did not stop";
        }
        // The scenario: the reader goes on for a while before it shuts down.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    const auto t0 = Clock::now();
    for (_DataBuffer_t* buffer : held) {
        reader->releaseDataBuffer(buffer);
    }
    const auto t1 = Clock::now();
    if (reader != nullptr) {
        sub->deleteDataReader(reader);
    }
    const auto t2 = Clock::now();
    if (sub != nullptr) {
        participant->deleteSubscriber(sub);
    }
    if (topic != nullptr) {
        participant->deleteTopic(topic);
    }
    participant.reset();
    const auto t3 = Clock::now();
    result.returnsMs = msBetween(t0, t1);
    result.readerMs = msBetween(t1, t2);
    result.restMs = msBetween(t2, t3);

    stop = true;
    if (spinner.joinable()) {
        spinner.join();
    }
    sched_setaffinity(0, sizeof(before), &before);
    writer->signal(SIGCONT);
    ask(*writer, "quit");
    writer->wait(20000);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::string(argv[1]) == "--writer") {
        return runWriter(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    }
    int rounds = 1;
    bool busyOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--busy-only") {
            busyOnly = true;
        } else {
            fprintf(stderr, "usage: bench_shm_shutdown [--rounds N] [--busy-only]\n");
            return 2;
        }
    }
    std::string error;
    if (!zqtest::enterPrivateNamespaces(&error)) {
        printf("bench_shm_shutdown skipped: %s\n", error.c_str());
        return 0;
    }
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    self[n > 0 ? n : 0] = '\0';
    FILE* report = quietLibrary();
    // The reader's CPU: the last one this process may use.
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof(set), &set);
    int cpu = 0;
    for (int c = 0; c < CPU_SETSIZE; ++c) {
        if (CPU_ISSET(c, &set)) {
            cpu = c;
        }
    }
    fprintf(report, "%-6s %-6s %12s %14s %10s %10s  %s\n", "round", "cpu", "returns ms", "delete reader", "rest ms",
            "total ms", "note");
    fflush(report);
    bool ok = true;
    int index = 0;
    for (int r = 0; r < rounds; ++r) {
        for (bool busy : {true, false}) {
            if (!busy && busyOnly) {
                continue;
            }
            Result res = runRound(self, index++, busy, cpu);
            fprintf(report, "%-6d %-6s %12.1f %14.1f %10.1f %10.1f  %s\n", r + 1, busy ? "busy" : "alone",
                    res.returnsMs, res.readerMs, res.restMs, res.returnsMs + res.readerMs + res.restMs,
                    res.error.empty() ? "ok" : res.error.c_str());
            fflush(report);
            ok = ok && res.error.empty();
        }
    }
    fclose(report);
    return ok ? 0 : 1;
}
