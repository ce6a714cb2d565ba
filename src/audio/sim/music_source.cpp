#include "audio/sim/music_source.h"

#include <cmath>
#include <numbers>
#include <vector>

namespace housetone::sim {

namespace {
constexpr double beatSeconds = 0.5;  // 120 bpm
}

MusicSource::MusicSource(double rate, std::uint64_t seed, double levelDb)
    : rate_(rate), rng_(static_cast<std::uint32_t>(seed)) {
    // Measure the unscaled level over eight beats of a copy, then scale to the wanted RMS.
    MusicSource probe(*this);
    probe.scale_ = 1;
    const auto frames = static_cast<int>(rate * beatSeconds * 8);
    double sum = 0;
    for (int i = 0; i < frames; ++i) {
        float r;
        const float l = probe.next(r);
        sum += static_cast<double>(l) * l + static_cast<double>(r) * r;
    }
    const double rms = std::sqrt(sum / (2.0 * frames));
    scale_ = rms > 0 ? std::pow(10.0, levelDb / 20.0) / rms : 0;
}

float MusicSource::next(float& right) {
    const double t = static_cast<double>(n_) / rate_;
    const double beat = std::fmod(t, beatSeconds);
    const double twoPi = 2 * std::numbers::pi;
    // Chord, A minor-ish, with a four-beat swell.
    const double swell = 0.6 + 0.4 * std::sin(twoPi * t / (4 * beatSeconds));
    const double pad = swell *
                       (std::sin(twoPi * 220.0 * t) + 0.8 * std::sin(twoPi * 261.63 * t) +
                        0.6 * std::sin(twoPi * 329.63 * t)) /
                       2.4;
    // Kick: a falling 90 -> 50 Hz sine with an 80 ms decay at the start of every beat.
    const double kick =
        std::sin(twoPi * (50.0 * beat + 40.0 * 0.03 * (1 - std::exp(-beat / 0.03)))) *
        std::exp(-beat / 0.08) * 1.6;
    // Off-beat tick: 4 ms of noise.
    const double off = std::fmod(t + beatSeconds / 2, beatSeconds);
    double tick = 0;
    if (off < 0.004) {
        std::uniform_real_distribution<float> u(-1.f, 1.f);
        tick = u(rng_) * std::exp(-off / 0.001) * 0.9;
    }
    ++n_;
    const double left = pad * 0.5 + kick + tick * 0.8;
    right = static_cast<float>((pad * 0.5 + kick + tick) * scale_);
    return static_cast<float>(left * scale_);
}

void MusicSource::render(float* stereo, int frames) {
    for (int f = 0; f < frames; ++f) {
        float r;
        stereo[2 * f] = next(r);
        stereo[2 * f + 1] = r;
    }
}

}  // namespace housetone::sim
