#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
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
        const double tones = 0.15 * std::sin(2 * kPi * f * t) + 0.08 * std::sin(2 * kPi * 3 * f * t);
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
    double driftPpm = 0;                                // latency grows by this per second
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
        return delays_[i] + p.latencyMs + p.driftPpm * 1e-6 * seconds() * 1000.0;
    }
    // Largest distance of any speaker's arrival from the others' median.
    double spread() const {
        std::vector<double> a;
        for (std::size_t i = 0; i < paths_.size(); ++i)
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
                delays_[static_cast<std::size_t>(std::find(u.begin(), u.end(), r.uid) - u.begin())] +=
                    r.deltaMs;
            }
            const double least = *std::min_element(delays_.begin(), delays_.end());
            if (least < 0)
                for (double& d : delays_)
                    d -= least;
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
        return y1 + 0.5 * f *
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

void dump(const Room& room) {
    for (const auto& c : room.checks)
        std::printf("%7.2f  %s | %s\n", c.atSeconds, c.estimates.c_str(), c.action.c_str());
}

TEST(StepKeeper, Experiment) {
    Room room(threeSpeakers(), Material(Material::Kind::music, 1.0f, 3));
    StepKeeper k = room.keeper();
    room.run(k, 10);
    room.path("shelf").latencyMs += 38;
    room.run(k, 30);
    dump(room);
    std::printf("spread %.3f\n", room.spread());
}

}  // namespace
}  // namespace housetone
