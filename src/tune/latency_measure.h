#pragma once

#include <functional>
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
    // Whether the microphone heard this speaker's own sweep. A muted or silent speaker's slot
    // still has a peak: the neighbours' opposite sweeps leak into its correlation, and with a
    // quiet microphone that leak stands far above the median. Only a peak that clearly beats
    // what the opposite template finds over the same stretch of recording, and that stands above
    // the recording's noise floor, is the speaker's own.
    bool heard = false;
    // The sweep lies beyond what the search around the other speakers' arrivals can see (the
    // full-range search found it elsewhere, or the peak sits at the window's edge): the latency
    // is not to be trusted.
    bool farApart = false;
    // The figures the judgement was made from, for the tune's log.
    double peak = 0;  // own correlation at the peak
    // Peak over the largest opposite-template value within a sweep's length of it; for a slot
    // not heard, the best such quotient anywhere in its window (among values above the floor).
    double clarity = 0;
    double floor = 0;  // noise floor of the recording's quiet lead-in, as a correlation level
};

class MeasureSession;
class SyncMeasure;

// How far apart, ms, the speakers of one measurement may arrive and still be placed against one
// another in the usual schedule, whose slots are 1.2 s apart. A measurement asked to reach
// further spaces its slots by its reach and listens longer, so it takes about twice as long.
inline constexpr double nearReachMs = 1000;

// A microphone recording of one measurement playback.
struct Recording {
    std::vector<float> samples;  // mono, at `rate`
    double rate = 0;             // the microphone's rate, Hz
};

// Records from `micDevice` (the built-in microphone when absent), with a capture and a player made
// for this one recording (see MeasureSession), while `startPlayer` starts a
// playback of `playSeconds`, waits for it (plus a grace period; a timeout is not an error) and
// for the last arrivals, then stops both. nullopt when the capture or the player cannot start,
// or when the microphone heard nothing at all (peak not above 1e-6). reachMs: how much later than
// the others a speaker may arrive; beyond the near reach the recording goes on for that much
// longer.
std::optional<Recording> recordPlayback(AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                                        double playSeconds,
                                        const std::function<bool(SyncMeasure&)>& startPlayer,
                                        double reachMs = nearReachMs);

// Plays a staggered sweep per speaker (rising on even positions, falling on odd) while recording
// from `micDevice` (the built-in microphone when absent), and reads each speaker's arrival from
// the correlation peak of its sweep. offsetsMs: UID -> ms each speaker is held back (absent = 0).
// Every speaker of a recording that was made has a result, heard or not; any failure (no
// capture, no player, nothing recorded) gives an empty map. reachMs: how far apart the speakers
// may arrive and still be placed (a speaker further off is heard far apart); the near reach keeps
// the usual schedule. Blocks the calling (tuner) thread for about 1.2 s per speaker plus 3 s
// within the near reach (a pair of speakers 10 s at a 3 s reach), in hw.clock() time.
std::map<std::string, LatencyResult> measureLatencies(
    AudioHardware& hw, std::optional<AudioObjectID> micDevice, const std::vector<Dev>& speakers,
    const std::map<std::string, double>& offsetsMs, double reachMs = nearReachMs);
// The same with a tune's session, whose player must be open over `speakers` (or not yet open).
std::map<std::string, LatencyResult> measureLatencies(
    MeasureSession& session, const std::vector<Dev>& speakers,
    const std::map<std::string, double>& offsetsMs, double reachMs = nearReachMs);
// How long measureLatencies plays for that many speakers at that reach, s.
double staggeredSeconds(std::size_t speakers, double reachMs);

}  // namespace housetone
