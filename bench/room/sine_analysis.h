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

// Frames by which `later`'s sound starts after `reference`'s (negative when before); nothing when
// either is silent.
std::optional<long> onsetLag(const SineChannel& reference, const SineChannel& later);

// Where each break of a channel came from.
struct BreakSources {
    std::size_t reference = 0;  // the reference's own breaks, arriving `lag` frames later
    std::size_t graph = 0;      // at a moment the whole graph skipped time, whatever the lag
    std::size_t added = 0;      // neither: added by the path from the reference
};

// Sorts `breaks` by where they came from, each within `tolerance` frames; `graphJumps` are the
// frames at which the recording's graph position jumped, in order.
BreakSources attributeBreaks(const std::vector<std::size_t>& breaks,
                             const std::vector<std::size_t>& referenceBreaks, long lag,
                             const std::vector<std::size_t>& graphJumps, std::size_t tolerance);

}  // namespace housetone::room
