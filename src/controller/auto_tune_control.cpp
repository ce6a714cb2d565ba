// The controller's side of auto-tune: the checks before a run, microphone permission, wiring one
// AutoTuner per run, and carrying its reports back onto the main thread.
//
// Every handler given to the tuner holds the controller weakly. The controller owns the tuner
// (tuner_), so a handler holding it strongly would form a reference cycle that outlives the app's
// last owner; a run that outlives the controller has nothing left to report to, and its posted
// work is simply dropped.

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "controller/controller.h"
#include "core/printable.h"
#include "tune/auto_tuner.h"

namespace housetone {

namespace {

constexpr const char* tuneLogName = "autotune.log";

// Speaker names and UIDs come from outside: neither the report (several lines) nor a diagnostic
// line may carry a terminal escape into a log someone will print.
std::string tuneLogText(const std::string& finalText, const std::vector<std::string>& lines) {
    std::string out = printableLines(finalText) + "\n---\n";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) out += '\n';
        out += printable(lines[i]);
    }
    return out;
}

// Why a tune cannot start with these speakers, if it cannot: it compares two speakers at least.
std::optional<std::string> whyNoTune(const Controller& c) {
    if (c.devices().empty()) return "No speakers found";
    // By UID: a speaker the system lists twice is still one speaker.
    std::set<std::string> included;
    for (const Dev& d : c.includedDevices())
        included.insert(d.uid);
    if (included.size() < 2) return "Tick at least two speakers";
    return std::nullopt;
}

}  // namespace

void Controller::toggleAutoTune() {
    if (tuning_) {
        // The run notices between measurements and still ends through `finished`.
        if (tuner_) tuner_->cancelled.store(true, std::memory_order_relaxed);
        publish(tuneOverall_, std::optional<std::string>("Cancelling…"), Field::tuneOverall);
        return;
    }
    if (const auto reason = whyNoTune(*this)) {
        tuneRefusal_ = reason;
        publish(tuneOverall_, reason, Field::tuneOverall);
        return;
    }
    const auto reference = referenceSpeaker();
    std::vector<Dev> others;
    for (const Dev& d : includedDevices())
        if (d.uid != reference->uid) others.push_back(d);

    switch (s_.micPermission.status()) {
        case MicAuthorization::authorized:
            startTuning(*reference, others);
            return;
        case MicAuthorization::notDetermined: {
            publish(tuneOverall_,
                    std::optional<std::string>("Waiting for you to allow microphone access…"),
                    Field::tuneOverall);
            std::weak_ptr<Controller> weak = weak_from_this();
            MainQueue* main = &s_.main;
            s_.micPermission.request([weak, main, ref = *reference, others](bool granted) {
                // Any thread: nothing changes until we are back on the main thread.
                main->post([weak, ref, others, granted] {
                    const auto self = weak.lock();
                    if (!self) return;
                    if (!granted) {
                        self->publish(self->tuneOverall_,
                                      std::optional<std::string>(
                                          "Microphone access denied — Auto-tune needs a "
                                          "microphone. Allow it in your desktop's privacy "
                                          "settings, then try again."),
                                      Field::tuneOverall);
                        return;
                    }
                    // Two prompts answered in a row must not start two runs.
                    if (!self->tuning_) self->startTuning(ref, others);
                });
            });
            return;
        }
        case MicAuthorization::restricted:
        case MicAuthorization::denied:
            publish(tuneOverall_,
                    std::optional<std::string>(
                        "Microphone access is off. Allow it in your desktop's privacy settings, "
                        "then try again."),
                    Field::tuneOverall);
            return;
    }
}

void Controller::takeBackTuneRefusal() {
    // A refusal is said about the speakers as they were: once the list or the group no longer
    // bears it out, it goes, unless something else has been said since.
    if (!tuneRefusal_ || whyNoTune(*this) == tuneRefusal_) return;
    if (tuneOverall_ == tuneRefusal_)
        publish(tuneOverall_, std::optional<std::string>(), Field::tuneOverall);
    tuneRefusal_.reset();
}

void Controller::startTuning(const Dev& reference, const std::vector<Dev>& others) {
    publish(tuning_, true, Field::tuning);
    publish(tunePhases_, std::map<std::string, std::string>{}, Field::tunePhases);
    tuneFraction_ = 0;
    publish(tuneProgress_, std::optional<TuneProgress>(TuneProgress{}), Field::tuneProgress);
    publish(
        tuneOverall_,
        std::optional<std::string>("Keep the room quiet — each speaker will play a short sweep."),
        Field::tuneOverall);

    tuner_ = std::make_shared<AutoTuner>(s_.hw, s_.main, offsetLimitMs);
    AutoTuner& tuner = *tuner_;
    tuner.engineTrimMs = record_.engineTrimMs.value_or(std::map<std::string, double>{});
    connectTuneReports(tuner, static_cast<int>(others.size()) + 1);
    if (micUID_) {
        for (const Dev& d : inputs_) {
            if (d.uid == *micUID_) {
                tuner.micDevice = d.id;
                break;
            }
        }
    }

    // Both run on the main thread (suspend synchronously, resume posted after `finished`).
    std::weak_ptr<Controller> weak = weak_from_this();
    tuner.suspendEngine = [weak] {
        // The mode stays aligned: the pause is the tuner's, not the user's.
        if (const auto self = weak.lock()) {
            self->listener_->stop();
            self->engine_->stop();
        }
    };
    tuner.resumeEngine = [weak] {
        const auto self = weak.lock();
        // A user who left aligned during the run has routed elsewhere; do not start over them.
        if (self && self->mode_ == Mode::aligned) self->applyMode(Mode::aligned);
    };

    const bool engineRunning = mode_ == Mode::aligned && !tapSilent_;
    tuner.start(reference, others, offsets_.values(), engineRunning);
}

void Controller::connectTuneReports(AutoTuner& tuner, int speakerCount) {
    std::weak_ptr<Controller> weak = weak_from_this();
    MainQueue* main = &s_.main;
    // status, speakerPhase, applyOffsets and finished run on the tuner's queue: each only posts,
    // so the published fields change on the main thread in the order the tuner called them.
    tuner.status = [weak, main, speakerCount](const std::string& text, const TuneProgress& where) {
        main->post([weak, text, where, speakerCount] {
            const auto self = weak.lock();
            if (!self) return;
            self->tuneFraction_ = where.fraction(speakerCount);
            self->publish(self->tuneProgress_, std::optional<TuneProgress>(where),
                          Field::tuneProgress);
            self->publish(self->tuneOverall_, std::optional<std::string>(text), Field::tuneOverall);
        });
    };
    tuner.speakerPhase = [weak, main](const std::string& uid, const std::string& text) {
        main->post([weak, uid, text] {
            const auto self = weak.lock();
            if (!self) return;
            auto phases = self->tunePhases_;
            phases[uid] = text;
            self->publish(self->tunePhases_, std::move(phases), Field::tunePhases);
        });
    };
    // Whether this run handed over offsets; touched on the main thread only.
    const auto appliedAny = std::make_shared<bool>(false);
    tuner.applyOffsets = [weak, main, appliedAny](const std::map<std::string, double>& applied) {
        main->post([weak, applied, appliedAny] {
            const auto self = weak.lock();
            if (!self) return;
            Offsets offsets = self->offsets_;
            // A value that is not finite is not taken (the others are), nor dated as measured.
            auto measuredAt =
                self->record_.measuredAt.value_or(std::map<std::string, std::int64_t>{});
            const std::int64_t now = self->s_.now();
            for (const auto& [uid, ms] : applied)
                if (offsets.set(uid, ms)) measuredAt[uid] = now;
            self->record_.measuredAt = std::move(measuredAt);
            // Speakers not routed through the engine only change `offsets` and the file.
            self->changeOffsets(std::move(offsets));
            // Everyone now waits for the slowest speaker, so it becomes the reference: a
            // reference has no delay control, and the old one's new delay would play unseen.
            if (const auto ref = self->referenceSpeaker(); ref && self->offsets_.of(ref->uid) > 0) {
                for (const auto& [uid, ms] : applied) {
                    if (ms != 0) continue;
                    self->record_.anchor = uid;
                    break;
                }
            }
            std::vector<std::string> measured;
            for (const auto& [uid, ms] : applied)
                measured.push_back(uid);
            self->rememberLinks(measured);
            self->save();
            self->notify(Field::measuredAt);
            *appliedAny = true;
        });
    };
    // The log is copied here, on the tuner's queue while its run is still alive, so the
    // main-thread part needs no reference to the tuner (which may be replaced by then).
    tuner.finished = [weak, main, tuner = &tuner, appliedAny](const std::string& report) {
        main->post([weak, report, lines = tuner->log(), picture = tuner->picture(), appliedAny] {
            if (const auto self = weak.lock())
                self->onTuneFinished(report, lines, picture, *appliedAny);
        });
    };
}

void Controller::onTuneFinished(const std::string& report, const std::vector<std::string>& lines,
                                const std::optional<TunePicture>& picture, bool appliedAny) {
    // The status line said it when the save failed, but perhaps long before (or not at all, when
    // it had already said that failure): the report itself says so too.
    std::string text = report;
    if (appliedAny && unsaved_) text += "\nThe offsets are applied but not saved: " + *unsaved_;
    if (picture) publish(tunePicture_, picture, Field::tunePicture);
    publish(tuneProgress_, std::optional<TuneProgress>(), Field::tuneProgress);
    publish(tuning_, false, Field::tuning);
    publish(tuneOverall_, std::optional<std::string>(text), Field::tuneOverall);
    // A failed write keeps the previous run's log, and is said.
    const auto path = stateFile(tuneLogName);
    std::string why;
    const bool written = writeFileAtomically(path, tuneLogText(text, lines), &why);
    std::optional<std::string> problem;
    if (!written) problem = "cannot write \"" + path.string() + "\" (" + why + ")";
    reportWrite("The tune log", problem);
}

}  // namespace housetone
