#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <vector>

#include "tune/correlation.h"
#include "tune/test_signals.h"

namespace {

using housetone::crossCorrelate;
using housetone::crossCorrelateDirect;

// A recording already at the 16 kHz analysis rate against the 0.8 s sweep template; 15 s is the
// longest a latency measurement analyses (about nine speakers).
struct Recording {
    explicit Recording(int seconds)
        : tpl(housetone::makeSweep(16000, 0.8, 500, 4000, 0.6)), rec(std::size_t(seconds) * 16000) {
        std::minstd_rand rng(3);
        std::uniform_real_distribution<float> u(-0.05f, 0.05f);
        for (float& v : rec)
            v = u(rng);
        const std::size_t at = rec.size() / 4;
        for (std::size_t p = 0; p < tpl.size(); ++p)
            rec[at + p] += 0.3f * tpl[p];
    }
    std::vector<float> tpl, rec;
};

// scripts/bench-compare.sh reads these by name: BM_CrossCorrelateFft/seconds:<n>.
void BM_CrossCorrelateFft(benchmark::State& state) {
    const Recording r(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(crossCorrelate(r.rec, r.tpl));
}
BENCHMARK(BM_CrossCorrelateFft)
    ->ArgName("seconds")
    ->Arg(2)
    ->Arg(5)
    ->Arg(15)
    ->Unit(benchmark::kMillisecond);

// Also reports fftSpeedup: direct time over FFT time, both measured here on the same input.
void BM_CrossCorrelateDirect(benchmark::State& state) {
    const Recording r(15);
    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    for (auto _ : state)
        benchmark::DoNotOptimize(crossCorrelateDirect(r.rec, r.tpl));
    const double direct = std::chrono::duration<double>(Clock::now() - t0).count() /
                          static_cast<double>(state.iterations());
    constexpr int fftRuns = 5;
    const auto t1 = Clock::now();
    for (int i = 0; i < fftRuns; ++i)
        benchmark::DoNotOptimize(crossCorrelate(r.rec, r.tpl));
    const double fft = std::chrono::duration<double>(Clock::now() - t1).count() / fftRuns;
    state.counters["fftSpeedup"] = direct / fft;
}
BENCHMARK(BM_CrossCorrelateDirect)->Unit(benchmark::kMillisecond);

}  // namespace
