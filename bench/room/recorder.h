#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace housetone::room {

struct RecordRequest {
    std::vector<std::string> ports;  // "node.name:port.name" of output ports, one channel each
    double seconds = 10;             // recorded from the moment every port is linked
    double waitSeconds = 30;         // for ports that are not there yet (a client about to start)
    std::string out;                 // a float WAV; the port names go in its comment
};

// What a recording saw besides the sound.
struct RecordStats {
    double rate = 0;
    long long frames = 0;
    // Frames the file writer fell behind on and lost: a recording that has any is refused.
    long long overflowFrames = 0;
    // Cycles in which a linked port handed over no buffer (written as silence).
    long long missingBuffers = 0;
    // Cycles whose graph position did not follow on from the one before: the whole graph
    // skipped time there.
    long long positionJumps = 0;
    // The first recorded frame after each (the first thousands), and how far beyond the position
    // it was due at the graph went.
    std::vector<std::pair<std::uint64_t, long long>> jumps;
    long long longestCycle = 0;  // frames
    // Links that went while recording (a client that ended, a speaker that left).
    long long linksRemoved = 0;
};

// Records the ports through one filter, so every channel is sample-aligned (one process call per
// graph cycle for all). False with `error` set when the graph, a port or the file failed.
bool record(const RecordRequest& r, RecordStats& stats, std::string& error);

}  // namespace housetone::room
