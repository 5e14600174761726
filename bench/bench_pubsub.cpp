// The Unix-socket channel between two processes: one-way latency (from the writer's time stamp
// to the reader's wall clock, median and 99th percentile) for 64 B, 4 KiB, 64 KiB and 1 MiB,
// paced one message at a time, and throughput (messages/s, MB/s, share received) for 64 B and
// 64 KiB, written back to back (what arrives of a flood: the sending side keeps only the newest
// few) and in windows of 8 that the reader acknowledges (what the channel carries without loss).
// Prints one table.
//
// Runs in private network, IPC and mount namespaces made at start (the reader process, this
// program started again with "--reader", shares them), so nothing leaves loopback; where they
// cannot be made it prints why and does nothing.
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

const char* const TOPIC = "zqbench_unix";
// Messages in flight in the acknowledged throughput runs: the sending side's queue holds 8.
constexpr int kWindow = 8;

_DomainConfigParam_t record(int portBase, int unixBase)
{
    _DomainConfigParam_t param;
    param.m_iDomainId = 77;
    param.m_strMulticastIp = "224.77.0.1";
    param.m_iMulticastPort = portBase + 9;
    param.m_iDiscoverPeriod = 5;
    for (int i = 0; i < 4; ++i) {
        param.m_vecSocketPorts.push_back(portBase + i);
        param.m_vecUnixSocketIdx.push_back(unixBase + i);
    }
    param.m_iMaxMemPoolSize = 0x8000000;
    param.m_strEthName = "lo";
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
int runReader(int port)
{
    FILE* out = fdopen(dup(STDERR_FILENO), "w");
    quietLibrary();
    _DomainConfigParam_t param = record(41000, 4100);
    auto participant = std::make_unique<CParticipant>(param);
    CTopic* topic = participant->createTopic(TOPIC);
    CSubscriber* sub = participant->createSubscriber();
    CDataReader* reader = sub->createDataReader(topic, 256);
    TransParam_t endpoint;
    memset(&endpoint, 0, sizeof(endpoint));
    endpoint.m_iType = TRANS_TYPE_TCP;
    strncpy(endpoint.m_tcpParam.m_szIp, "127.0.0.1", sizeof(endpoint.m_tcpParam.m_szIp) - 1);
    endpoint.m_tcpParam.m_iPort = port;
    implOf(topic)->setSubTopicMsgTransParam(TOPIC, endpoint);
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

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--reader") {
        return runReader(std::atoi(argv[2]));
    }
    std::string error;
    if (!zqtest::enterPrivateNamespaces(&error)) {
        printf("bench_pubsub skipped: %s\n", error.c_str());
        return 0;
    }
    int saved = dup(STDOUT_FILENO);
    quietLibrary();
    FILE* report = fdopen(saved, "w");

    _DomainConfigParam_t param = record(40000, 4000);
    auto participant = std::make_unique<CParticipant>(param);
    CTopic* topic = participant->createTopic(TOPIC);
    CPublisher* pub = participant->createPublisher();
    CDataWriter* writer = pub->createDataWriter(topic);
    TransParam_t control;
    memset(&control, 0, sizeof(control));
    implOf(topic)->getPubTopicMsgTransParam(TOPIC, &control);

    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    self[n > 0 ? n : 0] = '\0';
    auto child = zqtest::ChildProcess::spawn({self, "--reader", std::to_string(control.m_tcpParam.m_iPort)}, &error);
    std::string line;
    if (!child || !readReply(*child, 15000, &line) || line != "connected" ||
        !zqtest::waitUntil([&] { return writer->isConnect(); }, 10000)) {
        fprintf(report, "bench_pubsub: the reader process did not connect %s\n", error.c_str());
        return 1;
    }

    fprintf(report, "%-12s %10s %12s %12s %14s %10s %8s\n", "message", "count", "median us", "p99 us", "msgs/s", "MB/s",
            "recv %");
    std::vector<uint8_t> data(1024 * 1024, 0x42);
    const int latSizes[] = {64, 4096, 65536, 1048576};
    for (int size : latSizes) {
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
        fprintf(report, "%-12s %10zu %12lld %12lld %14s %10s %8s\n", (std::to_string(size) + " B").c_str(), lat.size(),
                median, p99, "-", "-", "-");
    }
    const int burstSizes[] = {64, 65536};
    for (int size : burstSizes) {
        int count = size >= 65536 ? 5000 : 100000;
        child->writeInput("burst\n");
        for (int i = 0; i < count; ++i) {
            writer->write(data.data(), size);
        }
        if (!readReply(*child, 30000, &line)) {
            break;
        }
        long long got = 0;
        long long us = 0;
        long long bytes = 0;
        std::istringstream in(line);
        in >> got >> us >> bytes;
        double secs = us > 0 ? static_cast<double>(us) / 1e6 : 1e-6;
        fprintf(report, "%-12s %10lld %12s %12s %14.0f %10.1f %8.1f\n", (std::to_string(size) + " B burst").c_str(),
                got, "-", "-", static_cast<double>(got) / secs, static_cast<double>(bytes) / secs / 1e6,
                100.0 * static_cast<double>(got) / count);
    }
    for (int size : burstSizes) {
        int count = size >= 65536 ? 4000 : 40000;
        child->writeInput("window " + std::to_string(count) + "\n");
        bool ok = true;
        for (int i = 0; i < count && ok; ++i) {
            writer->write(data.data(), size);
            if ((i + 1) % kWindow == 0) {
                ok = readReply(*child, 15000, &line) && line == "ack";
            }
        }
        if (!ok || !readReply(*child, 30000, &line)) {
            break;
        }
        long long got = 0;
        long long us = 0;
        long long bytes = 0;
        std::istringstream in(line);
        in >> got >> us >> bytes;
        double secs = us > 0 ? static_cast<double>(us) / 1e6 : 1e-6;
        fprintf(report, "%-12s %10lld %12s %12s %14.0f %10.1f %8.1f\n", (std::to_string(size) + " B win 8").c_str(),
                got, "-", "-", static_cast<double>(got) / secs, static_cast<double>(bytes) / secs / 1e6,
                100.0 * static_cast<double>(got) / count);
    }
    child->writeInput("quit\n");
    readReply(*child, 15000, &line);
    child->wait(15000);
    pub->deleteDataWriter(writer);
    participant->deletePublisher(pub);
    participant->deleteTopic(topic);
    participant.reset();
    fclose(report);
    return 0;
}
