#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "audio/audio_hardware.h"
#include "core/dev.h"

namespace housetone {

// One record per speaker in order; drift 0 only for the main UID.
std::vector<SubdeviceRecord> subdeviceList(const std::vector<Dev>& speakers,
                                           const std::string& mainUID);
// The device id, or nullopt unless the status is noErr and the id is not 0.
std::optional<AudioObjectID> createAggregate(AudioHardware& hw, const AggregateDescription& d);
void destroyAggregate(AudioHardware& hw, AudioObjectID device);

// The six-key description of the public "All Speakers" multi-output device: main speaker is the
// first built-in one, else the first.
AggregateDescription allSpeakersDescription(const std::vector<Dev>& included);

// Replaces any earlier "All Speakers" (moving the default output off it to the reference speaker
// first when it was the default), creates the new one and waits 400 ms on the hardware clock for
// it to settle. `reference` is asked for the controller's reference speaker only when needed.
// `included` holds at least two speakers (the caller checks). The two halves below, in order.
std::optional<AudioObjectID> createAllSpeakers(
    AudioHardware& hw, const std::vector<Dev>& included,
    const std::function<std::optional<Dev>()>& reference);

// When the system output is the existing "All Speakers", moves it to the reference speaker, so
// that nothing playing loses its output when that copy goes. Quick.
void moveOutputOffAllSpeakers(AudioHardware& hw,
                              const std::function<std::optional<Dev>()>& reference);
// Destroys any existing "All Speakers", creates the new one and lets it settle. This waits on the
// audio system (an old device to go, a new one to appear), so it belongs off the main thread.
std::optional<AudioObjectID> replaceAllSpeakers(AudioHardware& hw,
                                                const std::vector<Dev>& included);

}  // namespace housetone
