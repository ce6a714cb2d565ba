#pragma once

#include <string>
#include <vector>

#include "audio/sim/room.h"
#include "core/dev.h"

namespace housetone::testsupport {

// A USB speaker named after its UID, at a given latency and distance.
inline sim::OutputSpec speaker(const std::string& uid, double latencyMs, double distanceM) {
    sim::OutputSpec o;
    o.name = uid;
    o.uid = uid;
    o.transport = transport::usb;
    o.latencyMs = latencyMs;
    o.distanceM = distanceM;
    return o;
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
