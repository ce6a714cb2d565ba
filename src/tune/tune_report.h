#pragma once

// The record of an auto-tune's passes and the report text made from it.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/dev.h"
#include "tune/fire_check.h"

namespace housetone {

// A speaker whose offset the engine's delay limit cut short.
struct CappedSpeaker {
    std::string name;
    double needMs = 0;   // the offset it needs
    double earlyMs = 0;  // how much earlier than the rest it will therefore play
    double limitMs = 0;  // the limit that cut it
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
    double reachMs = nearReachMs;       // how far from the others `tooFar` were looked for
    // How far the speaker still moving when the pass last measured it moved then, ms (the
    // farthest, when several were; see FusedPass::unsettled); 0 when none was.
    double movedMs = 0;
};

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

// The conclusive pass with the smallest worst lateness, one that found every speaker at rest
// before any that did not; on ties, the one whose speaker still moving took the smallest last
// step, then the earliest. Else the first. passes must not be empty.
const TunePass& chooseBestPass(const std::vector<TunePass>& passes);

// How the pass loop ended, as far as the report's status line cares.
enum class TuneEnd { normal, reflection, cancelled };

// The text handed to `finished` when at least one pass completed. last: number of the last pass
// run; notes: everything gathered for the "Notes: " line, in order. bluetooth: a Bluetooth
// speaker or microphone took part, so wandering Bluetooth latency may be blamed.
std::string tuneReport(const std::vector<TunePass>& passes, const std::vector<std::string>& notes,
                       int last, TuneEnd end, bool bluetooth);

}  // namespace housetone
