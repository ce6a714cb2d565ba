#pragma once

#include <optional>
#include <string>
#include <variant>

#include "audio/audio_backend.h"
#include "audio/sim/room.h"

namespace housetone::sim {

// The simulated room as a program runs it, at `speed` times real time. With `recordTo`, what the
// listening position hears is written there until the run finishes. The one line saying why it
// cannot run otherwise.
std::variant<AudioBackend, std::string> startSimulatedRoom(
    RoomSpec room, double speed, const std::optional<std::string>& recordTo);

}  // namespace housetone::sim
