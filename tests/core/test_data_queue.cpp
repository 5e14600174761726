// The reader's bounded receive queue: newest kept, oldest dropped into the callback, bounded waits.
#include "core/data_queue.h"
#include "support/thread_state.h"
#include "support/zqtest.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Records what the drop callback receives.
struct Drops {
    std::vector<std::string> items;
    std::function<void(std::string)> callback()
    {
        return [this](std::string s) { items.push_back(std::move(s)); };
    }
};

class DataQueueTest : public ::testing::Test {};

TEST_F(DataQueueTest, FullQueueDropsTheOldestAndKeepsTheNewest)
{
    Drops drops;
    CDataQueue<std::string> q(3, drops.callback());
    EXPECT_EQ(q.getCount(), 0);
    for (const char* s : {"a", "b", "c", "d"}) {
        EXPECT_TRUE(q.enqueue(std::string(s)));
        EXPECT_LE(q.getCount(), 3);
    }
    EXPECT_EQ(drops.items, std::vector<std::string>{"a"});
    std::string out;
    std::vector<std::string> got;
    while (q.dequeue(out, 0)) {
        got.push_back(out);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"b", "c", "d"}));
    EXPECT_EQ(drops.items, std::vector<std::string>{"a"});
}

TEST_F(DataQueueTest, EmptyDropCallbackDiscardsSilently)
{
    CDataQueue<std::unique_ptr<int>> q(1, nullptr);
    EXPECT_TRUE(q.enqueue(std::make_unique<int>(1)));
    EXPECT_TRUE(q.enqueue(std::make_unique<int>(2))); // the first is destroyed; nothing else happens
    std::unique_ptr<int> out;
    ASSERT_TRUE(q.dequeue(out, 0));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(*out, 2);
}

TEST_F(DataQueueTest, CapacityBelowOneIsTakenAsOne)
{
    for (int capacity : {0, -5}) {
        Drops drops;
        CDataQueue<std::string> q(capacity, drops.callback());
        q.enqueue("x");
        q.enqueue("y");
        EXPECT_EQ(q.getCount(), 1) << capacity;
        EXPECT_EQ(drops.items, std::vector<std::string>{"x"}) << capacity;
    }
}

TEST_F(DataQueueTest, DestructionDropsWhatIsLeftOldestFirst)
{
    Drops drops;
    {
        CDataQueue<std::string> q(4, drops.callback());
        q.enqueue("first");
        q.enqueue("second");
    }
    EXPECT_EQ(drops.items, (std::vector<std::string>{"first", "second"}));
}

TEST_F(DataQueueTest, NoItemWithinTheTimeoutLeavesTheOutputAlone)
{
    CDataQueue<int> q(2, nullptr);
    for (int timeoutMs : {0, 20}) {
        int out = -42;
        EXPECT_FALSE(q.dequeue(out, timeoutMs)) << timeoutMs;
        EXPECT_EQ(out, -42) << timeoutMs;
    }
}

TEST_F(DataQueueTest, WaitingConsumerGetsAnItemEnqueuedLater)
{
    // Negative waits for ever; a positive timeout far beyond the test's run also ends at the item.
    for (int timeoutMs : {-1, 100000}) {
        CDataQueue<int> q(2, nullptr);
        std::promise<void> started;
        auto consumer = std::async(std::launch::async, [&] {
            started.set_value();
            int out = 0;
            bool ok = q.dequeue(out, timeoutMs);
            return ok ? out : -1;
        });
        started.get_future().wait();
        q.enqueue(7);
        ASSERT_EQ(consumer.wait_for(std::chrono::seconds(60)), std::future_status::ready) << timeoutMs;
        EXPECT_EQ(consumer.get(), 7) << timeoutMs;
        EXPECT_EQ(q.getCount(), 0);
    }
}

TEST_F(DataQueueTest, ItemPostedWhileTheConsumerSleepsWakesIt)
{
    // The consumer is asleep in a wait far longer than the test's limit before the item comes: a
    // wake-up lost on the way would leave it there (the test then hangs until its time limit).
    for (int timeoutMs : {-1, 600000}) {
        CDataQueue<int> q(2, nullptr);
        bool asleep = false;
        auto consumer = zqtest::runUntilAsleep(
            [&] {
                int out = 0;
                return q.dequeue(out, timeoutMs) ? out : -1;
            },
            &asleep);
        EXPECT_TRUE(asleep) << timeoutMs;
        q.enqueue(5);
        consumer.wait();
        EXPECT_EQ(consumer.get(), 5) << timeoutMs;
    }
}

TEST_F(DataQueueTest, ConsumerThatLosesTheRaceKeepsWaiting)
{
    // Both consumers are woken by the first item; the one that finds the queue empty waits again
    // (for its whole timeout) and takes the second item instead of giving up.
    CDataQueue<int> q(4, nullptr);
    std::atomic<int> waiting{0};
    auto consume = [&] {
        waiting.fetch_add(1);
        int out = 0;
        return q.dequeue(out, 100000) ? out : -1;
    };
    auto c1 = std::async(std::launch::async, consume);
    auto c2 = std::async(std::launch::async, consume);
    ASSERT_TRUE(zqtest::waitUntil([&] { return waiting.load() == 2; }, 10000));
    q.enqueue(1);
    auto ready = [](std::future<int>& f) { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    ASSERT_TRUE(zqtest::waitUntil([&] { return ready(c1) || ready(c2); }, 60000));
    q.enqueue(2);
    ASSERT_EQ(c1.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    ASSERT_EQ(c2.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    int a = c1.get();
    int b = c2.get();
    EXPECT_EQ(a + b, 3) << a << " " << b;
    EXPECT_NE(a, b);
}

TEST_F(DataQueueTest, ConcurrentProducersAndConsumersLoseAndDuplicateNothing)
{
    // Every item ends exactly once: taken by a consumer, dropped on overflow, or dropped at
    // destruction; each consumer sees every producer's items in the order they were made.
    constexpr int kProducers = 4;
    constexpr int kConsumers = 3;
    constexpr int kItems = 20000;
    struct Item {
        int producer;
        int seq;
    };
    std::vector<std::atomic<int>> seen(kProducers * kItems);
    std::atomic<int> dropped{0};
    std::atomic<bool> orderBroken{false};
    std::atomic<int> producersDone{0};
    {
        auto mark = [&seen](const Item& item) { seen[static_cast<size_t>(item.producer * kItems + item.seq)]++; };
        CDataQueue<Item> q(8, [&](Item item) {
            mark(item);
            dropped.fetch_add(1);
        });
        std::vector<std::thread> threads;
        for (int c = 0; c < kConsumers; ++c) {
            threads.emplace_back([&, c] {
                std::vector<int> last(kProducers, -1);
                // Mixes the three kinds of wait; stops once every producer finished and nothing is left.
                for (int round = 0;; ++round) {
                    int timeoutMs = (round + c) % 3 == 0 ? 0 : ((round + c) % 3 == 1 ? 1 : 5);
                    Item item{};
                    if (q.dequeue(item, timeoutMs)) {
                        if (item.seq <= last[static_cast<size_t>(item.producer)]) {
                            orderBroken = true;
                        }
                        last[static_cast<size_t>(item.producer)] = item.seq;
                        mark(item);
                    } else if (producersDone.load() == kProducers) {
                        return;
                    }
                }
            });
        }
        for (int p = 0; p < kProducers; ++p) {
            threads.emplace_back([&, p] {
                for (int s = 0; s < kItems; ++s) {
                    q.enqueue(Item{p, s});
                    EXPECT_LE(q.getCount(), 8);
                }
                producersDone.fetch_add(1);
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
    }
    EXPECT_FALSE(orderBroken.load());
    int missing = 0;
    int twice = 0;
    for (std::atomic<int>& n : seen) {
        missing += n.load() == 0;
        twice += n.load() > 1;
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(twice, 0);
}

} // namespace
