#include "arrivals.h"
#include "graph_session.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <thread>

#include "arrival_analysis.h"

namespace housetone::room {

namespace {

// The largest graph cycle the data thread takes whole; a larger one is cut.
constexpr std::uint32_t maxCycle = 8192;
// Seconds without a cycle after which the graph is taken to have stopped.
constexpr double stallSeconds = 5;

struct Session : GraphSession {
    static constexpr const char* filterName = "the probe's filter";
    void* micPort = nullptr;
    std::vector<void*> sinkPorts;
    std::vector<pw_proxy*> links;

    // Set up before `playing`, then read by the data thread only.
    std::vector<float> burst;
    std::vector<std::uint64_t> starts;  // per burst, in sink order within each round
    std::vector<float> recording;       // written by the data thread up to `frames`
    // Shared with the data thread.
    std::atomic<bool> playing{false};
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint32_t> rate{0};
    std::atomic<long long> positionJumps{0}, missingBuffers{0};
    long long nextPosition = -1;  // data thread only
};

// Data thread, once per graph cycle: no lock, no allocation, no log, no wait. The schedule, the
// burst and the recording are laid out before `playing` is set and not touched after.
void onProcessRt(void* data, spa_io_position* position) {
    auto& s = *static_cast<Session*>(data);
    if (!position) return;
    s.rate.store(position->clock.rate.denom, std::memory_order_relaxed);
    const auto duration = static_cast<long long>(position->clock.duration);
    const std::uint32_t n = static_cast<std::uint32_t>(std::min<long long>(duration, maxCycle));
    const bool playing = s.playing.load(std::memory_order_acquire);
    const std::uint64_t t = s.frames.load(std::memory_order_relaxed);
    const bool recording = playing && t < s.recording.size();
    for (std::size_t k = 0; k < s.sinkPorts.size(); ++k) {
        auto* out = static_cast<float*>(pw_filter_get_dsp_buffer(s.sinkPorts[k], n));
        if (!out) {
            if (recording) s.missingBuffers.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        std::fill(out, out + n, 0.f);
        if (!recording) continue;
        // Every burst of this sink that overlaps the cycle [t, t + n).
        for (std::size_t b = k; b < s.starts.size(); b += s.sinkPorts.size()) {
            const std::uint64_t start = s.starts[b], end = start + s.burst.size();
            if (end <= t || start >= t + n) continue;
            for (std::uint64_t f = std::max(start, t); f < std::min(end, t + n); ++f)
                out[f - t] = s.burst[f - start];
        }
    }
    const auto* in = static_cast<const float*>(pw_filter_get_dsp_buffer(s.micPort, n));
    if (!recording) return;
    const auto at = static_cast<long long>(position->clock.position);
    if (s.nextPosition >= 0 && at != s.nextPosition)
        s.positionJumps.fetch_add(1, std::memory_order_relaxed);
    s.nextPosition = at + duration;
    if (!in) s.missingBuffers.fetch_add(1, std::memory_order_relaxed);
    const std::uint64_t count = std::min<std::uint64_t>(n, s.recording.size() - t);
    for (std::uint64_t f = 0; f < count; ++f)
        s.recording[t + f] = in ? in[f] : 0.f;
    s.frames.store(t + n, std::memory_order_release);
}

const pw_filter_events filterEvents = {.version = PW_VERSION_FILTER_EVENTS,
                                       .state_changed = onFilterState<Session>,
                                       .process = onProcessRt};

std::optional<std::uint32_t> nodeID(const Session& s, const std::string& name) {
    for (const auto& [id, n] : s.nodes)
        if (n == name) return id;
    return std::nullopt;
}

// A node's ports of one kind, by name: a sink's playback ports, a source's capture ports (a
// virtual source's are flagged as monitors, its "capture_" names sort first).
std::vector<std::uint32_t> portsOf(const Session& s, std::uint32_t node, bool output) {
    std::vector<std::pair<std::string, std::uint32_t>> found;
    for (const auto& [id, p] : s.ports)
        if (p.node == node && p.output == output && (output || !p.monitor))
            found.emplace_back(p.name, id);
    std::sort(found.begin(), found.end());
    std::vector<std::uint32_t> ids;
    for (const auto& f : found)
        ids.push_back(f.second);
    return ids;
}

// Connects, makes the filter and links it; false with the reason in s.failure.
bool setUp(Session& s, const ArrivalRequest& r) {
    if (!s.connect()) return false;

    if (!s.makeFilter("housetone-room-probe", "Duplex", filterEvents, &s)) {
        s.failure = "cannot make the probe's filter";
        return false;
    }
    s.micPort = s.addPort(PW_DIRECTION_INPUT, "in_mic");
    for (std::size_t k = 0; k < r.sinks.size(); ++k)
        s.sinkPorts.push_back(s.addPort(PW_DIRECTION_OUTPUT, "out_" + std::to_string(k)));
    if (!s.micPort || std::count(s.sinkPorts.begin(), s.sinkPorts.end(), nullptr) != 0) {
        s.failure = "cannot add the probe's ports";
        return false;
    }
    if (pw_filter_connect(s.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0) {
        s.failure = "cannot connect the probe's filter";
        return false;
    }

    // The probe's own ports: its input, then one output per sink.
    std::vector<std::uint32_t> own;
    const auto ownPorts = [&] {
        const std::uint32_t self = pw_filter_get_node_id(s.filter);
        if (self == SPA_ID_INVALID) return false;
        own.assign(r.sinks.size() + 1, SPA_ID_INVALID);
        for (const auto& [id, p] : s.ports) {
            if (p.node != self) continue;
            if (p.name == "in_mic" && !p.output) own[0] = id;
            if (p.output && p.name.rfind("out_", 0) == 0) {
                const auto k = std::strtoul(p.name.c_str() + 4, nullptr, 10);
                if (k < r.sinks.size()) own[k + 1] = id;
            }
        }
        return std::count(own.begin(), own.end(), SPA_ID_INVALID) == 0;
    };
    if (!s.waitFor(5, ownPorts)) {
        if (s.failure.empty()) s.failure = "the probe's own ports did not appear";
        return false;
    }
    std::vector<std::uint32_t> mic;
    std::vector<std::vector<std::uint32_t>> playback(r.sinks.size());
    const auto graphPorts = [&] {
        const auto m = nodeID(s, r.microphone);
        if (!m || (mic = portsOf(s, *m, true)).empty()) return false;
        for (std::size_t k = 0; k < r.sinks.size(); ++k) {
            const auto id = nodeID(s, r.sinks[k]);
            if (!id || (playback[k] = portsOf(s, *id, false)).empty()) return false;
        }
        return true;
    };
    if (!s.waitFor(r.waitSeconds, graphPorts)) {
        if (s.failure.empty()) {
            s.failure = "no ports for";
            if (!nodeID(s, r.microphone) || mic.empty()) s.failure += " " + r.microphone;
            for (std::size_t k = 0; k < r.sinks.size(); ++k)
                if (playback[k].empty()) s.failure += " " + r.sinks[k];
        }
        return false;
    }
    // The microphone's first channel; every channel of each sink plays its burst.
    s.links.push_back(s.link(mic.front(), own[0]));
    for (std::size_t k = 0; k < r.sinks.size(); ++k)
        for (const std::uint32_t port : playback[k])
            s.links.push_back(s.link(own[k + 1], port));
    if (std::count(s.links.begin(), s.links.end(), nullptr) != 0) {
        s.failure = "cannot ask for the links";
        return false;
    }
    if (!s.waitFor(5, [&] {
            return std::all_of(s.links.begin(), s.links.end(), [](pw_proxy* l) {
                return l && pw_proxy_get_bound_id(l) != SPA_ID_INVALID;
            });
        })) {
        if (s.failure.empty()) s.failure = "the links were not made";
        return false;
    }
    return true;
}

void tearDown(Session& s) {
    pw_thread_loop_lock(s.loop);
    s.playing.store(false, std::memory_order_release);
    s.unlink(s.links);
    s.disconnect();
    pw_thread_loop_unlock(s.loop);
    s.endLoop();
}

// Waits until the recording is full; false with `error` when the graph failed or stopped.
bool waitForRecording(Session& s, std::string& error) {
    using clock = std::chrono::steady_clock;
    auto last = clock::now();
    std::uint64_t seen = 0;
    for (;;) {
        pw_thread_loop_lock(s.loop);
        const std::string failure = s.failure;
        pw_thread_loop_unlock(s.loop);
        if (!failure.empty()) {
            error = failure;
            return false;
        }
        const std::uint64_t done = s.frames.load(std::memory_order_acquire);
        if (done >= s.recording.size()) return true;
        if (done != seen) {
            seen = done;
            last = clock::now();
        } else if (clock::now() - last > std::chrono::duration<double>(stallSeconds)) {
            error = "the graph stopped running";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

bool measureArrivals(const ArrivalRequest& r, ArrivalResult& result, std::string& error) {
    if (r.sinks.empty() || r.microphone.empty() || r.repeats < 1 || !(r.burstMs > 0) ||
        !(r.windowMs > r.burstMs) || !(r.leadMs >= 0)) {
        error =
            "nothing to measure: a microphone, sinks, rounds and a window longer than the burst "
            "are needed";
        return false;
    }
    pw_init(nullptr, nullptr);
    Session s;
    if (!s.startLoop("room-arrivals")) {
        error = "cannot start a PipeWire loop";
        return false;
    }
    pw_thread_loop_lock(s.loop);
    const bool ready = setUp(s, r);
    if (!ready) error = s.failure;
    pw_thread_loop_unlock(s.loop);
    if (!ready) {
        tearDown(s);
        return false;
    }

    // The bursts are laid out in the graph's frames, known once it has run a cycle.
    double rate = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(stallSeconds);
         rate == 0 && std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        rate = s.rate.load(std::memory_order_relaxed);
    if (rate == 0) {
        tearDown(s);
        error = "the graph ran no cycle";
        return false;
    }
    const auto frames = [&](double ms) {
        return static_cast<std::uint64_t>(std::llround(ms * rate / 1000));
    };
    const std::uint64_t window = frames(r.windowMs), lead = frames(r.leadMs);
    s.burst = arrivalBurst(static_cast<std::size_t>(frames(r.burstMs)), 0.5f);
    const std::size_t sinks = r.sinks.size(), bursts = sinks * static_cast<std::size_t>(r.repeats);
    for (std::size_t b = 0; b < bursts; ++b)
        s.starts.push_back(lead + b * window);
    s.recording.assign(static_cast<std::size_t>(lead + bursts * window), 0.f);
    pw_thread_loop_lock(s.loop);
    s.playing.store(true, std::memory_order_release);
    pw_thread_loop_unlock(s.loop);

    const bool recorded = waitForRecording(s, error);
    tearDown(s);
    if (!recorded) return false;
    result = {};
    result.rate = rate;
    result.positionJumps = s.positionJumps.load();
    result.missingBuffers = s.missingBuffers.load();
    for (std::size_t k = 0; k < sinks; ++k) {
        SinkArrival a;
        a.sink = r.sinks[k];
        std::vector<double> heard;
        for (std::size_t b = k; b < bursts; b += sinks) {
            const auto found = findArrival(s.recording, s.burst, s.starts[b],
                                           static_cast<std::size_t>(window), r.minClarity);
            a.roundsMs.push_back(found ? std::optional(found->lag * 1000.0 / rate) : std::nullopt);
            if (found) heard.push_back(*a.roundsMs.back());
        }
        a.arrivalMs = median(heard);
        result.sinks.push_back(std::move(a));
    }
    return true;
}

}  // namespace housetone::room
