#include "tune/auto_tuner.h"

#include <chrono>
#include <thread>

#include <algorithm>
#include <cmath>
#include <ranges>

#include "audio/device_access.h"
#include "tune/measure_session.h"

namespace housetone {

namespace {
constexpr int maxPasses = 3;
constexpr double suspendSettle = 0.6;  // s for the engine's devices to go quiet
constexpr double noiseSeconds = 0.6;   // room-noise capture, s
constexpr double silentPeak = 1e-6;    // below this the microphone is taken to be blocked
constexpr double noisyRms = 0.05;      // ambient RMS above this makes results rough
constexpr double applySettle = 0.4;    // s for applied offsets to take hold
constexpr double betweenChecks = 0.3;  // s between the click and the sweep check
constexpr double minRatio = 5.0;       // peak-to-median ratio a pair's two arrivals both need
constexpr double unstableSpreadMs = 60.0;
constexpr int fusionSweeps = 32;
constexpr double disagreeMs = 25.0;   // loop residual that means a latency moved mid-tune
constexpr double reflectionMs = 4.0;  // a lag that moved less than this between passes stays put

// Whole ms, halves away from zero; negative and NaN become 0.
double wholeMs(double ms) {
    const double r = std::round(ms);
    return r > 0 ? r : 0.0;
}

// Puts `uid`'s result from a measurement of its own with the reference into `together`, shifted
// so that its lateness against the reference is kept. Nothing when either was heard only too far
// apart or the reference went unheard there, since nothing then ties the two recordings together.
void placeThroughReference(std::map<std::string, LatencyResult>& together,
                           const std::string& referenceUID,
                           const std::map<std::string, LatencyResult>& own,
                           const std::string& uid) {
    const auto ref = own.find(referenceUID);
    const auto it = own.find(uid);
    if (ref == own.end() || it == own.end() || !ref->second.heard || ref->second.farApart ||
        it->second.farApart)
        return;
    auto base = together.find(referenceUID);
    if (base == together.end() || !base->second.heard)
        base = together.insert_or_assign(referenceUID, ref->second).first;
    LatencyResult placed = it->second;
    placed.latencyMs = base->second.latencyMs + it->second.latencyMs - ref->second.latencyMs;
    together[uid] = placed;
}

std::vector<Dev> measuredOf(const std::vector<Dev>& speakers,
                            const std::map<std::string, double>& latency) {
    std::vector<Dev> out;
    for (const Dev& d : speakers)
        if (latency.contains(d.uid)) out.push_back(d);
    return out;
}
}  // namespace

const Dev& referenceSpeaker(const std::vector<Dev>& speakers) {
    const auto builtIn =
        std::find_if(speakers.begin(), speakers.end(), [](const Dev& d) { return d.isBuiltIn(); });
    return builtIn != speakers.end() ? *builtIn : speakers.front();
}

void recordDeltas(PairDeltas& deltas, int measurement, const std::vector<Dev>& group,
                  const std::map<std::string, LatencyResult>& results, double reachMs) {
    const auto usable = [&](const Dev& d) {
        const auto it = results.find(d.uid);
        return it != results.end() && it->second.heard && !it->second.farApart &&
                       it->second.ratio >= minRatio
                   ? &it->second
                   : nullptr;
    };
    for (std::size_t i = 0; i < group.size(); ++i) {
        const LatencyResult* a = usable(group[i]);
        if (!a) continue;
        for (std::size_t j = i + 1; j < group.size(); ++j) {
            const LatencyResult* b = usable(group[j]);
            if (!b) continue;
            const double d = b->latencyMs - a->latencyMs;
            if (std::fabs(d) > reachMs) continue;
            // One pair, one key: the fusion reads a key as one pair, so a pair already met the
            // other way round (the reference leads its pairs but not every group) keeps its key.
            if (const auto met = deltas.find(group[i].uid + "|" + group[j].uid);
                met != deltas.end())
                met->second.push_back({-d, measurement});
            else
                deltas[group[j].uid + "|" + group[i].uid].push_back({d, measurement});
        }
    }
}

void noteHearing(Hearing& hearing, const std::vector<Dev>& group,
                 const std::map<std::string, LatencyResult>& results,
                 std::vector<std::string>& log) {
    // Far apart is mutual: whichever side the search centred on, a speaker on either side of the
    // split may be the one no other measurement can place.
    const bool split = std::any_of(results.begin(), results.end(), [](const auto& entry) {
        return entry.second.heard && entry.second.farApart;
    });
    for (const Dev& d : group) {
        const auto it = results.find(d.uid);
        if (it == results.end()) continue;
        const LatencyResult& r = it->second;
        hearing.listened.insert(d.uid);
        if (r.heard) hearing.heard.insert(d.uid);
        if (r.heard && split) hearing.far.insert(d.uid);
        log.push_back(formatText(
            "%s %s at %.2f ms: peak %.3g, %.3g× the opposite sweep, %.3g× the noise floor",
            !r.heard     ? "not heard"
            : r.farApart ? "far apart"
                         : "heard",
            d.uid.c_str(), r.latencyMs, r.peak, r.clarity,
            r.floor > 0 ? r.peak / r.floor : INFINITY));
    }
}

namespace {
// The system says the speaker cannot sound: muted, or at volume 0.
std::optional<std::string> silencedBy(AudioHardware& hw, const Dev& speaker) {
    if (readMute(hw, speaker.id).value_or(false)) return "muted";
    if (const auto volume = readVolume(hw, speaker.id); volume && *volume == 0.0f)
        return "volume 0";
    return std::nullopt;
}
}  // namespace

std::string silentReason(AudioHardware& hw, const Dev& speaker) {
    return silencedBy(hw, speaker).value_or("off, out of range or not playing");
}

namespace {
double medianOf(std::vector<double> v) {
    std::ranges::sort(v);
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// Where a speaker stood against the reference in one measurement, ms.
struct Standing {
    int measurement = 0;
    double ms = 0;
};

// The first of the standings held since the last move: back from the latest, as far as they all
// agree within settledMs.
std::size_t heldSince(const std::vector<Standing>& s) {
    std::size_t i = s.size() - 1;
    double lo = s[i].ms, hi = s[i].ms;
    while (i > 0 && std::max(hi, s[i - 1].ms) - std::min(lo, s[i - 1].ms) <= settledMs) {
        --i;
        lo = std::min(lo, s[i].ms);
        hi = std::max(hi, s[i].ms);
    }
    return i;
}

// For each speaker whose standing against the reference moved during the pass, the first
// measurement since its last move; all of a speaker's measurements count when it held still.
std::map<std::string, int> stillSince(const std::vector<Dev>& speakers,
                                      const std::string& referenceUID, const PairDeltas& deltas,
                                      std::vector<std::string>& log, FusedPass& out) {
    std::map<std::string, int> since;
    for (const Dev& d : speakers) {
        if (d.uid == referenceUID) continue;
        // Measurements list their speakers in the run's order, so either may come first.
        std::vector<Standing> s;
        if (const auto it = deltas.find(d.uid + "|" + referenceUID); it != deltas.end())
            for (const PairDelta& v : it->second)
                s.push_back({v.measurement, v.ms});
        if (const auto it = deltas.find(referenceUID + "|" + d.uid); it != deltas.end())
            for (const PairDelta& v : it->second)
                s.push_back({v.measurement, -v.ms});
        // One standing cannot have moved; one pair so wild is dropped as unstable anyway.
        if (s.size() < 2 ||
            std::ranges::max(s, {}, &Standing::ms).ms - std::ranges::min(s, {}, &Standing::ms).ms >
                unstableSpreadMs)
            continue;
        std::ranges::sort(s, {}, &Standing::measurement);
        const std::size_t first = heldSince(s);
        if (first == 0) continue;
        since[d.uid] = s[first].measurement;
        if (first + 1 == s.size()) {
            out.unsettled.insert(d.uid);
            out.lastMoveMs = std::max(out.lastMoveMs, std::fabs(s[first].ms - s[first - 1].ms));
        }
        std::vector<std::string> all;
        for (const Standing& standing : s)
            all.push_back(formatText("%+.1f", standing.ms));
        const auto [lo, hi] = std::ranges::minmax(s | std::views::drop(first), {}, &Standing::ms);
        double moved = 0;
        for (std::size_t k = 0; k < first; ++k)
            moved = std::max(moved, std::fabs(s[k].ms - (lo.ms + hi.ms) / 2));
        log.push_back(formatText("moved %s vs %s: Δ %s ms in turn; only the latest %d count",
                                 d.uid.c_str(), referenceUID.c_str(), joined(all, ", ").c_str(),
                                 static_cast<int>(s.size() - first)));
        if (moved > disagreeMs)
            out.warnings.push_back(
                formatText("%s moved by %.0f ms during the tune — aligned to where it "
                           "stood last; re-run if it sounds off",
                           d.name.c_str(), moved));
    }
    return since;
}
}  // namespace

FusedPass fusePairs(const std::vector<Dev>& speakers, const std::string& referenceUID,
                    const PairDeltas& deltas, std::vector<std::string>& log, bool bluetooth) {
    FusedPass out;
    const auto since = stillSince(speakers, referenceUID, deltas, log, out);
    const auto counts = [&](const std::string& uid, int measurement) {
        const auto first = since.find(uid);
        return first == since.end() || measurement >= first->second;
    };
    // graph[X][Y] = fused latency(X) - latency(Y), ms.
    std::map<std::string, std::map<std::string, double>> graph;
    for (const auto& [key, values] : deltas) {
        const auto bar = key.find('|');
        if (bar == std::string::npos || values.empty()) continue;
        const std::string b = key.substr(0, bar);
        const std::string a = key.substr(bar + 1);
        // The statistics and the unstable judgement take every measurement, as measured; the
        // fusion only those in which neither speaker stood where it had moved from.
        std::vector<double> all, counted;
        for (const PairDelta& delta : values) {
            all.push_back(delta.ms);
            if (counts(b, delta.measurement) && counts(a, delta.measurement))
                counted.push_back(delta.ms);
        }
        const double spread = std::ranges::max(all) - std::ranges::min(all);
        const std::size_t n = all.size();
        log.push_back(formatText("pair %s vs %s: Δ median %+.1f ms, spread %.1f ms, n=%d",
                                 b.c_str(), a.c_str(), medianOf(all), spread, static_cast<int>(n)));
        if (n >= 2 && spread > unstableSpreadMs) {
            log.push_back("  -> dropped (unstable)");
            continue;
        }
        if (counted.empty()) continue;
        const double median = medianOf(counted);
        graph[b][a] = median;
        graph[a][b] = -median;
    }

    out.latency[referenceUID] = 0.0;
    for (const Dev& d : speakers)
        if (graph.contains(d.uid) && !graph.at(d.uid).empty()) out.latency[d.uid] = 0.0;
    // Gauss-Seidel relaxation: each speaker moves to the mean its neighbours imply, and later
    // speakers in the same sweep already see the new value. 32 sweeps settle any room we meet.
    for (int sweep = 0; sweep < fusionSweeps; ++sweep) {
        for (const Dev& s : speakers) {
            if (s.uid == referenceUID) continue;
            const auto edges = graph.find(s.uid);
            if (edges == graph.end()) continue;
            double sum = 0;
            int count = 0;
            for (const auto& [neighbour, diff] : edges->second) {
                const auto lat = out.latency.find(neighbour);
                if (lat == out.latency.end()) continue;
                sum += diff + lat->second;
                ++count;
            }
            if (count > 0) out.latency[s.uid] = sum / count;
        }
    }

    double worst = 0;
    for (const auto& [x, edges] : graph) {
        const auto lx = out.latency.find(x);
        if (lx == out.latency.end()) continue;
        for (const auto& [y, diff] : edges) {
            const auto ly = out.latency.find(y);
            if (ly == out.latency.end()) continue;
            worst = std::max(worst, std::fabs((lx->second - ly->second) - diff));
        }
    }
    log.push_back(formatText("transitivity: worst loop residual %.1f ms", worst));
    if (worst > disagreeMs)
        out.warnings.push_back(
            bluetooth ? formatText("measurements disagree by up to %.0f ms — Bluetooth latency "
                                   "wandered during the tune; re-run if it sounds off",
                                   worst)
                      : formatText("measurements disagree by up to %.0f ms — the room's noise "
                                   "or a faint speaker upset the timing; re-run if it sounds off",
                                   worst));
    return out;
}

std::map<std::string, double> tuneOffsets(const std::vector<Dev>& measured,
                                          const std::map<std::string, double>& latency,
                                          const std::map<std::string, double>& engineTrimMs,
                                          double limitMs) {
    std::map<std::string, double> total;
    std::optional<double> slowest;
    for (const Dev& d : measured) {
        const auto lat = latency.find(d.uid);
        if (lat == latency.end()) continue;
        const auto trim = engineTrimMs.find(d.uid);
        const double t = lat->second + (trim == engineTrimMs.end() ? 0.0 : trim->second);
        total[d.uid] = t;
        if (!slowest || t > *slowest) slowest = t;
    }
    std::map<std::string, double> offsets;
    for (const auto& [uid, t] : total)
        offsets[uid] = std::min(wholeMs(*slowest - t), limitMs);
    return offsets;
}

std::map<std::string, double> verificationOffsets(const std::vector<Dev>& measured,
                                                  const std::map<std::string, double>& latency,
                                                  const std::map<std::string, double>& shortfall) {
    std::optional<double> maxLat;
    for (const Dev& d : measured) {
        const auto lat = latency.find(d.uid);
        if (lat != latency.end() && (!maxLat || lat->second > *maxLat)) maxLat = lat->second;
    }
    std::map<std::string, double> expected;
    for (const Dev& d : measured) {
        const auto lat = latency.find(d.uid);
        if (lat == latency.end()) continue;
        const auto cut = shortfall.find(d.uid);
        expected[d.uid] =
            wholeMs(*maxLat - lat->second - (cut == shortfall.end() ? 0.0 : cut->second));
    }
    return expected;
}

// ---- The run ----------------------------------------------------------------------------------

// State of one run; lives on the tuner's queue for the run's duration.
struct AutoTuner::Run {
    std::vector<Dev> speakers;
    std::map<std::string, double> working;  // offsets in force, UID -> ms
    std::vector<std::string> notes;
    std::vector<TunePass> passes;
    std::map<std::string, double> applied;  // by the latest completed pass
    std::optional<std::string> priorInput;  // UID of the default input before the run
    int last = 0;                           // number of the last pass started
    // Stands in for the reference speaker when that one was not heard, for the rest of the run.
    std::optional<Dev> reference;
    bool bluetooth = false;  // a Bluetooth speaker or microphone takes part
    // The latest all-together recording's results, and one picture per completed pass.
    std::map<std::string, LatencyResult> together;
    std::vector<TunePicture> pictures;
};

AutoTuner::AutoTuner(AudioHardware& hw, MainQueue& main, double offsetLimitMs)
    : hw_(hw),
      main_(main),
      offsetLimitMs_(offsetLimitMs),
      farReachMs_(std::max(nearReachMs, offsetLimitMs)) {}

AutoTuner::~AutoTuner() = default;

void AutoTuner::finish(const std::string& text) {
    session_.reset();
    if (finished) finished(text);
}

void AutoTuner::start(const Dev& first, const std::vector<Dev>& rest,
                      const std::map<std::string, double>& current, bool engineRunning) {
    std::vector<Dev> speakers{first};
    speakers.insert(speakers.end(), rest.begin(), rest.end());
    q_.async([this, speakers = std::move(speakers), current, engineRunning] {
        run(speakers, current, engineRunning);
    });
}

std::vector<std::string> AutoTuner::log() const {
    std::lock_guard lock(logMutex_);
    return log_;
}

std::optional<TunePicture> AutoTuner::picture() const {
    std::lock_guard lock(logMutex_);
    return picture_;
}

void AutoTuner::appendLog(std::vector<std::string> lines) {
    std::lock_guard lock(logMutex_);
    log_.insert(log_.end(), std::make_move_iterator(lines.begin()),
                std::make_move_iterator(lines.end()));
}

void AutoTuner::suspendOnMain() {
    // Not main.runSync: a main thread that is tearing the controller (and this tuner) down waits
    // for this run, so the run must be able to stop waiting for it. The posted task owns what it
    // uses, since the tuner may be gone by the time it runs.
    auto done = std::make_shared<std::atomic<bool>>(false);
    main_.post([fn = suspendEngine, done] {
        fn();
        done->store(true, std::memory_order_release);
    });
    while (!done->load(std::memory_order_acquire) && !isCancelled())
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

void AutoTuner::run(std::vector<Dev> speakers, std::map<std::string, double> working,
                    bool engineRunning) {
    if (engineRunning) {
        if (suspendEngine && !cancelled) suspendOnMain();
        hw_.clock().sleepFor(suspendSettle);
    }
    Run r;
    r.speakers = std::move(speakers);
    r.working = std::move(working);
    // Sized for the longest recording a pass makes: all the speakers together, or a pair at the
    // far reach.
    const double longest = std::max(staggeredSeconds(r.speakers.size(), nearReachMs),
                                    staggeredSeconds(2, farReachMs_));
    session_ = std::make_unique<MeasureSession>(hw_, micDevice, r.speakers, longest, farReachMs_);
    body(r);
    session_.reset();
    if (engineRunning && resumeEngine) main_.post(resumeEngine);
}

bool AutoTuner::micCheck(Run& r) {
    bool priorBluetooth = false;
    if (const auto input = defaultInput(hw_)) {
        r.priorInput = stringProperty(hw_, *input, sel::deviceUID);
        priorBluetooth = isBluetoothTransport(transportOf(hw_, *input));
    }
    // Bluetooth microphones drag their speaker into phone mode; the built-in one leaves the
    // speakers' latencies alone.
    if (const auto builtIn = builtInMicrophone(hw_)) setDefaultInput(hw_, *builtIn);
    where_ = TuneProgress{.passes = maxPasses};
    sayAt(TuneProgress::Stage::microphone, 1, 1, "Checking microphone & room noise…");

    const auto noise = session_->listen(noiseSeconds);
    if (!noise) {
        finish(
            "Could not open the microphone. Connect one, or pick one in the microphone list, then "
            "try again.");
        return false;
    }
    const std::vector<float>& samples = noise->samples;
    double peak = 0;
    double energy = 0;
    for (const float s : samples) {
        peak = std::max(peak, static_cast<double>(std::fabs(s)));
        energy += static_cast<double>(s) * s;
    }
    if (samples.empty() || peak < silentPeak) {
        finish(
            "The microphone hears nothing: it is muted, switched off or missing. Check its input "
            "in your desktop's sound settings, then try again.");
        return false;
    }
    const double rms = std::sqrt(energy / static_cast<double>(samples.size()));
    if (rms > noisyRms) {
        r.notes.push_back(
            formatText("room is noisy (ambient RMS %.2f) — results may be rough", rms));
        say("Warning: room is noisy — measuring anyway…");
    }
    r.bluetooth = priorBluetooth ||
                  (micDevice && isBluetoothTransport(transportOf(hw_, *micDevice))) ||
                  std::any_of(r.speakers.begin(), r.speakers.end(),
                              [](const Dev& d) { return d.isBluetooth(); });
    if (priorBluetooth)
        r.notes.push_back(
            "input was a Bluetooth mic; it was switched to the built-in mic during tuning and "
            "restored after (note: a Bluetooth mic forces that speaker into low-quality phone mode "
            "and changes its latency)");
    return true;
}

// Speakers a pass gave no latency whose reason the report can name.
struct AutoTuner::Unmeasured {
    std::vector<std::string> notHeard;  // "name (why it was likely silent)"
    std::vector<std::string> tooFar;    // names
    std::set<std::string> explained;    // UIDs of both
};

// What the offset limit cut from a pass's offsets.
struct AutoTuner::Cut {
    std::map<std::string, double> shortfall;  // UID -> ms cut
    std::vector<CappedSpeaker> capped;        // for the report, in measured order
};

void AutoTuner::body(Run& r) {
    if (!micCheck(r)) {
        restoreInput(r);
        return;
    }
    TuneEnd end = TuneEnd::normal;
    for (int p = 0; p < maxPasses; ++p) {
        const Next next = pass(r, p, end);
        if (next == Next::finished) {
            restoreInput(r);
            return;
        }
        if (next == Next::stop) break;
    }
    conclude(r, end);
}

AutoTuner::Next AutoTuner::pass(Run& r, int p, TuneEnd& end) {
    r.last = p + 1;
    // A new pass starts over at its pairs; the stage of the last pass would read as ahead.
    where_ = TuneProgress{.stage = TuneProgress::Stage::pairs,
                          .steps = static_cast<int>(r.speakers.size()) - 1,
                          .pass = p + 1,
                          .passes = maxPasses};
    if (p > 0) say(formatText("Not together yet — measuring again (pass %d of 3)…", p + 1));
    FusedPass fused = runPass(r);
    if (p == 0) r.notes.insert(r.notes.end(), fused.warnings.begin(), fused.warnings.end());
    if (isCancelled()) return Next::stop;

    const std::vector<Dev> measured = measuredOf(r.speakers, fused.latency);
    Unmeasured missing = unmeasured(r.speakers, fused);
    if (measured.size() < 2) return tooFewMeasured(r, p, missing);

    Cut cut = applyPass(r, measured, fused);
    hw_.clock().sleepFor(applySettle);
    if (isCancelled()) return Next::stop;

    PassSummary summary =
        passSummary(measured, fused.latency, r.applied, r.speakers, missing.explained);
    const FireCheck check = verifyPass(r, p, measured, fused, cut.shortfall);
    r.passes.push_back(TunePass{p + 1, r.applied, check, std::move(summary.slowest),
                                std::move(summary.appliedTxt), std::move(summary.unmeasured),
                                std::move(missing.notHeard), std::move(missing.tooFar),
                                std::move(cut.capped), fused.reachMs, fused.lastMoveMs});
    // Another pass would measure the same gap and hit the same limit.
    if (!r.passes.back().capped.empty()) return Next::stop;
    if (p >= 1) {
        const FireCheck& previous = r.passes[r.passes.size() - 2].check;
        if (check.conclusive && check.worstMs != 0 && previous.conclusive &&
            std::fabs(check.worstMs - previous.worstMs) < reflectionMs) {
            end = TuneEnd::reflection;
            return Next::stop;
        }
    }
    if (!check.conclusive || isCancelled()) return Next::stop;
    // The checks heard a speaker still on its way where it stood just then; together there is
    // not together once it has come to rest, so it is measured again.
    if (fused.unsettled.empty()) return check.worstMs == 0 ? Next::stop : Next::pass;
    const std::vector<std::string> moving(fused.unsettled.begin(), fused.unsettled.end());
    appendLog({"still moving at the pass's end: " + joined(moving, ", ")});
    return Next::pass;
}

AutoTuner::Unmeasured AutoTuner::unmeasured(const std::vector<Dev>& speakers,
                                            const FusedPass& fused) {
    Unmeasured out;
    for (const Dev& d : speakers) {
        if (fused.latency.contains(d.uid)) continue;
        if (!fused.hearing.listened.contains(d.uid))
            continue;  // its measurements failed: nothing is known about it
        if (!fused.hearing.heard.contains(d.uid))
            out.notHeard.push_back(d.name + " (" + silentReason(hw_, d) + ")");
        else if (fused.hearing.far.contains(d.uid))
            out.tooFar.push_back(d.name);
        else
            continue;
        out.explained.insert(d.uid);
    }
    return out;
}

AutoTuner::Next AutoTuner::tooFewMeasured(Run& r, int p, const Unmeasured& missing) {
    if (!r.passes.empty()) {
        r.notes.push_back(
            formatText("pass %d could not measure enough speakers; kept the pass %d result", p + 1,
                       chooseBestPass(r.passes).index));
        return Next::stop;
    }
    std::vector<std::string> why;
    if (!missing.notHeard.empty())
        why.push_back("Not heard: " + joined(missing.notHeard, ", ") + ".");
    if (!missing.tooFar.empty())
        why.push_back("Too far apart to measure: " + joined(missing.tooFar, ", ") + ".");
    if (!r.notes.empty()) why.push_back(joined(r.notes, "; "));
    finish("Could not measure enough speakers — nothing was changed. " +
           (why.empty() ? std::string("Try again with the room quiet.") : joined(why, " ")));
    return Next::finished;
}

AutoTuner::Cut AutoTuner::applyPass(Run& r, const std::vector<Dev>& measured,
                                    const FusedPass& fused) {
    r.applied = tuneOffsets(measured, fused.latency, engineTrimMs, offsetLimitMs_);
    // What the limit cuts from each offset: the fire check plays without it, and the report
    // says who will play early and by how much.
    const auto needed = tuneOffsets(measured, fused.latency, engineTrimMs, INFINITY);
    Cut cut;
    for (const Dev& d : measured) {
        const double ms = needed.at(d.uid) - r.applied.at(d.uid);
        if (ms <= 0) continue;
        cut.shortfall[d.uid] = ms;
        cut.capped.push_back({d.name, needed.at(d.uid), ms, offsetLimitMs_});
    }
    for (const auto& [uid, ms] : r.applied)
        r.working[uid] = ms;
    if (!r.applied.empty()) apply(r.applied);
    for (const Dev& d : measured) {
        const auto it = r.applied.find(d.uid);
        const int ms = it == r.applied.end() ? 0 : static_cast<int>(it->second);
        notify(d.uid, formatText("offset %d ms applied", ms));
    }
    return cut;
}

FireCheck AutoTuner::verifyPass(Run& r, int p, const std::vector<Dev>& measured,
                                const FusedPass& fused,
                                const std::map<std::string, double>& shortfall) {
    const auto expected = verificationOffsets(measured, fused.latency, shortfall);
    FireCheck check;
    std::vector<std::string> peaks;
    sayAt(TuneProgress::Stage::fireCheck, 1, 2, "Checking they fire together — clicks…");
    ClickEnvelope envelope;
    const FireResult clicks =
        fireCheckClicks(*session_, measured, expected, &envelope, fused.reachMs);
    fireReport("Clicks", clicks, check, peaks);
    std::vector<std::string> cut;
    for (const auto& [uid, ms] : shortfall)
        cut.push_back(uid);
    r.pictures.push_back(pictureOfPass(p + 1, r.speakers, r.together, r.applied, cut,
                                       offsetLimitMs_, clicks.value_or(std::vector<Arrival>{}),
                                       envelope));
    if (!isCancelled()) {
        hw_.clock().sleepFor(betweenChecks);
        sayAt(TuneProgress::Stage::fireCheck, 2, 2, "Checking they fire together — sweep…");
        fireReport("Sweep", fireCheckSweep(*session_, measured, expected, fused.reachMs), check,
                   peaks);
    }
    appendLog(std::move(peaks));
    return check;
}

void AutoTuner::conclude(Run& r, TuneEnd end) {
    if (r.passes.empty()) {
        finish(isCancelled() ? "Cancelled."
                             : "Auto-tune produced no usable measurement — nothing was changed.");
        restoreInput(r);
        return;
    }
    const TunePass& best = chooseBestPass(r.passes);
    for (const TunePicture& picture : r.pictures) {
        if (picture.pass != best.index) continue;
        std::lock_guard lock(logMutex_);
        picture_ = picture;
    }
    if (best.offsets != r.applied) {
        apply(best.offsets);
        for (const auto& [uid, ms] : best.offsets)
            r.working[uid] = ms;
        r.notes.push_back(formatText("kept the pass %d result — it fused better than pass %d",
                                     best.index, r.last));
    }
    if (isCancelled()) end = TuneEnd::cancelled;
    finish(tuneReport(r.passes, r.notes, r.last, end, r.bluetooth));
    restoreInput(r);
}

struct AutoTuner::Pass {
    Dev reference;
    PairDeltas deltas;
    int measurements = 0;  // made so far
    Hearing hearing;
    // What each measurement heard goes to the log after the pass's pair statistics, which lead.
    std::vector<std::string> heardLines;
    // A speaker the last measurement did not place may still be sounding its sweep up to the
    // far reach after the recording ended: the next measurement waits for it, so that it does
    // not land there.
    bool lateSoundPending = false;
    std::map<std::string, LatencyResult> paired;  // each speaker's result in its pair
};

bool AutoTuner::unplaced(const Dev& d, const LatencyResult& result) {
    return (!result.heard || result.farApart) && !silencedBy(hw_, d);
}

std::map<std::string, LatencyResult> AutoTuner::measure(Pass& p, const std::vector<Dev>& group,
                                                        double reachMs) {
    if (p.lateSoundPending) hw_.clock().sleepFor(farReachMs_ / 1000.0);
    auto results = measureLatencies(*session_, group, {}, reachMs);
    noteHearing(p.hearing, group, results, p.heardLines);
    recordDeltas(p.deltas, p.measurements++, group, results, reachMs);
    // A measurement at the far reach listens that long after its last slot.
    p.lateSoundPending = farReachMs_ > nearReachMs && reachMs <= nearReachMs &&
                         std::ranges::any_of(group, [&](const Dev& d) {
                             const auto it = results.find(d.uid);
                             return it != results.end() && unplaced(d, it->second);
                         });
    return results;
}

void AutoTuner::measurePairs(const Run& r, Pass& p, const std::string& skip) {
    const int pairCount = static_cast<int>(r.speakers.size()) - 1;
    int n = 0;
    for (const Dev& other : r.speakers) {
        if (other.uid == p.reference.uid || other.uid == skip) continue;
        if (isCancelled()) break;
        sayAt(TuneProgress::Stage::pairs, std::min(++n, pairCount), pairCount,
              "Auto-tune: pair — " + p.reference.name + " + " + other.name + "…");
        const auto results = measure(p, {p.reference, other}, nearReachMs);
        if (const auto it = results.find(other.uid); it != results.end())
            p.paired[other.uid] = it->second;
    }
}

// A silent reference (a muted laptop, say) would anchor every pair to nothing: the first speaker
// heard takes its place for the rest of the run.
void AutoTuner::standInForSilentReference(Run& r, Pass& p) {
    if (p.hearing.heard.contains(p.reference.uid)) return;
    const auto& speakers = r.speakers;
    auto stand = std::find_if(speakers.begin(), speakers.end(),
                              [&](const Dev& d) { return p.hearing.heard.contains(d.uid); });
    // Nobody heard at all: the reference may be far behind, its sweep lying over the other slot
    // of every pair and spoiling it. The next speaker the system does not silence then stands
    // in; the pairs of a room that is truly silent only cost another round.
    if (stand == speakers.end() && farReachMs_ > nearReachMs)
        stand = std::find_if(speakers.begin(), speakers.end(), [&](const Dev& d) {
            return d.uid != p.reference.uid && !silencedBy(hw_, d);
        });
    if (stand == speakers.end() || isCancelled()) return;
    p.heardLines.push_back("reference " + p.reference.name + " not heard; " + stand->name +
                           " stands in for it");
    const std::string silent = p.reference.uid;
    p.reference = *stand;
    r.reference = *stand;
    measurePairs(r, p, silent);
}

// Speakers far behind (or ahead of) the reference, on another machine say, fall outside the
// pairs' search or between its slots. Every measurement keeps the usual schedule, so the others
// are measured exactly as fast and as well as without them; only a speaker the pairs could not
// place — heard beyond the search, or not heard at all although nothing says it is silenced — is
// measured again, alone with the reference, at the far reach (slots spaced so that no lateness
// within it falls on the other's). It then stays out of the measurements of several speakers,
// where its sweep could land on a neighbour's slot.
std::vector<Dev> AutoTuner::farSpeakers(const Run& r, const Pass& p) {
    std::vector<Dev> far;
    if (!(farReachMs_ > nearReachMs) || !p.hearing.heard.contains(p.reference.uid)) return far;
    for (const Dev& d : r.speakers) {
        if (d.uid == p.reference.uid || !p.hearing.listened.contains(d.uid)) continue;
        const auto pair = p.paired.find(d.uid);
        // The reference a stand-in replaced had no pair of its own.
        if (pair != p.paired.end() ? unplaced(d, pair->second)
                                   : !p.hearing.heard.contains(d.uid) && !silencedBy(hw_, d))
            far.push_back(d);
    }
    return far;
}

void AutoTuner::measureGroups(Run& r, Pass& p, const std::vector<Dev>& near) {
    if (near.size() > 2 && !isCancelled()) {
        std::vector<Dev> triple{p.reference};
        for (const Dev& d : near)
            if (d.uid != p.reference.uid && triple.size() < 3) triple.push_back(d);
        if (triple.size() == 3) {
            sayAt(TuneProgress::Stage::triple, 1, 1,
                  "Auto-tune: triple — " + triple[0].name + " + " + triple[1].name + " + " +
                      triple[2].name + "…");
            measure(p, triple, nearReachMs);
        }
    }
    r.together.clear();
    for (int k = 1; k <= 2 && near.size() > 1; ++k) {
        if (isCancelled()) break;
        sayAt(TuneProgress::Stage::together, k, 2,
              formatText("Auto-tune: all together (pass %d)…", k));
        r.together = measure(p, near, nearReachMs);
    }
}

FusedPass AutoTuner::runPass(Run& r) {
    Pass p{.reference = r.reference.value_or(referenceSpeaker(r.speakers))};
    measurePairs(r, p, "");
    standInForSilentReference(r, p);

    const std::vector<Dev> far = farSpeakers(r, p);
    std::vector<Dev> near;
    std::ranges::copy_if(r.speakers, std::back_inserter(near), [&](const Dev& d) {
        return std::ranges::none_of(far, [&](const Dev& f) { return f.uid == d.uid; });
    });
    const int pairCount = static_cast<int>(r.speakers.size()) - 1;
    std::vector<std::pair<std::string, std::map<std::string, LatencyResult>>> farResults;
    for (const Dev& d : far) {
        if (isCancelled()) break;
        sayAt(TuneProgress::Stage::pairs, pairCount, pairCount,
              "Auto-tune: far pair — " + p.reference.name + " + " + d.name + "…");
        farResults.emplace_back(d.uid, measure(p, {p.reference, d}, farReachMs_));
    }
    measureGroups(r, p, near);
    // The picture shows every speaker on the all-together recording's axis: one measured on its
    // own is placed there through the reference.
    for (const auto& [uid, results] : farResults)
        placeThroughReference(r.together, p.reference.uid, results, uid);

    std::vector<std::string> lines;
    FusedPass fused = fusePairs(r.speakers, p.reference.uid, p.deltas, lines, r.bluetooth);
    if (!farResults.empty()) fused.reachMs = farReachMs_;
    lines.insert(lines.end(), p.heardLines.begin(), p.heardLines.end());
    // The reference is 0 by definition; when nothing was heard at all it is not measured either.
    std::erase_if(fused.latency,
                  [&](const auto& entry) { return !p.hearing.heard.contains(entry.first); });
    fused.hearing = std::move(p.hearing);
    appendLog(std::move(lines));
    return fused;
}

void AutoTuner::restoreInput(const Run& r) {
    if (!r.priorInput) return;
    if (const auto device = deviceForUID(hw_, *r.priorInput)) setDefaultInput(hw_, *device);
}

}  // namespace housetone
