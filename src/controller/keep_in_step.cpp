// Keep in step: listening while aligned plays (StepListener, StepKeeper), the probes and
// corrections it asks for, and what each speaker's link says about its latency.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "audio/device_access.h"
#include "controller/controller.h"
#include "core/text.h"

namespace housetone {

namespace {

// The most check lines kept for the self-check's log (hours of listening).
constexpr std::size_t maxListenLog = 20000;
// A reported latency that moves by more than this is a change worth a look, ms.
constexpr double reportedMoveMs = 2.0;
// How long a speaker's row says it was corrected before it says how well it holds again, s.
constexpr std::int64_t correctedShownSeconds = 60;

// "AAC" for "a2dp-sink/aac", the profile when there is no codec.
std::string linkLabel(const std::string& key) {
    const auto slash = key.find('/');
    std::string word = slash == std::string::npos ? key : key.substr(slash + 1);
    if (word.empty()) word = key.substr(0, slash);
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return word;
}

std::string signedMs(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.0f ms", ms);
    return text;
}

SyncNote::State noteState(StepKeeper::Verdict::State s) {
    switch (s) {
        case StepKeeper::Verdict::State::inStep:
            return SyncNote::State::inStep;
        case StepKeeper::Verdict::State::moved:
            return SyncNote::State::moved;
        case StepKeeper::Verdict::State::checking:
            return SyncNote::State::checking;
        case StepKeeper::Verdict::State::cannotTell:
            break;
    }
    return SyncNote::State::cannotTell;
}

}  // namespace

void Controller::setKeepInStep(bool on) {
    if (on && s_.micPermission.status() == MicAuthorization::notDetermined) {
        std::weak_ptr<Controller> weak = weak_from_this();
        MainQueue* main = &s_.main;
        s_.micPermission.request([weak, main](bool granted) {
            main->post([weak, granted] {
                if (const auto self = weak.lock()) self->setKeepInStep(granted);
            });
        });
        return;
    }
    if (on && s_.micPermission.status() != MicAuthorization::authorized) {
        setStatus(
            "Microphone access is off. Allow it in your desktop's privacy settings, then "
            "try again.");
        on = false;
    }
    publish(keepInStep_, on, Field::keepInStep);
    if (record_.keepInStep.value_or(false) != on) {
        Config next = record_;
        next.keepInStep = on;
        writeRecord(next);
    }
    listenProblem_.reset();
    updateListening();
}

Offsets Controller::playedOffsets() const {
    if (probes_.empty()) return offsets_;
    Offsets played = offsets_;
    for (const auto& [uid, ms] : probes_)
        played.set(uid, offsets_.of(uid) + ms);
    // A probe that would play a speaker earlier than it can be played moves everyone else later
    // instead: the engine can only hold back, and what counts is the speakers' difference.
    played.rebase(uidsOf(engine_->targets()));
    return played;
}

void Controller::updateListening() {
    const std::uint64_t run = engine_->installedRun();
    const bool should = keepInStep_ && mode_ == Mode::aligned && run != 0 && !tuning_ &&
                        !guidedIndex_ && !clickLoopActive() &&
                        s_.micPermission.status() == MicAuthorization::authorized;
    const std::vector<std::string> targets = uidsOf(engine_->targets());
    if (listener_->listening()) {
        const auto ids = deviceIDs(s_.hw);
        const bool micHere =
            std::find(ids.begin(), ids.end(), listener_->microphone()) != ids.end();
        if (!micHere && should) say("Keep in step stopped listening: the microphone is gone.");
        if (should && micHere && listener_->run() == run && listenUIDs_ == targets) {
            publish(listening_, true, Field::listening);
            return;
        }
        listener_->stop();
        // A probe is the listening's own: it goes with it.
        if (!probes_.empty()) {
            probes_.clear();
            if (run != 0) engine_->play(offsets_);
        }
        if (!micHere) {
            publish(listening_, false, Field::listening);
            return;  // until the microphone is chosen again or comes back, as said
        }
    }
    publish(listening_, false, Field::listening);
    if (!should) {
        publish(syncNotes_, {}, Field::syncNotes);
        return;
    }
    std::optional<AudioObjectID> mic;
    if (micUID_)
        for (const Dev& d : inputs_)
            if (d.uid == *micUID_) mic = d.id;
    std::weak_ptr<Controller> weak = weak_from_this();
    const auto started = listener_->start(mic, targets, run, [weak](StepListener::Report r) {
        if (const auto self = weak.lock()) self->onListenReport(r);
    });
    std::optional<std::string> problem;
    switch (started) {
        case StepListener::Start::listening:
            break;
        case StepListener::Start::noMicrophone:
            problem = "Keep in step cannot listen: there is no microphone.";
            break;
        case StepListener::Start::microphoneFailed:
            problem = "Keep in step cannot listen: the microphone did not start.";
            break;
        case StepListener::Start::otherRate:
            problem =
                "Keep in step cannot listen: the microphone runs at another rate than the "
                "speakers.";
            break;
    }
    if (problem) {
        if (problem != listenProblem_) say(*problem);
        listenProblem_ = problem;
        return;
    }
    listenProblem_.reset();
    listenUIDs_ = targets;
    listenedSeconds_ = 0;
    listenLog_.clear();
    correctedAt_.clear();
    correctionSaid_.clear();
    std::map<std::string, SyncNote> notes;
    for (const auto& uid : targets)
        notes[uid] = SyncNote{};
    publish(syncNotes_, std::move(notes), Field::syncNotes);
    publish(listening_, true, Field::listening);
}

void Controller::onListenReport(const StepListener::Report& report) {
    if (!listening_) return;
    const std::int64_t now = s_.now();
    auto notes = syncNotes_;
    for (std::size_t i = 0; i < report.verdicts.size() && i < listenUIDs_.size(); ++i) {
        const StepKeeper::Verdict& v = report.verdicts[i];
        SyncNote& n = notes[listenUIDs_[i]];
        const bool fresh = v.atSeconds >= 0 && (n.measuredAt == 0 || v.errorMs != n.errorMs ||
                                                noteState(v.state) != n.state);
        const auto at = correctedAt_.find(listenUIDs_[i]);
        const bool recent = at != correctedAt_.end() && now - at->second < correctedShownSeconds;
        n.corrected = n.corrected && v.corrected && recent;
        n.state = n.corrected ? SyncNote::State::moved : noteState(v.state);
        n.errorMs = v.errorMs;
        if (fresh) n.measuredAt = now;
    }
    for (const auto& c : report.checks) {
        listenedSeconds_ = std::max(listenedSeconds_, c.atSeconds);
        char at[32];
        std::snprintf(at, sizeof at, "%.1f s", c.atSeconds);
        listenLog_.push_back(std::string(at) + "  " + c.estimates + "  " + c.action);
    }
    if (listenLog_.size() > maxListenLog)
        listenLog_.erase(
            listenLog_.begin(),
            listenLog_.begin() + static_cast<std::ptrdiff_t>(listenLog_.size() - maxListenLog));

    Offsets next = offsets_;
    std::vector<std::string> corrected;
    bool probed = false;
    for (const auto& r : report.requests) {
        if (std::find(listenUIDs_.begin(), listenUIDs_.end(), r.uid) == listenUIDs_.end() ||
            !std::isfinite(r.deltaMs))
            continue;
        if (!r.correction) {
            double& p = probes_[r.uid];
            p += r.deltaMs;
            if (std::fabs(p) < 1e-6) probes_.erase(r.uid);
            probed = true;
            continue;
        }
        if (!next.set(r.uid, next.of(r.uid) + r.deltaMs)) continue;
        corrected.push_back(r.uid);
        SyncNote& n = notes[r.uid];
        n.state = SyncNote::State::moved;
        n.corrected = true;
        n.correctedMs = -r.deltaMs;
        n.measuredAt = now;
        correctedAt_[r.uid] = now;
    }
    publish(syncNotes_, std::move(notes), Field::syncNotes);
    if (corrected.empty()) {
        if (probed) {
            engine_->play(playedOffsets());
            listener_->delaysChanged();
        }
        return;
    }
    next.rebase(uidsOf(devices_));
    changeOffsets(std::move(next));
    rememberLinks(corrected);
    save();
    std::vector<std::string> said;
    for (const auto& uid : corrected) {
        std::string name = uid;
        for (const Dev& d : devices_)
            if (d.uid == uid) name = d.name;
        said.push_back(name + " moved " + signedMs(syncNotes_.at(uid).correctedMs));
    }
    correctionSaid_ = "Kept in step: " + joined(said, ", ") + " — corrected.";
    setStatus(correctionSaid_);
}

std::optional<std::string> Controller::recentCorrection() const {
    if (!listening_ || correctionSaid_.empty()) return std::nullopt;
    const std::int64_t now = s_.now();
    for (const auto& [uid, at] : correctedAt_)
        if (now - at < correctedShownSeconds) return correctionSaid_;
    return std::nullopt;
}

void Controller::rememberLinks(const std::vector<std::string>& uids) {
    auto links = record_.links.value_or(std::map<std::string, std::map<std::string, LinkRecord>>{});
    auto notes = linkNotes_;
    for (const auto& uid : uids) {
        const auto d = std::find_if(devices_.begin(), devices_.end(),
                                    [&](const Dev& x) { return x.uid == uid; });
        if (d == devices_.end()) continue;
        const LinkState link = linkState(s_.hw, d->id);
        links[uid][link.key] = LinkRecord{offsets_.of(uid), link.reportedMs};
        linkSeen_[uid] = link;
        notes.erase(uid);
    }
    record_.links = std::move(links);
    publish(linkNotes_, std::move(notes), Field::linkNotes);
}

void Controller::noticeLinks() {
    std::set<std::string> listed;
    auto notes = linkNotes_;
    Offsets next = offsets_;
    std::vector<std::string> changes;
    for (const Dev& d : devices_) {
        listed.insert(d.uid);
        const LinkState now = linkState(s_.hw, d.id);
        const auto seen = linkSeen_.find(d.uid);
        const bool first = seen == linkSeen_.end();
        const bool back = !first && !linkListed_.contains(d.uid);
        const bool relinked = !first && seen->second.key != now.key;
        const bool reportMoved =
            !first && seen->second.reportedMs && now.reportedMs &&
            std::fabs(*seen->second.reportedMs - *now.reportedMs) > reportedMoveMs;
        const double reportedBefore = reportMoved ? *seen->second.reportedMs : 0.0;
        linkSeen_[d.uid] = now;
        if (!first && !back && !relinked && !reportMoved) continue;

        const std::string over =
            now.key.empty() ? std::string("its plain link") : linkLabel(now.key);
        std::string change =
            back ? d.name + " is back"
            : relinked
                ? d.name + " now connects over " + over
                : d.name + " reports " + signedMs(*now.reportedMs - reportedBefore) + " of latency";
        // What was measured over this link before comes back with it; a link never measured
        // keeps the offset, said to be unverified.
        if (first || back || relinked) {
            const std::map<std::string, LinkRecord>* measured = nullptr;
            if (record_.links)
                if (const auto it = record_.links->find(d.uid); it != record_.links->end())
                    measured = &it->second;
            if (measured && !measured->empty()) {
                const auto rec = measured->find(now.key);
                if (rec == measured->end()) {
                    notes[d.uid] = "Offset unverified for " +
                                   (now.key.empty() ? std::string("this connection") : over);
                } else {
                    notes.erase(d.uid);
                    if (std::fabs(rec->second.offsetMs - next.of(d.uid)) > 0.5) {
                        next.set(d.uid, rec->second.offsetMs);
                        change += ": its offset for " + over + " is back";
                        if (first) changes.push_back(change);
                    }
                }
            }
        }
        if (first) continue;
        listener_->suspect(d.uid);
        // Only a speaker that aligned plays has an alignment to lose; a restored offset is said
        // whatever the mode (it changed).
        const auto inc = include_.find(d.uid);
        const bool aligned = mode_ == Mode::aligned && inc != include_.end() && inc->second;
        if (aligned || change.find(": its offset for ") != std::string::npos)
            changes.push_back(change);
    }
    linkListed_ = std::move(listed);
    publish(linkNotes_, std::move(notes), Field::linkNotes);
    if (next != offsets_) {
        next.rebase(uidsOf(devices_));
        changeOffsets(std::move(next));
    }
    if (changes.empty()) return;
    setStatus(joined(changes, "; ") + (listening_ ? ". Checking that the speakers are in step."
                                                  : ". The alignment may be off."));
}

}  // namespace housetone
