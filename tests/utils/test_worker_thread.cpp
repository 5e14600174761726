// The thread holder: whatever holds a started thread waits for it before it goes.
#include "utils/worker_thread.h"

#include <atomic>
#include <future>
#include <thread>
#include <utility>

#include "support/zqtest.h"

namespace {

// Started threads block on `go`; after it they still yield for a while, so a holder that did not
// wait for them would find their work undone.
struct Work {
    std::promise<void> go;
    std::shared_future<void> ready{go.get_future().share()};
    std::atomic<int> done{0};

    void run()
    {
        ready.wait();
        for (int i = 0; i < 1000; ++i) {
            std::this_thread::yield();
        }
        done.fetch_add(1);
    }
};

TEST(WorkerThreadTest, JoinsWhenItGoesAndWhenJoinedTwice)
{
    Work work;
    {
        CWorkerThread worker;
        EXPECT_FALSE(worker.running());
        ASSERT_TRUE(worker.start(&Work::run, &work));
        EXPECT_TRUE(worker.running());
        work.go.set_value();
    }
    EXPECT_EQ(work.done.load(), 1);
    {
        CWorkerThread adopted(std::thread(&Work::run, &work));
        EXPECT_TRUE(adopted.running());
    }
    EXPECT_EQ(work.done.load(), 2);

    CWorkerThread worker;
    worker.join(); // none held: nothing
    ASSERT_TRUE(worker.start([&] { work.done.fetch_add(1); }));
    worker.join();
    worker.join();
    EXPECT_FALSE(worker.running());
    EXPECT_EQ(work.done.load(), 3);
}

TEST(WorkerThreadTest, StartingAgainOrTakingAnotherWaitsForTheOneHeld)
{
    Work first;
    Work second;
    CWorkerThread worker;
    ASSERT_TRUE(worker.start(&Work::run, &first));
    first.go.set_value();
    ASSERT_TRUE(worker.start(&Work::run, &second));
    EXPECT_EQ(first.done.load(), 1);

    CWorkerThread other;
    second.go.set_value();
    other = std::move(worker);      // other held none; worker's thread is other's now
    EXPECT_FALSE(worker.running()); // NOLINT(bugprone-use-after-move): the moved-from state is the point
    EXPECT_TRUE(other.running());
    Work third;
    CWorkerThread replacement;
    ASSERT_TRUE(replacement.start(&Work::run, &third));
    third.go.set_value();
    replacement = std::move(other); // waits for the thread it held
    EXPECT_EQ(third.done.load(), 1);
    replacement.join();
    EXPECT_EQ(second.done.load(), 1);
}

} // namespace
