#include "tune/fire_check.h"
#include "core/text.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "tune/latency_measure.h"
#include "tune/measure_session.h"
#include "tune/sync_measure.h"
#include "tune/test_signals.h"

namespace housetone {

namespace {
constexpr double leadSeconds = 0.4;   // every speaker's signal starts this far into playback
constexpr double tailSeconds = 1.6;   // room for late speakers and echoes
constexpr float peakFraction = 0.2f;  // of the strongest correlation peak
// A peak this strong (of the strongest) can be the main one; compared in float like the peak
// values themselves, so a peak of exactly 0.45 qualifies.
constexpr float mainShare = 0.45f;
constexpr double lateAfterMs = 12.0;  // closer than this is the same arrival smeared
constexpr double lateShare = 0.45;    // weaker than this is an echo, not a speaker

enum class Signal { clicks, sweep };

std::vector<float> render(Signal s, double rate) {
    return s == Signal::clicks ? makeClicks(rate, 0.55) : makeSweep(rate, 0.8, 500, 4000, 0.45);
}

// The span of the clicks' envelope around the main arrival, ms: a little before it, and the
// echoes and late speakers after it.
constexpr double envelopeBeforeMs = 50;
constexpr double envelopeAfterMs = 350;

void fillEnvelope(const std::vector<float>& corr, const std::vector<PickedPeak>& peaks,
                  const std::vector<Arrival>& arrivals, double rate, ClickEnvelope& out) {
    out = {};
    const auto main = std::ranges::find(arrivals, 0.0, &Arrival::timeMs);
    if (main == arrivals.end()) return;
    const auto at = peaks[std::size_t(main - arrivals.begin())].index;
    float top = 0;
    for (const float v : corr)
        top = std::max(top, std::fabs(v));
    if (!(top > 0)) return;
    const auto perMs = rate / 1000.0;
    out.startMs = -envelopeBeforeMs;
    // A speaker heard much later than the rest (one still seconds late) is shown too.
    double endMs = envelopeAfterMs;
    for (const Arrival& a : arrivals)
        endMs = std::max(endMs, a.timeMs + envelopeBeforeMs);
    for (double ms = -envelopeBeforeMs; ms < endMs; ms += 1) {
        const auto from = static_cast<long long>(at) + std::llround(ms * perMs);
        const auto to = from + std::llround(perMs);
        float most = 0;
        for (long long i = std::max(0LL, from); i < std::min<long long>(to, corr.size()); ++i)
            most = std::max(most, std::fabs(corr[std::size_t(i)]));
        out.perMs.push_back(most / top);
    }
}

FireResult fireCheck(Signal signal, MeasureSession& session, const std::vector<Dev>& speakers,
                     const std::map<std::string, double>& expected, double reachMs,
                     ClickEnvelope* envelope = nullptr) {
    const double duration = static_cast<double>(render(signal, 48000).size()) / 48000.0;
    double longest = 0;  // s
    for (const auto& [uid, ms] : expected)
        longest = std::max(longest, ms / 1000.0);
    const double total = duration + leadSeconds + longest + tailSeconds;

    const auto recording = session.recordPlayback(
        total,
        [&](SyncMeasure& player) {
            return signal == Signal::clicks ? player.startCommonClicks(speakers, expected)
                                            : player.startCommonSweep(speakers, expected);
        },
        reachMs);
    if (!recording) return std::nullopt;

    const double rate = recording->rate / 3.0;  // analysis rate, Hz
    const std::vector<float> corr =
        crossCorrelate(decimate3(recording->samples), render(signal, rate));
    const double separationMs = signal == Signal::clicks ? 6.0 : 10.0;
    const std::vector<PickedPeak> peaks = pickPeaks(corr, peakFraction, rate, separationMs);
    std::vector<Arrival> arrivals = arrivalsFromPeaks(peaks, rate);
    if (envelope) fillEnvelope(corr, peaks, arrivals, rate, *envelope);
    return arrivals;
}

}  // namespace

std::string formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), format, again);
        out.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    return out;
}

FireResult fireCheckClicks(MeasureSession& session, const std::vector<Dev>& speakers,
                           const std::map<std::string, double>& expected, ClickEnvelope* envelope,
                           double reachMs) {
    return fireCheck(Signal::clicks, session, speakers, expected, reachMs, envelope);
}

FireResult fireCheckSweep(MeasureSession& session, const std::vector<Dev>& speakers,
                          const std::map<std::string, double>& expected, double reachMs) {
    return fireCheck(Signal::sweep, session, speakers, expected, reachMs);
}

FireResult fireCheckClicks(AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                           const std::vector<Dev>& speakers,
                           const std::map<std::string, double>& expected, ClickEnvelope* envelope,
                           double reachMs) {
    MeasureSession once(hw, micDevice);
    return fireCheckClicks(once, speakers, expected, envelope, reachMs);
}

FireResult fireCheckSweep(AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                          const std::vector<Dev>& speakers,
                          const std::map<std::string, double>& expected, double reachMs) {
    MeasureSession once(hw, micDevice);
    return fireCheckSweep(once, speakers, expected, reachMs);
}

std::vector<Arrival> arrivalsFromPeaks(const std::vector<PickedPeak>& peaks, double analysisRate) {
    if (peaks.empty()) return {};
    float top = 0;
    for (const PickedPeak& p : peaks)
        top = std::max(top, p.value);
    if (!(top > 0)) top = 1.0f;
    const auto main = std::find_if(peaks.begin(), peaks.end(),
                                   [&](const PickedPeak& p) { return p.value / top >= mainShare; });
    if (main == peaks.end()) return {};
    std::vector<Arrival> out;
    out.reserve(peaks.size());
    for (const PickedPeak& p : peaks)
        out.push_back({static_cast<double>(p.index - main->index) / analysisRate * 1000.0,
                       static_cast<double>(p.value / top)});
    return out;
}

void fireReport(const std::string& label, const FireResult& result, FireCheck& check,
                std::vector<std::string>& log) {
    if (!result) {
        check.lines.push_back(label + ": could not run.");
        return;
    }
    std::vector<std::string> heard;
    for (const Arrival& a : *result)
        heard.push_back(formatText("%+.1f ms (%.0f%%)", a.timeMs, a.strength * 100.0));
    log.push_back(label + " peaks: " + joined(heard, ", "));
    if (result->empty()) {
        check.lines.push_back(label + ": heard nothing — check the speaker volumes.");
        return;
    }
    check.conclusive = true;
    std::vector<std::string> late;
    double latest = 0;
    for (const Arrival& a : *result) {
        if (a.timeMs > lateAfterMs && a.strength > lateShare) {
            late.push_back(formatText("%+.0f ms", a.timeMs));
            latest = a.timeMs;
        }
    }
    if (late.empty()) {
        check.lines.push_back(label + ": one arrival — together.");
        return;
    }
    check.worstMs = std::max(check.worstMs, latest);
    check.lines.push_back(label + ": late by " + joined(late, ", ") + ".");
}

}  // namespace housetone
