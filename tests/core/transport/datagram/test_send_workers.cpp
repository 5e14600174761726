// The send workers: every job of a round runs, on threads that stay, and a slow job holds up no other.
#include "core/transport/datagram/send_workers.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/zqtest.h"

namespace {

// Persistent workers: every job of a round runs, each further one on its own thread, and the
// same threads serve every later round; stop joins them.
TEST(SenderTest, SendWorkersRunEveryJobOnThreadsThatStay)
{
    const int base = zqtest::baselineThreads();
    std::vector<std::thread::id> seen;
    std::vector<std::thread::id> firstRound;
    CSendWorkers workers;
    for (int round = 0; round < 50; ++round) {
        seen.assign(4, std::thread::id());
        auto job = [&seen](size_t index) { seen[index] = std::this_thread::get_id(); };
        workers.run(seen.size(), job);
        EXPECT_EQ(seen[0], std::this_thread::get_id()) << "the first job runs on the caller";
        for (size_t i = 1; i < seen.size(); ++i) {
            EXPECT_NE(seen[i], std::thread::id()) << "job " << i << " ran before run returned";
            EXPECT_NE(seen[i], seen[0]);
            for (size_t j = 1; j < i; ++j) {
                EXPECT_NE(seen[i], seen[j]) << "one thread per further job";
            }
        }
        if (round == 0) {
            firstRound = seen;
        }
        EXPECT_EQ(seen, firstRound) << "no round starts a thread";
    }
    EXPECT_EQ(workers.workerCount(), 3u);
    EXPECT_EQ(zqtest::countThreads(), base + 3);

    // Fewer jobs leave the spare workers idle; a single job needs none.
    int ran = 0;
    auto count = [&ran](size_t) { ++ran; };
    workers.run(1, count);
    EXPECT_EQ(ran, 1);
    workers.stop();
    EXPECT_EQ(workers.workerCount(), 0u);
    EXPECT_EQ(zqtest::threadsSettleAt(base), base);
}

// A slow job holds up no other: the others finish while it is still blocked.
TEST(SenderTest, SendWorkersRunJobsInParallel)
{
    CSendWorkers workers;
    std::mutex mutex;
    std::condition_variable cv;
    bool released = false;
    std::atomic<int> done{0};
    auto job = [&](size_t index) {
        if (index == 2) {
            std::unique_lock<std::mutex> lock(mutex);
            // Released only once both other jobs are done: they did not wait for this one.
            ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return released; }));
        } else {
            if (done.fetch_add(1) + 1 == 2) {
                std::lock_guard<std::mutex> lock(mutex);
                released = true;
                cv.notify_all();
            }
        }
    };
    workers.run(3, job);
    EXPECT_TRUE(released);
    EXPECT_EQ(done.load(), 2);
}

} // namespace
