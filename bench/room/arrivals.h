#pragma once

#include <optional>
#include <string>
#include <vector>

namespace housetone::room {

// Plays a short noise burst to each sink in turn (every one of its channels), `repeats` rounds,
// one burst per window, and records the microphone through the same filter, so every burst and
// the recording share one clock. Each sink's arrival is the median over the rounds of the time
// from writing the burst to hearing it.
struct ArrivalRequest {
    std::string microphone;          // node.name of the source to record
    std::vector<std::string> sinks;  // node.name of each sink to play to
    double windowMs = 600;           // per burst: longer than any sink's arrival plus the burst
    double leadMs = 500;             // silence first, while the sinks wake up
    int repeats = 2;
    double burstMs = 10;
    double waitSeconds = 10;  // for nodes and ports that are not there yet
    double minClarity = 8;    // see findArrival
};

struct SinkArrival {
    std::string sink;
    std::vector<std::optional<double>> roundsMs;  // one per round; none where it was not heard
    std::optional<double> arrivalMs;              // the median of the rounds that heard it
};

struct ArrivalResult {
    double rate = 0;
    std::vector<SinkArrival> sinks;
    long long positionJumps = 0;   // cycles after which the graph skipped time
    long long missingBuffers = 0;  // cycles in which a port had no buffer
};

// False with `error` set when the graph, a node or a port failed, or the graph stopped.
bool measureArrivals(const ArrivalRequest& r, ArrivalResult& result, std::string& error);

}  // namespace housetone::room
