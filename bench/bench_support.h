#pragma once

#include <time.h>

#include <cmath>
#include <cstddef>
#include <numbers>
#include <random>
#include <vector>

namespace housetone::bench {

constexpr std::size_t kFrames = 512;
constexpr double kRate = 48000.0;
constexpr double kCycleSeconds = double(kFrames) / kRate;  // 10.7 ms real-time budget
constexpr std::size_t kSourceFrames = 48000;               // 1 s of source audio, looped

// CPU time of the calling thread: the share of one core a render cycle costs, whatever else
// the machine is doing.
inline double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// Music-like stereo around -12 dBFS (bass, mid and treble tones plus noise), so that every
// filter and the limiter have work to do.
inline std::vector<float> makeSource(unsigned seed) {
    std::vector<float> s(2 * kSourceFrames);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
    for (std::size_t f = 0; f < kSourceFrames; ++f) {
        const double t = double(f) / kRate, w = 2 * std::numbers::pi;
        const double tones = 0.2 * std::sin(w * 55 * t) + 0.1 * std::sin(w * 440 * t) +
                             0.05 * std::sin(w * 3520 * t);
        s[2 * f] = float(tones) + noise(rng);
        s[2 * f + 1] = float(0.8 * tones) + noise(rng);
    }
    return s;
}

}  // namespace housetone::bench
