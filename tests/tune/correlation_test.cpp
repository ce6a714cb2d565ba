#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "tune/correlation.h"
#include "tune/test_signals.h"

namespace housetone {
namespace {

std::vector<float> noise(std::size_t n, unsigned seed, float level = 1.0f) {
    std::minstd_rand rng(seed);
    std::uniform_real_distribution<float> u(-level, level);
    std::vector<float> x(n);
    for (float& v : x)
        v = u(rng);
    return x;
}

// FFT and direct sums agree to float rounding, judged against the largest value a product of
// these two vectors can reach (Cauchy-Schwarz), not against each output's own size. A direct float
// sum of 12800 terms alone drifts by about 1e-6 of that; an indexing or block-boundary fault is
// off by the order of the values themselves.
void expectSameCorrelation(const std::vector<float>& rec, const std::vector<float>& tpl) {
    const auto fast = crossCorrelate(rec, tpl);
    const auto direct = crossCorrelateDirect(rec, tpl);
    ASSERT_EQ(fast.size(), rec.size() - tpl.size() + 1);
    ASSERT_EQ(direct.size(), fast.size());
    double er = 0, et = 0;
    for (float v : rec)
        er = std::max(er, static_cast<double>(v) * v);
    for (float v : tpl)
        et += static_cast<double>(v) * v;
    const double bound = std::sqrt(er * static_cast<double>(tpl.size()) * et);
    double worst = 0;
    for (std::size_t k = 0; k < fast.size(); ++k)
        worst = std::max(worst, std::fabs(static_cast<double>(fast[k]) - direct[k]));
    EXPECT_LT(worst, 1e-5 * bound) << "recording " << rec.size() << ", template " << tpl.size();
}

TEST(CrossCorrelate, FftMatchesTheDirectSumOnRandomInputOfAwkwardSizes) {
    // Single-block, several-block and exactly-one-output cases; odd and prime lengths.
    const std::vector<std::pair<std::size_t, std::size_t>> sizes{
        {1, 1}, {7, 7}, {100, 1}, {1000, 37}, {50021, 1201}, {30000, 4999}};
    unsigned seed = 1;
    for (const auto& [n, m] : sizes) {
        const auto rec = noise(n, seed++);
        expectSameCorrelation(rec, noise(m, seed++));
    }
    // The reference itself, exactly.
    EXPECT_EQ(crossCorrelateDirect(std::vector<float>{1, 2, 3}, std::vector<float>{2, 1}),
              (std::vector<float>{4, 7}));
}

TEST(CrossCorrelate, TooShortARecordingGivesNothingToPick) {
    const auto c = crossCorrelate(noise(99, 1), noise(100, 2));
    EXPECT_TRUE(c.empty() && crossCorrelateDirect(noise(99, 1), noise(100, 2)).empty());
    EXPECT_TRUE(pickPeaks(c, 0.5f, 16000, 10).empty());
    EXPECT_FALSE(windowPeak(c, 0, 10));
}

TEST(Decimate3, AveragesWholeTriplesAndDropsTheRest) {
    EXPECT_EQ(decimate3(std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8}), (std::vector<float>{2, 5}));
    EXPECT_TRUE(decimate3(std::vector<float>{1, 2}).empty());
}

TEST(WindowPeak, ClampsTheWindowToTheCorrelation) {
    std::vector<float> c(100, 0.1f);
    c[10] = -2.0f;  // absolute values count
    c[30] = 5.0f;
    const auto head = windowPeak(c, -50, 20);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->index, 10);
    EXPECT_EQ(head->value, 2.0f);
    EXPECT_FLOAT_EQ(head->median, 0.1f);
    EXPECT_FLOAT_EQ(head->ratio(), 20.0f);
    const auto tail = windowPeak(c, 25, 500);
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->index, 30);
    EXPECT_FALSE(windowPeak(c, 100, 200));
    EXPECT_FALSE(windowPeak(c, -20, 0));
    EXPECT_FALSE(windowPeak(c, 60, 40));
}

TEST(CrossCorrelate, ASilentStretchAfterASweepInTheSameBlockHasRatioZero) {
    // One FFT block: a sweep, then digital silence. Only values whose template span lies wholly
    // in the silence are judged; the direct sum makes them exactly 0.
    const auto tpl = makeSweep(16000, 0.8, 500, 4000, 0.6);
    std::vector<float> rec(28000, 0.0f);
    const auto sweep = makeSweep(16000, 0.8, 500, 4000, 0.45);
    std::copy(sweep.begin(), sweep.end(), rec.begin() + 200);
    const auto silentFrom = static_cast<std::int64_t>(200 + sweep.size());
    for (const auto& c : {crossCorrelate(rec, tpl), crossCorrelateDirect(rec, tpl)}) {
        const auto p = windowPeak(c, silentFrom, static_cast<std::int64_t>(c.size()));
        ASSERT_TRUE(p);
        EXPECT_EQ(p->value, 0.0f);
        EXPECT_EQ(p->ratio(), 0.0f);
        EXPECT_EQ(windowPeak(c, 0, silentFrom)->index, 200);  // the sweep itself is untouched
    }
}

TEST(PickPeaks, KeepsSeparatedStrongPeaksInIndexOrder) {
    // 16 kHz, 10 ms: peaks closer than 160 samples (inclusive) exclude each other.
    std::vector<float> c(20000, 0.0f);
    c[1000] = 1.0f;
    c[1100] = -1.0f;  // equal and too close: the earlier one stays
    c[1260] = 0.9f;   // exactly 160 from 1100 but 260 from 1000: kept
    c[5000] = 0.2f;   // below half of the top
    auto p = pickPeaks(c, 0.5f, 16000, 10);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].index, 1000);
    EXPECT_EQ(p[1].index, 1260);
    EXPECT_FLOAT_EQ(p[1].value, 0.9f);
    c[1160] = 0.95f;  // 160 from 1000: excluded by it, and it excludes nothing after
    p = pickPeaks(c, 0.5f, 16000, 10);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[1].index, 1260);

    // Ten well separated candidates: the two weakest go.
    std::vector<float> ten(20000, 0.0f);
    const std::vector<float> heights{0.6f, 0.9f,  0.55f, 1.0f,  0.8f,
                                     0.7f, 0.95f, 0.65f, 0.85f, 0.75f};
    for (std::size_t i = 0; i < heights.size(); ++i)
        ten[1000 + 1000 * i] = heights[i];
    p = pickPeaks(ten, 0.1f, 16000, 10);
    std::vector<std::int64_t> at;
    for (const auto& q : p)
        at.push_back(q.index);
    EXPECT_EQ(at, (std::vector<std::int64_t>{2000, 4000, 5000, 6000, 7000, 8000, 9000, 10000}));
}

}  // namespace
}  // namespace housetone
