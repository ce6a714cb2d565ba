#pragma once

#include <pipewire/pipewire.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_hardware.h"

namespace housetone::pw {

class GraphMirror;

// The transport a node's properties name (its device's merged in, the node's own winning): the
// program's own nodes are aggregates, a node whose sound goes over the network (PipeWire's RTP,
// PulseAudio tunnel and AirPlay sinks) is a network device, then Bluetooth, USB, HDMI,
// DisplayPort and built-in by bus, API and form factor; anything else is virtual. The values are
// another program's text and are only compared.
std::uint32_t transportOf(const std::map<std::string, std::string>& props);

// How a wireless link carries the sound, in the audio system's words (Bluetooth's profile and
// codec); an empty member says nothing. Each is another program's text, cut short and made
// printable before the mirror keeps it.
struct Link {
    std::string profile;
    std::string codec;
};

// One audio node of the graph as the program sees it: a sink, a source or both.
struct Node {
    GraphMirror* owner = nullptr;
    std::uint32_t id = 0;
    std::string mediaClass;
    // node.name as the graph holds it, which need not be text: what the daemon and the session
    // manager must be given back to find this node.
    std::string graphName;
    std::string name;         // the UID the program sees: graphName made printable (printableUID)
    std::string description;  // node.description made printable: what people read
    std::string serial;       // object.serial: names this node and no other
    std::uint32_t transport = 0;
    bool own = false;  // made by this program (the tap, the aggregates' filters)
    pw_proxy* proxy = nullptr;
    spa_hook nodeListener{};
    bool haveProps = false;
    std::vector<float> volumes;  // linear, one per channel
    bool mute = false;
    std::uint32_t device = SPA_ID_INVALID;  // device.id: the device object behind the node
    Link link;                              // what the node itself says of its link
};

// A device object: what its registry entry says of its bus and form factor, and, bound for its
// full properties, what it says of its link (a Bluetooth device may say it where its nodes do not).
struct Device {
    GraphMirror* owner = nullptr;
    std::map<std::string, std::string> props;
    Link link;
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
};

struct Port {
    std::uint32_t id = 0;
    std::uint32_t node = 0;
    std::uint32_t index = 0;  // port.id: the channel order within its node and direction
    bool output = false;
    bool monitor = false;
    std::string name;
    // A speaker's playback ports are bound for the latency they report: from a sample reaching
    // the port to it leaving the device, in cycles, frames and nanoseconds (their sum).
    GraphMirror* owner = nullptr;
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
    bool haveLatency = false;
    double latencyCycles = 0;
    double latencyFrames = 0;
    double latencyNs = 0;
};

// What the mirror tells the connection about the "default" metadata object.
class DefaultsEvents {
  public:
    // A new "default" object is followed: what is ours to say there waits for its first answer.
    virtual void defaultsBound() = 0;
    // The default output or input it names changed.
    virtual void defaultsChanged() = 0;

  protected:
    ~DefaultsEvents() = default;
};

// The part of the graph the program needs, as the registry announces it: audio nodes, their
// ports, the devices behind them, and the "default" and "settings" metadata. Filled and read on
// the loop thread or under the loop's lock only, so it needs no lock of its own. Every name in it
// came from another program and is treated as untrusted text.
class GraphMirror {
  public:
    GraphMirror(pw_thread_loop* loop, DefaultsEvents& events) : loop_(loop), events_(events) {}
    GraphMirror(const GraphMirror&) = delete;
    GraphMirror& operator=(const GraphMirror&) = delete;

    // ---- Registry and object events (loop thread, lock held) ----
    void onGlobal(pw_registry* registry, std::uint32_t id, const char* type, const spa_dict* props);
    void onGlobalRemoved(std::uint32_t id);
    void onNodeInfo(Node& node, const pw_node_info* info);
    void onNodeParam(Node& node, const spa_pod* param);
    void onDeviceInfo(Device& device, const pw_device_info* info);
    void onMetadata(bool defaults, const char* key, const char* value);
    void onPortLatency(Port& port, const spa_pod* param);
    // Forgets everything the registry announced and drops the proxies bound from it: when the
    // connection has died or is about to close.
    void clear();
    // Binds the "default" object afresh, which has the daemon tell it all over again (see
    // GraphConnection::onDefaultsWatch for why that can be needed).
    void rereadDefaults(pw_registry* registry);

    // ---- Lookups (lock held) ----
    // A device node by id; the program's own nodes are not devices.
    Node* node(std::uint32_t id);
    Node* nodeByName(const std::string& name);  // by UID
    Node* nodeByGraphName(const std::string& graphName);
    // Every audio node, the program's own included, by id.
    const std::map<std::uint32_t, std::unique_ptr<Node>>& nodes() const { return nodes_; }
    // The device nodes in the order the registry announced them.
    std::vector<std::uint32_t> deviceNodes() const;
    const std::map<std::uint32_t, Port>& ports() const { return ports_; }
    std::vector<const Port*> portsOf(std::uint32_t node, bool output, bool monitor = false) const;
    // A device's channels: a sink's playback ports, a source's capture ports.
    std::vector<const Port*> devicePorts(std::uint32_t node, bool capture) const;
    // The rate the graph runs at: what a callback of ours last saw it run at, else what its
    // settings ask for (a forced rate before the configured one). The settings alone do not
    // tell: a forced rate that is withdrawn leaves the graph where it was until it idles.
    double rate() const;
    // Data thread, every cycle of a callback of ours: the rate that cycle ran at.
    void sawRateRt(std::uint32_t rate) {
        if (rate > 0 && seenRate_.load(std::memory_order_relaxed) != rate)
            seenRate_.store(rate, std::memory_order_relaxed);
    }
    // The latency a sink reports for its playback ports (the largest), in frames at the graph's
    // rate; none before any port has said.
    std::optional<double> sinkLatencyFrames(std::uint32_t node) const;
    // How the node's link carries the sound now: each of the node's own words, else its device's.
    Link linkOf(const Node& node) const;
    const std::string& version() const { return version_; }
    // The node.name the "default" object names; empty while it names none.
    const std::string& defaultNode(bool output) const {
        return output ? defaultSink_ : defaultSource_;
    }
    bool hasDefaultsObject() const { return defaults_ != nullptr; }
    // The node.name the user's (or a program's) choice names, which the session manager follows
    // while that node exists; empty while there is none.
    const std::string& configuredNode(bool output) const {
        return output ? configuredSink_ : configuredSource_;
    }
    // Withdraws the configured choice, so that the session manager chooses by itself.
    void forgetConfiguredDefault(bool output);
    // Names `name` the configured default output or input; unsupported while there is no
    // "default" object or the name cannot be written there.
    OSStatus writeDefault(bool output, const std::string& name);

  private:
    void addNode(pw_registry* registry, std::uint32_t id, const std::string& mediaClass,
                 const spa_dict* props);
    void bindMetadata(pw_registry* registry, std::uint32_t id, bool defaults);
    void dropMetadata(bool defaults);

    pw_thread_loop* loop_;
    DefaultsEvents& events_;
    std::map<std::uint32_t, std::unique_ptr<Node>> nodes_;
    std::vector<std::uint32_t> nodeOrder_;
    std::map<std::uint32_t, Port> ports_;
    std::map<std::uint32_t, Device> devices_;  // by id
    pw_proxy* defaults_ = nullptr;             // the "default" metadata
    pw_proxy* settings_ = nullptr;             // the "settings" metadata
    std::uint32_t defaultsID_ = SPA_ID_INVALID, settingsID_ = SPA_ID_INVALID;
    spa_hook defaultsListener_{}, settingsListener_{};
    std::string defaultSink_, defaultSource_;
    std::string configuredSink_, configuredSource_;
    double clockRate_ = 48000, forcedRate_ = 0;
    // 0 until a callback saw a cycle, and again whenever the rate settings change, so that a new
    // setting counts until the graph is seen to run at some rate.
    std::atomic<std::uint32_t> seenRate_{0};
    double clockQuantum_ = 1024, forcedQuantum_ = 0;
    std::string version_;
};

}  // namespace housetone::pw
