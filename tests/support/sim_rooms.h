#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "audio/sim/room.h"
#include "core/dev.h"

namespace housetone::testsupport {

// The simulator speed for a test that measures acoustically. Measurements leave a second or so of
// simulated slack, and every real millisecond of scheduling delay costs `speed` simulated ones;
// a sanitizer build runs the program several times slower, so scripts/sanitize.sh sets
// HOUSETONE_TEST_SLOWDOWN to divide the speed by it.
inline double measuringSpeed(double speed) {
    const char* slowdown = std::getenv("HOUSETONE_TEST_SLOWDOWN");
    const double k = slowdown ? std::atof(slowdown) : 1.0;
    return k > 1.0 ? speed / k : speed;
}

// The fields a test varies on a simulated speaker; everything else keeps the simulator's default.
struct SpeakerSpec {
    std::string name;  // the UID when empty
    std::uint32_t transport = transport::usb;
    int channels = 2;
    double latencyMs = 0;
    double distanceM = 1;
    double level = 1;
    bool hasMute = true;
    bool muted = false;
};

inline sim::OutputSpec speaker(const std::string& uid, const SpeakerSpec& s = {}) {
    return {.name = s.name.empty() ? uid : s.name,
            .uid = uid,
            .transport = s.transport,
            .channels = s.channels,
            .latencyMs = s.latencyMs,
            .distanceM = s.distanceM,
            .level = s.level,
            .hasMute = s.hasMute,
            .muted = s.muted};
}

// A USB speaker at a given latency and distance.
inline sim::OutputSpec speaker(const std::string& uid, double latencyMs, double distanceM) {
    return speaker(uid, {.latencyMs = latencyMs, .distanceM = distanceM});
}

// No system audio and a noiseless built-in microphone "mic": only what a test plays is heard.
inline sim::RoomSpec quietRoom(std::vector<sim::OutputSpec> outs) {
    sim::RoomSpec r;
    r.systemAudio = "silence";
    r.outputs = std::move(outs);
    r.inputs.push_back({"Mic", "mic", transport::builtIn, 1, 0.0});
    return r;
}

}  // namespace housetone::testsupport
