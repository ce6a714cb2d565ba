#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "tune/test_signals.h"

namespace housetone {
namespace {

// Frequency from the rising zero crossings in [from, to): crossings per second.
double zeroCrossingHz(const std::vector<float>& x, std::size_t from, std::size_t to, double rate) {
    std::vector<double> ups;
    for (std::size_t i = from + 1; i < to; ++i)
        if (x[i - 1] < 0 && x[i] >= 0)  // interpolate the crossing between the two samples
            ups.push_back(static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]));
    if (ups.size() < 2) return 0;
    return static_cast<double>(ups.size() - 1) / ((ups.back() - ups.front()) / rate);
}

float peakIn(const std::vector<float>& x, std::size_t from, std::size_t to) {
    float p = 0;
    for (std::size_t i = from; i < to; ++i)
        p = std::max(p, std::fabs(x[i]));
    return p;
}

TEST(MakeSweep, RunsExponentiallyEitherWayBetweenItsFrequenciesWithFiveMillisecondFades) {
    for (auto [f1, f2] : {std::pair{500.0, 4000.0}, {4000.0, 500.0}}) {
        const auto s = makeSweep(48000, 0.8, f1, f2, 0.45);
        ASSERT_EQ(s.size(), 38400u);
        EXPECT_TRUE(s[0] == 0.0f && s[38399] == 0.0f);
        // 20 ms windows at the start, the middle (geometric mean: 1414 Hz, a linear sweep would be
        // at 2250 Hz there) and the end, each a little way into the sweep.
        EXPECT_NEAR(zeroCrossingHz(s, 0, 960, 48000), f1 == 500 ? 513 : 3895, 0.02 * f1);
        EXPECT_NEAR(zeroCrossingHz(s, 18720, 19680, 48000), 1414, 20);
        EXPECT_NEAR(zeroCrossingHz(s, 37440, 38400, 48000), f2 == 500 ? 513 : 3895, 0.02 * f2);
        // Full amplitude between the fades, ramped within the first and last 240 samples.
        EXPECT_NEAR(peakIn(s, 240, 38160), 0.45f, 0.001f);
        EXPECT_LT(std::max(peakIn(s, 0, 24), peakIn(s, 38376, 38400)), 0.45f * 0.1f);
        EXPECT_GT(peakIn(s, 200, 240), 0.45f * 0.8f);
    }
    EXPECT_TRUE(makeSweep(48000, 0.00001).empty());
    EXPECT_EQ(makeSweep(16000).size(), 12800u);  // the analysis-rate template
}

// Every burst is `len` samples from its start, at zero phase; everything else is silent.
void expectBursts(const std::vector<float>& c, std::vector<std::size_t> starts, std::size_t len) {
    std::vector<bool> inBurst(c.size());
    for (std::size_t s : starts) {
        ASSERT_LE(s + len, c.size());
        EXPECT_TRUE(c[s] == 0.0f && c[s + 1] != 0.0f && c[s + len - 1] != 0.0f) << "burst at " << s;
        std::fill_n(inBurst.begin() + static_cast<std::ptrdiff_t>(s), len, true);
    }
    for (std::size_t i = 0; i < c.size(); ++i)
        ASSERT_TRUE(inBurst[i] || c[i] == 0.0f) << c[i] << " at " << i;
}

TEST(MakeClicks, ThreeDecayingBurstsAt0And170And440Milliseconds) {
    const auto c48 = makeClicks(48000);
    ASSERT_EQ(c48.size(), 21504u);
    expectBursts(c48, {0, 8160, 21120}, 384);
    // 1800 Hz, peaking near 0.55 in the first cycle, down by e^-3 after 6 ms.
    EXPECT_NEAR(zeroCrossingHz(c48, 0, 384, 48000), 1800, 40);
    EXPECT_GT(peakIn(c48, 0, 27), 0.45f);
    EXPECT_LE(peakIn(c48, 0, 384), 0.55f);
    EXPECT_LT(peakIn(c48, 288, 384), 0.55f * std::exp(-3.0f));

    const auto c16 = makeClicks(16000, 0.55);
    ASSERT_EQ(c16.size(), 7168u);
    expectBursts(c16, {0, 2720, 7040}, 128);

    const auto tooSlow = makeClicks(100);  // bursts shorter than a sample
    EXPECT_EQ(tooSlow.size(), 44u);
    EXPECT_EQ(peakIn(tooSlow, 0, tooSlow.size()), 0.0f);
}

}  // namespace
}  // namespace housetone
