#include "audio/sim/sim_link_timeline.h"

#include <algorithm>
#include <cmath>

namespace housetone::sim {

namespace {

// A stable mix of the uid into the room's seed: each output wanders its own way, the same way on
// every run and every machine.
std::uint64_t linkSeed(std::uint64_t roomSeed, const std::string& uid) {
    std::uint64_t h = 1469598103934665603ull;
    for (const char c : uid)
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return roomSeed * 0x9E3779B97F4A7C15ull + h;
}

}  // namespace

LinkTimeline::LinkTimeline(const RoomSpec& room, ObjectTable& objects, IOCallbacks& callbacks)
    : rate_(room.sampleRate),
      bufferFrames_(room.bufferFrames),
      seed_(room.seed),
      objects_(objects),
      callbacks_(callbacks) {
    for (const OutputSpec& o : room.outputs)
        follow(o, 0);
}

void LinkTimeline::follow(const OutputSpec& device, std::int64_t frame) {
    links_.erase(device.uid);
    if (device.changes.empty() && device.driftPpm == 0 && device.wobbleMs == 0) return;
    Link& link = links_[device.uid];
    link.device = device;
    link.setAt = frame;
    link.rng.seed(linkSeed(seed_, device.uid));
    // The first leg starts from the nominal latency.
    link.wobbleTargetMs = link.wobbleStepMs = 0;
}

void LinkTimeline::forget(const std::string& uid) {
    links_.erase(uid);
}

void LinkTimeline::advance(std::int64_t t) {
    for (auto& [uid, link] : links_) {
        if (link.backAt && t >= *link.backAt) comeBack(link, t);
        const auto& changes = link.device.changes;
        while (link.next < changes.size() &&
               std::llround(changes[link.next].atSeconds * rate_) <= t) {
            apply(link, changes[link.next], t);
            ++link.next;
        }
        wander(link);
        if (SimObject* o = objects_.output(uid)) {
            const double elapsed = std::min(
                static_cast<double>(t + bufferFrames_ - link.setAt) / rate_, kDriftHorizonSeconds);
            o->movingMs = link.device.driftPpm * 1e-6 * elapsed * 1000.0 + link.wobbleMs;
        }
    }
}

void LinkTimeline::apply(Link& link, const LinkChange& change, std::int64_t t) {
    OutputSpec& now = link.device;
    if (change.latencyMs) {
        now.latencyMs = *change.latencyMs;
        link.setAt = t;
    }
    if (change.codec) now.codec = change.codec;
    if (change.profile) now.profile = change.profile;
    if (change.reportedLatencyMs) now.reportedLatencyMs = change.reportedLatencyMs;
    if (change.goneSeconds > 0)
        leave(link, std::llround((change.atSeconds + change.goneSeconds) * rate_));
    else
        objects_.relink(now);
}

// The device goes as an unplugged one does: out of the device list, its callbacks stopped.
void LinkTimeline::leave(Link& link, std::int64_t backAt) {
    link.backAt = backAt;
    link.inputSide.reset();
    const SimObject* o = objects_.output(link.device.uid);
    if (!o) return;
    if (o->inChannels > 0)
        link.inputSide = InputSpec{link.device.name, link.device.uid, link.device.transport,
                                   o->inChannels, o->noiseRms};
    link.wasDefaultOutput = objects_.defaultDevice(true) == o->id;
    link.wasDefaultInput = objects_.defaultDevice(false) == o->id;
    if (const auto id = objects_.removeDevice(link.device.uid)) callbacks_.stopOn(*id);
}

// It comes back as a new device with the link's new values; the system makes it the default again
// if it was when it left, as it does for a speaker it remembers.
void LinkTimeline::comeBack(Link& link, std::int64_t t) {
    link.backAt.reset();
    const AudioObjectID id = objects_.addOutput(link.device);
    if (link.inputSide) objects_.addInput(*link.inputSide);
    if (link.wasDefaultOutput) objects_.setDefaultDevice(true, id);
    if (link.wasDefaultInput) objects_.setDefaultDevice(false, id);
    link.setAt = t;  // a reconnected link starts its drift afresh
}

// Legs of a random walk between random points within +-wobbleMs, each at its own slow pace of
// at most a frame a buffer.
void LinkTimeline::wander(Link& link) {
    const double range = link.device.wobbleMs;
    if (range <= 0) return;
    if (std::fabs(link.wobbleTargetMs - link.wobbleMs) > link.wobbleStepMs) {
        link.wobbleMs +=
            link.wobbleTargetMs > link.wobbleMs ? link.wobbleStepMs : -link.wobbleStepMs;
        return;
    }
    link.wobbleMs = link.wobbleTargetMs;
    link.wobbleTargetMs = std::uniform_real_distribution<double>(-range, range)(link.rng);
    link.wobbleStepMs =
        std::uniform_real_distribution<double>(0.05, 0.5)(link.rng) * 1000.0 / rate_;
}

}  // namespace housetone::sim
