// The demo's writing side: waits until discovery has brought a reader of the topic and that reader
// receives (it creates the --ready file on its first message), sends --count messages paced at
// --rate per second, prints its progress and the topic's figures once a second, and ends once the
// reader has gone (or a few seconds after the last message).
//
//   demo_writer [--config FILE] [--topic NAME] [--count N] [--rate PER_SECOND] [--size BYTES]
//               [--wait SECONDS] [--ready FILE]
//
// Exit status 0 when the messages were sent to a reader that received, 1 otherwise.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "demo_common.h"
#include "zqdds/data_writer.h"
#include "zqdds/publisher.h"
#include "zqdds/topic.h"

namespace {

const char* const WHO = "[writer]";

template <typename Pred> bool waitFor(Pred pred, std::chrono::steady_clock::duration limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // lines stay whole when two programs share a terminal
    demo::Options opt;
    if (!demo::parse(argc, argv, true, &opt)) {
        return 2;
    }
    std::unique_ptr<CParticipant> participant(demo::makeParticipant(opt));
    CTopic* topic = participant->createTopic(opt.topic);
    CPublisher* publisher = participant->createPublisher();
    CDataWriter* writer = topic && publisher ? publisher->createDataWriter(topic) : nullptr;
    if (writer == nullptr) {
        std::printf("%s could not create the writer of \"%s\" (see the lines above)\n", WHO, opt.topic.c_str());
        return 1;
    }
    std::printf("%s topic \"%s\" on %s: waiting up to %d s for a reader (multicast discovery)\n", WHO,
                opt.topic.c_str(), participant->getDevIp().c_str(), opt.waitSec);
    demo::printInfo(WHO, *participant, opt.topic, DDS_INFO_PUB);
    std::fflush(stdout);

    int sent = 0;
    int refused = 0;
    std::remove(opt.ready.c_str()); // left by an earlier run
    bool connected = waitFor([&] { return writer->isConnect(); }, std::chrono::seconds(opt.waitSec));
    bool receives = false;
    if (!connected) {
        std::printf("%s no reader came within %d s\n", WHO, opt.waitSec);
    } else {
        std::printf("%s reader connected: warming up until it receives (%s)\n", WHO, opt.ready.c_str());
        // The writing side counts the reader as soon as it has answered it, before the reading
        // side has opened its end, and what is written meanwhile is lost (delivery is best
        // effort). So warm-up messages go until the reader says it has one.
        demo::MsgHead warmUp{0, 0};
        receives = waitFor(
            [&] {
                writer->write(&warmUp, sizeof(warmUp));
                return demo::fileExists(opt.ready);
            },
            std::chrono::seconds(opt.waitSec));
        std::remove(opt.ready.c_str());
        if (!receives) {
            std::printf("%s the reader received nothing within %d s\n", WHO, opt.waitSec);
        }
    }
    if (receives) {
        std::printf("%s reader receives: sending %d messages of %d bytes at %d per second\n", WHO, opt.count, opt.size,
                    opt.rate);
        demo::printInfo(WHO, *participant, opt.topic, DDS_INFO_PUB);
        std::vector<uint8_t> data(static_cast<size_t>(opt.size));
        for (size_t i = sizeof(demo::MsgHead); i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(i);
        }
        const auto period = std::chrono::microseconds(1000000 / opt.rate);
        const auto start = std::chrono::steady_clock::now();
        auto nextReport = start + std::chrono::seconds(1);
        auto due = start;
        for (int i = 0; i < opt.count; ++i) {
            std::this_thread::sleep_until(due);
            // A writer kept waiting (a busy machine) goes on from now instead of sending what it
            // missed back to back: a burst longer than the sender's queue (8) loses its oldest.
            const auto now = std::chrono::steady_clock::now();
            due = due + period < now ? now + period : due + period;
            demo::MsgHead head{static_cast<uint32_t>(i), static_cast<uint32_t>(opt.count)};
            std::memcpy(data.data(), &head, sizeof(head));
            if (writer->write(data.data(), opt.size) == opt.size) {
                ++sent;
            } else {
                ++refused;
            }
            if (now >= nextReport) {
                nextReport += std::chrono::seconds(1);
                std::printf("%s sent %d/%d\n", WHO, sent, opt.count);
                demo::printInfo(WHO, *participant, opt.topic, DDS_INFO_PUB);
            }
        }
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%s sent %d messages (%d refused) in %.2f s: %.1f messages/s\n", WHO, sent, refused, secs,
                    secs > 0 ? sent / secs : 0.0);
        demo::printInfo(WHO, *participant, opt.topic, DDS_INFO_PUB);
        // The last messages are still on their way: stay until the reader has gone.
        if (waitFor([&] { return !writer->isConnect(); }, std::chrono::seconds(5))) {
            std::printf("%s the reader has gone\n", WHO);
        }
    }
    std::fflush(stdout);
    publisher->deleteDataWriter(writer);
    participant->deletePublisher(publisher);
    participant->deleteTopic(topic);
    participant.reset();
    std::printf("%s done\n", WHO);
    return receives && sent > 0 ? 0 : 1;
}
