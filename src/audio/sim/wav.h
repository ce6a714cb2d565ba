#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace housetone::sim {

struct WavData {
    double rate = 0;
    int channels = 0;
    std::vector<float> samples;  // interleaved, -1..1
};

// Reads 8/16/24/32-bit PCM and 32-bit float WAV files; nullopt when the file is missing or is not
// such a file.
std::optional<WavData> readWav(const std::string& path);

// Streams interleaved float samples to a 16-bit PCM WAV file; the header's sizes are fixed up by
// finish() (also called by the destructor).
class WavWriter {
  public:
    WavWriter(const std::string& path, double rate, int channels);
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool ok() const { return ok_; }
    void write(const float* interleaved, std::size_t frames);
    void finish();

  private:
    std::ofstream out_;
    int channels_;
    std::uint64_t frames_ = 0;
    bool ok_ = false;
    bool finished_ = false;
};

}  // namespace housetone::sim
