// The microphone capture and the measurement player on a simulated room whose world never runs:
// each test hands the audio callbacks buffer lists of its own making.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "audio/sim/sim_audio_system.h"
#include "platform/realtime.h"
#include "support/alloc_hook.h"
#include "support/sim_rooms.h"
#include "tune/counting_hardware.h"
#include "tune/latency_measure.h"
#include "tune/measure_session.h"
#include "tune/mic_capture.h"
#include "tune/sync_measure.h"
#include "tune/test_signals.h"

namespace housetone {
namespace {

using testsupport::quietRoom;
using testsupport::speaker;

// One buffer list over caller-owned interleaved storage.
struct Buffers {
    explicit Buffers(const std::vector<std::uint32_t>& channels, std::uint32_t frames)
        : storage(static_cast<std::uint32_t>(channels.size())), data(channels.size()) {
        for (std::size_t i = 0; i < channels.size(); ++i) {
            data[i].assign(std::max(channels[i], 1u) * frames, 0.0f);
            buffer(i) = {channels[i], static_cast<std::uint32_t>(data[i].size() * sizeof(float)),
                         data[i].data()};
        }
    }
    AudioBufferList* list() { return storage.list(); }
    AudioBuffer& buffer(std::size_t i) { return storage.list()->buffers()[i]; }
    BufferListStorage storage;
    std::vector<std::vector<float>> data;
};

// Speakers with 2, 1 and 1 + 1 output channels; the built-in one is second, so it must be the
// clock. The world stands still: only the test calls the callbacks.
class CaptureMeasure : public ::testing::Test {
  protected:
    CaptureMeasure() {
        const std::vector<sim::OutputSpec> outs{
            speaker("usb-a", {.name = "Desk"}),
            speaker("builtin", {.name = "Laptop", .transport = transport::builtIn, .channels = 1}),
            speaker("bt-c", {.name = "Headset", .transport = transport::bluetooth})};
        hw = std::make_unique<sim::SimAudioSystem>(quietRoom(outs), sim::SimOptions{1000, false});
        BufferListStorage two(2);
        two.list()->buffers()[0].mNumberChannels = two.list()->buffers()[1].mNumberChannels = 1;
        const auto* p = reinterpret_cast<const std::uint8_t*>(two.list());
        hw->setRawProperty(*hw->idForUID("bt-c"), {sel::streamConfiguration, scope::output},
                           {p, p + two.byteSize()});
        for (const auto& o : outs)
            speakers.push_back({*hw->idForUID(o.uid), o.name, o.uid, o.transport});
        mic = *hw->idForUID("mic");
    }
    // Renders `frames` frames in 512-frame calls into one interleaved `width`-channel buffer
    // pre-filled with garbage; returns the output per channel.
    std::vector<std::vector<float>> render(SyncMeasure& m, std::int64_t frames,
                                           std::uint32_t width) {
        std::vector<std::vector<float>> out(width);
        Buffers b({width}, 512);
        for (std::int64_t done = 0; done < frames; done += 512) {
            std::fill(b.data[0].begin(), b.data[0].end(), 9.0f);
            {
                RealtimeScope rt;
                SyncMeasure::renderRt(m.aggID(), nullptr, nullptr, nullptr, b.list(), nullptr, &m);
            }
            for (std::size_t i = 0; i < b.data[0].size(); ++i)
                out[i % width].push_back(b.data[0][i]);
        }
        return out;
    }
    static void capture(MicCapture& c, const AudioBufferList* in, std::uint64_t host = 0) {
        const AudioTimeStamp ts{0, host};
        RealtimeScope rt;
        MicCapture::captureRt(c.dev(), &ts, in, &ts, nullptr, &ts, &c);
    }
    // The first frame that is not zero.
    static std::int64_t onset(const std::vector<float>& x) {
        return std::find_if(x.begin(), x.end(), [](float v) { return v != 0.0f; }) - x.begin();
    }
    void expectNothingLeft() { EXPECT_TRUE(hw->ioProcCount() == 0 && hw->aggregateIDs().empty()); }

    std::unique_ptr<sim::SimAudioSystem> hw;
    std::vector<Dev> speakers;
    AudioObjectID mic = 0;
};

TEST_F(CaptureMeasure, MicCaptureKeepsTheFirstChannelInArrivalOrderUpToCapacity) {
    const auto cap = MicCapture::create(*hw, 0.6, mic);
    ASSERT_TRUE(cap && cap->start());
    EXPECT_EQ(cap->maxFrames(), 28800);
    testsupport::NoRealtimeAllocations noAlloc;
    Buffers stereo({2}, 4);
    stereo.data[0] = {-1, -100, -2, -100, -3, -100, -4, -100};
    capture(*cap, stereo.list());
    stereo.buffer(0).mDataByteSize = 7;  // less than one stereo frame
    capture(*cap, stereo.list());
    capture(*cap, nullptr);
    Buffers in({1}, 512);
    float next = 0;
    for (int call = 0; call < 60; ++call) {  // 30720 frames offered
        for (float& s : in.data[0])
            s = next++;
        capture(*cap, in.list(), 1000u + static_cast<std::uint64_t>(call));
    }
    EXPECT_EQ(noAlloc.count(), 0u);
    EXPECT_EQ(cap->lastStart(), 28800);  // the last call found the buffer full
    EXPECT_EQ(cap->lastHost(), 1059u);
    cap->stop();
    std::vector<float> expected{-1, -2, -3, -4};
    for (float v = 0; expected.size() < 28800; ++v)
        expected.push_back(v);
    EXPECT_EQ(cap->samples(), expected);

    // A new arm starts over at the next callback and stops at its own length.
    ASSERT_TRUE(cap->start());
    cap->arm(600);
    EXPECT_TRUE(cap->samples().empty());
    capture(*cap, in.list());
    capture(*cap, in.list());
    EXPECT_EQ(cap->samples().size(), 600u);
    EXPECT_EQ(cap->samples().front(), in.data[0].front());
    cap->arm(0);
    capture(*cap, in.list());
    EXPECT_TRUE(cap->samples().empty());
}

TEST_F(CaptureMeasure, StaggeredSweepsLandOnTheirSpeakersChannelsAtTheScheduledFrames) {
    SyncMeasure m(*hw);
    // An offset delays only its own speaker.
    ASSERT_TRUE(m.startStaggered(speakers, 0.8, 0.4, 1.2, {{"bt-c", 10.7}, {"other", 50.0}}));
    EXPECT_EQ(hw->aggregateDescription(m.aggID()),
              (AggregateDescription{"Housetone measure",
                                    "com.mirelo.housetone.measure",
                                    1,
                                    0,
                                    "builtin",
                                    {{"usb-a", 1}, {"builtin", 0}, {"bt-c", 1}},
                                    std::nullopt,
                                    std::nullopt}));
    EXPECT_EQ(m.devForChan(), (std::vector<std::int32_t>{0, 0, 1, 2, 2}));
    ASSERT_EQ(m.slots().size(), 3u);
    EXPECT_EQ(m.slots()[0].startFrame, 19200);
    EXPECT_EQ(m.slots()[1].startFrame, 76800);
    EXPECT_EQ(m.slots()[2].startFrame, 134400);
    // 10.7 ms × 48 kHz = 513.6 frames of delay
    EXPECT_EQ(m.totalFrames(), 187200 + 513);

    testsupport::NoRealtimeAllocations noAlloc;
    const auto out = render(m, 187904, 6);  // 367 calls: the last one crosses totalFrames
    EXPECT_EQ(noAlloc.count(), 0u);
    EXPECT_TRUE(m.done().waitUntil(hw->clock().now()));

    const auto up = makeSweep(48000, 0.8, 500, 4000, 0.45);
    const auto down = makeSweep(48000, 0.8, 4000, 500, 0.45);
    EXPECT_EQ(out[0], out[1]);  // both channels of the stereo speaker
    EXPECT_EQ(out[3], out[4]);
    EXPECT_EQ(onset(out[0]), 19201);
    EXPECT_TRUE(std::equal(up.begin(), up.end(), out[0].begin() + 19200));
    EXPECT_TRUE(std::equal(down.begin(), down.end(), out[2].begin() + 76800));
    EXPECT_TRUE(std::equal(up.begin(), up.end(), out[3].begin() + 134400 + 513));
    EXPECT_EQ(onset(out[5]), static_cast<std::int64_t>(out[5].size()));  // unmapped: silent

    render(m, 4096, 6);  // keeps running past the end without signalling again
    EXPECT_EQ(m.pos(), 187904 + 4096);
    EXPECT_FALSE(m.done().waitUntil(hw->clock().now()));

    // The next playback on the same aggregate starts at its own frame 0, and a speaker it leaves
    // out stays silent.
    const AudioObjectID agg = m.aggID();
    ASSERT_TRUE(m.startCommonSweep({speakers[2]}, {}));
    EXPECT_EQ(m.aggID(), agg);
    EXPECT_FALSE(m.finished());
    const auto again = render(m, 19200 + 38400 + 14400, 6);
    EXPECT_TRUE(m.finished() && m.done().waitUntil(hw->clock().now()));
    EXPECT_EQ(onset(again[0]), static_cast<std::int64_t>(again[0].size()));
    EXPECT_EQ(onset(again[2]), static_cast<std::int64_t>(again[2].size()));
    EXPECT_TRUE(std::equal(up.begin(), up.end(), again[3].begin() + 19200));
    // A speaker the player was not opened over cannot play on it.
    EXPECT_FALSE(m.startCommonSweep({{mic, "Mic", "mic", transport::builtIn}}, {}));
    m.stop();
    expectNothingLeft();
}

TEST_F(CaptureMeasure, AFailedMeasurementLeavesNothingBehind) {
    EXPECT_FALSE(SyncMeasure(*hw).startCommonSweep({}, {}));
    hw->injectFault({.call = sim::Call::createAggregate});
    EXPECT_TRUE(measureLatencies(*hw, mic, speakers, {}).empty());
    expectNothingLeft();  // the capture was stopped
    hw->clearFaults();
    hw->injectFault({.call = sim::Call::deviceStart});
    EXPECT_FALSE(MicCapture::create(*hw, 1.0, mic)->start());
    SyncMeasure m(*hw);
    EXPECT_FALSE(m.startCommonSweep(speakers, {}));
    EXPECT_EQ(m.aggID(), 0u);
    expectNothingLeft();

    // A microphone that records pure digital silence through the playback, then none at all.
    sim::SimAudioSystem world(quietRoom({speaker("a", {.level = 0}), speaker("b", {.level = 0})}),
                              {.speed = 1000, .startWorld = true});
    const std::vector<Dev> ab{{*world.idForUID("a"), "a", "a", transport::usb},
                              {*world.idForUID("b"), "b", "b", transport::usb}};
    EXPECT_TRUE(measureLatencies(world, std::nullopt, ab, {}).empty());
    ASSERT_TRUE(world.removeDevice("mic"));
    EXPECT_EQ(MicCapture::create(world, 1.0, std::nullopt), nullptr);
    EXPECT_TRUE(measureLatencies(world, std::nullopt, ab, {}).empty());
}

TEST(MeasureSessionInTheRoom, ItsPlayerOutlivesAMicrophoneThatWentWhoseCaptureIsMadeAgainOnReturn) {
    auto r = quietRoom({speaker("a", {.latencyMs = 10}), speaker("b", {.latencyMs = 60})});
    r.inputs[0].noiseRms = 0.002;
    sim::SimAudioSystem world(r, {.speed = testsupport::measuringSpeed(20), .startWorld = true});
    testsupport::CountingHardware hw(world);
    const std::vector<Dev> ab{{*world.idForUID("a"), "a", "a", transport::usb},
                              {*world.idForUID("b"), "b", "b", transport::usb}};
    MeasureSession session(hw, std::nullopt, ab, staggeredSeconds(2, nearReachMs));
    const auto apart = [&] {
        const auto m = measureLatencies(session, ab, {});
        return m.size() == 2 && m.at("a").heard && m.at("b").heard
                   ? m.at("b").latencyMs - m.at("a").latencyMs
                   : -1.0;
    };
    EXPECT_NEAR(apart(), 50, 1);
    ASSERT_TRUE(world.removeDevice("mic"));
    EXPECT_TRUE(measureLatencies(session, ab, {}).empty());
    world.addInput(r.inputs[0]);
    EXPECT_NEAR(apart(), 50, 1);
    EXPECT_EQ(hw.aggregatesMade, 1);
    EXPECT_EQ(hw.callbacksMade, 3);  // the player, the first capture and the one made again
    session.end();
    EXPECT_TRUE(world.ioProcCount() == 0 && world.aggregateIDs().empty());
}

}  // namespace
}  // namespace housetone
