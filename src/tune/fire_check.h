#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio/audio_hardware.h"
#include "core/dev.h"
#include "core/text.h"
#include "tune/correlation.h"

namespace housetone {

// What the fire checks of one pass found. Filled by the click check and then the sweep check.
struct FireCheck {
    double worstMs = 0;       // latest late arrival over both checks, ms; 0 when nothing was late
    bool conclusive = false;  // at least one check heard something
    std::vector<std::string> lines;  // one per check, in the order they ran
};

// A speaker whose offset the engine's delay limit cut short.
struct CappedSpeaker {
    std::string name;
    double needMs = 0;   // the offset it needs
    double earlyMs = 0;  // how much earlier than the rest it will therefore play
};

// One completed auto-tune pass. Never changed once recorded.
struct TunePass {
    int index = 0;                          // pass number, from 1
    std::map<std::string, double> offsets;  // UID -> ms the pass applied
    FireCheck check;
    std::string slowest;                  // name of the speaker with the greatest measured latency
    std::string appliedTxt;               // "Kitchen 0 ms, Den 35 ms"
    std::vector<std::string> unmeasured;  // names, in speaker-list order
    // Speakers the microphone did not hear, each with its likely reason: "Desk (muted)".
    std::vector<std::string> notHeard;
    // Speakers heard only beyond the search around the others: no offset could be trusted.
    std::vector<std::string> tooFar;
    std::vector<CappedSpeaker> capped;  // in speaker-list order
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
// returns every arrival in time order. Blocks the tuner's queue for about 3 s plus the longest
// offset, in hw.clock() time.
// `envelope`, when given, receives the clicks' envelope (left empty when nothing was heard).
FireResult fireCheckClicks(AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                           const std::vector<Dev>& speakers,
                           const std::map<std::string, double>& expected,
                           ClickEnvelope* envelope = nullptr);
// As fireCheckClicks with the 0.8 s rising sweep (amplitude 0.45).
FireResult fireCheckSweep(AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                          const std::vector<Dev>& speakers,
                          const std::map<std::string, double>& expected);

// The main arrival is the earliest peak with at least 0.45 of the strongest, so a faint early
// echo never becomes the reference. Peaks in index order; analysisRate in Hz. Empty when there
// are no peaks.
std::vector<Arrival> arrivalsFromPeaks(const std::vector<PickedPeak>& peaks, double analysisRate);

// Adds the check's line for `label` ("Clicks", "Sweep") to `check` and its peak list to `log`.
// An arrival counts as late when it is more than 12 ms after the main one and above 0.45 of it.
void fireReport(const std::string& label, const FireResult& result, FireCheck& check,
                std::vector<std::string>& log);

struct PassSummary {
    std::string slowest;
    std::string appliedTxt;
    std::vector<std::string> unmeasured;
};

// measured: the speakers with a latency, in list order; latency: UID -> ms relative to the
// reference (without engine trim); applied: UID -> ms; speakers: the whole list; explained: UIDs
// the report names on a line of their own (not heard, too far apart), left out of `unmeasured`.
PassSummary passSummary(const std::vector<Dev>& measured,
                        const std::map<std::string, double>& latency,
                        const std::map<std::string, double>& applied,
                        const std::vector<Dev>& speakers,
                        const std::set<std::string>& explained = {});

// The conclusive pass with the smallest worst lateness (the earliest on ties), else the first.
// passes must not be empty.
const TunePass& chooseBestPass(const std::vector<TunePass>& passes);

// How the pass loop ended, as far as the report's status line cares.
enum class TuneEnd { normal, reflection, cancelled };

// The text handed to `finished` when at least one pass completed. last: number of the last pass
// run; notes: everything gathered for the "Notes: " line, in order. bluetooth: a Bluetooth
// speaker or microphone took part, so wandering Bluetooth latency may be blamed.
std::string tuneReport(const std::vector<TunePass>& passes, const std::vector<std::string>& notes,
                       int last, TuneEnd end, bool bluetooth);

// printf into a std::string; every report and log text is built through it.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace housetone
