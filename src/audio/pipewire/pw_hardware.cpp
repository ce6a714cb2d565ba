#include "audio/pipewire/pw_hardware.h"

#include <pipewire/extensions/metadata.h>
#include <spa/param/props.h>
#include <spa/pod/builder.h>
#include <spa/pod/iter.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

#include "audio/pipewire/pipewire_backend.h"
#include "audio/pipewire/pw_io.h"
#include "audio/pipewire/pw_names.h"
#include "core/dev.h"
#include "core/printable.h"

namespace housetone::pw {

namespace {

constexpr const char* ownKey = "housetone.own";
constexpr const char* ownUIDPrefix = "com.mirelo.housetone.";
// Reconnecting: how often a connection is tried while no daemon answers; how often a reconnection
// in progress looks at its clock; how long a new graph's session manager gets to name the default
// output before the program goes on without it; how long a daemon that accepted the connection
// may take to answer before it is taken for gone again.
constexpr std::int64_t retryMs = 200;
constexpr std::int64_t pollMs = 50;
constexpr std::int64_t settleNs = 3 * SPA_NSEC_PER_SEC;
constexpr std::int64_t answerNs = 10 * SPA_NSEC_PER_SEC;

std::int64_t monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * SPA_NSEC_PER_SEC + t.tv_nsec;
}

std::string lookup(const spa_dict* d, const char* key) {
    const char* v = d ? spa_dict_lookup(d, key) : nullptr;
    return v ? v : "";
}

bool isAudioDeviceClass(const std::string& c) {
    return c == "Audio/Sink" || c == "Audio/Source" || c == "Audio/Source/Virtual" ||
           c == "Audio/Duplex";
}

// The transport a device's properties name: the node's own first, then its device's.
std::uint32_t transportOf(const std::map<std::string, std::string>& p) {
    auto get = [&](const char* k) {
        const auto it = p.find(k);
        return it == p.end() ? std::string() : it->second;
    };
    const std::string bus = get("device.bus"), api = get("device.api"),
                      form = get("device.form-factor"), profile = get("device.profile.name");
    if (get("node.name").rfind(ownUIDPrefix, 0) == 0) return transport::aggregate;
    if (bus == "bluetooth" || api == "bluez5") return transport::bluetooth;
    if (bus == "usb") return transport::usb;
    if (form == "hdmi" || profile.find("hdmi") != std::string::npos) return transport::hdmi;
    if (form == "displayport") return transport::displayPort;
    if (form == "internal" || form == "speaker" || form == "microphone" || bus == "pci" ||
        api == "alsa")
        return transport::builtIn;
    return transport::virtualDevice;
}

// ---- Event tables ----

void onRegistryGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                      const spa_dict* props) {
    static_cast<PipeWireHardware*>(data)->onGlobal(id, type, props);
}
void onRegistryRemove(void* data, std::uint32_t id) {
    static_cast<PipeWireHardware*>(data)->onGlobalRemoved(id);
}
const pw_registry_events registryEvents = {.version = PW_VERSION_REGISTRY_EVENTS,
                                           .global = onRegistryGlobal,
                                           .global_remove = onRegistryRemove};

void onNodeInfoEvent(void* data, const pw_node_info* info) {
    auto* n = static_cast<Node*>(data);
    n->owner->onNodeInfo(*n, info);
}
void onNodeParamEvent(void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t,
                      const spa_pod* param) {
    auto* n = static_cast<Node*>(data);
    if (id == SPA_PARAM_Props && param) n->owner->onNodeParam(*n, param);
}
const pw_node_events nodeEvents = {
    .version = PW_VERSION_NODE_EVENTS, .info = onNodeInfoEvent, .param = onNodeParamEvent};

int onDefaultsProperty(void* data, std::uint32_t subject, const char* key, const char*,
                       const char* value) {
    if (subject == PW_ID_CORE) static_cast<PipeWireHardware*>(data)->onMetadata(true, key, value);
    return 0;
}
int onSettingsProperty(void* data, std::uint32_t subject, const char* key, const char*,
                       const char* value) {
    if (subject == PW_ID_CORE) static_cast<PipeWireHardware*>(data)->onMetadata(false, key, value);
    return 0;
}
const pw_metadata_events defaultsEvents = {.version = PW_VERSION_METADATA_EVENTS,
                                           .property = onDefaultsProperty};
const pw_metadata_events settingsEvents = {.version = PW_VERSION_METADATA_EVENTS,
                                           .property = onSettingsProperty};

void onCoreInfo(void* data, const pw_core_info* info) {
    auto* hw = static_cast<PipeWireHardware*>(data);
    if (info && info->version) hw->onMetadata(false, "housetone.version", info->version);
}
void onCoreDoneEvent(void* data, std::uint32_t id, int seq) {
    if (id == PW_ID_CORE) static_cast<PipeWireHardware*>(data)->onCoreDone(seq);
}
void onCoreErrorEvent(void* data, std::uint32_t id, int, int res, const char*) {
    static_cast<PipeWireHardware*>(data)->onCoreError(id, res);
}
const pw_core_events coreEvents = {.version = PW_VERSION_CORE_EVENTS,
                                   .info = onCoreInfo,
                                   .done = onCoreDoneEvent,
                                   .error = onCoreErrorEvent};

void onRetryEvent(void* data, std::uint64_t) {
    static_cast<PipeWireHardware*>(data)->onRetryTimer();
}

}  // namespace

// ---- Connection ----

PipeWireHardware::PipeWireHardware() {
    pw_init(nullptr, nullptr);
    loop_ = pw_thread_loop_new("housetone-pw", nullptr);
}

PipeWireHardware::~PipeWireHardware() {
    if (!loop_) return;
    pw_thread_loop_lock(loop_);
    if (retry_) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), retry_);
    retry_ = nullptr;
    for (auto& [id, p] : procs_)
        stopFilter(*p);
    for (auto& [id, t] : taps_)
        releaseTap(*t);
    procs_.clear();
    taps_.clear();
    aggregates_.clear();
    for (auto& [id, n] : nodes_)
        if (n->proxy) pw_proxy_destroy(n->proxy);
    nodes_.clear();
    if (defaults_) pw_proxy_destroy(defaults_);
    if (settings_) pw_proxy_destroy(settings_);
    if (registry_) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    if (core_) pw_core_disconnect(core_);
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    if (context_) pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
}

bool PipeWireHardware::connect(double timeoutSeconds, std::string& error) {
    if (!loop_) {
        error = "PipeWire: no thread loop";
        return false;
    }
    if (pw_thread_loop_start(loop_) != 0) {
        error = "PipeWire: the event thread did not start";
        return false;
    }
    Locked lock(*this);
    // client-rt.conf loads the realtime module, which gives the graph's processing thread realtime
    // priority (directly or through RTKit): on a busy machine a plain thread misses graph cycles,
    // and each missed cycle is a gap in what the speakers play and the microphone hears.
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_),
                              pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (!context_) {
        error = "PipeWire: no context";
        return false;
    }
    if (!attach(error)) return false;
    // The first answer brings every global; the second, what binding the nodes asked for.
    if (!roundTrip(timeoutSeconds) || !roundTrip(timeoutSeconds)) {
        error = "PipeWire: the daemon did not answer within the time allowed";
        return false;
    }
    retry_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), onRetryEvent, this);
    return true;
}

bool PipeWireHardware::attach(std::string& error) {
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
        error = std::string("PipeWire: no daemon answers (") + std::strerror(errno) + ")";
        return false;
    }
    pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
    return true;
}

// ---- Reconnecting ----
//
// A daemon that goes away (crashed, killed, restarted by an update) leaves this connection dead.
// Everything runs on the loop thread from the retry timer, so no call ever waits for it: calls
// answer serverGone until the new graph is mirrored. Ids change with the graph; the controller
// learns of the restart from the serviceRestarted count and routes afresh.

void PipeWireHardware::armRetry(std::int64_t milliseconds) {
    if (!retry_) return;
    timespec value{milliseconds / 1000, (milliseconds % 1000) * 1000000};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retry_, &value, nullptr, false);
}

void PipeWireHardware::onRetryTimer() {
    if (stage_ == Stage::connected) return;
    // A call waiting for the old graph still holds its objects; it gives up within a slice.
    if (waiters_ > 0) return armRetry(pollMs);
    if (coreDead_) detach();
    if (!core_) {
        std::string why;
        if (!attach(why)) return armRetry(retryMs);
        attachedAtNs_ = monotonicNs();
        stage_ = Stage::firstSync;
        pendingSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
    } else if (stage_ != Stage::settling && monotonicNs() - attachedAtNs_ > answerNs) {
        coreDead_ = true;  // accepted but never answered: try again from the start
        return armRetry(retryMs);
    }
    advanceReconnect();
    if (stage_ != Stage::connected) armRetry(pollMs);
}

void PipeWireHardware::advanceReconnect() {
    if (coreDead_ || !core_) return;
    if (stage_ == Stage::firstSync && doneSeq_ == pendingSeq_) {
        stage_ = Stage::secondSync;
        pendingSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
    } else if (stage_ == Stage::secondSync && doneSeq_ == pendingSeq_) {
        stage_ = Stage::settling;
    }
    if (stage_ != Stage::settling) return;
    // A desktop's session manager comes back with the daemon and chooses the default output a
    // moment later; routing before that would be undone by it.
    if ((!defaults_ || defaultSink_.empty()) && monotonicNs() - attachedAtNs_ < settleNs) return;
    stage_ = Stage::connected;
    ++restarts_;
    gone_.store(false, std::memory_order_relaxed);
    if (defaults_ && !defaultSink_.empty()) reassertDefault();
    pw_thread_loop_signal(loop_, false);
}

void PipeWireHardware::detach() {
    for (auto& [id, p] : procs_) {
        for (pw_proxy* l : p->links)
            if (l) pw_proxy_destroy(l);
        p->links.clear();
        if (p->filter) {
            spa_hook_remove(&p->listener);
            pw_filter_destroy(p->filter);
            p->filter = nullptr;
        }
    }
    for (auto& [id, t] : taps_) {
        // Programs will be on no tap in the new graph; the output they had goes back there.
        if (t->isDefault) owedOutput_ = t->restoreDefault;
        t->isDefault = false;
        if (t->stream) {
            spa_hook_remove(&t->listener);
            pw_stream_destroy(t->stream);
            t->stream = nullptr;
        }
    }
    for (auto& [id, n] : nodes_)
        if (n->proxy) {
            spa_hook_remove(&n->nodeListener);
            pw_proxy_destroy(n->proxy);
        }
    nodes_.clear();
    nodeOrder_.clear();
    ports_.clear();
    deviceProps_.clear();
    dropMetadata(true);
    dropMetadata(false);
    if (registry_) {
        spa_hook_remove(&registryListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        registry_ = nullptr;
    }
    if (core_) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
    coreDead_ = false;
    pendingSeq_ = doneSeq_ = -1;
}

std::string PipeWireHardware::serverVersion() {
    Locked lock(*this);
    return version_.empty() ? pw_get_library_version() : version_;
}

Clock& PipeWireHardware::clock() {
    return SystemClock::shared();
}

bool PipeWireHardware::waitFor(double timeoutSeconds, const std::function<bool()>& ready) {
    ++waiters_;
    struct Leave {
        int& count;
        ~Leave() { --count; }
    } leave{waiters_};
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline,
                            static_cast<std::int64_t>(timeoutSeconds * SPA_NSEC_PER_SEC));
    while (!ready()) {
        if (gone_.load(std::memory_order_relaxed)) return false;
        timespec slice{};
        pw_thread_loop_get_time(loop_, &slice, 20 * SPA_NSEC_PER_MSEC);
        if (slice.tv_sec > deadline.tv_sec ||
            (slice.tv_sec == deadline.tv_sec && slice.tv_nsec > deadline.tv_nsec)) {
            if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0) return ready();
        } else {
            pw_thread_loop_timed_wait_full(loop_, &slice);
        }
    }
    return true;
}

bool PipeWireHardware::roundTrip(double timeoutSeconds) {
    if (gone_.load(std::memory_order_relaxed) || !core_) return false;
    pendingSeq_ = pw_core_sync(core_, PW_ID_CORE, pendingSeq_);
    const int want = pendingSeq_;
    return waitFor(timeoutSeconds, [&] { return doneSeq_ == want; });
}

void PipeWireHardware::onCoreDone(int seq) {
    doneSeq_ = seq;
    if (stage_ != Stage::connected) advanceReconnect();
    pw_thread_loop_signal(loop_, false);
}

void PipeWireHardware::onCoreError(std::uint32_t id, int res) {
    if (id == PW_ID_CORE && (res == -EPIPE || res == -ECONNRESET)) {
        gone_.store(true, std::memory_order_relaxed);
        coreDead_ = true;
        stage_ = Stage::down;
        // Not from inside the dying core's own event: the timer tears it down a moment later.
        armRetry(1);
        pw_thread_loop_signal(loop_, false);
    }
}

// ---- The graph's mirror ----

void PipeWireHardware::onGlobal(std::uint32_t id, const char* type, const spa_dict* props) {
    const std::string t = type ? type : "";
    if (t == PW_TYPE_INTERFACE_Node) {
        const std::string cls = lookup(props, PW_KEY_MEDIA_CLASS);
        if (!isAudioDeviceClass(cls)) return;
        auto n = std::make_unique<Node>();
        n->owner = this;
        n->id = id;
        n->mediaClass = cls;
        n->graphName = lookup(props, PW_KEY_NODE_NAME);
        n->name = printableUID(n->graphName);
        n->serial = lookup(props, PW_KEY_OBJECT_SERIAL);
        n->description = printable(lookup(props, PW_KEY_NODE_DESCRIPTION));
        n->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
        if (n->proxy) {
            pw_node_add_listener(reinterpret_cast<pw_node*>(n->proxy), &n->nodeListener,
                                 &nodeEvents, n.get());
            std::uint32_t ids[] = {SPA_PARAM_Props};
            pw_node_subscribe_params(reinterpret_cast<pw_node*>(n->proxy), ids, 1);
        }
        nodeOrder_.push_back(id);
        nodes_[id] = std::move(n);
    } else if (t == PW_TYPE_INTERFACE_Port) {
        Port p;
        p.id = id;
        p.node = static_cast<std::uint32_t>(std::atoi(lookup(props, PW_KEY_NODE_ID).c_str()));
        p.index = static_cast<std::uint32_t>(std::atoi(lookup(props, PW_KEY_PORT_ID).c_str()));
        p.output = lookup(props, PW_KEY_PORT_DIRECTION) == "out";
        p.monitor = lookup(props, PW_KEY_PORT_MONITOR) == "true";
        p.name = lookup(props, PW_KEY_PORT_NAME);
        ports_[id] = p;
    } else if (t == PW_TYPE_INTERFACE_Device) {
        auto& d = deviceProps_[id];
        for (const char* k : {"device.bus", "device.api", "device.form-factor"})
            if (const std::string v = lookup(props, k); !v.empty()) d[k] = v;
    } else if (t == PW_TYPE_INTERFACE_Metadata) {
        const std::string name = lookup(props, PW_KEY_METADATA_NAME);
        if (name == "default" || name == "settings") bindMetadata(id, name == "default");
    }
    pw_thread_loop_signal(loop_, false);
}

// The session manager owns the "default" object: a restarted one publishes a new one (perhaps
// under the same id), and the one that exists now is the one that counts.
void PipeWireHardware::bindMetadata(std::uint32_t id, bool defaults) {
    dropMetadata(defaults);
    auto* proxy = static_cast<pw_proxy*>(
        pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
    if (!proxy) return;
    pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(proxy),
                             defaults ? &defaultsListener_ : &settingsListener_,
                             defaults ? &defaultsEvents : &settingsEvents, this);
    (defaults ? defaults_ : settings_) = proxy;
    (defaults ? defaultsID_ : settingsID_) = id;
    // The session manager reads changes of the object only once it follows it, and it names the
    // default output only from then on: what is ours to say waits for that.
    if (defaults) reassertPending_ = true;
}

void PipeWireHardware::dropMetadata(bool defaults) {
    pw_proxy*& proxy = defaults ? defaults_ : settings_;
    if (proxy) {
        spa_hook_remove(defaults ? &defaultsListener_ : &settingsListener_);
        pw_proxy_destroy(proxy);
    }
    proxy = nullptr;
    (defaults ? defaultsID_ : settingsID_) = SPA_ID_INVALID;
    // What the old object said is no longer anybody's word; the new one tells its own.
    if (defaults) defaultSink_.clear(), defaultSource_.clear();
}

void PipeWireHardware::reassertDefault() {
    reassertPending_ = false;
    for (auto& [id, t] : taps_)
        if (t->isDefault && t->stream) {
            owedOutput_.reset();
            writeDefaultKey(true, t->nodeName);
            return;
        }
    if (owedOutput_) writeDefaultKey(true, *std::exchange(owedOutput_, std::nullopt));
}

void PipeWireHardware::onGlobalRemoved(std::uint32_t id) {
    if (id == defaultsID_) dropMetadata(true);
    if (id == settingsID_) dropMetadata(false);
    if (const auto it = nodes_.find(id); it != nodes_.end()) {
        if (it->second->proxy) pw_proxy_destroy(it->second->proxy);
        nodes_.erase(it);
        std::erase(nodeOrder_, id);
    }
    ports_.erase(id);
    deviceProps_.erase(id);
    pw_thread_loop_signal(loop_, false);
}

void PipeWireHardware::onNodeInfo(Node& n, const pw_node_info* info) {
    // Later events (a state change) carry only what changed: an empty set of properties then.
    if (!info || !info->props || !(info->change_mask & PW_NODE_CHANGE_MASK_PROPS)) return;
    std::map<std::string, std::string> p;
    const spa_dict_item* item;
    spa_dict_for_each(item, info->props) p[item->key] = item->value ? item->value : "";
    if (const auto it = p.find("device.id"); it != p.end()) {
        const auto dev =
            deviceProps_.find(static_cast<std::uint32_t>(std::atoi(it->second.c_str())));
        if (dev != deviceProps_.end())
            for (const auto& [k, v] : dev->second)
                p.emplace(k, v);  // the node's own value wins
    }
    // Names are whatever another program chose: what the program sees of them is made printable
    // here, once; the node's own name is kept to address it.
    n.graphName = p[PW_KEY_NODE_NAME];
    n.name = printableUID(n.graphName);
    std::string description = p[PW_KEY_NODE_DESCRIPTION];
    if (description.empty()) description = p[PW_KEY_NODE_NICK];
    n.description = description.empty() ? n.name : printable(description);
    n.own = p.count(ownKey) != 0;
    n.transport = transportOf(p);
    pw_thread_loop_signal(loop_, false);
}

void PipeWireHardware::onNodeParam(Node& n, const spa_pod* param) {
    if (!spa_pod_is_object_type(param, SPA_TYPE_OBJECT_Props)) return;
    const auto* obj = reinterpret_cast<const spa_pod_object*>(param);
    const spa_pod_prop* prop;
    SPA_POD_OBJECT_FOREACH(obj, prop) {
        if (prop->key == SPA_PROP_channelVolumes) {
            float v[SPA_AUDIO_MAX_CHANNELS];
            const std::uint32_t count =
                spa_pod_copy_array(&prop->value, SPA_TYPE_Float, v, SPA_AUDIO_MAX_CHANNELS);
            if (count > 0) {
                n.volumes.assign(v, v + count);
                n.haveProps = true;
            }
        } else if (prop->key == SPA_PROP_mute) {
            bool m = false;
            if (spa_pod_get_bool(&prop->value, &m) == 0) n.mute = m;
        }
    }
    pw_thread_loop_signal(loop_, false);
}

void PipeWireHardware::onMetadata(bool defaults, const char* key, const char* value) {
    const std::string k = key ? key : "";
    if (!defaults) {
        if (k == "clock.rate" && value) {
            const double r = std::atof(value);
            if (r > 0) clockRate_ = r;
        } else if (k == "housetone.version" && value) {
            version_ = value;
        }
        return;
    }
    if (k != "default.audio.sink" && k != "default.audio.source") return;
    // Read as the session manager wrote it: a node's name need not be UTF-8.
    (k == "default.audio.sink" ? defaultSink_ : defaultSource_) = value ? nodeNameIn(value) : "";
    if (stage_ == Stage::settling) advanceReconnect();
    if (stage_ == Stage::connected && reassertPending_ && !defaultSink_.empty()) reassertDefault();
    pw_thread_loop_signal(loop_, false);
}

// ---- Lookups ----

Node* PipeWireHardware::node(AudioObjectID id) {
    const auto it = nodes_.find(id);
    return it == nodes_.end() || it->second->own ? nullptr : it->second.get();
}

Node* PipeWireHardware::nodeByName(const std::string& name) {
    for (std::uint32_t id : nodeOrder_)
        if (Node* n = node(id); n && n->name == name) return n;
    return nullptr;
}

Node* PipeWireHardware::nodeByGraphName(const std::string& graphName) {
    for (std::uint32_t id : nodeOrder_)
        if (Node* n = node(id); n && n->graphName == graphName) return n;
    return nullptr;
}

std::vector<const Port*> PipeWireHardware::portsOf(std::uint32_t nodeID, bool output,
                                                   bool monitor) const {
    std::vector<const Port*> out;
    for (const auto& [id, p] : ports_)
        if (p.node == nodeID && p.output == output && p.monitor == monitor) out.push_back(&p);
    std::sort(out.begin(), out.end(),
              [](const Port* a, const Port* b) { return a->index < b->index; });
    return out;
}

std::vector<const Port*> PipeWireHardware::devicePorts(std::uint32_t nodeID, bool capture) const {
    // A sink plays through its input ports; a source records on its output ports. A virtual
    // source also has input ports (what it is fed), which are not a speaker's.
    const auto it = nodes_.find(nodeID);
    if (it == nodes_.end()) return {};
    const std::string& c = it->second->mediaClass;
    const bool duplex = c == "Audio/Duplex";
    if (!capture)
        return duplex || c == "Audio/Sink" ? portsOf(nodeID, false) : std::vector<const Port*>{};
    if (!duplex && c.rfind("Audio/Source", 0) != 0) return {};
    // A virtual source presents what it is fed on ports flagged as monitors.
    auto ports = portsOf(nodeID, true);
    return ports.empty() ? portsOf(nodeID, true, true) : ports;
}

std::vector<AudioObjectID> PipeWireHardware::deviceList() const {
    std::vector<AudioObjectID> ids;
    for (std::uint32_t id : nodeOrder_)
        if (!nodes_.at(id)->own) ids.push_back(id);
    for (const auto& [id, a] : aggregates_)
        ids.push_back(id);
    return ids;
}

double PipeWireHardware::graphRate() const {
    return clockRate_;
}

std::string PipeWireHardware::defaultName(bool output) const {
    // While programs play into the tap, the output they would play to is the one to report;
    // once the graph's default is elsewhere (someone moved it, a new session manager chose
    // another), that is the truth, and a write of the default takes them back.
    if (output)
        for (const auto& [id, t] : taps_)
            if (t->isDefault && defaultSink_ == t->nodeName) return t->restoreDefault;
    return output ? defaultSink_ : defaultSource_;
}

StreamLayout PipeWireHardware::layoutOf(AudioObjectID device, std::vector<const Node*>& members) {
    auto channels = [&](const Node& n) {
        return LayoutMember{static_cast<std::uint32_t>(devicePorts(n.id, true).size()),
                            static_cast<std::uint32_t>(devicePorts(n.id, false).size())};
    };
    members.clear();
    if (const Aggregate* a = aggregate(device)) {
        std::vector<LayoutMember> present;
        for (const auto& sd : a->desc.subdevices)
            if (const Node* n = nodeByName(sd.uid)) {
                members.push_back(n);
                present.push_back(channels(*n));
            }
        return aggregateLayout(a->desc, present);
    }
    if (const Node* n = node(device)) {
        members.push_back(n);
        return deviceLayout(channels(*n));
    }
    return {};
}

// ---- Properties ----

OSStatus PipeWireHardware::unavailable() {
    return gone_.load(std::memory_order_relaxed) ? serverGone : noErr;
}

AudioObjectID PipeWireHardware::defaultDevice(bool output) {
    const Node* n = nodeByGraphName(defaultName(output));
    return n ? n->id : 0;
}

AudioObjectID PipeWireHardware::deviceWithUID(const std::string& uid) {
    AudioObjectID found = 0;
    if (const Node* n = nodeByName(uid)) found = n->id;
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
    return node(object) || aggregate(object) || tap(object);
}

std::optional<PropertyBytes> PipeWireHardware::tapProperty(const Tap& t, const PropertyAddress& a) {
    if (a.selector == sel::deviceUID) return bytesOf(t.desc.uuid);
    if (a.selector == sel::tapFormat) return bytesOf(stereoFloatFormat(graphRate()));
    return std::nullopt;
}

std::optional<PropertyBytes> PipeWireHardware::objectProperty(AudioObjectID object,
                                                              const PropertyAddress& a) {
    if (const Tap* t = tap(object)) return tapProperty(*t, a);
    const Aggregate* ag = aggregate(object);
    const Node* n = node(object);
    if (!ag && !n) return std::nullopt;
    switch (a.selector) {
        case sel::name:
            return bytesOf(ag ? ag->desc.name : n->description);
        case sel::deviceUID:
            return bytesOf(ag ? ag->desc.uid : n->name);
        case sel::transportType:
            return bytesOf<std::uint32_t>(ag ? transport::aggregate : n->transport);
        case sel::nominalSampleRate:
            return bytesOf(graphRate());
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
    const Node* n = node(id);
    if (!n || devicePorts(id, !output).empty()) return status::badObject;
    return writeDefault(output, n->graphName);
}

OSStatus PipeWireHardware::setObjectProperty(AudioObjectID object, const PropertyAddress& a,
                                             std::uint32_t dataSize, const void* data) {
    if (aggregate(object)) {
        if (a.selector != sel::nominalSampleRate) return status::unknownProperty;
        if (dataSize != sizeof(double)) return status::badPropertySize;
        double rate;
        std::memcpy(&rate, data, sizeof rate);
        // The graph runs every node at its own rate; asking for that one is all that can hold.
        return rate == graphRate() ? noErr : status::unsupported;
    }
    Node* n = node(object);
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
                return defaultSink_ == t->nodeName ? noErr : writeDefaultKey(true, t->nodeName);
            }
    return setConfiguredDefault(output, name);
}

OSStatus PipeWireHardware::setConfiguredDefault(bool output, const std::string& name) {
    const bool gone = gone_.load(std::memory_order_relaxed);
    if (gone || !defaults_) {
        // A tap handing programs back while the daemon or its session manager is away: the new
        // "default" object gets it as soon as there is one.
        if (output) owedOutput_ = name;
        return gone ? serverGone : status::unsupported;
    }
    if (output) owedOutput_.reset();
    return writeDefaultKey(output, name);
}

OSStatus PipeWireHardware::writeDefaultKey(bool output, const std::string& name) {
    if (!defaults_) return status::unsupported;
    const std::optional<std::string> value = defaultValueFor(name);
    if (!value) return status::unsupported;
    pw_metadata_set_property(
        reinterpret_cast<pw_metadata*>(defaults_), PW_ID_CORE,
        output ? "default.configured.audio.sink" : "default.configured.audio.source",
        "Spa:String:JSON", value->c_str());
    (output ? defaultSink_ : defaultSource_) = name;
    return noErr;
}

// ---- Entry points ----

std::optional<AudioBackend> connectPipeWire(std::string* error, double timeoutSeconds) {
    auto hw = std::make_unique<PipeWireHardware>();
    std::string why;
    if (!hw->connect(timeoutSeconds, why)) {
        if (error) *error = why;
        return std::nullopt;
    }
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
