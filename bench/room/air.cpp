#include "air.h"
#include "graph_session.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <thread>
#include <vector>

namespace housetone::room {

namespace {

constexpr std::uint32_t maxCycle = 8192;
// The sound kept in flight, frames: far more than any delay the room asks for (2.7 s at 48 kHz).
constexpr std::size_t ringFrames = std::size_t{1} << 17;

// What both data threads share: the sound by the monotonic clock's frame it was played at.
struct Ring {
    std::vector<float> samples = std::vector<float>(ringFrames, 0.f);
    // The frame each slot holds; written after its sample, so a reader that finds its frame
    // finds its sample.
    std::vector<std::atomic<std::int64_t>> frames =
        std::vector<std::atomic<std::int64_t>>(ringFrames);
    std::int64_t delayNs = 0;           // set before either side connects
    std::atomic<long long> missing{0};  // frames the room's side found no sound for
};

// The frame of the monotonic clock a cycle starts at, `earlierNs` before its own time.
std::int64_t frameAt(const spa_io_position* position, std::int64_t earlierNs) {
    const double rate = position->clock.rate.denom;
    return std::llround(
        static_cast<double>(static_cast<std::int64_t>(position->clock.nsec) - earlierNs) * rate /
        1e9);
}

struct Side : GraphSession {
    static constexpr const char* filterName = "the filter";
    Ring* ring = nullptr;
    bool hearing = false;  // the speaker's side; else the room's
    void* port = nullptr;
    pw_proxy* airLink = nullptr;
};

// Data threads, once per cycle of their graph: no lock, no allocation, no log, no wait.
void onProcessRt(void* data, spa_io_position* position) {
    auto& s = *static_cast<Side*>(data);
    if (!position || position->clock.rate.denom == 0) return;
    const std::uint32_t n =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(position->clock.duration, maxCycle));
    Ring& ring = *s.ring;
    if (s.hearing) {
        const std::int64_t at = frameAt(position, 0);
        const auto* in = static_cast<const float*>(pw_filter_get_dsp_buffer(s.port, n));
        for (std::uint32_t f = 0; f < n; ++f) {
            const std::int64_t frame = at + f;
            const std::size_t slot = static_cast<std::size_t>(frame) % ringFrames;
            ring.samples[slot] = in ? in[f] : 0.f;
            ring.frames[slot].store(frame, std::memory_order_release);
        }
        return;
    }
    auto* out = static_cast<float*>(pw_filter_get_dsp_buffer(s.port, n));
    if (!out) return;
    const std::int64_t from = frameAt(position, ring.delayNs);
    long long missing = 0;
    for (std::uint32_t f = 0; f < n; ++f) {
        const std::int64_t frame = from + f;
        const std::size_t slot = static_cast<std::size_t>(frame) % ringFrames;
        const bool there = ring.frames[slot].load(std::memory_order_acquire) == frame;
        out[f] = there ? ring.samples[slot] : 0.f;
        missing += there ? 0 : 1;
    }
    if (missing) ring.missing.fetch_add(missing, std::memory_order_relaxed);
}

const pw_filter_events filterEvents = {.version = PW_VERSION_FILTER_EVENTS,
                                       .state_changed = onFilterState<Side>,
                                       .process = onProcessRt};

// Connects one side and makes its filter; the speaker's side also links the speaker's first
// monitor channel to it. False with the reason in s.failure.
bool setUp(Side& s, const std::string& remote, const std::string& nodeName,
           const std::string& speaker, double waitSeconds) {
    if (!s.startLoop(s.hearing ? "air-hear" : "air-play")) {
        s.failure = s.who + ": cannot start a PipeWire loop";
        return false;
    }
    pw_thread_loop_lock(s.loop);
    const auto done = [&](bool ok) {
        pw_thread_loop_unlock(s.loop);
        return ok;
    };
    if (!s.connect(remote)) return done(false);
    if (!s.makeFilter(nodeName, s.hearing ? "Capture" : "Playback", filterEvents, &s)) {
        s.failure = s.who + ": cannot make a filter";
        return done(false);
    }
    s.port = s.hearing ? s.addPort(PW_DIRECTION_INPUT, "input_MONO")
                       : s.addPort(PW_DIRECTION_OUTPUT, "output_MONO");
    if (!s.port || pw_filter_connect(s.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0) {
        s.failure = s.who + ": cannot connect the filter";
        return done(false);
    }
    if (!s.hearing) return done(true);

    std::uint32_t own = SPA_ID_INVALID, monitor = SPA_ID_INVALID;
    const auto ports = [&] {
        const std::uint32_t self = pw_filter_get_node_id(s.filter);
        own = monitor = SPA_ID_INVALID;
        std::string first;
        for (const auto& [id, p] : s.ports) {
            if (p.node == self && !p.output) own = id;
            const auto node = s.nodes.find(p.node);
            if (node == s.nodes.end() || node->second != speaker || !p.output || !p.monitor)
                continue;
            if (monitor == SPA_ID_INVALID || p.name < first) {
                monitor = id;
                first = p.name;
            }
        }
        return self != SPA_ID_INVALID && own != SPA_ID_INVALID && monitor != SPA_ID_INVALID;
    };
    if (!s.waitFor(waitSeconds, ports)) {
        if (s.failure.empty()) s.failure = s.who + ": no monitor port of " + speaker;
        return done(false);
    }
    s.airLink = s.link(monitor, own);
    if (!s.airLink ||
        !s.waitFor(5, [&] { return pw_proxy_get_bound_id(s.airLink) != SPA_ID_INVALID; })) {
        if (s.failure.empty()) s.failure = s.who + ": cannot link " + speaker + " to the air";
        return done(false);
    }
    return done(true);
}

void tearDown(Side& s) {
    if (!s.loop) return;
    pw_thread_loop_lock(s.loop);
    std::vector<pw_proxy*> links{s.airLink};
    s.airLink = nullptr;
    s.unlink(links);
    s.disconnect();
    pw_thread_loop_unlock(s.loop);
    s.endLoop();
}

std::string failureOf(Side& s) {
    pw_thread_loop_lock(s.loop);
    std::string f = s.failure;
    pw_thread_loop_unlock(s.loop);
    return f;
}

}  // namespace

bool carryAir(const AirRequest& r, const std::atomic<bool>& stop, std::string& error) {
    if (r.fromRemote.empty() || r.toRemote.empty() || r.speaker.empty() || r.nodeName.empty() ||
        !(r.delayMs > 0)) {
        error = "the air needs both graphs, the speaker, a node name and a delay";
        return false;
    }
    pw_init(nullptr, nullptr);
    Ring ring;
    for (auto& f : ring.frames)
        f.store(-1, std::memory_order_relaxed);
    Side hear, play;
    hear.ring = play.ring = &ring;
    hear.hearing = true;
    hear.who = "the speaker's graph";
    play.who = "the room's graph";
    ring.delayNs = std::llround(r.delayMs * 1e6);
    bool ok = setUp(play, r.toRemote, r.nodeName, "", r.waitSeconds) &&
              setUp(hear, r.fromRemote, r.nodeName + ".hear", r.speaker, r.waitSeconds);
    if (!ok) error = !hear.failure.empty() ? hear.failure : play.failure;
    while (ok && !stop.load(std::memory_order_relaxed)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (Side* s : {&hear, &play})
            if (std::string f = failureOf(*s); !f.empty()) {
                error = f;
                ok = false;
            }
    }
    tearDown(hear);
    tearDown(play);
    return ok;
}

}  // namespace housetone::room
