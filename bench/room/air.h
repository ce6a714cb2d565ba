#pragma once

#include <atomic>
#include <string>

namespace housetone::room {

// The air between a speaker on one PipeWire graph and a room on another: what the speaker plays
// (its first monitor channel) comes out of a node of our own on the other graph a fixed time
// later. Both graphs stamp their cycles with the one monotonic clock, so the sound is placed by
// that time and not by counting cycles: a cycle one graph skips or runs late costs a gap, never a
// lasting change of the delay.
struct AirRequest {
    std::string fromRemote;  // the speaker's graph: its socket path
    std::string speaker;     // node.name of the sink whose sound travels
    std::string toRemote;    // the room's graph: its socket path
    std::string nodeName;    // node.name of the playing node made there (port "output_MONO")
    double delayMs = 60;     // from the speaker playing to the node playing; at least both cycles
    double waitSeconds = 10;
};

// Runs until `stop` is set; false with `error` set when a graph, the speaker or a port failed,
// or the delay cannot cover the two graphs' cycles.
bool carryAir(const AirRequest& r, const std::atomic<bool>& stop, std::string& error);

}  // namespace housetone::room
