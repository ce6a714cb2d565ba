#include "controller/step_listener.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace housetone {

namespace {

// What the ring must hold: the time between two polls of the main thread's tick, with room to
// spare for a tick that comes late.
constexpr double ringSeconds = 40;
// Frames handed to the keeper at a time.
constexpr std::size_t blockFrames = 4096;
// How often the main thread hands the queue new audio, s (real time: a simulated room may run
// many times faster, and the ring must not lap the reader between two polls).
constexpr double pollSeconds = 0.05;

}  // namespace

StepListener::StepListener(AudioHardware& hw, MainQueue& main, const TapEngine& engine)
    : hw_(hw), main_(main), engine_(engine) {}

StepListener::~StepListener() {
    stop();
}

StepListener::Start StepListener::start(std::optional<AudioObjectID> mic,
                                        std::vector<std::string> uids, std::uint64_t run,
                                        Handler handler) {
    stop();
    auto ring = MicRing::create(hw_, ringSeconds, mic);
    if (!ring) return Start::noMicrophone;
    // One clock: a microphone at another rate than the tap would drift against it.
    if (std::fabs(ring->rate() - engine_.rate()) > 0.5) return Start::otherRate;
    if (!ring->start()) return Start::microphoneFailed;
    uids_ = std::move(uids);
    reporting_->handler = std::move(handler);
    pending_.clear();
    suspects_.clear();
    run_ = run;
    reporting_->session = session_.fetch_add(1) + 1;
    auto keeper = std::make_unique<StepKeeper>(StepKeeper::Options{.rate = engine_.rate()}, uids_,
                                               engineDelaysMs());
    MicRing* r = ring.get();
    q_.sync([this, r, &keeper] {
        keeper_ = std::move(keeper);
        micRead_ = r->count();
        tapLead_.reset();
        waiting_.clear();
        mic_.assign(blockFrames, 0.0f);
        ref_.assign(blockFrames, 0.0f);
    });
    ring_ = std::move(ring);
    timer_ = main_.addTimer(pollSeconds, [this] { poll(); });
    return Start::listening;
}

void StepListener::stop() {
    if (!ring_) return;
    if (timer_) main_.cancelTimer(*timer_);
    timer_.reset();
    session_.fetch_add(1);
    ring_->stop();
    q_.sync([this] { keeper_.reset(); });
    ring_.reset();
    reporting_->handler = nullptr;
}

std::vector<double> StepListener::engineDelaysMs() const {
    std::vector<double> ms;
    const double rate = engine_.rate();
    for (std::size_t i = 0; i < uids_.size(); ++i)
        ms.push_back(engine_.delayFrames(static_cast<int>(i)) * 1000.0 / rate);
    return ms;
}

void StepListener::delaysChanged() {
    if (ring_) pending_.push_back({ring_->count(), engineDelaysMs()});
}

void StepListener::suspect(const std::string& uid) {
    if (ring_) suspects_.push_back(uid);
}

void StepListener::poll() {
    if (!ring_) return;
    q_.async([this, session = session_.load(), pending = std::exchange(pending_, {}),
              suspects = std::exchange(suspects_, {})]() mutable {
        consume(session, std::move(pending), std::move(suspects));
    });
}

void StepListener::consume(std::uint64_t session, std::vector<Pending> pending,
                           std::vector<std::string> suspects) {
    if (!keeper_ || session != session_.load() || engine_.installedRun() != run_) return;
    for (const auto& uid : suspects)
        keeper_->suspect(uid);
    for (auto& p : pending)
        waiting_.push_back(std::move(p));
    const std::int64_t heard = ring_->count();
    if (!tapLead_) tapLead_ = engine_.tappedFrames() - heard;
    // The tapped frames the keeper needs must be final in the engine's ring.
    const std::int64_t settled =
        engine_.tappedFrames() - TapEngine::concealFrames - TapEngine::holeFrames - *tapLead_;
    feed(micRead_, std::min(heard, settled));
    backlog_.store(ring_->count() - micRead_, std::memory_order_relaxed);
    // The engine may have been stopped or started afresh while the queue read its ring.
    if (engine_.installedRun() != run_) return;

    Report report{keeper_->verdicts(), keeper_->takeChecks(), keeper_->takeRequests()};
    if (report.checks.empty() && report.requests.empty()) return;
    // Only the handler is reached from the main queue: a listener stopped meanwhile emptied it,
    // and a started one has a new handler that must not hear an old report (the session).
    main_.post([reporting = reporting_, session, report = std::move(report)]() mutable {
        if (reporting->handler && reporting->session == session)
            reporting->handler(std::move(report));
    });
}

void StepListener::feed(std::int64_t from, std::int64_t to) {
    while (from < to) {
        std::int64_t end = std::min<std::int64_t>(to, from + std::int64_t{blockFrames});
        // A delay change reached: the keeper hears of it at its frame.
        if (!waiting_.empty() && waiting_.front().atMicFrame <= from) {
            keeper_->setDelays(std::move(waiting_.front().delaysMs));
            waiting_.erase(waiting_.begin());
            continue;
        }
        if (!waiting_.empty()) end = std::min(end, waiting_.front().atMicFrame);
        const auto n = static_cast<std::size_t>(end - from);
        if (!ring_->copy(from, n, mic_.data()) ||
            !engine_.copyTapped(from + *tapLead_, n, ref_.data())) {
            // Fell behind the microphone or the tap (a stalled queue): start again from what is
            // there now, as if the delays had just been set.
            from = to;
            keeper_->setDelays(engineDelaysMs());
            break;
        }
        keeper_->add(ref_.data(), mic_.data(), n);
        from = end;
    }
    micRead_ = from;
}

}  // namespace housetone
