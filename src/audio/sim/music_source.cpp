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
    // Measure the unscaled level over two bars of a copy, then scale to the wanted RMS.
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
    std::uniform_real_distribution<float> u(-1.f, 1.f);
    double tick = 0;
    if (off < 0.004) tick = u(rng_) * std::exp(-off / 0.001) * 0.9;
    // Hi-hat on every eighth, a snare on beats two and four: noise that rings for tens of ms, as
    // real drums do, so the music covers the whole band and not only its tones. Every second bar
    // skips a hat and the snare lands a sixteenth late, so no stretch of it repeats exactly.
    const double eighth = std::fmod(t, beatSeconds / 2);
    const auto bar = static_cast<std::int64_t>(t / (4 * beatSeconds));
    const auto eighthIndex = static_cast<std::int64_t>(t / (beatSeconds / 2)) % 8;
    const bool skip = bar % 2 == 1 && eighthIndex == 5;
    const double noise = u(rng_);
    hiss_ += 0.6 * (noise - hiss_);
    const double hat = skip ? 0.0 : (noise - hiss_) * std::exp(-eighth / 0.025) * 0.35;
    const double snareAt = bar % 2 == 1 ? beatSeconds / 4 : 0.0;
    const double inBar = std::fmod(t, 2 * beatSeconds) - beatSeconds - snareAt;
    const double snare = inBar >= 0 ? hiss_ * std::exp(-inBar / 0.06) * 0.7 : 0.0;
    // A bass line that moves with the bars.
    static constexpr double roots[] = {55.0, 43.65, 49.0, 41.2};
    const double root = roots[bar % 4];
    const double bass = 0.35 * std::sin(twoPi * root * t) + 0.12 * std::sin(twoPi * 2 * root * t);
    ++n_;
    const double drums = hat + snare;
    const double left = pad * 0.5 + kick + bass + tick * 0.8 + drums * 0.9;
    right = static_cast<float>((pad * 0.5 + kick + bass + tick + drums) * scale_);
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
