#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_hardware.h"
#include "core/dev.h"
#include "core/text.h"
#include "tune/correlation.h"
#include "tune/latency_measure.h"

namespace housetone {

// What the fire checks of one pass found. Filled by the click check and then the sweep check.
struct FireCheck {
    double worstMs = 0;       // latest late arrival over both checks, ms; 0 when nothing was late
    bool conclusive = false;  // at least one check heard something
    std::vector<std::string> lines;  // one per check, in the order they ran
};

// One peak heard by a fire check, relative to the main arrival.
struct Arrival {
    double timeMs = 0;    // after the main arrival; negative before it
    double strength = 0;  // correlation value over the strongest peak's, 0..1
    bool operator==(const Arrival&) const = default;
};

// nullopt: the check could not run (no microphone, no player, silent recording).
using FireResult = std::optional<std::vector<Arrival>>;

// How strongly the click check heard its clicks over time: the largest correlation in each
// millisecond, over the strongest overall (0…1), from `startMs` relative to the main arrival.
struct ClickEnvelope {
    double startMs = 0;
    std::vector<float> perMs;
};

// Plays the three-click pattern (amplitude 0.55) on every speaker at once, each held back by its
// expected offset (UID -> ms), records with `micDevice` (built-in microphone when absent) and
// returns every arrival in time order. reachMs: how late after the others a speaker may still
// arrive and be heard (see recordPlayback); a speaker later than that passes unheard, so it must
// cover whatever the measurements could have got wrong. Blocks the tuner's queue for about 3 s
// plus the longest offset, and the reach beyond the near one, in hw.clock() time.
// `envelope`, when given, receives the clicks' envelope (left empty when nothing was heard).
FireResult fireCheckClicks(AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                           const std::vector<Dev>& speakers,
                           const std::map<std::string, double>& expected,
                           ClickEnvelope* envelope = nullptr, double reachMs = nearReachMs);
// As fireCheckClicks with the 0.8 s rising sweep (amplitude 0.45).
FireResult fireCheckSweep(AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                          const std::vector<Dev>& speakers,
                          const std::map<std::string, double>& expected,
                          double reachMs = nearReachMs);
// The two checks with a tune's session (its microphone), whose player must be open over
// `speakers` or not yet open.
FireResult fireCheckClicks(MeasureSession& session, const std::vector<Dev>& speakers,
                           const std::map<std::string, double>& expected,
                           ClickEnvelope* envelope = nullptr, double reachMs = nearReachMs);
FireResult fireCheckSweep(MeasureSession& session, const std::vector<Dev>& speakers,
                          const std::map<std::string, double>& expected,
                          double reachMs = nearReachMs);

// The main arrival is the earliest peak with at least 0.45 of the strongest, so a faint early
// echo never becomes the reference. Peaks in index order; analysisRate in Hz. Empty when there
// are no peaks.
std::vector<Arrival> arrivalsFromPeaks(const std::vector<PickedPeak>& peaks, double analysisRate);

// Adds the check's line for `label` ("Clicks", "Sweep") to `check` and its peak list to `log`.
// An arrival counts as late when it is more than 12 ms after the main one and above 0.45 of it.
void fireReport(const std::string& label, const FireResult& result, FireCheck& check,
                std::vector<std::string>& log);

// printf into a std::string; every report and log text is built through it.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace housetone
