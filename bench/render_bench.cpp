// Cost of one whole render cycle of the tap engine: 512 tapped stereo frames into the ring and the
// meter, then 1, 4, 8 or 16 stereo speakers (one output buffer each, as the capture aggregate lays
// them out) read back at their own delays through their tone chains, with every effect off, bass
// boost only, crisp only, or everything on (bass, crisp, volume boost, limiter). The speakers sit
// 17 ms apart (up to 119 ms back at eight); BM_RenderCycleLong spreads eight of them over the
// whole 3 s an offset may reach, so their reads land far apart in the ring.
// BM_RenderCycleFade moves every speaker's delay by 1.5 ms and back, one way each cycle, so that
// every cycle plays inside a crossfade (fading:1), beside the same cycles with no change
// (fading:0); both time the callback alone, not the calls that change the delays.
// scripts/bench-compare.sh reads ns_per_sample by name: BM_RenderCycle/<effects>/speakers:<n>.

#include <benchmark/benchmark.h>

#include <time.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <optional>
#include <random>
#include <vector>

#include "audio/sim/sim_audio_system.h"
#include "bench_support.h"
#include "engine/tap_engine.h"
#include "platform/manual_main_queue.h"

namespace housetone {
namespace {

using namespace housetone::bench;

constexpr std::uint32_t kFrames = 512;

enum Effects : int { off, bassOnly, crispOnly, all };
constexpr const char* effectNames[] = {"off", "bass", "crisp", "all"};

void runRenderCycles(benchmark::State& state, Effects effects, int kSpeakers, double spacingMs,
                     bool timeEachCall = false, bool fading = false) {
    // A real start on a world that runs no callbacks itself; the loop below is the audio thread.
    sim::RoomSpec room;
    room.systemAudio = "silence";
    std::vector<Dev> targets;
    std::map<std::string, double> offsets;
    for (int i = 0; i < kSpeakers; ++i) {
        sim::OutputSpec o;
        o.uid = o.name = "spk" + std::to_string(i);
        room.outputs.push_back(o);
        offsets[o.uid] = spacingMs * i;  // distinct read positions
    }
    sim::SimAudioSystem hw(room, {.speed = 1000, .startWorld = false});
    for (const auto& o : room.outputs)
        targets.push_back({*hw.idForUID(o.uid), o.uid, o.uid});
    ManualMainQueue mq;
    TapEngine engine(hw, mq);
    std::optional<bool> started;
    engine.start(std::nullopt, targets, Offsets(offsets), 1, [&](bool ok) { started = ok; });
    if (!mq.runUntil([&] { return started.has_value(); }, 20) || !*started) {
        state.SkipWithError("engine did not start");
        return;
    }
    for (int d = 0; d < kSpeakers; ++d) {
        if (effects == all) {
            engine.setGain(d, volumeBoostGain(20));
            engine.setLimiter(d, true, kRate);
        }
        if (effects == bassOnly || effects == all) {
            const BassCorners c = bassCorners(d % 2 ? transport::bluetooth : transport::usb);
            engine.setBass(d, kRate, bassBoostDB(true), c.shelfHz, c.highPassHz, c.lowPassHz);
        }
        if (effects == crispOnly || effects == all) {
            engine.setCrisp(
                d, d == 0 ? std::optional<std::string>("02-5E-11-A4-37-C9:output") : std::nullopt,
                kRate, 1.0f);
        }
    }

    const std::vector<float> source = makeSource(7);
    BufferListStorage in(1);
    BufferListStorage out(kSpeakers);
    std::vector<float> outData(std::size_t(kSpeakers) * 2 * kFrames);
    for (int b = 0; b < kSpeakers; ++b)
        out.list()->buffers()[b] = {2, kFrames * 2 * 4, &outData[std::size_t(b) * 2 * kFrames]};
    std::size_t pos = 0;

    // Thread CPU time, so that other load on the machine does not count against the callback.
    // Where delays change between calls the callback is timed alone; the clock itself then costs
    // about 1 ns a sample at one speaker, so those figures compare only with each other.
    double seconds = 0;
    bool moved = false;
    const double startCpu = threadCpuSeconds();
    for (auto _ : state) {
        if (fading) {
            moved = !moved;
            for (int d = 0; d < kSpeakers; ++d)
                engine.setDelay(d, spacingMs * d + (moved ? 1.5 : 0.0));
        }
        in.list()->buffers()[0] = {2, kFrames * 2 * 4, const_cast<float*>(&source[2 * pos])};
        const double before = timeEachCall ? threadCpuSeconds() : 0;
        TapEngine::renderRt(0, nullptr, in.list(), nullptr, out.list(), nullptr, &engine);
        if (timeEachCall) seconds += threadCpuSeconds() - before;
        benchmark::DoNotOptimize(outData.data());
        benchmark::ClobberMemory();
        pos = (pos + kFrames) % (kSourceFrames - kFrames);
    }
    if (!timeEachCall) seconds = threadCpuSeconds() - startCpu;
    const double cycles = double(state.iterations());
    const double samples = cycles * kFrames * 2 * kSpeakers;
    state.SetItemsProcessed(std::int64_t(samples));
    state.counters["ns_per_sample"] = seconds * 1e9 / samples;
    state.counters["budget_pct"] = 100 * seconds / (cycles * kCycleSeconds);
    engine.stop();
}

void BM_RenderCycle(benchmark::State& state) {
    const auto effects = static_cast<Effects>(state.range(0));
    state.SetLabel(effectNames[effects]);
    runRenderCycles(state, effects, static_cast<int>(state.range(1)), 17.0);
}

void BM_RenderCycleLong(benchmark::State& state) {
    const auto effects = static_cast<Effects>(state.range(0));
    state.SetLabel(effectNames[effects]);
    const int speakers = static_cast<int>(state.range(1));
    runRenderCycles(state, effects, speakers, Offsets::limitMs / (speakers - 1));
}

void BM_RenderCycleFade(benchmark::State& state) {
    const auto effects = static_cast<Effects>(state.range(0));
    state.SetLabel(effectNames[effects]);
    runRenderCycles(state, effects, static_cast<int>(state.range(1)), 17.0, true,
                    state.range(2) != 0);
}

BENCHMARK(BM_RenderCycle)
    ->ArgNames({"effects", "speakers"})
    ->ArgsProduct({{off, bassOnly, crispOnly, all}, {1, 2, 4, 8, 16}});
BENCHMARK(BM_RenderCycleLong)->ArgNames({"effects", "speakers"})->ArgsProduct({{off, all}, {8}});
BENCHMARK(BM_RenderCycleFade)
    ->ArgNames({"effects", "speakers", "fading"})
    ->ArgsProduct({{off, all}, {1, 8}, {0, 1}});

}  // namespace
}  // namespace housetone
