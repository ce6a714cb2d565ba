#include "tune/latency_measure.h"

#include <algorithm>
#include <cmath>

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
constexpr double lastArrivals = 0.25;  // s still recorded after `done`
constexpr double wideBeforeMs = 250;   // wide search, ms before the scheduled time
constexpr double wideAfterMs = 1800;   // ... and after it
constexpr double narrowMs = 650;       // narrow search, ms either side of the expected arrival
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
    const std::vector<float> cUp = crossCorrelate(x, makeSweep(rate, sweepSeconds, 500, 4000, 0.6));
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

    // Wide search first: the strongest slot fixes how late everything arrives, so the narrow
    // search cannot lock onto a neighbour's sweep or a reflection.
    std::optional<std::size_t> reference;
    std::optional<CorrPeak> referencePeak;
    for (std::size_t i = 0; i < n; ++i) {
        const double e = scheduledMs(i);
        const auto peak = windowPeak(corrFor(i), index(e - wideBeforeMs), index(e + wideAfterMs));
        if (peak && (!referencePeak || peak->ratio() > referencePeak->ratio())) {
            reference = i;
            referencePeak = peak;
        }
    }
    if (!reference) return {};
    const double lateMs =
        static_cast<double>(referencePeak->index) / rate * 1000.0 - scheduledMs(*reference);

    std::map<std::string, LatencyResult> results;
    for (std::size_t i = 0; i < n; ++i) {
        const double e = scheduledMs(i);
        const auto peak =
            windowPeak(corrFor(i), index(e + lateMs - narrowMs), index(e + lateMs + narrowMs));
        if (!peak) continue;
        results[speakers[i].uid] = {static_cast<double>(peak->index) / rate * 1000.0 - e,
                                    static_cast<double>(peak->ratio())};
    }
    return results;
}

}  // namespace housetone
