#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tune/arrival_watch.h"

namespace housetone {

// Keeps a group of speakers that all play the same material in step by listening to it: a
// speaker whose sound starts to arrive at another time (a wireless link reconnected, a network
// sink re-buffered, a clock drifting) gets its delay corrected, without a test signal.
//
// Every speaker plays the same sound, so a new arrival says that someone moved, not who. The
// keeper asks for small probe shifts (a millisecond or two) of some of the speakers and watches
// which arrival moves with them, halving the candidates each time, and corrects only a speaker
// whose own shift it has seen the new arrival follow. The group's arrival pattern (its common
// peak, each path's reflections, speakers set apart on purpose) is learnt while nothing moves,
// so only what changed against it counts; material that cannot show an arrival clearly (quiet,
// tonal, noisy, a pause) gives "cannot tell", never a change.
//
// Pure: no threads, no audio calls. Not realtime (analysis allocates).
class StepKeeper {
  public:
    struct Options {
        double rate = 48000;       // Hz of both signals
        double windowSeconds = 2;  // audio per check
        double reachMs = 3500;     // the furthest a speaker's arrival is sought from the group's
        double toleranceMs = 2;    // moves beyond this are corrected
    };
    // uids: the speakers in play, in the engine's order. delaysMs: how long each is held back now.
    StepKeeper(Options, std::vector<std::string> uids, std::vector<double> delaysMs);
    // What the engine plays now, effective from the next frame added.
    void setDelays(std::vector<double> delaysMs);
    // Look at this speaker first when something moves: a hint, never proof.
    void suspect(const std::string& uid);
    // Mono reference and the microphone, sample for sample on one clock; a speaker held back by
    // d ms with latency L appears at lag d + L. Any block size.
    void add(const float* ref, const float* mic, std::size_t frames);

    // Offset changes wanted now, ms added to the speaker's offset (positive = held back longer).
    struct Request {
        std::string uid;
        double deltaMs;
        bool correction;  // false: a probe (or the undoing of one)
    };
    std::vector<Request> takeRequests();
    struct Verdict {
        enum class State { cannotTell, inStep, moved, checking } state = State::cannotTell;
        double errorMs = 0;      // last measured: this speaker's arrival minus the group's
        double atSeconds = -1;   // keeper time (audio added) of that measurement
        bool corrected = false;  // the last change to it was a correction made by the keeper
    };
    const std::vector<Verdict>& verdicts() const { return verdicts_; }  // in uid order
    struct Check {
        double atSeconds;
        std::string estimates;
        std::string action;
    };
    std::vector<Check> takeChecks();
    double seconds() const;  // audio added so far

  private:
    struct Speaker {
        std::string uid;
        double delayMs = 0;
        double offsetMs = 0;  // where it is meant to arrive, relative to the group
        double shiftMs = 0;   // probe shift asked for and not yet undone
        double owedMs = 0;    // handed out, not yet seen in the engine's delays
        bool suspect = false;
        bool hidden = false;  // shifted alone, nothing of it was seen
    };
    struct Feature {
        double offsetMs;  // relative to the group's arrival
        double share;     // height relative to the group's peak
    };
    enum class Phase { watching, probing, verifying };
    using Peaks = std::vector<ArrivalWatch::Peak>;

    void check();
    void watch(const ArrivalWatch::Reading& r, const Peaks& rel, double groupGain);
    void probe(const Peaks& rel, double groupGain);
    void verify(const Peaks& rel, double groupGain);
    // Arrivals nothing learnt explains, far enough from the group to be a move: offsets,
    // strongest first.
    std::vector<double> fresh(const Peaks& rel) const;
    // How far a speaker must have moved before the keeper acts.
    double featureMs() const;
    // The probe, and how close two arrivals it tells apart may sit.
    double apartMs() const;
    void startHunt(double offsetMs, double share);
    // Where the hunted arrival should be now, following its drift.
    double huntNow() const;
    // The hunted arrival is no move to correct (a speaker where it was set, its echo, a path no
    // probe moves, one that vanished): learnt as part of the room at `share` of the group's
    // height, and the probes undone.
    void dropHunt(double share, const std::string& estimates, const std::string& why);
    void nextProbe();
    void shiftProbed(const std::vector<std::size_t>& probed, double ms);
    void undoProbes();
    void correct(std::size_t who, double errorMs, const std::string& why);
    void learn(const ArrivalWatch::Reading& r, const Peaks& rel, double groupGain);
    bool explained(const ArrivalWatch::Peak& p) const;
    double capability(double offsetMs) const;
    void ask(std::size_t who, double deltaMs, bool correction);
    void note(std::string estimates, std::string action);
    void setState(std::size_t who, Verdict::State s);
    double lagRangeHi() const;
    std::string describe(const Peaks& rel, double groupGain) const;

    Options opt_;
    std::vector<Speaker> speakers_;
    std::vector<Verdict> verdicts_;
    std::vector<Request> outbox_;
    std::vector<Check> checks_;
    ArrivalWatch watch_;
    std::size_t frames_ = 0;

    std::optional<double> groupMs_;  // where the group's sound arrives
    double groupGain_ = 0;           // its peak's height while in step
    std::vector<Feature> features_;  // the learnt pattern around it
    std::vector<float> seen_;        // how clearly the learnt pattern could show each offset
    std::size_t seenCentre_ = 0;
    double seenRate_ = 0;
    int learnt_ = 0;               // calm checks the pattern is made of
    std::vector<double> lastNew_;  // unexplained arrivals of the previous check
    bool awaiting_ = false;        // requests asked for, not yet seen applied
    int waits_ = 0;                // checks spent waiting or unable to tell mid-hunt

    Phase phase_ = Phase::watching;
    double huntMs_ = 0;                    // the new arrival, relative to the group
    double huntAt_ = 0;                    // keeper time it was last seen there
    double huntRate_ = 0;                  // how fast it moves, ms per second (a drift)
    double huntShare_ = 0;                 // its height against the group's when found
    double lastNewAt_ = 0;                 // keeper time of lastNew_
    double probeMs_ = 0;                   // shift the probed speakers were given
    std::vector<std::size_t> candidates_;  // who may sit at the new arrival
    std::vector<std::size_t> probed_;      // shifted in this step
    std::size_t verifying_ = 0;            // corrected, awaiting the look that confirms it
    double verifyMs_ = 0;                  // the error corrected
    bool trusted_ = false;                 // corrected on its own record, not on a probe
    std::optional<std::size_t> drifter_;   // last corrected for a small move
    double driftSign_ = 0;
};

}  // namespace housetone
