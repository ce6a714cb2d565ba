#include "engine/tone_chain.h"

#include <gtest/gtest.h>

#include <barrier>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "core/dev.h"
#include "platform/realtime.h"
#include "support/alloc_hook.h"

namespace housetone {
namespace {

constexpr double kRate = 48000.0;
constexpr const char* kCorrectedUid = "02-5E-11-A4-37-C9:output";
using Signal = std::vector<float>;

std::unique_ptr<ToneStores> makeStores() {
    return std::make_unique<ToneStores>();
}

Signal sine(double hz, float amp, std::size_t n, double rate = kRate) {
    Signal s(n);
    for (std::size_t i = 0; i < n; ++i)
        s[i] = amp * float(std::sin(2 * std::numbers::pi * hz * double(i) / rate));
    return s;
}

// Runs x (and mono mix m, silence when empty) through one channel in 512-frame buffers, the way
// the render loop calls the chain.
Signal run(ToneStores& s, int dev, int side, const Signal& x, Signal m = {}) {
    if (m.empty()) m.assign(x.size(), 0.0f);
    Signal out(x.size());
    for (std::size_t i = 0; i < x.size(); i += 512) {
        const std::size_t n = std::min<std::size_t>(512, x.size() - i);
        processToneBufferRt(s, dev, side, &x[i], &m[i], &out[i], 1, n);
    }
    return out;
}

double rms(const Signal& s, std::size_t from) {
    double sum = 0;
    for (std::size_t i = from; i < s.size(); ++i)
        sum += double(s[i]) * s[i];
    return std::sqrt(sum / double(s.size() - from));
}

// Level change in dB of a 0.1 sine at hz on device 0, measured over 1 s after 1 s of settling.
double gainDbAt(ToneStores& s, double hz, double rate = kRate) {
    const std::size_t n = std::size_t(2 * rate);
    const Signal x = sine(hz, 0.1f, n, rate);
    return 20 * std::log10(rms(run(s, 0, 0, x), n / 2) / rms(x, n / 2));
}

// Amplitude of the hz component of s (one DFT bin over the second half).
double amplitudeAt(const Signal& s, double hz) {
    double re = 0, im = 0;
    const std::size_t from = s.size() / 2;
    for (std::size_t i = from; i < s.size(); ++i) {
        const double w = 2 * std::numbers::pi * hz * double(i) / kRate;
        re += s[i] * std::cos(w);
        im += s[i] * std::sin(w);
    }
    return 2 * std::hypot(re, im) / double(s.size() - from);
}

bool allCoefZero(ToneStores& s, int dev, int first, int count) {
    for (int i = first; i < first + count; ++i)
        if (s.coefBlock(dev)[i].load() != 0.0f) return false;
    return true;
}

TEST(ToneChainPassThrough, WithEveryEffectOffSamplesPassUnchangedApartFromTheClip) {
    auto s = makeStores();
    EXPECT_EQ(s->gain[7].load(), 1.0f);
    EXPECT_EQ(s->gainSm[7].load(), 1.0f);
    const Signal x = {0.5f, -0.25f, 1e-3f, 1.0f, -1.0f, 1.5f, -3.0f, 0.999f};
    EXPECT_EQ(run(*s, 7, 1, x, x), (Signal{0.5f, -0.25f, 1e-3f, 1.0f, -1.0f, 1.0f, -1.0f, 0.999f}));
}

TEST(ToneChainBass, ShelfLiftsTheBandFarBelowItsCornerBySixDecibelsAndLeavesTrebleAlone) {
    auto s = makeStores();
    setBass(*s, 0, kRate, 6.0f, 4000, 50, 160);
    EXPECT_NEAR(gainDbAt(*s, 200), 6.0, 0.15);
    EXPECT_NEAR(gainDbAt(*s, 18000), 0.0, 0.1);
}

TEST(ToneChainBass, HighPassIsThreeDecibelsDownAtItsCornerAndStopsSubsonics) {
    auto s = makeStores();
    setBass(*s, 0, kRate, 6.0f, 4000, 100, 160);
    EXPECT_NEAR(gainDbAt(*s, 100), 6.0 - 3.0, 0.2);
    EXPECT_LT(gainDbAt(*s, 25), -15.0);
}

TEST(ToneChainBass, BluetoothCornersReachLowerThanBuiltInOnesAndMidrangeStaysFlat) {
    auto bt = makeStores(), builtIn = makeStores();
    const BassCorners b = bassCorners(transport::bluetooth), i = bassCorners(transport::builtIn);
    setBass(*bt, 0, kRate, bassBoostDB(true), b.shelfHz, b.highPassHz, b.lowPassHz);
    setBass(*builtIn, 0, kRate, bassBoostDB(true), i.shelfHz, i.highPassHz, i.lowPassHz);
    EXPECT_GT(gainDbAt(*bt, 80), 3.0);
    EXPECT_GT(gainDbAt(*bt, 60), gainDbAt(*builtIn, 60) + 6.0);
    EXPECT_LT(gainDbAt(*builtIn, 40), -6.0);
    EXPECT_NEAR(gainDbAt(*bt, 2000), 0.0, 0.3);
    EXPECT_NEAR(gainDbAt(*builtIn, 3000), 0.0, 0.3);
}

TEST(ToneChainBass, HarmonicsOfTheMonoMixLowBandAreAdded) {
    auto s = makeStores();
    setBass(*s, 0, kRate, 6.0f, 140, 48, 160);
    const Signal x = sine(60, 0.3f, 96000);
    EXPECT_LT(amplitudeAt(run(*s, 0, 0, x), 120), 1e-4);  // the channel itself makes none
    EXPECT_GT(amplitudeAt(run(*s, 0, 1, x, x), 120), 0.02);
    const Signal treble = sine(3000, 0.3f, 96000);
    EXPECT_LT(amplitudeAt(run(*s, 0, 1, Signal(96000), treble), 6000), 1e-3);
}

TEST(ToneChainBass, SilenceStaysSilentAndAFadedSignalLeavesNoSubnormalState) {
    auto s = makeStores();
    setBass(*s, 0, kRate, 6.0f, 140, 48, 160);
    for (float v : run(*s, 0, 0, Signal(48000), Signal(48000)))
        ASSERT_EQ(v, 0.0f);

    const Signal loud = sine(70, 0.8f, 48000);
    run(*s, 0, 0, loud, loud);
    Signal quiet;
    for (int buffer = 0; buffer < 1000; ++buffer) {  // 10.7 s
        quiet = run(*s, 0, 0, Signal(512), Signal(512));
        for (int i = 0; i < ToneStores::statePerSide; ++i)
            ASSERT_NE(std::fpclassify(s->stateBlock(0, 0)[i]), FP_SUBNORMAL) << i;
    }
    for (int i = 0; i < ToneStores::statePerSide; ++i)
        EXPECT_EQ(s->stateBlock(0, 0)[i], 0.0f);
    for (float v : quiet)
        ASSERT_EQ(v, 0.0f);
}

TEST(ToneChainBass, OneHundredthOfADecibelIsOffAndTwoHundredthsSwitchBassAndLimiterOn) {
    auto s = makeStores();
    const Signal x = {0.1f, 0.1f, 3.0f, 0.1f};
    setBass(*s, 0, kRate, 0.01f, 140, 48, 160);
    EXPECT_EQ(run(*s, 0, 0, x)[2], 1.0f);  // clip only
    EXPECT_NEAR(gainDbAt(*s, 30), 0.0, 1e-6);
    setBass(*s, 1, kRate, 0.02f, 140, 48, 160);
    EXPECT_NEAR(run(*s, 1, 0, x)[2], 0.891f, 0.02f);
    setBass(*s, 0, kRate, 0.02f, 140, 48, 160);
    EXPECT_LT(gainDbAt(*s, 30), -3.0);
}

TEST(ToneChainCorrection, PeakGivesItsGainAtItsCentreAndHalfTheDecibelsAtHalfAmount) {
    auto s = makeStores();
    const CorrStage presence[] = {{CorrStage::Peak{1.1}, 3800, 3.0}};
    const CorrStage dip[] = {{CorrStage::Peak{1.6}, 1800, -4.0}};
    setCorrection(*s, 0, presence, kRate, 1.0f);
    EXPECT_NEAR(gainDbAt(*s, 3800), 3.0, 0.05);
    EXPECT_NEAR(gainDbAt(*s, 100), 0.0, 0.05);
    setCorrection(*s, 0, presence, kRate, 0.5f);
    EXPECT_NEAR(gainDbAt(*s, 3800), 1.5, 0.05);
    setCorrection(*s, 0, dip, kRate, 1.0f);
    EXPECT_NEAR(gainDbAt(*s, 1800), -4.0, 0.05);
    setCorrection(*s, 0, dip, kRate, 0.5f);
    EXPECT_NEAR(gainDbAt(*s, 1800), -2.0, 0.05);
}

TEST(ToneChainCorrection, HighShelfGivesHalfItsGainAtTheCornerAndAllOfItHigher) {
    auto s = makeStores();
    const CorrStage shelf[] = {{CorrStage::Shelf{0.9}, 7000, 5.0}};
    setCorrection(*s, 0, shelf, kRate, 1.0f);
    EXPECT_NEAR(gainDbAt(*s, 7000), 2.5, 0.05);
    EXPECT_NEAR(gainDbAt(*s, 22000), 5.0, 0.2);
    EXPECT_NEAR(gainDbAt(*s, 300), 0.0, 0.05);
}

TEST(ToneChainCorrection, ThirdStageRunsAndFurtherStagesAreIgnored) {
    auto s = makeStores();
    const CorrStage stages[] = {{CorrStage::Peak{4}, 500, 1.0},
                                {CorrStage::Peak{4}, 2000, 2.0},
                                {CorrStage::Peak{4}, 8000, 6.0},
                                {CorrStage::Peak{4}, 12000, -6.0}};
    setCorrection(*s, 0, stages, kRate, 1.0f);
    EXPECT_NEAR(gainDbAt(*s, 8000), 6.0, 0.1);
    EXPECT_NEAR(gainDbAt(*s, 12000), 0.0, 0.6);
}

TEST(ToneChainCorrection, MeasuredCurveIsUsedOnlyForItsOwnUid) {
    auto corrected = makeStores(), other = makeStores();
    setCrisp(*corrected, 0, kCorrectedUid, std::nullopt, kRate, 1.0f);
    setCrisp(*other, 0, "AA-BB:output", std::nullopt, kRate, 1.0f);
    EXPECT_LT(gainDbAt(*corrected, 1800), -2.5);
    EXPECT_GT(gainDbAt(*other, 1800), 0.0);
    EXPECT_GT(gainDbAt(*other, 3800), 3.0);
    EXPECT_GT(gainDbAt(*corrected, 16000), 4.0);  // the third stage, the 8 kHz shelf
}

TEST(ToneChainCorrection, GivenUidWinsAndOtherwiseTheTargetsUidChoosesTheCurve) {
    auto viaTarget = makeStores(), given = makeStores(), overridden = makeStores(),
         none = makeStores();
    setCrisp(*viaTarget, 0, std::nullopt, kCorrectedUid, kRate, 1.0f);
    setCrisp(*given, 0, kCorrectedUid, std::nullopt, kRate, 1.0f);
    setCrisp(*overridden, 0, "AA-BB:output", kCorrectedUid, kRate, 1.0f);
    setCrisp(*none, 0, std::nullopt, std::nullopt, kRate, 1.0f);
    for (int i = 25; i < 40; ++i) {
        EXPECT_EQ(viaTarget->coef[i].load(), given->coef[i].load()) << i;
        EXPECT_EQ(overridden->coef[i].load(), none->coef[i].load()) << i;
    }
    EXPECT_NE(viaTarget->coef[35].load(), 0.0f);  // three stages
    EXPECT_EQ(none->coef[35].load(), 0.0f);       // two
}

TEST(ToneChainCorrection, AmountAtOneHundredthIsOffAndAboveOneActsAsOne) {
    auto s = makeStores(), one = makeStores();
    setCrisp(*s, 0, std::nullopt, std::nullopt, kRate, 0.01f);
    EXPECT_TRUE(allCoefZero(*s, 0, 25, 15));
    setCrisp(*s, 0, std::nullopt, std::nullopt, kRate, 1.5f);
    setCrisp(*one, 0, std::nullopt, std::nullopt, kRate, 1.0f);
    const Signal x = sine(5000, 0.2f, 4800);
    EXPECT_EQ(run(*s, 0, 0, x), run(*one, 0, 0, x));
}

TEST(ToneChainCorrection, TrebleStagesStayStableOnLowRateDevices) {
    for (double rate : {8000.0, 16000.0}) {
        auto s = makeStores();
        setCrisp(*s, 0, kCorrectedUid, std::nullopt, rate, 1.0f);
        setCrisp(*s, 1, std::nullopt, std::nullopt, rate, 1.0f);
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> noise(-0.1f, 0.1f);
        Signal x(std::size_t(10 * rate));
        for (float& v : x)
            v = noise(rng);
        for (int dev : {0, 1}) {
            EXPECT_LT(rms(run(*s, dev, 0, x), x.size() / 2), 4 * rms(x, 0)) << rate;
            for (int i = 0; i < ToneStores::statePerSide; ++i)
                EXPECT_LT(std::fabs(s->stateBlock(dev, 0)[i]), 1.0f) << rate << " " << i;
        }
    }
}

TEST(ToneChainLimiter, SteadyFullScalePeaksSettleAtMinusOneDecibel) {
    auto s = makeStores();
    setLimiter(*s, 0, true, kRate);
    const Signal out = run(*s, 0, 0, sine(1000, 1.0f, 48000));
    float peak = 0;
    for (std::size_t i = 24000; i < out.size(); ++i)
        peak = std::max(peak, std::fabs(out[i]));
    EXPECT_NEAR(peak, 0.891f, 0.002f);
}

TEST(ToneChainLimiter, SpikeIsCaughtInItsOwnSampleAndReleasedOverAbout150Ms) {
    auto s = makeStores();
    setLimiter(*s, 0, true, kRate);
    Signal x(48000, 0.1f);
    x[1000] = -3.0f;
    const Signal out = run(*s, 0, 0, x);
    EXPECT_EQ(out[999], 0.1f);
    EXPECT_NEAR(out[1000], -0.891f, 1e-6f);
    EXPECT_LT(out[1000 + 2400], 0.05f);  // 50 ms later, still held down
    EXPECT_EQ(out[1000 + 14400], 0.1f);  // 300 ms later, released
    setLimiter(*s, 0, false, kRate);
    EXPECT_EQ(run(*s, 0, 0, x)[1000], -1.0f);
}

TEST(ToneChainGain, SetGainClampsToZeroToFourAndIgnoresNaN) {
    auto s = makeStores();
    setGain(*s, 3, 5.0f);
    EXPECT_EQ(s->gain[3].load(), 4.0f);
    setGain(*s, 3, std::nanf(""));
    EXPECT_EQ(s->gain[3].load(), 4.0f);
    setGain(*s, 3, -1.0f);
    EXPECT_EQ(s->gain[3].load(), 0.0f);
}

// Frame at which a 1.0 -> 2.0 step reaches 63 %, for a device of `channels` channels rendered in
// 64-frame buffers (each channel a full buffer, one after the other).
std::size_t framesTo63Percent(int channels) {
    auto s = makeStores();
    setGain(*s, 0, 2.0f);
    const Signal x(64, 0.25f);
    Signal out(64);
    for (std::size_t frame = 0; frame < 10000; frame += 64) {
        for (int c = 0; c < channels; ++c) {
            processToneBufferRt(*s, 0, c, x.data(), x.data(), out.data(), 1, 64);
            for (std::size_t i = 0; i < 64; ++i)
                if (out[i] >= 0.25f * (2.0f - float(std::exp(-1.0)))) return frame + i;
        }
    }
    return 0;
}

TEST(ToneChainGain, StepCoversSixtyThreePercentIn2000FramesOnOneChannelAnd1000OnTwo) {
    const std::size_t mono = framesTo63Percent(1), stereo = framesTo63Percent(2);
    EXPECT_GT(mono, 1900u);
    EXPECT_LT(mono, 2100u);
    EXPECT_GT(stereo, 900u);
    EXPECT_LT(stereo, 1100u);
}

TEST(ToneChainStores, IndicesOutsideTheStoresChangeNothing) {
    auto s = makeStores();
    for (int index : {64, -1, 1000}) {
        setBass(*s, index, kRate, 6.0f, 140, 48, 160);
        setCrisp(*s, index, kCorrectedUid, std::nullopt, kRate, 1.0f);
        setLimiter(*s, index, true, kRate);
        setGain(*s, index, 3.0f);
    }
    for (std::size_t i = 0; i < s->coef.size(); ++i)
        ASSERT_EQ(s->coef[i].load(), 0.0f);
    for (int d = 0; d < ToneStores::maxDevices; ++d)
        ASSERT_EQ(s->gain[d].load(), 1.0f);
}

TEST(ToneChainStores, DevicesAndSidesKeepTheirOwnCoefficientsAndState) {
    auto s = makeStores();
    setBass(*s, 2, kRate, 6.0f, 4000, 50, 160);
    setGain(*s, 3, 0.5f);
    s->gainSm[3] = 0.5f;
    const Signal x = sine(200, 0.1f, 4800);
    const Signal boosted = run(*s, 2, 0, x);
    EXPECT_EQ(run(*s, 2, 1, Signal(4800)), Signal(4800));  // right side: its own, silent history
    EXPECT_GT(rms(boosted, 2400), 1.9 * rms(x, 2400));
    const Signal halved = run(*s, 3, 0, x);
    for (std::size_t i = 0; i < x.size(); ++i)
        ASSERT_EQ(halved[i], 0.5f * x[i]);
}

TEST(ToneChainRealtime, FullChainAllocatesNothing) {
    auto s = makeStores();
    setBass(*s, 0, kRate, 6.0f, 140, 48, 160);
    setCrisp(*s, 0, kCorrectedUid, std::nullopt, kRate, 1.0f);
    const Signal x = sine(100, 0.5f, 512);
    Signal out(512);
    testsupport::NoRealtimeAllocations guard;
    {
        RealtimeScope rt;
        processToneBufferRt(*s, 0, 0, x.data(), x.data(), out.data(), 1, 512);
    }
    EXPECT_EQ(guard.count(), 0u);
}

// Each round the main thread rewrites every setting of device 0 while the audio thread renders
// one buffer of it, as a settings change during playback does.
TEST(ToneChainRealtime, SettingsRewrittenWhileABufferRendersKeepTheOutputInRange) {
    auto s = makeStores();
    constexpr int kRounds = 3000;
    std::barrier round(2);
    std::thread writer([&] {
        for (int i = 0; i < kRounds; ++i) {
            const bool on = i % 2 == 0;
            round.arrive_and_wait();
            setBass(*s, 0, kRate, on ? 6.0f : 0.0f, 140, 48, 160);
            setCrisp(*s, 0, on ? kCorrectedUid : "other", std::nullopt, kRate, on ? 1.0f : 0.3f);
            setLimiter(*s, 0, on, kRate);
            setGain(*s, 0, on ? 2.0f : 1.0f);
        }
    });
    const Signal x = sine(90, 0.7f, 512);
    Signal out(512);
    int bad = 0;
    for (int i = 0; i < kRounds; ++i) {
        round.arrive_and_wait();
        processToneBufferRt(*s, 0, i & 1, x.data(), x.data(), out.data(), 1, out.size());
        for (float v : out)
            bad += !(v >= -1.0f && v <= 1.0f);
    }
    writer.join();
    EXPECT_EQ(bad, 0);
}

TEST(ToneChainSettings, ControllerValuesFollowBoostSwitchesAndTransport) {
    EXPECT_EQ(volumeBoostGain(9), 1.0f);
    EXPECT_EQ(volumeBoostGain(10), 1.41f);
    EXPECT_EQ(volumeBoostGain(19), 1.41f);
    EXPECT_EQ(volumeBoostGain(20), 2.0f);
    EXPECT_EQ(bassCorners(transport::bluetoothLE).highPassHz, 48.0);
    EXPECT_EQ(bassCorners(transport::usb).shelfHz, 220.0);
    EXPECT_FALSE(limiterWanted(0.01f, false, 1.001f));
    EXPECT_TRUE(limiterWanted(0.02f, false, 1.0f));
    EXPECT_TRUE(limiterWanted(0.0f, true, 1.0f));
    EXPECT_TRUE(limiterWanted(0.0f, false, 1.41f));
}

}  // namespace
}  // namespace housetone
