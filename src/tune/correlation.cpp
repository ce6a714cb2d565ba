#include "tune/correlation.h"

#include <kissfft/kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>

namespace housetone {

namespace {

struct FftrDeleter {
    void operator()(kiss_fftr_state* cfg) const { kiss_fftr_free(cfg); }
};
using FftrConfig = std::unique_ptr<kiss_fftr_state, FftrDeleter>;

// A forward and an inverse plan of one size. A kissfft plan carries its own scratch buffer, so a
// plan may serve one transform at a time: each thread keeps its own, made on first use of a size
// and reused by every later call (a measurement correlates the same lengths again and again).
struct FftPlans {
    FftrConfig forward, inverse;
};

const FftPlans* plansFor(int nfft) {
    thread_local std::map<int, FftPlans> cache;
    auto it = cache.find(nfft);
    if (it == cache.end()) {
        FftPlans made{FftrConfig(kiss_fftr_alloc(nfft, 0, nullptr, nullptr)),
                      FftrConfig(kiss_fftr_alloc(nfft, 1, nullptr, nullptr))};
        if (!made.forward || !made.inverse) return nullptr;
        it = cache.emplace(nfft, std::move(made)).first;
    }
    return &it->second;
}

// Transform size of one overlap-save block. Four template lengths keep the discarded overlap at a
// quarter of each block; a whole recording that fits in that is done in a single block. Measured
// on 2 to 15 s recordings against the 0.8 s template: two, eight or twenty template lengths, and
// powers of two instead of kissfft's fast mixed-radix sizes, were all as fast or slower.
int blockSizeFor(std::size_t recording, std::size_t tpl) {
    const std::size_t target = std::max<std::size_t>(4 * tpl, 4096);
    const std::size_t want = std::min(target, recording);
    return kiss_fftr_next_fast_size_real(static_cast<int>(want));
}

// No correlation value can exceed the Cauchy-Schwarz bound |recording span| × |template|. The
// direct sum of a digitally silent span is exactly 0, but FFT rounding spreads about 1e-7 of a
// block's loudest values over the whole block, so a silent stretch after a sweep would read as a
// faint correlation whose median is only rounding noise (a ratio in the tens where the direct sum
// gives 0). Clipping every value to its span's bound gives silent spans exactly 0 again and leaves
// every other value as it was, to float rounding. The span energies come from running sums in
// double, which repeat their value exactly across a silent stretch.
void limitToSpanEnergy(std::vector<float>& corr, std::span<const float> recording,
                       std::span<const float> tpl) {
    double tplEnergy = 0;
    for (const float v : tpl)
        tplEnergy += static_cast<double>(v) * v;
    // Two running sums over the same squares in the same order: `upTo` = the sum of the first k,
    // `through` = of the first k + template length, exactly as a table of prefix sums would hold
    // them, without the table.
    double upTo = 0, through = 0;
    for (std::size_t i = 0; i + 1 < tpl.size(); ++i)
        through += static_cast<double>(recording[i]) * recording[i];
    for (std::size_t k = 0; k < corr.size(); ++k) {
        const float last = recording[k + tpl.size() - 1];
        through += static_cast<double>(last) * last;
        const double span = std::max(through - upTo, 0.0);
        upTo += static_cast<double>(recording[k]) * recording[k];
        // A float squared is exact in double, and rounding is monotonic, so a value within the
        // bound here is within its float rounding too: the square root is taken only to clip.
        const double v = corr[k];
        if (v * v <= span * tplEnergy) continue;
        const auto bound = static_cast<float>(std::sqrt(span * tplEnergy));
        corr[k] = std::clamp(corr[k], -bound, bound);
    }
}

}  // namespace

std::int64_t wholePart(double v) {
    if (std::isnan(v)) return 0;
    constexpr double limit = 9.0e18;  // inside int64 range with room to spare
    return static_cast<std::int64_t>(std::clamp(v, -limit, limit));
}

std::vector<float> decimate3(std::span<const float> x) {
    std::vector<float> out(x.size() / 3);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = (x[3 * i] + x[3 * i + 1] + x[3 * i + 2]) / 3.0f;
    return out;
}

std::vector<float> crossCorrelate(std::span<const float> recording, std::span<const float> tpl) {
    if (tpl.empty() || recording.size() < tpl.size()) return {};
    const std::size_t m = tpl.size();
    const std::size_t outCount = recording.size() - m + 1;
    const int nfft = blockSizeFor(recording.size(), m);
    const auto n = static_cast<std::size_t>(nfft);
    const std::size_t bins = n / 2 + 1;
    // Outputs per block: positions whose template span does not wrap around the block.
    const std::size_t step = n - m + 1;

    const FftPlans* plans = plansFor(nfft);
    if (!plans) return crossCorrelateDirect(recording, tpl);
    kiss_fftr_state* forward = plans->forward.get();
    kiss_fftr_state* inverse = plans->inverse.get();

    std::vector<float> time(n, 0.0f);
    std::vector<kiss_fft_cpx> tplSpectrum(bins), spectrum(bins);
    std::copy(tpl.begin(), tpl.end(), time.begin());
    kiss_fftr(forward, time.data(), tplSpectrum.data());
    // Correlation is multiplication by the conjugate spectrum. kissfft's inverse is not
    // normalised, so the 1/n goes into the template once instead of into every output.
    const float scale = 1.0f / static_cast<float>(n);
    for (kiss_fft_cpx& c : tplSpectrum) {
        c.r *= scale;
        c.i *= -scale;
    }

    std::vector<float> out(outCount);
    for (std::size_t start = 0; start < outCount; start += step) {
        const std::size_t avail = std::min(n, recording.size() - start);
        std::copy_n(recording.begin() + static_cast<std::ptrdiff_t>(start), avail, time.begin());
        std::fill(time.begin() + static_cast<std::ptrdiff_t>(avail), time.end(), 0.0f);
        kiss_fftr(forward, time.data(), spectrum.data());
        for (std::size_t b = 0; b < bins; ++b) {
            const kiss_fft_cpx x = spectrum[b], t = tplSpectrum[b];
            spectrum[b] = {x.r * t.r - x.i * t.i, x.r * t.i + x.i * t.r};
        }
        kiss_fftri(inverse, spectrum.data(), time.data());
        const std::size_t count = std::min(step, outCount - start);
        std::copy_n(time.begin(), count, out.begin() + static_cast<std::ptrdiff_t>(start));
    }
    limitToSpanEnergy(out, recording, tpl);
    return out;
}

std::vector<float> crossCorrelateDirect(std::span<const float> recording,
                                        std::span<const float> tpl) {
    if (tpl.empty() || recording.size() < tpl.size()) return {};
    const std::size_t m = tpl.size();
    const std::size_t outCount = recording.size() - m + 1;
    std::vector<float> out(outCount, 0.0f);
    // Outputs in cache-sized runs, template tap by tap: the inner loop has no reduction, so it
    // vectorises without reordering any output's sum (still p = 0, 1, 2, … per value).
    constexpr std::size_t run = 2048;
    for (std::size_t k0 = 0; k0 < outCount; k0 += run) {
        const std::size_t len = std::min(run, outCount - k0);
        float* __restrict o = out.data() + k0;
        for (std::size_t p = 0; p < m; ++p) {
            const float t = tpl[p];
            const float* __restrict r = recording.data() + k0 + p;
            for (std::size_t k = 0; k < len; ++k)
                o[k] += r[k] * t;
        }
    }
    return out;
}

std::optional<CorrPeak> windowPeak(std::span<const float> corr, std::int64_t lo, std::int64_t hi) {
    const auto length = static_cast<std::int64_t>(corr.size());
    lo = std::max<std::int64_t>(lo, 0);
    hi = std::min(hi, length);
    if (hi <= lo) return std::nullopt;

    const std::int64_t m = hi - lo;
    CorrPeak peak;
    peak.index = lo;
    peak.value = std::fabs(corr[static_cast<std::size_t>(lo)]);
    for (std::int64_t i = lo + 1; i < hi; ++i) {
        const float v = std::fabs(corr[static_cast<std::size_t>(i)]);
        if (v > peak.value) {
            peak.value = v;
            peak.index = i;
        }
    }

    const std::int64_t step = m >= 4000 ? m / 4000 : 1;
    std::vector<float> sampled;
    sampled.reserve(static_cast<std::size_t>((m + step - 1) / step));
    for (std::int64_t i = 0; i < m; i += step)
        sampled.push_back(std::fabs(corr[static_cast<std::size_t>(lo + i)]));
    // The element a full sort would put at count / 2 (the upper middle for an even count).
    const auto mid = sampled.begin() + static_cast<std::ptrdiff_t>(sampled.size() / 2);
    std::nth_element(sampled.begin(), mid, sampled.end());
    peak.median = *mid;
    return peak;
}

std::vector<PickedPeak> pickPeaks(std::span<const float> corr, float fraction, double rate,
                                  double separationMs) {
    if (corr.empty()) return {};
    float top = 0;
    for (const float v : corr)
        top = std::max(top, std::fabs(v));
    const float threshold = fraction * top;

    std::vector<PickedPeak> candidates;
    for (std::size_t i = 0; i < corr.size(); ++i) {
        const float v = std::fabs(corr[i]);
        if (v >= threshold) candidates.push_back({static_cast<std::int64_t>(i), v});
    }
    const std::int64_t separation = wholePart(rate / 1000.0 * separationMs);

    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const PickedPeak& a, const PickedPeak& b) { return a.value > b.value; });
    constexpr std::size_t maxPeaks = 8;
    std::vector<PickedPeak> accepted;
    for (const PickedPeak& c : candidates) {
        const bool crowded = std::any_of(
            accepted.begin(), accepted.end(),
            [&](const PickedPeak& a) { return std::abs(a.index - c.index) <= separation; });
        if (crowded) continue;
        accepted.push_back(c);
        if (accepted.size() == maxPeaks) break;
    }
    std::sort(accepted.begin(), accepted.end(),
              [](const PickedPeak& a, const PickedPeak& b) { return a.index < b.index; });
    return accepted;
}

}  // namespace housetone
