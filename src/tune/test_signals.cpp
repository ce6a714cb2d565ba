#include "tune/test_signals.h"

#include <cmath>
#include <numbers>

#include "audio/click_sound.h"

namespace housetone {

std::vector<float> makeSweep(double rate, double duration, double f1, double f2, double amplitude) {
    const double whole = std::floor(rate * duration);
    if (!(whole >= 1.0) || !(f1 > 0.0) || !(f2 > 0.0)) return {};
    const auto n = static_cast<std::size_t>(whole);
    const double k = std::log(f2 / f1);
    // Fade length stays fractional so the envelope ramps exactly over 5 ms at any rate.
    const double fade = 0.005 * rate;
    const double phaseScale = 2.0 * std::numbers::pi * f1 * duration / k;

    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        // Equal end frequencies are the limit K -> 0 of the same formula: a steady tone.
        const double phase = k == 0.0 ? 2.0 * std::numbers::pi * f1 * t
                                      : phaseScale * (std::exp(t * k / duration) - 1.0);
        double env = amplitude;
        const auto fromStart = static_cast<double>(i);
        const auto toEnd = static_cast<double>(n - 1 - i);
        if (fromStart < fade) env *= fromStart / fade;
        if (toEnd < fade) env *= toEnd / fade;
        out[i] = static_cast<float>(std::sin(phase) * env);
    }
    return out;
}

std::vector<float> makeClicks(double rate, double amplitude) {
    const auto whole = [](double v) { return v > 0 ? static_cast<std::size_t>(v) : 0; };
    const std::vector<float> burst = clickBurst(rate, amplitude);
    const std::size_t third = whole(0.44 * rate);
    std::vector<float> out(third + burst.size(), 0.0f);
    for (const std::size_t at : {std::size_t{0}, whole(0.17 * rate), third})
        for (std::size_t k = 0; k < burst.size() && at + k < out.size(); ++k)
            out[at + k] = burst[k];
    return out;
}

}  // namespace housetone
