#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio/audio_hardware.h"
#include "core/dev.h"
#include "platform/main_queue.h"
#include "platform/serial_queue.h"
#include "tune/fire_check.h"
#include "tune/latency_measure.h"
#include "tune/tune_picture.h"
#include "tune/tune_progress.h"
#include "tune/tune_report.h"

namespace housetone {

class MeasureSession;

// One measurement's latency(B) - latency(A), ms, and which of the pass's measurements it came
// from (numbered in the order they were made): only differences taken at the same moment are sure
// to agree, for a speaker's path may move between two measurements.
struct PairDelta {
    double ms = 0;
    int measurement = 0;
    friend bool operator==(const PairDelta&, const PairDelta&) = default;
};
// Pair key -> every measurement's difference, in the order measured; the key is B's UID, "|", A's
// UID.
using PairDeltas = std::map<std::string, std::vector<PairDelta>>;

// The reference every pass measures against: the first built-in speaker, else the first one.
// speakers must not be empty.
const Dev& referenceSpeaker(const std::vector<Dev>& speakers);

// Adds every pair of `group` whose two results both exist, were heard, lie within the search and
// have a peak-to-median ratio of at least 5, keyed by the later group member first (unless the
// pair already has a key the other way round, which then takes it negated), as measurement
// number `measurement`. Differences beyond the measurement's reach (reachMs either way) are not a
// speaker's latency (a neighbour's sweep or a stray peak) and are left out.
void recordDeltas(PairDeltas& deltas, int measurement, const std::vector<Dev>& group,
                  const std::map<std::string, LatencyResult>& results,
                  double reachMs = nearReachMs);

// Which speakers one pass heard at all, and which were heard only too far from the others.
struct Hearing {
    std::set<std::string> listened;  // UIDs that had a recording made of them
    std::set<std::string> heard;     // UIDs heard in at least one measurement
    // UIDs heard in a measurement that split its speakers into groups too far apart to search
    // together; only those left without a latency are reported as too far apart.
    std::set<std::string> far;
};

// Adds one measurement's findings to `hearing`, with one log line per speaker giving the figures
// the heard-or-not judgement was made from.
void noteHearing(Hearing& hearing, const std::vector<Dev>& group,
                 const std::map<std::string, LatencyResult>& results,
                 std::vector<std::string>& log);

// Why a speaker the microphone did not hear was most likely silent: "muted" when the device
// reports mute, "volume 0" when its volume reads 0, else "off, out of range or not playing".
std::string silentReason(AudioHardware& hw, const Dev& speaker);

// Two measurements of a speaker whose path held still agree within this, ms; a network path
// steps by a whole cycle (21 ms at 1024 frames) when its graph loses one.
inline constexpr double settledMs = 3.0;

struct FusedPass {
    std::map<std::string, double> latency;  // UID -> ms relative to the reference (reference = 0)
    std::vector<std::string> warnings;      // for the report's notes
    // Speakers whose standing moved at their last measurement: still on the way somewhere (a
    // network path being pulled back to its latency), so where they were placed is not where
    // they will stay.
    std::set<std::string> unsettled;
    double lastMoveMs = 0;  // the farthest one of them moved at that measurement, ms
    Hearing hearing;        // filled by the run's measurements, not by fusePairs
    // How far apart the pass's measurements searched, ms: the near reach unless it measured a
    // speaker on its own beyond it. The checks listen as far, for a speaker placed that far may
    // also be misplaced by as much.
    double reachMs = nearReachMs;
};

// Pair statistics (median, spread; unstable pairs dropped) and the fusion of the kept pairs into
// one latency per speaker. Appends the pair and transitivity lines to `log`. A speaker without a
// kept pair gets no latency. bluetooth: whether the disagreement warning may blame Bluetooth.
// A speaker whose difference with the reference moved between measurements (its path moved, or
// the reference's) counts only since its last move: back from its latest measurement, as far as
// they agree within settledMs. Its other pairs count only from then on too, so that a loop
// through it cannot carry its move onto the speakers that held still. It gets a "moved" line, and
// a warning when it moved further than a loop may disagree; one that moved at its last
// measurement is `unsettled`.
FusedPass fusePairs(const std::vector<Dev>& speakers, const std::string& referenceUID,
                    const PairDeltas& deltas, std::vector<std::string>& log, bool bluetooth);

// The offsets to apply: the speaker slowest by latency + engineTrimMs gets 0, every other one the
// difference, rounded to whole ms (halves away from zero) within [0, limitMs].
std::map<std::string, double> tuneOffsets(const std::vector<Dev>& measured,
                                          const std::map<std::string, double>& latency,
                                          const std::map<std::string, double>& engineTrimMs,
                                          double limitMs);
// The offsets the fire check plays with: by measured latency alone, because the check plays
// through its own aggregate, not through the engine, less each speaker's shortfall (UID -> ms the
// limit cut from its applied offset), so that the check hears what the user will hear.
std::map<std::string, double> verificationOffsets(const std::vector<Dev>& measured,
                                                  const std::map<std::string, double>& latency,
                                                  const std::map<std::string, double>& shortfall);

// One acoustic tune of a set of speakers: a microphone check, then up to three passes of
// measure -> apply -> verify. Create one per tune, set the callbacks, then start. Everything runs
// on the tuner's own queue "housetone.autotune"; the callbacks are called there, so the
// controller moves their effects to its own thread. Destruction waits for a run in progress.
class AutoTuner {
  public:
    // hw and main must outlive the tuner. Destroying it waits for a run in progress; set
    // `cancelled` first so that the run ends at its next check. offsetLimitMs: the longest offset
    // the tuner may apply, ms; a speaker that needs more is reported as playing early. It is also
    // how far apart the tuner looks for speakers (at least the near reach): one further off could
    // not be aligned anyway, and is reported as too far apart.
    AutoTuner(AudioHardware& hw, MainQueue& main, double offsetLimitMs);
    ~AutoTuner();
    AutoTuner(const AutoTuner&) = delete;
    AutoTuner& operator=(const AutoTuner&) = delete;

    // Any thread. Takes effect at the next point the run looks at it (between measurements);
    // a measurement in progress always completes.
    std::atomic<bool> cancelled{false};

    // Set these before start; the run reads them on its queue without a lock.
    // The overall status line and where the run stands.
    std::function<void(const std::string& text, const TuneProgress& where)> status =
        [](const std::string&, const TuneProgress&) {};
    // One speaker's own line (its UID and text).
    std::function<void(const std::string& uid, const std::string& text)> speakerPhase =
        [](const std::string&, const std::string&) {};
    // UID -> ms. At most once per pass and once more at the end.
    std::function<void(const std::map<std::string, double>& offsets)> applyOffsets =
        [](const std::map<std::string, double>&) {};
    // Exactly once per run, then only the input device is restored and the engine resumed.
    std::function<void(const std::string& text)> finished = [](const std::string&) {};
    // Empty = absent. suspendEngine runs synchronously on the main queue before measuring,
    // resumeEngine is posted to it after `finished`.
    std::function<void()> suspendEngine;
    std::function<void()> resumeEngine;
    // Microphone to record with; the built-in microphone when absent.
    std::optional<AudioObjectID> micDevice;
    // UID -> ms the engine's own path adds to a speaker beyond what the microphone hears.
    std::map<std::string, double> engineTrimMs;

    // Returns at once; the run goes to the queue (a second start runs after the first).
    // current: the offsets in force, UID -> ms. engineRunning: the aligned engine plays and must be
    // suspended for the measurement.
    void start(const Dev& first, const std::vector<Dev>& rest,
               const std::map<std::string, double>& current, bool engineRunning);

    // Pair statistics, transitivity and fire-check peak lists so far; any thread.
    std::vector<std::string> log() const;
    // The picture of the pass whose offsets the run kept; set before `finished` is called, absent
    // when no pass completed. Any thread.
    std::optional<TunePicture> picture() const;

  private:
    struct Run;

    void run(std::vector<Dev> speakers, std::map<std::string, double> working, bool engineRunning);
    struct Unmeasured;
    struct Cut;
    // What the run does after a pass: another pass, the conclusion, or nothing (it has finished).
    enum class Next { pass, stop, finished };

    void body(Run& r);
    // Pass p (from 0): measure, apply, verify. `end` learns why the passes stopped.
    Next pass(Run& r, int p, TuneEnd& end);
    Unmeasured unmeasured(const std::vector<Dev>& speakers, const FusedPass& fused);
    // Fewer than two speakers measured: the first pass finishes the run, a later one stops it.
    Next tooFewMeasured(Run& r, int p, const Unmeasured& missing);
    // The pass's offsets within the limit, handed over; what the limit cut from them.
    Cut applyPass(Run& r, const std::vector<Dev>& measured, const FusedPass& fused);
    // The click and sweep checks with the offsets as they will be heard; the pass's picture.
    FireCheck verifyPass(Run& r, int p, const std::vector<Dev>& measured, const FusedPass& fused,
                         const std::map<std::string, double>& shortfall);
    // Keeps the best pass's offsets and picture, and reports.
    void conclude(Run& r, TuneEnd end);
    bool micCheck(Run& r);
    FusedPass runPass(Run& r);
    // One pass's measurements: what they found so far, and against which reference.
    struct Pass;
    std::map<std::string, LatencyResult> measure(Pass& p, const std::vector<Dev>& group,
                                                 double reachMs);
    // Heard beyond the search, or not at all although the system does not silence it.
    bool unplaced(const Dev& d, const LatencyResult& result);
    // Every speaker but `skip` paired with the reference.
    void measurePairs(const Run& r, Pass& p, const std::string& skip);
    void standInForSilentReference(Run& r, Pass& p);
    // The speakers the pairs could not place, to be measured alone at the far reach.
    std::vector<Dev> farSpeakers(const Run& r, const Pass& p);
    // The triple and the two all-together measurements of the `near` speakers.
    void measureGroups(Run& r, Pass& p, const std::vector<Dev>& near);
    void restoreInput(const Run& r);
    // Runs suspendEngine on the main thread and waits for it, unless the run is cancelled first.
    void suspendOnMain();
    void appendLog(std::vector<std::string> lines);
    // The callbacks, tolerating one the controller cleared.
    void notify(const std::string& uid, const std::string& text) {
        if (speakerPhase) speakerPhase(uid, text);
    }
    // The stage and step are kept: a line such as the noise warning does not move the run on.
    void say(const std::string& text) {
        if (status) status(text, where_);
    }
    void sayAt(TuneProgress::Stage stage, int step, int steps, const std::string& text) {
        where_.stage = stage;
        where_.step = step;
        where_.steps = steps;
        say(text);
    }
    void apply(const std::map<std::string, double>& offsets) {
        if (applyOffsets) applyOffsets(offsets);
    }
    // The microphone stops before the run says it is over.
    void finish(const std::string& text);
    bool isCancelled() const { return cancelled.load(std::memory_order_relaxed); }

    AudioHardware& hw_;
    MainQueue& main_;
    const double offsetLimitMs_;
    const double farReachMs_;  // the reach of a speaker's measurement of its own
    mutable std::mutex logMutex_;
    std::vector<std::string> log_;        // guarded by logMutex_
    std::optional<TunePicture> picture_;  // guarded by logMutex_
    TuneProgress where_;                  // the run's queue only
    // The run's one capture and one player, from the microphone check to `finished`; the run's
    // queue only.
    std::unique_ptr<MeasureSession> session_;
    // Declared last so it is destroyed first: its destructor drains the run while the callbacks
    // and the log it uses still exist.
    SerialQueue q_{"housetone.autotune"};
};

}  // namespace housetone
