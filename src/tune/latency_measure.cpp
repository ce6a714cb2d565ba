#include "tune/latency_measure.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "tune/correlation.h"
#include "tune/measure_session.h"
#include "tune/sync_measure.h"
#include "tune/test_signals.h"

namespace housetone {

namespace {
constexpr double sweepSeconds = 0.8;
constexpr double leadSeconds = 0.4;
constexpr double spacingSeconds = 1.2;
constexpr double tailSeconds = 1.6;   // room for late speakers and reverberation
constexpr double wideBeforeMs = 250;  // wide search, ms before the scheduled time
constexpr double wideAfterMs = 1800;  // ... and after it
// Silence between one slot's sweep and the next in a far measurement, s, even when the later
// speaker is as early against the earlier one as the reach allows.
constexpr double farGapSeconds = 0.4;
constexpr double edgeMs = 2;  // a peak this close to the edge may lie beyond it

// How one measurement lays its slots out and searches them.
struct Schedule {
    double spacingSeconds = 0;
    double wideAfterMs = 0;  // how far after the scheduled time the full-range search reaches
    // Narrow search, ms either side of the expected arrival; also what a pair may differ by.
    double narrowMs = 0;
};

// Within the near reach: slots 1.2 s apart. The same sweep direction comes back 2 × spacing
// later, so the narrow search may reach almost a spacing either way; the opposite sweeps in
// between are told apart by the heard test. Beyond it the sweeps of one direction would meet
// again inside the search, so the slots stand apart by the whole reach and a sweep: however
// early or late one speaker is against another within the reach, no sweep overlaps another
// slot's, and every search reaches that much later (nothing arrives before its scheduled time).
Schedule scheduleFor(double reachMs) {
    if (!(reachMs > nearReachMs)) return {spacingSeconds, wideAfterMs, nearReachMs};
    return {reachMs / 1000.0 + sweepSeconds + farGapSeconds, wideAfterMs + reachMs, reachMs};
}

// A speaker's own sweep beats the opposite template over its stretch by about 30 (the two
// sweeps cross only briefly); a silent slot's best value is the leak of a neighbour's opposite
// sweep, about 1/50 of what the opposite template finds there. 3 sits well inside that gap.
constexpr double crossShare = 3.0;
// White-noise correlation stays within about 4.5 standard deviations over a window; a speaker
// barely above the microphone's noise still clears the floor hundreds of times over. (For white
// noise the opposite template's span maximum already rules such peaks out; the floor also holds
// for noise that is not white.)
constexpr double floorFactor = 8.0;

// Largest |c| over [k - reach, k + reach] for every k (a running maximum over a deque of
// candidates, so each value enters and leaves once).
std::vector<float> spanMax(const std::vector<float>& c, std::int64_t reach) {
    const auto n = static_cast<std::int64_t>(c.size());
    std::vector<float> out(c.size());
    std::vector<std::int64_t> dq(c.size());
    std::size_t head = 0, tail = 0;
    std::int64_t next = 0;
    for (std::int64_t k = 0; k < n; ++k) {
        for (; next < n && next <= k + reach; ++next) {
            const float v = std::fabs(c[static_cast<std::size_t>(next)]);
            while (tail > head && std::fabs(c[static_cast<std::size_t>(dq[tail - 1])]) <= v)
                --tail;
            dq[tail++] = next;
        }
        while (dq[head] < k - reach)
            ++head;
        out[static_cast<std::size_t>(k)] = std::fabs(c[static_cast<std::size_t>(dq[head])]);
    }
    return out;
}

struct Search {
    std::int64_t index = 0;
    double value = 0;    // |own correlation| at index
    double median = 0;   // of |own correlation| over the window
    double clarity = 0;  // value / cross at index; unheard: the best over the window
    bool heard = false;
    double ratio() const { return median > 0 ? value / median : 0.0; }
};

// The strongest value of [lo, hi) that is the slot's own sweep: one that beats the opposite
// template over the same stretch by crossShare and stands floorFactor above the noise floor.
// When no value qualifies, the plain strongest one (not heard), for the log.
Search heardPeak(const std::vector<float>& own, const std::vector<float>& cross, double floor,
                 std::int64_t lo, std::int64_t hi) {
    Search best, plain;
    const auto plainPeak = windowPeak(own, lo, hi);
    if (!plainPeak) return best;
    plain.index = plainPeak->index;
    plain.value = plainPeak->value;
    plain.median = plainPeak->median;
    for (std::int64_t k = std::max<std::int64_t>(lo, 0);
         k < std::min(hi, static_cast<std::int64_t>(own.size())); ++k) {
        const double v = std::fabs(own[static_cast<std::size_t>(k)]);
        if (!(v > floorFactor * floor)) continue;
        const double c = cross[static_cast<std::size_t>(k)];
        // The opposite template finding exactly nothing (digital silence) leaves v unrivalled.
        const double clarity = c > 0 ? v / c : 1e9;
        plain.clarity = std::max(plain.clarity, clarity);
        if (clarity >= crossShare && v > best.value) {
            best.index = k;
            best.value = v;
            best.clarity = clarity;
            best.heard = true;
        }
    }
    if (!best.heard) return plain;
    best.median = plain.median;
    return best;
}
// One staggered recording, correlated with both sweep directions, and how each slot of it is
// searched: slot i plays the up sweep when i is even, the down sweep when odd.
class SlotSearch {
  public:
    SlotSearch(const Recording& recording, const std::vector<Dev>& speakers,
               const std::map<std::string, double>& offsetsMs, const Schedule& schedule)
        : speakers_(speakers),
          offsetsMs_(offsetsMs),
          schedule_(schedule),
          rate_(recording.rate / 3.0) {
        const std::vector<float> x = decimate3(recording.samples);
        const std::vector<float> up = makeSweep(rate_, sweepSeconds, 500, 4000, 0.6);
        cUp_ = crossCorrelate(x, up);
        cDown_ = crossCorrelate(x, makeSweep(rate_, sweepSeconds, 4000, 500, 0.6));
        floor_ = noiseFloor(x, up);
        // What each slot's opposite template finds over the stretch its own template spans.
        const auto reach = static_cast<std::int64_t>(up.size());
        crossUp_ = spanMax(cDown_, reach);
        crossDown_ = spanMax(cUp_, reach);
    }

    // When slot i's sweep was meant to reach the microphone with no latency at all, ms.
    double scheduledMs(std::size_t i) const {
        const auto it = offsetsMs_.find(speakers_[i].uid);
        const double offset = it == offsetsMs_.end() ? 0.0 : it->second;
        return (leadSeconds + static_cast<double>(i) * schedule_.spacingSeconds) * 1000.0 + offset;
    }
    std::int64_t index(double ms) const { return wholePart(ms / 1000.0 * rate_); }
    double ms(std::int64_t index) const { return static_cast<double>(index) / rate_ * 1000.0; }
    Search search(std::size_t i, std::int64_t lo, std::int64_t hi) const {
        return heardPeak(corr(i), i % 2 == 0 ? crossUp_ : crossDown_, floor_, lo, hi);
    }

    // Slot i searched within the narrow reach of where it should arrive, everything arriving lateMs
    // late; `wide` is its full-range search. Nothing when that window lies outside the recording.
    std::optional<LatencyResult> narrowResult(std::size_t i, double lateMs,
                                              const Search& wide) const {
        const double e = scheduledMs(i);
        const double reach = schedule_.narrowMs;
        const std::int64_t lo = std::max<std::int64_t>(index(e + lateMs - reach), 0);
        const std::int64_t hi =
            std::min(index(e + lateMs + reach), static_cast<std::int64_t>(corr(i).size()));
        if (hi <= lo) return std::nullopt;
        const Search s = search(i, lo, hi);
        const std::int64_t edge = index(edgeMs);
        LatencyResult r;
        r.latencyMs = ms(s.index) - e;
        r.ratio = s.ratio();
        // Heard by the full-range search but not (or elsewhere) by the narrow one: the speaker
        // sounds, only too far from the others for its latency to be read here.
        const bool elsewhere = wide.heard && (!s.heard || std::abs(wide.index - s.index) > edge);
        r.heard = s.heard || wide.heard;
        r.peak = s.value;
        r.clarity = s.clarity;
        r.floor = floor_;
        const bool atEdge = s.index - lo < edge || hi - 1 - s.index < edge;
        r.farApart = elsewhere || (s.heard && atEdge);
        return r;
    }

  private:
    const std::vector<float>& corr(std::size_t i) const { return i % 2 == 0 ? cUp_ : cDown_; }

    // Noise floor: white noise of RMS s correlated with a template of norm |t| spreads with
    // standard deviation s × |t|. The lead-in before the first slot holds only the room and the
    // microphone (the player also waits for its device to settle before it starts).
    double noiseFloor(const std::vector<float>& x, const std::vector<float>& tpl) const {
        const auto quiet = static_cast<std::size_t>(std::clamp<std::int64_t>(
            index(leadSeconds * 1000.0), 0, static_cast<std::int64_t>(x.size())));
        double quietEnergy = 0, tplEnergy = 0;
        for (std::size_t k = 0; k < quiet; ++k)
            quietEnergy += static_cast<double>(x[k]) * x[k];
        for (const float v : tpl)
            tplEnergy += static_cast<double>(v) * v;
        return quiet ? std::sqrt(quietEnergy / static_cast<double>(quiet) * tplEnergy) : 0.0;
    }

    const std::vector<Dev>& speakers_;
    const std::map<std::string, double>& offsetsMs_;
    const Schedule schedule_;
    const double rate_;  // analysis rate, Hz
    std::vector<float> cUp_, cDown_;
    std::vector<float> crossUp_, crossDown_;
    double floor_ = 0;
};

}  // namespace

std::optional<Recording> recordPlayback(AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                                        double playSeconds,
                                        const std::function<bool(SyncMeasure&)>& startPlayer,
                                        double reachMs) {
    MeasureSession once(hw, micDevice);
    return once.recordPlayback(playSeconds, startPlayer, reachMs);
}

std::map<std::string, LatencyResult> measureLatencies(
    AudioHardware& hw, std::optional<AudioObjectID> micDevice, const std::vector<Dev>& speakers,
    const std::map<std::string, double>& offsetsMs, double reachMs) {
    MeasureSession once(hw, micDevice);
    return measureLatencies(once, speakers, offsetsMs, reachMs);
}

double staggeredSeconds(std::size_t speakers, double reachMs) {
    return static_cast<double>(speakers) * scheduleFor(reachMs).spacingSeconds + leadSeconds +
           sweepSeconds + tailSeconds;
}

std::map<std::string, LatencyResult> measureLatencies(
    MeasureSession& session, const std::vector<Dev>& speakers,
    const std::map<std::string, double>& offsetsMs, double reachMs) {
    const std::size_t n = speakers.size();
    if (n == 0) return {};
    const Schedule schedule = scheduleFor(reachMs);
    const auto recording = session.recordPlayback(
        staggeredSeconds(n, reachMs),
        [&](SyncMeasure& player) {
            return player.startStaggered(speakers, sweepSeconds, leadSeconds,
                                         schedule.spacingSeconds, offsetsMs);
        },
        reachMs);
    if (!recording) return {};
    const SlotSearch slots(*recording, speakers, offsetsMs, schedule);

    // Wide search first: the strongest slot heard fixes how late everything arrives, so the
    // narrow search cannot lock onto a neighbour's sweep or a reflection.
    std::vector<Search> wide(n);
    std::optional<std::size_t> reference;
    for (std::size_t i = 0; i < n; ++i) {
        const double e = slots.scheduledMs(i);
        wide[i] =
            slots.search(i, slots.index(e - wideBeforeMs), slots.index(e + schedule.wideAfterMs));
        if (!wide[i].heard) continue;
        if (!reference || wide[i].ratio() > wide[*reference].ratio()) reference = i;
    }
    // With nobody heard every slot is still reported, as not heard.
    const double lateMs =
        reference ? slots.ms(wide[*reference].index) - slots.scheduledMs(*reference) : 0.0;

    std::map<std::string, LatencyResult> results;
    for (std::size_t i = 0; i < n; ++i) {
        if (const auto r = slots.narrowResult(i, lateMs, wide[i])) results[speakers[i].uid] = *r;
    }
    return results;
}

}  // namespace housetone
