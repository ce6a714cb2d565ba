#pragma once

// The choice of audio backend, made once at the program's entry. Everything above the entry sees
// only the AudioHardware seam and the services that come with it (audio/audio_backend.h).

#include <optional>
#include <string>
#include <variant>

#include "audio/audio_backend.h"
#include "audio/sim/room.h"
#include "ui/vuzededudoz/launch_options.h"

namespace housetone::ui {

enum class BackendKind { sim, pipewire };

// What the options ask of the backend, read and checked before Qt opens a display so that a
// mistake is reported the same way on a machine without one.
struct BackendPlan {
    BackendKind kind = BackendKind::sim;
    std::optional<sim::RoomSpec> room;  // the room to simulate; only for the simulator
    std::string notice;                 // a line worth saying before the run, or empty
};

// The plan, or the one line that refuses the options. The room file is read only when the
// simulator is the choice.
std::variant<BackendPlan, std::string> planBackend(const LaunchOptions& options);

// The simulated room the options name (--sim-room, else the built-in one), or the one line that
// refuses its file.
std::variant<sim::RoomSpec, std::string> roomFromOptions(const LaunchOptions& options);

// When the program was started as a helper of an audio backend (PipeWire's default-output keeper)
// rather than as itself: that helper's exit status; otherwise none, and the program runs.
std::optional<int> runBackendHelper(int argc, char** argv);

// Starts the planned backend through its factory, or gives the one line saying why it cannot run.
std::variant<AudioBackend, std::string> makeBackend(BackendPlan plan, const LaunchOptions& options);

}  // namespace housetone::ui
