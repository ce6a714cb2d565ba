#include "engine/tone_chain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

namespace housetone {
namespace {

constexpr double kRate = 48000.0;
constexpr const char* kCorrectedUid = "02-5E-11-A4-37-C9:output";
using Signal = std::vector<float>;

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

TEST(ToneChainBass, ShelfHighPassAndMonoHarmonicsShapeTheSoundAndAFadeLeavesZeroState) {
    auto s = std::make_unique<ToneStores>();
    setBass(*s, 0, kRate, 6.0f, 4000, 50, 160);
    EXPECT_NEAR(gainDbAt(*s, 200), 6.0, 0.15);
    EXPECT_NEAR(gainDbAt(*s, 18000), 0.0, 0.1);
    setBass(*s, 0, kRate, 6.0f, 4000, 100, 160);
    EXPECT_NEAR(gainDbAt(*s, 100), 6.0 - 3.0, 0.2);
    EXPECT_LT(gainDbAt(*s, 25), -15.0);

    // Harmonics of the mono mix's low band are added.
    setBass(*s, 0, kRate, 6.0f, 140, 48, 160);
    const Signal x = sine(60, 0.3f, 96000);
    EXPECT_LT(amplitudeAt(run(*s, 0, 0, x), 120), 1e-4);  // the channel itself makes none
    EXPECT_GT(amplitudeAt(run(*s, 0, 1, x, x), 120), 0.02);
    const Signal treble = sine(3000, 0.3f, 96000);
    EXPECT_LT(amplitudeAt(run(*s, 0, 1, Signal(96000), treble), 6000), 1e-3);

    // A faded signal leaves zero and no subnormal state or gain.
    setGain(*s, 0, 0.0f);  // the smoothed gain heads for 0 as well
    const Signal loud = sine(70, 0.8f, 48000);
    run(*s, 0, 0, loud, loud);
    for (int buffer = 0; buffer < 1000; ++buffer) {  // 10.7 s
        run(*s, 0, 0, Signal(512), Signal(512));
        for (int i = 0; i < ToneStores::statePerSide; ++i)
            ASSERT_NE(std::fpclassify(s->stateBlock(0, 0)[i]), FP_SUBNORMAL) << i;
    }
    for (int i = 0; i < ToneStores::statePerSide; ++i)
        EXPECT_EQ(s->stateBlock(0, 0)[i], 0.0f);
    EXPECT_EQ(s->gainSm[0].load(), 0.0f);
}

TEST(ToneChainCorrection, EachStageGivesItsGainAtItsFrequencyAndHalfTheDecibelsAtHalfAmount) {
    const CorrStage stages[] = {{CorrStage::Peak{1.1}, 3800, 3.0},
                                {CorrStage::Peak{1.6}, 1800, -4.0},
                                {CorrStage::Shelf{0.9}, 7000, 5.0}};
    for (const CorrStage& c : stages) {
        const double atF0 = std::holds_alternative<CorrStage::Shelf>(c.kind) ? 0.5 : 1.0;
        auto s = std::make_unique<ToneStores>();
        for (float amount : {1.0f, 0.5f}) {
            setCorrection(*s, 0, {&c, 1}, kRate, amount);
            EXPECT_NEAR(gainDbAt(*s, c.f0), amount * atF0 * c.gainDB, 0.05) << c.f0;
        }
        EXPECT_NEAR(gainDbAt(*s, 100), 0.0, 0.05) << c.f0;
    }
}

// The measured table (a 1800 Hz dip, an 8 kHz shelf) only for its UID, given or the target's;
// otherwise the default curve (a 3800 Hz presence lift).
TEST(ToneChainCorrection, MeasuredCurveIsOnlyForItsOwnUidAGivenUidWinsAndLowRatesStayStable) {
    using Uid = std::optional<std::string_view>;
    const auto gainAt = [](Uid given, Uid target, double hz) {
        auto s = std::make_unique<ToneStores>();
        setCrisp(*s, 0, given, target, kRate, 1.0f);
        return gainDbAt(*s, hz);
    };
    EXPECT_LT(gainAt(kCorrectedUid, std::nullopt, 1800), -2.5);
    EXPECT_GT(gainAt(kCorrectedUid, std::nullopt, 16000), 4.0);  // the third stage
    EXPECT_LT(gainAt(std::nullopt, kCorrectedUid, 1800), -2.5);
    EXPECT_GT(gainAt("AA-BB:output", kCorrectedUid, 1800), 0.0);
    EXPECT_GT(gainAt("AA-BB:output", std::nullopt, 3800), 3.0);

    // Treble stages stay stable on low-rate devices.
    constexpr double rate = 8000;
    auto s = std::make_unique<ToneStores>();
    setCrisp(*s, 0, kCorrectedUid, std::nullopt, rate, 1.0f);
    setCrisp(*s, 1, std::nullopt, std::nullopt, rate, 1.0f);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> noise(-0.1f, 0.1f);
    Signal x(std::size_t(10 * rate));
    for (float& v : x)
        v = noise(rng);
    for (int dev : {0, 1}) {
        EXPECT_LT(rms(run(*s, dev, 0, x), x.size() / 2), 4 * rms(x, 0)) << dev;
        for (int i = 0; i < ToneStores::statePerSide; ++i)
            EXPECT_LT(std::fabs(s->stateBlock(dev, 0)[i]), 1.0f) << dev << " " << i;
    }
}

TEST(ToneChainLimiter, SteadyPeaksSettleAtMinusOneDecibelAndASpikeIsCaughtAndReleased) {
    auto s = std::make_unique<ToneStores>();
    setLimiter(*s, 0, true, kRate);
    const Signal out = run(*s, 0, 0, sine(1000, 1.0f, 48000));
    float peak = 0;
    for (std::size_t i = 24000; i < out.size(); ++i)
        peak = std::max(peak, std::fabs(out[i]));
    EXPECT_NEAR(peak, 0.891f, 0.002f);

    setLimiter(*s, 1, true, kRate);
    Signal x(48000, 0.1f);
    x[1000] = -3.0f;
    const Signal spiked = run(*s, 1, 0, x);
    EXPECT_EQ(spiked[999], 0.1f);
    EXPECT_NEAR(spiked[1000], -0.891f, 1e-6f);  // caught in its own sample
    EXPECT_LT(spiked[1000 + 2400], 0.05f);      // 50 ms later, still held down
    EXPECT_EQ(spiked[1000 + 14400], 0.1f);      // 300 ms later, released
    setLimiter(*s, 1, false, kRate);
    EXPECT_EQ(run(*s, 1, 0, x)[1000], -1.0f);
}

// Switching off needs no usable rate: a device whose rate cannot be read still loses its effects.
TEST(ToneChainStores, GainClampsOffNeedsNoRateIndicesOutsideChangeNothingAndDevicesKeepTheirOwn) {
    auto s = std::make_unique<ToneStores>();
    setBass(*s, 0, kRate, 6.0f, 140, 48, 160);
    setCrisp(*s, 0, kCorrectedUid, std::nullopt, kRate, 1.0f);
    setBass(*s, 0, 0.0, 0.0f, 140, 48, 160);
    setCrisp(*s, 0, kCorrectedUid, std::nullopt, NAN, 0.0f);
    const std::pair<float, float> clamped[] = {{5.0f, 4.0f}, {NAN, 4.0f}, {-1.0f, 0.0f}};
    for (const auto& [gain, kept] : clamped) {
        setGain(*s, 3, gain);
        EXPECT_EQ(s->gain[3].load(), kept) << gain;
    }
    for (int index : {64, -1, 1000}) {
        setBass(*s, index, kRate, 6.0f, 140, 48, 160);
        setCrisp(*s, index, kCorrectedUid, std::nullopt, kRate, 1.0f);
        setLimiter(*s, index, true, kRate);
        setGain(*s, index, 3.0f);
    }
    for (std::size_t i = 0; i < s->coef.size(); ++i)
        ASSERT_EQ(s->coef[i].load(), 0.0f);
    for (int d = 0; d < ToneStores::maxDevices; ++d)
        ASSERT_EQ(s->gain[d].load(), d == 3 ? 0.0f : 1.0f);

    // Devices and sides keep their own coefficients and state.
    setBass(*s, 2, kRate, 6.0f, 4000, 50, 160);
    const Signal x = sine(200, 0.1f, 4800);
    const Signal boosted = run(*s, 2, 0, x);
    EXPECT_EQ(run(*s, 2, 1, Signal(4800)), Signal(4800));  // right side: its own, silent history
    EXPECT_GT(rms(boosted, 2400), 1.9 * rms(x, 2400));
    EXPECT_EQ(run(*s, 4, 0, x), x);  // another device: untouched
}

// Every combination of bass (off, on), correction (off, two stages, three), limiter (off, on) and
// gain (settled, still moving) on its own device, both sides, so each group mixes stages on and
// off. The groups hold one to eight channels (a few run as pairs spread over the lanes, the rest
// one per lane), and buffers are long, short and shorter than a pair's pipeline. Lanes and
// scalar chain get the same random input, a NaN sample included, and must agree within 1e-5 on
// every output sample (outputs lie in [-1, 1]; float rounding alone, were multiply-adds fused,
// stays far below that) and on the state and gain they leave.
TEST(ToneChainLanes, GroupsOfEverySizeMatchTheScalarChainInEveryEffectCombination) {
    constexpr int devices = 24;
    const auto configure = [](ToneStores& s) {
        for (int d = 0; d < devices; ++d) {
            if ((d / 3) & 1) setBass(s, d, kRate, 6.0f, 140, 48, 160);
            // Devices 3 to 5 count their corrections down, so that pairs meet both orders.
            const int corr = d / 3 == 1 ? 2 - d % 3 : d % 3;
            if (corr) setCrisp(s, d, corr == 2 ? kCorrectedUid : "x", std::nullopt, kRate, 0.8f);
            setLimiter(s, d, (d / 6) & 1, kRate);
            if (d >= 12) setGain(s, d, d % 2 ? 2.0f : 0.3f);
        }
    };
    auto scalar = std::make_unique<ToneStores>(), lanes = std::make_unique<ToneStores>();
    configure(*scalar);
    configure(*lanes);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const auto near = [](float a, float b) {
        return std::fabs(a - b) <= 1e-5f || (std::isnan(a) && std::isnan(b));
    };
    auto group = std::make_unique<ToneLanesRt>();
    // 48 channels. The first pairs join two devices each, so that a pair's stages differ between
    // its channels: bass in one and not the other, either way; three correction stages and two.
    constexpr int groupSizes[] = {1, 2, 2, 2, 2, 2, 2, 8, 3, 4, 5, 7, 6, 2};
    for (const std::size_t frames : {700u, 100u, 45u, 2u, 512u}) {
        std::vector<Signal> x(2 * devices, Signal(frames)), m(devices, Signal(frames));
        for (auto* signals : {&x, &m})
            for (Signal& sig : *signals)
                for (float& v : sig)
                    v = 0.7f * u(rng);
        x[5][frames / 2] = NAN;
        std::vector<Signal> want(x.size(), Signal(frames)), got = want;
        for (int ch = 0; ch < 2 * devices; ++ch)
            processToneBufferRt(*scalar, ch / 2, ch % 2, x[ch].data(), m[ch / 2].data(),
                                want[ch].data(), 1, frames);
        int first = 0;
        for (const int size : groupSizes) {
            for (int j = 0; j < size; ++j)
                addToneLaneRt(*group, *lanes, (first + j) / 2, (first + j) % 2, frames);
            for (std::size_t f0 = 0; f0 < frames; f0 += toneLaneChunk) {
                const std::size_t n = std::min(toneLaneChunk, frames - f0);
                for (std::size_t i = 0; i < n; ++i)
                    for (int j = 0; j < size; ++j) {
                        group->x[i][j] = x[first + j][f0 + i];
                        group->m[i][j] = m[(first + j) / 2][f0 + i];
                    }
                processToneLanesRt(*group, n);
                for (std::size_t i = 0; i < n; ++i)
                    for (int j = 0; j < size; ++j)
                        got[first + j][f0 + i] = group->y[i][j];
            }
            endToneLanesRt(*group, *lanes);
            first += size;
        }
        for (int ch = 0; ch < 2 * devices; ++ch)
            for (std::size_t i = 0; i < frames; ++i)
                ASSERT_PRED2(near, got[ch][i], want[ch][i]) << "channel " << ch << " frame " << i;
        for (std::size_t i = 0; i < scalar->bqMem.size(); ++i)
            ASSERT_NEAR(lanes->bqMem[i], scalar->bqMem[i], 1e-5f) << i;
        for (int d = 0; d < devices; ++d)
            ASSERT_EQ(lanes->gainSm[d].load(), scalar->gainSm[d].load()) << d;
    }
}

}  // namespace
}  // namespace housetone
