#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>

namespace housetone::sim {

// Program material the system plays: deterministic by its seed, stereo, and scaled so that its
// RMS while it sounds (leaving its pauses and gaps out) is a given level in dBFS.
class Material {
  public:
    virtual ~Material() = default;
    // Fills `frames` interleaved stereo frames, on from where the last call ended.
    virtual void render(float* stereo, int frames) = 0;
};

// The built-in material a room names: "music", "speech", "tonal" or "gaps"; nullptr for any other
// name.
std::unique_ptr<Material> makeMaterial(const std::string& name, double rate, std::uint64_t seed,
                                       double levelDb);

// A deterministic stand-in for music: a soft chord with a slow swell, a bass line, a kick on every
// beat, a hi-hat and a snare, and a short noise tick on the off-beats, so there are clear
// transients to hear and to measure and sound across the whole band.
// Scaled so that its long-run RMS is `levelDb` dBFS.
class MusicSource final : public Material {
  public:
    MusicSource(double rate, std::uint64_t seed, double levelDb);
    void render(float* stereo, int frames) override;

  private:
    float next(float& right);

    double rate_;
    std::int64_t n_ = 0;
    std::mt19937 rng_;
    double scale_ = 1;
    double hiss_ = 0;  // the drums' noise, gently low-passed
};

}  // namespace housetone::sim
