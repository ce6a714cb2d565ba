// Tone-chain cost of one render cycle: 512 frames for 8 stereo speakers (16 output channels), the
// way the render loop calls it (stereo source frames in, one interleaved output buffer).

#include <benchmark/benchmark.h>

#include <time.h>

#include <cmath>
#include <cstddef>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "bench_support.h"
#include "core/dev.h"
#include "engine/tone_chain.h"

namespace housetone {
namespace {

using namespace housetone::bench;

constexpr int kSpeakers = 8;
constexpr int kChannels = 2 * kSpeakers;

void runToneCycles(benchmark::State& state, bool effectsOn) {
    auto stores = std::make_unique<ToneStores>();
    if (effectsOn) {
        const std::uint32_t transports[] = {transport::bluetooth, transport::builtIn,
                                            transport::usb, transport::hdmi};
        for (int d = 0; d < kSpeakers; ++d) {
            const BassCorners c = bassCorners(transports[d % 4]);
            setGain(*stores, d, volumeBoostGain(20));
            stores->gainSm[std::size_t(d)] = 2.0f;
            setBass(*stores, d, kRate, bassBoostDB(true), c.shelfHz, c.highPassHz, c.lowPassHz);
            // Device 0 gets the three-stage measured curve, the rest the two-stage default.
            setCrisp(*stores, d, d == 0 ? "02-5E-11-A4-37-C9:output" : "other", std::nullopt, kRate,
                     1.0f);
            setLimiter(*stores, d, true, kRate);
        }
    }
    const std::vector<float> source = makeSource(1);
    std::vector<float> out(kFrames * kChannels);
    std::size_t pos = 0;

    const double startCpu = threadCpuSeconds();
    for (auto _ : state) {
        const float* in = &source[2 * pos];
        for (int ch = 0; ch < kChannels; ++ch) {
            const int dev = ch / 2, side = ch & 1;
            ToneChannelRt tone = beginToneChannelRt(*stores, dev, side);
            for (std::size_t i = 0; i < kFrames; ++i) {
                const float x = in[2 * i + std::size_t(side)];
                const float m = 0.5f * (in[2 * i] + in[2 * i + 1]);
                out[i * kChannels + std::size_t(ch)] = processToneSampleRt(tone, x, m);
            }
            endToneChannelRt(*stores, dev, tone);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        pos = (pos + kFrames) % (kSourceFrames - kFrames);
    }

    // Thread CPU time, so that other load on the machine does not count against the chain.
    const double seconds = threadCpuSeconds() - startCpu;
    const double cycles = double(state.iterations());
    state.SetItemsProcessed(std::int64_t(cycles) * kFrames * kChannels);
    state.counters["ns_per_sample"] = seconds * 1e9 / (cycles * kFrames * kChannels);
    state.counters["budget_pct"] = 100 * seconds / (cycles * kCycleSeconds);
}

void BM_ToneChainCycleAllOff(benchmark::State& state) {
    runToneCycles(state, false);
}
void BM_ToneChainCycleAllOn(benchmark::State& state) {
    runToneCycles(state, true);
}

BENCHMARK(BM_ToneChainCycleAllOff);
BENCHMARK(BM_ToneChainCycleAllOn);

}  // namespace
}  // namespace housetone
