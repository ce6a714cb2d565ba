// One connection of the room probe's tools to a PipeWire graph: what its registry announces and
// the first failure the daemon or a filter reported.
#pragma once

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace housetone::room {

struct GraphPort {
    std::uint32_t node = 0;
    std::string name;
    bool output = false;
    bool monitor = false;
};

struct GraphSession {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_filter* filter = nullptr;
    spa_hook coreListener{}, registryListener{}, filterListener{};

    // Loop thread, or under the loop's lock.
    std::map<std::uint32_t, std::string> nodes;  // node.name by id
    std::map<std::uint32_t, GraphPort> ports;
    std::string failure;  // the first only
    std::string who;      // which graph failures are said of; empty when there is one
    // The last round trip asked of the daemon, and the last it answered.
    int syncSeq = 0, doneSeq = -1;

    // Makes the loop (named `name`) and its context and starts it; false, with nothing left, when
    // any of that fails.
    bool startLoop(const char* name);
    // With the loop's lock held: makes the filter `nodeName` (media category Capture, Playback or
    // Duplex), whose events go to `data`; false when it cannot be made.
    bool makeFilter(const std::string& nodeName, const char* category,
                    const pw_filter_events& events, void* data);
    // A mono DSP port of the filter called `name`; null when it cannot be added.
    void* addPort(pw_direction direction, const std::string& name);
    // Keeps the first failure and wakes whoever waits on the loop.
    void fail(std::string what);
    // Connects to `remote` (the default one when empty) and follows the core and the registry;
    // false with the reason in `failure`.
    bool connect(const std::string& remote = {});
    // With the loop's lock held, until `ready`, a failure or `seconds` pass: whether it is ready.
    bool waitFor(double seconds, const std::function<bool()>& ready);
    // With the loop's lock held: a link from one port to another, gone when this client goes.
    pw_proxy* link(std::uint32_t outPort, std::uint32_t inPort);
    // With the loop's lock held: removes `links` and waits (a second at most) until the daemon has
    // taken them out of the graph, so that this session's filter may stop. One that stops first
    // leaves each node it fed waiting for it to the end of a cycle: a network sender among them
    // sends a cycle less, and the far speaker plays a cycle early until its rate control pulls
    // it back.
    void unlink(std::vector<pw_proxy*>& links);
    // With the loop's lock held: the filter, the registry and the core, with their listeners.
    void disconnect();
    // With the lock released: stops the loop and frees it and the context.
    void endLoop();
};

// A filter's state listener for a tool's own session type `S` (a GraphSession): an error is its
// failure, said as `what` and the filter's words.
template <class S>
void onFilterState(void* data, pw_filter_state, pw_filter_state state, const char* error) {
    auto& s = *static_cast<S*>(data);
    if (state == PW_FILTER_STATE_ERROR)
        s.fail(std::string(S::filterName) + " failed: " + (error ? error : ""));
    pw_thread_loop_signal(s.loop, false);
}

}  // namespace housetone::room
