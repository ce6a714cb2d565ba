// The main queue on the Qt event loop: order, thread, timers, and tear-down.
#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <thread>

#include "ui/qt_main_queue.h"

#include "ui_test_support.h"

namespace housetone::ui {
namespace {

TEST(QtMainQueueTest, WorkerTasksRunInOrderOnTheGuiThreadAndCancelledTimersNeverFireAgain) {
    QtMainQueue q;
    std::vector<int> order, expected(50);  // -1 for a task run off the GUI thread
    std::iota(expected.begin(), expected.end(), 0);
    std::atomic<bool> delayedOnMain{false};
    std::thread([&] {
        for (int i : expected)
            q.post([&, i] { order.push_back(q.isMainThread() ? i : -1); });
        q.postAfter(0.02, [&] { delayedOnMain = q.isMainThread(); });
    }).join();
    ASSERT_TRUE(spinUntil([&] { return order.size() == 50 && delayedOnMain; }));
    EXPECT_EQ(order, expected);

    // Cancelled timers never fire again, even when cancelled from their own task.
    int a = 0, b = 0;
    const MainQueue::TimerId ta = q.addTimer(0.005, [&] {
        if (++a == 3) q.cancelTimer(ta);
    });
    const MainQueue::TimerId tb = q.addTimer(0.005, [&] { ++b; });
    ASSERT_TRUE(spinUntil([&] { return a >= 3 && b >= 3; }));
    q.cancelTimer(tb);
    const int bAtCancel = b;
    q.cancelTimer(ta);      // twice: ignored
    q.cancelTimer(123456);  // unknown: ignored
    EXPECT_FALSE(spinUntil([&] { return a != 3 || b != bAtCancel; }, 60)) << a << " " << b;
}

TEST(QtMainQueueTest, DestroyingTheQueueDropsPendingTasksWhileItStillWorks) {
    // Kept alive only by pending tasks; its destructor uses the queue, as a controller's does.
    struct Owner {
        QtMainQueue& queue;
        MainQueue::TimerId timer;
        ~Owner() {
            queue.cancelTimer(timer);
            queue.post([] {});
            queue.postAfter(0, [] {});
            queue.addTimer(60, [] {});
        }
    };
    auto queue = std::make_unique<QtMainQueue>();
    auto owner = std::make_shared<Owner>(*queue, queue->addTimer(60, [] {}));
    const std::weak_ptr<Owner> watch = owner;
    queue->postAfter(60, [owner] {});
    std::thread([&, owner] { queue->postAfter(60, [owner] {}); }).join();
    queue->post([owner] {});
    owner.reset();
    queue.reset();
    EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace housetone::ui
