#include "tune/step_keeper.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace housetone {

namespace {

// What plays while the engine crossfades to new delays (about 50 ms) is not analysed.
constexpr double kSettleSeconds = 0.1;
// An arrival this many floors above the rest may start a hunt; one that must be seen to follow
// (or not follow) a probe needs less, since where to look is known.
constexpr double kNewFloors = 10;
// The group's own peak is the strongest within this of where the group arrives.
constexpr double kGroupMs = 0.5;
// Two looks at an arrival this close to each other are the same arrival (a drifting speaker
// moves about 0.1 ms between checks).
constexpr double kSameMs = 0.5;
// A peak at an offset the learnt pattern showed under this echo was seen clearly there before.
constexpr double kSeenEcho = 0.3;
// Calm checks that make the pattern before anything is judged against it.
constexpr int kLearnChecks = 2;
// Checks a hunt waits for the delays or for material it can read before giving up.
constexpr int kPatience = 4;
// A small move corrects the same speaker again without a probe; larger ones are probed.
constexpr double kDriftMs = 4;
// The fastest an arrival is followed as drifting, ms per second (200 ppm; clocks drift by tens).
constexpr double kMaxDriftRate = 0.2;
// A probed speaker whose own sound still shows at its place at this share of the arrival that
// followed it is still in step: what followed is its echo.
constexpr double kStillHome = 0.5;

std::string fmt(const char* format, double a) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, a);
    return buf;
}

const ArrivalWatch::Peak* near(const std::vector<ArrivalWatch::Peak>& peaks, double at,
                               double within) {
    const ArrivalWatch::Peak* best = nullptr;
    for (const auto& p : peaks)
        if (std::fabs(p.lagMs - at) <= within &&
            (!best || std::fabs(p.gain) > std::fabs(best->gain)))
            best = &p;
    return best;
}

}  // namespace

StepKeeper::StepKeeper(Options opt, std::vector<std::string> uids, std::vector<double> delaysMs)
    : opt_(opt), watch_(opt.rate, opt.windowSeconds) {
    speakers_.resize(uids.size());
    for (std::size_t i = 0; i < uids.size(); ++i) {
        speakers_[i].uid = std::move(uids[i]);
        const double d = i < delaysMs.size() ? delaysMs[i] : 0.0;
        speakers_[i].delayMs = std::isfinite(d) ? d : 0.0;
    }
    verdicts_.resize(speakers_.size());
    watch_.keepHistory(lagRangeHi() + 50);
    if (uids.size() != delaysMs.size())
        note("", "delays given for " + std::to_string(delaysMs.size()) + " of " +
                     std::to_string(uids.size()) + " speakers; the rest taken as 0");
}

double StepKeeper::seconds() const {
    return static_cast<double>(frames_) / opt_.rate;
}

double StepKeeper::lagRangeHi() const {
    if (groupMs_) return *groupMs_ + opt_.reachMs;
    double most = 0;
    for (const Speaker& s : speakers_)
        most = std::max(most, s.delayMs);
    return most + opt_.reachMs;
}

std::vector<StepKeeper::Request> StepKeeper::takeRequests() {
    for (const Request& r : outbox_)
        for (Speaker& s : speakers_)
            if (s.uid == r.uid) s.owedMs += r.deltaMs;
    return std::exchange(outbox_, {});
}

std::vector<StepKeeper::Check> StepKeeper::takeChecks() {
    return std::exchange(checks_, {});
}

void StepKeeper::note(std::string estimates, std::string action) {
    checks_.push_back({seconds(), std::move(estimates), std::move(action)});
}

void StepKeeper::ask(std::size_t who, double deltaMs, bool correction) {
    if (std::fabs(deltaMs) < 1e-9) return;
    outbox_.push_back({speakers_[who].uid, deltaMs, correction});
    awaiting_ = true;
}

void StepKeeper::setState(std::size_t who, Verdict::State s) {
    verdicts_[who].state = s;
}

void StepKeeper::suspect(const std::string& uid) {
    for (Speaker& s : speakers_)
        if (s.uid == uid) s.suspect = true;
}

void StepKeeper::setDelays(std::vector<double> delaysMs) {
    if (delaysMs.size() != speakers_.size() ||
        !std::all_of(delaysMs.begin(), delaysMs.end(), [](double d) { return std::isfinite(d); })) {
        note("", "delays not taken: " + std::to_string(delaysMs.size()) + " values for " +
                     std::to_string(speakers_.size()) + " speakers, or one not finite");
        return;
    }
    // What changed beyond what was handed out; the part every speaker shares is a re-base that
    // moves the whole group, the rest someone's own change (a slider).
    std::vector<double> beyond(speakers_.size());
    bool changed = false;
    for (std::size_t i = 0; i < speakers_.size(); ++i) {
        const double change = delaysMs[i] - speakers_[i].delayMs;
        changed = changed || std::fabs(change) > 1e-9;
        beyond[i] = change - speakers_[i].owedMs;
    }
    std::vector<double> sorted = beyond;
    std::nth_element(sorted.begin(),
                     sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    const double common = sorted.empty() ? 0.0 : sorted[sorted.size() / 2];
    bool own = false;
    // The engine holds speakers back by whole frames: what it plays may differ from what was
    // asked by a frame for the request and one for the re-base.
    const double quantum = 2.5 * 1000.0 / opt_.rate;
    for (std::size_t i = 0; i < speakers_.size(); ++i) {
        Speaker& s = speakers_[i];
        s.delayMs = delaysMs[i];
        s.owedMs = 0;
        const double mine = beyond[i] - common;
        if (std::fabs(mine) > quantum) {
            own = true;
            s.offsetMs += mine;
            verdicts_[i].corrected = false;
        }
    }
    if (groupMs_) *groupMs_ += common;
    if (outbox_.empty() && awaiting_) {
        awaiting_ = false;
        waits_ = 0;
    }
    if (own) {
        // Someone was set by hand: the pattern is learnt afresh around what plays now, and a
        // hunt in progress is dropped with its probes undone.
        if (phase_ == Phase::probing) {
            for (std::size_t i = 0; i < speakers_.size(); ++i)
                if (std::fabs(beyond[i] - common) <= 0.01) ask(i, -speakers_[i].shiftMs, false);
        }
        for (Speaker& s : speakers_) {
            s.shiftMs = 0;
            s.hidden = false;
        }
        phase_ = Phase::watching;
        features_.clear();
        seen_.clear();
        learnt_ = 0;
        lastNew_.clear();
        note("", "delays set by hand: learning the group afresh");
    }
    watch_.keepHistory(lagRangeHi() + 50);
    if (changed) watch_.restart(kSettleSeconds);
}

void StepKeeper::add(const float* ref, const float* mic, std::size_t frames) {
    while (frames > 0) {
        // Feed up to the end of the window so each check sees exactly its window.
        const std::size_t step = std::min<std::size_t>(frames, 1024);
        watch_.add(ref, mic, step);
        frames_ += step;
        ref += step;
        mic += step;
        frames -= step;
        if (watch_.ready()) check();
    }
}

double StepKeeper::capability(double offsetMs) const {
    if (seen_.empty()) return 1;
    const auto x = static_cast<std::int64_t>(std::lround(offsetMs * seenRate_ / 1000.0));
    const std::int64_t reach = 2;
    const auto centre = static_cast<std::int64_t>(seenCentre_);
    double worst = 0;
    for (std::int64_t i = centre + x - reach; i <= centre + x + reach; ++i) {
        if (i < 0 || i >= static_cast<std::int64_t>(seen_.size())) return 1;
        worst = std::max(worst, static_cast<double>(seen_[static_cast<std::size_t>(i)]));
    }
    return worst;
}

double StepKeeper::featureMs() const {
    return 0.4 * opt_.toleranceMs;
}
double StepKeeper::apartMs() const {
    return 0.5 * featureMs();
}

std::vector<double> StepKeeper::fresh(const Peaks& rel) const {
    std::vector<double> out;  // strongest first, as the peaks come
    for (const auto& p : rel)
        if (std::fabs(p.lagMs) >= featureMs() && p.snr >= kNewFloors && !explained(p))
            out.push_back(p.lagMs);
    return out;
}

bool StepKeeper::explained(const ArrivalWatch::Peak& p) const {
    // A feature explains a peak as far from it as a move must go to count: a moving speaker's
    // reflections move with it, and must not count before its own sound does. Heights are the
    // paths' gains whatever the material, so they are held against the group's learnt height,
    // not against what is left of the group after someone moved away.
    const double share = std::fabs(p.gain) / std::max(groupGain_, 1e-12);
    for (const Feature& f : features_)
        if (std::fabs(f.offsetMs - p.lagMs) <= featureMs() && share <= 1.6 * f.share + 0.05)
            return true;
    // Where the learnt pattern could not have shown a peak, a peak says nothing new.
    return capability(p.lagMs) >= kSeenEcho;
}

void StepKeeper::learn(const ArrivalWatch::Reading& r, const Peaks& rel, double groupGain) {
    groupGain_ = learnt_ == 0 ? groupGain : 0.8 * groupGain_ + 0.2 * groupGain;
    for (const auto& p : rel) {
        if (std::fabs(p.lagMs) <= kGroupMs) continue;
        const double share = std::fabs(p.gain) / groupGain_;
        auto f = std::find_if(features_.begin(), features_.end(), [&](const Feature& f) {
            return std::fabs(f.offsetMs - p.lagMs) <= kSameMs;
        });
        if (f != features_.end()) {
            f->share = std::max(share, 0.8 * f->share + 0.2 * share);
        } else if (learnt_ < kLearnChecks || capability(p.lagMs) >= kSeenEcho) {
            // A peak where the pattern could not see before: part of the room, not a move (a
            // move would have shown where the pattern could see).
            features_.push_back({p.lagMs, share});
        }
    }
    if (seen_.size() != r.echo.size() || seenRate_ != r.rate) {
        seen_ = r.echo;
        seenCentre_ = r.echoCentre;
        seenRate_ = r.rate;
    } else {
        for (std::size_t i = 0; i < seen_.size(); ++i)
            seen_[i] = std::min(seen_[i], r.echo[i]);
    }
    ++learnt_;
}

std::string StepKeeper::describe(const Peaks& rel, double groupGain) const {
    groupGain = std::max(groupGain, 1e-12);
    std::string s = "group " + fmt("%.2f ms", groupMs_.value_or(0)) + fmt(" gain %.3f", groupGain);
    for (const auto& p : rel) {
        if (std::fabs(p.lagMs) <= kGroupMs) continue;
        s += fmt("; %+.2f ms", p.lagMs) + fmt(" x%.2f", std::fabs(p.gain) / groupGain) +
             fmt(" snr %.0f", p.snr);
    }
    return s;
}

void StepKeeper::check() {
    const double hi = lagRangeHi();
    const double lo = groupMs_ ? *groupMs_ - opt_.reachMs : 0.0;
    const ArrivalWatch::Reading r = watch_.analyse(lo, hi, groupMs_);
    if (awaiting_) {
        // The engine has not played what was asked yet: nothing here answers the question.
        if (++waits_ > kPatience) {
            outbox_.clear();
            awaiting_ = false;
            for (Speaker& s : speakers_)
                s.shiftMs = 0;
            phase_ = Phase::watching;
            note("", "the delays asked for never came: hunt dropped");
        } else {
            note("", "waiting for the delays asked for");
        }
        return;
    }
    if (!r.canTell) {
        for (std::size_t i = 0; i < speakers_.size(); ++i)
            if (verdicts_[i].state == Verdict::State::inStep)
                setState(i, Verdict::State::cannotTell);
        if (phase_ != Phase::watching && ++waits_ > kPatience) {
            undoProbes();
            phase_ = Phase::watching;
            note("", "cannot tell: " + r.doubt + "; hunt dropped");
            return;
        }
        note(fmt("level %.4f", r.level) + fmt(" coverage %.2f", r.coverage) +
                 fmt(" echo %.2f", r.selfSimilarity),
             "cannot tell: " + r.doubt);
        return;
    }
    if (!groupMs_) groupMs_ = r.peaks.front().lagMs;
    if (speakers_.size() == 1) groupMs_ = r.peaks.front().lagMs;  // a lone speaker is its group
    Peaks rel = r.peaks;
    for (auto& p : rel)
        p.lagMs -= *groupMs_;
    const ArrivalWatch::Peak* group = near(rel, 0, kGroupMs);
    if (!group && groupGain_ > 0 && std::fabs(rel.front().gain) >= 0.6 * groupGain_ &&
        phase_ == Phase::watching) {
        // Everyone moved together (what the microphone hears lags differently): the group is
        // still in step with itself.
        const double by = rel.front().lagMs;
        *groupMs_ += by;
        for (auto& p : rel)
            p.lagMs -= by;
        group = near(rel, 0, kGroupMs);
        note(describe(rel, std::fabs(group->gain)), fmt("the whole group moved by %+.2f ms", by));
    }
    if (!group && phase_ == Phase::watching) {
        note(describe(rel, groupGain_), "the group's own arrival is not heard");
        return;
    }
    // Mid-hunt the probes may have taken the whole group away from its place.
    const double groupGain = group ? std::fabs(group->gain) : groupGain_;
    switch (phase_) {
        case Phase::watching:
            watch(r, rel, groupGain);
            break;
        case Phase::probing:
            probe(rel, groupGain);
            break;
        case Phase::verifying:
            verify(rel, groupGain);
            break;
    }
}

void StepKeeper::watch(const ArrivalWatch::Reading& r, const Peaks& rel, double groupGain) {
    const std::string estimates = describe(rel, groupGain);
    if (learnt_ < kLearnChecks) {
        learn(r, rel, groupGain);
        note(estimates, "learning the group");
        return;
    }
    const std::vector<double> news = fresh(rel);
    if (news.empty()) {
        learn(r, rel, groupGain);
        for (std::size_t i = 0; i < speakers_.size(); ++i) {
            if (speakers_[i].hidden) {
                setState(i, Verdict::State::cannotTell);
                continue;
            }
            verdicts_[i] = {Verdict::State::inStep, 0.0, seconds(), verdicts_[i].corrected};
        }
        lastNew_.clear();
        note(estimates, "in step");
        return;
    }
    const double at = news.front();  // the strongest
    const auto before = std::find_if(lastNew_.begin(), lastNew_.end(),
                                     [&](double x) { return std::fabs(x - at) <= kSameMs; });
    const bool again = before != lastNew_.end();
    // Seen twice: how fast it moves tells a drifting clock (followed while probing) from a jump.
    const double elapsed = seconds() - lastNewAt_;
    huntRate_ = again && elapsed > 0
                    ? std::clamp((at - *before) / elapsed, -kMaxDriftRate, kMaxDriftRate)
                    : 0.0;
    lastNew_ = news;
    lastNewAt_ = seconds();
    if (!again) {
        note(estimates, fmt("new arrival at %+.2f ms: looking again", at));
        return;
    }
    lastNew_.clear();
    if (drifter_ && !speakers_[*drifter_].hidden && std::fabs(at) < kDriftMs &&
        at * driftSign_ > 0) {
        // The speaker corrected last for a small move, moving on the same way: corrected again,
        // and the next look confirms it (or undoes it).
        trusted_ = true;
        huntMs_ = at;
        huntAt_ = seconds();
        correct(*drifter_, at - speakers_[*drifter_].offsetMs, estimates);
        return;
    }
    const ArrivalWatch::Peak* found = near(rel, at, 1e-6);
    startHunt(at, found ? std::fabs(found->gain) / std::max(groupGain_, 1e-12) : 0.0);
    note(estimates, fmt("new arrival at %+.2f ms: ", at) + "probing " +
                        std::to_string(probed_.size()) + " of " +
                        std::to_string(candidates_.size()) + fmt(" by %+.2f ms", probeMs_));
}

void StepKeeper::startHunt(double offsetMs, double share) {
    huntMs_ = offsetMs;
    huntAt_ = seconds();
    huntShare_ = share;
    waits_ = 0;
    candidates_.clear();
    for (std::size_t i = 0; i < speakers_.size(); ++i)
        if (!speakers_[i].hidden) candidates_.push_back(i);
    std::stable_partition(candidates_.begin(), candidates_.end(),
                          [&](std::size_t i) { return speakers_[i].suspect; });
    for (std::size_t i : candidates_)
        setState(i, Verdict::State::checking);
    phase_ = Phase::probing;
    nextProbe();
}

void StepKeeper::nextProbe() {
    // A suspect alone first; otherwise half of those left.
    std::size_t count = (candidates_.size() + 1) / 2;
    if (speakers_[candidates_.front()].suspect) count = 1;
    std::vector<std::size_t> next(candidates_.begin(),
                                  candidates_.begin() + static_cast<std::ptrdiff_t>(count));
    // The probed part moves toward the group by half the least move acted on, so the four places
    // (the group, the new arrival, each shifted) stay that far apart: 0.4 ms for a 2 ms
    // tolerance, several times a peak's width from broadband material, and inaudible.
    probeMs_ = huntNow() > 0 ? -apartMs() : apartMs();
    shiftProbed(next, probeMs_);
    probed_ = std::move(next);
    waits_ = 0;
}

void StepKeeper::shiftProbed(const std::vector<std::size_t>& probed, double ms) {
    for (std::size_t i = 0; i < speakers_.size(); ++i) {
        const bool in = std::find(probed.begin(), probed.end(), i) != probed.end();
        const double want = in ? ms : 0.0;
        ask(i, want - speakers_[i].shiftMs, false);
        speakers_[i].shiftMs = want;
    }
}

void StepKeeper::undoProbes() {
    for (std::size_t i = 0; i < speakers_.size(); ++i) {
        ask(i, -speakers_[i].shiftMs, false);
        speakers_[i].shiftMs = 0;
        if (verdicts_[i].state == Verdict::State::checking) setState(i, Verdict::State::cannotTell);
    }
    probed_.clear();
    candidates_.clear();
    waits_ = 0;
}

double StepKeeper::huntNow() const {
    return huntMs_ + huntRate_ * (seconds() - huntAt_);
}

void StepKeeper::dropHunt(double share, const std::string& estimates, const std::string& why) {
    features_.push_back({huntNow(), share});
    undoProbes();
    phase_ = Phase::watching;
    note(estimates, why);
}

void StepKeeper::probe(const Peaks& rel, double groupGain) {
    const std::string estimates = describe(rel, groupGain);
    const double within = apartMs() / 2;
    const double expected = huntNow();
    const ArrivalWatch::Peak* moved = near(rel, expected + probeMs_, within);
    const ArrivalWatch::Peak* stayed = near(rel, expected, within);
    if (!moved && !stayed) {
        if (++waits_ > kPatience) {
            // Heard clearly enough to be hunted, and then not in several readable windows: a
            // faint path that comes and goes with the material, not a speaker's own sound. Held
            // at the share it showed: a speaker that really moves there later, its whole sound,
            // stands well above that.
            dropHunt(huntShare_, estimates,
                     fmt("the new arrival at %+.2f ms is gone: probes undone, learnt as the room's",
                         expected));
        } else {
            note(estimates, "the new arrival is not heard: looking again");
        }
        return;
    }
    waits_ = 0;
    std::vector<std::size_t> left;
    if (moved) {
        // Someone shifted sits there; the others there (if it stayed too) are found afterwards.
        for (std::size_t i : candidates_)
            if (std::find(probed_.begin(), probed_.end(), i) != probed_.end()) left.push_back(i);
        huntMs_ = moved->lagMs - probeMs_;
        huntAt_ = seconds();
    } else {
        for (std::size_t i : candidates_) {
            if (std::find(probed_.begin(), probed_.end(), i) == probed_.end()) {
                left.push_back(i);
            } else if (probed_.size() == 1) {
                // Shifted alone and nothing moved: not there. If nothing of it showed at all,
                // the microphone does not hear it.
                const bool seen = near(rel, speakers_[i].offsetMs + probeMs_, within) != nullptr;
                speakers_[i].suspect = false;
                speakers_[i].hidden = !seen;
                setState(i, seen ? Verdict::State::inStep : Verdict::State::cannotTell);
            }
        }
        huntMs_ = stayed->lagMs;
        huntAt_ = seconds();
    }
    for (std::size_t i : candidates_)
        if (std::find(left.begin(), left.end(), i) == left.end() &&
            verdicts_[i].state == Verdict::State::checking)
            setState(i, Verdict::State::inStep);
    const bool confirmed = moved && probed_.size() == 1;
    candidates_ = std::move(left);
    if (confirmed && std::fabs(huntMs_ - speakers_[probed_.front()].offsetMs) < featureMs()) {
        // It is that speaker where it was set to be: nothing to correct, and now known.
        Speaker& s = speakers_[probed_.front()];
        s.suspect = false;
        dropHunt(std::fabs(moved->gain) / std::max(groupGain_, 1e-12), estimates,
                 s.uid + " is where it was set: nothing to do");
        return;
    }
    if (confirmed) {
        const std::size_t who = probed_.front();
        speakers_[who].suspect = false;
        const ArrivalWatch::Peak* home = near(rel, speakers_[who].offsetMs + probeMs_, within);
        if (home && home->snr >= kNewFloors &&
            std::fabs(home->gain) >= kStillHome * std::fabs(moved->gain)) {
            // Its own sound is still where it belongs, shifted with the probe: the arrival that
            // followed is its echo (a reflection the material now shows more of), not a move.
            dropHunt(std::fabs(moved->gain) / std::max(groupGain_, 1e-12), estimates,
                     speakers_[who].uid + fmt(" is where it was set; the arrival at %+.2f ms is "
                                              "its echo: learnt as the room's",
                                              huntMs_));
            return;
        }
        // Its arrival now includes its probe; the correction takes both back.
        correct(who, moved->lagMs - speakers_[who].offsetMs, estimates);
        return;
    }
    if (candidates_.empty()) {
        // Nobody's shift moves it: not a speaker that moved (part of the room the pattern had
        // not shown). Learnt, and the probes undone.
        dropHunt(1.0, estimates,
                 fmt("arrival at %+.2f ms follows nobody: learnt as the room's", huntMs_));
        return;
    }
    nextProbe();
    note(estimates, std::string(moved ? "it moved" : "it stayed") + ": probing " +
                        std::to_string(probed_.size()) + " of " +
                        std::to_string(candidates_.size()) + fmt(" by %+.2f ms", probeMs_));
}

void StepKeeper::correct(std::size_t who, double errorMs, const std::string& estimates) {
    // Every probe is undone first, this speaker's too, so that the correction is only what it
    // moved: a probe lives in what the engine plays, a correction in the speaker's offset.
    for (std::size_t i = 0; i < speakers_.size(); ++i) {
        ask(i, -speakers_[i].shiftMs, false);
        if (i != who) speakers_[i].shiftMs = 0;
    }
    Speaker& s = speakers_[who];
    const double baseError = errorMs - s.shiftMs;
    ask(who, -baseError, true);
    s.shiftMs = 0;
    verdicts_[who] = {Verdict::State::moved, baseError, seconds(), true};
    for (std::size_t i = 0; i < speakers_.size(); ++i)
        if (i != who && verdicts_[i].state == Verdict::State::checking)
            setState(i, Verdict::State::inStep);
    verifying_ = who;
    verifyMs_ = errorMs;
    phase_ = Phase::verifying;
    waits_ = 0;
    probed_.clear();
    candidates_.clear();
    note(estimates, "correct " + s.uid + fmt(": it arrives %+.2f ms off", baseError) +
                        (trusted_ ? " (it moved this way before)" : ""));
}

void StepKeeper::verify(const Peaks& rel, double groupGain) {
    const std::string estimates = describe(rel, groupGain);
    // What else is new is remembered, so a second mover is taken up at the next look.
    lastNew_ = fresh(rel);
    const std::size_t who = verifying_;
    // Had it not been the one, it would now sit the correction away from where it belongs,
    // and the arrival would still be where it was.
    const ArrivalWatch::Peak* wrong =
        trusted_ ? near(rel, speakers_[who].offsetMs - verifyMs_, apartMs() / 2) : nullptr;
    const bool stillThere = near(rel, huntNow(), apartMs() / 2) != nullptr;
    phase_ = Phase::watching;
    if (wrong && wrong->snr >= kNewFloors && stillThere) {
        // The speaker was not the one: its correction taken back, and the arrival is hunted.
        ask(who, verifyMs_, true);
        verdicts_[who].corrected = false;
        drifter_.reset();
        trusted_ = false;
        note(estimates, "the correction of " + speakers_[who].uid + " moved it away: undone");
        return;
    }
    trusted_ = false;
    const double error = verdicts_[who].errorMs;
    if (std::fabs(error) < kDriftMs) {
        drifter_ = who;
        driftSign_ = error > 0 ? 1 : -1;
    }
    verdicts_[who] = {Verdict::State::inStep, 0.0, seconds(), true};
    note(estimates, speakers_[who].uid + " corrected" +
                        (stillThere ? "; another arrival is still there" : ""));
}

}  // namespace housetone
