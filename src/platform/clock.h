#pragma once

#include <chrono>

namespace housetone {

// Every sleep and every semaphore deadline in the program goes through a Clock, so a simulated
// audio system running faster than real time keeps sleeps meaningful in its own (sample) time.
class Clock {
  public:
    virtual ~Clock() = default;
    // Seconds since an arbitrary origin, monotonic.
    virtual double now() const = 0;
    // Blocks the calling thread for `seconds` of this clock's time.
    virtual void sleepFor(double seconds) = 0;
    // Real (steady) seconds that `seconds` of this clock's time are expected to take; used to pace
    // waits that cannot be woken by the clock itself (semaphore deadlines).
    virtual double realSecondsFor(double seconds) const { return seconds; }
};

// The wall clock: steady_clock seconds.
class SystemClock final : public Clock {
  public:
    double now() const override;
    void sleepFor(double seconds) override;
    static SystemClock& shared();
};

}  // namespace housetone
