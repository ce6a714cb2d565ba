#include "audio/pipewire/pw_callback_filter.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>

#include "audio/pipewire/pw_links.h"
#include "platform/realtime.h"

namespace housetone::pw {

namespace {

const pw_filter_events filterEvents = {.version = PW_VERSION_FILTER_EVENTS,
                                       .process = IOProc::processRt};

std::size_t channelTotal(const std::vector<std::uint32_t>& streams) {
    return std::accumulate(streams.begin(), streams.end(), std::size_t{0});
}

// The filter's own ports, found by name once the graph has them.
bool findFilterPorts(GraphConnection& c, IOProc& p, std::vector<std::uint32_t>& ownIn,
                     std::vector<std::uint32_t>& ownOut) {
    return c.waitFor(3.0, [&] {
        const std::uint32_t self = pw_filter_get_node_id(p.filter);
        if (self == SPA_ID_INVALID) return false;
        ownIn.assign(p.inPorts.size(), SPA_ID_INVALID);
        ownOut.assign(p.outPorts.size(), SPA_ID_INVALID);
        for (const auto& [id, port] : c.mirror().ports()) {
            if (port.node != self) continue;
            auto& list = port.output ? ownOut : ownIn;
            const std::string prefix = port.output ? "out_" : "in_";
            if (port.name.rfind(prefix, 0) != 0) continue;
            const auto i = static_cast<std::size_t>(std::atoi(port.name.c_str() + prefix.size()));
            if (i < list.size()) list[i] = id;
        }
        return std::count(ownIn.begin(), ownIn.end(), SPA_ID_INVALID) == 0 &&
               std::count(ownOut.begin(), ownOut.end(), SPA_ID_INVALID) == 0;
    });
}

}  // namespace

// ---- The callback ----

void IOProc::processRt(void* data, spa_io_position* position) {
    auto& p = *static_cast<IOProc*>(data);
    if (!position) return;
    RealtimeScope rt;
    const std::uint32_t n =
        std::min<std::uint32_t>(static_cast<std::uint32_t>(position->clock.duration), maxQuantum);
    if (p.firstPosition < 0) p.firstPosition = static_cast<std::int64_t>(position->clock.position);
    if (p.graph) p.graph->sawRateRt(position->clock.rate.denom);

    // Gather each stream's mono ports into one interleaved buffer, as hardware presents it.
    std::size_t port = 0, offset = 0;
    AudioBufferList* in = p.inList.list();
    for (std::size_t s = 0; s < p.inStreams.size(); ++s) {
        const std::uint32_t ch = p.inStreams[s];
        float* dst = p.inData.data() + offset;
        for (std::uint32_t c = 0; c < ch; ++c, ++port) {
            const auto* src =
                static_cast<const float*>(pw_filter_get_dsp_buffer(p.inPorts[port], n));
            for (std::uint32_t f = 0; f < n; ++f)
                dst[static_cast<std::size_t>(f) * ch + c] = src ? src[f] : 0.f;
        }
        in->buffers()[s] = {ch, ch * n * 4, dst};
        offset += static_cast<std::size_t>(ch) * n;
    }
    offset = 0;
    AudioBufferList* out = p.outList.list();
    for (std::size_t s = 0; s < p.outStreams.size(); ++s) {
        const std::uint32_t ch = p.outStreams[s];
        float* dst = p.outData.data() + offset;
        std::fill(dst, dst + static_cast<std::size_t>(ch) * n, 0.f);
        out->buffers()[s] = {ch, ch * n * 4, dst};
        offset += static_cast<std::size_t>(ch) * n;
    }

    const double sample =
        static_cast<double>(static_cast<std::int64_t>(position->clock.position) - p.firstPosition);
    const std::uint64_t host = position->clock.nsec;
    const AudioTimeStamp now{sample, host}, inTime{sample - n, host}, outTime{sample, host};
    p.fn(p.device, &now, in, &inTime, out, &outTime, p.client);

    port = 0;
    offset = 0;
    for (const std::uint32_t ch : p.outStreams) {
        const float* src = p.outData.data() + offset;
        for (std::uint32_t c = 0; c < ch; ++c, ++port) {
            auto* dst = static_cast<float*>(pw_filter_get_dsp_buffer(p.outPorts[port], n));
            if (!dst) continue;
            for (std::uint32_t f = 0; f < n; ++f)
                dst[f] = src[static_cast<std::size_t>(f) * ch + c];
        }
        offset += static_cast<std::size_t>(ch) * n;
    }
}

// ---- The filter's life ----

void prepareBuffers(IOProc& p) {
    p.inList.resize(static_cast<std::uint32_t>(p.inStreams.size()));
    p.outList.resize(static_cast<std::uint32_t>(p.outStreams.size()));
    p.inData.assign(channelTotal(p.inStreams) * maxQuantum, 0.f);
    p.outData.assign(channelTotal(p.outStreams) * maxQuantum, 0.f);
    p.firstPosition = -1;
}

bool openFilter(GraphConnection& c, IOProc& p, const std::string& nodeName,
                const std::string& description) {
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Duplex", PW_KEY_MEDIA_ROLE, "DSP",
        PW_KEY_NODE_NAME, nodeName.c_str(), PW_KEY_NODE_DESCRIPTION, description.c_str(),
        PW_KEY_NODE_ALWAYS_PROCESS, "true", "housetone.own", "true", nullptr);
    // No cycle size is asked for: the engine works at whatever size the graph runs (its buffers
    // hold the largest), and the graph's size is the desktop's choice, made for the calls,
    // games and music software that share it.
    p.filter = pw_filter_new(c.core(), description.c_str(), props);
    if (!p.filter) return false;
    pw_filter_add_listener(p.filter, &p.listener, &filterEvents, &p);
    auto addPorts = [&](pw_direction dir, std::size_t count, std::vector<void*>& out,
                        const char* prefix) {
        out.clear();
        for (std::size_t i = 0; i < count; ++i) {
            const std::string name = prefix + std::to_string(i);
            out.push_back(
                pw_filter_add_port(p.filter, dir, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                                   pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                     PW_KEY_PORT_NAME, name.c_str(), nullptr),
                                   nullptr, 0));
        }
    };
    addPorts(PW_DIRECTION_INPUT, channelTotal(p.inStreams), p.inPorts, "in_");
    addPorts(PW_DIRECTION_OUTPUT, channelTotal(p.outStreams), p.outPorts, "out_");
    return pw_filter_connect(p.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) >= 0;
}

bool wireFilter(GraphConnection& c, IOProc& p) {
    std::vector<std::uint32_t> ownIn, ownOut;
    if (!findFilterPorts(c, p, ownIn, ownOut)) return false;
    const std::uint32_t self = pw_filter_get_node_id(p.filter);
    for (const Wire& w : p.wires)
        p.links.push_back(w.input ? createLink(c, w.node, w.port, self, ownIn[w.filterPort])
                                  : createLink(c, self, ownOut[w.filterPort], w.node, w.port));
    return waitLinked(c, p.links, 3.0);
}

void closeFilter(GraphConnection& c, IOProc& p) {
    // Unlinked while the callback still runs, and only then stopped: a node waits in each cycle
    // for every node linked into it, and one that stopped before the daemon took its links away
    // leaves the speakers it fed waiting to the end of a cycle. A network speaker's sender then
    // sends a cycle less, and the far speaker plays a cycle early until its rate control pulls
    // it back, tens of seconds later.
    if (!p.links.empty()) {
        destroyLinks(p.links);
        c.roundTrip();
    }
    if (p.filter) {
        // Returns only once the data thread has dropped the node: no callback after this.
        pw_filter_disconnect(p.filter);
        pw_filter_destroy(p.filter);
        p.filter = nullptr;
        c.roundTrip();
    }
}

void dropFilter(IOProc& p) {
    destroyLinks(p.links);
    if (p.filter) {
        spa_hook_remove(&p.listener);
        pw_filter_destroy(p.filter);
        p.filter = nullptr;
    }
}

}  // namespace housetone::pw
