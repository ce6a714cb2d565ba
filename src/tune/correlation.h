#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace housetone {

// Signal-processing primitives that turn a microphone recording into arrival times. All are pure
// functions, safe on any thread (not realtime: they allocate).

// Truncation toward zero, as every sample position of the measurement is derived; saturates
// instead of overflowing and maps NaN to 0, so a nonsensical offset cannot cause undefined
// behaviour.
std::int64_t wholePart(double v);

// Block average of three samples: output i = (x[3i] + x[3i+1] + x[3i+2]) / 3; leftovers dropped.
// Cuts the correlation cost ninefold. No anti-alias filter beyond the average itself: the test
// sweeps stay below 4 kHz, well inside the 8 kHz band left at 48 kHz / 3.
std::vector<float> decimate3(std::span<const float> x);

// Value k = sum over p of recording[k + p] × tpl[p], for k = 0 … recording − tpl length, so a
// copy of the template starting at recording sample k peaks at index k. Empty when the recording
// is shorter than the template or the template is empty. Computed by overlap-save with real FFTs;
// agrees with crossCorrelateDirect to float rounding. Each calling thread keeps the transform
// plans of the sizes it has used (two per size, about 8 bytes per point) until it ends.
std::vector<float> crossCorrelate(std::span<const float> recording, std::span<const float> tpl);
// The same values by the plain O(N × M) sum; the reference for tests and the benchmark.
std::vector<float> crossCorrelateDirect(std::span<const float> recording,
                                        std::span<const float> tpl);

// The strongest correlation value in a window, with the window's median level as its noise floor.
struct CorrPeak {
    std::int64_t index = 0;  // position in the correlation (not in the window)
    float value = 0;         // absolute correlation at index
    float median = 0;        // median absolute correlation over the window (sampled)

    // Peak-to-median ratio; 0 when the median is 0, so a silent window never qualifies.
    float ratio() const { return median > 0 ? value / median : 0.0f; }
};

// Window [lo, hi) is clamped to the correlation; nullopt when nothing of it remains. The first
// position of the largest absolute value wins. The median is taken over every step-th value with
// step = window / 4000 (at least 1), so it looks at no more than about 8000 values.
std::optional<CorrPeak> windowPeak(std::span<const float> corr, std::int64_t lo, std::int64_t hi);

struct PickedPeak {
    std::int64_t index = 0;
    float value = 0;  // absolute correlation
};

// Up to 8 peaks whose absolute value is at least fraction × the largest, strongest first, each
// more than separationMs (at `rate` Hz) from every stronger accepted one; returned in index
// order. Equal values prefer the earlier index.
std::vector<PickedPeak> pickPeaks(std::span<const float> corr, float fraction, double rate,
                                  double separationMs);

}  // namespace housetone
