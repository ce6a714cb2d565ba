#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sf_private_tag;

namespace housetone {

struct WavData {
    double rate = 0;
    int channels = 0;
    std::vector<float> samples;  // interleaved, -1..1
};

// Bounds that keep a sound file from asking for absurd allocations: the file's
// size, its decoded samples and a resampled copy of it (about five minutes of stereo at 48 kHz).
constexpr std::size_t kMaxWavFileBytes = std::size_t{128} << 20;
constexpr std::size_t kMaxWavSamples = std::size_t{1} << 25;

// Reads a WAV file (every PCM and float layout libsndfile knows) from a regular file within the
// bounds above; nullopt when the file is missing, is not a regular file, is too large or is not
// such a file.
std::optional<WavData> readWav(const std::string& path);
// The same from bytes in memory.
std::optional<WavData> decodeWav(const std::string& bytes);

// Frames of `wav` once resampled to `rate`; nullopt when that holds no frame or more stereo
// samples than kMaxWavSamples (a file at 1 Hz would otherwise grow into gigabytes).
std::optional<std::size_t> resampledFrames(const WavData& wav, double rate);

// `wav` as stereo at `rate` (a mono file on both sides, channels beyond the second left out),
// resampled by linear interpolation, which is plenty for clicks, test sounds and a background
// loop; nullopt where resampledFrames has no answer.
std::optional<WavData> stereoAt(const WavData& wav, double rate);

// A 16-bit PCM WAV file of `channels` interleaved channels at `rate` Hz, as bytes; nullopt when
// the layout is impossible (no channel, no rate).
std::optional<std::string> encodeWav16(const std::vector<std::int16_t>& interleaved, int rate,
                                       int channels);

// Streams interleaved float samples to a 16-bit PCM WAV file. ok() turns false at the first
// failed write (a full disk) and stays false.
class WavWriter {
  public:
    WavWriter(const std::string& path, double rate, int channels);
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool ok() const { return ok_; }
    // Converts in a fixed block, so a recording from the hardware thread allocates nothing.
    void write(const float* interleaved, std::size_t frames);
    // Completes the header and closes the file; false when anything could not be written.
    bool finish();

  private:
    sf_private_tag* file_ = nullptr;
    int channels_;
    bool ok_ = false;
};

}  // namespace housetone
