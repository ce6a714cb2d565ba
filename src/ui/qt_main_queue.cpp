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

QtMainQueue::~QtMainQueue() {
    closing_.store(true);
    dropPendingTasks();
    delete context_;
}

void QtMainQueue::dropPendingTasks() {
    // Each task is taken out before it is destroyed, so a destructor it triggers may cancel timers
    // or post (dropped at once) without disturbing the walk.
    QCoreApplication::removePostedEvents(context_);
    while (!delayed_.empty())
        delayed_.extract(delayed_.begin());
    while (!timers_.empty()) {
        auto node = timers_.extract(timers_.begin());
        delete node.mapped().data();
    }
}

bool QtMainQueue::isMainThread() const {
    return QThread::currentThread() == context_->thread();
}

void QtMainQueue::post(std::function<void()> task) {
    if (closing_.load()) return;
    QMetaObject::invokeMethod(context_, std::move(task), Qt::QueuedConnection);
}

void QtMainQueue::postAfter(double seconds, std::function<void()> task) {
    if (closing_.load()) return;
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
    const std::uint64_t ticket = nextDelayed_++;
    delayed_.emplace(ticket, std::move(task));
    QTimer::singleShot(milliseconds(seconds), Qt::PreciseTimer, context_, [this, ticket] {
        auto node = delayed_.extract(ticket);
        if (!node.empty()) node.mapped()();
    });
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
