#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "tune/arrival_watch.h"
#include "tune/step_keeper.h"

namespace housetone {
namespace {

constexpr double kRate = 16000;
constexpr double kPi = std::numbers::pi;

// Program material, one sample at a time, deterministic.
class Material {
  public:
    enum class Kind { music, speech, chord, gaps };
    Material(Kind kind, float level, unsigned seed) : kind_(kind), level_(level), rng_(seed) {}

    float next() {
        const double t = static_cast<double>(n_++) / kRate;
        switch (kind_) {
            case Kind::music:
                return level_ * music(t);
            case Kind::speech:
                return level_ * speech(t);
            case Kind::chord:
                return level_ * static_cast<float>(0.3 * std::sin(2 * kPi * 220 * t) +
                                                   0.25 * std::sin(2 * kPi * 277.2 * t) +
                                                   0.2 * std::sin(2 * kPi * 329.6 * t) +
                                                   0.1 * std::sin(2 * kPi * 440 * t));
            case Kind::gaps: {
                const float m = music(t);
                return std::fmod(t, 4.0) < 1.5 ? level_ * m : 0.0f;
            }
        }
        return 0;
    }

  private:
    // Drum-like noise bursts on a beat, through a gentle low-pass, over tones that change
    // every two seconds.
    float music(double t) {
        const double beat = std::fmod(t, 0.375);
        low_ += 0.35f * (white() - low_);
        const double hit = std::exp(-beat * 18.0);
        const int bar = static_cast<int>(t / 2.0);
        const double f = 110.0 * std::pow(2.0, (bar * 5 % 12) / 12.0);
        const double tones =
            0.15 * std::sin(2 * kPi * f * t) + 0.08 * std::sin(2 * kPi * 3 * f * t);
        return static_cast<float>(0.5 * hit * low_ + 0.05 * white() * hit + tones);
    }
    // Syllables of coloured noise, a phrase at a time, with pauses between phrases.
    float speech(double t) {
        const double phrase = std::fmod(t, 3.1);
        if (phrase > 1.7) return 0.0f;
        const double syllable = 0.5 - 0.5 * std::cos(2 * kPi * 4.3 * t);
        band_ += 0.5f * (white() - band_);
        const float voiced = band_ - prev_;
        prev_ = band_;
        return static_cast<float>(syllable * (0.6 * voiced + 0.2 * std::sin(2 * kPi * 140 * t)));
    }
    float white() { return u_(rng_); }

    Kind kind_;
    float level_;
    std::minstd_rand rng_;
    std::uniform_real_distribution<float> u_{-1.0f, 1.0f};
    std::size_t n_ = 0;
    float low_ = 0, band_ = 0, prev_ = 0;
};

struct Path {
    std::string uid;
    double gain;
    double latencyMs;
    std::vector<std::pair<double, double>> reflections;  // ms after the direct sound, gain
    double driftPpm = 0;                                 // latency grows by this per second
    double driftFrom = 0;                                // from this second on
};

// A room: each speaker plays the reference held back by its engine delay, reaches the
// microphone after its latency (and its reflections), plus the microphone's noise. Requests are
// applied as the engine would, re-basing so that no delay is below zero.
class Room {
  public:
    Room(std::vector<Path> paths, Material material, double noise = 0.003)
        : paths_(std::move(paths)), material_(std::move(material)), noise_(noise) {
        double slowest = 0;
        for (const Path& p : paths_)
            slowest = std::max(slowest, p.latencyMs);
        for (const Path& p : paths_)
            delays_.push_back(slowest - p.latencyMs + 5);
    }
    std::vector<std::string> uids() const {
        std::vector<std::string> u;
        for (const Path& p : paths_)
            u.push_back(p.uid);
        return u;
    }
    StepKeeper keeper(double reachMs = 400) const {
        StepKeeper::Options o;
        o.rate = kRate;
        o.reachMs = reachMs;
        return StepKeeper(o, uids(), delays_);
    }
    Path& path(const std::string& uid) {
        return *std::find_if(paths_.begin(), paths_.end(),
                             [&](const Path& p) { return p.uid == uid; });
    }
    // Where each speaker's sound arrives now, ms.
    double arrival(std::size_t i) const {
        const Path& p = paths_[i];
        return delays_[i] + p.latencyMs +
               p.driftPpm * 1e-6 * std::max(0.0, seconds() - p.driftFrom) * 1000.0;
    }
    // Largest distance of any speaker's arrival (but those `apart`) from their median.
    double spread(const std::vector<std::string>& apart = {}) const {
        std::vector<double> a;
        for (std::size_t i = 0; i < paths_.size(); ++i)
            if (std::find(apart.begin(), apart.end(), paths_[i].uid) == apart.end())
                a.push_back(arrival(i));
        std::vector<double> s = a;
        std::nth_element(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(s.size() / 2), s.end());
        const double mid = s[s.size() / 2];
        double worst = 0;
        for (double v : a)
            worst = std::max(worst, std::fabs(v - mid));
        return worst;
    }
    double seconds() const { return static_cast<double>(n_) / kRate; }
    // A delay set by hand, as a slider would: the keeper hears of it with the next block.
    void bump(const std::string& uid, double ms) {
        const auto u = uids();
        delays_[static_cast<std::size_t>(std::find(u.begin(), u.end(), uid) - u.begin())] += ms;
    }

    // Runs for `seconds`, calling `each` after every block.
    void run(StepKeeper& k, double seconds, const std::function<void()>& each = {}) {
        const auto end = n_ + static_cast<std::size_t>(seconds * kRate);
        std::vector<float> ref(kBlock), mic(kBlock);
        while (n_ < end) {
            for (std::size_t j = 0; j < kBlock; ++j) {
                const float x = material_.next();
                history_[n_ & kMask] = x;
                ref[j] = x;
                double m = noise_ * normal_(rng_);
                for (std::size_t i = 0; i < paths_.size(); ++i) {
                    const Path& p = paths_[i];
                    const double at = arrival(i) * kRate / 1000.0;
                    m += p.gain * past(at);
                    for (const auto& [extra, g] : p.reflections)
                        m += p.gain * g * past(at + extra * kRate / 1000.0);
                }
                mic[j] = static_cast<float>(m);
                ++n_;
            }
            k.add(ref.data(), mic.data(), kBlock);
            for (const auto& r : k.takeRequests()) {
                requests.push_back(r);
                const auto u = uids();
                delays_[static_cast<std::size_t>(std::find(u.begin(), u.end(), r.uid) -
                                                 u.begin())] += r.deltaMs;
            }
            const double least = *std::min_element(delays_.begin(), delays_.end());
            if (least < 0)
                for (double& d : delays_)
                    d -= least;
            // The engine holds back by whole frames.
            for (double& d : delays_)
                d = std::round(d * kRate / 1000.0) * 1000.0 / kRate;
            k.setDelays(delays_);
            for (auto& c : k.takeChecks())
                checks.push_back(c);
            if (each) each();
        }
    }

    std::vector<StepKeeper::Request> requests;
    std::vector<StepKeeper::Check> checks;

  private:
    static constexpr std::size_t kBlock = 320;
    static constexpr std::size_t kMask = (1u << 18) - 1;
    // The reference `lag` samples ago (fractional), cubic interpolation.
    double past(double lag) const {
        const double pos = static_cast<double>(n_) - lag;
        if (pos < 1) return 0;
        const auto i = static_cast<std::size_t>(pos);
        const double f = pos - static_cast<double>(i);
        auto h = [&](std::size_t k) { return static_cast<double>(history_[k & kMask]); };
        const double y0 = h(i - 1), y1 = h(i), y2 = h(i + 1 <= n_ ? i + 1 : i),
                     y3 = h(i + 2 <= n_ ? i + 2 : i);
        return y1 +
               0.5 * f *
                   (y2 - y0 + f * (2 * y0 - 5 * y1 + 4 * y2 - y3 + f * (3 * (y1 - y2) + y3 - y0)));
    }

    std::vector<Path> paths_;
    Material material_;
    double noise_;
    std::vector<double> delays_;
    std::vector<float> history_ = std::vector<float>(kMask + 1, 0.0f);
    std::size_t n_ = 0;
    std::minstd_rand rng_{7};
    std::normal_distribution<double> normal_{0.0, 1.0};
};

std::vector<Path> threeSpeakers() {
    return {{"desk", 0.5, 12, {{2.8, 0.4}, {7.5, 0.2}}},
            {"shelf", 0.3, 31, {{4.1, 0.3}}},
            {"kitchen", 0.25, 95, {{3.3, 0.35}, {11.0, 0.2}}}};
}

// Every speaker's arrival (but those `apart`) is within 2 ms of their median.
bool inStep(const Room& room, const std::vector<std::string>& apart = {}) {
    return room.spread(apart) <= 2.0;
}

struct Tally {
    int probes = 0;
    std::vector<std::string> corrected;  // one entry per correction
    double largestProbe = 0;
};
Tally tally(const Room& room) {
    Tally t;
    for (const auto& r : room.requests) {
        if (r.correction) {
            t.corrected.push_back(r.uid);
        } else {
            ++t.probes;
            t.largestProbe = std::max(t.largestProbe, std::fabs(r.deltaMs));
        }
    }
    return t;
}

std::string log(const Room& room) {
    std::string s;
    for (const auto& c : room.checks)
        s += std::to_string(c.atSeconds) + "  " + c.estimates + " | " + c.action + "\n";
    return s;
}

// Runs until the group is in step again after a move made at `room.seconds()`; the seconds it
// took, or -1 when 30 s were not enough. The group must then stay in step.
double secondsToStep(Room& room, StepKeeper& k, const std::vector<std::string>& apart = {}) {
    const double movedAt = room.seconds();
    double back = -1;
    room.run(k, 30, [&] {
        if (back < 0 && inStep(room, apart)) back = room.seconds() - movedAt;
        if (back >= 0 && room.seconds() - movedAt > back + 3) {
            EXPECT_TRUE(inStep(room, apart));
        }
    });
    return back;
}

TEST(StepKeeper, CorrectsTheSpeakersThatJumpedAndNoOther) {
    struct Case {
        std::vector<Path> paths;
        std::vector<std::pair<std::string, double>> jumps;  // who, ms
        double reachMs = 400;
    };
    std::vector<Path> eight;
    for (int i = 0; i < 8; ++i)
        eight.push_back(
            {"s" + std::to_string(i), 0.12 + 0.05 * (i % 3), 10.0 + 13 * i, {{2.0 + i, 0.3}}});
    auto four = threeSpeakers();
    four.push_back({"porch", 0.35, 60, {{5.0, 0.3}}});
    const std::vector<Case> cases{{threeSpeakers(), {{"shelf", 38}}},
                                  {threeSpeakers(), {{"kitchen", -25}}},  // the quietest, earlier
                                  {threeSpeakers(), {{"desk", 80}}},
                                  // onto the place of the kitchen's reflection
                                  {threeSpeakers(), {{"shelf", 11}}},
                                  {eight, {{"s6", 22}}},
                                  {four, {{"shelf", 30}, {"porch", -55}}},
                                  // a network sink re-buffering
                                  {threeSpeakers(), {{"shelf", 1200}}, 1500}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.jumps.front().first + " " + std::to_string(c.jumps.front().second));
        Room room(c.paths, Material(Material::Kind::music, 1.0f, 3));
        StepKeeper k = room.keeper(c.reachMs);
        room.run(k, 10);
        EXPECT_TRUE(room.requests.empty());
        std::vector<std::string> movers;
        for (const auto& [who, ms] : c.jumps) {
            room.path(who).latencyMs += ms;
            movers.push_back(who);
        }
        const double took = secondsToStep(room, k);
        EXPECT_GE(took, 0) << log(room);
        // Back onto the group, not merely near it.
        EXPECT_LT(room.spread(), 0.25);
        Tally t = tally(room);
        std::sort(t.corrected.begin(), t.corrected.end());
        std::sort(movers.begin(), movers.end());
        EXPECT_EQ(t.corrected, movers) << log(room);
        EXPECT_LE(t.largestProbe, 0.5);
        const auto uids = room.uids();
        for (std::size_t i = 0; i < uids.size(); ++i) {
            const auto& v = k.verdicts()[i];
            const bool moved = std::find(movers.begin(), movers.end(), uids[i]) != movers.end();
            EXPECT_EQ(v.state, StepKeeper::Verdict::State::inStep) << uids[i];
            EXPECT_EQ(v.corrected, moved) << uids[i];
            EXPECT_LT(v.atSeconds, room.seconds());
            EXPECT_GT(v.atSeconds, room.seconds() - 3);
        }
    }
}

TEST(StepKeeper, HoldsADriftingSpeakerWithFewSmallProbes) {
    // 3 ms a minute, and 7: the faster one moves more than a probe's margin between two looks.
    for (const double ppm : {50.0, -120.0}) {
        SCOPED_TRACE(ppm);
        Room room(threeSpeakers(), Material(Material::Kind::music, 1.0f, 9));
        room.path("kitchen").driftPpm = ppm;
        room.path("kitchen").driftFrom = 8;  // once the keeper knows the group
        StepKeeper k = room.keeper();
        double worst = 0;
        room.run(k, 200, [&] { worst = std::max(worst, room.spread()); });
        EXPECT_LT(worst, 2.0) << log(room);
        const Tally t = tally(room);
        // At least one correction of under 1.5 ms per 1.5 ms drifted, all of the drifter.
        EXPECT_GE(t.corrected.size(), static_cast<std::size_t>(std::fabs(ppm) * 0.2 / 1.5));
        EXPECT_EQ(std::count(t.corrected.begin(), t.corrected.end(), "kitchen"),
                  static_cast<long>(t.corrected.size()));
        EXPECT_LE(t.probes, 6) << log(room);
        EXPECT_LE(t.largestProbe, 0.5);
    }
}

TEST(StepKeeper, ASmallMoveAfterAnotherSpeakersSmallCorrectionIsPinnedOnTheRightOne) {
    // The kitchen moved a little and was corrected; then the shelf moves a little, the same way
    // (which the kitchen's record would explain) or the other way.
    for (const double shelfMs : {1.5, -1.5}) {
        SCOPED_TRACE(shelfMs);
        Room room(threeSpeakers(), Material(Material::Kind::music, 1.0f, 17));
        StepKeeper k = room.keeper();
        room.run(k, 8);
        room.path("kitchen").latencyMs += 1.5;
        room.run(k, 20);
        room.path("shelf").latencyMs += shelfMs;
        room.run(k, 30);
        EXPECT_LT(room.spread(), 0.25) << log(room);
        std::map<std::string, double> net;
        for (const auto& r : room.requests)
            if (r.correction) net[r.uid] += r.deltaMs;
        EXPECT_NEAR(net["kitchen"], -1.5, 0.1) << log(room);
        EXPECT_NEAR(net["shelf"], -shelfMs, 0.1);
        EXPECT_EQ(net.count("desk"), 0u);
        // The other way, the kitchen's record does not even come into it.
        if (shelfMs < 0) {
            EXPECT_EQ(tally(room).corrected.size(), 2u) << log(room);
        }
    }
}

TEST(StepKeeper, AsksNothingOfAnInStepGroupOnMaterialThatCannotShowIt) {
    struct Case {
        const char* name;
        Material::Kind kind;
        float level;
        double noise;
        bool canTell;  // whether the material shows the group at all
    };
    const std::vector<Case> cases{{"chord", Material::Kind::chord, 1.0f, 0.003, false},
                                  {"speech", Material::Kind::speech, 1.0f, 0.003, true},
                                  {"gaps", Material::Kind::gaps, 1.0f, 0.003, true},
                                  {"quiet", Material::Kind::music, 0.003f, 0.003, false},
                                  {"noisy room", Material::Kind::music, 1.0f, 0.5, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Room room(threeSpeakers(), Material(c.kind, c.level, 5), c.noise);
        StepKeeper k = room.keeper();
        int told = 0;
        room.run(k, 90, [&] {
            for (const auto& v : k.verdicts())
                EXPECT_NE(v.state, StepKeeper::Verdict::State::moved);
        });
        for (const auto& ch : room.checks)
            told += ch.action == "in step";
        EXPECT_TRUE(room.requests.empty()) << log(room);
        EXPECT_EQ(told > 0, c.canTell) << log(room);
        for (const auto& v : k.verdicts())
            EXPECT_EQ(v.state == StepKeeper::Verdict::State::cannotTell, !c.canTell);
    }
}

TEST(StepKeeper, LeavesAloneWhatItDidNotCauseOrCannotHear) {
    auto paths = threeSpeakers();
    paths.push_back({"attic", 0.0005, 40, {}});  // far too quiet to show
    Room room(paths, Material(Material::Kind::music, 1.0f, 21));
    StepKeeper k = room.keeper();
    // Values the keeper cannot map are refused, not applied.
    k.setDelays({1, 2});
    k.setDelays({0, 0, 0, std::nan("")});
    room.run(k, 8);
    // The user sets the desk 12 ms later by hand, and the attic jumps unheard.
    room.path("attic").latencyMs += 40;
    room.bump("desk", 12);
    room.run(k, 30);
    EXPECT_TRUE(room.requests.empty()) << log(room);
    // Still watching: when the desk itself jumps later, it goes back where the user set it.
    room.path("desk").latencyMs -= 30;
    room.run(k, 30);
    EXPECT_NEAR(room.arrival(0) - room.arrival(1), 12, 0.25) << log(room);
    EXPECT_NEAR(room.arrival(1), room.arrival(2), 0.25);
    EXPECT_EQ(tally(room).corrected, std::vector<std::string>{"desk"});
}

TEST(StepKeeper, AnEchoThatAppearsLaterIsLearntAsTheRoomsNotCorrected) {
    Room room(threeSpeakers(), Material(Material::Kind::music, 1.0f, 13));
    StepKeeper k = room.keeper();
    room.run(k, 8);
    // A door opens behind the shelf: a strong new path, while the shelf itself stays put.
    room.path("shelf").reflections.push_back({9.0, 0.7});
    room.run(k, 40, [&] {
        for (const auto& v : k.verdicts())
            EXPECT_NE(v.state, StepKeeper::Verdict::State::moved);
    });
    EXPECT_TRUE(tally(room).corrected.empty()) << log(room);
    EXPECT_LT(room.spread(), 0.25);
    // Learnt once, not hunted again.
    const std::size_t asked = room.requests.size();
    room.run(k, 30);
    EXPECT_EQ(room.requests.size(), asked) << log(room);
}

TEST(StepKeeper, ArrivalsThatShowInOneCheckEachAreNotHunted) {
    Room room(threeSpeakers(), Material(Material::Kind::music, 1.0f, 19));
    StepKeeper k = room.keeper();
    room.run(k, 8);
    // Just after a check, so that each path below fills one window and no other.
    const std::size_t checks = room.checks.size();
    while (room.checks.size() == checks)
        room.run(k, 0.02);
    auto& paths = room.path("shelf").reflections;
    for (const double at : {9.0, 15.0}) {
        paths.push_back({at, 0.8});
        room.run(k, 2.0);
        paths.pop_back();
    }
    room.run(k, 10);
    EXPECT_TRUE(room.requests.empty()) << log(room);
}

TEST(StepKeeper, ASuspectIsProbedAloneFirst) {
    Room room(threeSpeakers(), Material(Material::Kind::music, 1.0f, 4));
    StepKeeper k = room.keeper();
    room.run(k, 10);
    room.path("kitchen").latencyMs += 45;
    k.suspect("kitchen");
    room.run(k, 20);
    ASSERT_FALSE(room.requests.empty());
    EXPECT_EQ(room.requests.front().uid, "kitchen");
    EXPECT_FALSE(room.requests.front().correction);
    // One probe, and its undoing before the correction.
    EXPECT_EQ(tally(room).probes, 2) << log(room);
    EXPECT_TRUE(inStep(room));
}

TEST(ArrivalWatch, PlacesEachPathAndItsHeightFromMusicAt48kHz) {
    constexpr double rate = 48000;
    ArrivalWatch w(rate, 2);
    w.keepHistory(300);
    Material m(Material::Kind::music, 1.0f, 8);
    // Two paths at 120.4 and 135.0 ms (between samples), heights 0.4 and 0.2.
    const std::size_t n = static_cast<std::size_t>(4 * rate);
    std::vector<float> ref(n), mic(n);
    std::vector<float> up;  // the 16 kHz material at 48 kHz, held
    for (std::size_t i = 0; i < n; i += 3) {
        const float x = m.next();
        for (std::size_t j = i; j < std::min(n, i + 3); ++j)
            ref[j] = x;
    }
    auto at = [&](double ms, std::size_t i) {
        const double pos = static_cast<double>(i) - ms * rate / 1000.0;
        if (pos < 1) return 0.0f;
        const auto k = static_cast<std::size_t>(pos);
        const float f = static_cast<float>(pos - static_cast<double>(k));
        return (1 - f) * ref[k] + f * ref[k + 1];
    };
    for (std::size_t i = 0; i < n; ++i)
        mic[i] = 0.4f * at(120.4, i) + 0.2f * at(135.0, i);
    // In the engine's blocks, and blocks of other sizes: a lag is the same however it is fed.
    std::size_t fed = 0;
    for (std::size_t block = 512; fed + block <= n; block = block == 512 ? 479 : 512) {
        w.add(ref.data() + fed, mic.data() + fed, block);
        fed += block;
        if (fed >= static_cast<std::size_t>(0.5 * rate) &&
            fed < static_cast<std::size_t>(0.5 * rate) + 512)
            w.restart(0);
    }
    ASSERT_TRUE(w.ready());
    const auto r = w.analyse(0, 300);
    ASSERT_TRUE(r.canTell) << r.doubt;
    ASSERT_EQ(r.peaks.size(), 2u);  // and nothing of their echoes in the material
    EXPECT_NEAR(r.peaks[0].lagMs, 120.4, 0.05);
    EXPECT_NEAR(r.peaks[1].lagMs, 135.0, 0.05);
    // Heights follow the gains; one between samples reads up to a fifth low.
    EXPECT_NEAR(r.peaks[1].gain / r.peaks[0].gain, 0.5, 0.12);
    EXPECT_FALSE(w.ready());  // the window was used
}

TEST(ArrivalWatch, SaysWhyItCannotTell) {
    // Broadband but made of one 60 ms stretch of noise over and over.
    std::minstd_rand rng(4);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    std::vector<float> loop(960);
    for (float& v : loop)
        v = u(rng);
    struct Case {
        std::function<float(std::size_t)> ref;
        float heard;  // how loud the reference reaches the microphone (besides its noise)
        const char* doubt;
    };
    Material chord(Material::Kind::chord, 1.0f, 2), music(Material::Kind::music, 1.0f, 2);
    const std::vector<Case> cases{
        {[&](std::size_t) { return chord.next(); }, 0.5f, "too narrow a band"},
        {[&](std::size_t i) { return loop[i % loop.size()]; }, 0.5f, "material repeats itself"},
        {[](std::size_t i) { return i % 2 ? 1e-7f : -1e-7f; }, 0.5f, "silent"},
        {[&](std::size_t) { return music.next(); }, 0.0f, "nothing heard"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.doubt);
        ArrivalWatch w(kRate, 2);
        w.keepHistory(200);
        std::normal_distribution<float> noise(0.0f, 0.003f);
        std::vector<float> ref(static_cast<std::size_t>(3 * kRate)), mic(ref.size());
        for (std::size_t i = 0; i < ref.size(); ++i) {
            ref[i] = c.ref(i);
            mic[i] = (i >= 800 ? c.heard * ref[i - 800] : 0.0f) + noise(rng);
        }
        const std::size_t lead = static_cast<std::size_t>(0.5 * kRate);
        w.add(ref.data(), mic.data(), lead);
        w.restart(0);
        w.add(ref.data() + lead, mic.data() + lead, ref.size() - lead);
        const auto r = w.analyse(0, 200);
        EXPECT_FALSE(r.canTell);
        EXPECT_EQ(r.doubt, c.doubt);
    }
}

}  // namespace
}  // namespace housetone
