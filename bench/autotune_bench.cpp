#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/device_access.h"
#include "audio/sim/sim_audio_system.h"
#include "core/fourcc.h"
#include "core/offsets.h"
#include "platform/manual_main_queue.h"
#include "tune/auto_tuner.h"
#include "tune/correlation.h"
#include "tune/mic_capture.h"
#include "tune/sync_measure.h"
#include "tune/test_signals.h"

namespace {

using namespace housetone;
using sim::OutputSpec;
using sim::RoomSpec;
using sim::SimAudioSystem;

OutputSpec speaker(const std::string& name, std::uint32_t transport, double latencyMs,
                   double distanceM) {
    OutputSpec o;
    o.name = name;
    o.uid = "uid-" + name;
    o.transport = transport;
    o.latencyMs = latencyMs;
    o.distanceM = distanceM;
    return o;
}

RoomSpec room(std::vector<OutputSpec> outputs) {
    RoomSpec r;
    r.systemAudio = "silence";
    r.outputs = std::move(outputs);
    r.inputs.push_back({"Built-in Microphone", "mic-builtin", transport::builtIn, 1, 0.01});
    return r;
}

std::vector<Dev> devsOf(SimAudioSystem& hw) {
    std::vector<Dev> out;
    for (const OutputSpec& o : hw.room().outputs)
        out.push_back({*hw.idForUID(o.uid), o.name, o.uid, o.transport});
    return out;
}

// What the microphone hears during one five-speaker latency measurement (8.8 s at 48 kHz),
// recorded once through the simulated room exactly as the measurement plays it.
struct FiveSpeakerRecording {
    FiveSpeakerRecording() {
        SimAudioSystem hw(
            room({speaker("A", transport::usb, 40, 3), speaker("B", transport::bluetooth, 230, 1.5),
                  speaker("C", transport::builtIn, 5, 5), speaker("D", transport::hdmi, 120, 2.5),
                  speaker("E", transport::bluetooth, 150, 1)}),
            {.speed = 20, .startWorld = true});
        const auto speakers = devsOf(hw);
        const double total = 5 * 1.2 + 0.4 + 0.8 + 1.6;
        const auto capture = MicCapture::create(hw, total + 0.4, std::nullopt);
        SyncMeasure player(hw);
        if (!capture || !capture->start() || !player.startStaggered(speakers, 0.8, 0.4, 1.2, {}))
            return;
        player.done().waitUntil(hw.clock().now() + total + 3.0);
        hw.clock().sleepFor(0.25);
        player.stop();
        capture->stop();
        samples = capture->samples();
        micRate = capture->rate();
    }
    std::vector<float> samples;
    double micRate = 48000;
};

const FiveSpeakerRecording& fiveSpeakerRecording() {
    static const FiveSpeakerRecording r;
    return r;
}

// The analysis half of a five-speaker measurement: decimation, the rising and falling sweep
// correlations and the wide and narrow window peaks of every slot. Mirrors the steps inside
// measureLatencies, which does not expose them on their own.
void BM_LatencyAnalysisFiveSpeakers(benchmark::State& state) {
    const FiveSpeakerRecording& r = fiveSpeakerRecording();
    if (r.samples.empty()) {
        state.SkipWithError("the simulated recording failed");
        return;
    }
    const double rate = r.micRate / 3.0;
    const auto up = makeSweep(rate, 0.8, 500, 4000, 0.6);
    const auto down = makeSweep(rate, 0.8, 4000, 500, 0.6);
    const auto at = [rate](double ms) { return wholePart(ms / 1000.0 * rate); };
    for (auto _ : state) {
        const auto x = decimate3(r.samples);
        const auto cUp = crossCorrelate(x, up);
        const auto cDown = crossCorrelate(x, down);
        double late = 0;
        float best = -1;
        for (int i = 0; i < 5; ++i) {
            const double e = (0.4 + i * 1.2) * 1000.0;
            const auto p = windowPeak(i % 2 == 0 ? cUp : cDown, at(e - 250), at(e + 1800));
            if (p && p->ratio() > best) {
                best = p->ratio();
                late = static_cast<double>(p->index) / rate * 1000.0 - e;
            }
        }
        for (int i = 0; i < 5; ++i) {
            const double e = (0.4 + i * 1.2) * 1000.0 + late;
            benchmark::DoNotOptimize(
                windowPeak(i % 2 == 0 ? cUp : cDown, at(e - 650), at(e + 650)));
        }
    }
}
BENCHMARK(BM_LatencyAnalysisFiveSpeakers)->Unit(benchmark::kMillisecond);

// One whole auto-tune of `outputs` in the simulated room at forty times real time: the microphone
// check, every pass's measurements and both fire checks. Reports verified = 1 when it ended
// verified on the first pass, and the simulated seconds it took (the world's own clock, so the
// figure does not depend on how busy the machine was).
void autoTune(benchmark::State& state, const std::vector<OutputSpec>& outputs,
              double offsetLimitMs) {
    double verified = 0, simulated = 0;
    for (auto _ : state) {
        SimAudioSystem hw(room(outputs), {.speed = 40, .startWorld = true});
        ManualMainQueue main;
        std::atomic<bool> done{false};
        std::string text;
        double began = 0, ended = 0;
        AutoTuner tuner(hw, main, offsetLimitMs);
        tuner.finished = [&](const std::string& t) {
            text = t;
            ended = hw.clock().now();
            done = true;
        };
        const auto speakers = devsOf(hw);
        began = hw.clock().now();
        tuner.start(speakers.front(), {speakers.begin() + 1, speakers.end()}, {}, false);
        main.runUntil([&] { return done.load(); }, 240);
        verified = text.find("Verified: ") != std::string::npos ? 1 : 0;
        simulated = ended - began;
    }
    state.counters["verified"] = verified;
    state.counters["simulatedSeconds"] = simulated;
}

// Three local speakers.
void BM_AutoTuneThreeSpeakers(benchmark::State& state) {
    autoTune(state,
             {speaker("Kitchen", transport::bluetooth, 220, 1),
              speaker("Desk", transport::builtIn, 5, 2), speaker("Den", transport::hdmi, 90, 5)},
             Offsets::limitMs);
}
BENCHMARK(BM_AutoTuneThreeSpeakers)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The same three with a speaker on another machine, arriving 1.8 s after the local ones.
void BM_AutoTuneWithNetworkSpeaker(benchmark::State& state) {
    autoTune(state,
             {speaker("Kitchen", transport::bluetooth, 220, 1),
              speaker("Desk", transport::builtIn, 5, 2), speaker("Den", transport::hdmi, 90, 5),
              speaker("Study", fourcc("netw"), 1805, 2)},
             Offsets::limitMs);
}
BENCHMARK(BM_AutoTuneWithNetworkSpeaker)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
}  // namespace
