// A channel between two processes, for each medium: the Unix-domain socket and shared memory (two
// processes of one host) and UDP (two "hosts": namespaces joined by a veth pair). One-way latency (from the
// writer's time stamp to the reader's wall clock, median and 99th percentile) for 64 B, 4 KiB,
// 64 KiB and 1 MiB, paced one message at a time, and throughput (messages/s, MB/s, share
// received) for 64 B and 64 KiB, written back to back (what arrives of a flood: the sending side
// keeps only the newest few) and in windows of 8 that the reader acknowledges (what the channel
// carries without loss). Prints one table. The shared-memory topic has a layout of its own with
// more chunks per group than the reader's depth, so that a reader that lags behind does not take
// every chunk of a group.
//
// Runs in private network, IPC and mount namespaces made at start; the reader process (this
// program started again with "--reader") shares them for the Unix socket and runs in a second
// namespace for UDP, so nothing leaves this program's own namespaces; where they cannot be made
// it prints why and does nothing.
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/participant_impl.h"
#include "core/topic_impl.h"
#include "core/transport/transport.h"
#include "support/zqtest.h"
#include "utils/dds_common.h"
#include "zqdds/data_reader.h"
#include "zqdds/data_writer.h"
#include "zqdds/participant.h"
#include "zqdds/publisher.h"
#include "zqdds/subscriber.h"
#include "zqdds/topic.h"

namespace {

const char* const TOPIC = "zqbench";
const char* const SHM_TOPIC = "zqbench_shm";
constexpr int READER_DEPTH = 256;
// Messages in flight in the acknowledged throughput runs: the sending side's queue holds 8.
constexpr int kWindow = 8;

// The UDP "hosts": this program's namespace and one more, joined by a veth pair.
const char* const UDP_WRITER_IF = "zqb0";
const char* const UDP_WRITER_IP = "198.18.77.1";
const char* const UDP_READER_IF = "zqb1";
const char* const UDP_READER_IP = "198.18.77.2";

_DomainConfigParam_t record(int portBase, int unixBase, const std::string& eth)
{
    _DomainConfigParam_t param;
    param.m_iDomainId = 77;
    param.m_strMulticastIp = "224.77.0.1";
    param.m_iMulticastPort = portBase + 9;
    param.m_iDiscoverPeriod = 5;
    for (int i = 0; i < 4; ++i) {
        param.m_vecSocketPorts.push_back(portBase + i);
        param.m_vecUnixSocketIdx.push_back(unixBase + i);
        param.m_vecShmKeys.push_back(unixBase + i);
    }
    param.m_iMaxMemPoolSize = 0x8000000;
    param.m_strEthName = eth;
    return param;
}

CParticipantImpl* implOf(CTopic* topic)
{
    return static_cast<CTopicImpl*>(topic->getTopicDescImpl())->getParticipantImpl();
}

// Keeps the library's own lines out of the table (stdout of both processes).
void quietLibrary()
{
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

// The reader process: answers on stderr, which the writer reads.
int runReader(const std::string& eth, const std::string& writerIp, int port, const char* topicName)
{
    FILE* out = fdopen(dup(STDERR_FILENO), "w");
    quietLibrary();
    _DomainConfigParam_t param = record(41000, 4100, eth);
    auto participant = std::make_unique<CParticipant>(param);
    CTopic* topic = participant->createTopic(topicName);
    CSubscriber* sub = participant->createSubscriber();
    CDataReader* reader = sub->createDataReader(topic, READER_DEPTH);
    TransParam_t endpoint;
    memset(&endpoint, 0, sizeof(endpoint));
    endpoint.m_iType = TRANS_TYPE_TCP;
    strncpy(endpoint.m_tcpParam.m_szIp, writerIp.c_str(), sizeof(endpoint.m_tcpParam.m_szIp) - 1);
    endpoint.m_tcpParam.m_iPort = port;
    implOf(topic)->setSubTopicMsgTransParam(topicName, endpoint);
    bool up = zqtest::waitUntil([&] { return reader->isConnect(); }, 10000);
    fprintf(out, "@@ %s\n", up ? "connected" : "failed");
    fflush(out);

    std::string line;
    std::vector<uint8_t> buf(2 * 1024 * 1024);
    while (up && std::getline(std::cin, line) && line != "quit") {
        std::istringstream in(line);
        std::string cmd;
        int count = 0;
        in >> cmd >> count;
        if (cmd == "lat") {
            // One message per "lat" line, answered with its latency in microseconds.
            _ExtraDataInfo_t info{0};
            int len = reader->read(buf.data(), static_cast<int>(buf.size()), 5000, &info);
            int64_t lat = static_cast<int64_t>(getSysTimeUs()) - static_cast<int64_t>(info.m_u64TimeStamp);
            fprintf(out, "@@ %lld\n", len < 0 ? -1LL : static_cast<long long>(lat));
            fflush(out);
        } else if (cmd == "window") {
            // `count` messages, acknowledged every kWindow (or at a gap, so the writer goes on).
            int got = 0;
            int64_t first = 0;
            int64_t last = 0;
            long long bytes = 0;
            for (int i = 0; i < count; ++i) {
                int len = reader->read(buf.data(), static_cast<int>(buf.size()), 300, nullptr);
                if (len >= 0) {
                    last = static_cast<int64_t>(getSysTimeUs());
                    if (got == 0) {
                        first = last;
                    }
                    ++got;
                    bytes += len;
                }
                if ((i + 1) % kWindow == 0) {
                    fprintf(out, "@@ ack\n");
                    fflush(out);
                }
            }
            fprintf(out, "@@ %d %lld %lld\n", got, static_cast<long long>(last - first), bytes);
            fflush(out);
        } else if (cmd == "burst") {
            // Counts what arrives until the channel stays quiet for a while.
            int got = 0;
            int64_t first = 0;
            int64_t last = 0;
            long long bytes = 0;
            for (;;) {
                int len = reader->read(buf.data(), static_cast<int>(buf.size()), got == 0 ? 5000 : 300, nullptr);
                if (len < 0) {
                    break;
                }
                last = static_cast<int64_t>(getSysTimeUs());
                if (got == 0) {
                    first = last;
                }
                ++got;
                bytes += len;
            }
            fprintf(out, "@@ %d %lld %lld\n", got, static_cast<long long>(last - first), bytes);
            fflush(out);
        }
    }
    sub->deleteDataReader(reader);
    participant->deleteSubscriber(sub);
    participant->deleteTopic(topic);
    participant.reset();
    fprintf(out, "@@ bye\n");
    fclose(out);
    return 0;
}

// The reader's answers are lines "@@ <text>" on its stderr (its stdout is silenced).
bool readReply(zqtest::ChildProcess& child, int timeoutMs, std::string* text)
{
    std::string line;
    if (!child.waitForLine("@@ ", timeoutMs, &line)) {
        return false;
    }
    size_t at = line.find("@@ ");
    *text = line.substr(at + 3);
    return true;
}

// One throughput row from the reader's "<got> <microseconds> <bytes>" answer to `count` messages.
void printRate(FILE* report, const char* medium, const std::string& label, const std::string& answer, int count)
{
    long long got = 0;
    long long us = 0;
    long long bytes = 0;
    std::istringstream in(answer);
    in >> got >> us >> bytes;
    double secs = us > 0 ? static_cast<double>(us) / 1e6 : 1e-6;
    fprintf(report, "%-8s %-12s %10lld %12s %12s %14.0f %10.1f %8.1f\n", medium, label.c_str(), got, "-", "-",
            static_cast<double>(got) / secs, static_cast<double>(bytes) / secs / 1e6,
            100.0 * static_cast<double>(got) / count);
}

// One medium: a writer in this process on `eth`, the reader process started by `spawn`, then the
// rows of the table.
template <typename Spawn>
bool runMedium(FILE* report, const char* medium, const char* topicName, ShmConfig_t* config, int portBase,
               const std::string& eth, const std::string& writerIp, const std::string& readerEth, Spawn spawn)
{
    _DomainConfigParam_t param = record(portBase, portBase / 10, eth);
    auto participant = std::make_unique<CParticipant>(param);
    CTopic* topic = participant->createTopic(topicName, config);
    CPublisher* pub = participant->createPublisher();
    CDataWriter* writer = pub->createDataWriter(topic);
    TransParam_t control;
    memset(&control, 0, sizeof(control));
    implOf(topic)->getPubTopicMsgTransParam(topicName, &control);

    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    self[n > 0 ? n : 0] = '\0';
    std::string error;
    std::unique_ptr<zqtest::ChildProcess> child =
        spawn({self, "--reader", readerEth, writerIp, std::to_string(control.m_tcpParam.m_iPort), topicName}, &error);
    std::string line;
    bool ok = child && readReply(*child, 15000, &line) && line == "connected" &&
              zqtest::waitUntil([&] { return writer->isConnect(); }, 10000);
    if (!ok) {
        fprintf(report, "bench_pubsub: %s: the reader process did not connect %s\n", medium, error.c_str());
    }

    std::vector<uint8_t> data(1024 * 1024, 0x42);
    const int latSizes[] = {64, 4096, 65536, 1048576};
    for (int size : latSizes) {
        if (!ok) {
            break;
        }
        int count = size >= 1048576 ? 300 : 2000;
        std::vector<long long> lat;
        for (int i = 0; i < count; ++i) {
            writer->write(data.data(), size);
            child->writeInput("lat\n");
            if (!readReply(*child, 15000, &line)) {
                break;
            }
            long long value = std::atoll(line.c_str());
            if (value >= 0) {
                lat.push_back(value);
            }
        }
        std::sort(lat.begin(), lat.end());
        long long median = lat.empty() ? -1 : lat[lat.size() / 2];
        long long p99 = lat.empty() ? -1 : lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
        fprintf(report, "%-8s %-12s %10zu %12lld %12lld %14s %10s %8s\n", medium, (std::to_string(size) + " B").c_str(),
                lat.size(), median, p99, "-", "-", "-");
    }
    const int burstSizes[] = {64, 65536};
    for (int size : burstSizes) {
        if (!ok) {
            break;
        }
        int count = size >= 65536 ? 5000 : 100000;
        child->writeInput("burst\n");
        for (int i = 0; i < count; ++i) {
            writer->write(data.data(), size);
        }
        if (!readReply(*child, 30000, &line)) {
            break;
        }
        printRate(report, medium, std::to_string(size) + " B burst", line, count);
    }
    for (int size : burstSizes) {
        if (!ok) {
            break;
        }
        int count = size >= 65536 ? 4000 : 40000;
        child->writeInput("window " + std::to_string(count) + "\n");
        bool acked = true;
        for (int i = 0; i < count && acked; ++i) {
            writer->write(data.data(), size);
            if ((i + 1) % kWindow == 0) {
                acked = readReply(*child, 15000, &line) && line == "ack";
            }
        }
        if (!acked || !readReply(*child, 30000, &line)) {
            break;
        }
        printRate(report, medium, std::to_string(size) + " B win " + std::to_string(kWindow), line, count);
    }
    fflush(report);
    if (child) {
        child->writeInput("quit\n");
        readReply(*child, 15000, &line);
        child->wait(15000);
    }
    pub->deleteDataWriter(writer);
    participant->deletePublisher(pub);
    participant->deleteTopic(topic);
    participant.reset();
    return ok;
}

// Chunks above the reader's depth in every group a message of the table uses.
ShmConfig_t benchShmLayout()
{
    ShmConfig_t config{};
    config.m_bUseUserLayout = true;
    config.m_iGroupCount = 3;
    config.m_groups[0] = MemGroup_t{0, 4096, READER_DEPTH + 64};
    config.m_groups[1] = MemGroup_t{1, 65536 + 4096, READER_DEPTH + 64};
    config.m_groups[2] = MemGroup_t{2, 1048576 + 4096, 8};
    return config;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::string(argv[1]) == "--reader") {
        return runReader(argv[2], argv[3], std::atoi(argv[4]), argv[5]);
    }
    std::string error;
    if (!zqtest::enterPrivateNamespaces(&error)) {
        printf("bench_pubsub skipped: %s\n", error.c_str());
        return 0;
    }
    int saved = dup(STDOUT_FILENO);
    quietLibrary();
    FILE* report = fdopen(saved, "w");

    fprintf(report, "%-8s %-12s %10s %12s %12s %14s %10s %8s\n", "medium", "message", "count", "median us", "p99 us",
            "msgs/s", "MB/s", "recv %");
    bool ok = runMedium(report, "unix", TOPIC, nullptr, 40000, "lo", "127.0.0.1", "lo", zqtest::ChildProcess::spawn);
    ShmConfig_t shm = benchShmLayout();
    ok = runMedium(report, "shm", SHM_TOPIC, &shm, 40100, "lo", "127.0.0.1", "lo", zqtest::ChildProcess::spawn) && ok;

    // The reader's "host": a second namespace joined to this one by a veth pair.
    std::unique_ptr<zqtest::NetHost> host = zqtest::NetHost::create(&error);
    if (host == nullptr || !zqtest::joinHosts(nullptr, UDP_WRITER_IF, std::string(UDP_WRITER_IP) + "/24", host.get(),
                                              UDP_READER_IF, std::string(UDP_READER_IP) + "/24", &error)) {
        fprintf(report, "bench_pubsub: udp: no second namespace: %s\n", error.c_str());
        fclose(report);
        return 1;
    }
    ok = runMedium(report, "udp", TOPIC, nullptr, 40200, UDP_WRITER_IF, UDP_WRITER_IP, UDP_READER_IF,
                   [&](const std::vector<std::string>& args, std::string* err) { return host->spawn(args, err); }) &&
         ok;
    fclose(report);
    return ok ? 0 : 1;
}
