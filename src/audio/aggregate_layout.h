#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "audio/audio_hardware.h"

namespace housetone {

// The channels one member of an aggregate (or one plain device) presents.
struct LayoutMember {
    std::uint32_t inputChannels = 0;
    std::uint32_t outputChannels = 0;
};

// One buffer of a callback's buffer list, and where its channels come from or go to.
struct LayoutStream {
    std::uint32_t channels = 0;
    // Inputs only: the description's tap (index into its taps) this stream carries.
    std::optional<std::size_t> tap;
    // The members (index into the list the layout was made from) whose input this stream records,
    // or that play this output stream: one, or every member of a stacked aggregate.
    std::vector<std::size_t> members;
};

struct StreamLayout {
    std::vector<LayoutStream> inputs, outputs;

    // Channels per stream, as the stream configuration of `scope` reports them.
    std::vector<std::uint32_t> channels(AudioScope scope) const;
};

// Every tap presents one stereo stream.
constexpr std::uint32_t tapChannels = 2;

// How an aggregate presents its members (those of its subdevices that exist, in subdevice order):
// inputs are each tap's stereo stream first (when `withTaps`), then every member's input; outputs
// are one stream per member output, or, stacked, one stream as wide as the widest member that
// every member plays. The property answers and the callback buffers both come from this, so a
// channel always reaches the speaker the program addressed.
StreamLayout aggregateLayout(const AggregateDescription& d,
                             const std::vector<LayoutMember>& members, bool withTaps = true);

// A plain device: its input stream and its output stream, where it has them.
StreamLayout deviceLayout(const LayoutMember& device);

}  // namespace housetone
