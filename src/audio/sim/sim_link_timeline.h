#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>

#include "audio/sim/room.h"
#include "audio/sim/sim_io_callbacks.h"
#include "audio/sim/sim_object_table.h"

namespace housetone::sim {

// What happens to the outputs' links while the world runs: each output's timed changes (a new
// latency, reported latency, codec or profile in place; or a departure, as an unplugged device
// leaves, and a return with the new values), its drift and its wobble.
// Thread-safety: none of its own; every call is made with the hardware's mutex held, and advance()
// runs on the hardware thread before each buffer is rendered, so a buffer sees one state of every
// link.
class LinkTimeline {
  public:
    // Follows the room's outputs from world frame 0.
    LinkTimeline(const RoomSpec& room, ObjectTable& objects, IOCallbacks& callbacks);

    // Follows an output added at world frame `frame`, in place of any earlier one with its uid.
    // Its changes' times still count from the room's start.
    void follow(const OutputSpec& device, std::int64_t frame);
    // Stops following an output that was removed by hand: nothing brings it back.
    void forget(const std::string& uid);
    // Brings every link to the buffer that starts at world frame `t`: due changes, departures and
    // returns, then each present output's drift and wobble as they will be at its end, which the
    // renderer glides to over the buffer.
    void advance(std::int64_t t);

  private:
    struct Link {
        OutputSpec device;  // its values as of the last change
        std::size_t next = 0;
        std::int64_t setAt = 0;  // when its latency was last set: the drift counts from here
        std::optional<std::int64_t> backAt;  // while it is gone
        std::optional<InputSpec> inputSide;  // a headset's microphone leaves and returns with it
        bool wasDefaultOutput = false, wasDefaultInput = false;  // and is the default again
        double wobbleMs = 0, wobbleTargetMs = 0, wobbleStepMs = 0;
        std::mt19937_64 rng;
    };

    void apply(Link& link, const LinkChange& change, std::int64_t t);
    void leave(Link& link, std::int64_t backAt);
    void comeBack(Link& link, std::int64_t t);
    void wander(Link& link);

    const double rate_;
    const int bufferFrames_;
    const std::uint64_t seed_;
    ObjectTable& objects_;
    IOCallbacks& callbacks_;
    std::map<std::string, Link> links_;  // by uid: only outputs with something timed
};

}  // namespace housetone::sim
