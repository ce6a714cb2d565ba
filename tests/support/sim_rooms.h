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

// A simulated speaker named after its UID and on USB unless `s` says otherwise.
inline sim::OutputSpec speaker(const std::string& uid, sim::OutputSpec s = {}) {
    s.uid = uid;
    if (s.name.empty()) s.name = uid;
    if (!s.transport) s.transport = transport::usb;
    return s;
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
