#pragma once

#include <cstdint>
#include <functional>

namespace housetone {

// The main thread's task queue. Delays and timers run in real time: they pace what a person sees,
// unlike the audio Clock. The Qt app implements it on its event loop; tests use ManualMainQueue.
class MainQueue {
  public:
    using TimerId = std::uint64_t;
    virtual ~MainQueue() = default;

    // Thread-safe: may be called from any thread.
    virtual void post(std::function<void()> task) = 0;
    virtual void postAfter(double seconds, std::function<void()> task) = 0;
    // Runs `task` on the main thread and waits for it; inline when already on the main thread.
    virtual void runSync(const std::function<void()>& task) = 0;

    // Main thread only. The first firing is one interval from now.
    virtual TimerId addTimer(double intervalSeconds, std::function<void()> task) = 0;
    // After this returns the timer never fires again; unknown ids are ignored.
    virtual void cancelTimer(TimerId id) = 0;
    virtual bool isMainThread() const = 0;
};

}  // namespace housetone
