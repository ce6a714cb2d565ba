#include "audio/aggregate_layout.h"

#include <algorithm>

namespace housetone {

std::vector<std::uint32_t> StreamLayout::channels(AudioScope scope) const {
    std::vector<std::uint32_t> out;
    for (const LayoutStream& s : scope == scope::input ? inputs : outputs)
        out.push_back(s.channels);
    return out;
}

StreamLayout aggregateLayout(const AggregateDescription& d,
                             const std::vector<LayoutMember>& members, bool withTaps) {
    StreamLayout layout;
    if (withTaps && d.taps)
        for (std::size_t t = 0; t < d.taps->size(); ++t)
            layout.inputs.push_back({tapChannels, t, {}});
    for (std::size_t m = 0; m < members.size(); ++m)
        if (members[m].inputChannels > 0)
            layout.inputs.push_back({members[m].inputChannels, std::nullopt, {m}});
    if (d.stacked) {
        LayoutStream shared;
        for (std::size_t m = 0; m < members.size(); ++m) {
            shared.channels = std::max(shared.channels, members[m].outputChannels);
            shared.members.push_back(m);
        }
        if (shared.channels > 0) layout.outputs.push_back(std::move(shared));
    } else {
        for (std::size_t m = 0; m < members.size(); ++m)
            if (members[m].outputChannels > 0)
                layout.outputs.push_back({members[m].outputChannels, std::nullopt, {m}});
    }
    return layout;
}

StreamLayout deviceLayout(const LayoutMember& device) {
    return aggregateLayout(AggregateDescription{}, {device}, false);
}

}  // namespace housetone
