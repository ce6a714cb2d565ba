#pragma once

namespace housetone {

// True on a thread while it runs a realtime audio callback. An audio backend sets it around
// every I/O callback so that a debugging or test allocation hook can flag allocations there.
inline thread_local bool inRealtimeCallback = false;

// Sets the flag for a scope; audio backends wrap each callback invocation in one.
class RealtimeScope {
  public:
    RealtimeScope() : previous_(inRealtimeCallback) { inRealtimeCallback = true; }
    ~RealtimeScope() { inRealtimeCallback = previous_; }
    RealtimeScope(const RealtimeScope&) = delete;
    RealtimeScope& operator=(const RealtimeScope&) = delete;

  private:
    bool previous_;
};

}  // namespace housetone
