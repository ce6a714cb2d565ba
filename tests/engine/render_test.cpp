// The render callback driven by hand: the engine is started on a simulated world that runs no
// callbacks itself, then each test hands the callback buffer lists of its own making.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "audio/sim/sim_audio_system.h"
#include "engine/tap_engine.h"
#include "platform/manual_main_queue.h"
#include "platform/realtime.h"
#include "support/alloc_hook.h"

namespace housetone {
namespace {

constexpr std::uint32_t kFrames = 512;

// Distinct, exactly representable samples per absolute position and side, inside [-1, 1], so
// that with every effect off an output sample names the position and side it came from.
float sig(std::int64_t p, int side = 0) {
    return p < 0 ? 0.0f : float((p * (side ? 53 : 37) + side * 11) % 1000) / 1024.0f - 0.5f;
}

struct Out {
    std::uint32_t channels = 2;
    std::uint32_t bytes = kFrames * 2 * 4;
    bool hasData = true;
    std::vector<float> s;  // prefilled with 9: a sample the engine never writes
    float at(std::size_t frame, std::size_t ch) const { return s[frame * channels + ch]; }
};

Out buffer(std::uint32_t channels, std::uint32_t frames = kFrames, bool hasData = true) {
    Out o{channels, frames * channels * 4, hasData};
    o.s.assign(std::max<std::size_t>(o.bytes / 4, 1), 9.0f);
    return o;
}

class RenderPath : public ::testing::Test {
  protected:
    // Speakers by channel count, named d0, d1, ...; delays in frames at 48 kHz.
    void start(const std::vector<int>& channels, const std::vector<double>& delayFrames = {}) {
        sim::RoomSpec room;
        room.systemAudio = "silence";
        std::vector<Dev> targets;
        std::map<std::string, double> offsets;
        for (std::size_t i = 0; i < channels.size(); ++i) {
            const std::string uid = "d" + std::to_string(i);
            room.outputs.push_back({.name = uid, .uid = uid, .channels = channels[i]});
            if (i < delayFrames.size()) offsets[uid] = delayFrames[i] / 48.0;
        }
        hw = std::make_unique<sim::SimAudioSystem>(room, sim::SimOptions{1000, false});
        for (const auto& o : room.outputs)
            targets.push_back({*hw->idForUID(o.uid), o.uid, o.uid});
        engine = std::make_unique<TapEngine>(*hw, mq);
        std::optional<bool> ok;
        engine->start(std::nullopt, targets, offsets, 1, [&](bool r) { ok = r; });
        ASSERT_TRUE(mq.runUntil([&] { return ok.has_value(); }, 20) && *ok);
    }

    // One callback cycle, with `inChannels` 0 for an empty input list. Input frames continue the
    // signal from the last cycle's position.
    void cycle(std::vector<Out>& outs, std::uint32_t inChannels = 2) {
        std::vector<float> in;
        for (std::uint32_t k = 0; k < kFrames * inChannels; ++k)
            in.push_back(sig(pos + k / inChannels, int(k % inChannels)));
        BufferListStorage inList(inChannels ? 1 : 0);
        if (inChannels)
            inList.list()->buffers()[0] = {inChannels, kFrames * inChannels * 4, in.data()};
        BufferListStorage outList(std::uint32_t(outs.size()));
        for (std::size_t b = 0; b < outs.size(); ++b)
            outList.list()->buffers()[b] = {outs[b].channels, outs[b].bytes,
                                            outs[b].hasData ? outs[b].s.data() : nullptr};
        testsupport::NoRealtimeAllocations noAlloc;
        {
            RealtimeScope rt;
            EXPECT_EQ(TapEngine::renderRt(0, nullptr, inList.list(), nullptr, outList.list(),
                                          nullptr, engine.get()),
                      noErr);
        }
        EXPECT_EQ(noAlloc.count(), 0u);
        if (inChannels) pos += kFrames;
    }

    // Frame f of a stereo speaker delayed by d plays what arrived d frames before it.
    void expectPlays(const Out& o, std::size_t ch0, std::int64_t from, std::int64_t d) {
        for (std::uint32_t f = 0; f < kFrames; ++f)
            for (int side : {0, 1})
                ASSERT_EQ(o.at(f, ch0 + side), sig(from + f - d, side)) << "frame " << f;
    }

    ManualMainQueue mq;
    std::unique_ptr<sim::SimAudioSystem> hw;
    std::unique_ptr<TapEngine> engine;
    std::int64_t pos = 0;  // absolute position of the next input frame
};

TEST_F(RenderPath, EachSpeakerPlaysTheArrivingFramesAtItsOwnDelayAndRepeatsWithoutInput) {
    start({2, 2}, {0, 1000});
    std::vector<Out> outs;
    for (int k = 0; k < 4; ++k) {
        outs = {buffer(2), buffer(2)};
        cycle(outs);
        expectPlays(outs[0], 0, pos - kFrames, 0);
        expectPlays(outs[1], 0, pos - kFrames, 1000);  // silence first, then 1000 frames late
    }
    std::vector<Out> again = {buffer(2), buffer(2)};
    cycle(again, 0);
    EXPECT_EQ(again[0].s, outs[0].s);
    EXPECT_EQ(again[1].s, outs[1].s);
}

TEST_F(RenderPath, ChannelsAreNumberedAcrossBuffersAndAFourChannelSpeakerPlaysLeftRightTwice) {
    start({4, 2}, {0, 100});
    std::vector<Out> outs = {buffer(4), buffer(2)};
    cycle(outs);
    expectPlays(outs[0], 0, pos - kFrames, 0);
    expectPlays(outs[0], 2, pos - kFrames, 0);
    expectPlays(outs[1], 0, pos - kFrames, 100);  // channel numbers 4 and 5

    // A buffer without data, or without a whole frame, still counts its channels.
    outs = {buffer(4, kFrames, false), buffer(2), buffer(3)};
    cycle(outs);
    expectPlays(outs[1], 0, pos - kFrames, 100);
    for (float v : outs[2].s)
        ASSERT_EQ(v, 0.0f) << "channels the map does not cover";
    outs = {buffer(4, 0), buffer(2)};
    outs[0].bytes = 4;
    cycle(outs);
    EXPECT_EQ(outs[0].s[0], 9.0f);
    expectPlays(outs[1], 0, pos - kFrames, 100);
}

TEST_F(RenderPath, AMonoTapFeedsBothSidesAndTheMeterCountsItTwicePerFrame) {
    start({2});
    std::vector<Out> outs = {buffer(2)};
    cycle(outs, 1);
    double sum = 0;
    for (std::uint32_t f = 0; f < kFrames; ++f) {
        ASSERT_EQ(outs[0].at(f, 0), sig(f));
        ASSERT_EQ(outs[0].at(f, 1), sig(f));
        sum += double(sig(f)) * sig(f);
    }
    const auto m = engine->readMeter();
    EXPECT_NEAR(m.rms, std::sqrt(sum / kFrames), 1e-7);
    EXPECT_EQ(m.cycles, 1);
    EXPECT_EQ(m.frames, std::int64_t{kFrames});
    EXPECT_EQ(engine->readMeter().cycles, 0);  // reading resets it
}

TEST_F(RenderPath, TargetsBeyondTheSixtyFourthAreSilentAndTouchNoStore) {
    start(std::vector<int>(65, 2));
    std::vector<Out> outs(65, buffer(2));
    cycle(outs);
    expectPlays(outs[63], 0, 0, 0);
    for (float v : outs[64].s)
        ASSERT_EQ(v, 0.0f);
    const auto& stores = engine->toneStores();
    for (int i = 0; i < TapEngine::maxDevices; ++i)
        ASSERT_EQ(stores.gain[i].load(), 1.0f) << i;
    for (float v : stores.bqMem)
        ASSERT_EQ(v, 0.0f);
}

}  // namespace
}  // namespace housetone
