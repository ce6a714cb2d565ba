// Outputs whose links change while the room runs, as the program meets them: heard at the
// listening position and said by the device.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <ranges>
#include <string>
#include <vector>

#include "audio/device_access.h"
#include "audio/sim/room.h"
#include "audio/sim/sim_audio_system.h"

using namespace housetone;
using namespace housetone::sim;

namespace {

// A room of no system audio whose one output is `spk`, named "spk".
RoomSpec room(OutputSpec spk, double rate = 48000, int buffer = 512, std::uint64_t seed = 1) {
    RoomSpec r{.sampleRate = rate, .bufferFrames = buffer, .seed = seed, .systemAudio = "silence"};
    spk.name = spk.uid = "spk";
    r.outputs = {spk};
    return r;
}

// Frames from leaving the program to the listening position 1 m away, at a latency of `ms`.
std::int64_t delayAt(double ms, double rate = 48000) {
    return std::llround((ms / 1000.0 + 1 / kSpeedOfSound) * rate);
}

// Plays a ramp that names each frame on until world frame `at`, then listens for `frames` frames:
// each world frame from which a new delay is heard, with that delay. Frame f plays
// ((f mod 2^16) + 1) / 2^17, which a float holds exactly and the room passes on exactly at level 1.
using Steps = std::vector<std::pair<std::int64_t, std::int64_t>>;
Steps heardFrom(SimHardware& hw, std::int64_t at, std::int64_t frames) {
    constexpr std::int64_t ramp = 1 << 16;  // longer than any delay here
    hw.setSystemSource([](std::int64_t frame, float* stereo, int n) {
        for (int f = 0; f < n; ++f)
            stereo[2 * f] = stereo[2 * f + 1] = float((frame + f) % ramp + 1) / (2 * ramp);
    });
    hw.step(static_cast<int>(std::max<std::int64_t>(0, at - hw.frame()) / hw.bufferFrames()));
    hw.captureListening(static_cast<std::size_t>(frames));
    hw.step(static_cast<int>(frames / hw.bufferFrames() + 1));
    const auto [start, heard] = hw.listeningCapture();
    Steps out;
    for (std::size_t i = 0; i < heard.size(); ++i) {
        const std::int64_t t = start + std::int64_t(i);
        const std::int64_t played = std::llround(heard[i] * 2 * ramp) - 1;
        const std::int64_t delay = ((t - played) % ramp + ramp) % ramp;
        if (played >= 0 && (out.empty() || out.back().second != delay)) out.emplace_back(t, delay);
    }
    return out;
}

// What the output "spk" says of its link: "profile/codec reported-ms".
std::string linkOf(SimHardware& hw) {
    const LinkState link = linkState(hw, deviceForUID(hw, "spk").value_or(0));
    return link.key + " " + std::to_string(std::lround(link.reportedMs.value_or(-1)));
}

OSStatus countCall(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                   const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void* client) {
    static_cast<std::atomic<int>*>(client)->fetch_add(1);
    return noErr;
}

}  // namespace

// Each change is heard and said from the first buffer at or after its moment; a reconnect takes
// the device away, callbacks and all, and brings it back with its new link.
TEST(LinkChanges, EachIsHeardAndSaidFromItsMomentAndAReconnectBringsTheDeviceBackWithIt) {
    OutputSpec spk{.latencyMs = 100, .codec = "sbc", .profile = "a2dp-sink"};
    spk.changes = {{.atSeconds = 2, .latencyMs = 230, .codec = "aac", .reportedLatencyMs = 150},
                   {.atSeconds = 3.1, .latencyMs = 60, .profile = "hfp", .goneSeconds = 0.5}};
    RoomSpec headset = room(spk);  // the default output, whose microphone goes and comes with it
    headset.inputs.push_back({"Headset", "spk", transport::bluetooth});
    SimAudioSystem hw(headset, {.startWorld = false});
    EXPECT_EQ(linkOf(hw), "a2dp-sink/sbc 100");  // its latency, while the link reports none
    std::atomic<int> calls{0};
    AudioDeviceIOProcID proc = 0;
    const AudioObjectID first = deviceForUID(hw, "spk").value_or(0);
    ASSERT_EQ(hw.createIOProcID(first, &countCall, &calls, proc), noErr);
    ASSERT_EQ(hw.deviceStart(first, proc), noErr);
    const auto buffer = [](double s) { return (std::int64_t(s * 48000) + 511) / 512 * 512; };

    EXPECT_EQ(heardFrom(hw, 0, buffer(3.3)),
              (Steps{{delayAt(100), delayAt(100)}, {buffer(2), delayAt(230)}}));
    EXPECT_TRUE(deviceIDs(hw).empty());  // what a program listing devices sees
    EXPECT_EQ(heardFrom(hw, hw.frame(), 48000), (Steps{{buffer(3.6) + delayAt(60), delayAt(60)}}));
    EXPECT_EQ(calls.load(), buffer(3.1) / 512);  // called up to its moment, and never again
    const AudioObjectID back = deviceForUID(hw, "spk").value_or(0);
    EXPECT_EQ(linkOf(hw), "hfp/aac 150");  // what a change leaves out keeps its value
    EXPECT_EQ(defaultOutput(hw).value_or(0), back);
    EXPECT_EQ(channelCount(hw, back, scope::input), 1);
    EXPECT_NEAR(hw.trueArrivalMs("spk").value_or(0), 60 + 1000 / kSpeedOfSound, 1e-9);
}

// A drifting latency is heard growing (or shrinking) by its parts per million of the time since it
// was last set, or its device came back, a frame at a time up to the horizon, where it holds; the
// room still holds the sound that far back.
TEST(LinkChanges, DriftIsHeardByItsPartsPerMillionAFrameAtATimeUpToTheHorizon) {
    // The latency is set again at `setAt` s, where the device goes for `gone` s; both fall on
    // buffers' starts.
    constexpr double b = 4096 / 8000.0;
    for (const auto [ppm, latencyMs, setAt, gone] :
         {std::array{500., 100., 200 * b, 0.}, std::array{-200., 1000., 600 * b, 20 * b}}) {
        SCOPED_TRACE(ppm);
        OutputSpec spk{.latencyMs = latencyMs, .driftPpm = ppm};
        spk.changes = {{.atSeconds = setAt, .latencyMs = latencyMs, .goneSeconds = gone}};
        SimAudioSystem hw(room(spk, 8000, 4096), {.startWorld = false});
        for (const std::int64_t seconds : {601, 3750}) {
            const Steps heard = heardFrom(hw, seconds * 8000, 2 * 8000);
            ASSERT_FALSE(heard.empty()) << seconds;
            for (std::size_t k = 1; k < heard.size(); ++k)
                ASSERT_EQ(std::abs(heard[k].second - heard[k - 1].second), 1) << seconds << " s";
            // What is heard last, as the latency is then, is the truth a self-check reads.
            const double since = double(hw.listeningCapture().first + 16000) / 8000 - setAt - gone;
            const double ms = latencyMs + ppm * 1e-3 * std::min(since, kDriftHorizonSeconds);
            EXPECT_NEAR(double(heard.back().second), double(delayAt(ms, 8000)), 1) << seconds;
            EXPECT_NEAR(hw.trueArrivalMs("spk").value_or(0) * 8, double(heard.back().second), 1.5);
        }
    }
}

// The wobble is heard wandering within its range, at most a frame a buffer, the same way for the
// same seed. The latency only just fits the sound the room holds without the wobble: the wobble's
// reach must be held too.
TEST(LinkChanges, WobbleWandersWithinItsRangeAFrameABufferTheSameWayForTheSameSeed) {
    auto heard = [](std::uint64_t seed) {
        SimAudioSystem hw(room({.latencyMs = 500, .wobbleMs = 20}, 8000, 32, seed),
                          {.startWorld = false});
        return heardFrom(hw, 8000, 60 * 8000);  // from when the ramp is heard
    };
    const Steps steps = heard(7);
    ASSERT_FALSE(steps.empty());
    const auto [low, high] = std::ranges::minmax(steps | std::views::values);
    const std::int64_t nominal = delayAt(500, 8000), range = 20 * 8;
    EXPECT_GE(low, nominal - range);
    EXPECT_LE(high, nominal + range);
    EXPECT_GT(high - low, range);  // it does wander, over much of its range
    for (std::size_t k = 1; k < steps.size(); ++k) {
        ASSERT_EQ(std::abs(steps[k].second - steps[k - 1].second), 1);
        ASSERT_TRUE(k == 1 || steps[k].first - steps[k - 1].first >= 32) << steps[k].first;
    }
    EXPECT_EQ(heard(7), steps);
    EXPECT_NE(heard(8), steps);
}

// A start draws the latency anew within its jitter, heard as one jump, not glided to.
TEST(LinkChanges, AStartsJitterDrawIsHeardAsAJump) {
    SimAudioSystem hw(room({.latencyMs = 100, .jitterMs = 40}), {.startWorld = false});
    std::atomic<int> calls{0};
    AudioDeviceIOProcID proc = 0;
    const AudioObjectID spk = deviceForUID(hw, "spk").value_or(0);
    ASSERT_EQ(hw.createIOProcID(spk, &countCall, &calls, proc), noErr);
    const Steps before = heardFrom(hw, 0, 20 * 512);
    ASSERT_EQ(hw.deviceStart(spk, proc), noErr);
    const Steps after = heardFrom(hw, hw.frame(), 4 * 512);
    ASSERT_TRUE(before.size() == 1 && after.size() == 1);
    EXPECT_NE(after[0].second, before[0].second);
    EXPECT_NEAR(double(after[0].second), double(delayAt(100)), 40 * 48 + 1);
}
