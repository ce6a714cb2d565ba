#include "tune/arrival_watch.h"

#include <kissfft/kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <numbers>

namespace housetone {

namespace {

// The analysis runs near 16 kHz: music carries little above 8 kHz, and a sample of 62 µs with
// interpolation places a peak far finer than the millisecond the keeper cares about.
constexpr double kAnalysisRate = 16000;
// Smoothing of the reference's power spectrum, in Hz: fine enough to follow the material's
// colour, coarse enough to be a level rather than one noisy periodogram bin.
constexpr double kSmoothHz = 12;
// Bins more than 20 dB under the mean power are weighted as if they had that much: what the
// material hardly carries the microphone's noise would otherwise fill.
constexpr double kRegularise = 0.01;
// At most this many arrivals are taken out of one window.
constexpr int kMaxPeaks = 16;
// A peak smaller than this many floors is not taken.
constexpr double kPeakFloors = 6;
// Peaks this close are one arrival split by the subtraction's whole-sample shift.
constexpr double kMergeMs = 0.25;
// A peak that the stronger ones' echo pattern reaches by at least half its height is their echo.
constexpr double kEchoShare = 0.5;

struct FftrDeleter {
    void operator()(kiss_fftr_state* cfg) const { kiss_fftr_free(cfg); }
};
using FftrConfig = std::unique_ptr<kiss_fftr_state, FftrDeleter>;
struct Plans {
    FftrConfig forward, inverse;
};

// One watch analyses windows of one size again and again: its plans are kept for the thread.
const Plans* plansFor(int nfft) {
    thread_local std::map<int, Plans> cache;
    auto it = cache.find(nfft);
    if (it == cache.end()) {
        Plans made{FftrConfig(kiss_fftr_alloc(nfft, 0, nullptr, nullptr)),
                   FftrConfig(kiss_fftr_alloc(nfft, 1, nullptr, nullptr))};
        if (!made.forward || !made.inverse) return nullptr;
        // A keeper's range grows and shrinks with the group's lag: keep only a few sizes.
        if (cache.size() >= 6) cache.clear();
        it = cache.emplace(nfft, std::move(made)).first;
    }
    return &it->second;
}

// Windowed-sinc low-pass for decimation by `factor`, passing 0.85 of the new band.
std::vector<float> lowPass(int factor) {
    if (factor <= 1) return {};
    const int count = 16 * factor + 1;
    const double cutoff = 0.85 * 0.5 / factor;  // cycles per input sample
    const double centre = (count - 1) / 2.0;
    std::vector<float> h(static_cast<std::size_t>(count));
    double sum = 0;
    for (int t = 0; t < count; ++t) {
        const double x = t - centre;
        const double sinc =
            x == 0 ? 2 * cutoff
                   : std::sin(2 * std::numbers::pi * cutoff * x) / (std::numbers::pi * x);
        const double w = 0.42 - 0.5 * std::cos(2 * std::numbers::pi * t / (count - 1)) +
                         0.08 * std::cos(4 * std::numbers::pi * t / (count - 1));
        h[static_cast<std::size_t>(t)] = static_cast<float>(sinc * w);
        sum += sinc * w;
    }
    for (float& v : h)
        v = static_cast<float>(v / sum);
    return h;
}

std::vector<kiss_fft_cpx> forward(const Plans& plans, std::vector<float>& time) {
    std::vector<kiss_fft_cpx> spectrum(time.size() / 2 + 1);
    kiss_fftr(plans.forward.get(), time.data(), spectrum.data());
    return spectrum;
}

double robustRms(const std::vector<float>& x) {
    if (x.empty()) return 0;
    std::vector<float> mags(x.size());
    std::transform(x.begin(), x.end(), mags.begin(), [](float v) { return std::fabs(v); });
    const auto mid = mags.begin() + static_cast<std::ptrdiff_t>(mags.size() / 2);
    std::nth_element(mags.begin(), mid, mags.end());
    return 1.4826 * *mid;  // the median magnitude of Gaussian noise, scaled to its RMS
}

}  // namespace

ArrivalWatch::ArrivalWatch(double rate, double windowSeconds)
    : rate_(rate),
      factor_(std::max(1, static_cast<int>(std::lround(rate / kAnalysisRate)))),
      window_(static_cast<std::size_t>(
          std::max(1.0, std::round(windowSeconds * rate / std::max(1, factor_))))),
      taps_(lowPass(factor_)),
      refTail_(taps_.empty() ? 0 : taps_.size() - 1, 0.0f),
      micTail_(refTail_.size(), 0.0f) {}

void ArrivalWatch::keepHistory(double ms) {
    history_ = std::max<std::size_t>(history_, static_cast<std::size_t>(
                                                   std::ceil(ms * analysisRate() / 1000.0)) + 2);
}

void ArrivalWatch::push(std::vector<float>& out, std::vector<float>& tail, const float* x,
                        std::size_t n) {
    if (factor_ == 1) {
        out.insert(out.end(), x, x + n);
        return;
    }
    const std::size_t keep = tail.size();
    std::vector<float> buf(keep + n);
    std::copy(tail.begin(), tail.end(), buf.begin());
    std::copy(x, x + n, buf.begin() + static_cast<std::ptrdiff_t>(keep));
    const auto step = static_cast<std::size_t>(factor_);
    for (std::size_t j = phase_; j < n; j += step) {
        // Output at input j: the filter's taps over buf[keep + j - t].
        float acc = 0;
        const float* at = buf.data() + keep + j;
        for (std::size_t t = 0; t < taps_.size(); ++t)
            acc += taps_[t] * *(at - t);
        out.push_back(acc);
    }
    std::copy(buf.end() - static_cast<std::ptrdiff_t>(keep), buf.end(), tail.begin());
}

void ArrivalWatch::add(const float* ref, const float* mic, std::size_t frames) {
    const std::size_t before = ref_.size();
    push(ref_, refTail_, ref, frames);
    push(mic_, micTail_, mic, frames);
    if (factor_ > 1) {
        // The next output falls `phase_` inputs into the next block.
        const auto step = static_cast<std::size_t>(factor_);
        const std::size_t made = ref_.size() - before;
        phase_ = phase_ + made * step - frames;
    }
    count_ += ref_.size() - before;

    // Reference history beyond what the next analysis can reach is dropped now and then, in one
    // move, so feeding stays linear.
    const std::size_t needFrom = start_ > history_ ? start_ - history_ : 0;
    if (needFrom > refBase_ + ref_.size() / 2 + 4096) {
        const std::size_t drop = std::min(needFrom - refBase_, ref_.size());
        ref_.erase(ref_.begin(), ref_.begin() + static_cast<std::ptrdiff_t>(drop));
        refBase_ += drop;
    }
    if (start_ > micBase_) {
        const std::size_t drop = std::min(start_ - micBase_, mic_.size());
        mic_.erase(mic_.begin(), mic_.begin() + static_cast<std::ptrdiff_t>(drop));
        micBase_ += drop;
    }
}

void ArrivalWatch::restart(double skipSeconds) {
    start_ = count_ + static_cast<std::size_t>(std::max(0.0, skipSeconds) * analysisRate());
}

bool ArrivalWatch::ready() const { return count_ >= start_ + window_; }

double ArrivalWatch::Reading::echoAt(double offsetMs) const {
    if (echo.empty()) return 0;
    const auto x = static_cast<std::int64_t>(std::lround(offsetMs * rate / 1000.0));
    const auto centre = static_cast<std::int64_t>(echoCentre);
    const auto size = static_cast<std::int64_t>(echo.size());
    double best = 0;
    for (std::int64_t i = centre + x - 1; i <= centre + x + 1; ++i)
        if (i >= 0 && i < size) best = std::max(best, static_cast<double>(echo[i]));
    return best;
}

ArrivalWatch::Reading ArrivalWatch::analyse(double loMs, double hiMs,
                                            std::optional<double> anchorMs) {
    Reading out;
    const double fa = analysisRate();
    out.rate = fa;
    const std::size_t W = window_;
    const std::size_t T = start_;
    start_ = count_;
    if (count_ < T + W || mic_.size() < T + W - micBase_) {
        out.doubt = "not enough audio";
        return out;
    }
    // Arrivals are sought at lags [lo, hi]: the reference from T − hi to T + W − lo.
    const double held = static_cast<double>(T - std::min(T, refBase_));
    const double loS = std::max(0.0, std::floor(loMs * fa / 1000.0));
    const double hiS = std::min(held, std::ceil(hiMs * fa / 1000.0));
    if (!(hiS > loS) || !std::isfinite(hiS)) {
        out.doubt = "no reference history at those lags";
        return out;
    }
    const auto lo = static_cast<std::size_t>(loS), hi = static_cast<std::size_t>(hiS);
    const std::size_t span = hi - lo;
    const std::size_t segment = W + span;
    const int nfft = kiss_fftr_next_fast_size_real(static_cast<int>(segment));
    const Plans* plans = plansFor(nfft);
    if (!plans) {
        out.doubt = "no transform of that size";
        return out;
    }
    const auto n = static_cast<std::size_t>(nfft);
    const std::size_t bins = n / 2 + 1;
    const float* ref = ref_.data() + (T - hi - refBase_);
    const float* mic = mic_.data() + (T - micBase_);

    std::vector<float> time(n, 0.0f);
    std::copy(mic, mic + W, time.begin());
    const auto micSpectrum = forward(*plans, time);
    std::copy(ref, ref + segment, time.begin());
    std::fill(time.begin() + static_cast<std::ptrdiff_t>(segment), time.end(), 0.0f);
    const auto refSpectrum = forward(*plans, time);

    // The reference's power per bin as a window of W samples would show it, smoothed.
    std::vector<double> prefix(bins + 1, 0.0);
    const double scale = static_cast<double>(W) / static_cast<double>(segment);
    for (std::size_t b = 0; b < bins; ++b) {
        const kiss_fft_cpx r = refSpectrum[b];
        prefix[b + 1] = prefix[b] + scale * (static_cast<double>(r.r) * r.r +
                                             static_cast<double>(r.i) * r.i);
    }
    const auto half = static_cast<std::size_t>(
        std::max(1.0, std::round(kSmoothHz * static_cast<double>(n) / fa)));
    std::vector<double> weight(bins);
    double mean = 0;
    for (std::size_t b = 0; b < bins; ++b) {
        const std::size_t a = b > half ? b - half : 0, z = std::min(bins, b + half + 1);
        weight[b] = (prefix[z] - prefix[a]) / static_cast<double>(z - a);
        mean += weight[b];
    }
    mean /= static_cast<double>(bins);
    if (!(mean > 0)) {
        out.doubt = "silent";
        return out;
    }
    const double lambda = kRegularise * mean;
    double covered = 0;
    for (double& w : weight) {
        covered += w / (w + lambda);
        w = 1.0 / (w + lambda);
    }
    out.coverage = covered / static_cast<double>(bins);

    // Correlation of mic against the segment: index k holds lag hi − k.
    auto correlate = [&](const std::vector<kiss_fft_cpx>& a) {
        std::vector<kiss_fft_cpx> x(bins);
        for (std::size_t b = 0; b < bins; ++b) {
            const kiss_fft_cpx m = a[b], r = refSpectrum[b];
            const auto w = static_cast<float>(weight[b]);
            x[b] = {(m.r * r.r + m.i * r.i) * w, (m.r * r.i - m.i * r.r) * w};
        }
        std::vector<float> result(n);
        kiss_fftri(plans->inverse.get(), x.data(), result.data());
        return result;
    };
    const std::vector<float> full = correlate(micSpectrum);

    std::size_t kA = 0;
    if (anchorMs && *anchorMs * fa / 1000.0 >= loS && *anchorMs * fa / 1000.0 <= hiS) {
        kA = hi - static_cast<std::size_t>(std::lround(*anchorMs * fa / 1000.0));
    } else {
        float best = -1;
        for (std::size_t k = 0; k <= span; ++k)
            if (std::fabs(full[k]) > best) best = std::fabs(full[kA = k]);
    }
    const float* aligned = ref + (kA);  // reference at lag hi − kA, over the window
    double energy = 0;
    for (std::size_t i = 0; i < W; ++i)
        energy += static_cast<double>(aligned[i]) * aligned[i];
    out.level = std::sqrt(energy / static_cast<double>(W));
    if (out.level < 1e-5) {
        out.doubt = "silent";
        return out;
    }
    std::copy(aligned, aligned + W, time.begin());
    std::fill(time.begin() + static_cast<std::ptrdiff_t>(W), time.end(), 0.0f);
    std::vector<float> pattern = correlate(forward(*plans, time));
    const float top = pattern[kA];
    if (!(top > 0)) {
        out.doubt = "silent";
        return out;
    }
    for (float& v : pattern)
        v /= top;

    // The pattern by lag offset x (a sound at anchor + x shows at index kA − x).
    const std::size_t reachSamples = span;
    out.echoCentre = reachSamples;
    out.echo.resize(2 * reachSamples + 1);
    auto patternAt = [&](std::int64_t k) {
        const auto len = static_cast<std::int64_t>(n);
        return pattern[static_cast<std::size_t>(((k % len) + len) % len)];
    };
    for (std::size_t i = 0; i < out.echo.size(); ++i) {
        const std::int64_t x = static_cast<std::int64_t>(i) - static_cast<std::int64_t>(reachSamples);
        out.echo[i] = std::fabs(patternAt(static_cast<std::int64_t>(kA) - x));
    }
    // Main lobe: out to where the pattern stays under half on both sides.
    std::size_t lobe = 1;
    while (lobe < reachSamples && (out.echo[reachSamples + lobe] >= 0.5f ||
                                   out.echo[reachSamples - lobe] >= 0.5f))
        ++lobe;
    out.resolutionMs = static_cast<double>(lobe) * 1000.0 / fa;
    float self = 0;
    for (std::size_t x = 2 * lobe + 2; x <= reachSamples; ++x)
        self = std::max({self, out.echo[reachSamples + x], out.echo[reachSamples - x]});
    out.selfSimilarity = self;

    // Take the arrivals out one by one, each with its whole echo pattern.
    std::vector<float> e(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(span + 1));
    for (float& v : e)
        v /= top;
    std::vector<float> rest = e;
    const double floor0 = robustRms(e);
    struct Taken {
        std::size_t k;
        float value;
    };
    std::vector<Taken> taken;
    for (int i = 0; i < kMaxPeaks; ++i) {
        std::size_t k = 0;
        float best = -1;
        for (std::size_t j = 0; j <= span; ++j)
            if (std::fabs(rest[j]) > best) best = std::fabs(rest[k = j]);
        if (best < kPeakFloors * floor0 || best <= 0) break;
        const float a = rest[k];
        for (std::size_t j = 0; j <= span; ++j)
            rest[j] -= a * patternAt(static_cast<std::int64_t>(j) - static_cast<std::int64_t>(k) +
                                     static_cast<std::int64_t>(kA));
        taken.push_back({k, a});
    }
    out.floor = robustRms(rest);
    if (!(out.floor > 0)) out.floor = floor0 > 0 ? floor0 : 1e-12;

    // Each arrival placed between samples on the correlation itself, strongest first; pieces of
    // one arrival and the stronger ones' echoes are left out.
    const auto merge = static_cast<std::size_t>(std::max(1.0, std::round(kMergeMs * fa / 1000.0)));
    for (const Taken& t : taken) {
        const std::size_t k = t.k;
        const float sign = t.value < 0 ? -1.0f : 1.0f;
        const double y0 = sign * e[k];
        const double ym = k > 0 ? sign * e[k - 1] : y0, yp = k < span ? sign * e[k + 1] : y0;
        const double curve = ym - 2 * y0 + yp;
        double frac = curve < 0 ? 0.5 * (ym - yp) / curve : 0.0;
        frac = std::clamp(frac, -0.5, 0.5);
        const double height = sign * (y0 - 0.25 * (ym - yp) * frac);
        Peak peak{(static_cast<double>(hi) - (static_cast<double>(k) + frac)) * 1000.0 / fa,
                  height, std::fabs(height) / out.floor};
        if (peak.snr < kPeakFloors) continue;
        bool piece = false;
        double echoed = 0;
        for (const Peak& p : out.peaks) {
            if (std::fabs(p.lagMs - peak.lagMs) * fa / 1000.0 <= static_cast<double>(merge))
                piece = true;
            echoed += std::fabs(p.gain) * out.echoAt(peak.lagMs - p.lagMs);
        }
        if (piece || echoed >= kEchoShare * std::fabs(peak.gain)) continue;
        out.peaks.push_back(peak);
    }
    std::stable_sort(out.peaks.begin(), out.peaks.end(), [](const Peak& a, const Peak& b) {
        return std::fabs(a.gain) > std::fabs(b.gain);
    });

    if (out.peaks.empty()) {
        out.doubt = "nothing heard";
    } else if (out.coverage < 0.05) {
        out.doubt = "too narrow a band";
    } else if (out.selfSimilarity > 0.5) {
        out.doubt = "material repeats itself";
    } else if (out.peaks.front().snr < 12) {
        out.doubt = "too noisy";
    } else {
        out.canTell = true;
    }
    return out;
}

}  // namespace housetone
