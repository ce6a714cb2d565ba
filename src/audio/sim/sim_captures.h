#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "audio/sound_file.h"

namespace housetone::sim {

// What tests keep of the world as it renders: the listening position (mono) and the system mix
// (stereo interleaved), each from a world frame on for as many frames as asked, and a WAV
// recording of the listening position.
// Thread-safety: none of its own; every call is made with the world's mutex held. The recorder
// is handed in already open and handed back out, so opening and finishing its file happen
// outside that lock.
class WorldCaptures {
  public:
    // Starts keeping the next `frames` frames heard at the listening position, from world frame
    // `start` on; forgets what was kept before.
    void startListening(std::int64_t start, std::size_t frames);
    // The first world frame and the samples kept so far.
    std::pair<std::int64_t, std::vector<float>> listening() const;
    // The same for the system mix: `frames` stereo frames.
    void startSystemMix(std::int64_t start, std::size_t frames);
    std::pair<std::int64_t, std::vector<float>> systemMix() const;

    // Records every listening buffer fed from now on; replaces any recorder before.
    void setRecorder(std::unique_ptr<WavWriter> recorder);
    // Stops recording; nullptr when nothing was.
    std::unique_ptr<WavWriter> takeRecorder();

    // Once per buffer: what the client programs played (interleaved stereo) and what the
    // listening position heard, `frames` frames each.
    void feedSystemMix(const float* music, const float* player, std::size_t frames);
    void feedListening(const float* listening, std::size_t frames);

  private:
    std::int64_t listenStart_ = 0;
    std::size_t listenWanted_ = 0;
    std::vector<float> listen_;
    std::int64_t mixStart_ = 0;
    std::size_t mixWanted_ = 0;  // samples, two a frame
    std::vector<float> mix_;
    std::unique_ptr<WavWriter> recorder_;
};

}  // namespace housetone::sim
