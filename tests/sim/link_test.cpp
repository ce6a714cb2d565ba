// Outputs whose links change while the room runs, as the program meets them: a new latency heard
// at the microphone from its moment on, a reconnect that takes the device away and brings it back
// with its new link, a drift heard growing by its parts per million, a wobble that wanders within
// its range.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio/device_access.h"
#include "audio/sim/room.h"
#include "audio/sim/sim_audio_system.h"

using namespace housetone;
using namespace housetone::sim;

namespace {

// A room file's text: no system audio, a noiseless microphone "mic" and the output "spk" 1 m away
// with `members` of its own.
std::string roomText(const std::string& members, double rate = 48000, int bufferFrames = 512) {
    return R"({"systemAudio": "silence", "sampleRate": )" + std::to_string(rate) +
           R"(, "bufferFrames": )" + std::to_string(bufferFrames) + R"(,
      "outputs": [{"name": "Speaker", "uid": "spk", "transport": "blue", "distanceM": 1)" +
           members + R"(}],
      "inputs": [{"name": "Mic", "uid": "mic", "transport": "bltn"}]})";
}

// Frames from leaving the program to the listening position 1 m away, at a latency of `ms`.
std::int64_t delayAt(double ms, double rate = 48000) {
    return std::llround((ms / 1000.0 + 1 / kSpeedOfSound) * rate);
}

// Frames of the ramp the system plays: long enough that no delay here wraps it.
constexpr std::int64_t kRampFrames = 1 << 16;

// A ramp that names each frame it plays: frame f plays ((f mod kRampFrames) + 1) / 2^17, which a
// float holds exactly and the room passes on exactly at level 1.
SourceFn ramp() {
    return [](std::int64_t frame, float* stereo, int frames) {
        for (int f = 0; f < frames; ++f)
            stereo[2 * f] = stereo[2 * f + 1] =
                static_cast<float>((frame + f) % kRampFrames + 1) / (2 * kRampFrames);
    };
}

// The delay at which each frame captured at the listening position was played; -1 for silence.
std::vector<std::int64_t> delaysHeard(const SimHardware& hw) {
    const auto [start, heard] = hw.listeningCapture();
    std::vector<std::int64_t> out;
    for (std::size_t i = 0; i < heard.size(); ++i) {
        const std::int64_t played = std::llround(heard[i] * 2 * kRampFrames) - 1;
        const std::int64_t at = start + static_cast<std::int64_t>(i);
        out.push_back(played < 0 ? -1 : ((at - played) % kRampFrames + kRampFrames) % kRampFrames);
    }
    return out;
}

// Plays the ramp on until world frame `at`, then returns the delays heard over `frames` frames.
std::vector<std::int64_t> delaysFrom(SimHardware& hw, std::int64_t at, std::int64_t frames) {
    hw.setSystemSource(ramp());
    hw.step(static_cast<int>(std::max<std::int64_t>(0, at - hw.frame()) / hw.bufferFrames()));
    hw.captureListening(static_cast<std::size_t>(frames));
    hw.step(static_cast<int>(frames / hw.bufferFrames() + 1));
    return delaysHeard(hw);
}

// The first world frame of each run of equal delays, with that delay.
using Steps = std::vector<std::pair<std::int64_t, std::int64_t>>;
Steps steps(std::int64_t start, const std::vector<std::int64_t>& delays) {
    Steps out;
    for (std::size_t i = 0; i < delays.size(); ++i)
        if (delays[i] >= 0 && (out.empty() || out.back().second != delays[i]))
            out.emplace_back(start + static_cast<std::int64_t>(i), delays[i]);
    return out;
}

// The first buffer of the world that starts at or after `seconds`.
std::int64_t bufferAfter(double seconds) {
    return (static_cast<std::int64_t>(seconds * 48000) + 511) / 512 * 512;
}

std::optional<std::string> linkString(SimHardware& hw, AudioObjectID device, AudioSelector s) {
    const PropertyAddress a{s, scope::output, 0};
    std::uint32_t size = 0;
    if (hw.getPropertyDataSize(device, a, 0, nullptr, size) != noErr) return std::nullopt;
    std::string text(size, '\0');
    if (hw.getPropertyData(device, a, 0, nullptr, size, text.data()) != noErr) return std::nullopt;
    text.resize(size);
    return text;
}

// What the output "spk" says of its link: profile, codec and reported latency in frames.
std::string linkOf(SimHardware& hw) {
    const auto id = deviceForUID(hw, "spk");
    if (!id) return "(gone)";
    return linkString(hw, *id, sel::linkProfile).value_or("-") + "/" +
           linkString(hw, *id, sel::linkCodec).value_or("-") + "/" +
           std::to_string(uint32Property(hw, *id, sel::latency, scope::output).value_or(0));
}

// Counts the buffers a device's callback was called for.
OSStatus countCall(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                   const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void* client) {
    static_cast<std::atomic<int>*>(client)->fetch_add(1);
    return noErr;
}

}  // namespace

TEST(LinkChanges, ANewLatencyIsHeardFromItsMomentOnAndTheLinkSaysWhatTheFileSays) {
    SimAudioSystem hw(parseRoom(roomText(R"(, "latencyMs": 100, "profile": "a2dp-sink",
        "codec": "sbc", "changes": [
          {"atSeconds": 2, "latencyMs": 230, "codec": "aac", "reportedLatencyMs": 150},
          {"atSeconds": 3.1, "latencyMs": 60}])"),
                                "changes.json"),
                      {.startWorld = false});
    hw.setSystemSource(ramp());
    hw.captureListening(4 * 48000);
    hw.step(1 * 48000 / 512);
    EXPECT_EQ(linkOf(hw), "a2dp-sink/sbc/4800");  // reports its latency when the file says nothing
    hw.step(3 * 48000 / 512 / 2);
    EXPECT_EQ(linkOf(hw), "a2dp-sink/aac/7200");
    hw.step(4 * 48000 / 512 - hw.frame() / 512 + 1);
    // What a change leaves out keeps its value, the reported latency too.
    EXPECT_EQ(linkOf(hw), "a2dp-sink/aac/7200");

    // Each new latency is heard at once, from the first buffer at or after its moment.
    const std::int64_t before = delayAt(100), longer = delayAt(230), shorter = delayAt(60);
    EXPECT_EQ(steps(0, delaysHeard(hw)),
              (Steps{{before, before}, {bufferAfter(2), longer}, {bufferAfter(3.1), shorter}}));
    EXPECT_EQ(hw.roomDelayFrames("spk"), shorter);
    EXPECT_NEAR(hw.trueArrivalMs("spk").value_or(0), 60 + 1000 / kSpeedOfSound, 1e-9);
}

TEST(LinkChanges, AReconnectTakesTheDeviceAwayAndBringsItBackWithItsNewLink) {
    RoomSpec room =
        parseRoom(roomText(R"(, "latencyMs": 150, "driftPpm": 200, "profile": "a2dp-sink",
        "codec": "sbc", "reportedLatencyMs": 120, "changes": [
          {"atSeconds": 1, "goneSeconds": 0.5, "latencyMs": 250, "codec": "aac",
           "profile": "hfp"}])"),
                  "reconnect.json");
    // A headset: its microphone leaves and comes back with it.
    room.inputs.push_back({"Speaker", "spk", transport::bluetooth, 1, 0.0});
    SimAudioSystem hw(room, {.startWorld = false});
    const auto first = deviceForUID(hw, "spk");
    ASSERT_TRUE(first);
    std::atomic<int> calls{0};
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(hw.createIOProcID(*first, &countCall, &calls, proc), noErr);
    ASSERT_EQ(hw.deviceStart(*first, proc), noErr);
    const std::size_t devicesAtFirst = deviceIDs(hw).size();

    hw.step(48000 / 512);  // just before it goes
    EXPECT_EQ(linkOf(hw), "a2dp-sink/sbc/5760");
    EXPECT_EQ(calls.load(), 48000 / 512);

    hw.step(2);
    const int callsWhenGone = calls.load();
    EXPECT_EQ(linkOf(hw), "(gone)");
    EXPECT_EQ(deviceIDs(hw).size(), devicesAtFirst - 1);  // what a program listing devices sees
    EXPECT_EQ(hw.runningIOProcCount(), 0u);
    EXPECT_FALSE(hw.roomDelayFrames("spk"));
    EXPECT_FALSE(hw.trueArrivalMs("spk"));

    hw.step(24000 / 512 - 2);
    EXPECT_EQ(linkOf(hw), "(gone)");  // gone for the whole half second
    hw.step(3);
    EXPECT_EQ(calls.load(), callsWhenGone);  // the old callback never runs again
    EXPECT_EQ(hw.destroyIOProcID(*first, proc), noErr);
    const auto back = deviceForUID(hw, "spk");
    ASSERT_TRUE(back);
    EXPECT_EQ(deviceIDs(hw).size(), devicesAtFirst);
    EXPECT_EQ(linkOf(hw), "hfp/aac/5760");
    EXPECT_EQ(channelCount(hw, *back, scope::input), 1);
    EXPECT_EQ(channelCount(hw, *back, scope::output), 2);
    // It returns at its new latency, its drift counted afresh from its return.
    EXPECT_EQ(hw.roomDelayFrames("spk"), delayAt(250));
    const std::int64_t from = hw.frame();
    const auto heard = steps(from, delaysFrom(hw, from, 24000));
    ASSERT_FALSE(heard.empty());
    EXPECT_NEAR(double(heard.front().second), double(delayAt(250)), 3);
}

// A drifting latency is heard growing (or shrinking) by its parts per million of the time since it
// was set, a frame at a time, up to the horizon, where it holds; the delay ring still holds it
// there.
TEST(LinkChanges, DriftIsHeardByItsPartsPerMillionAFrameAtATimeUpToTheHorizon) {
    // The second output's latency is set again at 300 s: its drift counts from then.
    struct Case {
        double ppm, latencyMs, setAt;
    };
    for (const Case c : {Case{500, 100, 0}, Case{-200, 1000, 300}}) {
        SCOPED_TRACE(c.ppm);
        const double rate = 8000;
        const std::string latency = std::to_string(c.latencyMs);
        SimAudioSystem hw(
            parseRoom(roomText(", \"latencyMs\": " + latency + ", \"driftPpm\": " +
                                   std::to_string(c.ppm) + R"(, "changes": [{"atSeconds": )" +
                                   std::to_string(c.setAt) + R"(, "latencyMs": )" + latency + "}]",
                               rate, 4096),
                      "drift.json"),
            {.startWorld = false});
        std::int64_t lastHeard = 0;
        for (const double seconds : {1.0, 601.0, 3700.0}) {
            SCOPED_TRACE(seconds);
            const auto at = static_cast<std::int64_t>(seconds * rate);
            const std::vector<std::int64_t> delays = delaysFrom(hw, at, 3 * 8000);
            for (std::size_t k = 0; k + 1 < delays.size(); ++k) {
                if (delays[k] < 0) continue;  // before the ramp was first heard
                ASSERT_LE(std::abs(delays[k + 1] - delays[k]), 1) << "frame " << k;
            }
            // What is heard at the start of the last second, as the latency is then.
            const std::int64_t heardAt = hw.listeningCapture().first + 2 * 8000;
            const double since = double(heardAt) / rate >= c.setAt ? c.setAt : 0;
            const double latency =
                c.latencyMs + c.ppm * 1e-6 *
                                  std::min(double(heardAt) / rate - since, kDriftHorizonSeconds) *
                                  1000;
            EXPECT_NEAR(double(delays.at(2 * 8000)), double(delayAt(latency, rate)), 1);
            lastHeard = delays.back();
        }
        // The truth a self-check reads is what was last heard.
        EXPECT_NEAR(hw.trueArrivalMs("spk").value_or(0) / 1000 * rate, double(lastHeard), 1.5);
    }
}

// The wobble wanders slowly within its range, the same way for the same seed.
TEST(LinkChanges, WobbleWandersWithinItsRangeAFrameABufferTheSameWayForTheSameSeed) {
    auto path = [](std::uint64_t seed) {
        RoomSpec room = parseRoom(roomText(R"(, "latencyMs": 40, "wobbleMs": 4)"), "wobble.json");
        room.seed = seed;
        SimAudioSystem hw(room, {.startWorld = false});
        std::vector<std::int64_t> delays;
        for (int i = 0; i < 60 * 48000 / 512; ++i) {
            hw.step();
            delays.push_back(*hw.roomDelayFrames("spk"));
        }
        return delays;
    };
    const std::vector<std::int64_t> delays = path(7);
    const auto [low, high] = std::minmax_element(delays.begin(), delays.end());
    const std::int64_t nominal = delayAt(40), range = 4 * 48;
    EXPECT_GE(*low, nominal - range);
    EXPECT_LE(*high, nominal + range);
    EXPECT_GT(*high - *low, range);  // it does wander, over much of its range
    for (std::size_t i = 1; i < delays.size(); ++i)
        ASSERT_LE(std::abs(delays[i] - delays[i - 1]), 1) << "buffer " << i;
    EXPECT_EQ(path(7), delays);
    EXPECT_NE(path(8), delays);
}

// Each start draws the latency anew within its jitter, heard as a jump, not glided to.
TEST(LinkChanges, AStartsJitterDrawIsHeardAsAJump) {
    SimAudioSystem hw(parseRoom(roomText(R"(, "latencyMs": 100, "jitterMs": 40)"), "jitter.json"),
                      {.startWorld = false});
    std::atomic<int> calls{0};
    AudioDeviceIOProcID proc = 0;
    const auto spk = deviceForUID(hw, "spk");
    ASSERT_TRUE(spk);
    ASSERT_EQ(hw.createIOProcID(*spk, &countCall, &calls, proc), noErr);
    hw.setSystemSource(ramp());
    hw.captureListening(48000);
    for (int start = 0; start < 4; ++start) {
        ASSERT_EQ(hw.deviceStart(*spk, proc), noErr);
        hw.step(20);
        ASSERT_EQ(hw.deviceStop(*spk, proc), noErr);
    }
    const Steps heard = steps(0, delaysHeard(hw));
    ASSERT_GE(heard.size(), 3u);  // the draws differ
    for (std::size_t i = 0; i < heard.size(); ++i) {
        EXPECT_NEAR(double(heard[i].second), double(delayAt(100)), 40 * 48 + 1);
        if (i == 0) continue;
        EXPECT_EQ(heard[i].first % (20 * 512), 0) << "a new delay between starts";
    }
}
