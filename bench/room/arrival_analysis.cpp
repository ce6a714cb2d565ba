#include "arrival_analysis.h"

#include <algorithm>
#include <cmath>

namespace housetone::room {

std::vector<float> arrivalBurst(std::size_t frames, float amplitude) {
    std::vector<float> b(frames);
    std::uint32_t state = 0x2545f491u;
    const std::size_t fade = std::max<std::size_t>(frames / 10, 1);
    for (std::size_t n = 0; n < frames; ++n) {
        state = state * 1664525u + 1013904223u;  // the same burst on every run
        const double white = static_cast<double>(state >> 8) / double(1u << 24) * 2 - 1;
        const double edge = std::min(
            {1.0, static_cast<double>(n + 1) / fade, static_cast<double>(frames - n) / fade});
        b[n] = static_cast<float>(white * edge * amplitude);
    }
    return b;
}

std::optional<Arrival> findArrival(const std::vector<float>& recording,
                                   const std::vector<float>& burst, std::size_t from,
                                   std::size_t span, double minClarity) {
    if (burst.empty() || span < burst.size() || from > recording.size() ||
        recording.size() - from < span)
        return std::nullopt;
    const std::size_t lags = span - burst.size() + 1;
    std::vector<double> strength(lags);
    for (std::size_t lag = 0; lag < lags; ++lag) {
        double sum = 0;
        const float* x = recording.data() + from + lag;
        for (std::size_t i = 0; i < burst.size(); ++i)
            sum += static_cast<double>(x[i]) * burst[i];
        strength[lag] = std::abs(sum);
    }
    const auto best = std::max_element(strength.begin(), strength.end());
    Arrival a;
    a.lag = static_cast<std::size_t>(best - strength.begin());
    std::vector<double> sorted = strength;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(lags / 2), sorted.end());
    const double typical = sorted[lags / 2];
    a.clarity = typical > 0 ? *best / typical : (*best > 0 ? INFINITY : 0);
    if (!(a.clarity >= minClarity)) return std::nullopt;
    return a;
}

std::optional<double> median(std::vector<double> values) {
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace housetone::room
