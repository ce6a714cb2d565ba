#include "ui/vuzededudoz/backend.h"

#include <utility>

#include "audio/sim/sim_backend.h"
#ifdef HOUSETONE_HAVE_PIPEWIRE
#include "audio/pipewire/pipewire_backend.h"
#include "audio/pipewire/pw_default_keeper.h"
#endif

namespace housetone::ui {

std::variant<sim::RoomSpec, std::string> roomFromOptions(const LaunchOptions& options) {
    try {
        return options.simRoom ? sim::loadRoomFile(*options.simRoom) : sim::defaultRoom();
    } catch (const sim::RoomError& e) {
        return std::string(e.what());
    }
}

std::optional<int> runBackendHelper(int argc, char** argv) {
#ifdef HOUSETONE_HAVE_PIPEWIRE
    if (argc == 2 && std::string_view(argv[1]) == pw::keeperOption) return pw::runDefaultKeeper(3);
#else
    (void)argc, (void)argv;
#endif
    return std::nullopt;
}

std::variant<BackendPlan, std::string> planBackend(const LaunchOptions& options) {
#ifdef HOUSETONE_HAVE_PIPEWIRE
    // A --sim-... option asks for the room, so "auto" does not go looking for a daemon then.
    // Asked for both, PipeWire wins; the room options are not read, but not dropped unsaid.
    if (options.backend == Backend::pipewire)
        return BackendPlan{.kind = BackendKind::pipewire,
                           .notice = options.simOptionGiven
                                         ? "ignoring the --sim-... options: they set up the "
                                           "simulated room, and the backend is PipeWire"
                                         : ""};
    if (options.backend == Backend::automatic && !options.simOptionGiven &&
        pw::pipeWireAnswers(1.0))
        return BackendPlan{.kind = BackendKind::pipewire};
#else
    if (options.backend == Backend::pipewire)
        return std::string("this build has no PipeWire backend (libpipewire-0.3 was not found)");
#endif
    auto room = roomFromOptions(options);
    if (auto* refusal = std::get_if<std::string>(&room)) return std::move(*refusal);
    return BackendPlan{.kind = BackendKind::sim, .room = std::get<sim::RoomSpec>(std::move(room))};
}

std::variant<AudioBackend, std::string> makeBackend(BackendPlan plan,
                                                    const LaunchOptions& options) {
    switch (plan.kind) {
        case BackendKind::sim:
            if (!plan.room) break;
            return sim::startSimulatedRoom(std::move(*plan.room), options.simSpeed,
                                           options.simRecord);
        case BackendKind::pipewire: {
#ifdef HOUSETONE_HAVE_PIPEWIRE
            std::string error;
            if (auto backend = pw::connectPipeWire(&error)) return std::move(*backend);
            return error;
#else
            break;
#endif
        }
    }
    return std::string("no such backend");
}

}  // namespace housetone::ui
