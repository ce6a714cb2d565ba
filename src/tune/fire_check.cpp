#include "tune/fire_check.h"
#include "core/text.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>

#include "tune/latency_measure.h"
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
    for (double ms = -envelopeBeforeMs; ms < envelopeAfterMs; ms += 1) {
        const auto from = static_cast<long long>(at) + std::llround(ms * perMs);
        const auto to = from + std::llround(perMs);
        float most = 0;
        for (long long i = std::max(0LL, from); i < std::min<long long>(to, corr.size()); ++i)
            most = std::max(most, std::fabs(corr[std::size_t(i)]));
        out.perMs.push_back(most / top);
    }
}

FireResult fireCheck(Signal signal, AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                     const std::vector<Dev>& speakers,
                     const std::map<std::string, double>& expected,
                     ClickEnvelope* envelope = nullptr) {
    const double duration = static_cast<double>(render(signal, 48000).size()) / 48000.0;
    double longest = 0;  // s
    for (const auto& [uid, ms] : expected)
        longest = std::max(longest, ms / 1000.0);
    const double total = duration + leadSeconds + longest + tailSeconds;

    const auto recording = recordPlayback(hw, micDevice, total, [&](SyncMeasure& player) {
        return signal == Signal::clicks ? player.startCommonClicks(speakers, expected)
                                        : player.startCommonSweep(speakers, expected);
    });
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

FireResult fireCheckClicks(AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                           const std::vector<Dev>& speakers,
                           const std::map<std::string, double>& expected, ClickEnvelope* envelope) {
    return fireCheck(Signal::clicks, hw, micDevice, speakers, expected, envelope);
}

FireResult fireCheckSweep(AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                          const std::vector<Dev>& speakers,
                          const std::map<std::string, double>& expected) {
    return fireCheck(Signal::sweep, hw, micDevice, speakers, expected);
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

PassSummary passSummary(const std::vector<Dev>& measured,
                        const std::map<std::string, double>& latency,
                        const std::map<std::string, double>& applied,
                        const std::vector<Dev>& speakers, const std::set<std::string>& explained) {
    PassSummary s;
    std::optional<double> slowestMs;
    std::vector<std::string> items;
    for (const Dev& d : measured) {
        const auto lat = latency.find(d.uid);
        if (lat != latency.end() && (!slowestMs || lat->second > *slowestMs)) {
            slowestMs = lat->second;
            s.slowest = d.name;
        }
        const auto off = applied.find(d.uid);
        if (off != applied.end())
            items.push_back(formatText("%s %.0f ms", d.name.c_str(), off->second));
    }
    s.appliedTxt = joined(items, ", ");
    for (const Dev& d : speakers)
        if (!latency.contains(d.uid) && !explained.contains(d.uid)) s.unmeasured.push_back(d.name);
    return s;
}

const TunePass& chooseBestPass(const std::vector<TunePass>& passes) {
    const auto score = [](const TunePass& p) {
        return p.check.conclusive ? p.check.worstMs : std::numeric_limits<double>::infinity();
    };
    const TunePass* best = &passes.front();
    for (std::size_t i = 1; i < passes.size(); ++i) {
        const double s = score(passes[i]);
        if (best->check.conclusive ? s < score(*best) : std::isfinite(s)) best = &passes[i];
    }
    return *best;
}

std::string tuneReport(const std::vector<TunePass>& passes, const std::vector<std::string>& notes,
                       int last, TuneEnd end, bool bluetooth) {
    const TunePass& best = chooseBestPass(passes);
    const std::string checks = joined(best.check.lines, " ");
    std::vector<std::string> lines;
    lines.push_back("Slowest speaker: " + best.slowest + " — everyone else waits for it.");
    lines.push_back("Applied: " + best.appliedTxt + ".");
    if (!best.unmeasured.empty())
        lines.push_back("Unmeasured (left unchanged): " + joined(best.unmeasured, ", ") + ".");
    if (!best.notHeard.empty())
        lines.push_back("Not heard (left unchanged): " + joined(best.notHeard, ", ") + ".");
    if (!best.tooFar.empty())
        lines.push_back("Too far apart to measure (left unchanged): " + joined(best.tooFar, ", ") +
                        " — more than a second from the others.");
    for (const CappedSpeaker& c : best.capped)
        lines.push_back(formatText(
            "%s needs %.0f ms of delay but the limit is 250 ms, so it will play %.0f ms early.",
            c.name.c_str(), c.needMs, c.earlyMs));
    if (end == TuneEnd::cancelled) {
        lines.push_back(
            formatText("Cancelled after pass %d — the offsets above are in place.", last));
    } else if (!best.capped.empty()) {
        // What the user hears is not one arrival, whatever a check with a 12 ms tolerance says.
        lines.push_back("Not together within the 250 ms limit: " + checks);
    } else if (best.check.conclusive && best.check.worstMs == 0) {
        lines.push_back((last == 1 ? std::string("Verified: ")
                                   : formatText("Verified on pass %d: ", best.index)) +
                        checks);
    } else if (end == TuneEnd::reflection) {
        lines.push_back(
            formatText("A second arrival sat at the same %+.0f ms on both passes: ",
                       passes.back().check.worstMs) +
            checks +
            " A lag that does not move between passes is a room reflection, not a speaker running "
            "late" +
            (bluetooth ? " — Bluetooth latency wanders between runs, room geometry does not."
                       : ".") +
            " The offsets above are the measured ones and should be right; if it still sounds "
            "smeared, try Align by ear.");
    } else if (!best.check.conclusive) {
        lines.push_back("Could not verify: " + checks);
    } else {
        lines.push_back(
            formatText("Still not together after %d pass%s: ", last, last > 1 ? "es" : "") +
            checks +
            (bluetooth ? " Bluetooth latency is drifting faster than it can be measured — try "
                         "Align by ear, or run it again with the room quiet."
                       : " The room's noise or a faint speaker kept the timing from settling — try "
                         "Align by ear, or run it again with the room quiet."));
    }
    if (!notes.empty()) lines.push_back("Notes: " + joined(notes, "; ") + ".");
    return joined(lines, " ");
}

}  // namespace housetone
