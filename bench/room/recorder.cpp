#include "recorder.h"
#include "graph_session.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <sndfile.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <thread>

namespace housetone::room {

namespace {

// The largest graph cycle the data thread takes whole; a larger one is cut (and shows as breaks).
constexpr std::uint32_t maxCycle = 8192;
// How far the file may fall behind the graph before sound is lost: 5.5 s at 48 kHz.
constexpr std::size_t ringCapacity = std::size_t{1} << 18;
// Graph jumps whose frames are kept; more are only counted.
constexpr std::size_t keptJumps = 4096;
// Seconds without a cycle after which the graph is taken to have stopped.
constexpr double stallSeconds = 5;

struct Probe : GraphSession {
    static constexpr const char* filterName = "the probe's filter";
    std::vector<void*> inPorts;
    std::vector<pw_proxy*> links;
    std::vector<spa_hook> linkListeners;

    // Shared with the data thread: a single-producer, single-consumer ring of interleaved frames.
    std::size_t channels = 0, ringFrames = 0;
    std::vector<float> ring;
    std::atomic<bool> recording{false};
    std::atomic<std::uint64_t> writePos{0}, readPos{0};
    std::atomic<std::uint32_t> rate{0};
    std::atomic<long long> overflowFrames{0}, missingBuffers{0}, positionJumps{0};
    long long linksRemoved = 0;   // loop thread
    long long nextPosition = -1;  // data thread only
    // Where in the recording the graph's position jumped, and how far: written by the data
    // thread up to jumpCount, read once it has stopped.
    std::vector<std::pair<std::uint64_t, long long>> jumps;
    std::atomic<std::size_t> jumpCount{0};
    std::atomic<long long> longestCycle{0};
};

void onLinkBound(void* data, std::uint32_t) {
    pw_thread_loop_signal(static_cast<Probe*>(data)->loop, false);
}

void onLinkError(void* data, int, int res, const char* message) {
    static_cast<Probe*>(data)->fail(std::string("a link failed: ") + (message ? message : "") +
                                    " (" + spa_strerror(res) + ")");
}

// A client that ends takes its links with it; that is the end of its sound, not a failure.
void onLinkRemoved(void* data) {
    auto& p = *static_cast<Probe*>(data);
    if (p.recording.load(std::memory_order_relaxed)) ++p.linksRemoved;
}

const pw_proxy_events linkEvents = {.version = PW_VERSION_PROXY_EVENTS,
                                    .bound = onLinkBound,
                                    .removed = onLinkRemoved,
                                    .error = onLinkError};

// Data thread, once per graph cycle: no lock, no allocation, no log, no wait.
void onProcessRt(void* data, spa_io_position* position) {
    auto& p = *static_cast<Probe*>(data);
    if (!position || !p.recording.load(std::memory_order_acquire)) return;
    const auto duration = static_cast<long long>(position->clock.duration);
    const std::uint32_t n = static_cast<std::uint32_t>(std::min<long long>(duration, maxCycle));
    const auto at = static_cast<long long>(position->clock.position);
    const std::uint64_t w = p.writePos.load(std::memory_order_relaxed);
    if (p.nextPosition >= 0 && at != p.nextPosition) {
        p.positionJumps.fetch_add(1, std::memory_order_relaxed);
        const std::size_t i = p.jumpCount.load(std::memory_order_relaxed);
        if (i < p.jumps.size()) {
            p.jumps[i] = {w, at - p.nextPosition};
            p.jumpCount.store(i + 1, std::memory_order_release);
        }
    }
    if (duration > p.longestCycle.load(std::memory_order_relaxed))
        p.longestCycle.store(duration, std::memory_order_relaxed);
    p.nextPosition = at + duration;
    p.rate.store(position->clock.rate.denom, std::memory_order_relaxed);

    const std::uint64_t r = p.readPos.load(std::memory_order_acquire);
    const bool room = w - r + n <= p.ringFrames;
    for (std::size_t c = 0; c < p.channels; ++c) {
        const auto* in = static_cast<const float*>(pw_filter_get_dsp_buffer(p.inPorts[c], n));
        if (!in) p.missingBuffers.fetch_add(1, std::memory_order_relaxed);
        if (!room) continue;
        for (std::uint32_t f = 0; f < n; ++f)
            p.ring[((w + f) % p.ringFrames) * p.channels + c] = in ? in[f] : 0.f;
    }
    if (!room) {
        p.overflowFrames.fetch_add(n, std::memory_order_relaxed);
        return;
    }
    p.writePos.store(w + n, std::memory_order_release);
}

const pw_filter_events filterEvents = {.version = PW_VERSION_FILTER_EVENTS,
                                       .state_changed = onFilterState<Probe>,
                                       .process = onProcessRt};

// The output port a "node:port" name stands for; the last colon splits them, as node names may
// hold colons and port names do not.
std::optional<std::uint32_t> findOutput(const Probe& p, const std::string& full) {
    const auto colon = full.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    const std::string node = full.substr(0, colon), port = full.substr(colon + 1);
    for (const auto& [id, name] : p.nodes) {
        if (name != node) continue;
        for (const auto& [portID, gp] : p.ports)
            if (gp.node == id && gp.output && gp.name == port) return portID;
    }
    return std::nullopt;
}

// The probe's own input ports, in channel order, once the registry has them all.
std::optional<std::vector<std::uint32_t>> ownInputs(const Probe& p) {
    const std::uint32_t self = pw_filter_get_node_id(p.filter);
    if (self == SPA_ID_INVALID) return std::nullopt;
    std::vector<std::uint32_t> ids(p.channels, SPA_ID_INVALID);
    for (const auto& [id, gp] : p.ports) {
        if (gp.node != self || gp.output || gp.name.rfind("in_", 0) != 0) continue;
        const auto i = std::strtoul(gp.name.c_str() + 3, nullptr, 10);
        if (i < ids.size()) ids[i] = id;
    }
    if (std::count(ids.begin(), ids.end(), SPA_ID_INVALID) != 0) return std::nullopt;
    return ids;
}

// Connects, makes the filter and links every port; false with the reason in p.failure.
bool setUp(Probe& p, const RecordRequest& r) {
    if (!p.connect()) return false;

    if (!p.makeFilter("housetone-room-probe", "Capture", filterEvents, &p)) {
        p.failure = "cannot make the probe's filter";
        return false;
    }
    for (std::size_t i = 0; i < p.channels; ++i) {
        const std::string name = "in_" + std::to_string(i);
        p.inPorts.push_back(p.addPort(PW_DIRECTION_INPUT, name));
        if (!p.inPorts.back()) {
            p.failure = "cannot add the probe's port " + name;
            return false;
        }
    }
    if (pw_filter_connect(p.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0) {
        p.failure = "cannot connect the probe's filter";
        return false;
    }

    std::vector<std::uint32_t> own;
    if (!p.waitFor(5, [&] {
            auto ids = ownInputs(p);
            if (ids) own = std::move(*ids);
            return ids.has_value();
        })) {
        if (p.failure.empty()) p.failure = "the probe's own ports did not appear";
        return false;
    }
    std::vector<std::uint32_t> sources(r.ports.size());
    if (!p.waitFor(r.waitSeconds, [&] {
            for (std::size_t i = 0; i < r.ports.size(); ++i) {
                const auto id = findOutput(p, r.ports[i]);
                if (!id) return false;
                sources[i] = *id;
            }
            return true;
        })) {
        if (p.failure.empty()) {
            p.failure = "no output port";
            for (const auto& name : r.ports)
                if (!findOutput(p, name)) p.failure += " " + name;
        }
        return false;
    }
    p.linkListeners.resize(sources.size());
    for (std::size_t i = 0; i < sources.size(); ++i) {
        pw_proxy* l = p.link(sources[i], own[i]);
        if (!l) {
            p.failure = "cannot ask for a link from " + r.ports[i];
            return false;
        }
        p.links.push_back(l);
        pw_proxy_add_listener(l, &p.linkListeners[i], &linkEvents, &p);
    }
    if (!p.waitFor(5, [&] {
            return std::all_of(p.links.begin(), p.links.end(), [](pw_proxy* l) {
                return pw_proxy_get_bound_id(l) != SPA_ID_INVALID;
            });
        })) {
        if (p.failure.empty()) p.failure = "the links were not made";
        return false;
    }
    return true;
}

void tearDown(Probe& p) {
    pw_thread_loop_lock(p.loop);
    p.recording.store(false, std::memory_order_release);
    for (std::size_t i = 0; i < p.links.size(); ++i)
        spa_hook_remove(&p.linkListeners[i]);
    p.unlink(p.links);
    p.disconnect();
    pw_thread_loop_unlock(p.loop);
    p.endLoop();
}

struct SoundFile {
    SNDFILE* f = nullptr;
    ~SoundFile() {
        if (f) sf_close(f);
    }
};

// Drains the ring into the file until `frames` are written; false with `error` on a failure.
bool drain(Probe& p, const RecordRequest& r, RecordStats& stats, std::string& error) {
    using clock = std::chrono::steady_clock;
    auto lastData = clock::now();
    std::uint32_t rate = 0;
    while ((rate = p.rate.load(std::memory_order_relaxed)) == 0) {
        if (clock::now() - lastData > std::chrono::duration<double>(stallSeconds)) {
            error = "the graph ran no cycle";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = static_cast<int>(p.channels);
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SoundFile file{sf_open(r.out.c_str(), SFM_WRITE, &info)};
    if (!file.f) {
        error = "cannot write " + r.out + ": " + sf_strerror(nullptr);
        return false;
    }
    std::string names;
    for (const auto& port : r.ports)
        names += port + "\n";
    sf_set_string(file.f, SF_STR_COMMENT, names.c_str());

    const auto target = static_cast<std::uint64_t>(std::llround(r.seconds * rate));
    std::uint64_t done = 0;
    while (done < target) {
        {
            pw_thread_loop_lock(p.loop);
            const std::string failure = p.failure;
            pw_thread_loop_unlock(p.loop);
            if (!failure.empty()) {
                error = failure;
                return false;
            }
        }
        const std::uint64_t w = p.writePos.load(std::memory_order_acquire);
        const std::uint64_t rd = p.readPos.load(std::memory_order_relaxed);
        if (w == rd) {
            if (clock::now() - lastData > std::chrono::duration<double>(stallSeconds)) {
                error = "the graph stopped running";
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        lastData = clock::now();
        // One stretch up to the ring's end, and no further than the recording's.
        const std::uint64_t start = rd % p.ringFrames;
        const std::uint64_t count = std::min({w - rd, p.ringFrames - start, target - done});
        const auto frames = static_cast<sf_count_t>(count);
        if (sf_writef_float(file.f, p.ring.data() + start * p.channels, frames) != frames) {
            error = "cannot write " + r.out + ": " + sf_strerror(file.f);
            return false;
        }
        p.readPos.store(rd + count, std::memory_order_release);
        done += count;
    }
    stats.rate = rate;
    stats.frames = static_cast<long long>(done);
    return true;
}

}  // namespace

bool record(const RecordRequest& r, RecordStats& stats, std::string& error) {
    if (r.ports.empty()) {
        error = "nothing to record";
        return false;
    }
    pw_init(nullptr, nullptr);
    Probe p;
    p.channels = r.ports.size();
    p.ringFrames = ringCapacity;
    p.ring.assign(p.ringFrames * p.channels, 0.f);
    p.jumps.assign(keptJumps, {0, 0});
    if (!p.startLoop("room-probe")) {
        error = "cannot start a PipeWire loop";
        return false;
    }
    pw_thread_loop_lock(p.loop);
    const bool ready = setUp(p, r);
    if (ready) p.recording.store(true, std::memory_order_release);
    if (!ready) error = p.failure;
    pw_thread_loop_unlock(p.loop);

    bool ok = ready && drain(p, r, stats, error);
    tearDown(p);
    stats.overflowFrames = p.overflowFrames.load();
    stats.missingBuffers = p.missingBuffers.load();
    stats.positionJumps = p.positionJumps.load();
    stats.linksRemoved = p.linksRemoved;
    stats.jumps.assign(
        p.jumps.begin(),
        p.jumps.begin() + static_cast<long>(p.jumpCount.load(std::memory_order_acquire)));
    stats.longestCycle = p.longestCycle.load();
    if (ok && stats.overflowFrames > 0) {
        error = "the file fell behind the graph and lost " + std::to_string(stats.overflowFrames) +
                " frames";
        ok = false;
    }
    return ok;
}

}  // namespace housetone::room
