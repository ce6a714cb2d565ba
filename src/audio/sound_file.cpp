#include "audio/sound_file.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/bounded_read.h"

namespace housetone {
namespace {

// libsndfile's virtual I/O over a string in memory; `writable` is the same string when it is
// being written.
struct MemoryFile {
    const std::string& bytes;
    std::string* writable = nullptr;
    sf_count_t pos = 0;
};

sf_count_t memLength(void* user) {
    return static_cast<sf_count_t>(static_cast<MemoryFile*>(user)->bytes.size());
}

sf_count_t memSeek(sf_count_t offset, int whence, void* user) {
    auto& m = *static_cast<MemoryFile*>(user);
    const auto size = static_cast<sf_count_t>(m.bytes.size());
    sf_count_t to = offset;
    if (whence == SEEK_CUR) to = m.pos + offset;
    if (whence == SEEK_END) to = size + offset;
    m.pos = std::clamp<sf_count_t>(to, 0, size);
    return m.pos;
}

sf_count_t memRead(void* out, sf_count_t count, void* user) {
    auto& m = *static_cast<MemoryFile*>(user);
    const sf_count_t n =
        std::clamp<sf_count_t>(static_cast<sf_count_t>(m.bytes.size()) - m.pos, 0, count);
    std::memcpy(out, m.bytes.data() + m.pos, static_cast<std::size_t>(n));
    m.pos += n;
    return n;
}

sf_count_t memWrite(const void* data, sf_count_t count, void* user) {
    auto& m = *static_cast<MemoryFile*>(user);
    if (!m.writable || count < 0) return 0;
    const auto at = static_cast<std::size_t>(m.pos), n = static_cast<std::size_t>(count);
    if (m.writable->size() < at + n) m.writable->resize(at + n);
    std::memcpy(m.writable->data() + at, data, n);
    m.pos += count;
    return count;
}

sf_count_t memTell(void* user) {
    return static_cast<MemoryFile*>(user)->pos;
}

}  // namespace

std::optional<WavData> decodeWav(const std::string& bytes) {
    MemoryFile mem{bytes, nullptr};
    SF_VIRTUAL_IO io{memLength, memSeek, memRead, memWrite, memTell};
    SF_INFO info{};
    SNDFILE* f = sf_open_virtual(&io, SFM_READ, &info, &mem);
    if (!f) return std::nullopt;
    struct Closer {
        SNDFILE* f;
        ~Closer() { sf_close(f); }
    } closer{f};
    if ((info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_WAV &&
        (info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_WAVEX)
        return std::nullopt;
    if (info.channels < 1 || info.samplerate < 1 || info.frames < 0 ||
        static_cast<std::uint64_t>(info.frames) * static_cast<std::uint64_t>(info.channels) >
            kMaxWavSamples)
        return std::nullopt;

    WavData wav;
    wav.rate = info.samplerate;
    wav.channels = info.channels;
    wav.samples.resize(static_cast<std::size_t>(info.frames) *
                       static_cast<std::size_t>(info.channels));
    const sf_count_t got = sf_readf_float(f, wav.samples.data(), info.frames);
    // A file cut short inside its data reads as nothing rather than as a silent tail.
    if (got != info.frames) return std::nullopt;
    for (float& x : wav.samples) {
        // A NaN or infinity would poison every mix it is summed into.
        if (!std::isfinite(x)) x = 0.0f;
    }
    return wav;
}

std::optional<WavData> readWav(const std::string& path) {
    std::string bytes;
    if (!readRegularFile(path, kMaxWavFileBytes, bytes)) return std::nullopt;
    return decodeWav(bytes);
}

std::optional<std::size_t> resampledFrames(const WavData& wav, double rate) {
    if (wav.channels < 1 || !(wav.rate > 0) || !(rate > 0)) return std::nullopt;
    const double in =
        static_cast<double>(wav.samples.size() / static_cast<std::size_t>(wav.channels));
    const double out = std::round(in * rate / wav.rate);
    if (!(out >= 1) || out * 2 > static_cast<double>(kMaxWavSamples)) return std::nullopt;
    return static_cast<std::size_t>(out);
}

std::optional<WavData> stereoAt(const WavData& wav, double rate) {
    const auto frames = resampledFrames(wav, rate);
    if (!frames) return std::nullopt;
    const auto ch = static_cast<std::size_t>(wav.channels);
    const std::size_t inFrames = wav.samples.size() / ch;
    WavData out;
    out.rate = rate;
    out.channels = 2;
    out.samples.resize(*frames * 2);
    for (std::size_t f = 0; f < *frames; ++f) {
        const double src = static_cast<double>(f) * wav.rate / rate;
        const std::size_t i0 = std::min(static_cast<std::size_t>(src), inFrames - 1);
        const double frac = src - static_cast<double>(i0);
        const std::size_t i1 = std::min(i0 + 1, inFrames - 1);
        for (std::size_t c = 0; c < 2; ++c) {
            const std::size_t sc = std::min(c, ch - 1);
            const float a = wav.samples[i0 * ch + sc];
            const float b = wav.samples[i1 * ch + sc];
            out.samples[f * 2 + c] = static_cast<float>(a + (b - a) * frac);
        }
    }
    return out;
}

std::optional<std::string> encodeWav16(const std::vector<std::int16_t>& interleaved, int rate,
                                       int channels) {
    if (channels < 1 || rate < 1) return std::nullopt;
    std::string bytes;
    MemoryFile mem{bytes, &bytes};
    SF_VIRTUAL_IO io{memLength, memSeek, memRead, memWrite, memTell};
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open_virtual(&io, SFM_WRITE, &info, &mem);
    if (!f) return std::nullopt;
    const auto frames =
        static_cast<sf_count_t>(interleaved.size() / static_cast<std::size_t>(channels));
    const bool written = sf_writef_short(f, interleaved.data(), frames) == frames;
    if (sf_close(f) != 0 || !written) return std::nullopt;
    return bytes;
}

WavWriter::WavWriter(const std::string& path, double rate, int channels) : channels_(channels) {
    const double roundedRate = std::round(rate);
    if (channels < 1 || channels > 1024 || !(roundedRate >= 1) ||
        roundedRate > std::numeric_limits<int>::max())
        return;
    SF_INFO info{};
    info.samplerate = static_cast<int>(roundedRate);
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    file_ = sf_open(path.c_str(), SFM_WRITE, &info);
    ok_ = file_ != nullptr;
}

WavWriter::~WavWriter() {
    finish();
}

void WavWriter::write(const float* interleaved, std::size_t frames) {
    if (!ok_ || frames == 0) return;
    std::array<short, 2048> block;
    const std::size_t perBlock = block.size() / static_cast<std::size_t>(channels_);
    while (frames > 0 && ok_) {
        const std::size_t n = std::min(frames, perBlock);
        const std::size_t count = n * static_cast<std::size_t>(channels_);
        for (std::size_t i = 0; i < count; ++i) {
            const float x = interleaved[i];
            const float clamped = std::isnan(x) ? 0.0f : std::clamp(x, -1.0f, 1.0f);
            // The 2^15 scale the reader divides by, so a round trip is exact to half a step;
            // +1.0 is the one value that has to give up a step.
            block[i] = static_cast<short>(std::min(std::lrint(clamped * 32768.0f), 32767L));
        }
        if (sf_writef_short(file_, block.data(), static_cast<sf_count_t>(n)) !=
            static_cast<sf_count_t>(n))
            ok_ = false;
        interleaved += count;
        frames -= n;
    }
}

bool WavWriter::finish() {
    if (!file_) return ok_;
    // Writes land in libsndfile's buffer first; a full disk may only show here.
    sf_write_sync(file_);
    if (sf_error(file_) != SF_ERR_NO_ERROR) ok_ = false;
    if (sf_close(file_) != 0) ok_ = false;
    file_ = nullptr;
    return ok_;
}

}  // namespace housetone
