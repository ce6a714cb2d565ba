#include "audio/pipewire/pw_public_aggregate.h"

#include <pipewire/pipewire.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "audio/pipewire/combine_host.h"

namespace housetone::pw {

namespace {

// How long the sink and the links into every member may take to appear, s. They take a few
// hundred ms; the bound is for a member the session manager never links (one it cannot play to).
constexpr double linkedWithin = 5.0;
// How long a stopped host's sink may take to leave the graph, s.
constexpr double goneWithin = 3.0;

// What the registry announces while a host starts: who made each new node, and each new link.
struct HostWatch {
    pw_thread_loop* loop = nullptr;
    spa_hook listener{}, registryListener{};
    bool detached = false;  // the registry went away meanwhile (the connection was torn down)
    std::map<std::uint32_t, std::uint32_t> nodeClient;                       // node -> client
    std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> links;  // -> (out, in) node
};

std::optional<std::uint32_t> idProp(const spa_dict* props, const char* key) {
    const char* v = props ? spa_dict_lookup(props, key) : nullptr;
    if (!v || !*v) return std::nullopt;
    char* end = nullptr;
    const unsigned long id = std::strtoul(v, &end, 10);
    if (*end || id >= SPA_ID_INVALID) return std::nullopt;
    return static_cast<std::uint32_t>(id);
}

void onWatchGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                   const spa_dict* props) {
    auto& w = *static_cast<HostWatch*>(data);
    if (spa_streq(type, PW_TYPE_INTERFACE_Node)) {
        if (const auto client = idProp(props, PW_KEY_CLIENT_ID)) w.nodeClient[id] = *client;
    } else if (spa_streq(type, PW_TYPE_INTERFACE_Link)) {
        const auto out = idProp(props, PW_KEY_LINK_OUTPUT_NODE);
        const auto in = idProp(props, PW_KEY_LINK_INPUT_NODE);
        if (out && in) w.links[id] = {*out, *in};
    }
    pw_thread_loop_signal(w.loop, false);
}

void onWatchRemove(void* data, std::uint32_t id) {
    auto& w = *static_cast<HostWatch*>(data);
    w.nodeClient.erase(id);
    w.links.erase(id);
    pw_thread_loop_signal(w.loop, false);
}

const pw_registry_events watchEvents = {
    .version = PW_VERSION_REGISTRY_EVENTS, .global = onWatchGlobal, .global_remove = onWatchRemove};

void unwatch(HostWatch& w) {
    if (w.detached) return;
    spa_hook_remove(&w.listener);
    spa_hook_remove(&w.registryListener);
    w.detached = true;
}

// A registry that goes away frees its list of listeners with it: the watch leaves it first.
void onWatchedRegistryDestroy(void* data) {
    auto& w = *static_cast<HostWatch*>(data);
    unwatch(w);
    pw_thread_loop_signal(w.loop, false);
}

const pw_proxy_events watchedRegistryEvents = {.version = PW_VERSION_PROXY_EVENTS,
                                               .destroy = onWatchedRegistryDestroy};

// Which speakers the host's streams play into, and whether any plays into something else.
struct Fed {
    std::set<std::uint32_t> members;
    bool stranger = false;
};

Fed fedBy(const HostWatch& w, std::uint32_t sink, const std::set<std::uint32_t>& members) {
    Fed fed;
    const auto owner = w.nodeClient.find(sink);
    if (owner == w.nodeClient.end()) return fed;
    for (const auto& [link, ends] : w.links) {
        const auto from = w.nodeClient.find(ends.first);
        if (ends.first == sink || from == w.nodeClient.end() || from->second != owner->second)
            continue;
        if (members.count(ends.second))
            fed.members.insert(ends.second);
        else
            fed.stranger = true;
    }
    return fed;
}

}  // namespace

OSStatus createPublicAggregate(GraphConnection& conn, const AggregateDescription& d,
                               const std::function<bool(const std::string&)>& heldByUs,
                               AudioObjectID& out) {
    using Locked = GraphConnection::Locked;
    GraphMirror& graph = conn.mirror();
    CombineSink sink;
    sink.nodeName = d.uid;
    sink.description = d.name;
    std::set<std::uint32_t> members;
    HostWatch watch{.loop = conn.loop()};
    {
        Locked lock(conn);
        if (conn.gone()) return serverGone;
        if (d.uid.empty() || d.subdevices.empty() || graph.nodeByName(d.uid))
            return status::illegalOperation;
        if (heldByUs(d.uid)) return status::illegalOperation;
        // Stacked is what it does anyway: every member plays the whole mix.
        for (const auto& sd : d.subdevices) {
            const Node* n = graph.nodeByName(sd.uid);
            // A member that is gone, or is no speaker, could never be fed.
            if (!n || graph.devicePorts(n->id, false).empty()) return status::badDevice;
            if (!members.insert(n->id).second) continue;
            std::size_t sameName = 0;
            for (const auto& [id, other] : graph.nodes())
                sameName += other->graphName == n->graphName;
            sink.members.push_back({.nodeName = n->graphName,
                                    .serial = n->serial,
                                    .mediaClass = n->mediaClass,
                                    .followByName = sameName == 1});
        }
        // From here on every node and link the registry announces is new: the host's among them.
        pw_registry_add_listener(conn.registry(), &watch.listener, &watchEvents, &watch);
        pw_proxy_add_listener(reinterpret_cast<pw_proxy*>(conn.registry()), &watch.registryListener,
                              &watchedRegistryEvents, &watch);
    }

    // Stopping the old host and starting the new one wait on processes; every other call the
    // program makes meanwhile needs the lock.
    const CombineHostResult host = startCombineHost(sink);
    {
        Locked lock(conn);
        bool linked = false;
        if (host.pid) {
            linked = conn.waitFor(linkedWithin, [&] {
                if (watch.detached) return true;
                const Node* n = graph.nodeByName(d.uid);
                if (!n || graph.devicePorts(n->id, false).empty()) return false;
                const Fed fed = fedBy(watch, n->id, members);
                return fed.stranger || fed.members == members;
            });
            if (linked) {
                const Node* n = graph.nodeByName(d.uid);
                linked = !watch.detached && n && !fedBy(watch, n->id, members).stranger;
                if (linked) out = n->id;
            }
        }
        unwatch(watch);
        if (linked) return noErr;
        if (!host.pid) return conn.gone() ? serverGone : status::illegalOperation;
    }
    // A sink that plays to fewer speakers than asked, or to others, is not the device asked for:
    // it goes again rather than be reported made.
    destroyPublicAggregate(conn, d.uid);
    Locked lock(conn);
    return conn.gone() ? serverGone : status::badDevice;
}

OSStatus destroyPublicAggregate(GraphConnection& conn, const std::string& nodeName) {
    // Every host of ours goes, this run's or one an earlier run left.
    if (!stopCombineHost().empty()) return status::illegalOperation;
    GraphConnection::Locked lock(conn);
    conn.waitFor(goneWithin, [&] { return conn.mirror().nodeByName(nodeName) == nullptr; });
    return noErr;
}

}  // namespace housetone::pw
