// The services beside the hardware layer: the world's clock, the microphone permission and the
// click player.
#include <chrono>
#include <cmath>
#include <thread>

#include "audio/sim/sim_state.h"

namespace housetone::sim {

class SimMicPermission final : public MicPermission {
  public:
    explicit SimMicPermission(SimHardware& s) : s_(s) {}
    MicAuthorization status() const override {
        std::lock_guard lock(s_.mutex_);
        switch (s_.impl_->micState) {
            case MicPermissionState::notDetermined:
                return MicAuthorization::notDetermined;
            case MicPermissionState::restricted:
                return MicAuthorization::restricted;
            case MicPermissionState::denied:
                return MicAuthorization::denied;
            case MicPermissionState::authorized:
                return MicAuthorization::authorized;
        }
        return MicAuthorization::denied;
    }
    void request(std::function<void(bool)> answer) override {
        bool granted;
        {
            std::lock_guard lock(s_.mutex_);
            auto& st = s_.impl_->micState;
            if (st == MicPermissionState::notDetermined)
                st = s_.room_.microphoneRequestAnswer ? MicPermissionState::authorized
                                                      : MicPermissionState::denied;
            granted = st == MicPermissionState::authorized;
        }
        if (answer) answer(granted);
    }

  private:
    SimHardware& s_;
};

// Plays a sound file once into the system mix, as a separate client program would.
class SimPlayer final : public Player {
  public:
    explicit SimPlayer(SimHardware& s) : s_(s) {}
    bool play(const std::string& path) override {
        const auto wav = readWav(path);
        auto stereo = wav ? stereoAt(*wav, s_.room_.sampleRate) : std::nullopt;
        if (!stereo) return false;
        auto item = std::make_shared<PlayItem>();
        item->stereo = std::move(stereo->samples);
        {
            std::lock_guard lock(s_.mutex_);
            s_.impl_->plays.push_back(item);
        }
        std::unique_lock lock(s_.frameMutex_);
        s_.frameCv_.wait(lock, [&] {
            std::lock_guard inner(s_.mutex_);
            return item->finished;
        });
        return true;
    }
    void terminate() override {
        {
            std::lock_guard lock(s_.mutex_);
            for (auto& p : s_.impl_->plays)
                p->finished = true;
            s_.impl_->plays.clear();
        }
        std::lock_guard lock(s_.frameMutex_);
        s_.frameCv_.notify_all();
    }

  private:
    SimHardware& s_;
};

std::unique_ptr<MicPermission> makeMicPermission(SimHardware& system) {
    return std::make_unique<SimMicPermission>(system);
}

std::unique_ptr<Player> makePlayer(SimHardware& system) {
    return std::make_unique<SimPlayer>(system);
}

// ---------------------------------------------------------------------------------------------

double SimClock::now() const {
    return static_cast<double>(system_.frame()) / system_.sampleRate();
}

void SimClock::sleepFor(double seconds) {
    if (seconds <= 0) return;
    const auto target =
        system_.frame() + static_cast<std::int64_t>(std::ceil(seconds * system_.sampleRate()));
    if (!system_.worldRunning_.load()) {
        std::this_thread::sleep_for(std::chrono::duration<double>(realSecondsFor(seconds)));
        return;
    }
    system_.waitForFrame(target);
}

double SimClock::realSecondsFor(double seconds) const {
    return system_.speed_ > 0 ? seconds / system_.speed_ : seconds / 1000.0;
}

}  // namespace housetone::sim
