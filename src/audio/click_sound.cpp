#include "audio/click_sound.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <stdexcept>

#include "audio/sound_file.h"

namespace housetone {

std::vector<float> clickBurst(double rate, double amplitude) {
    const double whole = std::floor(0.008 * rate);
    std::vector<float> out(whole > 0 ? static_cast<std::size_t>(whole) : 0);
    for (std::size_t k = 0; k < out.size(); ++k) {
        const double t = static_cast<double>(k) / rate;
        out[k] = static_cast<float>(std::sin(2.0 * std::numbers::pi * 1800.0 * t) *
                                    std::exp(-t / 0.002) * amplitude);
    }
    return out;
}

std::string clickTrackWav() {
    constexpr int rate = 48000;
    constexpr std::size_t frames = 4 * rate;
    const std::vector<float> click = clickBurst(rate, 0.85);
    std::vector<std::int16_t> pcm(frames, 0);
    for (std::size_t start = 0; start + click.size() <= frames; start += rate / 2)
        for (std::size_t i = 0; i < click.size(); ++i)
            // Truncated toward zero on the 32767 scale: the bytes the file has always held.
            pcm[start + i] =
                static_cast<std::int16_t>(std::clamp(click[i] * 32767.0f, -32767.0f, 32767.0f));
    // Encoding fixed samples into memory fails only when memory does, which throws anyway.
    auto bytes = encodeWav16(pcm, rate, 1);
    if (!bytes) throw std::runtime_error("the click sound could not be encoded");
    return std::move(*bytes);
}

}  // namespace housetone
