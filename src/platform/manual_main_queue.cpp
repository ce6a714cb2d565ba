#include "platform/manual_main_queue.h"

#include <future>
#include <vector>

namespace housetone {

using Clock = std::chrono::steady_clock;

ManualMainQueue::ManualMainQueue() : mainThread_(std::this_thread::get_id()) {}

void ManualMainQueue::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(task));
    }
    cv_.notify_all();
}

void ManualMainQueue::postAfter(double seconds, std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        const auto when =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(seconds > 0 ? seconds : 0));
        delayed_.emplace(when, std::move(task));
    }
    cv_.notify_all();
}

void ManualMainQueue::runSync(const std::function<void()>& task) {
    if (isMainThread()) {
        task();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    post([&] {
        task();
        done.set_value();
    });
    finished.get();
}

MainQueue::TimerId ManualMainQueue::addTimer(double intervalSeconds, std::function<void()> task) {
    std::lock_guard lock(mutex_);
    const auto interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(intervalSeconds));
    const TimerId id = nextTimer_++;
    timers_.emplace(id, Timer{intervalSeconds, Clock::now() + interval, std::move(task)});
    return id;
}

void ManualMainQueue::cancelTimer(TimerId id) {
    std::lock_guard lock(mutex_);
    timers_.erase(id);
}

bool ManualMainQueue::takeDue(std::function<void()>& task) {
    std::lock_guard lock(mutex_);
    if (!ready_.empty()) {
        task = std::move(ready_.front());
        ready_.pop_front();
        return true;
    }
    const auto now = Clock::now();
    if (!delayed_.empty() && delayed_.begin()->first <= now) {
        task = std::move(delayed_.begin()->second);
        delayed_.erase(delayed_.begin());
        return true;
    }
    for (auto& [id, t] : timers_) {
        if (t.next <= now && t.firedInPump != pump_) {
            t.firedInPump = pump_;
            t.next = now + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(t.interval));
            // Look the timer up again when it fires: a task before it may have cancelled it.
            task = [this, timerId = id] {
                std::function<void()> fn;
                {
                    std::lock_guard inner(mutex_);
                    const auto it = timers_.find(timerId);
                    if (it == timers_.end()) return;
                    fn = it->second.task;
                }
                fn();
            };
            return true;
        }
    }
    return false;
}

int ManualMainQueue::runPending() {
    {
        std::lock_guard lock(mutex_);
        ++pump_;
    }
    int ran = 0;
    std::function<void()> task;
    while (takeDue(task)) {
        task();
        ++ran;
    }
    return ran;
}

void ManualMainQueue::runFor(double seconds) {
    runUntil([] { return false; }, seconds);
}

bool ManualMainQueue::runUntil(const std::function<bool()>& pred, double timeoutSeconds) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(timeoutSeconds));
    for (;;) {
        runPending();
        if (pred()) return true;
        if (Clock::now() >= end) return false;
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(2), [&] { return !ready_.empty(); });
    }
}

void ManualMainQueue::fireTimers() {
    std::vector<TimerId> ids;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, t] : timers_)
            ids.push_back(id);
    }
    for (TimerId id : ids) {
        std::function<void()> fn;
        {
            std::lock_guard lock(mutex_);
            const auto it = timers_.find(id);
            if (it == timers_.end()) continue;
            fn = it->second.task;
        }
        fn();
    }
}

}  // namespace housetone
