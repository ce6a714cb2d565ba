// The controller's life (start-up, observers, shutdown), its device list and the routing of the
// three modes. Main thread only, except where a comment says otherwise.
#include "controller/controller.h"
#include "core/text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "audio/aggregate.h"
#include "audio/device_access.h"
#include "core/audit_log.h"
#include "engine/tone_chain.h"
#include "tune/auto_tuner.h"

namespace housetone {

namespace {

// What a failed start of the aligned engine means to the user; the audio system's own terms and
// status code go to the log.
std::string alignedFailure(std::optional<TapEngine::Step> step) {
    using enum TapEngine::Step;
    const std::string why = !step                ? ""
                            : *step == targets   ? ": there is no speaker to play to"
                            : *step == tap       ? ": the audio system did not hand over what "
                                                   "programs play"
                            : *step == aggregate ? ": the speakers could not be opened together"
                                                 : ": the speakers did not start playing";
    return "Aligned could not start" + why + ". Back to Single; the details are in the log.";
}

}  // namespace

// ---- Life ---------------------------------------------------------------------------------------

std::shared_ptr<Controller> Controller::create(Services services) {
    // Constructed through a shared_ptr before start-up so the tick can hold it weakly.
    std::shared_ptr<Controller> c(new Controller(std::move(services)));
    c->startUp();
    return c;
}

Controller::Controller(Services services)
    : s_(services), engine_(std::make_unique<TapEngine>(s_.hw, s_.main)) {
    listener_ = std::make_unique<StepListener>(s_.hw, s_.main, *engine_);
}

Controller::~Controller() {
    listener_.reset();                               // it reads the engine's ring
    latestRun_.store(0, std::memory_order_relaxed);  // nothing queued is built for nobody
    if (timer_) s_.main.cancelTimer(*timer_);
    // A running tune ends at its next check instead of finishing first (the tuner's destructor
    // waits for its run).
    if (tuner_) tuner_->cancelled = true;
    // A joinable std::thread must not be destroyed, and a click test may have been started again
    // after shutdown(). The engine tears itself down when destroyed.
    clickLoopActive_.store(false, std::memory_order_relaxed);
    s_.player.terminate();
    stopClickThread();
}

void Controller::startUp() {
    const SettingsRead file = s_.store.read();
    record_ = file.config;
    audited_ = record_;
    offsets_ = Offsets(record_.offsets);
    // An include map in the file, even an empty one, means decisions were saved: nobody is
    // announced as new. Without one (first run) every listed device is announced.
    refreshDevices(record_.include);
    clampOffsets();
    inputs_ = inputDevices(s_.hw);
    micUID_ = record_.micUID;
    bassBoost_ = record_.bassBoost.value_or(false);
    volBoostPct_ = record_.volBoostPct.value_or(0);
    crisp_ = record_.crisp.value_or(std::map<std::string, double>{});
    keepInStep_ = record_.keepInStep.value_or(false);
    refreshVolumes();
    // A file that cannot be used is said, never passed over: the user's settings are not in
    // force, and what becomes of the file at the next save.
    if (file.problem) {
        say("Settings not read: " + *file.problem +
            (file.state == SettingsRead::State::invalid
                 ? std::string("; starting from the defaults, and the file is kept as ") +
                       SettingsStore::unreadableName + " when settings are next saved"
                 : std::string("; starting from the defaults, and the file is not replaced")));
    }
    // A time the file could not give is only a hint lost, but the file is the user's: said once.
    if (file.ignored) say(*file.ignored);
    // Said now rather than at the first save, so nobody works on believing it will be kept.
    if (auto problem = s_.store.folderProblem()) {
        unsaved_ = problem;
        reportWrite("Settings", problem);
    }

    // The timer fires on the main thread; each firing becomes its own main-queue task so a tick
    // never runs inside the timer dispatch, and a controller destroyed meanwhile is skipped.
    std::weak_ptr<Controller> weak = weak_from_this();
    MainQueue* main = &s_.main;
    timer_ = s_.main.addTimer(s_.tickSeconds, [weak, main] {
        main->post([weak] {
            if (auto self = weak.lock()) self->tick();
        });
    });
}

void Controller::shutdown() {
    latestRun_.store(0, std::memory_order_relaxed);
    if (tuner_) tuner_->cancelled = true;
    clickLoopActive_.store(false, std::memory_order_relaxed);
    s_.player.terminate();
    stopClickThread();
    listener_->stop();
    engine_->stop();
    save();
    shutDown_ = true;
}

// ---- Observation --------------------------------------------------------------------------------

int Controller::addObserver(Observer o) {
    const int token = nextObserver_++;
    observers_.emplace(token, std::move(o));
    return token;
}

void Controller::removeObserver(int token) {
    observers_.erase(token);
}

void Controller::notify(Field f) {
    // Listening follows whatever uses or frees the speakers and the microphone.
    if (f == Field::mode || f == Field::tuning || f == Field::guidedIndex ||
        f == Field::clickPlaying || f == Field::inputs || f == Field::micUID)
        updateListening();
    // Observers may add or remove observers (a view closing itself); iterate over a snapshot and
    // skip the ones removed meanwhile.
    const auto snapshot = observers_;
    for (const auto& [token, observer] : snapshot) {
        if (observers_.count(token) && observer) observer(f);
    }
}

// ---- Devices ------------------------------------------------------------------------------------

std::vector<Dev> Controller::includedDevices() const {
    std::vector<Dev> out;
    for (const Dev& d : devices_) {
        const auto it = include_.find(d.uid);
        if (it != include_.end() && it->second) out.push_back(d);
    }
    return out;
}

std::vector<Dev> Controller::newcomers() const {
    std::vector<Dev> out;
    for (const Dev& d : devices_) {
        if (!include_.count(d.uid)) out.push_back(d);
    }
    return out;
}

void Controller::refreshDevices(const std::optional<std::map<std::string, bool>>& saved) {
    publish(devices_, outputDevices(s_.hw), Field::devices);
    refreshCapabilities();
    noticeLinks();
    const std::vector<Dev> fresh = newcomers();
    if (fresh.empty()) {
        takeBackTuneRefusal();
        return;
    }

    const std::map<std::string, bool> decisions =
        saved ? *saved : record_.include.value_or(std::map<std::string, bool>{});
    auto include = include_;
    std::vector<std::string> appeared;
    for (const Dev& d : fresh) {
        const auto it = decisions.find(d.uid);
        include[d.uid] = it != decisions.end() && it->second;
        if (it == decisions.end()) appeared.push_back(d.name);
    }
    publish(include_, std::move(include), Field::include);
    takeBackTuneRefusal();
    if (!appeared.empty() && !saved) {
        setStatus(joined(appeared, ", ") + " appeared — tick it to add it to the group.");
    }
}

void Controller::refreshCapabilities() {
    std::map<std::string, SpeakerCapabilities> caps;
    for (const Dev& d : devices_)
        caps[d.uid] = {hasVolume(s_.hw, d), hasMute(s_.hw, d), knownCorrections().contains(d.uid)};
    publish(capabilities_, std::move(caps), Field::capabilities);
}

std::optional<Dev> Controller::referenceSpeaker() const {
    const std::optional<std::string>& anchor = record_.anchor;
    const std::vector<Dev> included = includedDevices();
    if (anchor) {
        for (const Dev& d : included)
            if (d.uid == *anchor) return d;
    }
    for (const Dev& d : included)
        if (d.isBluetooth()) return d;
    if (!included.empty()) return included.front();
    return std::nullopt;
}

int Controller::targetIndex(const std::string& uid) const {
    const auto targets = engine_->targets();
    for (std::size_t i = 0; i < targets.size(); ++i)
        if (targets[i].uid == uid) return static_cast<int>(i);
    return -1;
}

// ---- Persistence --------------------------------------------------------------------------------

std::int64_t systemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<std::int64_t> Controller::measuredAt(const std::string& uid) const {
    if (!record_.measuredAt) return std::nullopt;
    const auto it = record_.measuredAt->find(uid);
    if (it == record_.measuredAt->end()) return std::nullopt;
    return it->second;
}

std::optional<double> Controller::measuredLatencyMs(const std::string& uid) const {
    const auto it = record_.measured.find(uid);
    if (it == record_.measured.end()) return std::nullopt;
    return it->second;
}

std::filesystem::path Controller::stateFile(const std::string& name) const {
    return s_.store.fileURL(name);
}

void Controller::reportWrite(const std::string& what, const std::optional<std::string>& problem) {
    if (!problem) {
        saidWriteProblems_.erase(what);
        return;
    }
    const auto said = saidWriteProblems_.find(what);
    if (said != saidWriteProblems_.end() && said->second == *problem) return;
    saidWriteProblems_[what] = *problem;
    say(what + " not saved: " + *problem);
}

void Controller::say(const std::string& line) {
    std::fprintf(stderr, "housetone: %s\n", printable(line).c_str());
    setStatus(line);
}

bool Controller::writeRecord(const Config& next) {
    const SaveResult r = s_.store.save(next);
    // A record the file cannot take for now is still the program's: the next write that
    // succeeds carries it.
    if (r.encodable) record_ = next;
    unsaved_ = r.written ? std::nullopt : std::optional<std::string>(r.problem);
    reportWrite("Settings", unsaved_);
    return r.written;
}

void Controller::save() {
    const Config previous = record_;
    const Config audited = audited_;
    Config next = previous;
    if (!next.anchor) {
        // Once stored, the anchor is the user's (or a tune's) choice and never moves here.
        if (const auto ref = referenceSpeaker()) next.anchor = ref->uid;
    }
    for (const Dev& d : devices_)
        next.names[d.uid] = d.name;
    next.offsets = offsets_.values();
    // include_ only knows the devices listed during this run; a speaker that is switched off
    // keeps its saved decision for the day it is connected again, as its name does.
    auto include = previous.include.value_or(std::map<std::string, bool>{});
    for (const auto& [uid, on] : include_)
        include[uid] = on;
    next.include = std::move(include);
    // The log names only changes the file got, and all of them: against what it last named.
    if (!writeRecord(next)) return;
    // Called here, so that the stack the entry names starts at whoever asked for this save.
    AuditLog(s_.store.fileURL(AuditLog::fileName)).append(auditChanges(audited, next));
    audited_ = next;
}

void Controller::clampOffsets() {
    Offsets clamped = offsets_;
    if (!clamped.clampAll()) return;
    changeOffsets(std::move(clamped));
    save();
}

// ---- Modes --------------------------------------------------------------------------------------

void Controller::chooseMode(Mode m) {
    publish(mode_, m, Field::mode);
    applyMode(m);
}

void Controller::rememberPreviousOutput() {
    if (previousOutputUID_) return;
    const auto out = defaultOutput(s_.hw);
    if (!out || *out == 0) return;
    const auto uid = stringProperty(s_.hw, *out, sel::deviceUID);
    // Our own aggregates are never "the output the user had": restoring them would be pointless
    // (All Speakers) or impossible (the capture aggregate is private and short-lived).
    if (uid && *uid != allSpeakersUID && *uid != captureAggregateUID) previousOutputUID_ = uid;
}

void Controller::applyMode(Mode m) {
    rememberPreviousOutput();
    const std::uint64_t run = ++alignedStartGeneration_;
    latestRun_.store(run, std::memory_order_relaxed);
    buildingAllSpeakers_ = false;
    deviceChangePending_ = false;  // this application routes the current list
    listener_->stop();
    engine_->stop();

    publish(tapSilent_, false, Field::tapSilent);
    publish(tapBlocked_, false, Field::tapBlocked);
    tapHealth_.reset();
    pin_.reset();
    publish(departed_, {}, Field::devices);
    // Nothing can be routed into an audio system that is away; the mode is applied when it is
    // back (the tick), rather than failing over to single and losing the user's choice.
    if (m != Mode::single && audioGone()) {
        deviceChangePending_ = true;
        save();
        return;
    }

    switch (m) {
        case Mode::single: {
            if (const auto name = restoreSingleOutput()) setStatus("Single output: " + *name);
            break;
        }
        case Mode::together:
            if (!routeTogether(run)) return;
            break;
        case Mode::aligned:
            if (!routeAligned(run)) return;
            break;
    }
    save();
}

bool Controller::routeTogether(std::uint64_t run) {
    const std::vector<Dev> included = includedDevices();
    if (included.size() < 2) {
        // An unplug may have left the output on an "All Speakers" of one member; the user gets
        // the output a switch to single would give.
        restoreSingleOutput();
        setStatus("Need at least 2 included speakers");
        publish(mode_, Mode::single, Field::mode);
        return false;
    }
    // Replacing the device waits on the audio system (the old copy to go, the new one to appear
    // and reach every member), so it is built on its own queue; the result comes back here under
    // this application's run number, as an engine start does. The output leaves the old copy
    // first, here, so that a later application's routing is never undone from that queue.
    moveOutputOffAllSpeakers(s_.hw, [this] { return referenceSpeaker(); });
    buildingAllSpeakers_ = true;
    std::weak_ptr<Controller> weak = weak_from_this();
    allSpeakersQ_.async([weak, run, included, hw = &s_.hw, main = &s_.main, latest = &latestRun_] {
        if (latest->load(std::memory_order_relaxed) != run) return;
        const auto device = replaceAllSpeakers(*hw, included);
        main->post([weak, run, included, device] {
            if (auto self = weak.lock()) self->onAllSpeakersBuilt(run, included, device);
        });
    });
    return true;
}

bool Controller::routeAligned(std::uint64_t run) {
    const std::optional<Dev> reference = referenceSpeaker();
    if (!reference) {
        setStatus("No speakers");
        publish(mode_, Mode::single, Field::mode);
        return false;
    }
    const std::vector<Dev> included = includedDevices();
    if (included.empty()) {
        setStatus("Include at least one speaker");
        publish(mode_, Mode::single, Field::mode);
        return false;
    }
    setStatus("Starting aligned engine…");
    std::weak_ptr<Controller> weak = weak_from_this();
    const std::optional<std::string> previousAtRequest = previousOutputUID_;
    engine_->start(reference, included, offsets_, run,
                   [weak, run, reference, previousAtRequest](bool ok) {
                       if (auto self = weak.lock())
                           self->onAlignedStart(ok, run, reference, previousAtRequest);
                   });
    return true;
}

std::optional<std::string> Controller::restoreSingleOutput() {
    std::optional<std::string> name;
    if (previousOutputUID_) {
        if (const auto id = deviceForUID(s_.hw, *previousOutputUID_)) {
            setDefaultOutput(s_.hw, *id);
            name = stringProperty(s_.hw, *id, sel::name).value_or(*previousOutputUID_);
        }
    }
    if (!name) {
        if (const auto ref = referenceSpeaker()) {
            setDefaultOutput(s_.hw, ref->id);
            name = ref->name;
        }
    }
    previousOutputUID_.reset();
    return name;
}

void Controller::changeOffsets(Offsets offsets) {
    publish(offsets_, std::move(offsets), Field::offsets);
    engine_->play(playedOffsets());
    listener_->delaysChanged();
}

void Controller::onAlignedStart(bool ok, std::uint64_t run, std::optional<Dev> reference,
                                std::optional<std::string> previousOutputAtRequest) {
    if (run != alignedStartGeneration_) {
        // Overtaken by a newer mode application: remove only what this start installed (a newer
        // installation carries another number) and leave every published value alone.
        if (ok) engine_->stopIfRun(run);
        return;
    }
    if (ok) {
        // The start loaded the offsets of request time; a change made while it ran may have been
        // written before the start set its delays and so be lost. The model has the last word.
        engine_->play(playedOffsets());
        applyBoosts();
        updateListening();
        if (mode_ == Mode::aligned && reference) {
            setDefaultOutput(s_.hw, reference->id);
            setStatus("Aligned: " + reference->name +
                      " is the reference; delay sliders hold the others back to meet it");
        }
    } else if (mode_ == Mode::aligned && audioGone()) {
        deviceChangePending_ = true;  // the audio system went away under the start: retried
    } else if (mode_ == Mode::aligned) {
        std::fprintf(stderr, "housetone: the aligned engine did not start: %s\n",
                     printable(engine_->lastError().value_or("no reason given")).c_str());
        setStatus(alignedFailure(engine_->lastFailedStep()));
        publish(mode_, Mode::single, Field::mode);
        if (previousOutputAtRequest) {
            if (const auto id = deviceForUID(s_.hw, *previousOutputAtRequest))
                setDefaultOutput(s_.hw, *id);
        }
    }
    // Taken out before the call so a callback that arms the next one-shot keeps it.
    if (auto completed = std::exchange(alignedStartCompleted_, nullptr)) completed(ok);
}

void Controller::onAllSpeakersBuilt(std::uint64_t run, const std::vector<Dev>& included,
                                    std::optional<AudioObjectID> device) {
    // Overtaken by a newer mode application, which routes instead. The device stays, as any copy
    // does until the next "together" replaces it.
    if (shutDown_ || run != alignedStartGeneration_) return;
    buildingAllSpeakers_ = false;
    if (!device) {
        setStatus("Could not combine the speakers into one output. Back to Single.");
        publish(mode_, Mode::single, Field::mode);
        return;
    }
    setDefaultOutput(s_.hw, *device);
    setStatus("Together: " + joined(namesOf(included), " + ") + " (no alignment)");
}

// ---- Rescan -------------------------------------------------------------------------------------

void Controller::rescan() {
    const std::vector<std::string> before = uidsOf(devices_);
    refreshDevices();
    refreshVolumes();

    std::vector<std::string> added;
    for (const Dev& d : devices_) {
        if (std::find(before.begin(), before.end(), d.uid) == before.end()) added.push_back(d.name);
    }
    const std::vector<std::string> after = uidsOf(devices_);
    std::size_t gone = 0;
    for (const std::string& uid : before)
        if (std::find(after.begin(), after.end(), uid) == after.end()) ++gone;

    if ((!added.empty() || gone > 0) && mode_ != Mode::single) applyMode(mode_);

    const std::size_t n = devices_.size();
    const std::string message = std::to_string(n) + (n == 1 ? " output found" : " outputs found");
    std::vector<std::string> lines;
    if (!added.empty()) lines.push_back("New: " + joined(added, ", "));
    if (gone > 0) lines.push_back("Gone: " + std::to_string(gone));
    if (added.empty() && gone == 0) lines.push_back("Nothing changed.");
    lines.emplace_back();
    for (const Dev& d : devices_)
        lines.push_back("• " + d.name + (d.isBluetooth() ? "  (Bluetooth)" : ""));
    lines.emplace_back();
    lines.push_back(
        "Only connected devices appear here. If a paired speaker is missing, connect it in your "
        "desktop's Bluetooth settings and rescan.");
    if (s_.alerts) s_.alerts->showAlert(message, joined(lines, "\n"));
}

}  // namespace housetone
