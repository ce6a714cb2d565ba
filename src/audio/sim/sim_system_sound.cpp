#include "audio/sim/sim_system_sound.h"

#include <algorithm>
#include <utility>

namespace housetone::sim {

SystemSound::SystemSound(const RoomSpec& room) {
    material_ = makeMaterial(room.systemAudio, room.sampleRate, room.seed, room.systemAudioLevelDb);
    if (!material_ && room.systemAudio != "silence") {
        const auto wav = readWav(room.systemAudio);
        loop_ = wav ? stereoAt(*wav, room.sampleRate) : std::nullopt;
    }
}

void SystemSound::setTestSource(SourceFn source) {
    testSource_ = std::move(source);
}

void SystemSound::render(std::int64_t frame, float* stereo, int frames) {
    const auto nz = static_cast<std::size_t>(frames);
    std::fill(stereo, stereo + nz * 2, 0.f);
    if (testSource_) {
        testSource_(frame, stereo, frames);
    } else if (material_) {
        material_->render(stereo, frames);
    } else if (loop_) {
        const auto& s = loop_->samples;
        const std::size_t loopFrames = s.size() / 2;
        for (std::size_t f = 0; f < nz; ++f) {
            stereo[2 * f] = s[2 * loopPos_];
            stereo[2 * f + 1] = s[2 * loopPos_ + 1];
            loopPos_ = (loopPos_ + 1) % loopFrames;
        }
    }
}

}  // namespace housetone::sim
