#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "tune/step_keeper.h"

namespace {

using housetone::StepKeeper;
using namespace housetone::bench;

// What the keeper costs while music plays on eight speakers at 48 kHz with the full reach: the
// share of one core per second of audio (cpuShare), over a minute of audio fed in the engine's
// 512-frame blocks, so every check (analysis, decisions) is paid for in the figure.
void BM_KeepInStep(benchmark::State& state) {
    const auto source = makeSource(5);  // interleaved stereo, 1 s
    std::vector<float> ref(kSourceFrames), mic(kSourceFrames, 0.0f);
    for (std::size_t f = 0; f < kSourceFrames; ++f)
        ref[f] = 0.5f * (source[2 * f] + source[2 * f + 1]);
    std::vector<std::string> uids;
    std::vector<double> delays;
    for (int i = 0; i < 8; ++i) {
        uids.push_back("speaker" + std::to_string(i));
        delays.push_back(10.0 * i);
    }
    // Each speaker arrives 90 ms after the reference, at its own level (the looped second of
    // source stands in for music).
    const std::size_t lag = static_cast<std::size_t>(0.09 * kRate);
    for (std::size_t f = 0; f < kSourceFrames; ++f)
        for (int i = 0; i < 8; ++i)
            mic[f] += (0.05f + 0.01f * float(i)) * ref[(f + kSourceFrames - lag) % kSourceFrames];

    constexpr int seconds = 60;
    double cpu = 0;
    for (auto _ : state) {
        StepKeeper keeper({.rate = kRate}, uids, delays);
        const double t0 = threadCpuSeconds();
        for (int s = 0; s < seconds; ++s)
            for (std::size_t f = 0; f + kFrames <= kSourceFrames; f += kFrames)
                keeper.add(ref.data() + f, mic.data() + f, kFrames);
        cpu += threadCpuSeconds() - t0;
        benchmark::DoNotOptimize(keeper.takeChecks());
    }
    state.counters["cpuShare"] = cpu / (double(seconds) * double(state.iterations()));
    state.counters["checks"] = double(seconds) / StepKeeper::Options{}.windowSeconds;
}
BENCHMARK(BM_KeepInStep)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
