#include "audio/pipewire/pw_graph_connection.h"

#include <spa/utils/result.h>

#include <cerrno>
#include <cstring>

namespace housetone::pw {

namespace {

// Reconnecting: how often a connection is tried while no daemon answers; how often a reconnection
// in progress looks at its clock; how long a new graph's session manager gets to name the default
// output before the program goes on without it; how long a daemon that accepted the connection
// may take to answer before it is taken for gone again.
constexpr std::int64_t retryMs = 200;
constexpr std::int64_t pollMs = 50;
constexpr std::int64_t settleNs = 3 * SPA_NSEC_PER_SEC;
constexpr std::int64_t answerNs = 10 * SPA_NSEC_PER_SEC;
// Reading a new "default" object again while it names no output: first after this long, then
// after twice as long each time, the last time no later than about 16 s after it appeared.
constexpr std::int64_t firstRereadMs = 250;
constexpr std::int64_t lastRereadMs = 8000;

std::int64_t monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * SPA_NSEC_PER_SEC + t.tv_nsec;
}

void onRegistryGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                      const spa_dict* props) {
    static_cast<GraphConnection*>(data)->onGlobal(id, type, props);
}
void onRegistryRemove(void* data, std::uint32_t id) {
    static_cast<GraphConnection*>(data)->onGlobalRemoved(id);
}
const pw_registry_events registryEvents = {.version = PW_VERSION_REGISTRY_EVENTS,
                                           .global = onRegistryGlobal,
                                           .global_remove = onRegistryRemove};

void onCoreInfo(void* data, const pw_core_info* info) {
    auto* hw = static_cast<GraphConnection*>(data);
    if (info && info->version) hw->mirror().onMetadata(false, "housetone.version", info->version);
}
void onCoreDoneEvent(void* data, std::uint32_t id, int seq) {
    if (id == PW_ID_CORE) static_cast<GraphConnection*>(data)->onCoreDone(seq);
}
void onCoreErrorEvent(void* data, std::uint32_t id, int, int res, const char*) {
    static_cast<GraphConnection*>(data)->onCoreError(id, res);
}
const pw_core_events coreEvents = {.version = PW_VERSION_CORE_EVENTS,
                                   .info = onCoreInfo,
                                   .done = onCoreDoneEvent,
                                   .error = onCoreErrorEvent};

void onRetryEvent(void* data, std::uint64_t) {
    static_cast<GraphConnection*>(data)->onRetryTimer();
}
void onDefaultsWatchEvent(void* data, std::uint64_t) {
    static_cast<GraphConnection*>(data)->onDefaultsWatch();
}

void armTimer(pw_thread_loop* loop, spa_source* timer, std::int64_t milliseconds) {
    if (!timer) return;
    timespec value{milliseconds / 1000, (milliseconds % 1000) * 1000000};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop), timer, &value, nullptr, false);
}

pw_thread_loop* newLoop() {
    pw_init(nullptr, nullptr);
    return pw_thread_loop_new("housetone-pw", nullptr);
}

}  // namespace

GraphConnection::GraphConnection(ConnectionClient& client)
    : client_(client), loop_(newLoop()), mirror_(loop_, *this) {}

GraphConnection::~GraphConnection() {
    if (!loop_) return;
    pw_thread_loop_lock(loop_);
    stopRetrying();
    mirror_.clear();
    if (registry_) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    if (core_) pw_core_disconnect(core_);
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    if (context_) pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
}

void GraphConnection::stopRetrying() {
    for (spa_source** timer : {&retry_, &defaultsWatch_}) {
        if (*timer) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), *timer);
        *timer = nullptr;
    }
}

bool GraphConnection::connect(double timeoutSeconds, std::string& error) {
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
    // Before the first global arrives: the "default" object among them is watched from the start.
    defaultsWatch_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), onDefaultsWatchEvent, this);
    if (!attach(error)) return false;
    // The first answer brings every global; the second, what binding the nodes asked for.
    if (!roundTrip(timeoutSeconds) || !roundTrip(timeoutSeconds)) {
        error = "PipeWire: the daemon did not answer within the time allowed";
        return false;
    }
    retry_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), onRetryEvent, this);
    return true;
}

bool GraphConnection::attach(std::string& error) {
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

void GraphConnection::armRetry(std::int64_t milliseconds) {
    armTimer(loop_, retry_, milliseconds);
}

void GraphConnection::onRetryTimer() {
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

void GraphConnection::advanceReconnect() {
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
    if ((!mirror_.hasDefaultsObject() || mirror_.defaultNode(true).empty()) &&
        monotonicNs() - attachedAtNs_ < settleNs)
        return;
    stage_ = Stage::connected;
    ++restarts_;
    gone_.store(false, std::memory_order_relaxed);
    if (mirror_.hasDefaultsObject() && !mirror_.defaultNode(true).empty()) reassert();
    pw_thread_loop_signal(loop_, false);
}

void GraphConnection::detach() {
    client_.dropStreams();
    mirror_.clear();
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

std::string GraphConnection::serverVersion() {
    Locked lock(*this);
    return mirror_.version().empty() ? pw_get_library_version() : mirror_.version();
}

bool GraphConnection::waitFor(double timeoutSeconds, const std::function<bool()>& ready) {
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

bool GraphConnection::roundTrip(double timeoutSeconds) {
    if (gone_.load(std::memory_order_relaxed) || !core_) return false;
    pendingSeq_ = pw_core_sync(core_, PW_ID_CORE, pendingSeq_);
    const int want = pendingSeq_;
    return waitFor(timeoutSeconds, [&] { return doneSeq_ == want; });
}

void GraphConnection::onCoreDone(int seq) {
    doneSeq_ = seq;
    if (stage_ != Stage::connected) advanceReconnect();
    pw_thread_loop_signal(loop_, false);
}

void GraphConnection::onCoreError(std::uint32_t id, int res) {
    if (id == PW_ID_CORE && (res == -EPIPE || res == -ECONNRESET)) {
        gone_.store(true, std::memory_order_relaxed);
        coreDead_ = true;
        stage_ = Stage::down;
        // Not from inside the dying core's own event: the timer tears it down a moment later.
        armRetry(1);
        pw_thread_loop_signal(loop_, false);
    }
}

void GraphConnection::onGlobal(std::uint32_t id, const char* type, const spa_dict* props) {
    mirror_.onGlobal(registry_, id, type, props);
}

void GraphConnection::onGlobalRemoved(std::uint32_t id) {
    mirror_.onGlobalRemoved(id);
}

void GraphConnection::defaultsBound() {
    reassertPending_ = true;
    rereadMs_ = firstRereadMs;
    armTimer(loop_, defaultsWatch_, rereadMs_);
}

// The daemon may keep a change of the "default" object from a client that follows it: while
// another client that has just bound the object is waiting for its copy of everything, a change
// the session manager makes goes to the waiting clients alone (PipeWire 0.3.65 and 1.4 alike).
// A new session manager chooses the default output just when every client binds its new object,
// so the choice can be lost to this one; nothing tells it so, and it would wait for it for good.
// Binding the object again has the daemon tell everything once more.
void GraphConnection::onDefaultsWatch() {
    if (coreDead_ || !registry_ || !mirror_.hasDefaultsObject() ||
        !mirror_.defaultNode(true).empty())
        return;
    mirror_.rereadDefaults(registry_);
    rereadMs_ *= 2;
    if (rereadMs_ <= lastRereadMs) armTimer(loop_, defaultsWatch_, rereadMs_);
}

void GraphConnection::defaultsChanged() {
    if (stage_ == Stage::settling) advanceReconnect();
    if (stage_ == Stage::connected && reassertPending_ && !mirror_.defaultNode(true).empty())
        reassert();
}

void GraphConnection::reassert() {
    reassertPending_ = false;
    client_.reassertDefault();
}

}  // namespace housetone::pw
