#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace housetone::room {

// The burst the arrival probe plays: `frames` of white noise from a fixed seed at `amplitude`,
// faded in and out over a tenth of its length each, so that a resampler on the way does not ring.
std::vector<float> arrivalBurst(std::size_t frames, float amplitude);

// Where the burst arrived in a recording: the lag (frames after `from`) at which it matches best.
struct Arrival {
    std::size_t lag = 0;
    // The best match's strength over the median strength at the other lags: a burst that was not
    // heard leaves only noise, whose best match is barely above the rest.
    double clarity = 0;
};

// Searches recording[from, from + span) for the burst. Nothing when the stretch does not hold the
// whole burst at every lag it searches, or when the best match is not at least `minClarity` times
// the median: the burst was not heard there.
std::optional<Arrival> findArrival(const std::vector<float>& recording,
                                   const std::vector<float>& burst, std::size_t from,
                                   std::size_t span, double minClarity);

// The middle of the values (the mean of the two middle ones for an even count); nothing for none.
std::optional<double> median(std::vector<double> values);

}  // namespace housetone::room
