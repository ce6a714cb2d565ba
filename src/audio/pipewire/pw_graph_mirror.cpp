#include "audio/pipewire/pw_graph_mirror.h"

#include <pipewire/extensions/metadata.h>
#include <spa/param/audio/raw.h>
#include <spa/param/latency-utils.h>
#include <spa/param/props.h>
#include <spa/pod/iter.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "audio/pipewire/pw_names.h"
#include "audio/property_contract.h"
#include "core/dev.h"
#include "core/printable.h"

namespace housetone::pw {

namespace {

constexpr const char* ownKey = "housetone.own";
constexpr const char* ownUIDPrefix = "com.mirelo.housetone.";

std::string lookup(const spa_dict* d, const char* key) {
    const char* v = d ? spa_dict_lookup(d, key) : nullptr;
    return v ? v : "";
}

// A word about a link as the mirror keeps it. Profiles and codecs are a few letters long: a value
// is cut to a bound first, at the start of a UTF-8 sequence so that no character is split, and
// then made printable like every other name from outside.
constexpr std::size_t linkWordBytes = 64;

std::string linkWord(std::string_view raw) {
    if (raw.size() > linkWordBytes) {
        std::size_t cut = linkWordBytes;
        while (cut > 0 && (static_cast<unsigned char>(raw[cut]) & 0xC0) == 0x80)
            --cut;
        raw = raw.substr(0, cut);
    }
    return printable(raw);
}

Link linkIn(const spa_dict* props) {
    return {linkWord(lookup(props, "api.bluez5.profile")),
            linkWord(lookup(props, "api.bluez5.codec"))};
}

bool isAudioDeviceClass(const std::string& c) {
    return c == "Audio/Sink" || c == "Audio/Source" || c == "Audio/Source/Virtual" ||
           c == "Audio/Duplex";
}

// A property's value; empty when absent.
std::string valueOf(const std::map<std::string, std::string>& p, const char* key) {
    const auto it = p.find(key);
    return it == p.end() ? std::string() : it->second;
}

// Whether a node's properties say its sound leaves this machine. PipeWire's network modules
// mark their nodes with node.network (RTP, the PulseAudio tunnel); the AirPlay sink of 0.3.65
// does not, and is known by the name it gives itself or by the raop.* keys that later versions
// and the discovery module copy onto it. rtp.*, tunnel.* and pulse.server.* keys and a network
// bus say the same of anything else that carries them.
bool isNetworkNode(const std::map<std::string, std::string>& p) {
    const auto get = [&](const char* k) { return valueOf(p, k); };
    const std::string flag = get("node.network");
    if (flag == "true" || flag == "1") return true;
    const std::string bus = get("device.bus");
    if (bus == "network" || bus == "ip") return true;
    const std::string name = get("node.name");
    if (name.starts_with("raop-sink-") || name.starts_with("raop_sink.") ||
        name.starts_with("rtp-sink-") || name.starts_with("tunnel."))
        return true;
    for (const auto& [key, value] : p)
        for (const char* prefix : {"raop.", "rtp.", "tunnel.", "pulse.server."})
            if (key.starts_with(prefix)) return true;
    return false;
}

}  // namespace

std::uint32_t transportOf(const std::map<std::string, std::string>& p) {
    const auto get = [&](const char* k) { return valueOf(p, k); };
    const std::string bus = get("device.bus"), api = get("device.api"),
                      form = get("device.form-factor"), profile = get("device.profile.name");
    if (get("node.name").starts_with(ownUIDPrefix)) return transport::aggregate;
    if (isNetworkNode(p)) return transport::network;
    if (bus == "bluetooth" || api == "bluez5") return transport::bluetooth;
    if (bus == "usb") return transport::usb;
    if (form == "hdmi" || profile.find("hdmi") != std::string::npos) return transport::hdmi;
    if (form == "displayport") return transport::displayPort;
    if (form == "internal" || form == "speaker" || form == "microphone" || bus == "pci" ||
        api == "alsa")
        return transport::builtIn;
    return transport::virtualDevice;
}

namespace {

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

void onPortParamEvent(void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t,
                      const spa_pod* param) {
    auto* p = static_cast<Port*>(data);
    if (id == SPA_PARAM_Latency && param) p->owner->onPortLatency(*p, param);
}
const pw_port_events portEvents = {.version = PW_VERSION_PORT_EVENTS, .param = onPortParamEvent};

void onDeviceInfoEvent(void* data, const pw_device_info* info) {
    auto* d = static_cast<Device*>(data);
    d->owner->onDeviceInfo(*d, info);
}
const pw_device_events deviceEvents = {.version = PW_VERSION_DEVICE_EVENTS,
                                       .info = onDeviceInfoEvent};

void dropDevice(Device& d) {
    if (!d.proxy) return;
    spa_hook_remove(&d.listener);
    pw_proxy_destroy(d.proxy);
    d.proxy = nullptr;
}

void dropPort(Port& p) {
    if (!p.proxy) return;
    spa_hook_remove(&p.listener);
    pw_proxy_destroy(p.proxy);
    p.proxy = nullptr;
}

int onDefaultsProperty(void* data, std::uint32_t subject, const char* key, const char*,
                       const char* value) {
    if (subject == PW_ID_CORE) static_cast<GraphMirror*>(data)->onMetadata(true, key, value);
    return 0;
}
int onSettingsProperty(void* data, std::uint32_t subject, const char* key, const char*,
                       const char* value) {
    if (subject == PW_ID_CORE) static_cast<GraphMirror*>(data)->onMetadata(false, key, value);
    return 0;
}
const pw_metadata_events defaultsEvents = {.version = PW_VERSION_METADATA_EVENTS,
                                           .property = onDefaultsProperty};
const pw_metadata_events settingsEvents = {.version = PW_VERSION_METADATA_EVENTS,
                                           .property = onSettingsProperty};

}  // namespace

void GraphMirror::clear() {
    for (auto& [id, n] : nodes_)
        if (n->proxy) {
            spa_hook_remove(&n->nodeListener);
            pw_proxy_destroy(n->proxy);
        }
    nodes_.clear();
    nodeOrder_.clear();
    for (auto& [id, p] : ports_)
        dropPort(p);
    ports_.clear();
    for (auto& [id, d] : devices_)
        dropDevice(d);
    devices_.clear();
    dropMetadata(true);
    dropMetadata(false);
    seenRate_.store(0, std::memory_order_relaxed);
}

double GraphMirror::rate() const {
    if (const std::uint32_t seen = seenRate_.load(std::memory_order_relaxed)) return seen;
    return forcedRate_ > 0 ? forcedRate_ : clockRate_;
}

void GraphMirror::onGlobal(pw_registry* registry, std::uint32_t id, const char* type,
                           const spa_dict* props) {
    const std::string t = type ? type : "";
    if (t == PW_TYPE_INTERFACE_Node) {
        const std::string cls = lookup(props, PW_KEY_MEDIA_CLASS);
        if (!isAudioDeviceClass(cls)) return;
        addNode(registry, id, cls, props);
    } else if (t == PW_TYPE_INTERFACE_Port) {
        Port p;
        p.id = id;
        p.node = static_cast<std::uint32_t>(std::atoi(lookup(props, PW_KEY_NODE_ID).c_str()));
        p.index = static_cast<std::uint32_t>(std::atoi(lookup(props, PW_KEY_PORT_ID).c_str()));
        p.output = lookup(props, PW_KEY_PORT_DIRECTION) == "out";
        p.monitor = lookup(props, PW_KEY_PORT_MONITOR) == "true";
        p.name = lookup(props, PW_KEY_PORT_NAME);
        if (const auto old = ports_.find(id); old != ports_.end()) dropPort(old->second);
        Port& kept = ports_[id] = p;
        const auto owner = nodes_.find(p.node);
        const bool playback = !p.output && !p.monitor && owner != nodes_.end() &&
                              !owner->second->own &&
                              owner->second->mediaClass.find("Sink") != std::string::npos;
        if (playback) {
            kept.owner = this;
            kept.proxy = static_cast<pw_proxy*>(
                pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Port, PW_VERSION_PORT, 0));
            if (kept.proxy) {
                pw_port_add_listener(reinterpret_cast<pw_port*>(kept.proxy), &kept.listener,
                                     &portEvents, &kept);
                std::uint32_t ids[] = {SPA_PARAM_Latency};
                pw_port_subscribe_params(reinterpret_cast<pw_port*>(kept.proxy), ids, 1);
            }
        }
    } else if (t == PW_TYPE_INTERFACE_Device) {
        if (const auto old = devices_.find(id); old != devices_.end()) dropDevice(old->second);
        Device& d = devices_[id] = Device{};
        d.owner = this;
        for (const char* k : {"device.bus", "device.api", "device.form-factor"})
            if (const std::string v = lookup(props, k); !v.empty()) d.props[k] = v;
        // The registry hands out only a few of a device's properties; its link is in the rest.
        d.proxy = static_cast<pw_proxy*>(
            pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Device, PW_VERSION_DEVICE, 0));
        if (d.proxy)
            pw_device_add_listener(reinterpret_cast<pw_device*>(d.proxy), &d.listener,
                                   &deviceEvents, &d);
    } else if (t == PW_TYPE_INTERFACE_Metadata) {
        const std::string name = lookup(props, PW_KEY_METADATA_NAME);
        if (name == "default" || name == "settings") bindMetadata(registry, id, name == "default");
    }
    pw_thread_loop_signal(loop_, false);
}

void GraphMirror::addNode(pw_registry* registry, std::uint32_t id, const std::string& mediaClass,
                          const spa_dict* props) {
    auto n = std::make_unique<Node>();
    n->owner = this;
    n->id = id;
    n->mediaClass = mediaClass;
    n->graphName = lookup(props, PW_KEY_NODE_NAME);
    n->name = printableUID(n->graphName);
    n->serial = lookup(props, PW_KEY_OBJECT_SERIAL);
    n->description = printable(lookup(props, PW_KEY_NODE_DESCRIPTION));
    n->proxy = static_cast<pw_proxy*>(
        pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (n->proxy) {
        pw_node_add_listener(reinterpret_cast<pw_node*>(n->proxy), &n->nodeListener, &nodeEvents,
                             n.get());
        std::uint32_t ids[] = {SPA_PARAM_Props};
        pw_node_subscribe_params(reinterpret_cast<pw_node*>(n->proxy), ids, 1);
    }
    nodeOrder_.push_back(id);
    nodes_[id] = std::move(n);
}

// The session manager owns the "default" object: a restarted one publishes a new one (perhaps
// under the same id), and the one that exists now is the one that counts.
void GraphMirror::bindMetadata(pw_registry* registry, std::uint32_t id, bool defaults) {
    const bool again = defaults && id == defaultsID_;
    dropMetadata(defaults);
    auto* proxy = static_cast<pw_proxy*>(
        pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
    if (!proxy) return;
    pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(proxy),
                             defaults ? &defaultsListener_ : &settingsListener_,
                             defaults ? &defaultsEvents : &settingsEvents, this);
    (defaults ? defaults_ : settings_) = proxy;
    (defaults ? defaultsID_ : settingsID_) = id;
    // The session manager reads changes of the object only once it follows it, and it names the
    // default output only from then on: what is ours to say waits for that. The same object bound
    // again is no new one: what is owed to it is still said once.
    if (defaults && !again) events_.defaultsBound();
}

void GraphMirror::rereadDefaults(pw_registry* registry) {
    if (defaults_) bindMetadata(registry, defaultsID_, true);
}

void GraphMirror::dropMetadata(bool defaults) {
    pw_proxy*& proxy = defaults ? defaults_ : settings_;
    if (proxy) {
        spa_hook_remove(defaults ? &defaultsListener_ : &settingsListener_);
        pw_proxy_destroy(proxy);
    }
    proxy = nullptr;
    (defaults ? defaultsID_ : settingsID_) = SPA_ID_INVALID;
    // What the old object said is no longer anybody's word; the new one tells its own.
    if (defaults) {
        defaultSink_.clear(), defaultSource_.clear();
        configuredSink_.clear(), configuredSource_.clear();
    }
}

void GraphMirror::onGlobalRemoved(std::uint32_t id) {
    if (id == defaultsID_) dropMetadata(true);
    if (id == settingsID_) dropMetadata(false);
    if (const auto it = nodes_.find(id); it != nodes_.end()) {
        if (it->second->proxy) pw_proxy_destroy(it->second->proxy);
        nodes_.erase(it);
        std::erase(nodeOrder_, id);
    }
    if (const auto it = ports_.find(id); it != ports_.end()) {
        dropPort(it->second);
        ports_.erase(it);
    }
    if (const auto it = devices_.find(id); it != devices_.end()) {
        dropDevice(it->second);
        devices_.erase(it);
    }
    pw_thread_loop_signal(loop_, false);
}

void GraphMirror::onNodeInfo(Node& n, const pw_node_info* info) {
    // Later events (a state change) carry only what changed: an empty set of properties then.
    if (!info || !info->props || !(info->change_mask & PW_NODE_CHANGE_MASK_PROPS)) return;
    std::map<std::string, std::string> p;
    const spa_dict_item* item;
    spa_dict_for_each(item, info->props) p[item->key] = item->value ? item->value : "";
    const auto deviceID = p.find("device.id");
    n.device = deviceID == p.end()
                   ? SPA_ID_INVALID
                   : static_cast<std::uint32_t>(std::atoi(deviceID->second.c_str()));
    if (const auto dev = devices_.find(n.device); dev != devices_.end())
        for (const auto& [k, v] : dev->second.props)
            p.emplace(k, v);  // the node's own value wins
    // A codec switch keeps the node and changes these; a profile switch makes a new node.
    n.link = linkIn(info->props);
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

void GraphMirror::onNodeParam(Node& n, const spa_pod* param) {
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

void GraphMirror::onDeviceInfo(Device& d, const pw_device_info* info) {
    if (!info || !info->props || !(info->change_mask & PW_DEVICE_CHANGE_MASK_PROPS)) return;
    d.link = linkIn(info->props);
    pw_thread_loop_signal(loop_, false);
}

void GraphMirror::onMetadata(bool defaults, const char* key, const char* value) {
    const std::string k = key ? key : "";
    if (!defaults) {
        if (k == "clock.rate" || k == "clock.force-rate") {
            const double r = value ? std::atof(value) : 0;  // a withdrawn force is none
            if (!(r >= 0 && r <= 1e6) || (k == "clock.rate" && r == 0)) return;
            double& setting = k == "clock.rate" ? clockRate_ : forcedRate_;
            if (setting != r) seenRate_.store(0, std::memory_order_relaxed);
            setting = r;
        } else if ((k == "clock.quantum" || k == "clock.force-quantum") && value) {
            const double q = std::atof(value);
            if (q >= 0 && q <= 1 << 20) (k == "clock.quantum" ? clockQuantum_ : forcedQuantum_) = q;
        } else if (k == "housetone.version" && value) {
            version_ = value;
        }
        return;
    }
    if (k == "default.configured.audio.sink" || k == "default.configured.audio.source") {
        (k.ends_with("sink") ? configuredSink_ : configuredSource_) =
            value ? nodeNameIn(value) : "";
        return;
    }
    if (k != "default.audio.sink" && k != "default.audio.source") return;
    // Read as the session manager wrote it: a node's name need not be UTF-8.
    (k == "default.audio.sink" ? defaultSink_ : defaultSource_) = value ? nodeNameIn(value) : "";
    events_.defaultsChanged();
    pw_thread_loop_signal(loop_, false);
}

// ---- Lookups ----

Node* GraphMirror::node(std::uint32_t id) {
    const auto it = nodes_.find(id);
    return it == nodes_.end() || it->second->own ? nullptr : it->second.get();
}

Node* GraphMirror::nodeByName(const std::string& name) {
    for (std::uint32_t id : nodeOrder_)
        if (Node* n = node(id); n && n->name == name) return n;
    return nullptr;
}

Node* GraphMirror::nodeByGraphName(const std::string& graphName) {
    for (std::uint32_t id : nodeOrder_)
        if (Node* n = node(id); n && n->graphName == graphName) return n;
    return nullptr;
}

std::vector<const Port*> GraphMirror::portsOf(std::uint32_t nodeID, bool output,
                                              bool monitor) const {
    std::vector<const Port*> out;
    for (const auto& [id, p] : ports_)
        if (p.node == nodeID && p.output == output && p.monitor == monitor) out.push_back(&p);
    std::sort(out.begin(), out.end(),
              [](const Port* a, const Port* b) { return a->index < b->index; });
    return out;
}

std::vector<const Port*> GraphMirror::devicePorts(std::uint32_t nodeID, bool capture) const {
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

std::vector<std::uint32_t> GraphMirror::deviceNodes() const {
    std::vector<std::uint32_t> ids;
    for (std::uint32_t id : nodeOrder_)
        if (!nodes_.at(id)->own) ids.push_back(id);
    return ids;
}

OSStatus GraphMirror::writeDefault(bool output, const std::string& name) {
    if (!defaults_) return status::unsupported;
    const std::optional<std::string> value = defaultValueFor(name);
    if (!value) return status::unsupported;
    pw_metadata_set_property(
        reinterpret_cast<pw_metadata*>(defaults_), PW_ID_CORE,
        output ? "default.configured.audio.sink" : "default.configured.audio.source",
        "Spa:String:JSON", value->c_str());
    (output ? defaultSink_ : defaultSource_) = name;
    (output ? configuredSink_ : configuredSource_) = name;
    return noErr;
}

void GraphMirror::forgetConfiguredDefault(bool output) {
    if (!defaults_) return;
    pw_metadata_set_property(
        reinterpret_cast<pw_metadata*>(defaults_), PW_ID_CORE,
        output ? "default.configured.audio.sink" : "default.configured.audio.source", nullptr,
        nullptr);
    (output ? configuredSink_ : configuredSource_).clear();
}

void GraphMirror::onPortLatency(Port& p, const spa_pod* param) {
    spa_latency_info info{};
    // Only the side towards the device says how long the sound still takes to leave it.
    if (spa_latency_parse(param, &info) < 0 || info.direction != SPA_DIRECTION_INPUT) return;
    const auto mid = [](double a, double b) { return (a + b) / 2; };
    const double cycles = mid(info.min_quantum, info.max_quantum);
    const double frames = mid(info.min_rate, info.max_rate);
    const double ns = mid(static_cast<double>(info.min_ns), static_cast<double>(info.max_ns));
    // Another program's numbers: anything negative, not finite or beyond a minute is not a latency.
    const auto sane = [](double v, double top) { return std::isfinite(v) && v >= 0 && v <= top; };
    if (!sane(cycles, 1e4) || !sane(frames, 1e7) || !sane(ns, 60e9)) return;
    p.haveLatency = true;
    p.latencyCycles = cycles;
    p.latencyFrames = frames;
    p.latencyNs = ns;
    // A link that changed its codec or reconnected reports anew: whoever waits on the graph looks.
    pw_thread_loop_signal(loop_, false);
}

std::optional<double> GraphMirror::sinkLatencyFrames(std::uint32_t node) const {
    std::optional<double> latest;
    const double quantum = forcedQuantum_ > 0 ? forcedQuantum_ : clockQuantum_;
    for (const auto& [id, p] : ports_) {
        if (p.node != node || !p.haveLatency) continue;
        const double f = p.latencyCycles * quantum + p.latencyFrames + p.latencyNs * rate() / 1e9;
        latest = std::max(latest.value_or(0.0), f);
    }
    return latest;
}

Link GraphMirror::linkOf(const Node& n) const {
    Link link = n.link;
    if (const auto d = devices_.find(n.device); d != devices_.end()) {
        if (link.profile.empty()) link.profile = d->second.link.profile;
        if (link.codec.empty()) link.codec = d->second.link.codec;
    }
    return link;
}

}  // namespace housetone::pw
