#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "audio/sim/music_source.h"
#include "audio/sim/room.h"
#include "audio/sound_file.h"

namespace housetone::sim {

// A test-supplied system audio source: fill `frames` interleaved stereo frames starting at world
// frame `frame`. Runs on the hardware thread.
using SourceFn = std::function<void(std::int64_t frame, float* stereo, int frames)>;

// The sound the system's own programs play: a test's source when one is set, else what the room
// names (a built-in material such as the music, a looped sound file, or silence).
// Thread-safety: none of its own; every call is made with the world's mutex held.
class SystemSound {
  public:
    // A sound file that cannot be read plays silence.
    explicit SystemSound(const RoomSpec& room);
    // Replaces the room's sound with a test's own; nullptr restores the room's.
    void setTestSource(SourceFn source);
    // Fills `frames` interleaved stereo frames starting at world frame `frame`.
    void render(std::int64_t frame, float* stereo, int frames);

  private:
    std::unique_ptr<Material> material_;
    std::optional<WavData> loop_;  // stereo at the world rate
    std::size_t loopPos_ = 0;
    SourceFn testSource_;
};

}  // namespace housetone::sim
