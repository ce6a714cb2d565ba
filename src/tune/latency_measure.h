#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_hardware.h"
#include "core/dev.h"

namespace housetone {

struct LatencyResult {
    // ms from the start of the recording to the speaker's arrival, minus its scheduled time. The
    // recording's own start offset is common to all speakers of one measurement, so only
    // differences between speakers measured together mean anything.
    double latencyMs = 0;
    double ratio = 0;  // correlation peak over its window's median; 0 for a silent window
};

// Plays a staggered sweep per speaker (rising on even positions, falling on odd) while recording
// from `micDevice` (the built-in microphone when absent), and reads each speaker's arrival from
// the correlation peak of its sweep. offsetsMs: UID -> ms each speaker is held back (absent = 0).
// Speakers whose sweep cannot be found are missing from the result; any failure gives an empty
// map. Blocks the calling (tuner) thread for about 1.2 s per speaker plus 3 s, in hw.clock() time.
std::map<std::string, LatencyResult> measureLatencies(
    AudioHardware& hw, std::optional<AudioObjectID> micDevice, const std::vector<Dev>& speakers,
    const std::map<std::string, double>& offsetsMs);

}  // namespace housetone
