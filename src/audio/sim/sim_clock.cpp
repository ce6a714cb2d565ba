#include "audio/sim/sim_clock.h"

#include <chrono>
#include <cmath>
#include <thread>

#include "audio/sim/sim_audio_system.h"

namespace housetone::sim {

double SimClock::now() const {
    return static_cast<double>(system_.frame()) / system_.sampleRate();
}

void SimClock::sleepFor(double seconds) {
    if (seconds <= 0) return;
    const auto target =
        system_.frame() + static_cast<std::int64_t>(std::ceil(seconds * system_.sampleRate()));
    if (!system_.worldRunning()) {
        std::this_thread::sleep_for(std::chrono::duration<double>(realSecondsFor(seconds)));
        return;
    }
    system_.waitForFrame(target);
}

double SimClock::realSecondsFor(double seconds) const {
    return system_.speed() > 0 ? seconds / system_.speed() : seconds / 1000.0;
}

}  // namespace housetone::sim
