#include "tune/latency_measure.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "tune/correlation.h"
#include "tune/mic_capture.h"
#include "tune/sync_measure.h"
#include "tune/test_signals.h"

namespace housetone {

namespace {
constexpr double sweepSeconds = 0.8;
constexpr double leadSeconds = 0.4;
constexpr double spacingSeconds = 1.2;
constexpr double tailSeconds = 1.6;    // room for late speakers and reverberation
constexpr double captureMargin = 0.4;  // s recorded beyond the playback time
constexpr double doneGrace = 3.0;      // s past the playback time before giving up on `done`
// s still recorded after `done`: the player's own tail is 0.3 s, and a speaker up to the narrow
// search's reach later than the others (or left that late by the delay limit in a fire check)
// must still be heard whole.
constexpr double lastArrivals = 1.0;
constexpr double wideBeforeMs = 250;  // wide search, ms before the scheduled time
constexpr double wideAfterMs = 1800;  // ... and after it
// Narrow search, ms either side of the expected arrival. The same sweep direction comes back
// 2 × spacing later, so the search may reach almost a spacing either way; the opposite sweeps in
// between are told apart by the heard test. One second also bounds what a pair may differ by.
constexpr double narrowMs = 1000;
constexpr double edgeMs = 2;  // a peak this close to the edge may lie beyond it
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
}  // namespace

std::optional<Recording> recordPlayback(AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                                        double playSeconds,
                                        const std::function<bool(SyncMeasure&)>& startPlayer) {
    const auto capture = MicCapture::create(hw, playSeconds + captureMargin, micDevice);
    if (!capture || !capture->start()) return std::nullopt;
    SyncMeasure player(hw);
    if (!startPlayer(player)) {
        capture->stop();
        return std::nullopt;
    }
    player.done().waitUntil(hw.clock().now() + playSeconds + doneGrace);
    hw.clock().sleepFor(lastArrivals);
    player.stop();
    capture->stop();
    Recording r{capture->samples(), capture->rate()};
    float loudest = 0;
    for (const float v : r.samples)
        loudest = std::max(loudest, std::fabs(v));
    if (!(loudest > 1e-6f)) return std::nullopt;
    return r;
}

std::map<std::string, LatencyResult> measureLatencies(
    AudioHardware& hw, std::optional<AudioObjectID> micDevice, const std::vector<Dev>& speakers,
    const std::map<std::string, double>& offsetsMs) {
    const std::size_t n = speakers.size();
    if (n == 0) return {};
    const double total =
        static_cast<double>(n) * spacingSeconds + leadSeconds + sweepSeconds + tailSeconds;

    const auto recording = recordPlayback(hw, micDevice, total, [&](SyncMeasure& player) {
        return player.startStaggered(speakers, sweepSeconds, leadSeconds, spacingSeconds,
                                     offsetsMs);
    });
    if (!recording) return {};
    const double rate = recording->rate / 3.0;  // analysis rate, Hz
    const std::vector<float> x = decimate3(recording->samples);
    const std::vector<float> up = makeSweep(rate, sweepSeconds, 500, 4000, 0.6);
    const std::vector<float> cUp = crossCorrelate(x, up);
    const std::vector<float> cDown =
        crossCorrelate(x, makeSweep(rate, sweepSeconds, 4000, 500, 0.6));

    const auto corrFor = [&](std::size_t i) -> const std::vector<float>& {
        return i % 2 == 0 ? cUp : cDown;
    };
    const auto scheduledMs = [&](std::size_t i) {
        const auto it = offsetsMs.find(speakers[i].uid);
        const double offset = it == offsetsMs.end() ? 0.0 : it->second;
        return (leadSeconds + static_cast<double>(i) * spacingSeconds) * 1000.0 + offset;
    };
    const auto index = [&](double ms) { return wholePart(ms / 1000.0 * rate); };

    // Noise floor: white noise of RMS s correlated with a template of norm |t| spreads with
    // standard deviation s × |t|. The lead-in before the first slot holds only the room and the
    // microphone (the player also waits for its device to settle before it starts).
    const auto quiet = static_cast<std::size_t>(std::clamp<std::int64_t>(
        index(leadSeconds * 1000.0), 0, static_cast<std::int64_t>(x.size())));
    double quietEnergy = 0, tplEnergy = 0;
    for (std::size_t k = 0; k < quiet; ++k)
        quietEnergy += static_cast<double>(x[k]) * x[k];
    for (const float v : up)
        tplEnergy += static_cast<double>(v) * v;
    const double floor =
        quiet ? std::sqrt(quietEnergy / static_cast<double>(quiet) * tplEnergy) : 0.0;
    // What each slot's opposite template finds over the stretch its own template spans.
    const auto reach = static_cast<std::int64_t>(up.size());
    const std::vector<float> crossUp = spanMax(cDown, reach), crossDown = spanMax(cUp, reach);
    const auto crossFor = [&](std::size_t i) -> const std::vector<float>& {
        return i % 2 == 0 ? crossUp : crossDown;
    };
    const auto search = [&](std::size_t i, std::int64_t lo, std::int64_t hi) {
        return heardPeak(corrFor(i), crossFor(i), floor, lo, hi);
    };

    // Wide search first: the strongest slot heard fixes how late everything arrives, so the
    // narrow search cannot lock onto a neighbour's sweep or a reflection.
    std::vector<Search> wide(n);
    std::optional<std::size_t> reference;
    for (std::size_t i = 0; i < n; ++i) {
        const double e = scheduledMs(i);
        wide[i] = search(i, index(e - wideBeforeMs), index(e + wideAfterMs));
        if (!wide[i].heard) continue;
        if (!reference || wide[i].ratio() > wide[*reference].ratio()) reference = i;
    }
    // With nobody heard every slot is still reported, as not heard.
    const double lateMs = reference ? static_cast<double>(wide[*reference].index) / rate * 1000.0 -
                                          scheduledMs(*reference)
                                    : 0.0;

    std::map<std::string, LatencyResult> results;
    const std::int64_t edge = index(edgeMs);
    for (std::size_t i = 0; i < n; ++i) {
        const double e = scheduledMs(i);
        const std::int64_t lo = std::max<std::int64_t>(index(e + lateMs - narrowMs), 0);
        const std::int64_t hi =
            std::min(index(e + lateMs + narrowMs), static_cast<std::int64_t>(corrFor(i).size()));
        if (hi <= lo) continue;
        const Search s = search(i, lo, hi);
        LatencyResult r;
        r.latencyMs = static_cast<double>(s.index) / rate * 1000.0 - e;
        r.ratio = s.ratio();
        // Heard by the full-range search but not (or elsewhere) by the narrow one: the speaker
        // sounds, only too far from the others for its latency to be read here.
        const bool elsewhere =
            wide[i].heard && (!s.heard || std::abs(wide[i].index - s.index) > edge);
        r.heard = s.heard || wide[i].heard;
        r.peak = s.value;
        r.clarity = s.clarity;
        r.floor = floor;
        const bool atEdge = s.index - lo < edge || hi - 1 - s.index < edge;
        r.farApart = elsewhere || (s.heard && atEdge);
        results[speakers[i].uid] = r;
    }
    return results;
}

}  // namespace housetone
