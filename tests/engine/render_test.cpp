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
float sigL(std::int64_t p) {
    return p < 0 ? 0.0f : float((p * 37) % 1000) / 1024.0f - 0.5f;
}
float sigR(std::int64_t p) {
    return p < 0 ? 0.0f : float((p * 53 + 11) % 1000) / 1024.0f - 0.5f;
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
            sim::OutputSpec o;
            o.uid = o.name = "d" + std::to_string(i);
            o.channels = channels[i];
            room.outputs.push_back(o);
            if (i < delayFrames.size()) offsets[o.uid] = delayFrames[i] / 48.0;
        }
        hw = std::make_unique<sim::SimAudioSystem>(room, sim::SimOptions{1000, false});
        for (const auto& o : room.outputs)
            targets.push_back({*hw->idForUID(o.uid), o.uid, o.uid});
        engine = std::make_unique<TapEngine>(*hw, mq);
        std::optional<bool> ok;
        engine->start(std::nullopt, targets, offsets, 1, [&](bool r) { ok = r; });
        ASSERT_TRUE(mq.runUntil([&] { return ok.has_value(); }, 20));
        ASSERT_TRUE(*ok);
    }

    // One callback cycle, with `inChannels` 0 for an empty input list. Input frames continue the
    // signal from the last cycle's position.
    void cycle(std::vector<Out>& outs, std::uint32_t inChannels = 2) {
        std::vector<float> in;
        for (std::uint32_t f = 0; f < kFrames; ++f) {
            in.push_back(sigL(pos + f));
            if (inChannels == 2) in.push_back(sigR(pos + f));
        }
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
        for (std::uint32_t f = 0; f < kFrames; ++f) {
            ASSERT_EQ(o.at(f, ch0), sigL(from + f - d)) << "frame " << f;
            ASSERT_EQ(o.at(f, ch0 + 1), sigR(from + f - d)) << "frame " << f;
        }
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
    const auto m = engine->readMeter();
    EXPECT_EQ(m.cycles, 5);
    EXPECT_EQ(m.frames, std::int64_t{4 * kFrames});
}

TEST_F(RenderPath, ChannelNumbersCountBuffersWithoutDataOrWithoutAWholeFrame) {
    start({2, 2}, {0, 100});
    std::vector<Out> outs = {buffer(2), buffer(2)};
    cycle(outs);

    outs = {buffer(2, kFrames, false), buffer(2)};
    cycle(outs);
    expectPlays(outs[1], 0, pos - kFrames, 100);

    engine->setGain(0, 2.0f);
    outs = {buffer(2, 0), buffer(2), buffer(3)};
    outs[0].bytes = 4;  // less than one frame
    cycle(outs);
    EXPECT_EQ(outs[0].s[0], 9.0f);
    EXPECT_EQ(engine->toneStores().gainSm[0].load(), 1.0f) << "no frames, no smoothing step";
    expectPlays(outs[1], 0, pos - kFrames, 100);
    for (float v : outs[2].s)
        ASSERT_EQ(v, 0.0f) << "channels the map does not cover";
}

TEST_F(RenderPath, AFourChannelSpeakerPlaysLeftRightLeftRightAndSmoothsLikeAStereoOne) {
    start({4, 2}, {0, 100});
    std::vector<Out> outs = {buffer(4), buffer(2)};
    cycle(outs);
    expectPlays(outs[0], 0, pos - kFrames, 0);
    expectPlays(outs[0], 2, pos - kFrames, 0);
    expectPlays(outs[1], 0, pos - kFrames, 100);  // channel numbers 4 and 5

    engine->setGain(0, 2.0f);
    engine->setGain(1, 2.0f);
    outs = {buffer(4), buffer(2)};
    cycle(outs);
    const float quad = engine->toneStores().gainSm[0].load();
    EXPECT_GT(quad, 1.0f);
    EXPECT_EQ(quad, engine->toneStores().gainSm[1].load());
    for (std::uint32_t f = 0; f < kFrames; ++f) {
        ASSERT_EQ(outs[0].at(f, 2), outs[0].at(f, 0));
        ASSERT_EQ(outs[0].at(f, 3), outs[0].at(f, 1));
    }
}

TEST_F(RenderPath, AMonoTapFeedsBothSidesAndTheMeterCountsItTwicePerFrame) {
    start({2});
    std::vector<Out> outs = {buffer(2)};
    cycle(outs, 1);
    double sum = 0;
    for (std::uint32_t f = 0; f < kFrames; ++f) {
        ASSERT_EQ(outs[0].at(f, 0), sigL(f));
        ASSERT_EQ(outs[0].at(f, 1), sigL(f));
        sum += double(sigL(f)) * sigL(f);
    }
    auto m = engine->readMeter();
    EXPECT_NEAR(m.rms, std::sqrt(sum / kFrames), 1e-7);
    EXPECT_EQ(m.cycles, 1);
    EXPECT_EQ(m.frames, std::int64_t{kFrames});
    m = engine->readMeter();
    EXPECT_EQ(m.rms, 0.0);
    EXPECT_EQ(m.cycles, 0);
    EXPECT_EQ(m.frames, 0);
}

TEST_F(RenderPath, TargetsBeyondTheSixtyFourthAreSilentAndTouchNoStore) {
    start(std::vector<int>(65, 2));
    std::vector<Out> outs(65, buffer(2));
    cycle(outs);
    expectPlays(outs[63], 0, 0, 0);
    for (float v : outs[64].s)
        ASSERT_EQ(v, 0.0f);
    const auto& stores = engine->toneStores();
    for (int i = 0; i < TapEngine::maxDevices; ++i) {
        ASSERT_EQ(stores.gain[i].load(), 1.0f) << i;
        ASSERT_EQ(stores.gainSm[i].load(), 1.0f) << i;
    }
    for (float v : stores.bqMem)
        ASSERT_EQ(v, 0.0f);
}

}  // namespace
}  // namespace housetone
