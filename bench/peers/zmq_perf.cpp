// ZeroMQ over ipc://: ping-pong on a PAIR socket pair, throughput over PUSH/PULL (sent back to
// back, the receiving side counting until it has them all or stays quiet for a second).
// zmq_perf <sizes a,b,...> <round trips> <warm-up> <throughput bytes>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <cstring>
#include <thread>

#include "perf_common.h"

using namespace peerperf;

namespace {

const char* const PINGPONG = "ipc:///tmp/zqcmp-zmq-pp";
const char* const STREAM = "ipc:///tmp/zqcmp-zmq-tput";

void pong(Pipe& in, Pipe& out)
{
    void* ctx = zmq_ctx_new();
    void* pair = zmq_socket(ctx, ZMQ_PAIR);
    zmq_connect(pair, PINGPONG);
    void* pull = zmq_socket(ctx, ZMQ_PULL);
    int hwm = 0;
    zmq_setsockopt(pull, ZMQ_RCVHWM, &hwm, sizeof(hwm));
    zmq_connect(pull, STREAM);
    std::vector<char> buf(2 * 1024 * 1024);
    for (;;) {
        long long cmd = in.get();
        if (cmd == 0) {
            break;
        }
        if (cmd > 0) {
            for (long long i = 0; i < cmd; ++i) {
                int n = zmq_recv(pair, buf.data(), buf.size(), 0);
                if (n < 0) {
                    break;
                }
                zmq_send(pair, buf.data(), static_cast<size_t>(n), 0);
            }
        } else {
            long long want = -cmd;
            long long got = 0;
            int64_t last = 0;
            int timeout = 1000;
            zmq_setsockopt(pull, ZMQ_RCVTIMEO, &timeout, sizeof(timeout));
            while (got < want && zmq_recv(pull, buf.data(), buf.size(), 0) >= 0) {
                ++got;
                last = wallUs();
            }
            out.put(got);
            out.put(last);
        }
    }
    zmq_close(pull);
    zmq_close(pair);
    zmq_ctx_term(ctx);
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
    Pipe bound;
    pid_t child = fork();
    if (child == 0) {
        bound.get();
        pong(toPong, fromPong);
        _exit(0);
    }
    void* ctx = zmq_ctx_new();
    void* pair = zmq_socket(ctx, ZMQ_PAIR);
    void* push = zmq_socket(ctx, ZMQ_PUSH);
    int hwm = 0;
    zmq_setsockopt(push, ZMQ_SNDHWM, &hwm, sizeof(hwm));
    if (zmq_bind(pair, PINGPONG) != 0 || zmq_bind(push, STREAM) != 0) {
        fprintf(stderr, "zmq_perf: bind failed\n");
        return 1;
    }
    bound.put(1);
    std::vector<char> data(2 * 1024 * 1024, 0x5A);
    std::vector<char> buf(2 * 1024 * 1024);
    for (size_t size : sizes) {
        std::vector<double> us;
        toPong.put(count + warmup);
        for (int i = 0; i < count + warmup; ++i) {
            auto t0 = Clock::now();
            zmq_send(pair, data.data(), size, 0);
            if (zmq_recv(pair, buf.data(), buf.size(), 0) < 0) {
                break;
            }
            if (i >= warmup) {
                us.push_back(usSince(t0));
            }
        }
        printLatency("zeromq", size, us);
    }
    for (size_t size : sizes) {
        long long n = std::max(1000LL, std::min(500000LL, tputBytes / static_cast<long long>(size)));
        toPong.put(-n);
        int64_t start = wallUs();
        for (long long i = 0; i < n; ++i) {
            zmq_send(push, data.data(), size, 0);
        }
        long long got = fromPong.get();
        long long last = fromPong.get();
        printThroughput("zeromq", size, n, got, start, last);
    }
    toPong.put(0);
    waitpid(child, nullptr, 0);
    zmq_close(push);
    zmq_close(pair);
    zmq_ctx_term(ctx);
    return 0;
}
