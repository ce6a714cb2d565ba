#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace housetone::room {

struct SineOptions {
    double rate = 48000;
    double frequency = 1000;
    // A frame breaks the sine when what the sine's own recurrence cannot explain of it exceeds
    // this share of the amplitude. A whole cycle skipped or repeated at 1 kHz moves the phase by
    // a multiple of a period and goes unseen; any other skip, repeat or hole does not.
    double threshold = 0.05;
    // Breaks this close together are one event: a hole's two edges, a burst of clicks.
    double mergeMs = 10;
    // The first and last sounding frame: above this share of the channel's peak.
    double soundFraction = 0.1;
};

// What one recorded channel holds of a steady sine.
struct SineChannel {
    bool sound = false;               // anything above digital silence at all
    std::size_t first = 0, last = 0;  // the first and last sounding frame
    double amplitude = 0;             // from the power between them
    std::vector<std::size_t> breaks;  // the first frame of each event, in order
};

// Finds where the sine in `x` breaks between its first and last sound; the silence before and
// after, and the edges of the sound itself, are not breaks.
SineChannel analyseSine(std::span<const float> x, const SineOptions& o);

// A moment the whole graph skipped time while it was recorded: the recording runs on from one
// cycle to the next, so every channel jumps there at once.
struct GraphJump {
    std::size_t frame = 0;  // the first recorded frame after the skip
    long frames = 0;        // how far the graph's position went beyond where it was due
};

// A recorded frame's place on the graph's own clock, which counts the time skipped before it;
// `jumps` in order of frame.
long graphFrame(std::size_t frame, const std::vector<GraphJump>& jumps);

// Graph frames by which `later`'s sound starts after `reference`'s (negative when before);
// nothing when either is silent.
std::optional<long> onsetLag(const SineChannel& reference, const SineChannel& later,
                             const std::vector<GraphJump>& jumps);

// Where each break of a channel came from.
struct BreakSources {
    std::size_t reference = 0;  // the reference's own breaks, arriving `lag` graph frames later
    std::size_t graph = 0;      // at a skip of the whole graph, or in the cycle after it
    std::size_t added = 0;      // neither: added by the path from the reference
};

// Sorts `breaks` by where they came from, each within `tolerance` frames. A callback learns of a
// late or skipped cycle from the position it is handed and may pass it on a cycle later, so
// both a reference break's arrival and a skip reach `cycle` frames further.
BreakSources attributeBreaks(const std::vector<std::size_t>& breaks,
                             const std::vector<std::size_t>& referenceBreaks, long lag,
                             const std::vector<GraphJump>& jumps, std::size_t cycle,
                             std::size_t tolerance);

}  // namespace housetone::room
