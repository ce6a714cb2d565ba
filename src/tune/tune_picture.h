#pragma once

// What a tune's picture shows, gathered from what the run recorded anyway: no extra playback.

#include <map>
#include <string>
#include <vector>

#include "core/dev.h"
#include "tune/fire_check.h"
#include "tune/latency_measure.h"

namespace housetone {

struct TunePicture {
    struct Speaker {
        std::string name;
        std::string uid;
        bool heard = false;   // in the all-together recording; the times below only when heard
        double beforeMs = 0;  // its arrival there, after the earliest speaker's
        double offsetMs = 0;  // the offset the tune applied, 0 when it applied none
        bool capped = false;  // the offset limit cut that offset short
        double afterMs = 0;   // its arrival with the offset, on the same axis
        bool operator==(const Speaker&) const = default;
    };
    int pass = 0;                   // the pass shown: the one whose offsets were kept
    double limitMs = 0;             // the longest offset there is
    std::vector<Speaker> speakers;  // in the run's speaker order
    // The click check after the offsets: its arrivals, the main one placed where the speakers
    // were to land, and its envelope in 1 ms steps from `envelopeStartMs` on that axis (0…1).
    std::vector<Arrival> clicks;
    double envelopeStartMs = 0;
    std::vector<float> envelope;

    bool operator==(const TunePicture&) const = default;
};

// The span of a picture's millisecond axis, which follows what the picture shows rather than the
// offset limit: a tune of speakers a few ms apart is drawn as wide as one seconds apart.
struct TuneAxis {
    double startMs = 0;
    double endMs = 0;
    double tickMs = 0;  // a labelled tick every so many ms, about eight across the axis at most
    // The limit's far end (the landing less the limit) lies on the axis, so its span is drawn:
    // always when the limit cut an offset short, since that speaker arrived before it.
    bool showsLimit = false;
};
// Every arrival (before and after the offsets) and the envelope, from 0 at the earliest arrival,
// rounded out to whole 50 ms.
TuneAxis tuneAxis(const TunePicture& picture);

// The picture of one pass. together: the results of the pass's all-together recording; applied:
// UID -> ms the pass applied; capped: UIDs whose offset the limit cut; click and envelope: the
// pass's click check (empty when it heard nothing).
TunePicture pictureOfPass(int pass, const std::vector<Dev>& speakers,
                          const std::map<std::string, LatencyResult>& together,
                          const std::map<std::string, double>& applied,
                          const std::vector<std::string>& capped, double limitMs,
                          const std::vector<Arrival>& clicks, const ClickEnvelope& envelope);

}  // namespace housetone
