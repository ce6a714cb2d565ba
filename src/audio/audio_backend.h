#pragma once

// What one running audio system hands the program: the hardware layer and the services that come
// with it. Each backend has one factory that returns this record (sim::startSimulatedRoom,
// pw::connectPipeWire); the program's entry picks the factory and nothing above it knows which ran.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "audio/audio_hardware.h"
#include "platform/mic_permission.h"
#include "platform/player.h"

namespace housetone {

struct AudioBackend {
    // Owns the player and the microphone permission below, which live exactly as long.
    std::unique_ptr<AudioHardware> hardware;
    Player* player = nullptr;
    MicPermission* micPermission = nullptr;
    // What the user is told runs underneath: "PipeWire 0.3.65", "simulated room".
    std::string name;
    // After the event loop has ended: what the run was asked to keep and could not, as one line.
    // Empty when the backend keeps nothing.
    std::function<std::optional<std::string>()> finish;
};

}  // namespace housetone
