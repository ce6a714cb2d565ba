#include "audio/sim/wav.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

namespace housetone::sim {
namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;

constexpr std::size_t kHeaderBytes = 44;
// The RIFF size field is 32 bits and counts the 36 header bytes after it as well as the data.
constexpr std::uint64_t kMaxDataBytes = std::numeric_limits<std::uint32_t>::max() - 36;

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void putLe16(char* p, std::uint16_t v) {
    p[0] = static_cast<char>(v & 0xFF);
    p[1] = static_cast<char>(v >> 8);
}

void putLe32(char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool tagIs(const unsigned char* p, const char (&tag)[5]) {
    return std::memcmp(p, tag, 4) == 0;
}

struct Format {
    std::uint16_t tag = 0;  // PCM or float; an extensible header is reduced to its subformat
    int channels = 0;
    std::uint32_t rate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bits = 0;
};

std::optional<Format> parseFmt(const unsigned char* p, std::uint32_t size) {
    if (size < 16) return std::nullopt;
    Format f{le16(p), le16(p + 2), le32(p + 4), le16(p + 12), le16(p + 14)};
    if (f.tag == kFormatExtensible) {
        // cbSize, valid bits and channel mask come first; the subformat GUID starts with the
        // plain format tag.
        if (size < 40) return std::nullopt;
        f.tag = le16(p + 24);
    }
    const bool pcm =
        f.tag == kFormatPcm && (f.bits == 8 || f.bits == 16 || f.bits == 24 || f.bits == 32);
    const bool flt = f.tag == kFormatFloat && f.bits == 32;
    if (!(pcm || flt) || f.channels < 1 || f.rate < 1) return std::nullopt;
    if (f.blockAlign != f.channels * (f.bits / 8)) return std::nullopt;
    return f;
}

float decodeSample(const unsigned char* p, const Format& f) {
    switch (f.bits) {
        case 8:  // unsigned, centred on 128
            return static_cast<float>(static_cast<int>(p[0]) - 128) / 128.0f;
        case 16:
            return static_cast<float>(static_cast<std::int16_t>(le16(p))) / 32768.0f;
        case 24: {
            auto v = static_cast<std::int32_t>(p[0] | (p[1] << 8) | (p[2] << 16));
            if (v & 0x800000) v -= 0x1000000;
            return static_cast<float>(v) / 8388608.0f;
        }
        default:
            if (f.tag == kFormatFloat) {
                const float v = std::bit_cast<float>(le32(p));
                // A NaN or infinity would poison every mix it is summed into.
                return std::isfinite(v) ? v : 0.0f;
            }
            return static_cast<float>(static_cast<double>(static_cast<std::int32_t>(le32(p))) /
                                      2147483648.0);
    }
}

}  // namespace

std::optional<WavData> readWav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    const unsigned char* b = bytes.data();
    if (bytes.size() < 12 || !tagIs(b, "RIFF") || !tagIs(b + 8, "WAVE")) return std::nullopt;

    // The RIFF size is not trusted (streaming writers leave it 0 or wrong); the chunks are
    // walked within the bytes actually present, and any chunk that runs past them is a truncated
    // file.
    std::optional<Format> fmt;
    const unsigned char* data = nullptr;
    std::size_t dataSize = 0;
    std::size_t pos = 12;
    while (bytes.size() - pos >= 8 && !(fmt && data)) {
        const unsigned char* chunk = b + pos;
        const std::size_t size = le32(chunk + 4);
        const std::size_t body = pos + 8;
        if (size > bytes.size() - body) return std::nullopt;
        if (tagIs(chunk, "fmt ")) {
            if (fmt) return std::nullopt;
            fmt = parseFmt(chunk + 8, static_cast<std::uint32_t>(size));
            if (!fmt) return std::nullopt;
        } else if (tagIs(chunk, "data")) {
            data = chunk + 8;
            dataSize = size;
        }
        // Chunks are word aligned: an odd-sized body is followed by one pad byte.
        pos = std::min(bytes.size(), body + size + (size & 1));
    }
    if (!fmt || !data || dataSize % fmt->blockAlign != 0) return std::nullopt;

    WavData wav;
    wav.rate = fmt->rate;
    wav.channels = fmt->channels;
    const std::size_t bytesPerSample = fmt->bits / 8;
    wav.samples.resize(dataSize / bytesPerSample);
    for (std::size_t i = 0; i < wav.samples.size(); ++i) {
        wav.samples[i] = decodeSample(data + i * bytesPerSample, *fmt);
    }
    return wav;
}

WavWriter::WavWriter(const std::string& path, double rate, int channels) : channels_(channels) {
    const double roundedRate = std::round(rate);
    const std::uint64_t blockAlign = 2 * static_cast<std::uint64_t>(std::max(channels, 0));
    if (channels < 1 || blockAlign > std::numeric_limits<std::uint16_t>::max() ||
        !(roundedRate >= 1) ||
        roundedRate * static_cast<double>(blockAlign) >
            static_cast<double>(std::numeric_limits<std::uint32_t>::max())) {
        return;
    }
    const auto rateHz = static_cast<std::uint32_t>(roundedRate);

    out_.open(path, std::ios::binary | std::ios::trunc);
    if (!out_) return;
    // Sizes stay 0 until finish(): a file cut short by a crash then reads as empty, not as
    // garbage.
    std::array<char, kHeaderBytes> h{};
    std::memcpy(h.data(), "RIFF", 4);
    std::memcpy(h.data() + 8, "WAVEfmt ", 8);
    putLe32(h.data() + 16, 16);
    putLe16(h.data() + 20, kFormatPcm);
    putLe16(h.data() + 22, static_cast<std::uint16_t>(channels));
    putLe32(h.data() + 24, rateHz);
    putLe32(h.data() + 28, static_cast<std::uint32_t>(rateHz * blockAlign));
    putLe16(h.data() + 32, static_cast<std::uint16_t>(blockAlign));
    putLe16(h.data() + 34, 16);
    std::memcpy(h.data() + 36, "data", 4);
    out_.write(h.data(), static_cast<std::streamsize>(h.size()));
    ok_ = static_cast<bool>(out_);
}

WavWriter::~WavWriter() {
    finish();
}

void WavWriter::write(const float* interleaved, std::size_t frames) {
    if (!ok_ || finished_ || frames == 0) return;
    const std::uint64_t frameBytes = 2 * static_cast<std::uint64_t>(channels_);
    // Past 4 GiB the header could not describe the file any more; later audio is dropped.
    const std::uint64_t fits = (kMaxDataBytes - frames_ * frameBytes) / frameBytes;
    frames = static_cast<std::size_t>(std::min<std::uint64_t>(frames, fits));

    // Converted in a fixed block so a recording from the hardware thread allocates nothing.
    std::array<char, 4096> block;
    std::size_t used = 0;
    const std::size_t count = frames * static_cast<std::size_t>(channels_);
    for (std::size_t i = 0; i < count; ++i) {
        const float x = interleaved[i];
        const float clamped = std::isnan(x) ? 0.0f : std::clamp(x, -1.0f, 1.0f);
        // The same 2^15 scale readWav divides by, so a round trip is exact to half a step; +1.0
        // is the one value that has to give up a step.
        const auto v = static_cast<std::int16_t>(std::min(std::lrint(clamped * 32768.0f), 32767L));
        putLe16(block.data() + used, static_cast<std::uint16_t>(v));
        used += 2;
        if (used == block.size()) {
            out_.write(block.data(), static_cast<std::streamsize>(used));
            used = 0;
        }
    }
    out_.write(block.data(), static_cast<std::streamsize>(used));
    frames_ += frames;
    if (!out_) ok_ = false;
}

void WavWriter::finish() {
    if (finished_) return;
    finished_ = true;
    if (!out_.is_open()) return;
    const std::uint64_t dataBytes = frames_ * 2 * static_cast<std::uint64_t>(channels_);
    char size[4];
    putLe32(size, static_cast<std::uint32_t>(36 + dataBytes));
    out_.seekp(4);
    out_.write(size, 4);
    putLe32(size, static_cast<std::uint32_t>(dataBytes));
    out_.seekp(40);
    out_.write(size, 4);
    out_.close();
    if (out_.fail()) ok_ = false;
}

}  // namespace housetone::sim
