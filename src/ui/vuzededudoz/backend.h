#pragma once

// The choice of audio backend, made once at the program's entry. Everything above the entry sees
// only the AudioHardware seam and the services that come with it.

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "audio/audio_hardware.h"
#include "audio/sim/room.h"
#include "platform/mic_permission.h"
#include "platform/player.h"
#include "ui/vuzededudoz/launch_options.h"

namespace housetone::ui {

// One running audio system with the click player and the microphone permission it provides.
class AudioBackend {
  public:
    virtual ~AudioBackend() = default;
    virtual AudioHardware& hardware() = 0;
    virtual Player& player() = 0;
    virtual MicPermission& micPermission() = 0;
    // What the user is told runs underneath: "PipeWire 0.3.65", "simulated room".
    virtual std::string name() = 0;
    // After the event loop has ended: what the run was asked to keep and could not, as one line.
    virtual std::optional<std::string> finish() { return std::nullopt; }
};

enum class BackendKind { sim, pipewire };

// What the options ask of the backend, read and checked before Qt opens a display so that a
// mistake is reported the same way on a machine without one.
struct BackendPlan {
    BackendKind kind = BackendKind::sim;
    sim::RoomSpec room;  // sim: the room to simulate
};

// The plan, or the one line that refuses the options.
std::variant<BackendPlan, std::string> planBackend(const LaunchOptions& options);

// Starts the planned backend, or gives the one line saying why it cannot run.
std::variant<std::unique_ptr<AudioBackend>, std::string> makeBackend(BackendPlan plan,
                                                                     const LaunchOptions& options);

}  // namespace housetone::ui
