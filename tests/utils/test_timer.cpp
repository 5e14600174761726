// The timer: identifiers, refusals, run counts, order, removal and stopping.
//
// Run counts are checked with interval-0 tasks: such a task is due again as soon as it is
// re-armed, so while it is pending it runs in every batch. A second interval-0 "marker" task
// that has run k times has therefore shared at least k - 1 batches with it, which bounds how
// often the first one can still run without any reference to time.
#include "support/zqtest.h"
#include "utils/timer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr auto kWait = std::chrono::seconds(30);
constexpr unsigned int kOneHourMs = 3600 * 1000;

pid_t currentTid()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// True when the thread sleeps in the kernel (here: blocked on the timer's mutex).
bool isSleeping(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
}

// Runs an interval-0 marker task `runs` times on the timer and waits for its last run.
bool runMarker(CTimer& timer, int runs)
{
    std::promise<void> done;
    std::atomic<int> count{0};
    int id = timer.add_task(
        [&] {
            if (++count == runs) {
                done.set_value();
            }
        },
        0, runs - 1);
    bool ok = id > 0 && done.get_future().wait_for(kWait) == std::future_status::ready;
    timer.remove_task(id); // finished already; makes sure the locals are no longer used
    return ok;
}

TEST(TimerTest, IdentifiersStartAtOneAndRefusalsTakeNone)
{
    CTimer timer(false);
    auto noop = [] {};
    zqtest::OutputCapture cap;
    int first = timer.add_task(noop, kOneHourMs, -1);
    int emptyFn = timer.add_task(std::function<void()>(), 10, 1);
    int zeroCount = timer.add_task(noop, 10, 0);
    int second = timer.add_task(noop, kOneHourMs, 3);
    cap.stop();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(emptyFn, -1);
    EXPECT_EQ(zeroCount, -1);
    EXPECT_EQ(second, 2);
    EXPECT_EQ(cap.out(), "Invalid parameter!\nInvalid parameter!\n");
    timer.remove_task(first);
    EXPECT_EQ(timer.add_task(noop, kOneHourMs, 1), 3); // never reused
}

TEST(TimerTest, CountNGivesNPlusOneRunsThenTheTaskIsGone)
{
    for (int count : {1, 2, 5}) {
        SCOPED_TRACE(count);
        CTimer timer(false);
        std::atomic<int> runs{0};
        int id = timer.add_task([&] { ++runs; }, 0, count);
        ASSERT_GT(id, 0);
        ASSERT_TRUE(runMarker(timer, count + 3));
        EXPECT_EQ(runs.load(), count + 1);
        timer.remove_task(id); // finished: nothing happens
        ASSERT_TRUE(runMarker(timer, 3));
        EXPECT_EQ(runs.load(), count + 1);
    }
}

TEST(TimerTest, RunsWithAnIntervalUntilTheCountIsUsed)
{
    CTimer timer(false);
    std::promise<void> third;
    std::atomic<int> runs{0};
    timer.add_task(
        [&] {
            if (++runs == 3) {
                third.set_value();
            }
        },
        2, 2);
    EXPECT_EQ(third.get_future().wait_for(kWait), std::future_status::ready);
    timer.stop();
    EXPECT_EQ(runs.load(), 3);
}

TEST(TimerTest, FirstRunsFollowTheOrderOfAdding)
{
    CTimer timer(false);
    std::mutex mtx;
    std::vector<char> order;
    std::promise<void> all;
    auto task = [&](char name) {
        return [&, name] {
            std::lock_guard<std::mutex> lock(mtx);
            order.push_back(name);
            if (order.size() == 6) {
                all.set_value();
            }
        };
    };
    for (char name : {'a', 'b', 'c'}) {
        timer.add_task(task(name), 0, 1);
    }
    ASSERT_EQ(all.get_future().wait_for(kWait), std::future_status::ready);
    timer.stop();
    std::vector<char> firsts;
    for (char name : order) {
        if (std::find(firsts.begin(), firsts.end(), name) == firsts.end()) {
            firsts.push_back(name);
        }
    }
    EXPECT_EQ(std::string(firsts.begin(), firsts.end()), "abc");
}

TEST(TimerTest, NegativeCountRunsUntilRemoved)
{
    CTimer timer(false);
    std::atomic<int> runs{0};
    std::promise<void> five;
    int id = timer.add_task(
        [&] {
            if (++runs == 5) {
                five.set_value();
            }
        },
        0, -1);
    ASSERT_EQ(five.get_future().wait_for(kWait), std::future_status::ready);
    timer.remove_task(id);
    int atRemoval = runs.load();
    ASSERT_TRUE(runMarker(timer, 4));
    EXPECT_EQ(runs.load(), atRemoval);
}

TEST(TimerTest, RemoveWaitsForTheRunningTaskAndItDoesNotRunAgain)
{
    CTimer timer(false);
    std::mutex mtx;
    std::condition_variable cv;
    bool running = false;
    bool release = false;
    std::atomic<int> runs{0};
    std::atomic<bool> removed{false};
    std::atomic<bool> removedWhileRunning{false};
    int id = timer.add_task(
        [&] {
            ++runs;
            std::unique_lock<std::mutex> lock(mtx);
            running = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
            removedWhileRunning = removed.load();
        },
        0, -1);
    {
        std::unique_lock<std::mutex> lock(mtx);
        ASSERT_TRUE(cv.wait_for(lock, kWait, [&] { return running; }));
    }
    std::atomic<pid_t> removerTid{0};
    std::thread remover([&] {
        removerTid = currentTid();
        timer.remove_task(id);
        removed = true;
    });
    EXPECT_TRUE(zqtest::waitUntil([&] { return removerTid.load() != 0 && isSleeping(removerTid.load()); }, 30000));
    EXPECT_FALSE(removed.load());
    {
        std::lock_guard<std::mutex> lock(mtx);
        release = true;
        cv.notify_all();
    }
    remover.join();
    EXPECT_FALSE(removedWhileRunning.load());
    ASSERT_TRUE(runMarker(timer, 4));
    EXPECT_EQ(runs.load(), 1);
}

TEST(TimerTest, CallerBlockedDuringARunGoesBeforeTheNextBatch)
{
    // An interval-0 task is due again the moment its batch ends, and the worker takes the mutex
    // straight back: a caller blocked on it during a run must still get it before the next
    // batch, or remove_task and stop can wait for ever. Each round blocks the caller inside a
    // run, so the order is the same every round; a timer that let the worker retake the mutex
    // first would run the task again in most rounds, and many rounds make a pass by luck
    // unlikely. A caller that does not come back at all ends the process (its thread cannot be
    // joined).
    constexpr int kRounds = 100;
    struct Case {
        const char* name;
        bool async;
        bool stop;
    };
    const Case cases[] = {{"sync remove_task", false, false},
                          {"sync stop", false, true},
                          {"async remove_task", true, false},
                          {"async stop", true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int lateRounds = 0;
        for (int round = 0; round < kRounds && !HasFatalFailure(); ++round) {
            CTimer timer(c.async);
            std::atomic<pid_t> callerTid{0};
            std::atomic<bool> callerSeenBlocked{false};
            std::atomic<bool> callerNeverBlocked{false};
            std::atomic<int> runsAfter{0};
            std::promise<void> firstRun;
            std::atomic<int> runs{0};
            int id = timer.add_task(
                [&] {
                    if (++runs == 1) {
                        firstRun.set_value();
                        // Holds the batch until the caller is blocked on the timer's mutex.
                        if (!zqtest::waitUntil([&] { return callerTid.load() != 0 && isSleeping(callerTid.load()); },
                                               30000)) {
                            callerNeverBlocked = true;
                        }
                        callerSeenBlocked = true;
                    } else if (callerSeenBlocked.load()) {
                        ++runsAfter;
                    }
                },
                0, -1);
            ASSERT_GT(id, 0);
            ASSERT_EQ(firstRun.get_future().wait_for(kWait), std::future_status::ready);
            std::promise<void> returned;
            std::thread caller([&] {
                callerTid = currentTid();
                if (c.stop) {
                    timer.stop();
                } else {
                    timer.remove_task(id);
                }
                returned.set_value();
            });
            if (returned.get_future().wait_for(kWait) != std::future_status::ready) {
                ADD_FAILURE() << "round " << round << ": the caller did not get the timer's mutex";
                std::fflush(stdout);
                std::_Exit(1);
            }
            caller.join();
            ASSERT_FALSE(callerNeverBlocked.load()) << "round " << round;
            if (runsAfter.load() != 0) {
                ++lateRounds;
            }
        }
        EXPECT_EQ(lateRounds, 0) << "rounds in which the task ran again before the caller got in";
    }
}

TEST(TimerTest, FirstRunComesAnIntervalAfterAddingAndTheNextAnIntervalAfterTheRunEnded)
{
    // Lower bounds only: a loaded machine makes runs later, never earlier. The first run lasts
    // an interval itself, so a deadline counted from the previous deadline (instead of from the
    // end of the run) would make the second run due as soon as the first ends.
    constexpr auto kInterval = std::chrono::milliseconds(200);
    using Clock = std::chrono::steady_clock;
    CTimer timer(false);
    std::mutex mtx;
    std::vector<Clock::time_point> starts;
    std::vector<Clock::time_point> ends;
    std::promise<void> second;
    Clock::time_point added = Clock::now();
    int id = timer.add_task(
        [&] {
            Clock::time_point start = Clock::now();
            if (starts.empty()) {
                std::this_thread::sleep_until(start + kInterval); // a long run
            }
            std::lock_guard<std::mutex> lock(mtx);
            starts.push_back(start);
            ends.push_back(Clock::now());
            if (starts.size() == 2) {
                second.set_value();
            }
        },
        static_cast<unsigned int>(kInterval.count()), 1);
    ASSERT_GT(id, 0);
    ASSERT_EQ(second.get_future().wait_for(kWait), std::future_status::ready);
    timer.stop();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_GE(starts[0] - added, kInterval);
    EXPECT_GE(starts[1] - ends[0], kInterval);
}

TEST(TimerTest, NewTaskIsNotHeldUpByALaterDeadline)
{
    CTimer timer(false);
    timer.add_task([] {}, kOneHourMs, -1); // once nothing else is pending, the worker waits for it
    std::promise<pid_t> worker;
    std::atomic<int> runs{0};
    int probe = timer.add_task(
        [&] {
            if (++runs == 1) {
                worker.set_value(currentTid());
            }
        },
        0, 1);
    auto tid = worker.get_future();
    ASSERT_EQ(tid.wait_for(kWait), std::future_status::ready);
    pid_t workerTid = tid.get();
    // After the probe's last run the worker blocks nowhere but in the wait for the far deadline.
    ASSERT_TRUE(zqtest::waitUntil([&] { return runs.load() == 2 && isSleeping(workerTid); }, 30000));
    ASSERT_TRUE(runMarker(timer, 2));
    timer.remove_task(probe);
}

TEST(TimerTest, ExceptionFromATaskIsReportedAndTheTaskRunsOn)
{
    for (bool async : {false, true}) {
        SCOPED_TRACE(async);
        CTimer timer(async);
        std::atomic<int> runs{0};
        std::promise<void> third;
        zqtest::OutputCapture cap;
        int id = timer.add_task(
            [&] {
                int run = ++runs;
                if (run == 1) {
                    throw std::runtime_error("application fault");
                }
                if (run == 2) {
                    throw 42; // not even a std::exception
                }
                third.set_value();
            },
            0, 2);
        ASSERT_GT(id, 0);
        ASSERT_EQ(third.get_future().wait_for(kWait), std::future_status::ready);
        timer.stop();
        cap.stop();
        EXPECT_EQ(runs.load(), 3);
        EXPECT_EQ(
            zqtest::countDdsLines(cap.out(), "31", "Error: timer task " + std::to_string(id) + " threw an exception!"),
            2)
            << cap.out();
    }
}

TEST(TimerTest, DestructionJoinsTheWorkerAndRunsNothingPending)
{
    int threadsBefore = zqtest::baselineThreads();
    for (bool async : {false, true}) {
        SCOPED_TRACE(async);
        std::atomic<bool> ran{false};
        {
            CTimer timer(async);
            EXPECT_EQ(zqtest::threadsSettleAt(threadsBefore + 1), threadsBefore + 1);
            timer.add_task([&] { ran = true; }, kOneHourMs, -1);
        }
        EXPECT_FALSE(ran.load());
        EXPECT_EQ(zqtest::threadsSettleAt(threadsBefore), threadsBefore);
    }
}

TEST(TimerTest, AsyncTimerRunsTheTasksOfOneBatchTogether)
{
    // Two tasks meet only when they run at the same time. Once both are pending, every batch
    // holds both (interval 0); a task that waits in vain gives up after a while and tries again
    // on its next run.
    std::mutex mtx;
    std::condition_variable cv;
    int waiting = 0;
    int generation = 0;
    bool met = false;
    std::promise<void> meeting;
    auto meet = [&] {
        std::unique_lock<std::mutex> lock(mtx);
        if (met) {
            return;
        }
        if (waiting == 1) {
            waiting = 0;
            ++generation;
            met = true;
            meeting.set_value();
            cv.notify_all();
            return;
        }
        waiting = 1;
        int mine = generation;
        if (!cv.wait_for(lock, std::chrono::milliseconds(200), [&] { return generation != mine; })) {
            waiting = 0;
        }
    };
    CTimer timer(true);
    int a = timer.add_task(meet, 0, -1);
    int b = timer.add_task(meet, 0, -1);
    EXPECT_EQ(meeting.get_future().wait_for(kWait), std::future_status::ready);
    timer.remove_task(a);
    timer.remove_task(b);
    timer.stop();
}

TEST(TimerTest, ProcessTimerIsOneSynchronousInstance)
{
    CTimerSingleton* timer = CTimerSingleton::getInstance();
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(CTimerSingleton::getInstance(), timer);
    std::thread::id mainThread = std::this_thread::get_id();
    std::promise<std::thread::id> ranOn;
    std::atomic<int> runs{0};
    int id = timer->add_task(
        [&] {
            if (++runs == 1) {
                ranOn.set_value(std::this_thread::get_id());
            }
        },
        0, 1);
    auto result = ranOn.get_future();
    ASSERT_EQ(result.wait_for(kWait), std::future_status::ready);
    EXPECT_NE(result.get(), mainThread);
    ASSERT_TRUE(runMarker(*timer, 3));
    timer->remove_task(id);
    EXPECT_EQ(runs.load(), 2);
}

} // namespace
