#pragma once

#include <pipewire/pipewire.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "audio/pipewire/pw_graph_mirror.h"

namespace housetone::pw {

// What the owner of a connection does when the connection dies or comes back (loop thread, lock
// held).
class ConnectionClient {
  public:
    // The connection has died: every stream, filter and link made on it goes, with what points at
    // them; the program's own records stay.
    virtual void dropStreams() = 0;
    // A "default" object has named the default output for the first time: what the program owes
    // it (a tap that should be the default, an output to hand back) is written now.
    virtual void reassertDefault() = 0;

  protected:
    ~ConnectionClient() = default;
};

// One connection to the PipeWire daemon: the thread loop, the core, the registry and the mirror
// of the graph built from it, and the reconnection when the daemon goes away.
//
// Threads: the thread loop runs every event of the core, the registry, the nodes, the metadata and
// the program's streams (the player's stream too, which is not realtime), holding the loop's lock
// while it dispatches. Every other thread calls in under that lock (Locked); waitFor gives it up
// while it waits. Filters and the tap's stream made with RT_PROCESS run their process callback on
// PipeWire's data thread instead, which takes no lock.
class GraphConnection final : private DefaultsEvents {
  public:
    explicit GraphConnection(ConnectionClient& client);
    ~GraphConnection();
    GraphConnection(const GraphConnection&) = delete;
    GraphConnection& operator=(const GraphConnection&) = delete;

    // Starts the loop thread and connects; false with `error` set when no daemon answered in time.
    bool connect(double timeoutSeconds, std::string& error);
    // No more reconnection attempts: the owner is tearing down what it made (lock held).
    void stopRetrying();

    // Holds the thread loop's lock for a scope.
    struct Locked {
        explicit Locked(GraphConnection& c) : loop(c.loop_) { pw_thread_loop_lock(loop); }
        ~Locked() { pw_thread_loop_unlock(loop); }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;
        pw_thread_loop* loop;
    };
    void lock() { pw_thread_loop_lock(loop_); }
    void unlock() { pw_thread_loop_unlock(loop_); }

    // ---- Lock held ----
    pw_thread_loop* loop() { return loop_; }
    pw_core* core() { return core_; }
    pw_registry* registry() { return registry_; }
    GraphMirror& mirror() { return mirror_; }
    // True from the moment the daemon goes away until a new connection has mirrored the graph.
    bool gone() const { return gone_.load(std::memory_order_relaxed); }
    // How often the daemon came back after going away.
    std::uint32_t restarts() const { return restarts_; }
    // Waits until the daemon has answered everything asked so far.
    bool roundTrip(double timeoutSeconds = 2.0);
    // Waits until `ready` holds, the daemon is gone or the time is up; the lock is given up
    // while it waits.
    bool waitFor(double timeoutSeconds, const std::function<bool()>& ready);
    // Wakes every waitFor to look again.
    void signal() { pw_thread_loop_signal(loop_, false); }
    // "0.3.65": the daemon's version, else the library's (takes the lock).
    std::string serverVersion();

    // ---- Event handlers (loop thread, lock held) ----
    void onGlobal(std::uint32_t id, const char* type, const spa_dict* props);
    void onGlobalRemoved(std::uint32_t id);
    void onCoreDone(int seq);
    void onCoreError(std::uint32_t id, int res);
    void onRetryTimer();
    void onDefaultsWatch();

  private:
    void defaultsBound() override;
    void defaultsChanged() override;
    // A new core on the context, with the registry and their listeners.
    bool attach(std::string& error);
    // Drops every proxy, stream and filter of a connection that has died and the mirror built
    // from it.
    void detach();
    // The reconnection's next step, when what it waits for has come (loop thread).
    void advanceReconnect();
    void armRetry(std::int64_t milliseconds);
    void reassert();

    ConnectionClient& client_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    spa_hook coreListener_{}, registryListener_{};
    GraphMirror mirror_;
    int pendingSeq_ = -1, doneSeq_ = -1;
    std::atomic<bool> gone_{false};
    // The reconnection: a timer on the loop retries until a daemon answers, then the mirror is
    // filled in two round trips and the session manager is given a moment to name the defaults.
    enum class Stage { connected, down, firstSync, secondSync, settling };
    Stage stage_ = Stage::connected;
    bool coreDead_ = false;  // core_ belongs to a connection that has died
    spa_source* retry_ = nullptr;
    std::int64_t attachedAtNs_ = 0;  // CLOCK_MONOTONIC, when the current reconnection attached
    int waiters_ = 0;                // calls inside waitFor: their objects must not be torn down
    std::uint32_t restarts_ = 0;
    bool reassertPending_ = false;  // a new "default" object has not yet named the default output
    // While a new "default" object names no output: when it is read again, and in how long.
    spa_source* defaultsWatch_ = nullptr;
    std::int64_t rereadMs_ = 0;
};

}  // namespace housetone::pw
