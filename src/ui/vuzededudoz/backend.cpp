#include "ui/vuzededudoz/backend.h"

#include "audio/sim/sim_audio_system.h"
#ifdef HOUSETONE_HAVE_PIPEWIRE
#include "audio/pipewire/pipewire_backend.h"
#endif

namespace housetone::ui {

namespace {

class SimBackend final : public AudioBackend {
  public:
    SimBackend(sim::RoomSpec room, double speed) : hw_(std::move(room), {.speed = speed}) {}

    bool record(const std::string& path) {
        recording_ = path;
        return hw_.recordListeningTo(path);
    }

    AudioHardware& hardware() override { return hw_; }
    Player& player() override { return hw_.player(); }
    MicPermission& micPermission() override { return hw_.micPermission(); }
    std::string name() override { return "simulated room"; }
    std::optional<std::string> finish() override {
        if (hw_.stopRecording()) return std::nullopt;
        return "the recording \"" + recording_ + "\" could not be written in full";
    }

  private:
    sim::SimAudioSystem hw_;
    std::string recording_;
};

#ifdef HOUSETONE_HAVE_PIPEWIRE
class PipeWireBackend final : public AudioBackend {
  public:
    explicit PipeWireBackend(std::unique_ptr<pw::PipeWireAudio> hw) : hw_(std::move(hw)) {}
    AudioHardware& hardware() override { return *hw_; }
    Player& player() override { return hw_->player(); }
    MicPermission& micPermission() override { return hw_->micPermission(); }
    std::string name() override { return hw_->version(); }

  private:
    std::unique_ptr<pw::PipeWireAudio> hw_;
};
#endif

}  // namespace

std::variant<BackendPlan, std::string> planBackend(const LaunchOptions& options) {
    BackendPlan plan;
#ifdef HOUSETONE_HAVE_PIPEWIRE
    // A --sim-... option asks for the room, so "auto" does not go looking for a daemon then.
    if (options.backend == Backend::pipewire ||
        (options.backend == Backend::automatic && !options.simOptionGiven &&
         pw::pipeWireAnswers(1.0)))
        plan.kind = BackendKind::pipewire;
#else
    if (options.backend == Backend::pipewire)
        return std::string("this build has no PipeWire backend (libpipewire-0.3 was not found)");
#endif
    try {
        plan.room = options.simRoom ? sim::loadRoomFile(*options.simRoom) : sim::defaultRoom();
    } catch (const sim::RoomError& e) {
        return std::string(e.what());
    }
    return plan;
}

std::variant<std::unique_ptr<AudioBackend>, std::string> makeBackend(BackendPlan plan,
                                                                     const LaunchOptions& options) {
    switch (plan.kind) {
        case BackendKind::sim: {
            auto sim = std::make_unique<SimBackend>(std::move(plan.room), options.simSpeed);
            if (options.simRecord && !sim->record(*options.simRecord))
                return "cannot write the recording to \"" + *options.simRecord + "\"";
            return std::unique_ptr<AudioBackend>(std::move(sim));
        }
        case BackendKind::pipewire: {
#ifdef HOUSETONE_HAVE_PIPEWIRE
            std::string error;
            auto hw = pw::connectPipeWire(&error);
            if (!hw) return error;
            return std::unique_ptr<AudioBackend>(std::make_unique<PipeWireBackend>(std::move(hw)));
#else
            break;
#endif
        }
    }
    return std::string("no such backend");
}

}  // namespace housetone::ui
