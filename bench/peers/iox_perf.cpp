// iceoryx ping-pong and throughput, zero-copy (loan, publish, take, release), the receiving side
// waiting on a waitset. Needs a running iox-roudi whose pools hold the largest payload.
// iox_perf <sizes a,b,...> <round trips> <warm-up> <throughput bytes>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "iceoryx_posh/popo/untyped_publisher.hpp"
#include "iceoryx_posh/popo/untyped_subscriber.hpp"
#include "iceoryx_posh/popo/wait_set.hpp"
#include "iceoryx_posh/runtime/posh_runtime.hpp"
#include "perf_common.h"

using namespace peerperf;

namespace {

iox::capro::ServiceDescription service(const char* event)
{
    return iox::capro::ServiceDescription{"zqcmp", "perf", iox::capro::IdString_t(iox::cxx::TruncateToCapacity, event)};
}

bool waitMatched(iox::popo::UntypedPublisher& pub, iox::popo::UntypedSubscriber& sub)
{
    for (int i = 0; i < 10000; ++i) {
        if (pub.hasSubscribers() && sub.getSubscriptionState() == iox::SubscribeState::SUBSCRIBED) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void* loanRetry(iox::popo::UntypedPublisher& pub, uint32_t size)
{
    for (;;) {
        auto loaned = pub.loan(size);
        if (!loaned.has_error()) {
            return loaned.value();
        }
        std::this_thread::yield();
    }
}

// The echoing side: every ping back as a pong of the same size, until a size of 0.
void pong(Pipe& ctl)
{
    iox::runtime::PoshRuntime::initRuntime("zqcmp-pong");
    iox::popo::SubscriberOptions opts;
    opts.queueCapacity = 256;
    iox::popo::UntypedSubscriber sub(service("ping"), opts);
    iox::popo::UntypedPublisher pub(service("pong"));
    iox::popo::UntypedSubscriber sink(service("tput"), opts);
    iox::popo::WaitSet<> ws;
    ws.attachState(sub, iox::popo::SubscriberState::HAS_DATA).or_else([](auto) { std::exit(1); });
    iox::popo::WaitSet<> sinkWs;
    sinkWs.attachState(sink, iox::popo::SubscriberState::HAS_DATA).or_else([](auto) { std::exit(1); });
    waitMatched(pub, sub);
    for (;;) {
        long long cmd = ctl.get(); // >0: echo that many; <0: sink; 0: stop
        if (cmd == 0) {
            break;
        }
        if (cmd > 0) {
            for (long long i = 0; i < cmd;) {
                ws.wait();
                while (i < cmd) {
                    auto taken = sub.take();
                    if (taken.has_error()) {
                        break;
                    }
                    const auto* header = iox::mepoo::ChunkHeader::fromUserPayload(taken.value());
                    uint32_t size = header->userPayloadSize();
                    void* out = loanRetry(pub, size);
                    std::memcpy(out, taken.value(), std::min<uint32_t>(size, 8));
                    sub.release(taken.value());
                    pub.publish(out);
                    ++i;
                }
            }
        } else {
            long long want = -cmd;
            long long got = 0;
            int64_t last = 0;
            while (got < want) {
                auto hits = sinkWs.timedWait(iox::units::Duration::fromMilliseconds(1000));
                if (hits.empty()) {
                    break;
                }
                while (true) {
                    auto taken = sink.take();
                    if (taken.has_error()) {
                        break;
                    }
                    sink.release(taken.value());
                    ++got;
                }
                last = wallUs();
            }
            ctl.put(got);
            ctl.put(last);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    Args args;
    if (!parseArgs(argc, argv, args)) {
        return 2;
    }
    const std::vector<size_t>& sizes = args.sizes;
    const int count = args.count;
    const int warmup = args.warmup;
    const long long tputBytes = args.tputBytes;
    Pipe toPong;
    Pipe fromPong;
    pid_t child = fork();
    if (child == 0) {
        Pipe ctl;
        ctl.fd[0] = toPong.fd[0];
        ctl.fd[1] = fromPong.fd[1];
        pong(ctl);
        _exit(0);
    }
    iox::runtime::PoshRuntime::initRuntime("zqcmp-ping");
    iox::popo::UntypedPublisher pub(service("ping"));
    iox::popo::SubscriberOptions opts;
    opts.queueCapacity = 256;
    iox::popo::UntypedSubscriber sub(service("pong"), opts);
    iox::popo::PublisherOptions tputOpts;
    iox::popo::UntypedPublisher tput(service("tput"), tputOpts);
    iox::popo::WaitSet<> ws;
    ws.attachState(sub, iox::popo::SubscriberState::HAS_DATA).or_else([](auto) { std::exit(1); });
    if (!waitMatched(pub, sub)) {
        fprintf(stderr, "iox_perf: no match\n");
        return 1;
    }
    while (!tput.hasSubscribers()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (size_t size : sizes) {
        std::vector<double> us;
        toPong.put(count + warmup);
        for (int i = 0; i < count + warmup; ++i) {
            auto t0 = Clock::now();
            void* out = loanRetry(pub, static_cast<uint32_t>(size));
            std::memset(out, 0x5A, std::min<size_t>(size, 8));
            pub.publish(out);
            for (;;) {
                ws.wait();
                auto taken = sub.take();
                if (!taken.has_error()) {
                    sub.release(taken.value());
                    break;
                }
            }
            if (i >= warmup) {
                us.push_back(usSince(t0));
            }
        }
        printLatency("iceoryx", size, us);
    }
    for (size_t size : sizes) {
        long long n = std::max(1000LL, std::min(200000LL, tputBytes / static_cast<long long>(size)));
        toPong.put(-n);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        int64_t start = wallUs();
        for (long long i = 0; i < n; ++i) {
            void* out = loanRetry(tput, static_cast<uint32_t>(size));
            std::memset(out, 0xA5, std::min<size_t>(size, 8));
            tput.publish(out);
        }
        long long got = fromPong.get();
        long long last = fromPong.get();
        printThroughput("iceoryx", size, n, got, start, last);
    }
    toPong.put(0);
    waitpid(child, nullptr, 0);
    return 0;
}
