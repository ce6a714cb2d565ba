// The tap engine's lifecycle against the simulated audio system: what a start builds, what every
// failure leaves behind, how stops interleave with starts, and the sound it makes in the room.
#include "engine/tap_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "audio/device_access.h"
#include "audio/sim/sim_audio_system.h"
#include "platform/manual_main_queue.h"
#include "support/alloc_hook.h"
#include "support/engine_start.h"
#include "support/sim_rooms.h"

namespace housetone {
namespace {

using testsupport::quietRoom;
using testsupport::speaker;
using testsupport::startAndWait;

std::vector<Dev> devs(sim::SimAudioSystem& hw, const std::vector<std::string>& uids) {
    std::vector<Dev> out;
    for (const auto& uid : uids)
        out.push_back({*hw.idForUID(uid), uid, uid, transport::usb});
    return out;
}

void expectNothingLeft(sim::SimAudioSystem& hw, const TapEngine& engine) {
    EXPECT_TRUE(hw.tapIDs().empty() && hw.aggregateIDs().empty() && hw.ioProcCount() == 0);
    EXPECT_EQ(std::tuple(engine.installedRun(), engine.tapID(), engine.aggID()),
              std::tuple(0u, 0u, 0u));
}

TEST(TapEngineInRoom, EachSpeakerIsHeardAtItsRoomDelayPlusItsOwnDelayAndTheSourceIsMuted) {
    auto room = quietRoom({speaker("a", 10, 2.0), speaker("b", 40, 3.0), speaker("c", 5, 1.0),
                           speaker("default", 3, 1.2)});
    room.defaultOutput = "default";
    sim::SimAudioSystem hw(room, {.speed = 40, .startWorld = true});
    ManualMainQueue mq;
    testsupport::NoRealtimeAllocations noAlloc;
    TapEngine engine(hw, mq);
    const auto targets = devs(hw, {"a", "b", "c"});
    ASSERT_EQ(
        startAndWait(engine, mq, targets, Offsets({{"a", 0.0}, {"b", 37.5}, {"c", 120.0}}), 1),
        true);
    // A private stereo tap of everything but our own clicks, muting what it reads at its source.
    ASSERT_EQ(hw.tapIDs().size(), 1u);
    const TapDescription tap = hw.tapDescription(hw.tapIDs()[0]).value();
    EXPECT_EQ(tap.name, "Housetone system tap");
    EXPECT_TRUE(tap.isPrivate && tap.stereoGlobalTapButExclude);
    EXPECT_EQ(tap.muteBehavior, TapMuteBehavior::mutedWhenTapped);
    EXPECT_EQ(tap.excludedProcesses, std::vector<AudioObjectID>{hw.ownProcessObject()});
    ASSERT_EQ(hw.aggregateIDs().size(), 1u);
    EXPECT_EQ(hw.aggregateDescription(hw.aggregateIDs()[0]),
              TapEngine::captureDescription(targets, tap.uuid));

    // Players are told how late the tap's sound leaves the speakers, and again whenever a delay
    // moves: the latest of each one's delay plus the latency it reports of itself (a: 0 + 10 ms,
    // b: 37.5 + 40 ms, c: 120 + 5 ms; then c: 0 + 5 ms).
    const auto told = [&] {
        return uint32Property(hw, hw.tapIDs()[0], sel::latency, scope::output);
    };
    EXPECT_EQ(told(), 6000u);
    engine.setDelay(2, 0);
    EXPECT_EQ(told(), 3720u);
    engine.play(Offsets({{"a", 0.0}, {"b", 37.5}, {"c", 120.0}}));
    EXPECT_EQ(told(), 6000u);

    // Time stands still from here, so a busy machine cannot push the impulse out of the capture.
    hw.stopWorld();
    const std::int64_t at = hw.frame() + 48000;
    hw.setSystemSource([at](std::int64_t frame, float* stereo, int frames) {
        for (int f = 0; f < frames; ++f)
            stereo[2 * f] = stereo[2 * f + 1] = frame + f == at ? 0.5f : 0.0f;
    });
    const std::int64_t first = hw.captureListening(2 * 48000);
    hw.step(2 * 48000 / hw.bufferFrames() + 2);
    engine.stop();

    std::vector<std::int64_t> heard;
    const auto samples = hw.listeningCapture().second;
    for (std::size_t i = 0; i < samples.size(); ++i)
        if (std::fabs(samples[i]) > 0.01f) heard.push_back(first + std::int64_t(i));
    // Engine delays round(ms / 1000 * 48000): 0, 1800 and 5760 frames. The default output's own
    // arrival (at + its room delay) must be missing: the tap mutes the source while it is read.
    std::vector<std::int64_t> expected = {at + *hw.roomDelayFrames("a"),
                                          at + *hw.roomDelayFrames("b") + 1800,
                                          at + *hw.roomDelayFrames("c") + 5760};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(heard, expected);
    expectNothingLeft(hw, engine);
    EXPECT_EQ(noAlloc.count(), 0u) << "the render callback allocated";
}

TEST(TapEngineStart, EachFailureReportsItsStatusAndLeavesNothingInstalled) {
    struct Case {
        std::optional<sim::Call> call;
        OSStatus status;
        std::vector<std::string> targets;
        std::string error;
    };
    using enum sim::Call;
    const Case cases[] = {
        {std::nullopt, 0, {}, "no fan-out devices"},
        {createTap, -50, {"a"}, "tap creation failed (OSStatus -50)"},
        {createTap, 0, {"a"}, "tap creation failed (OSStatus 0)"},
        {createAggregate, -10851, {"a", "b"}, "aggregate creation failed (OSStatus -10851)"},
        {createIOProc,
         status::badDevice,
         {"a", "b"},
         "IOProc creation failed (OSStatus 560227702)"},
        {createIOProc, 0, {"a"}, "IOProc creation failed (OSStatus 0)"},  // no id handed back
        {deviceStart, -1, {"a"}, "device start failed (OSStatus -1)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        sim::SimAudioSystem hw(quietRoom({speaker("a"), speaker("b")}),
                               {.speed = 1000, .startWorld = false});
        ManualMainQueue mq;
        TapEngine engine(hw, mq);
        // A running installation first: the failing start must remove it too.
        ASSERT_EQ(startAndWait(engine, mq, devs(hw, {"a", "b"}), {}, 1), true);
        if (c.call) hw.injectFault({.call = *c.call, .status = c.status});
        EXPECT_EQ(startAndWait(engine, mq, devs(hw, c.targets), {}, 2), false);
        EXPECT_EQ(engine.lastError(), c.error);
        expectNothingLeft(hw, engine);

        hw.clearFaults();
        EXPECT_EQ(startAndWait(engine, mq, devs(hw, {"a"}), {}, 3), true);
        EXPECT_EQ(engine.lastError(), std::nullopt);
    }
}

TEST(TapEngineStop, AStopDuringAStartWaitsForItAndRemovesWhatItBuilt) {
    sim::SimAudioSystem hw(quietRoom({speaker("a")}), {.speed = 40, .startWorld = true});
    ManualMainQueue mq;
    TapEngine engine(hw, mq);
    std::optional<bool> result;
    engine.start(std::nullopt, devs(hw, {"a"}), {}, 5, [&](bool ok) { result = ok; });
    engine.stop();
    expectNothingLeft(hw, engine);
    // The completion still arrives, with the start's own result.
    ASSERT_TRUE(mq.runUntil([&] { return result.has_value(); }, 20));
    EXPECT_TRUE(*result);
    expectNothingLeft(hw, engine);
}

TEST(TapEngineStop, StopIfRunRemovesOnlyItsOwnInstallation) {
    sim::SimAudioSystem hw(quietRoom({speaker("a"), speaker("b")}),
                           {.speed = 1000, .startWorld = false});
    ManualMainQueue mq;
    TapEngine engine(hw, mq);
    ASSERT_EQ(startAndWait(engine, mq, devs(hw, {"a"}), {}, 7), true);
    ASSERT_EQ(startAndWait(engine, mq, devs(hw, {"a", "b"}), {}, 8), true);
    // The restart replaced the first installation rather than adding to it.
    const auto installed = [&] {
        return std::tuple(hw.tapIDs().size(), hw.aggregateIDs().size(), hw.ioProcCount(),
                          hw.runningIOProcCount());
    };
    EXPECT_EQ(installed(), std::tuple(1u, 1u, 1u, 1u));
    engine.stopIfRun(7);
    EXPECT_EQ(installed(), std::tuple(1u, 1u, 1u, 1u));
    EXPECT_EQ(engine.installedRun(), 8u);
    engine.stopIfRun(8);
    expectNothingLeft(hw, engine);
}

TEST(TapEngineStart, CaptureAggregateClocksFromTheFirstBuiltInSpeaker) {
    const Dev bt1{1, "B1", "bt1", transport::bluetooth}, bt2{2, "B2", "bt2", transport::bluetooth};
    const Dev usb{3, "U", "usb", transport::usb}, builtIn{4, "I", "in", transport::builtIn};
    EXPECT_EQ(TapEngine::captureDescription({bt1, bt2, builtIn}, "TAP-UUID"),
              (AggregateDescription{.name = "Housetone capture",
                                    .uid = "com.mirelo.housetone.capture",
                                    .isPrivate = 1,
                                    .master = "in",
                                    .subdevices = {{"bt1", 1}, {"bt2", 1}, {"in", 0}},
                                    .taps = std::vector<SubdeviceRecord>{{"TAP-UUID", 1}},
                                    .tapAutoStart = 1}));
    EXPECT_EQ(TapEngine::captureDescription({usb, bt1}, "T").master, "usb");
    EXPECT_EQ(TapEngine::captureDescription({usb, builtIn, bt1}, "T").master, "in");
}

TEST(TapEngineParameters, DelaysAreConvertedAtTheTapsRateAndHeldWithinTheDelayLine) {
    const std::string measured = "02-5E-11-A4-37-C9:output";
    sim::SimAudioSystem hw(quietRoom({speaker("a"), speaker(measured), speaker("c")}),
                           {.speed = 1000, .startWorld = false});
    ManualMainQueue mq;
    TapEngine engine(hw, mq);
    engine.setDelay(2, 100);  // before the start: 44.1 kHz until the tap's rate is known
    EXPECT_EQ(engine.delayFrames(2), 4410);
    ASSERT_EQ(startAndWait(engine, mq, devs(hw, {"a", measured, "c"}),
                           Offsets({{"a", -20}, {measured, 7000}}), 1),
              true);
    EXPECT_EQ(engine.rate(), 48000.0);
    EXPECT_EQ(std::tuple(engine.delayFrames(0), engine.delayFrames(1), engine.delayFrames(2)),
              std::tuple(0, 240000, 0))
        << "a target without an offset starts undelayed";
    const std::pair<double, std::int32_t> delays[] = {{10.0, 480},    {0.0104, 0}, {0.0105, 1},
                                                      {7000, 240000}, {-5, 0},     {NAN, 0}};
    for (const auto& [ms, frames] : delays) {
        engine.setDelay(0, ms);
        EXPECT_EQ(engine.delayFrames(0), frames) << ms << " ms";
    }

    engine.stop();
}

}  // namespace
}  // namespace housetone
