#pragma once

// The simulator's world state, shared by the files that make it up; nothing outside audio/sim
// includes this.

#include <vector>

#include "audio/sim/sim_audio_system.h"
#include "audio/sim/sim_captures.h"
#include "audio/sim/sim_system_sound.h"

namespace housetone::sim {

struct SimHardware::Impl {
    explicit Impl(const RoomSpec& room) : systemSound(room) {}

    TapDelivery tapDelivery = TapDelivery::normal;

    SystemSound systemSound;

    // Per-buffer scratch.
    std::vector<float> musicBuf, playerBuf, normalMix, listening, prevListening;

    WorldCaptures captures;
};

}  // namespace housetone::sim
