#include "ui/vuzededudoz/backend.h"

#include "audio/sim/sim_audio_system.h"

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
    std::optional<std::string> finish() override {
        if (hw_.stopRecording()) return std::nullopt;
        return "the recording \"" + recording_ + "\" could not be written in full";
    }

  private:
    sim::SimAudioSystem hw_;
    std::string recording_;
};

}  // namespace

std::variant<BackendPlan, std::string> planBackend(const LaunchOptions& options) {
    BackendPlan plan;
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
    }
    return std::string("no such backend");
}

}  // namespace housetone::ui
