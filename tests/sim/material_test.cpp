// The program materials a room can play, told apart the way a listener to the system's sound
// would meet them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "audio/sim/room.h"
#include "audio/sim/sim_audio_system.h"

using namespace housetone;
using namespace housetone::sim;

namespace {

constexpr double kRate = 48000;
constexpr double kLevelDb = -24;  // not the default, so a material that ignores it shows

// `seconds` of what the system plays in a room of `material`, stereo interleaved.
std::vector<float> played(const std::string& material, std::uint64_t seed, double seconds) {
    SimAudioSystem hw({.seed = seed, .systemAudio = material, .systemAudioLevelDb = kLevelDb},
                      {.startWorld = false});
    hw.captureSystemMix(static_cast<std::size_t>(seconds * kRate));
    hw.step(static_cast<int>(seconds * kRate / 512 + 1));
    return hw.systemMixCapture().second;
}

// Lengths in seconds of the stretches of at least `minSeconds` where the left channel stays 40 dB
// below the room's level.
std::vector<double> silences(const std::vector<float>& x, double minSeconds) {
    const double quiet = std::pow(10.0, (kLevelDb - 40) / 20);
    std::vector<double> out;
    for (std::size_t i = 0, j = 0; i < x.size(); i = j + 2) {
        for (j = i; j < x.size() && std::fabs(x[j]) < quiet;)
            j += 2;
        if (double(j - i) / 2 >= minSeconds * kRate) out.push_back(double(j - i) / 2 / kRate);
    }
    return out;
}

// Over stretches of 4096 frames of the left channel where the sound is within 30 dB of the room's
// level: the steepest rise in level from one to the next (an onset), and the most of a stretch's
// energy that lies in its fourth difference (far above low tones: noise, a click, a kink), dB.
std::pair<double, double> riseAndEdgeDb(const std::vector<float>& x) {
    double rise = 0, edge = -300, before = -300;
    for (std::size_t at = 8; at + 8192 <= x.size(); at += 8192) {
        double all = 0, high = 0;
        for (std::size_t i = at; i < at + 8192; i += 2) {
            all += double(x[i]) * x[i];
            high += std::pow(x[i] - 4.0 * x[i - 2] + 6.0 * x[i - 4] - 4.0 * x[i - 6] + x[i - 8], 2);
        }
        const double db = 10 * std::log10(all / 4096 + 1e-30);
        if (before > kLevelDb - 30) rise = std::max(rise, db - before);
        if (db > kLevelDb - 30) edge = std::max(edge, 10 * std::log10(high / all));
        before = db;
    }
    return {rise, edge};
}

}  // namespace

// Speech falls silent between phrases for 0.2 to 1.5 s and speaks in syllables; a tonal chord
// never pauses or rises and holds nothing but its tones, gliding from chord to chord without a
// kink, where music and speech reach far above theirs; music with gaps is the music, which never
// pauses, stopping for seconds. Each is at the room's level while it sounds and follows its seed.
TEST(ProgramMaterials, SpeechPausesTonalHoldsAndGapsStopWhereTheMusicDoesNeither) {
    std::array<std::vector<float>, 4> x;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const char* m = std::array{"music", "speech", "tonal", "gaps"}[i];
        SCOPED_TRACE(m);
        x[i] = played(m, 3, 60);
        const std::vector<double> silent = silences(x[i], 0.1);
        const double frames = 2 * kRate * (60 - std::accumulate(silent.begin(), silent.end(), 0.));
        const double energy = std::inner_product(x[i].begin(), x[i].end(), x[i].begin(), 0.0);
        EXPECT_NEAR(10 * std::log10(energy / frames), kLevelDb, 1);
        const std::vector<float> again = played(m, 3, 1), other = played(m, 4, 1);
        EXPECT_TRUE(std::equal(again.begin(), again.end(), x[i].begin()));
        EXPECT_FALSE(std::equal(other.begin(), other.end(), x[i].begin()));
    }
    const auto& [music, speech, tonal, gaps] = x;
    EXPECT_TRUE(silences(music, 0.15).empty() && silences(tonal, 0.15).empty());
    const auto [rise, edge] = riseAndEdgeDb(tonal);
    EXPECT_LT(rise, 3);
    EXPECT_LT(edge, -90);
    EXPECT_GT(std::min(riseAndEdgeDb(music).second, riseAndEdgeDb(speech).second), -90);

    const std::vector<double> pauses = silences(speech, 0.15);
    ASSERT_GE(pauses.size(), 10u);
    EXPECT_LE(std::ranges::max(pauses), 1.5);
    // Syllables: sounding stretches between breaks of 20 ms or more, as a stop consonant makes,
    // counted over the phrases.
    const double perSecond = double(silences(speech, 0.02).size()) /
                             (60 - std::accumulate(pauses.begin(), pauses.end(), 0.0));
    EXPECT_GT(perSecond, 3);
    EXPECT_LT(perSecond, 8);

    const std::vector<double> stops = silences(gaps, 2);
    ASSERT_GE(stops.size(), 2u);
    EXPECT_LE(std::ranges::max(stops), 5.1);
    EXPECT_LT(std::accumulate(stops.begin(), stops.end(), 0.0), 30);
    std::size_t asMusic = 0;
    for (std::size_t i = 0; i < gaps.size(); ++i)
        asMusic += gaps[i] == music[i] || gaps[i] == 0.f ? 1 : 0;
    EXPECT_GT(double(asMusic), 0.99 * double(gaps.size()));
}
