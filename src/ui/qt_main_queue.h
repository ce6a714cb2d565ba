#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <map>

#include "platform/main_queue.h"

namespace housetone::ui {

// The main queue on the Qt event loop. Construct it on the GUI thread after the QApplication;
// destroying it drops every task and timer still pending, so nothing runs against objects that
// were torn down with it. A dropped task may hold the last reference to an object whose
// destructor uses this queue (cancels its timer, posts); the tasks are therefore destroyed first,
// while the queue still works, and whatever they post meanwhile is dropped too.
//
// Ordering: tasks posted from one thread run in the order posted (Qt delivers queued invocations
// to one receiver first in, first out). Timers are plain QTimers: they also fire inside a nested
// event loop such as an open menu or a modal dialog.
class QtMainQueue final : public MainQueue {
  public:
    QtMainQueue();
    ~QtMainQueue() override;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    void post(std::function<void()> task) override;
    void postAfter(double seconds, std::function<void()> task) override;
    // Off the GUI thread this blocks until the task ran, so it must never be called from a thread
    // the GUI thread is itself waiting for.
    void runSync(const std::function<void()>& task) override;
    TimerId addTimer(double intervalSeconds, std::function<void()> task) override;
    void cancelTimer(TimerId id) override;
    bool isMainThread() const override;

  private:
    void startSingleShot(double seconds, std::function<void()> task);
    void dropPendingTasks();

    // Receiver of every queued task and parent of every timer; lives on the GUI thread.
    QObject* context_;
    std::map<TimerId, QPointer<QTimer>> timers_;
    TimerId nextTimer_ = 1;
    // Tasks waiting for their delay, by ticket. Qt's single-shot timers are owned by the event
    // dispatcher, not by the context, so the tasks are kept here where this queue can drop them.
    std::map<std::uint64_t, std::function<void()>> delayed_;
    std::uint64_t nextDelayed_ = 1;
    std::atomic<bool> closing_{false};
};

}  // namespace housetone::ui
