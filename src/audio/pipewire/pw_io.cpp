#include "audio/pipewire/pw_io.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cstring>
#include <numeric>

#include "audio/pipewire/pipewire_backend.h"
#include "audio/pipewire/pw_hardware.h"
#include "core/dev.h"
#include "platform/realtime.h"

namespace housetone::pw {

namespace {

void onTapProcessRt(void* data) {
    // The monitor ports carry what programs play; what reaches the stream itself is dropped.
    auto* stream = static_cast<Tap*>(data)->stream;
    if (pw_buffer* b = pw_stream_dequeue_buffer(stream)) pw_stream_queue_buffer(stream, b);
}
const pw_stream_events tapEvents = {.version = PW_VERSION_STREAM_EVENTS, .process = onTapProcessRt};

const pw_filter_events filterEvents = {.version = PW_VERSION_FILTER_EVENTS,
                                       .process = IOProc::processRt};

std::size_t channelTotal(const std::vector<std::uint32_t>& streams) {
    return std::accumulate(streams.begin(), streams.end(), std::size_t{0});
}

std::string nodeNameFrom(const std::string& s) {
    std::string out;
    for (char c : s)
        out += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                   ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
                   : '-';
    return out;
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

// ---- Aggregates and taps ----

Aggregate* PipeWireHardware::aggregate(AudioObjectID id) {
    const auto it = aggregates_.find(id);
    return it == aggregates_.end() ? nullptr : it->second.get();
}

Tap* PipeWireHardware::tap(AudioObjectID id) {
    const auto it = taps_.find(id);
    return it == taps_.end() ? nullptr : it->second.get();
}

OSStatus PipeWireHardware::createAggregateDevice(const AggregateDescription& d,
                                                 AudioObjectID& out) {
    out = 0;
    if (!d.isPrivate) return createPublicAggregate(d, out);
    Locked lock(*this);
    if (gone_.load(std::memory_order_relaxed)) return serverGone;
    if (d.uid.empty() || nodeByName(d.uid)) return status::illegalOperation;
    for (const auto& [id, a] : aggregates_)
        if (a->desc.uid == d.uid) return status::illegalOperation;
    // The clock master and the drift flags are hints: the graph picks its driver and
    // rate-matches every follower by itself.
    auto a = std::make_unique<Aggregate>();
    a->id = nextObject_++;
    a->desc = d;
    out = a->id;
    aggregates_[out] = std::move(a);
    return noErr;
}

OSStatus PipeWireHardware::destroyAggregateDevice(AudioObjectID device) {
    std::string hosted;
    {
        Locked lock(*this);
        if (const Node* n = node(device); n && n->transport == transport::aggregate) {
            hosted = n->name;
        } else {
            if (!aggregate(device)) return status::badObject;
            for (auto& [id, p] : procs_)
                if (p->device == device) stopFilter(*p);
            aggregates_.erase(device);
            return noErr;
        }
    }
    // This run's or an earlier one's: a host process of its own carries it.
    return destroyPublicAggregate(hosted);
}

OSStatus PipeWireHardware::createProcessTap(const TapDescription& d, AudioObjectID& out) {
    Locked lock(*this);
    out = 0;
    if (gone_.load(std::memory_order_relaxed)) return serverGone;
    // Programs reach the tap only by playing into it instead of the speakers.
    if (d.muteBehavior == TapMuteBehavior::unmuted) return status::unsupported;
    auto t = std::make_unique<Tap>();
    t->id = nextObject_++;
    t->desc = d;
    t->nodeName = "housetone.tap." + nodeNameFrom(d.uuid);
    const std::string& nodeName = t->nodeName;
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CLASS, "Audio/Sink", PW_KEY_NODE_NAME,
        nodeName.c_str(), PW_KEY_NODE_DESCRIPTION, d.name.c_str(), PW_KEY_NODE_VIRTUAL, "true",
        "housetone.own", "true", nullptr);
    t->stream = pw_stream_new(core_, d.name.c_str(), props);
    if (!t->stream) return status::illegalOperation;
    pw_stream_add_listener(t->stream, &t->listener, &tapEvents, t.get());

    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = static_cast<std::uint32_t>(graphRate());
    info.channels = 2;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    pw_stream_connect(t->stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
    // Ready once the session manager has given the sink its monitor ports.
    Tap* raw = t.get();
    const bool ready = waitFor(3.0, [&] {
        const std::uint32_t nodeID = pw_stream_get_node_id(raw->stream);
        return nodeID != SPA_ID_INVALID && portsOf(nodeID, true, true).size() == 2;
    });
    if (!ready) {
        releaseTap(*t);
        return gone_.load(std::memory_order_relaxed) ? serverGone : status::illegalOperation;
    }
    out = t->id;
    taps_[out] = std::move(t);
    return noErr;
}

void PipeWireHardware::releaseTap(Tap& t) {
    for (auto& [id, p] : procs_)
        if (p->tap == &t) p->tap = nullptr;
    // Programs go back to their output before the sink they play into disappears.
    if (t.isDefault) setConfiguredDefault(true, t.restoreDefault);
    t.isDefault = false;
    if (t.stream) pw_stream_destroy(t.stream);
    t.stream = nullptr;
    roundTrip();
}

OSStatus PipeWireHardware::destroyProcessTap(AudioObjectID id) {
    Locked lock(*this);
    Tap* t = tap(id);
    if (!t) return status::badObject;
    releaseTap(*t);
    taps_.erase(id);
    return noErr;
}

// ---- I/O callbacks ----

OSStatus PipeWireHardware::createIOProcID(AudioObjectID device, AudioDeviceIOProc proc,
                                          void* clientData, AudioDeviceIOProcID& outID) {
    Locked lock(*this);
    outID = 0;
    if (gone_.load(std::memory_order_relaxed)) return serverGone;
    if (!aggregate(device) && !node(device)) return status::badObject;
    if (!proc) return status::illegalOperation;
    auto p = std::make_unique<IOProc>();
    p->id = nextProc_++;
    p->device = device;
    p->fn = proc;
    p->client = clientData;
    outID = p->id;
    procs_[outID] = std::move(p);
    return noErr;
}

OSStatus PipeWireHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID id) {
    Locked lock(*this);
    const auto it = procs_.find(id);
    if (it == procs_.end() || it->second->device != device) return status::badObject;
    stopFilter(*it->second);
    procs_.erase(it);
    return noErr;
}

OSStatus PipeWireHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID id) {
    Locked lock(*this);
    if (gone_.load(std::memory_order_relaxed)) return serverGone;
    const auto it = procs_.find(id);
    if (it == procs_.end() || it->second->device != device) return status::badObject;
    if (it->second->filter) return noErr;
    const OSStatus st = startFilter(*it->second);
    if (st != noErr) stopFilter(*it->second);
    return st;
}

OSStatus PipeWireHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID id) {
    Locked lock(*this);
    const auto it = procs_.find(id);
    if (it == procs_.end() || it->second->device != device) return status::badObject;
    stopFilter(*it->second);
    return noErr;
}

pw_proxy* PipeWireHardware::createLink(std::uint32_t outNode, std::uint32_t outPort,
                                       std::uint32_t inNode, std::uint32_t inPort) {
    pw_properties* props = pw_properties_new(PW_KEY_OBJECT_LINGER, "false", nullptr);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", outNode);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", outPort);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", inNode);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", inPort);
    auto* link = static_cast<pw_proxy*>(pw_core_create_object(
        core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    return link;
}

OSStatus PipeWireHardware::startFilter(IOProc& p) {
    if (const OSStatus st = planWires(p); st != noErr) return st;
    // Everything the callback touches, sized for the largest cycle before it can run.
    p.inList.resize(static_cast<std::uint32_t>(p.inStreams.size()));
    p.outList.resize(static_cast<std::uint32_t>(p.outStreams.size()));
    p.inData.assign(channelTotal(p.inStreams) * maxQuantum, 0.f);
    p.outData.assign(channelTotal(p.outStreams) * maxQuantum, 0.f);
    p.firstPosition = -1;
    if (!createFilter(p)) return status::illegalOperation;
    std::vector<std::uint32_t> ownIn, ownOut;
    if (!findFilterPorts(p, ownIn, ownOut) || !linkFilter(p, ownIn, ownOut))
        return gone_.load(std::memory_order_relaxed) ? serverGone : status::badDevice;
    moveProgramsToTap(p);
    return noErr;
}

// Which graph port each channel of the device's layout reads or plays to, in the order the
// buffer lists show them.
OSStatus PipeWireHardware::planWires(IOProc& p) {
    std::vector<const Node*> members;
    const StreamLayout layout = layoutOf(p.device, members);
    const Aggregate* agg = aggregate(p.device);
    p.inStreams = layout.channels(scope::input);
    p.outStreams = layout.channels(scope::output);
    p.wires.clear();
    p.tap = nullptr;
    std::size_t port = 0;
    for (const LayoutStream& s : layout.inputs) {
        std::uint32_t from = 0;
        if (s.tap) {
            Tap* found = nullptr;
            for (auto& [id, t] : taps_)
                if (t->desc.uuid == (*agg->desc.taps)[*s.tap].uid) found = t.get();
            if (!found || !found->stream) return status::badObject;
            from = pw_stream_get_node_id(found->stream);
            if (!p.tap) p.tap = found;
        } else {
            from = members[s.members.front()]->id;
        }
        const auto ports = s.tap ? portsOf(from, true, true) : devicePorts(from, true);
        for (std::size_t c = 0; c < s.channels; ++c, ++port)
            if (c < ports.size()) p.wires.push_back({true, port, from, ports[c]->id});
    }
    port = 0;
    for (const LayoutStream& s : layout.outputs) {
        for (std::size_t c = 0; c < s.channels; ++c, ++port)
            for (const std::size_t m : s.members) {
                const auto ports = devicePorts(members[m]->id, false);
                if (c < ports.size())
                    p.wires.push_back({false, port, members[m]->id, ports[c]->id});
            }
    }
    return p.wires.empty() ? status::badDevice : noErr;
}

bool PipeWireHardware::createFilter(IOProc& p) {
    std::string nodeName = "housetone.io", description = "Housetone";
    if (const Aggregate* a = aggregate(p.device)) {
        nodeName = a->desc.uid;
        description = a->desc.name;
    }
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Duplex", PW_KEY_MEDIA_ROLE, "DSP",
        PW_KEY_NODE_NAME, nodeName.c_str(), PW_KEY_NODE_DESCRIPTION, description.c_str(),
        PW_KEY_NODE_ALWAYS_PROCESS, "true", "housetone.own", "true", nullptr);
    // A cycle of about 20 ms, as the program's other backends use: smaller ones cost wake-ups
    // and, on a busy machine, skipped cycles.
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "1024/%u", static_cast<unsigned>(graphRate()));
    p.filter = pw_filter_new(core_, description.c_str(), props);
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

// The filter's own ports, found by name once the graph has them.
bool PipeWireHardware::findFilterPorts(IOProc& p, std::vector<std::uint32_t>& ownIn,
                                       std::vector<std::uint32_t>& ownOut) {
    return waitFor(3.0, [&] {
        const std::uint32_t self = pw_filter_get_node_id(p.filter);
        if (self == SPA_ID_INVALID) return false;
        ownIn.assign(p.inPorts.size(), SPA_ID_INVALID);
        ownOut.assign(p.outPorts.size(), SPA_ID_INVALID);
        for (const auto& [id, port] : ports_) {
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

bool PipeWireHardware::linkFilter(IOProc& p, const std::vector<std::uint32_t>& ownIn,
                                  const std::vector<std::uint32_t>& ownOut) {
    const std::uint32_t self = pw_filter_get_node_id(p.filter);
    for (const Wire& w : p.wires)
        p.links.push_back(w.input ? createLink(w.node, w.port, self, ownIn[w.filterPort])
                                  : createLink(self, ownOut[w.filterPort], w.node, w.port));
    return waitFor(3.0, [&] {
        return std::all_of(p.links.begin(), p.links.end(), [](pw_proxy* l) {
            return l && pw_proxy_get_bound_id(l) != SPA_ID_INVALID;
        });
    });
}

// Only now, with the tap feeding this callback, may programs be moved into it.
void PipeWireHardware::moveProgramsToTap(IOProc& p) {
    if (!p.tap || p.tap->isDefault) return;
    p.tap->restoreDefault = defaultSink_;
    const auto* info = pw_stream_get_properties(p.tap->stream);
    const char* name = info ? pw_properties_get(info, PW_KEY_NODE_NAME) : nullptr;
    if (name && setConfiguredDefault(true, name) == noErr) p.tap->isDefault = true;
}

void PipeWireHardware::stopFilter(IOProc& p) {
    if (p.tap && p.tap->isDefault) {
        setConfiguredDefault(true, p.tap->restoreDefault);
        p.tap->isDefault = false;
    }
    for (pw_proxy* l : p.links)
        if (l) pw_proxy_destroy(l);
    p.links.clear();
    if (p.filter) {
        // Returns only once the data thread has dropped the node: no callback after this.
        pw_filter_disconnect(p.filter);
        pw_filter_destroy(p.filter);
        p.filter = nullptr;
        roundTrip();
    }
}

}  // namespace housetone::pw
