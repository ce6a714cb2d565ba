#include "graph_session.h"

#include <spa/utils/result.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace housetone::room {

namespace {

void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
              const spa_dict* props) {
    auto& s = *static_cast<GraphSession*>(data);
    const auto get = [props](const char* key) {
        const char* v = props ? spa_dict_lookup(props, key) : nullptr;
        return std::string(v ? v : "");
    };
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        s.nodes[id] = get(PW_KEY_NODE_NAME);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        s.ports[id] = {
            static_cast<std::uint32_t>(std::strtoul(get(PW_KEY_NODE_ID).c_str(), nullptr, 10)),
            get(PW_KEY_PORT_NAME), get(PW_KEY_PORT_DIRECTION) == "out",
            get(PW_KEY_PORT_MONITOR) == "true"};
    }
    pw_thread_loop_signal(s.loop, false);
}

void onGlobalRemove(void* data, std::uint32_t id) {
    auto& s = *static_cast<GraphSession*>(data);
    s.nodes.erase(id);
    s.ports.erase(id);
    pw_thread_loop_signal(s.loop, false);
}

const pw_registry_events registryEvents = {
    .version = PW_VERSION_REGISTRY_EVENTS, .global = onGlobal, .global_remove = onGlobalRemove};

void onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
    auto& s = *static_cast<GraphSession*>(data);
    if (id == PW_ID_CORE && res == -EPIPE)
        s.fail("the PipeWire daemon went away");
    else
        s.fail(std::string("the daemon refused a request: ") + (message ? message : "") + " (" +
               spa_strerror(res) + ")");
}

void onCoreDone(void* data, std::uint32_t id, int seq) {
    auto& s = *static_cast<GraphSession*>(data);
    if (id == PW_ID_CORE) s.doneSeq = seq;
    pw_thread_loop_signal(s.loop, false);
}

const pw_core_events coreEvents = {
    .version = PW_VERSION_CORE_EVENTS, .done = onCoreDone, .error = onCoreError};

}  // namespace

bool GraphSession::startLoop(const char* name) {
    loop = pw_thread_loop_new(name, nullptr);
    // A filter's data thread without realtime priority is late for its graph's cycle whenever the
    // machine is busy: the graph then skips the nodes that wait on it, and a network sender among
    // them sends a cycle less, which its receiver takes as the network path moving.
    // client-rt.conf loads the realtime module, as the program's own connection does.
    if (loop)
        context =
            pw_context_new(pw_thread_loop_get_loop(loop),
                           pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (context && pw_thread_loop_start(loop) >= 0) return true;
    if (context) pw_context_destroy(context);
    if (loop) pw_thread_loop_destroy(loop);
    context = nullptr;
    loop = nullptr;
    return false;
}

bool GraphSession::makeFilter(const std::string& nodeName, const char* category,
                              const pw_filter_events& events, void* data) {
    filter = pw_filter_new(
        core, nodeName.c_str(),
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, category,
                          PW_KEY_MEDIA_ROLE, "DSP", PW_KEY_NODE_NAME, nodeName.c_str(),
                          PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr));
    if (!filter) return false;
    pw_filter_add_listener(filter, &filterListener, &events, data);
    return true;
}

void* GraphSession::addPort(pw_direction direction, const std::string& name) {
    return pw_filter_add_port(filter, direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                              pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                PW_KEY_PORT_NAME, name.c_str(), nullptr),
                              nullptr, 0);
}

void GraphSession::fail(std::string what) {
    if (failure.empty()) failure = who.empty() ? std::move(what) : who + ": " + what;
    pw_thread_loop_signal(loop, false);
}

bool GraphSession::connect(const std::string& remote) {
    core = pw_context_connect(
        context,
        remote.empty() ? nullptr : pw_properties_new(PW_KEY_REMOTE_NAME, remote.c_str(), nullptr),
        0);
    if (!core) {
        fail("cannot connect to " + (remote.empty() ? std::string("PipeWire") : remote) + ": " +
             std::strerror(errno));
        return false;
    }
    pw_core_add_listener(core, &coreListener, &coreEvents, this);
    registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry, &registryListener, &registryEvents, this);
    return true;
}

bool GraphSession::waitFor(double seconds, const std::function<bool()>& ready) {
    timespec deadline{};
    pw_thread_loop_get_time(loop, &deadline, static_cast<std::int64_t>(seconds * 1e9));
    while (!ready()) {
        if (!failure.empty()) return false;
        if (pw_thread_loop_timed_wait_full(loop, &deadline) != 0) return ready();
    }
    return true;
}

pw_proxy* GraphSession::link(std::uint32_t outPort, std::uint32_t inPort) {
    pw_properties* props = pw_properties_new(PW_KEY_OBJECT_LINGER, "false", nullptr);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", outPort);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", inPort);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", ports[outPort].node);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", ports[inPort].node);
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
        core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    return proxy;
}

void GraphSession::unlink(std::vector<pw_proxy*>& links) {
    const bool any = std::any_of(links.begin(), links.end(), [](pw_proxy* l) { return l; });
    for (pw_proxy* l : links)
        if (l) pw_proxy_destroy(l);
    links.clear();
    if (!any || !core) return;
    // The daemon answers in order: once it answers this, it has removed the links.
    syncSeq = pw_core_sync(core, PW_ID_CORE, syncSeq);
    const int want = syncSeq;
    waitFor(1, [&] { return doneSeq == want; });
}

void GraphSession::disconnect() {
    if (filter) {
        spa_hook_remove(&filterListener);
        pw_filter_destroy(filter);
        filter = nullptr;
    }
    if (registry) {
        spa_hook_remove(&registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        registry = nullptr;
    }
    if (core) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
        core = nullptr;
    }
}

void GraphSession::endLoop() {
    pw_thread_loop_stop(loop);
    if (context) pw_context_destroy(context);
    pw_thread_loop_destroy(loop);
    context = nullptr;
    loop = nullptr;
}

}  // namespace housetone::room
