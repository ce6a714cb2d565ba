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

namespace housetone {
namespace {

using namespace housetone::bench;

// The lane kernel alone for one group of `lanes` channels (devices of two sides each), every
// effect on: what a cycle of the render loop spends on its tone chains once the ring is read.
void BM_ToneLanes(benchmark::State& state) {
    const int effects = static_cast<int>(state.range(0));
    const int count = static_cast<int>(state.range(1));
    auto stores = std::make_unique<ToneStores>();
    for (int d = 0; d < 4; ++d) {
        const BassCorners c = bassCorners(d % 2 ? transport::bluetooth : transport::usb);
        if (effects & 4) {
            setGain(*stores, d, volumeBoostGain(20));
            stores->gainSm[std::size_t(d)] = 2.0f;
            setLimiter(*stores, d, true, kRate);
        }
        if (effects & 1)
            setBass(*stores, d, kRate, bassBoostDB(true), c.shelfHz, c.highPassHz, c.lowPassHz);
        if (effects & 2)
            setCrisp(*stores, d, d == 0 ? "02-5E-11-A4-37-C9:output" : "other", std::nullopt, kRate,
                     1.0f);
    }
    const std::vector<float> source = makeSource(3);
    std::vector<float> out(kFrames * std::size_t(count));
    std::size_t pos = 0;
    ToneLanesRt lanes;
    const double startCpu = threadCpuSeconds();
    for (auto _ : state) {
        for (int j = 0; j < count; ++j)
            addToneLaneRt(lanes, *stores, j / 2, j % 2, kFrames);
        for (std::size_t f0 = 0; f0 < kFrames; f0 += toneLaneChunk) {
            for (std::size_t i = 0; i < toneLaneChunk; ++i)
                for (int j = 0; j < count; ++j) {
                    const float* in = &source[2 * (pos + f0 + i)];
                    lanes.x[i][j] = in[j % 2];
                    lanes.m[i][j] = 0.5f * (in[0] + in[1]);
                }
            processToneLanesRt(lanes, toneLaneChunk);
            for (std::size_t i = 0; i < toneLaneChunk; ++i)
                for (int j = 0; j < count; ++j)
                    out[(f0 + i) * std::size_t(count) + std::size_t(j)] = lanes.y[i][j];
        }
        endToneLanesRt(lanes, *stores);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        pos = (pos + kFrames) % (kSourceFrames - kFrames);
    }
    const double seconds = threadCpuSeconds() - startCpu;
    const double samples = double(state.iterations()) * kFrames * count;
    state.counters["ns_per_sample"] = seconds * 1e9 / samples;
    state.counters["ns_per_frame"] = seconds * 1e9 / (double(state.iterations()) * kFrames);
}

// effects: 1 bass, 2 crisp, 4 gain boost and limiter, summed.
BENCHMARK(BM_ToneLanes)->ArgNames({"effects", "lanes"})->ArgsProduct({{0, 1, 2, 4, 7}, {2, 8}});

}  // namespace
}  // namespace housetone
