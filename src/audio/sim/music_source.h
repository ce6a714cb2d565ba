#pragma once

#include <cstdint>
#include <random>

namespace housetone::sim {

// A deterministic stand-in for music: a soft chord with a slow swell, a kick on every beat and a
// short noise tick on the off-beats, so there are clear transients to hear and to measure.
// Scaled so that its long-run RMS is `levelDb` dBFS.
class MusicSource {
  public:
    MusicSource(double rate, std::uint64_t seed, double levelDb);
    // Fills `frames` interleaved stereo frames.
    void render(float* stereo, int frames);

  private:
    float next(float& right);

    double rate_;
    std::int64_t n_ = 0;
    std::mt19937 rng_;
    double scale_ = 1;
};

}  // namespace housetone::sim
