#pragma once

#include "audio/audio_hardware.h"

namespace housetone::sim {

class SimHardware;

// The simulated hardware's clock: time is the number of frames the world has rendered, so sleeps
// last the same number of samples at any speed. It reads the world only through its public
// calls.
class SimClock final : public Clock {
  public:
    explicit SimClock(SimHardware& system) : system_(system) {}
    double now() const override;
    void sleepFor(double seconds) override;
    double realSecondsFor(double seconds) const override;

  private:
    SimHardware& system_;
};

}  // namespace housetone::sim
