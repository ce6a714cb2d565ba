#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/clock.h"

namespace housetone {

// Counting semaphore whose deadlines are in a Clock's time. signal() takes a short, uncontended
// lock; an audio callback may call it once per playback to hand over, never per buffer.
class Semaphore {
  public:
    explicit Semaphore(Clock& clock, long initial = 0) : clock_(clock), count_(initial) {}

    void signal();
    void wait();
    // True when a unit was taken before clock.now() reached `deadline` (clock seconds).
    bool waitUntil(double deadline);
    bool waitFor(double seconds) { return waitUntil(clock_.now() + seconds); }

  private:
    Clock& clock_;
    std::mutex mutex_;
    std::condition_variable cv_;
    long count_;
};

}  // namespace housetone
