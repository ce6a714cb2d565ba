#include "tune/tune_picture.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace housetone {

TunePicture pictureOfPass(int pass, const std::vector<Dev>& speakers,
                          const std::map<std::string, LatencyResult>& together,
                          const std::map<std::string, double>& applied,
                          const std::vector<std::string>& capped, double limitMs,
                          const std::vector<Arrival>& clicks, const ClickEnvelope& envelope) {
    TunePicture p{.pass = pass, .limitMs = limitMs, .clicks = clicks};
    double earliest = std::numeric_limits<double>::infinity();
    for (const auto& [uid, r] : together)
        if (r.heard) earliest = std::min(earliest, r.latencyMs);
    double landing = 0;  // where the offsets bring the speakers, on the same axis
    for (const Dev& d : speakers) {
        TunePicture::Speaker s{.name = d.name, .uid = d.uid};
        const auto r = together.find(d.uid);
        s.heard = r != together.end() && r->second.heard;
        if (const auto a = applied.find(d.uid); a != applied.end()) s.offsetMs = a->second;
        s.capped = std::ranges::find(capped, d.uid) != capped.end();
        if (s.heard) {
            s.beforeMs = r->second.latencyMs - earliest;
            s.afterMs = s.beforeMs + s.offsetMs;
            if (!s.capped) landing = std::max(landing, s.afterMs);
        }
        p.speakers.push_back(std::move(s));
    }
    // The check's main arrival is the moment the speakers were meant to land together.
    for (Arrival& a : p.clicks)
        a.timeMs += landing;
    p.envelopeStartMs = envelope.startMs + landing;
    p.envelope = envelope.perMs;
    return p;
}

TuneAxis tuneAxis(const TunePicture& p) {
    constexpr double roundingMs = 50;  // the axis ends on whole multiples of this
    double lo = 0, hi = 0, landing = 0;
    for (const auto& s : p.speakers) {
        if (!s.heard) continue;
        hi = std::max({hi, s.beforeMs, s.afterMs});
        if (!s.capped) landing = std::max(landing, s.afterMs);
    }
    if (!p.envelope.empty()) {
        lo = std::min(lo, p.envelopeStartMs);
        hi = std::max(hi, p.envelopeStartMs + double(p.envelope.size()));
    }
    TuneAxis axis{.startMs = std::floor(lo / roundingMs) * roundingMs,
                  .endMs = std::ceil((hi + 1) / roundingMs) * roundingMs};
    const double span = axis.endMs - axis.startMs;
    axis.tickMs = span <= 400    ? 50
                  : span <= 800  ? 100
                  : span <= 1600 ? 200
                  : span <= 4000 ? 500
                                 : 1000;
    axis.showsLimit = landing - p.limitMs >= axis.startMs;
    return axis;
}

}  // namespace housetone
