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

// A click every `spacing` frames from world frame `first` on.
SourceFn clicks(std::int64_t first, std::int64_t spacing) {
    return [=](std::int64_t frame, float* stereo, int frames) {
        for (int f = 0; f < frames; ++f) {
            const std::int64_t at = frame + f - first;
            stereo[2 * f] = stereo[2 * f + 1] = at >= 0 && at % spacing == 0 ? 0.5f : 0.f;
        }
    };
}

// The world frames at which the listening position heard a click (the first frame of each).
std::vector<std::int64_t> heardAt(const SimHardware& hw) {
    const auto [start, heard] = hw.listeningCapture();
    std::vector<std::int64_t> out;
    for (std::size_t i = 0; i < heard.size(); ++i) {
        const std::int64_t at = start + static_cast<std::int64_t>(i);
        if (heard[i] > 0.05f && (out.empty() || at - out.back() > 100)) out.push_back(at);
    }
    return out;
}

// The delay at which one click played at world frame `at` is heard.
std::optional<std::int64_t> heardDelay(SimHardware& hw, std::int64_t at, std::int64_t reach) {
    hw.setSystemSource(clicks(at, reach * 4));
    hw.step(static_cast<int>((at - hw.frame()) / hw.bufferFrames()));
    hw.captureListening(static_cast<std::size_t>(reach + 2 * hw.bufferFrames()));
    hw.step(static_cast<int>(reach / hw.bufferFrames() + 3));
    const auto heard = heardAt(hw);
    if (heard.size() != 1) return std::nullopt;
    return heard[0] - at;
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
    // A click every half second, a quarter of a second in: none is on its way through the room
    // while a change jumps, so each is heard exactly once.
    hw.setSystemSource(clicks(12000, 24000));
    hw.captureListening(4 * 48000);
    hw.step(1 * 48000 / 512);
    EXPECT_EQ(linkOf(hw), "a2dp-sink/sbc/4800");  // reports its latency when the file says nothing
    hw.step(3 * 48000 / 512 / 2);
    EXPECT_EQ(linkOf(hw), "a2dp-sink/aac/7200");
    hw.step(4 * 48000 / 512 - hw.frame() / 512 + 1);
    // What a change leaves out keeps its value, the reported latency too.
    EXPECT_EQ(linkOf(hw), "a2dp-sink/aac/7200");

    std::vector<std::int64_t> delays;
    for (const std::int64_t at : heardAt(hw))
        delays.push_back((at - 12000) % 24000);
    const std::int64_t before = delayAt(100), longer = delayAt(230), shorter = delayAt(60);
    EXPECT_EQ(delays, (std::vector<std::int64_t>{before, before, before, before, longer, longer,
                                                 shorter, shorter}));
    EXPECT_EQ(hw.roomDelayFrames("spk"), shorter);
    EXPECT_NEAR(hw.trueArrivalMs("spk").value_or(0), 60 + 1000 / kSpeedOfSound, 1e-9);
}

TEST(LinkChanges, AReconnectTakesTheDeviceAwayAndBringsItBackWithItsNewLink) {
    RoomSpec room = parseRoom(roomText(R"(, "latencyMs": 150, "profile": "a2dp-sink",
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
    EXPECT_EQ(hw.roomDelayFrames("spk"), delayAt(250));
    EXPECT_EQ(heardDelay(hw, hw.frame() + 1000, 24000), delayAt(250));
}

// A drifting latency is heard growing (or shrinking) by its parts per million of the time since it
// was set, up to the horizon, where it holds; the delay ring still holds it there.
TEST(LinkChanges, DriftIsHeardByItsPartsPerMillionUpToTheHorizon) {
    struct Case {
        double ppm, latencyMs;
    };
    for (const Case c : {Case{500, 100}, Case{-200, 1000}}) {
        SCOPED_TRACE(c.ppm);
        const double rate = 8000;
        SimAudioSystem hw(parseRoom(roomText(", \"latencyMs\": " + std::to_string(c.latencyMs) +
                                                 ", \"driftPpm\": " + std::to_string(c.ppm),
                                             rate, 4096),
                                    "drift.json"),
                          {.startWorld = false});
        const std::int64_t reach = 3 * 8000;
        // The delay of a click played at `seconds`: the latency as it is when the click is heard.
        auto expected = [&](double seconds) {
            std::int64_t d = 0;
            for (int i = 0; i < 3; ++i) {
                const double held =
                    std::min(seconds + static_cast<double>(d) / rate, kDriftHorizonSeconds);
                d = delayAt(c.latencyMs + c.ppm * 1e-6 * held * 1000, rate);
            }
            return static_cast<double>(d);
        };
        const auto early = heardDelay(hw, 8000, reach);
        const auto later = heardDelay(hw, 601 * 8000, reach);
        const auto beyond = heardDelay(hw, 3700 * 8000, reach);
        ASSERT_TRUE(early && later && beyond);
        EXPECT_NEAR(static_cast<double>(*early), expected(1), 1);
        EXPECT_NEAR(static_cast<double>(*later), expected(601), 1);
        EXPECT_NEAR(static_cast<double>(*beyond), expected(3700), 1);
        EXPECT_NEAR(hw.trueArrivalMs("spk").value_or(0) / 1000 * rate, expected(3703), 0.5);
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
