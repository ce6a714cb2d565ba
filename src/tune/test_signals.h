#pragma once

#include <vector>

namespace housetone {

// Every sound the auto-tune plays and every template it correlates against. The same generator
// renders the played signal at the output rate and the template at the analysis rate, so the two
// match sample for sample in shape. Samples lie in [-amplitude, +amplitude].

// Exponential sine sweep from f1 to f2 Hz (falling when f2 < f1) over `duration` seconds, with
// 5 ms linear fades at both ends so the speaker does not click. rate in Hz; an empty list when
// rate × duration is below one sample.
std::vector<float> makeSweep(double rate, double duration = 0.8, double f1 = 500.0,
                             double f2 = 4000.0, double amplitude = 0.6);

// Three clicks (clickBurst: 8 ms of 1800 Hz decaying with a 2 ms time constant) at 0, 170 and
// 440 ms; the list ends with the third burst. The uneven spacing lets a listener (and the fire
// check) tell which burst is which.
std::vector<float> makeClicks(double rate, double amplitude = 0.55);

}  // namespace housetone
