#pragma once

#include <pipewire/stream.h>
#include <pipewire/thread-loop.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/mic_permission.h"
#include "platform/player.h"

namespace housetone::pw {

class PipeWireHardware;

// Plays a sound file as any program does: a stream to the default output, so while the system
// tap runs the engine hears it like everything else.
class PipeWirePlayer final : public Player {
  public:
    explicit PipeWirePlayer(PipeWireHardware& hw) : hw_(hw) {}
    bool play(const std::string& path) override;
    void terminate() override;

    // One play in progress; touched only on the event thread or under its lock.
    struct Playing {
        pw_thread_loop* loop = nullptr;
        pw_stream* stream = nullptr;
        std::vector<float> samples;  // interleaved
        std::uint32_t channels = 1;
        std::size_t pos = 0;
        bool draining = false, done = false;
    };

  private:
    PipeWireHardware& hw_;
    std::atomic<bool> terminate_{false};
};

// The desktop grants programs its microphones; PipeWire asks nobody.
class GrantedMicPermission final : public MicPermission {
  public:
    MicAuthorization status() const override { return MicAuthorization::authorized; }
    void request(std::function<void(bool granted)> answer) override { answer(true); }
};

}  // namespace housetone::pw
