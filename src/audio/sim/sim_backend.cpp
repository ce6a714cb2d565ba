#include "audio/sim/sim_backend.h"

#include <memory>
#include <utility>

#include "audio/sim/sim_audio_system.h"

namespace housetone::sim {

std::variant<AudioBackend, std::string> startSimulatedRoom(
    RoomSpec room, double speed, const std::optional<std::string>& recordTo) {
    auto sim = std::make_unique<SimAudioSystem>(std::move(room), SimOptions{.speed = speed});
    if (recordTo && !sim->recordListeningTo(*recordTo))
        return "cannot write the recording to \"" + *recordTo + "\"";
    AudioBackend backend{
        .player = &sim->player(), .micPermission = &sim->micPermission(), .name = "simulated room"};
    if (recordTo)
        backend.finish = [sim = sim.get(), path = *recordTo]() -> std::optional<std::string> {
            if (sim->stopRecording()) return std::nullopt;
            return "the recording \"" + path + "\" could not be written in full";
        };
    backend.hardware = std::move(sim);
    return backend;
}

}  // namespace housetone::sim
