#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/manual_main_queue.h"
#include "platform/semaphore.h"
#include "platform/serial_queue.h"

namespace housetone {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

TEST(SerialQueue, RunsTasksInOrderOnItsOwnThreadSyncWaitsForThemAndTheEndRunsAllStillQueued) {
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::atomic<int> ran{0};
    {
        SerialQueue q("housetone.test");
        for (int i = 0; i < 100; ++i) {
            q.async([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
        }
        // A sync from inside the queue runs inline; queued behind itself it would deadlock.
        q.sync([&] { q.sync([&] { order.push_back(q.isCurrent() ? 100 : -1); }); });
        ASSERT_EQ(order.size(), 101u);
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
        EXPECT_EQ(std::count(threads.begin(), threads.end(), threads.front()), 100);
        EXPECT_NE(threads.front(), std::this_thread::get_id());
        q.async([] { std::this_thread::sleep_for(20ms); });  // the rest are still queued
        for (int i = 0; i < 50; ++i)
            q.async([&] { ++ran; });
    }
    EXPECT_EQ(ran.load(), 50);
}

TEST(ManualMainQueue, PostedTasksRunInOrderOnlyWhenPumped) {
    ManualMainQueue q;
    std::vector<int> order;
    q.post([&] {
        order.push_back(1);
        q.post([&] { order.push_back(3); });
    });
    q.post([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(q.runPending(), 3);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(ManualMainQueue, DelayedTasksFireOnlyAfterTheirDelaysInDeadlineOrder) {
    ManualMainQueue q;
    const auto start = Steady::now();
    std::vector<int> order;
    Steady::time_point lateAt;
    q.postAfter(0.3, [&] {
        order.push_back(2);
        lateAt = Steady::now();
    });
    q.postAfter(0.05, [&] { order.push_back(1); });
    q.runPending();
    EXPECT_TRUE(order.empty());
    ASSERT_TRUE(q.runUntil([&] { return order.size() == 2; }, 10));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_GE(lateAt - start, 300ms);
}

TEST(ManualMainQueue, RunSyncFromAnotherThreadRunsOnThePumpingThread) {
    ManualMainQueue q;
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        q.runSync([&] { ranOn = std::this_thread::get_id(); });
        returned = true;
    });
    EXPECT_TRUE(q.runUntil([&] { return returned.load(); }, 10));
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(ManualMainQueue, TimersRepeatOncePerPumpUntilCancelledEvenByAnEarlierTaskOfThatPump) {
    ManualMainQueue q;
    int fired = 0, firedA = 0, firedB = 0;
    MainQueue::TimerId id = 0, a = 0, b = 0;
    // Cancelling at 100 only keeps a faulty pump from spinning forever.
    id = q.addTimer(0, [&] {
        if (++fired == 100) q.cancelTimer(id);
    });
    // Both come due in one pump; whichever fires first cancels the other.
    a = q.addTimer(0.01, [&] { ++firedA, q.cancelTimer(b); });
    b = q.addTimer(0.01, [&] { ++firedB, q.cancelTimer(a); });
    q.runPending();
    EXPECT_EQ(fired, 1) << "a timer due again during a pump waits for the next pump";
    EXPECT_EQ(firedA + firedB, 0) << "the first firing is one interval away";
    std::this_thread::sleep_for(50ms);
    q.runPending();
    EXPECT_EQ(fired, 2);
    EXPECT_EQ(firedA + firedB, 1);
    q.cancelTimer(id);
    q.runFor(0.05);
    EXPECT_EQ(fired, 2);
    EXPECT_EQ(std::min(firedA, firedB), 0);
}

// Stands still until the test moves it, so a deadline passes only when the test says so.
class ManualClock final : public Clock {
  public:
    double now() const override { return now_.load(); }
    void sleepFor(double seconds) override { now_ = now_.load() + seconds; }
    std::atomic<double> now_{0};
};

TEST(Semaphore, CountsSignalsAndOnTheSystemClockTimesOutOrTakesALaterSignal) {
    auto& clock = SystemClock::shared();
    Semaphore s(clock, 1);
    s.signal();
    s.wait();
    EXPECT_TRUE(s.waitUntil(clock.now() - 1)) << "a unit beats a past deadline";
    const double deadline = clock.now() + 0.05;
    EXPECT_FALSE(s.waitUntil(deadline));
    EXPECT_GE(clock.now(), deadline);
    std::thread signaller([&] {
        std::this_thread::sleep_for(20ms);
        s.signal();
    });
    EXPECT_TRUE(s.waitFor(30.0));
    signaller.join();
}

TEST(Semaphore, DeadlinesAreInTheClocksTimeNotRealTime) {
    ManualClock clock;
    Semaphore s(clock);
    auto waiting = std::async(std::launch::async, [&] { return s.waitUntil(5.0); });
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout) << "the clock has not moved";
    clock.now_ = 5.0;
    if (waiting.wait_for(10s) != std::future_status::ready) s.signal();  // unblock, then fail
    EXPECT_FALSE(waiting.get());
}

}  // namespace
}  // namespace housetone
