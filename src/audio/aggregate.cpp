#include "audio/aggregate.h"

#include "audio/device_access.h"

namespace housetone {

std::vector<SubdeviceRecord> subdeviceList(const std::vector<Dev>& speakers,
                                           const std::string& mainUID) {
    std::vector<SubdeviceRecord> out;
    out.reserve(speakers.size());
    for (const Dev& d : speakers)
        out.push_back({d.uid, d.uid == mainUID ? 0 : 1});
    return out;
}

std::optional<AudioObjectID> createAggregate(AudioHardware& hw, const AggregateDescription& d) {
    AudioObjectID id = 0;
    if (hw.createAggregateDevice(d, id) != noErr || id == 0) return std::nullopt;
    return id;
}

void destroyAggregate(AudioHardware& hw, AudioObjectID device) {
    hw.destroyAggregateDevice(device);
}

AggregateDescription allSpeakersDescription(const std::vector<Dev>& included) {
    const Dev* main = included.empty() ? nullptr : &included.front();
    for (const Dev& d : included) {
        if (d.isBuiltIn()) {
            main = &d;
            break;
        }
    }
    AggregateDescription desc;
    desc.name = "All Speakers";
    desc.uid = allSpeakersUID;
    desc.isPrivate = 0;
    desc.stacked = 1;
    desc.master = main ? main->uid : std::string{};
    desc.subdevices = subdeviceList(included, desc.master);
    return desc;
}

std::optional<AudioObjectID> createAllSpeakers(
    AudioHardware& hw, const std::vector<Dev>& included,
    const std::function<std::optional<Dev>()>& reference) {
    moveOutputOffAllSpeakers(hw, reference);
    return replaceAllSpeakers(hw, included);
}

void moveOutputOffAllSpeakers(AudioHardware& hw,
                              const std::function<std::optional<Dev>()>& reference) {
    const auto existing = deviceForUID(hw, allSpeakersUID);
    if (!existing) return;
    if (const auto out = defaultOutput(hw); out && *out == *existing) {
        if (const auto ref = reference ? reference() : std::nullopt) setDefaultOutput(hw, ref->id);
    }
}

std::optional<AudioObjectID> replaceAllSpeakers(AudioHardware& hw,
                                                const std::vector<Dev>& included) {
    if (const auto existing = deviceForUID(hw, allSpeakersUID)) destroyAggregate(hw, *existing);
    const auto id = createAggregate(hw, allSpeakersDescription(included));
    if (!id) return std::nullopt;
    hw.clock().sleepFor(0.4);
    return id;
}

}  // namespace housetone
