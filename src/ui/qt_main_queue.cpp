#include "ui/qt_main_queue.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <cmath>

namespace housetone::ui {

namespace {

int milliseconds(double seconds) {
    if (!(seconds > 0)) return 0;
    return static_cast<int>(std::min(std::ceil(seconds * 1000.0), 2147483647.0));
}

}  // namespace

QtMainQueue::QtMainQueue() : context_(new QObject) {
    Q_ASSERT(QCoreApplication::instance());
    Q_ASSERT(QThread::currentThread() == QCoreApplication::instance()->thread());
}

// Deleting the context removes its queued invocations and its child timers with it.
QtMainQueue::~QtMainQueue() {
    delete context_;
}

bool QtMainQueue::isMainThread() const {
    return QThread::currentThread() == context_->thread();
}

void QtMainQueue::post(std::function<void()> task) {
    QMetaObject::invokeMethod(context_, std::move(task), Qt::QueuedConnection);
}

void QtMainQueue::postAfter(double seconds, std::function<void()> task) {
    // A QTimer belongs to the thread that starts it and needs that thread's event loop; worker
    // threads have none, so the timer is always started from the GUI thread.
    if (isMainThread()) {
        startSingleShot(seconds, std::move(task));
        return;
    }
    post([this, seconds, task = std::move(task)]() mutable {
        startSingleShot(seconds, std::move(task));
    });
}

void QtMainQueue::startSingleShot(double seconds, std::function<void()> task) {
    QTimer::singleShot(milliseconds(seconds), Qt::PreciseTimer, context_, std::move(task));
}

void QtMainQueue::runSync(const std::function<void()>& task) {
    if (isMainThread()) {
        task();
        return;
    }
    QMetaObject::invokeMethod(
        context_, [&task] { task(); }, Qt::BlockingQueuedConnection);
}

MainQueue::TimerId QtMainQueue::addTimer(double intervalSeconds, std::function<void()> task) {
    Q_ASSERT(isMainThread());
    auto* timer = new QTimer(context_);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(milliseconds(intervalSeconds));
    QObject::connect(timer, &QTimer::timeout, timer, std::move(task));
    timer->start();
    const TimerId id = nextTimer_++;
    timers_.emplace(id, timer);
    return id;
}

void QtMainQueue::cancelTimer(TimerId id) {
    Q_ASSERT(isMainThread());
    const auto it = timers_.find(id);
    if (it == timers_.end()) return;
    if (QTimer* timer = it->second) {
        timer->stop();
        // The timer may be the one whose task is running right now.
        timer->deleteLater();
    }
    timers_.erase(it);
}

}  // namespace housetone::ui
