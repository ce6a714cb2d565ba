#include "tune/measure_session.h"

#include <algorithm>
#include <cmath>

#include "tune/mic_capture.h"

namespace housetone {

namespace {
constexpr double captureMargin = 0.4;  // s recorded beyond the playback time
constexpr double doneGrace = 3.0;      // s past the playback time before giving up on `done`
// s still recorded after `done`: the player's own tail is 0.3 s, and a speaker up to the narrow
// search's reach later than the others (or left that late by the delay limit in a fire check)
// must still be heard whole.
constexpr double lastArrivals = 1.0;

// Seconds recorded beyond the usual after the player is done: a speaker as late as the reach
// beyond the near one, and then some, so that one a little beyond the reach is heard and called
// too far apart rather than missed.
double extraListening(double reachMs) {
    return reachMs > nearReachMs ? reachMs / 1000.0 : 0.0;
}
}  // namespace

MeasureSession::MeasureSession(AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                               std::vector<Dev> speakers, double longestPlaySeconds, double reachMs)
    : hw_(hw),
      micDevice_(micDevice),
      speakers_(std::move(speakers)),
      seconds_(longestPlaySeconds + captureMargin + extraListening(reachMs)),
      player_(hw) {}

MeasureSession::~MeasureSession() {
    end();
}

void MeasureSession::end() {
    player_.stop();
    capture_.reset();
}

MicCapture* MeasureSession::capture(double seconds) {
    if (capture_ && capture_->maxFrames() < MicCapture::framesIn(seconds, capture_->rate()))
        capture_.reset();
    if (!capture_) {
        capture_ = MicCapture::create(hw_, std::max(seconds, seconds_), micDevice_);
        if (!capture_ || !capture_->start()) capture_.reset();
    }
    return capture_.get();
}

std::optional<Recording> MeasureSession::listen(double seconds) {
    MicCapture* mic = capture(seconds);
    if (!mic) return std::nullopt;
    mic->arm(MicCapture::framesIn(seconds, mic->rate()));
    hw_.clock().sleepFor(seconds);
    return take(*mic);
}

Recording MeasureSession::take(MicCapture& mic) {
    Recording r{mic.samples(), mic.rate()};
    mic.arm(0);
    // A capture whose callback no longer runs is made again for the next recording.
    if (r.samples.empty()) capture_.reset();
    return r;
}

std::optional<Recording> MeasureSession::recordPlayback(
    double playSeconds, const std::function<bool(SyncMeasure&)>& startPlayer, double reachMs) {
    const double extra = extraListening(reachMs);
    const double seconds = playSeconds + captureMargin + extra;
    MicCapture* mic = capture(seconds);
    if (!mic) return std::nullopt;
    if (!speakers_.empty() && !player_.isOpen() && !player_.open(speakers_)) return std::nullopt;
    mic->arm(MicCapture::framesIn(seconds, mic->rate()));
    if (!startPlayer(player_)) {
        mic->arm(0);
        if (speakers_.empty()) end();
        return std::nullopt;
    }
    const double deadline = hw_.clock().now() + playSeconds + doneGrace;
    // A signal left over from a program that ran late is not this one's.
    while (!player_.finished() && player_.done().waitUntil(deadline)) {
    }
    // A player that did not get through its program in time may have lost a device: it is made
    // again for the next recording.
    if (!player_.finished()) player_.stop();
    hw_.clock().sleepFor(lastArrivals + extra);
    Recording r = take(*mic);
    if (speakers_.empty()) end();
    float loudest = 0;
    for (const float v : r.samples)
        loudest = std::max(loudest, std::fabs(v));
    if (!(loudest > 1e-6f)) return std::nullopt;
    return r;
}

}  // namespace housetone
