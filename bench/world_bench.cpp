// The simulated world's own cost: every test and the default app run on it, so it has to run far
// faster than real time on one core.
#include <benchmark/benchmark.h>

#include "audio/sim/sim_audio_system.h"
#include "core/dev.h"

using namespace housetone;
using namespace housetone::sim;

namespace {

RoomSpec sixSpeakerRoom() {
    RoomSpec r;  // built-in music as system audio, played on the default output
    for (int i = 0; i < 6; ++i) {
        OutputSpec o;
        o.name = "Speaker " + std::to_string(i);
        o.uid = "bench-" + std::to_string(i);
        o.transport = i % 2 ? transport::bluetooth : transport::usb;
        o.latencyMs = 10 + 40 * i;
        o.distanceM = 1 + 0.7 * i;
        o.level = 0.3;
        o.reflections = {{7.0 + i, 0.3}, {19.0 + i, 0.15}};
        r.outputs.push_back(o);
    }
    r.inputs.push_back({"Mic", "bench-mic", transport::builtIn, 1, 0.001});
    return r;
}

// One buffer of the world per iteration: sources, default output, the room with reflections.
void BM_WorldBufferSixSpeakersWithReflections(benchmark::State& state) {
    SimAudioSystem hw(sixSpeakerRoom(), {.startWorld = false});
    for (auto _ : state)
        hw.step(1);
    const double frames = static_cast<double>(state.iterations()) * hw.bufferFrames();
    // Seconds of simulated audio per second of CPU: the real-time factor on one core.
    state.counters["realtime_x"] =
        benchmark::Counter(frames / hw.sampleRate(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WorldBufferSixSpeakersWithReflections);

}  // namespace
