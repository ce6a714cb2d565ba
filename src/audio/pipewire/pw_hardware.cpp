#include "audio/pipewire/pw_hardware.h"

#include <spa/param/props.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "audio/pipewire/pw_names.h"
#include "audio/pipewire/pw_public_aggregate.h"
#include "core/dev.h"
#include "core/printable.h"

namespace housetone::pw {

PipeWireHardware::~PipeWireHardware() {
    if (!conn_.loop()) return;  // no thread loop was made: nothing of ours exists
    Locked lock(conn_);
    conn_.stopRetrying();
    for (auto& [id, p] : procs_)
        stopFilter(*p);
    for (auto& [id, t] : taps_)
        releaseTap(*t);
    procs_.clear();
    taps_.clear();
    aggregates_.clear();
    // Nothing asked of the daemon may still be on its way when this client leaves. One that leaves
    // while the "default" object's owner is still sending it its copy stays counted as waiting
    // for it for good, and the daemon then passes no change of that object to anybody already
    // following it (PipeWire 0.3.65 to 1.4): the desktop would no longer hear a new default output.
    // The daemon answers a round trip only after that copy, so one last round trip is enough; it
    // also sees the output given back above delivered.
    conn_.roundTrip(1.0);
}

Clock& PipeWireHardware::clock() {
    return SystemClock::shared();
}

// ---- Aggregates and taps ----

Aggregate* PipeWireHardware::aggregate(AudioObjectID id) {
    const auto it = aggregates_.find(id);
    return it == aggregates_.end() ? nullptr : it->second.get();
}

bool PipeWireHardware::holdsAggregate(const std::string& uid) const {
    return std::any_of(aggregates_.begin(), aggregates_.end(),
                       [&](const auto& entry) { return entry.second->desc.uid == uid; });
}

Tap* PipeWireHardware::tap(AudioObjectID id) {
    const auto it = taps_.find(id);
    return it == taps_.end() ? nullptr : it->second.get();
}

OSStatus PipeWireHardware::createAggregateDevice(const AggregateDescription& d,
                                                 AudioObjectID& out) {
    out = 0;
    if (!d.isPrivate)
        return createPublicAggregate(
            conn_, d, [this](const std::string& uid) { return holdsAggregate(uid); }, out);
    Locked lock(conn_);
    if (conn_.gone()) return serverGone;
    if (d.uid.empty() || graph().nodeByName(d.uid) || holdsAggregate(d.uid))
        return status::illegalOperation;
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
        Locked lock(conn_);
        if (const Node* n = graph().node(device); n && n->transport == transport::aggregate) {
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
    return destroyPublicAggregate(conn_, hosted);
}

OSStatus PipeWireHardware::createProcessTap(const TapDescription& d, AudioObjectID& out) {
    Locked lock(conn_);
    out = 0;
    if (conn_.gone()) return serverGone;
    // Programs reach the tap only by playing into it instead of the speakers.
    if (d.muteBehavior == TapMuteBehavior::unmuted) return status::unsupported;
    auto t = std::make_unique<Tap>();
    t->id = nextObject_++;
    t->desc = d;
    t->nodeName = tapNodeName(d.uuid);
    if (const OSStatus st = openTap(conn_, *t); st != noErr) return st;
    out = t->id;
    taps_[out] = std::move(t);
    return noErr;
}

void PipeWireHardware::releaseTap(Tap& t) {
    for (auto& [id, p] : procs_)
        if (p->tap == &t) p->tap = nullptr;
    // Programs go back to their output before the sink they play into disappears.
    handProgramsBack(t);
    closeTap(conn_, t);
}

void PipeWireHardware::handProgramsBack(Tap& t) {
    if (t.isDefault) setConfiguredDefault(true, t.restoreDefault);
    t.isDefault = false;
    t.keeper.finish();
}

OSStatus PipeWireHardware::destroyProcessTap(AudioObjectID id) {
    Locked lock(conn_);
    Tap* t = tap(id);
    if (!t) return status::badObject;
    releaseTap(*t);
    taps_.erase(id);
    return noErr;
}

OSStatus PipeWireHardware::createIOProcID(AudioObjectID device, AudioDeviceIOProc proc,
                                          void* clientData, AudioDeviceIOProcID& outID) {
    Locked lock(conn_);
    outID = 0;
    if (conn_.gone()) return serverGone;
    if (!aggregate(device) && !graph().node(device)) return status::badObject;
    if (!proc) return status::illegalOperation;
    auto p = std::make_unique<IOProc>();
    p->id = nextProc_++;
    p->device = device;
    p->fn = proc;
    p->client = clientData;
    p->graph = &graph();
    outID = p->id;
    procs_[outID] = std::move(p);
    return noErr;
}

IOProc* PipeWireHardware::proc(AudioObjectID device, AudioDeviceIOProcID id) {
    const auto it = procs_.find(id);
    return it == procs_.end() || it->second->device != device ? nullptr : it->second.get();
}

OSStatus PipeWireHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID id) {
    Locked lock(conn_);
    IOProc* p = proc(device, id);
    if (!p) return status::badObject;
    stopFilter(*p);
    procs_.erase(id);
    return noErr;
}

OSStatus PipeWireHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID id) {
    Locked lock(conn_);
    if (conn_.gone()) return serverGone;
    IOProc* p = proc(device, id);
    if (!p) return status::badObject;
    if (p->filter) return noErr;
    const OSStatus st = startFilter(*p);
    if (st != noErr) stopFilter(*p);
    return st;
}

OSStatus PipeWireHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID id) {
    Locked lock(conn_);
    IOProc* p = proc(device, id);
    if (!p) return status::badObject;
    stopFilter(*p);
    return noErr;
}

OSStatus PipeWireHardware::startFilter(IOProc& p) {
    if (const OSStatus st = planWires(p); st != noErr) return st;
    prepareBuffers(p);
    std::string nodeName = "housetone.io", description = "Housetone";
    if (const Aggregate* a = aggregate(p.device)) {
        nodeName = a->desc.uid;
        description = a->desc.name;
    }
    if (!openFilter(conn_, p, nodeName, description)) return status::illegalOperation;
    if (!wireFilter(conn_, p)) return conn_.gone() ? serverGone : status::badDevice;
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
        const auto ports =
            s.tap ? graph().portsOf(from, true, true) : graph().devicePorts(from, true);
        for (std::size_t c = 0; c < s.channels; ++c, ++port)
            if (c < ports.size()) p.wires.push_back({true, port, from, ports[c]->id});
    }
    port = 0;
    for (const LayoutStream& s : layout.outputs) {
        for (std::size_t c = 0; c < s.channels; ++c, ++port)
            for (const std::size_t m : s.members) {
                const auto ports = graph().devicePorts(members[m]->id, false);
                if (c < ports.size())
                    p.wires.push_back({false, port, members[m]->id, ports[c]->id});
            }
    }
    return p.wires.empty() ? status::badDevice : noErr;
}

// Only now, with the tap feeding this callback, may programs be moved into it.
void PipeWireHardware::moveProgramsToTap(IOProc& p) {
    if (!p.tap || p.tap->isDefault) return;
    p.tap->restoreDefault = graph().defaultNode(true);
    const auto* info = pw_stream_get_properties(p.tap->stream);
    const char* name = info ? pw_properties_get(info, PW_KEY_NODE_NAME) : nullptr;
    if (!name || setConfiguredDefault(true, name) != noErr) return;
    p.tap->isDefault = true;
    // Taken before the tap became the default would leave nothing to keep if the write failed.
    std::string error;
    if (!p.tap->keeper.start(name, p.tap->restoreDefault, error))
        std::fprintf(stderr, "housetone: %s; if the program is killed, choose the output again\n",
                     printable(error).c_str());
}

void PipeWireHardware::stopFilter(IOProc& p) {
    if (p.tap) handProgramsBack(*p.tap);
    closeFilter(conn_, p);
}

// ---- When the connection dies or comes back ----

void PipeWireHardware::dropStreams() {
    for (auto& [id, p] : procs_)
        dropFilter(*p);
    for (auto& [id, t] : taps_) {
        // Programs will be on no tap in the new graph; the output they had goes back there.
        if (t->isDefault) owedOutput_ = t->restoreDefault;
        t->isDefault = false;
        dropTap(*t);
    }
}

void PipeWireHardware::reassertDefault() {
    for (auto& [id, t] : taps_)
        if (t->isDefault && t->stream) {
            owedOutput_.reset();
            graph().writeDefault(true, t->nodeName);
            return;
        }
    if (owedOutput_) graph().writeDefault(true, *std::exchange(owedOutput_, std::nullopt));
}

void PipeWireHardware::forgetDeadTap() {
    Locked lock(conn_);
    conn_.roundTrip();
    // A tap of an earlier run whose keeper could not give the output back (both were killed):
    // the session manager would go on looking for it; the choice goes back to it instead.
    const std::string& configured = graph().configuredNode(true);
    const bool ours = std::any_of(taps_.begin(), taps_.end(),
                                  [&](const auto& t) { return t.second->nodeName == configured; });
    if (configured.starts_with(tapNodeName("")) && !ours) graph().forgetConfiguredDefault(true);
}

// ---- Lookups ----

std::vector<AudioObjectID> PipeWireHardware::deviceList() {
    std::vector<AudioObjectID> ids;
    for (std::uint32_t id : graph().deviceNodes())
        ids.push_back(id);
    for (const auto& [id, a] : aggregates_)
        ids.push_back(id);
    return ids;
}

std::string PipeWireHardware::defaultName(bool output) {
    // While programs play into the tap, the output they would play to is the one to report;
    // once the graph's default is elsewhere (someone moved it, a new session manager chose
    // another), that is the truth, and a write of the default takes them back.
    if (output)
        for (const auto& [id, t] : taps_)
            if (t->isDefault && graph().defaultNode(true) == t->nodeName) return t->restoreDefault;
    return graph().defaultNode(output);
}

StreamLayout PipeWireHardware::layoutOf(AudioObjectID device, std::vector<const Node*>& members) {
    auto channels = [&](const Node& n) {
        return LayoutMember{static_cast<std::uint32_t>(graph().devicePorts(n.id, true).size()),
                            static_cast<std::uint32_t>(graph().devicePorts(n.id, false).size())};
    };
    members.clear();
    if (const Aggregate* a = aggregate(device)) {
        std::vector<LayoutMember> present;
        for (const auto& sd : a->desc.subdevices)
            if (const Node* n = graph().nodeByName(sd.uid)) {
                members.push_back(n);
                present.push_back(channels(*n));
            }
        return aggregateLayout(a->desc, present);
    }
    if (const Node* n = graph().node(device)) {
        members.push_back(n);
        return deviceLayout(channels(*n));
    }
    return {};
}

// ---- Properties ----

OSStatus PipeWireHardware::unavailable() {
    return conn_.gone() ? serverGone : noErr;
}

AudioObjectID PipeWireHardware::defaultDevice(bool output) {
    const Node* n = graph().nodeByGraphName(defaultName(output));
    return n ? n->id : 0;
}

AudioObjectID PipeWireHardware::deviceWithUID(const std::string& uid) {
    AudioObjectID found = 0;
    if (const Node* n = graph().nodeByName(uid)) found = n->id;
    for (const auto& [id, ag] : aggregates_)
        if (ag->desc.uid == uid) found = id;
    return found;
}

AudioObjectID PipeWireHardware::processObject(std::int32_t pid) {
    // Only this program's own process is an object: the tap leaves it out by construction (its
    // output never passes through the tap).
    return pid == getpid() ? ownProcessObject : 0;
}

bool PipeWireHardware::knows(AudioObjectID object) {
    return graph().node(object) || aggregate(object) || tap(object);
}

std::optional<PropertyBytes> PipeWireHardware::tapProperty(const Tap& t, const PropertyAddress& a) {
    if (a.selector == sel::deviceUID) return bytesOf(t.desc.uuid);
    if (a.selector == sel::tapFormat) return bytesOf(stereoFloatFormat(graph().rate()));
    if (a.selector == sel::latency && a.scope == scope::output) return bytesOf(t.latencyFrames);
    return std::nullopt;
}

std::optional<PropertyBytes> PipeWireHardware::objectProperty(AudioObjectID object,
                                                              const PropertyAddress& a) {
    if (const Tap* t = tap(object)) return tapProperty(*t, a);
    const Aggregate* ag = aggregate(object);
    const Node* n = graph().node(object);
    if (!ag && !n) return std::nullopt;
    switch (a.selector) {
        case sel::name:
            return bytesOf(ag ? ag->desc.name : n->description);
        case sel::deviceUID:
            return bytesOf(ag ? ag->desc.uid : n->name);
        case sel::transportType:
            return bytesOf<std::uint32_t>(ag ? transport::aggregate : n->transport);
        case sel::nominalSampleRate:
            return bytesOf(graph().rate());
        case sel::latency: {
            if (ag || a.scope != scope::output || a.element != 0) return std::nullopt;
            const auto frames = graph().sinkLatencyFrames(n->id);
            if (!frames) return std::nullopt;
            return bytesOf(static_cast<std::uint32_t>(std::lround(std::min(*frames, 1e9))));
        }
        case sel::linkProfile:
        case sel::linkCodec: {
            // A link carries what the device plays: a sink's, said on the side it plays.
            if (ag || a.scope != scope::output || volumeScope(*n) != scope::output ||
                a.element != 0)
                return std::nullopt;
            const Link link = graph().linkOf(*n);
            const std::string& word = a.selector == sel::linkProfile ? link.profile : link.codec;
            if (word.empty()) return std::nullopt;
            return bytesOf(word);
        }
        case sel::streamConfiguration: {
            if (a.element != 0 || (a.scope != scope::output && a.scope != scope::input))
                return std::nullopt;
            std::vector<const Node*> members;
            return streamConfigurationBytes(layoutOf(object, members).channels(a.scope));
        }
        default:
            return n ? volumeProperty(*n, a) : std::nullopt;
    }
}

std::optional<PropertyBytes> PipeWireHardware::volumeProperty(const Node& n,
                                                              const PropertyAddress& a) {
    // Volume and mute sit on the side the node plays or records.
    if (!n.haveProps || a.scope != volumeScope(n)) return std::nullopt;
    if (a.selector == sel::mute && a.element == 0) return bytesOf<std::uint32_t>(n.mute ? 1 : 0);
    if (a.selector == sel::virtualMainVolume && a.element == 0)
        return bytesOf(userVolume(*std::max_element(n.volumes.begin(), n.volumes.end())));
    if (a.selector == sel::volumeScalar && a.element >= 1 && a.element <= n.volumes.size())
        return bytesOf(userVolume(n.volumes[a.element - 1]));
    return std::nullopt;
}

AudioScope PipeWireHardware::volumeScope(const Node& n) const {
    return n.mediaClass == "Audio/Sink" || n.mediaClass == "Audio/Duplex" ? scope::output
                                                                          : scope::input;
}

OSStatus PipeWireHardware::setDefaultDevice(bool output, AudioObjectID id) {
    const Node* n = graph().node(id);
    if (!n || graph().devicePorts(id, !output).empty()) return status::badObject;
    return writeDefault(output, n->graphName);
}

OSStatus PipeWireHardware::setObjectProperty(AudioObjectID object, const PropertyAddress& a,
                                             std::uint32_t dataSize, const void* data) {
    if (Tap* t = tap(object)) {
        if (a.selector != sel::latency || a.scope != scope::output || a.element != 0)
            return tapProperty(*t, a) ? status::illegalOperation : status::unknownProperty;
        if (dataSize != sizeof(std::uint32_t)) return status::badPropertySize;
        std::uint32_t frames;
        std::memcpy(&frames, data, sizeof frames);
        reportTapLatency(*t, frames);
        return noErr;
    }
    if (aggregate(object)) {
        if (a.selector != sel::nominalSampleRate) return status::unknownProperty;
        if (dataSize != sizeof(double)) return status::badPropertySize;
        double rate;
        std::memcpy(&rate, data, sizeof rate);
        // The graph runs every node at its own rate; asking for that one is all that can hold.
        return rate == graph().rate() ? noErr : status::unsupported;
    }
    Node* n = graph().node(object);
    if (!n) return status::badObject;
    const bool isVolume = a.selector == sel::virtualMainVolume || a.selector == sel::volumeScalar;
    if (!isVolume && a.selector != sel::mute) {
        if (a.selector == sel::nominalSampleRate) return status::unsupported;
        return objectProperty(object, a) ? status::illegalOperation : status::unknownProperty;
    }
    return setVolumeProperty(*n, a, dataSize, data);
}

OSStatus PipeWireHardware::setVolumeProperty(Node& n, const PropertyAddress& a,
                                             std::uint32_t dataSize, const void* data) {
    if (!n.haveProps || a.scope != volumeScope(n)) return status::unknownProperty;
    if (dataSize != 4) return status::badPropertySize;
    if (a.selector == sel::mute) {
        std::uint32_t m;
        std::memcpy(&m, data, 4);
        return writeVolumes(n, n.volumes, m != 0);
    }
    float v;
    std::memcpy(&v, data, 4);
    if (!std::isfinite(v)) return status::illegalOperation;
    const float linear = std::pow(std::clamp(v, 0.f, 1.f), 3.f);
    std::vector<float> volumes = n.volumes;
    if (a.selector == sel::volumeScalar) {
        if (a.element < 1 || a.element > volumes.size()) return status::unknownProperty;
        volumes[a.element - 1] = linear;
    } else {
        // The main volume moves every channel and keeps their balance, as volume tools do.
        const float top = *std::max_element(volumes.begin(), volumes.end());
        for (float& c : volumes)
            c = top > 0 ? c / top * linear : linear;
    }
    return writeVolumes(n, volumes, n.mute);
}

OSStatus PipeWireHardware::writeVolumes(Node& n, const std::vector<float>& linear, bool mute) {
    if (!n.proxy || linear.empty()) return status::illegalOperation;
    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_pod_frame f;
    spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    spa_pod_builder_prop(&b, SPA_PROP_channelVolumes, 0);
    spa_pod_builder_array(&b, sizeof(float), SPA_TYPE_Float,
                          static_cast<std::uint32_t>(linear.size()), linear.data());
    spa_pod_builder_prop(&b, SPA_PROP_mute, 0);
    spa_pod_builder_bool(&b, mute);
    const auto* pod = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f));
    if (pw_node_set_param(reinterpret_cast<pw_node*>(n.proxy), SPA_PARAM_Props, 0, pod) < 0)
        return status::illegalOperation;
    // Reads right after a write see it; the node's own answer follows and confirms it.
    n.volumes = linear;
    n.mute = mute;
    return noErr;
}

OSStatus PipeWireHardware::writeDefault(bool output, const std::string& name) {
    // A name the session manager could not be given now cannot be restored later either.
    if (!defaultValueFor(name)) return status::unsupported;
    if (output)
        for (auto& [id, t] : taps_)
            if (t->isDefault) {
                // Programs stay on the tap; this is where they go back to when it ends.
                t->restoreDefault = name;
                t->keeper.keep(name);
                return graph().defaultNode(true) == t->nodeName
                           ? noErr
                           : graph().writeDefault(true, t->nodeName);
            }
    return setConfiguredDefault(output, name);
}

OSStatus PipeWireHardware::setConfiguredDefault(bool output, const std::string& name) {
    const bool gone = conn_.gone();
    if (gone || !graph().hasDefaultsObject()) {
        // A tap handing programs back while the daemon or its session manager is away: the new
        // "default" object gets it as soon as there is one.
        if (output) owedOutput_ = name;
        return gone ? serverGone : status::unsupported;
    }
    if (output) owedOutput_.reset();
    return graph().writeDefault(output, name);
}

// ---- Entry points ----

std::optional<AudioBackend> connectPipeWire(std::string* error, double timeoutSeconds) {
    auto hw = std::make_unique<PipeWireHardware>();
    std::string why;
    if (!hw->connect(timeoutSeconds, why)) {
        if (error) *error = why;
        return std::nullopt;
    }
    hw->forgetDeadTap();
    AudioBackend backend{
        .player = &hw->player(), .micPermission = &hw->micPermission(), .name = hw->version()};
    backend.hardware = std::move(hw);
    return backend;
}

bool pipeWireAnswers(double timeoutSeconds) {
    PipeWireHardware hw;
    std::string why;
    return hw.connect(timeoutSeconds, why);
}

std::string pipeWireVersion() {
    PipeWireHardware hw;
    std::string why;
    hw.connect(1.0, why);
    return hw.version();
}

}  // namespace housetone::pw
