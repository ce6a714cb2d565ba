// libFuzzer target: WAV bytes. Whatever decodes must be within the reader's bounds, finite and
// resample without exceeding the bound on the resampled length.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "audio/sound_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace housetone;
    const auto wav = decodeWav(std::string(reinterpret_cast<const char*>(data), size));
    if (!wav) return 0;
    if (wav->channels < 1 || !(wav->rate > 0) || wav->samples.size() > kMaxWavSamples ||
        wav->samples.size() % static_cast<std::size_t>(wav->channels) != 0)
        std::abort();
    for (const float x : wav->samples) {
        if (!std::isfinite(x)) std::abort();
    }
    for (const double rate : {8000.0, 48000.0, 384000.0}) {
        if (const auto frames = resampledFrames(*wav, rate); frames && *frames * 2 > kMaxWavSamples)
            std::abort();
    }
    return 0;
}
