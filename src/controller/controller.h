#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_hardware.h"
#include "audio/device_access.h"
#include "controller/step_listener.h"
#include "controller/tap_health.h"
#include "core/dev.h"
#include "core/mode.h"
#include "core/offsets.h"
#include "core/printable.h"
#include "core/settings_store.h"
#include "engine/tap_engine.h"
#include "platform/main_queue.h"
#include "platform/mic_permission.h"
#include "platform/player.h"
#include "platform/serial_queue.h"
#include "tune/tune_picture.h"
#include "tune/tune_progress.h"

namespace housetone {

class AutoTuner;

// The furthest a speaker's offset may be set either way, ms (the sliders' range, the tuner's
// limit).
inline constexpr double offsetLimitMs = Offsets::limitMs;

// Seconds since the epoch (UTC), from the system's clock.
std::int64_t systemSeconds();

// The published fields, for observers that want to know which one changed.
enum class Field {
    devices,
    mode,
    volumes,
    muted,
    offsets,
    include,
    status,
    tapSilent,
    tapBlocked,
    clickPlaying,
    tuning,
    tunePhases,
    tuneOverall,
    tuneProgress,
    tunePicture,
    bassBoost,
    volBoostPct,
    crisp,
    inputs,
    micUID,
    guidedIndex,
    capabilities,
    measuredAt,
    keepInStep,
    listening,
    syncNotes,
    linkNotes,
};

// What listening last found about one aligned speaker, for its row.
struct SyncNote {
    enum class State { cannotTell, inStep, moved, checking };
    State state = State::cannotTell;
    double errorMs = 0;           // its arrival minus the group's when last measured
    std::int64_t measuredAt = 0;  // seconds since the epoch of that measurement (0: none yet)
    bool corrected = false;       // the last change to its delay was a correction made here
    double correctedMs = 0;       // how far it had moved when it was corrected

    friend bool operator==(const SyncNote&, const SyncNote&) = default;
};

// What a speaker offers the views, read from the hardware when the device list is refreshed.
struct SpeakerCapabilities {
    bool hasVolume = false;      // output volume (virtual main volume or channel scalars)
    bool hasMute = false;        // output mute flag
    bool hasCorrection = false;  // a measured frequency correction exists for its UID

    friend bool operator==(const SpeakerCapabilities&, const SpeakerCapabilities&) = default;
};

// The modal report of a manual rescan; the UI shows it (and brings the app to the front).
class AlertPresenter {
  public:
    virtual ~AlertPresenter() = default;
    virtual void showAlert(const std::string& message, const std::string& informativeText) = 0;
};

// Everything the controller needs from the platform, owned elsewhere and outliving it.
struct Services {
    AudioHardware& hw;
    MainQueue& main;
    SettingsStore& store;
    Player& player;  // the click player
    MicPermission& micPermission;
    AlertPresenter* alerts = nullptr;  // may be null (tests, self-checks)
    double tickSeconds = 1.5;
    // The wall clock a tune's measurement is dated by.
    std::function<std::int64_t()> now = systemSeconds;
};

// The application's model: speakers, the user's choices per speaker, the mode, the one engine,
// the status line, guided alignment and auto-tune. Plain C++ on the main thread (MainQueue);
// published fields notify observers only when their value really changes.
class Controller : public std::enable_shared_from_this<Controller> {
  public:
    // Start-up: loads the settings, lists devices, settles newcomers, reads volumes and starts the
    // tick. Changes no routing.
    static std::shared_ptr<Controller> create(Services services);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // ---- Observation ----
    using Observer = std::function<void(Field)>;
    // Returns a token for removeObserver. Observers run on the main thread, after the change.
    int addObserver(Observer o);
    void removeObserver(int token);

    // ---- Published state (read on the main thread) ----
    const std::vector<Dev>& devices() const { return devices_; }
    // Speakers aligned was playing to that have left while the others play on; each joins again,
    // with its offset, when it is back. Empty in the other modes.
    const std::vector<Dev>& departed() const { return departed_; }
    Mode mode() const { return mode_; }
    const std::map<std::string, float>& volumes() const { return volumes_; }
    const std::map<std::string, bool>& muted() const { return muted_; }
    const std::map<std::string, double>& offsets() const { return offsets_.values(); }
    const std::map<std::string, bool>& include() const { return include_; }
    const std::string& status() const { return status_; }
    bool tapSilent() const { return tapSilent_; }
    bool tapBlocked() const { return tapBlocked_; }
    bool clickPlaying() const { return clickPlaying_; }
    bool tuning() const { return tuning_; }
    // The audio system stopped answering and has not come back; each change is said once on the
    // status line, and is already true (or false again) when that line is published.
    bool audioLost() const { return audioLost_; }
    const std::map<std::string, std::string>& tunePhases() const { return tunePhases_; }
    const std::optional<std::string>& tuneOverall() const { return tuneOverall_; }
    // Where the running tune stands (stage, step, pass) and the share of it done, 0…1; absent
    // while no tune runs.
    const std::optional<TuneProgress>& tuneProgress() const { return tuneProgress_; }
    double tuneFraction() const { return tuneFraction_; }
    // The picture of the last tune this run that completed a pass; absent before.
    const std::optional<TunePicture>& tunePicture() const { return tunePicture_; }
    bool bassBoost() const { return bassBoost_; }
    int volBoostPct() const { return volBoostPct_; }
    const std::map<std::string, double>& crisp() const { return crisp_; }
    const std::vector<Dev>& inputs() const { return inputs_; }
    const std::optional<std::string>& micUID() const { return micUID_; }
    std::optional<int> guidedIndex() const { return guidedIndex_; }
    // UID -> what that speaker offers; every listed device has an entry.
    const std::map<std::string, SpeakerCapabilities>& capabilities() const { return capabilities_; }

    // Keep in step: the user's switch (kept in the settings), whether the microphone is being
    // listened to just now (shown in the window and the tray while true), and per speaker what
    // listening last found and what changed about its link.
    bool keepInStep() const { return keepInStep_; }
    bool listening() const { return listening_; }
    const std::map<std::string, SyncNote>& syncNotes() const { return syncNotes_; }
    // The last correction listening made, as the status line said it, for a minute after it and
    // only while listening goes on (the tray repeats it; it changes with syncNotes).
    std::optional<std::string> recentCorrection() const;
    // UID -> a line for the row when the speaker's link changed since its offset was measured.
    const std::map<std::string, std::string>& linkNotes() const { return linkNotes_; }
    // Audio listened to since listening last started, s; and one line per check made.
    double listenedSeconds() const { return listenedSeconds_; }
    const std::vector<std::string>& listenLog() const { return listenLog_; }
    const StepListener& listener() const { return *listener_; }

    // Unpublished state that views and tests read.
    const TapEngine& engine() const { return *engine_; }
    // Reads and clears the engine's meter (the tick reads it too).
    TapEngine::Meter readEngineMeter() { return engine_->readMeter(); }
    // The latency stored for a speaker by an earlier measurement, ms.
    std::optional<double> measuredLatencyMs(const std::string& uid) const;
    // When Auto-tune last set the speaker's offset, seconds since the epoch; kept in the settings.
    std::optional<std::int64_t> measuredAt(const std::string& uid) const;
    // Where a file of ours by that name lives (the settings' directory).
    std::filesystem::path stateFile(const std::string& name) const;
    // Says a file that could not be written (`problem` present) on the status line and standard
    // error: "{what} not saved: {problem}". Each failure is said once, not at every retry; a
    // success (`problem` absent) clears it, so a failure that comes back is said again.
    void reportWrite(const std::string& what, const std::optional<std::string>& problem);
    const std::vector<Dev>& guidedTargets() const { return guidedTargets_; }
    std::optional<Dev> currentGuidedTarget() const;
    std::uint64_t alignedStartGeneration() const { return alignedStartGeneration_; }
    // `together` was applied and its "All Speakers" device is still being built.
    bool buildingAllSpeakers() const { return buildingAllSpeakers_; }
    const std::optional<std::string>& previousOutputUID() const { return previousOutputUID_; }
    bool clickLoopActive() const { return clickLoopActive_.load(std::memory_order_relaxed); }
    AutoTuner* tuner() { return tuner_.get(); }

    std::vector<Dev> includedDevices() const;
    std::vector<Dev> newcomers() const;

    // ---- State and mode switching ----
    void refreshDevices(const std::optional<std::map<std::string, bool>>& saved = std::nullopt);
    std::optional<Dev> referenceSpeaker() const;
    void save();
    // Sets the mode as the UI does (mode = m, then applyMode(m)).
    void chooseMode(Mode m);
    void applyMode(Mode m);
    void rememberPreviousOutput();
    void rescan();
    void shutdown();
    // One-shot callback run when the next engine start finishes.
    void setAlignedStartCompleted(std::function<void(bool)> fn) {
        alignedStartCompleted_ = std::move(fn);
    }

    // ---- Volumes, mute, offsets, boosts ----
    void refreshVolumes();
    void setVolume(AudioObjectID device, const std::string& uid, float value);
    void setMute(const Dev& speaker, bool on);
    // Sets one speaker's offset as it is (within the limit; not re-based): a value on its way.
    void setOffset(const Dev& speaker, double ms);
    // A value from a speaker's delay slider. `held`: the pointer still holds the slider. While it
    // does, a value below 0 is heard as 0 and stays as it is: re-basing every other speaker on
    // each pixel of a drag would make them jump around under the pointer. Any other value
    // (keyboard steps, clicks on the groove) is a finished change, re-based at once.
    void slideOffset(const Dev& speaker, double ms, bool held);
    // The pointer let go of a delay slider: the value it left is a finished change.
    void endOffsetDrag();
    // A finished step of `deltaMs` on one speaker's offset (from 0 when it has none), re-based so
    // that nobody is left below 0.
    void nudgeOffset(const Dev& speaker, double deltaMs);
    void shiftAll(double deltaMs);
    void setInclude(const Dev& speaker, bool on);
    void setCrispAmount(const std::string& uid, double amount);
    void saveCrisp();
    void setBassBoost(bool on);    // sets the field, then applyBoosts
    void setVolBoostPct(int pct);  // sets the field, then applyBoosts
    void applyBoosts();
    void setMic(const std::optional<std::string>& uid);

    // ---- Keep in step ----
    void setKeepInStep(bool on);
    // Listens exactly when it should: the switch on, aligned playing, and neither a tune, a walk
    // nor a click test using the speakers; says once why it cannot.
    void updateListening();

    // ---- Tap health monitor ----
    void tick();

    // ---- Guided align and click test ----
    void startGuidedAlign();
    void nudgeGuided(double deltaMs);
    void confirmGuidedStep();
    void endGuidedAlign(const std::optional<std::string>& message);
    void toggleClickTest();
    // Leaves nobody below 0 (Offsets::rebase), says how far the others moved, and saves.
    void rebaseOffsets();
    // Writes click.wav into the state directory unless it exists.
    void ensureClickFile();

    // ---- Auto-tune control ----
    void toggleAutoTune();
    void startTuning(const Dev& reference, const std::vector<Dev>& others);

  private:
    explicit Controller(Services services);
    void startUp();
    void notify(Field f);
    template <typename T>
    void publish(T& field, T value, Field f) {
        if (field == value) return;
        field = std::move(value);
        notify(f);
    }
    // One line, whatever names it quotes.
    void setStatus(const std::string& s) { publish(status_, printable(s), Field::status); }
    // A problem the user must hear of: on the status line and standard error.
    void say(const std::string& line);
    // Device index of a UID among the engine's targets, or -1.
    int targetIndex(const std::string& uid) const;
    // Sets the output a switch to single gives (the remembered one, else the reference) and
    // forgets the remembered one; the name of the device set, if any.
    std::optional<std::string> restoreSingleOutput();
    // The two routed modes, for applyMode: false when the mode cannot be had (said, and the mode
    // is back to single); nothing is saved.
    bool routeTogether(std::uint64_t run);
    bool routeAligned(std::uint64_t run);
    // Whether aligned can play on through a change of the device list as it is; says once which
    // of its speakers have left.
    bool playsOn();
    // Starts aligned again when the graph runs at another rate than the engine counts in.
    bool followRate();
    // Whether the audio system has stopped answering; the first time, says so on the status line.
    bool audioGone();
    // Publishes new offsets and has the engine play them at once, so that whatever changed the
    // offsets, the engine plays what the model holds.
    void changeOffsets(Offsets offsets);
    // Holds loaded offsets within the limit; saves when that changed any.
    void clampOffsets();
    // Remembers `next` as the settings record and writes it; false when it was not written (a
    // record that cannot be encoded is not even remembered). A failure is said (reportWrite).
    bool writeRecord(const Config& next);
    // Publishes what each listed device offers.
    void refreshCapabilities();
    void applyStep();            // guided align: mute all but the reference and the current speaker
    void applyGains();           // the volume boost, or silence for a speaker the walk left out
    void takeBackTuneRefusal();  // after the list or the group changed
    void clickLoop();            // click-loop thread body
    void stopClickThread();      // ends and joins the click-loop thread
    void onAlignedStart(bool ok, std::uint64_t run, std::optional<Dev> reference,
                        std::optional<std::string> previousOutputAtRequest);
    // Gives the tuner the handlers that carry its reports onto the main thread.
    void connectTuneReports(AutoTuner& tuner, int speakerCount);
    // A tune's end on the main thread: its report (with the save failure, if its offsets were not
    // kept), its picture, and its log written.
    void onTuneFinished(const std::string& report, const std::vector<std::string>& lines,
                        const std::optional<TunePicture>& picture, bool appliedAny);
    // What the listening found, on the main thread: notes published, probes and corrections made.
    void onListenReport(const StepListener::Report& report);
    // Notices what changed about each listed speaker's link since the last look: a speaker that
    // is back, another codec or profile, a reported latency that moved.
    void noticeLinks();
    // Remembers what each of `uids` measured over its link now.
    void rememberLinks(const std::vector<std::string>& uids);
    // The offsets the engine plays: the model's, with the listening's probes on top.
    Offsets playedOffsets() const;
    void onAllSpeakersBuilt(std::uint64_t run, const std::vector<Dev>& included,
                            std::optional<AudioObjectID> device);

    Services s_;
    std::map<int, Observer> observers_;
    int nextObserver_ = 1;

    // Published.
    std::vector<Dev> devices_;
    Mode mode_ = Mode::single;
    std::map<std::string, float> volumes_;
    std::map<std::string, bool> muted_;
    Offsets offsets_;
    std::map<std::string, bool> include_;
    std::string status_;
    bool tapSilent_ = false;
    bool tapBlocked_ = false;
    bool clickPlaying_ = false;
    bool tuning_ = false;
    std::map<std::string, std::string> tunePhases_;
    std::optional<std::string> tuneOverall_;
    std::optional<TuneProgress> tuneProgress_;
    double tuneFraction_ = 0;
    std::optional<TunePicture> tunePicture_;
    bool bassBoost_ = false;
    int volBoostPct_ = 0;
    std::map<std::string, double> crisp_;
    std::vector<Dev> inputs_;
    std::optional<std::string> micUID_;
    std::optional<int> guidedIndex_;
    std::map<std::string, SpeakerCapabilities> capabilities_;
    bool keepInStep_ = false;
    bool listening_ = false;
    std::map<std::string, SyncNote> syncNotes_;
    std::map<std::string, std::string> linkNotes_;

    // Not published.
    std::unique_ptr<StepListener> listener_;
    std::vector<std::string> listenUIDs_;   // the listened speakers, in the engine's order
    std::map<std::string, double> probes_;  // ms the listening holds a speaker back for a look
    double listenedSeconds_ = 0;
    std::vector<std::string> listenLog_;
    std::map<std::string, std::int64_t> correctedAt_;  // when listening last corrected a speaker
    std::string correctionSaid_;                       // and what was said of the last one
    std::optional<std::string> listenProblem_;         // why listening cannot start, as said
    std::map<std::string, LinkState> linkSeen_;        // each speaker's link when last listed
    std::set<std::string> linkListed_;                 // the speakers listed at the last look
    // The settings record as loaded at start-up and since written: the anchor and the measured
    // values live here, so nothing reads the file again while the program runs.
    Config record_;
    // The record as the audit log last accounted for it: the one the last successful save()
    // wrote. A save that fails is audited with the one that later succeeds.
    Config audited_;
    std::optional<std::string> unsaved_;  // why the file lacks the record (its last write failed)
    std::map<std::string, std::string> saidWriteProblems_;  // what -> the problem said
    std::unique_ptr<TapEngine> engine_;
    std::atomic<bool> clickLoopActive_{false};
    std::thread clickThread_;
    std::atomic<bool> clickLoopDone_{true};  // the loop thread has returned (set by that thread)
    std::optional<std::string> previousOutputUID_;
    std::optional<MainQueue::TimerId> timer_;
    TapHealth tapHealth_;
    std::uint64_t alignedStartGeneration_ = 0;
    std::function<void(bool)> alignedStartCompleted_;
    std::shared_ptr<AutoTuner> tuner_;
    std::vector<Dev> guidedTargets_;
    std::map<std::string, bool> muteBeforeGuided_;
    std::string guidedNote_;  // why speakers were left out of the walk; shown with every step
    // Left out of the walk for having no mute control: still in the group, held silent by the
    // engine while the walk runs.
    std::vector<Dev> guidedLeftOut_;
    // Why Auto-tune last refused to start, until the speakers no longer bear it out.
    std::optional<std::string> tuneRefusal_;
    bool deviceChangePending_ = false;  // the device list changed; routing waits for a tune
    std::vector<Dev> departed_;  // fed speakers that have gone while aligned plays on, as said
    bool audioLost_ = false;     // the audio system stopped answering (its daemon went away)
    std::uint32_t serviceRestarts_ = 0;  // the audio system's restart count at the last tick
    OutputPin pin_;
    bool shutDown_ = false;
    bool buildingAllSpeakers_ = false;
    // The run number of the latest mode application, for the queue below: a build that a newer
    // application overtook before it began is skipped. 0 once shut down.
    std::atomic<std::uint64_t> latestRun_{0};
    // Builds "All Speakers", which waits on the audio system. Declared last so that it is the
    // first member to go: its last task may still read the members above.
    SerialQueue allSpeakersQ_{"housetone.allspeakers"};
};

}  // namespace housetone
