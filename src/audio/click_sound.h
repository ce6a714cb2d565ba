#pragma once

#include <string>
#include <vector>

namespace housetone {

// One click: an 8 ms burst of 1800 Hz decaying with a 2 ms time constant, peaking near
// `amplitude`; empty when the rate gives the burst no whole sample.
std::vector<float> clickBurst(double rate, double amplitude);

// The click test's sound file: 4 s of mono 16-bit PCM at 48 kHz, a click of amplitude 0.85 every
// 0.5 s, so one play gives eight evenly spaced clicks. Always the same bytes, so a file that
// holds anything else can be told apart and written again.
std::string clickTrackWav();

}  // namespace housetone
