#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/main_queue.h"

namespace housetone {

// A main queue that the owning (test) thread pumps by hand. The thread that constructs it is the
// main thread.
class ManualMainQueue final : public MainQueue {
  public:
    ManualMainQueue();

    void post(std::function<void()> task) override;
    void postAfter(double seconds, std::function<void()> task) override;
    void runSync(const std::function<void()>& task) override;
    TimerId addTimer(double intervalSeconds, std::function<void()> task) override;
    void cancelTimer(TimerId id) override;
    bool isMainThread() const override { return std::this_thread::get_id() == mainThread_; }

    // Runs every task and timer that is due now (including tasks those tasks post); returns how
    // many ran.
    int runPending();
    // Pumps for `seconds` of real time, sleeping while nothing is due.
    void runFor(double seconds);
    // Pumps until pred() holds or `timeoutSeconds` passed; returns pred().
    bool runUntil(const std::function<bool()>& pred, double timeoutSeconds);
    // Fires every timer now as if its interval had passed (tests of periodic work).
    void fireTimers();

  private:
    using TimePoint = std::chrono::steady_clock::time_point;
    struct Timer {
        double interval;
        TimePoint next;
        std::function<void()> task;
        std::uint64_t firedInPump = 0;
    };
    bool takeDue(std::function<void()>& task);

    std::thread::id mainThread_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> ready_;
    std::multimap<TimePoint, std::function<void()>> delayed_;
    std::map<TimerId, Timer> timers_;
    TimerId nextTimer_ = 1;
    std::uint64_t pump_ = 0;  // runPending calls so far; a timer fires at most once per pump
};

}  // namespace housetone
