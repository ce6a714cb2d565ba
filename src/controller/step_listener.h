#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_hardware.h"
#include "engine/tap_engine.h"
#include "platform/main_queue.h"
#include "platform/serial_queue.h"
#include "tune/mic_ring.h"
#include "tune/step_keeper.h"

namespace housetone {

// Listens while aligned plays: records the microphone into a ring, and on its own queue lays
// it beside the engine's tapped sound and hands both to a StepKeeper. What the keeper concludes
// reaches the main thread through the handler; nothing heard is kept beyond the two rings.
//
// The microphone and the tap run on one clock, so a microphone frame and a tapped frame taken at
// the same moment stay the same distance apart for as long as both run; that distance is read once
// at the start. Should either lose a cycle, the whole group seems to move at once, which the keeper
// takes for no speaker's fault.
//
// Threads: start, stop, delaysChanged, suspect and poll on the main thread; the keeper lives on
// the listening queue; the microphone's callback on its audio thread.
class StepListener {
  public:
    struct Report {
        std::vector<StepKeeper::Verdict> verdicts;  // in the order of the uids given to start
        std::vector<StepKeeper::Check> checks;
        std::vector<StepKeeper::Request> requests;
    };
    using Handler = std::function<void(Report)>;

    StepListener(AudioHardware& hw, MainQueue& main, const TapEngine& engine);
    ~StepListener();
    StepListener(const StepListener&) = delete;
    StepListener& operator=(const StepListener&) = delete;

    enum class Start { listening, noMicrophone, microphoneFailed, otherRate };
    // Starts listening with `mic` (the built-in microphone when absent) to the engine's targets,
    // `uids` in the engine's order. Reports go to `handler` on the main queue.
    // Listens only while the engine's installation `run` plays: a fresh start of the engine counts
    // its frames from 0 again, so listening must start afresh with it.
    Start start(std::optional<AudioObjectID> mic, std::vector<std::string> uids, std::uint64_t run,
                Handler handler);
    // Harmless when not listening; once it returns no report of this listening arrives.
    void stop();
    bool listening() const { return ring_ != nullptr; }
    // The microphone listened to (0 when not listening).
    AudioObjectID microphone() const { return ring_ ? ring_->dev() : 0; }

    // The engine's delays changed just now (read from it); the keeper hears of it at the
    // microphone frame where it happened.
    void delaysChanged();
    void suspect(const std::string& uid);
    std::uint64_t run() const { return run_; }
    // Microphone frames recorded and not yet handed to the keeper, as of the last poll's work.
    std::int64_t backlogFrames() const { return backlog_.load(std::memory_order_relaxed); }

  private:
    struct Pending {
        std::int64_t atMicFrame;
        std::vector<double> delaysMs;
    };
    std::vector<double> engineDelaysMs() const;
    // Main thread, on a timer: hands the listening queue what has come in since the last poll.
    void poll();
    // Listening queue.
    void consume(std::uint64_t session, std::vector<Pending> pending,
                 std::vector<std::string> suspects);
    void feed(std::int64_t from, std::int64_t to);

    AudioHardware& hw_;
    MainQueue& main_;
    const TapEngine& engine_;
    std::unique_ptr<MicRing> ring_;
    std::vector<std::string> uids_;
    // Shared with reports on their way to the main queue, which may outlive the listener: they
    // find the handler gone instead of the listener's memory.
    struct Reporting {
        Handler handler;
        std::uint64_t session = 0;  // the listening a report must belong to
    };
    std::shared_ptr<Reporting> reporting_ = std::make_shared<Reporting>();
    std::uint64_t run_ = 0;
    std::optional<MainQueue::TimerId> timer_;
    std::vector<Pending> pending_;       // main thread: delay changes not yet handed over
    std::vector<std::string> suspects_;  // main thread: the same for suspects
    // Which listening a report belongs to; a report of an earlier one is dropped.
    std::atomic<std::uint64_t> session_{0};
    std::atomic<std::int64_t> backlog_{0};

    // Listening queue only.
    std::unique_ptr<StepKeeper> keeper_;
    std::int64_t micRead_ = 0;             // next microphone frame to hand the keeper
    std::optional<std::int64_t> tapLead_;  // tapped frame = microphone frame + tapLead_
    std::vector<Pending> waiting_;         // delay changes not yet reached
    std::vector<float> mic_, ref_;         // one block each
    // Last member: its thread is joined before anything it uses goes.
    SerialQueue q_{"housetone.listen"};
};

}  // namespace housetone
