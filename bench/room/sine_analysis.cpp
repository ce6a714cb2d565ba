#include "sine_analysis.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace housetone::room {

namespace {

// Below this peak a channel carries nothing at all (-120 dBFS).
constexpr double silentPeak = 1e-6;

}  // namespace

SineChannel analyseSine(std::span<const float> x, const SineOptions& o) {
    SineChannel c;
    double peak = 0;
    for (const float v : x)
        peak = std::max(peak, static_cast<double>(std::fabs(v)));
    if (peak < silentPeak) return c;
    c.sound = true;
    const double floor = o.soundFraction * peak;
    const auto sounding = [floor](float v) { return std::fabs(v) > floor; };
    c.first = static_cast<std::size_t>(std::find_if(x.begin(), x.end(), sounding) - x.begin());
    c.last = x.size() - 1 -
             static_cast<std::size_t>(std::find_if(x.rbegin(), x.rend(), sounding) - x.rbegin());
    double power = 0;
    for (std::size_t n = c.first; n <= c.last; ++n)
        power += static_cast<double>(x[n]) * x[n];
    c.amplitude = std::sqrt(2 * power / static_cast<double>(c.last - c.first + 1));

    // x[n] = 2cos(w)x[n-1] - x[n-2] holds exactly for any sine of that frequency, whatever its
    // amplitude or phase, so what is left over is what broke it.
    const double w = 2 * std::numbers::pi * o.frequency / o.rate;
    const double k = 2 * std::cos(w), limit = o.threshold * c.amplitude;
    // Two frames in a row this close to zero are a hole: a sine moves further than that between
    // any two frames, even across its zero crossing.
    const double quiet = 0.5 * c.amplitude * std::sin(w / 2);
    const auto merge = static_cast<std::size_t>(o.mergeMs * o.rate / 1000);
    std::optional<std::size_t> lastFlagged;
    for (std::size_t n = c.first + 2; n <= c.last; ++n) {
        const double residual = x[n] - k * x[n - 1] + x[n - 2];
        const bool hole = std::fabs(x[n]) < quiet && std::fabs(x[n - 1]) < quiet;
        if (std::fabs(residual) <= limit && !hole) continue;
        if (!lastFlagged || n - *lastFlagged > merge) c.breaks.push_back(n);
        lastFlagged = n;
    }
    // A sound that ends with a short fade (as the engine ends one where its program stopped)
    // has a softer edge, not a break: what falls within one merge span of the end is the edge.
    std::erase_if(c.breaks, [&](std::size_t n) { return n + merge >= c.last; });
    return c;
}

long graphFrame(std::size_t frame, const std::vector<GraphJump>& jumps) {
    long skipped = 0;
    for (const GraphJump& j : jumps) {
        if (j.frame > frame) break;
        skipped += j.frames;
    }
    return static_cast<long>(frame) + skipped;
}

std::optional<long> onsetLag(const SineChannel& reference, const SineChannel& later,
                             const std::vector<GraphJump>& jumps) {
    if (!reference.sound || !later.sound) return std::nullopt;
    return graphFrame(later.first, jumps) - graphFrame(reference.first, jumps);
}

BreakSources attributeBreaks(const std::vector<std::size_t>& breaks,
                             const std::vector<std::size_t>& referenceBreaks, long lag,
                             const std::vector<GraphJump>& jumps, std::size_t cycle,
                             std::size_t tolerance) {
    const auto tol = static_cast<long>(tolerance), after = static_cast<long>(cycle) + tol;
    std::vector<long> reference, skips;
    for (const std::size_t b : referenceBreaks)
        reference.push_back(graphFrame(b, jumps));
    for (const GraphJump& j : jumps)
        skips.push_back(graphFrame(j.frame, jumps));
    // A graph that ran backwards would leave them out of order.
    std::sort(reference.begin(), reference.end());
    std::sort(skips.begin(), skips.end());
    BreakSources s;
    for (const std::size_t b : breaks) {
        const long at = graphFrame(b, jumps);
        const auto fromReference =
            std::lower_bound(reference.begin(), reference.end(), at - lag - after);
        const auto skip = std::lower_bound(skips.begin(), skips.end(), at - after);
        if (fromReference != reference.end() && *fromReference <= at - lag + tol)
            ++s.reference;
        else if (skip != skips.end() && *skip <= at + tol)
            ++s.graph;
        else
            ++s.added;
    }
    return s;
}

}  // namespace housetone::room
