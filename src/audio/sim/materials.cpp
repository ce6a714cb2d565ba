// The built-in program materials beside the music: hard cases for whatever listens to what the
// system plays. Speech falls silent between phrases, a tonal chord has no transients and a narrow
// spectrum, and music with gaps stops for seconds at a time.
#include <array>
#include <cmath>
#include <numbers>

#include "audio/sim/music_source.h"

namespace housetone::sim {

namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;

double uniform(std::mt19937_64& rng, double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

// The gain that brings a material measured at `rms` to `levelDb` dBFS.
double scaleFor(double rms, double levelDb) {
    return rms > 0 ? std::pow(10.0, levelDb / 20.0) / rms : 0;
}

// A two-pole resonance: one formant of a voice.
struct Resonator {
    double a1 = 0, a2 = 0, gain = 0, y1 = 0, y2 = 0;
    void tune(double freq, double bandwidth, double rate) {
        const double r = std::exp(-std::numbers::pi * bandwidth / rate);
        a1 = 2 * r * std::cos(kTwoPi * freq / rate);
        a2 = -r * r;
        gain = 1 - r;
    }
    double step(double x) {
        const double y = gain * x + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

// Speech-like sound: phrases of voiced syllables (a glottal pulse train through three formants,
// its pitch gliding), five or so a second with short breaks, and a pause of 0.2 to 1.5 s after
// each phrase.
class SpeechSource final : public Material {
  public:
    SpeechSource(double rate, std::uint64_t seed, double levelDb) : rate_(rate), rng_(seed) {
        SpeechSource probe(*this);
        double sum = 0;
        std::int64_t voiced = 0;
        for (auto i = static_cast<std::int64_t>(rate * 20); i > 0; --i) {
            bool sounding = false;
            const double x = probe.next(sounding);
            if (!sounding) continue;
            sum += x * x;
            ++voiced;
        }
        scale_ = scaleFor(voiced ? std::sqrt(sum / static_cast<double>(voiced)) : 0, levelDb);
    }

    void render(float* stereo, int frames) override {
        for (int f = 0; f < frames; ++f) {
            bool sounding = false;
            stereo[2 * f] = stereo[2 * f + 1] = static_cast<float>(next(sounding) * scale_);
        }
    }

  private:
    double next(bool& sounding) {
        if (pos_ >= length_) nextSegment();
        ++pos_;
        sounding = syllable_;
        double source = 0;
        if (syllable_) {
            const double p = static_cast<double>(pos_) / static_cast<double>(length_);
            const double envelope = 0.5 * (1 - std::cos(kTwoPi * p));
            phase_ += (f0From_ + (f0To_ - f0From_) * p) / rate_;
            phase_ -= std::floor(phase_);
            // The glottis opens and closes smoothly for 60 % of a cycle; what the mouth radiates
            // is its rate of change.
            const double pulse = phase_ < 0.6 ? 0.5 * (1 - std::cos(kTwoPi * phase_ / 0.6)) : 0;
            source = envelope * (pulse - lastPulse_);
            lastPulse_ = pulse;
        }
        return formants_[0].step(source) + 0.6 * formants_[1].step(source) +
               0.3 * formants_[2].step(source);
    }

    void nextSegment() {
        pos_ = 0;
        if (syllablesLeft_ == 0) {
            if (syllable_ || gap_) {
                syllable_ = gap_ = false;
                length_ = seconds(uniform(rng_, 0.2, 1.5));
                return;
            }
            syllablesLeft_ = std::uniform_int_distribution<int>(3, 10)(rng_);
            pitch_ = uniform(rng_, 100, 220);
        } else if (syllable_) {
            // A short break between syllables, as a stop consonant makes.
            syllable_ = false;
            gap_ = true;
            length_ = seconds(uniform(rng_, 0.01, 0.06));
            return;
        }
        --syllablesLeft_;
        syllable_ = true;
        gap_ = false;
        length_ = seconds(uniform(rng_, 0.12, 0.28));
        f0From_ = pitch_ * uniform(rng_, 0.9, 1.15);
        f0To_ = pitch_ * uniform(rng_, 0.85, 1.1);
        pitch_ *= 0.97;  // a phrase falls as it goes
        formants_[0].tune(uniform(rng_, 300, 800), 70, rate_);
        formants_[1].tune(uniform(rng_, 900, 2300), 90, rate_);
        formants_[2].tune(uniform(rng_, 2400, 3000), 130, rate_);
    }

    std::int64_t seconds(double s) const {
        return std::max<std::int64_t>(1, std::llround(s * rate_));
    }

    double rate_;
    std::mt19937_64 rng_;
    bool syllable_ = false, gap_ = false;
    std::int64_t pos_ = 0, length_ = 0;
    int syllablesLeft_ = 0;
    double pitch_ = 150, f0From_ = 150, f0To_ = 150, phase_ = 0, lastPulse_ = 0;
    std::array<Resonator, 3> formants_;
    double scale_ = 1;
};

// A sustained chord of three pure tones with a slow swell; every 6 to 10 s each voice glides over
// 3 s to its note of the next chord. No onset anywhere, no two voices ever closer than the chord's
// own intervals, and the energy in three frequencies.
class TonalSource final : public Material {
  public:
    TonalSource(double rate, std::uint64_t seed, double levelDb) : rate_(rate), rng_(seed) {
        from_ = to_ = pick();
        tune(0);
        holdLeft_ = seconds(uniform(rng_, 6, 10));
        TonalSource probe(*this);
        double sum = 0;
        const auto frames = static_cast<std::int64_t>(rate * 20);
        for (std::int64_t i = 0; i < frames; ++i) {
            double right = 0;
            const double left = probe.next(right);
            sum += left * left + right * right;
        }
        scale_ = scaleFor(std::sqrt(sum / (2.0 * static_cast<double>(frames))), levelDb);
    }

    void render(float* stereo, int frames) override {
        for (int f = 0; f < frames; ++f) {
            double right = 0;
            stereo[2 * f] = static_cast<float>(next(right) * scale_);
            stereo[2 * f + 1] = static_cast<float>(right * scale_);
        }
    }

  private:
    using Notes = std::array<double, 3>;  // MIDI note numbers, ascending

    Notes pick() {
        // Triads of a minor key: root, third and fifth.
        static constexpr Notes kTriads[] = {{57, 60, 64}, {53, 57, 60}, {48, 52, 55},
                                            {55, 59, 62}, {52, 55, 59}, {50, 53, 57}};
        return kTriads[std::uniform_int_distribution<int>(0, 5)(rng_)];
    }

    double next(double& right) {
        if (holdLeft_ > 0) {
            --holdLeft_;
        } else if (++glidePos_ >= glideLength()) {
            from_ = to_;
            to_ = pick();
            glidePos_ = 0;
            holdLeft_ = seconds(uniform(rng_, 6, 10));
        }
        const double g = 0.5 * (1 - std::cos(std::numbers::pi * static_cast<double>(glidePos_) /
                                             static_cast<double>(glideLength())));
        const double t = static_cast<double>(n_++) / rate_;
        const double swell = 1 + 0.15 * std::sin(kTwoPi * t / 11.0);
        double left = 0;
        right = 0;
        if (glidePos_ > 0) tune(g);
        for (std::size_t i = 0; i < 3; ++i) {
            const double s = swell * std::sin(kTwoPi * phase_[i]);
            phase_[i] += step_[i];
            phase_[i] -= std::floor(phase_[i]);
            left += kLeft[i] * s;
            right += kRight[i] * s;
        }
        return left;
    }

    // Each voice's pitch `g` of the way from its note in the last chord to that in the next.
    void tune(double g) {
        for (std::size_t i = 0; i < 3; ++i) {
            const double note = from_[i] + (to_[i] - from_[i]) * g;
            step_[i] = 440.0 * std::pow(2.0, (note - 69) / 12.0) / rate_;
        }
    }

    std::int64_t glideLength() const { return seconds(3); }
    std::int64_t seconds(double s) const { return std::llround(s * rate_); }

    static constexpr double kLeft[3] = {1.0, 0.8, 0.6}, kRight[3] = {0.7, 0.9, 0.8};
    double rate_;
    std::mt19937_64 rng_;
    Notes from_{}, to_{}, phase_{}, step_{};  // notes, and each voice's phase and its step a frame
    std::int64_t n_ = 0, holdLeft_ = 0, glidePos_ = 0;
    double scale_ = 1;
};

// The music, silent for a few seconds every so often: it plays on underneath, so each stretch
// that sounds is the music as it would have been, faded in and out over 10 ms.
class GapsSource final : public Material {
  public:
    GapsSource(double rate, std::uint64_t seed, double levelDb)
        : music_(rate, seed, levelDb), rate_(rate), rng_(seed ^ 0x6761707300000000ull) {
        left_ = seconds(uniform(rng_, 8, 20));
    }

    void render(float* stereo, int frames) override {
        music_.render(stereo, frames);
        const std::int64_t fade = seconds(0.01);
        for (int f = 0; f < frames; ++f) {
            if (done_ >= left_) {
                playing_ = !playing_;
                done_ = 0;
                left_ = playing_ ? seconds(uniform(rng_, 8, 20)) : seconds(uniform(rng_, 2, 5));
            }
            const std::int64_t edge = std::min(done_ + 1, left_ - done_);
            const double gain =
                playing_ ? std::min(1.0, static_cast<double>(edge) / static_cast<double>(fade))
                         : 0.0;
            ++done_;
            if (gain < 1) {
                stereo[2 * f] = static_cast<float>(stereo[2 * f] * gain);
                stereo[2 * f + 1] = static_cast<float>(stereo[2 * f + 1] * gain);
            }
        }
    }

  private:
    std::int64_t seconds(double s) const { return std::llround(s * rate_); }

    MusicSource music_;
    double rate_;
    std::mt19937_64 rng_;
    bool playing_ = true;
    std::int64_t done_ = 0, left_ = 0;
};

}  // namespace

std::unique_ptr<Material> makeMaterial(const std::string& name, double rate, std::uint64_t seed,
                                       double levelDb) {
    if (name == "music") return std::make_unique<MusicSource>(rate, seed, levelDb);
    if (name == "speech") return std::make_unique<SpeechSource>(rate, seed, levelDb);
    if (name == "tonal") return std::make_unique<TonalSource>(rate, seed, levelDb);
    if (name == "gaps") return std::make_unique<GapsSource>(rate, seed, levelDb);
    return nullptr;
}

}  // namespace housetone::sim
