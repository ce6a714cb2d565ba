// The program materials a room can play, told apart the way a listener to the system's sound
// would meet them: speech falls silent between phrases, a tonal chord holds a few frequencies
// without an onset, music with gaps stops for seconds; each sounds at the room's level and follows
// its seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
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
    RoomSpec room;
    room.systemAudio = material;
    room.seed = seed;
    room.systemAudioLevelDb = kLevelDb;
    SimAudioSystem hw(room, {.startWorld = false});
    const auto frames = static_cast<std::size_t>(seconds * kRate);
    hw.captureSystemMix(frames);
    hw.step(static_cast<int>(frames / 512 + 1));
    return hw.systemMixCapture().second;
}

std::vector<float> leftOf(const std::vector<float>& stereo) {
    std::vector<float> out(stereo.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = stereo[2 * i];
    return out;
}

struct Stretch {
    std::size_t start, length;
};

// Stretches of at least `minSeconds` where the sound stays 40 dB below the room's level.
std::vector<Stretch> silences(const std::vector<float>& x, double minSeconds) {
    const float quiet = static_cast<float>(std::pow(10.0, (kLevelDb - 40) / 20));
    std::vector<Stretch> out;
    std::size_t i = 0;
    while (i < x.size()) {
        std::size_t j = i;
        while (j < x.size() && std::fabs(x[j]) < quiet)
            ++j;
        if (static_cast<double>(j - i) >= minSeconds * kRate) out.push_back({i, j - i});
        i = j + 1;
    }
    return out;
}

double seconds(const Stretch& r) {
    return static_cast<double>(r.length) / kRate;
}

// RMS in dBFS of both channels outside the silences of a tenth of a second or more.
double soundingLevelDb(const std::vector<float>& stereo) {
    const std::vector<float> left = leftOf(stereo);
    std::vector<bool> silent(left.size(), false);
    for (const Stretch& r : silences(left, 0.1))
        std::fill(silent.begin() + static_cast<std::ptrdiff_t>(r.start),
                  silent.begin() + static_cast<std::ptrdiff_t>(r.start + r.length), true);
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (silent[i]) continue;
        sum +=
            double(stereo[2 * i]) * stereo[2 * i] + double(stereo[2 * i + 1]) * stereo[2 * i + 1];
        n += 2;
    }
    return 10 * std::log10(sum / static_cast<double>(n));
}

// How much of a window's energy (Hann, 4096 samples) lies outside its strongest 1 % of
// frequencies, in dB: the most over windows spread through `x`.
double spreadDb(const std::vector<float>& x) {
    constexpr std::size_t n = 4096, bins = n / 2;
    std::vector<double> cosine(n), sine(n);
    for (std::size_t i = 0; i < n; ++i) {
        cosine[i] = std::cos(2 * std::numbers::pi * double(i) / n);
        sine[i] = std::sin(2 * std::numbers::pi * double(i) / n);
    }
    double most = -300;
    for (std::size_t at = x.size() / 16; at + n <= x.size(); at += x.size() / 7) {
        std::vector<double> w(n), power(bins);
        for (std::size_t i = 0; i < n; ++i)
            w[i] = x[at + i] * (0.5 - 0.5 * cosine[i]);
        for (std::size_t k = 0; k < bins; ++k) {
            double re = 0, im = 0;
            for (std::size_t i = 0, j = 0; i < n; ++i, j = (j + k) & (n - 1)) {
                re += w[i] * cosine[j];
                im -= w[i] * sine[j];
            }
            power[k] = re * re + im * im;
        }
        double total = 0;
        for (const double p : power)
            total += p;
        std::sort(power.rbegin(), power.rend());
        double top = 0;
        for (std::size_t k = 0; k < bins / 100; ++k)
            top += power[k];
        most = std::max(most, 10 * std::log10((total - top) / total + 1e-30));
    }
    return most;
}

// The steepest rise in level, in dB, from one 50 ms window to the next where the sound is within
// 30 dB of the room's level: an onset.
double steepestRiseDb(const std::vector<float>& x) {
    const auto window = static_cast<std::size_t>(kRate / 20);
    double before = -200, steepest = 0;
    for (std::size_t at = 0; at + window <= x.size(); at += window) {
        double sum = 0;
        for (std::size_t i = at; i < at + window; ++i)
            sum += double(x[i]) * x[i];
        const double db = 10 * std::log10(sum / double(window) + 1e-30);
        if (before > kLevelDb - 30) steepest = std::max(steepest, db - before);
        before = db;
    }
    return steepest;
}

double longest(const std::vector<Stretch>& s) {
    double most = 0;
    for (const Stretch& r : s)
        most = std::max(most, seconds(r));
    return most;
}

}  // namespace

// Set against the music, which never pauses, has a beat and a noisy tick: speech falls silent
// between phrases for 0.2 to 1.5 s and speaks in syllables, a tonal chord rises nowhere and holds
// its energy in a few frequencies, and music with gaps is the music stopping for seconds.
TEST(ProgramMaterials, SpeechPausesTonalHoldsAndGapsStopWhereTheMusicDoesNeither) {
    const std::vector<float> music = leftOf(played("music", 3, 60));
    EXPECT_TRUE(silences(music, 0.15).empty());
    EXPECT_GT(steepestRiseDb(music), 10);
    EXPECT_GT(spreadDb(music), -40);

    const std::vector<float> speech = leftOf(played("speech", 3, 60));
    const auto pauses = silences(speech, 0.15);
    EXPECT_GE(pauses.size(), 10u);
    EXPECT_LE(longest(pauses), 1.5);
    // Syllables: sounding stretches between the briefest silences, counted over the phrases.
    const auto breaks = silences(speech, 0.005);
    double pausedSeconds = 0;
    for (const Stretch& p : pauses)
        pausedSeconds += seconds(p);
    const double perSecond = static_cast<double>(breaks.size()) / (60 - pausedSeconds);
    EXPECT_GT(perSecond, 3);
    EXPECT_LT(perSecond, 8);
    EXPECT_GT(spreadDb(speech), -40);

    const std::vector<float> tonal = leftOf(played("tonal", 3, 60));
    EXPECT_TRUE(silences(tonal, 0.15).empty());
    EXPECT_LT(steepestRiseDb(tonal), 3);
    EXPECT_LT(spreadDb(tonal), -50);

    const std::vector<float> gaps = leftOf(played("gaps", 3, 60));
    const auto stops = silences(gaps, 2);
    EXPECT_GE(stops.size(), 2u);
    EXPECT_LE(longest(stops), 5.1);
    std::size_t asMusic = 0, sounding = 0;
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        asMusic += gaps[i] == music[i] || gaps[i] == 0.f ? 1 : 0;
        sounding += gaps[i] != 0.f ? 1 : 0;
    }
    EXPECT_GT(static_cast<double>(asMusic), 0.99 * static_cast<double>(gaps.size()));
    EXPECT_GT(static_cast<double>(sounding), 0.5 * static_cast<double>(gaps.size()));
}

TEST(ProgramMaterials, EachIsAtTheRoomsLevelWhileItSoundsAndFollowsItsSeed) {
    for (const char* m : {"music", "speech", "tonal", "gaps"}) {
        SCOPED_TRACE(m);
        const std::vector<float> a = played(m, 3, 20);
        EXPECT_NEAR(soundingLevelDb(a), kLevelDb, 1);
        const std::vector<float> again = played(m, 3, 1), other = played(m, 4, 1);
        EXPECT_TRUE(std::equal(again.begin(), again.end(), a.begin()));
        EXPECT_FALSE(std::equal(other.begin(), other.end(), a.begin()));
    }
}
