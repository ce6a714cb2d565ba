// The render callback driven by hand: the engine is started on a simulated world that runs no
// callbacks itself, then each test hands the callback buffer lists of its own making.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <numbers>

#include "audio/sim/sim_audio_system.h"
#include "engine/tap_engine.h"
#include "engine/tone_chain.h"
#include "platform/manual_main_queue.h"
#include "platform/realtime.h"
#include "support/alloc_hook.h"
#include "support/engine_start.h"

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
    // `uids` name the speakers in order where given.
    void start(const std::vector<int>& channels, const std::vector<double>& delayFrames = {},
               const std::vector<std::string>& uids = {}) {
        sim::RoomSpec room;
        room.systemAudio = "silence";
        for (std::size_t i = 0; i < channels.size(); ++i) {
            const std::string uid = i < uids.size() ? uids[i] : "d" + std::to_string(i);
            room.outputs.push_back({.name = uid, .uid = uid, .channels = channels[i]});
            if (i < delayFrames.size()) offsets[uid] = delayFrames[i] / 48.0;
        }
        hw = std::make_unique<sim::SimAudioSystem>(room, sim::SimOptions{1000, false});
        for (const auto& o : room.outputs)
            targets.push_back({*hw->idForUID(o.uid), o.uid, o.uid});
        engine = std::make_unique<TapEngine>(*hw, mq);
        restart();
    }
    // A new installation on the same engine; its write head starts again at 0.
    void restart() {
        ASSERT_EQ(testsupport::startAndWait(*engine, mq, targets, Offsets(offsets)), true);
        pos = 0;
    }

    // One callback cycle, with `inChannels` 0 for an empty input list. Input frames (inFrames of
    // them) continue the signal from the last cycle's position.
    void cycle(std::vector<Out>& outs, std::uint32_t inChannels = 2) {
        std::vector<float> in;
        for (std::uint32_t k = 0; k < inFrames * inChannels; ++k)
            in.push_back(source(pos + k / inChannels, int(k % inChannels)));
        BufferListStorage inList(inChannels ? 1 : 0);
        if (inChannels)
            inList.list()->buffers()[0] = {inChannels, inFrames * inChannels * 4, in.data()};
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
        if (inChannels) pos += inFrames;
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
    std::vector<Dev> targets;
    std::map<std::string, double> offsets;
    std::int64_t pos = 0;  // absolute position of the next input frame
    std::uint32_t inFrames = kFrames;
    std::function<float(std::int64_t, int)> source = [](std::int64_t p, int side) {
        return sig(p, side);
    };
};

TEST_F(RenderPath, EachSpeakerPlaysAtItsDelayAcrossTheRingsWrapRepeatsWithoutInputRestartsFresh) {
    start({2, 2}, {0, 1000});
    std::vector<Out> outs;
    for (std::int64_t k = 0; k < TapEngine::cap / kFrames + 2; ++k) {
        outs = {buffer(2), buffer(2)};
        cycle(outs);
        expectPlays(outs[0], 0, pos - kFrames, 0);
        expectPlays(outs[1], 0, pos - kFrames, 1000);  // silence first, then 1000 frames late
    }
    // What listening reads back: both sides' mean, once no later cycle can change it and while
    // the ring still holds it.
    const std::int64_t settled =
        engine->tappedFrames() - TapEngine::concealFrames - TapEngine::holeFrames;
    std::vector<float> mono(64);
    ASSERT_TRUE(engine->copyTapped(settled - 64, 64, mono.data()));
    for (std::int64_t i = 0; i < 64; ++i)
        ASSERT_EQ(mono[i], 0.5f * (sig(settled - 64 + i, 0) + sig(settled - 64 + i, 1)));
    EXPECT_FALSE(engine->copyTapped(settled - 63, 64, mono.data()));
    EXPECT_FALSE(engine->copyTapped(0, 64, mono.data()));  // written over since
    std::vector<Out> again = {buffer(2), buffer(2)};
    cycle(again, 0);
    EXPECT_TRUE(again[0].s == outs[0].s && again[1].s == outs[1].s) << "a cycle without input";
    // The ring still holds the old run's frames; the delayed speaker must not play them.
    restart();
    outs = {buffer(2), buffer(2)};
    cycle(outs);
    expectPlays(outs[0], 0, 0, 0);
    expectPlays(outs[1], 0, 0, 1000);
}

TEST_F(RenderPath, ALostCycleIsFadedOutAndBackInWhereItCanBeAndARealPauseEndsCrisply) {
    start({2, 2}, {0, 2048});
    // Silence at first; then a steady loud sound, one cycle lost in it; later a pause longer than
    // any lost cycle.
    const std::int64_t hole = 8 * kFrames, pause = 16 * kFrames, resume = pause + 20 * kFrames;
    source = [&](std::int64_t p, int) {
        const bool quiet =
            p < kFrames || (p >= hole && p < hole + kFrames) || (p >= pause && p < resume);
        return quiet ? 0.0f : 0.5f;
    };
    std::vector<float> now, late;  // what the reference and the waiting speaker play, left side
    while (pos < resume + 2048 + 2 * kFrames) {
        std::vector<Out> outs = {buffer(2), buffer(2)};
        cycle(outs);
        for (std::uint32_t f = 0; f < kFrames; ++f) {
            now.push_back(outs[0].at(f, 0));
            late.push_back(outs[1].at(f, 0));
        }
    }
    const auto step = [](const std::vector<float>& v, std::int64_t at) {
        return std::fabs(v[std::size_t(at)] - v[std::size_t(at - 1)]);
    };
    // The waiting speaker: no step anywhere around the lost cycle, yet the hole is still there
    // (nothing is made up); the reference could not be warned, but comes back softly.
    float worst = 0;
    for (std::int64_t p = hole - 400; p < hole + kFrames + 400; ++p)
        worst = std::max(worst, step(late, p + 2048));
    EXPECT_LT(worst, 0.01f);
    EXPECT_EQ(late[std::size_t(hole + kFrames / 2 + 2048)], 0.0f);
    EXPECT_EQ(late[std::size_t(hole - 400 + 2048)], 0.5f);
    EXPECT_EQ(now[std::size_t(hole)], 0.0f);
    EXPECT_LT(step(now, hole + kFrames), 0.01f);
    // After a real pause, or a short silence that followed no sound, the sound starts as it was
    // played, on every speaker.
    EXPECT_EQ(now[std::size_t(kFrames)], 0.5f);
    EXPECT_EQ(now[std::size_t(resume)], 0.5f);
    EXPECT_EQ(late[std::size_t(resume + 2048)], 0.5f);
    EXPECT_EQ(late[std::size_t(resume + 2048 + 300)], 0.5f);
}

// Sound that stops inside a buffer is an ending, not a lost cycle: every sample of that buffer
// counts, so the waiting speaker plays it as it was played, up to its last sample. The sound is
// two frames on, two off, so that no frame's place in the buffer goes unread.
TEST_F(RenderPath, SoundThatEndsInsideABufferEndsAsItWasPlayed) {
    start({2, 2}, {0, 2048});
    const std::int64_t end = 3 * kFrames - 100;
    const auto sound = [&](std::int64_t p) { return p < end && (p & 2) ? 0.5f : 0.0f; };
    source = [&](std::int64_t p, int) { return sound(p); };
    std::vector<float> late;
    while (pos < end + 2048 + 2 * kFrames) {
        std::vector<Out> outs = {buffer(2), buffer(2)};
        cycle(outs);
        for (std::uint32_t f = 0; f < kFrames; ++f)
            late.push_back(outs[1].at(f, 0));
    }
    for (std::int64_t p = 0; p < end + 400; ++p)
        ASSERT_EQ(late[std::size_t(p + 2048)], sound(p)) << p;
}

// A speaker without output channels still holds one channel number.
TEST_F(RenderPath, ChannelsAreNumberedAcrossBuffersAndAFourChannelSpeakerPlaysLeftRightTwice) {
    start({4, 0, 2}, {0, 0, 100});
    std::vector<Out> outs = {buffer(4), buffer(1), buffer(2)};
    cycle(outs);
    expectPlays(outs[0], 0, pos - kFrames, 0);
    expectPlays(outs[0], 2, pos - kFrames, 0);
    expectPlays(outs[2], 0, pos - kFrames, 100);  // channel numbers 5 and 6

    // A buffer without data, or without a whole frame, still counts its channels.
    outs = {buffer(4, kFrames, false), buffer(1), buffer(2), buffer(3)};
    cycle(outs);
    expectPlays(outs[2], 0, pos - kFrames, 100);
    for (float v : outs[3].s)
        ASSERT_EQ(v, 0.0f) << "channels the map does not cover";
    outs = {buffer(4, 0), buffer(1), buffer(2)};
    outs[0].bytes = 4;
    cycle(outs);
    EXPECT_EQ(outs[0].s[0], 9.0f);
    expectPlays(outs[2], 0, pos - kFrames, 100);
}

// Each channel runs its side's tone chain on that side's sample and the mono mix, in channel
// order on one state per side, its gain smoothing carried from channel to channel, as the chain
// alone computes it: a four-channel speaker's channels 0-1 share a stereo buffer, 2 and 3 have one
// each. A shorter buffer plays only its own frames.
TEST_F(RenderPath, EachChannelRunsItsSidesToneChainInChannelOrder) {
    start({4, 2});
    engine->setBass(0, 48000, 6.0f, 140, 48, 160);
    engine->setGain(0, 2.0f);
    auto chain = std::make_unique<ToneStores>();
    housetone::setBass(*chain, 0, 48000, 6.0f, 140, 48, 160);
    housetone::setGain(*chain, 0, 2.0f);
    double sumSq = 0;
    std::vector<Out> outs;
    for (int k = 0; k < 4; ++k) {
        outs = {buffer(2), buffer(1), buffer(1), buffer(2, kFrames / 2)};
        cycle(outs);
        std::vector<float> sides[2], mono, want(kFrames);
        for (std::uint32_t f = 0; f < kFrames; ++f) {
            const float l = sig(pos - kFrames + f, 0), r = sig(pos - kFrames + f, 1);
            sides[0].push_back(l);
            sides[1].push_back(r);
            mono.push_back(0.5f * (l + r));
            sumSq += double(l) * l + double(r) * r;
        }
        const std::pair<std::size_t, std::size_t> bufferAndChannel[] = {
            {0, 0}, {0, 1}, {1, 0}, {2, 0}};
        for (int ch = 0; ch < 4; ++ch) {
            processToneBufferRt(*chain, 0, ch % 2, sides[ch % 2].data(), mono.data(), want.data(),
                                1, kFrames);
            const auto [b, c] = bufferAndChannel[ch];
            for (std::uint32_t f = 0; f < kFrames; ++f)
                ASSERT_FLOAT_EQ(outs[b].at(f, c), want[f]) << k << " " << ch << " " << f;
        }
        for (std::uint32_t f = 0; f < kFrames / 2; ++f)
            for (int side : {0, 1})
                ASSERT_EQ(outs[3].at(f, std::size_t(side)), sig(pos - kFrames / 2 + f, side)) << f;
    }
    const auto m = engine->readMeter();
    EXPECT_NEAR(m.rms, std::sqrt(sumSq / (2 * 4 * kFrames)), 1e-7);
    EXPECT_EQ(m.cycles, 4);
    EXPECT_EQ(m.frames, std::int64_t{4 * kFrames});
    EXPECT_EQ(engine->readMeter().cycles, 0);  // reading resets it

    outs = {buffer(4), buffer(2)};  // a mono tap feeds both sides
    cycle(outs, 1);
    for (std::uint32_t f = 0; f < kFrames; ++f) {
        ASSERT_EQ(outs[1].at(f, 0), sig(pos - kFrames + f));
        ASSERT_EQ(outs[1].at(f, 1), sig(pos - kFrames + f));
    }
}

// Delay changes are played as crossfades: on a steady sine the sound never steps further than the
// sine itself does from one sample to the next, and every lane of the moving speaker (four
// channels: 0-1 in one buffer, 2 and 3 in one each) fades alike while the other plays on untouched.
// A change made during a fade starts from the sound as it is, at once; of a burst, the last stays.
TEST_F(RenderPath, DelayChangesAreCrossfadesThatStartAtOnceAndEndOnTheLastDelayAlone) {
    source = [](std::int64_t p, int side) {  // 1 kHz
        return p < 0 ? 0.0f : float(0.5 * std::sin(std::numbers::pi * double(p) / 24 + side));
    };
    // The sine's largest step between two samples, and a little for the fade's own slope.
    const float sineStep = 1.1f * float(std::sin(std::numbers::pi / 48));
    start({4, 2}, {0, 100});
    std::vector<float> heard[6];     // d0's four channels, then d1's two
    std::vector<std::int64_t> when;  // the absolute output frame of each sample
    const auto play = [&](int cycles, std::uint32_t frames = kFrames) {
        inFrames = frames;
        for (int k = 0; k < cycles; ++k) {
            std::vector<Out> outs = {buffer(2, frames), buffer(1, frames), buffer(1, frames),
                                     buffer(2, frames)};
            cycle(outs);
            const std::pair<std::size_t, std::size_t> at[] = {{0, 0}, {0, 1}, {1, 0},
                                                              {2, 0}, {3, 0}, {3, 1}};
            for (std::uint32_t f = 0; f < frames; ++f) {
                for (std::size_t c = 0; c < 6; ++c)
                    heard[c].push_back(outs[at[c].first].at(f, at[c].second));
                when.push_back(pos - frames + f);
            }
        }
    };
    const auto moveTo = [&](std::int32_t frames) { engine->setDelay(0, frames / 48.0); };
    // The first index from which d0 plays exactly what arrived d frames earlier.
    const auto settledOn = [&](std::int32_t d) {
        std::size_t i = when.size();
        while (i > 0 && heard[0][i - 1] == source(when[i - 1] - d, 0) &&
               heard[1][i - 1] == source(when[i - 1] - d, 1))
            --i;
        return i;
    };

    play(1);
    const std::size_t changed = when.size();
    moveTo(72);  // 1.5 ms: a half period of the sine, so that a jump would be the largest step
    play(3);
    // Heard from the next frame on, gone 10 to 20 ms later, then the new delay's samples exactly.
    const std::size_t fade = settledOn(72) - changed;
    EXPECT_TRUE(fade >= 480 && fade <= 960) << fade;
    // Back, and forward again while the way back is faded in: the way forward starts at once.
    moveTo(0);
    play(1);
    const std::size_t forward = when.size();
    moveTo(72);
    play(3);
    EXPECT_LE(settledOn(72), forward + fade);
    // A burst, one change every 125 frames, more than are faded in at once.
    for (const std::int32_t d : {30, 140, 0, 96, 50, 120}) {
        moveTo(d);
        play(1, 125);
    }
    play(12, 125);
    EXPECT_LT(settledOn(120), when.size() - 125);

    // Past the sine's onset (a step of its own), d0 never steps further than the sine does.
    for (std::size_t i = 1; i < when.size(); ++i) {
        for (std::size_t c = 0; c < 4 && i > kFrames; ++c)
            ASSERT_LE(std::fabs(heard[c][i] - heard[c][i - 1]), sineStep) << c << " at " << when[i];
        ASSERT_TRUE(heard[2][i] == heard[0][i] && heard[3][i] == heard[1][i]) << when[i];
        for (int side : {0, 1})
            ASSERT_EQ(heard[4 + side][i], source(when[i] - 100, side)) << when[i];
    }
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

// A speaker with a measured correction gets it; any other the default crisp. The UID given to
// setCrisp chooses, else the UID of the target at that index.
TEST_F(RenderPath, CrispFollowsTheUidItIsGivenElseItsTargetsUid) {
    const std::string measured = "02-5E-11-A4-37-C9:output";
    start({2, 2, 2}, {}, {"a", measured, "c"});
    engine->setCrisp(0, measured, 48000, 1.0f);
    engine->setCrisp(1, std::nullopt, 48000, 1.0f);
    engine->setCrisp(2, std::nullopt, 48000, 1.0f);
    double apart = 0, alike = 0;
    for (int k = 0; k < 8; ++k) {
        std::vector<Out> outs{buffer(6)};
        cycle(outs);
        for (std::uint32_t f = 0; f < kFrames; ++f) {
            alike = std::max(alike, double(std::fabs(outs[0].at(f, 0) - outs[0].at(f, 2))));
            apart = std::max(apart, double(std::fabs(outs[0].at(f, 0) - outs[0].at(f, 4))));
        }
    }
    EXPECT_EQ(alike, 0.0) << "the given UID and the target's UID choose the same correction";
    EXPECT_GT(apart, 0.01) << "the measured correction and the default crisp sound alike";
}

// The delay line holds the longest offset at the highest rate a start accepts, fed the longest
// buffers; a tap any faster is refused rather than played with delays the ring cannot hold.
TEST(RenderRing, TheLongestOffsetPlaysInFullAtTheHighestRateAndAFasterTapIsRefused) {
    const auto room = [](double rate) {
        sim::RoomSpec r;
        r.systemAudio = "silence";
        r.sampleRate = rate;
        r.outputs = {{.name = "now", .uid = "now"}, {.name = "late", .uid = "late"}};
        return r;
    };
    ManualMainQueue mq;
    sim::SimAudioSystem hw(room(TapEngine::maxRate), {1000, false});
    const std::vector<Dev> targets = {{*hw.idForUID("now"), "now", "now"},
                                      {*hw.idForUID("late"), "late", "late"}};
    TapEngine engine(hw, mq);
    ASSERT_EQ(testsupport::startAndWait(engine, mq, targets, Offsets({{"late", Offsets::limitMs}})),
              true);
    const auto d = std::int64_t(std::lround(Offsets::limitMs / 1000 * TapEngine::maxRate));
    ASSERT_EQ(engine.delayFrames(1), d);

    // Every position its own sample: a power-of-two scale keeps the integers exact in a float.
    const auto at = [](std::int64_t p) { return p < 0 ? 0.0f : float(p) / float(1 << 22); };
    const auto n = std::uint32_t(TapEngine::maxBufferFrames);
    std::vector<float> in(2 * n), out(2 * 2 * n);
    std::int64_t pos = 0;
    while (pos < d + 2 * n) {
        for (std::uint32_t f = 0; f < n; ++f)
            in[2 * f] = in[2 * f + 1] = at(pos + f);
        BufferListStorage inList(1), outList(2);
        inList.list()->buffers()[0] = {2, n * 8, in.data()};
        outList.list()->buffers()[0] = {2, n * 8, out.data()};
        outList.list()->buffers()[1] = {2, n * 8, out.data() + 2 * n};
        TapEngine::renderRt(0, nullptr, inList.list(), nullptr, outList.list(), nullptr, &engine);
        pos += n;
    }
    for (std::uint32_t f = 0; f < n; ++f)
        ASSERT_EQ(out[2 * n + 2 * f], at(pos - n + f - d)) << "frame " << f;
    engine.stop();

    sim::SimAudioSystem fast(room(2 * TapEngine::maxRate), {1000, false});
    TapEngine refused(fast, mq);
    EXPECT_EQ(testsupport::startAndWait(refused, mq,
                                        {{*fast.idForUID("now"), "now", "now"},
                                         {*fast.idForUID("late"), "late", "late"}}),
              false);
    EXPECT_EQ(refused.lastFailedStep(), TapEngine::Step::tap);
    EXPECT_EQ(refused.tapID(), 0u);
    EXPECT_TRUE(fast.tapIDs().empty() && fast.aggregateIDs().empty());  // nothing left behind
}

}  // namespace
}  // namespace housetone
