// The demo's reading side: a reader of the topic that discovery connects to the writer. It creates
// the --ready file when the first (warm-up) message arrives, which tells the writer to start. It
// takes every message by copy, measures the latency from the writer's time stamp, prints received
// messages, rate and latency with the topic's figures once a second, and ends after the writer's
// last message, when the writer has been silent for 2 s, or when none came within --wait seconds.
//
//   demo_reader [--config FILE] [--topic NAME] [--wait SECONDS] [--ready FILE]
//
// Exit status 0 when messages were received, 1 otherwise.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "demo_common.h"
#include "zqdds/data_reader.h"
#include "zqdds/subscriber.h"
#include "zqdds/topic.h"

namespace {

const char* const WHO = "[reader]";

struct Latency {
    std::vector<int64_t> us;

    void add(int64_t v) { us.push_back(v); }
    // Median, 99th percentile and maximum of what was added.
    void print(const char* label)
    {
        if (us.empty()) {
            std::printf("%s   latency: none\n", label);
            return;
        }
        std::sort(us.begin(), us.end());
        std::printf("%s   latency (writer's time stamp to here): median %lld us, p99 %lld us, max %lld us\n", label,
                    static_cast<long long>(us[us.size() / 2]),
                    static_cast<long long>(us[std::min(us.size() - 1, us.size() * 99 / 100)]),
                    static_cast<long long>(us.back()));
    }
};

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // lines stay whole when two programs share a terminal
    demo::Options opt;
    if (!demo::parse(argc, argv, false, &opt)) {
        return 2;
    }
    std::unique_ptr<CParticipant> participant(demo::makeParticipant(opt));
    CTopic* topic = participant->createTopic(opt.topic);
    CSubscriber* subscriber = participant->createSubscriber();
    CDataReader* reader = topic && subscriber ? subscriber->createDataReader(topic, 64) : nullptr;
    if (reader == nullptr) {
        std::printf("%s could not create the reader of \"%s\" (see the lines above)\n", WHO, opt.topic.c_str());
        return 1;
    }
    std::printf("%s topic \"%s\" on %s: waiting up to %d s for the writer (multicast discovery)\n", WHO,
                opt.topic.c_str(), participant->getDevIp().c_str(), opt.waitSec);
    demo::printInfo(WHO, *participant, opt.topic, DDS_INFO_SUB);

    std::vector<uint8_t> buf(64 * 1024 * 1024);
    bool heard = false; // any message, warm-ups included
    int received = 0;
    int bad = 0;
    uint32_t total = 0;
    int64_t lastSeq = -1;
    int outOfOrder = 0;
    Latency second;
    Latency all;
    bool connectedSeen = false;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    Clock::time_point first{};
    Clock::time_point last{};
    auto nextReport = start + std::chrono::seconds(1);
    int receivedAtReport = 0;
    for (;;) {
        if (!connectedSeen && reader->isConnect()) {
            connectedSeen = true;
            std::printf("%s data channel up\n", WHO);
            demo::printInfo(WHO, *participant, opt.topic, DDS_INFO_SUB);
        }
        _ExtraDataInfo_t info{0};
        int len = reader->read(buf.data(), static_cast<int>(buf.size()), 100, &info);
        const auto now = Clock::now();
        if (len >= static_cast<int>(sizeof(demo::MsgHead))) {
            int64_t lat = static_cast<int64_t>(demo::nowUs()) - static_cast<int64_t>(info.m_u64TimeStamp);
            demo::MsgHead head;
            std::memcpy(&head, buf.data(), sizeof(head));
            last = now;
            if (!heard) {
                heard = true;
                std::FILE* ready = std::fopen(opt.ready.c_str(), "w");
                if (ready == nullptr || std::fclose(ready) != 0) {
                    std::printf("%s cannot create %s: the writer will not start\n", WHO, opt.ready.c_str());
                }
            }
            if (head.total != 0) { // not a warm-up
                if (received == 0) {
                    first = now;
                }
                ++received;
                total = head.total;
                if (static_cast<int64_t>(head.seq) <= lastSeq) {
                    ++outOfOrder;
                }
                lastSeq = head.seq;
                second.add(lat);
                all.add(lat);
                if (head.seq + 1 >= head.total) {
                    break;
                }
            }
        } else if (len >= 0) {
            ++bad;
        }
        if (now >= nextReport) {
            nextReport += std::chrono::seconds(1);
            if (received > 0) {
                std::printf("%s received %d (%d in the last second)\n", WHO, received, received - receivedAtReport);
                second.print(WHO);
                second.us.clear();
                receivedAtReport = received;
                demo::printInfo(WHO, *participant, opt.topic, DDS_INFO_SUB);
            }
        }
        if (!heard && now - start >= std::chrono::seconds(opt.waitSec)) {
            std::printf("%s no message came within %d s\n", WHO, opt.waitSec);
            break;
        }
        if (heard && now - last >= std::chrono::seconds(2)) {
            std::printf("%s the writer has been silent for 2 s\n", WHO);
            break;
        }
    }
    const double secs = received > 1 ? std::chrono::duration<double>(last - first).count() : 0.0;
    std::printf("%s received %d of %u messages (%u lost, %d out of order, %d malformed) in %.2f s: %.1f messages/s\n",
                WHO, received, total, total > static_cast<uint32_t>(received) ? total - received : 0u, outOfOrder, bad,
                secs, secs > 0 ? (received - 1) / secs : 0.0);
    all.print(WHO);
    demo::printInfo(WHO, *participant, opt.topic, DDS_INFO_SUB);
    std::fflush(stdout);
    subscriber->deleteDataReader(reader);
    participant->deleteSubscriber(subscriber);
    participant->deleteTopic(topic);
    participant.reset();
    std::printf("%s done\n", WHO);
    return received > 0 ? 0 : 1;
}
