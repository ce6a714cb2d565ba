#include "tune/mic_ring.h"

#include <bit>
#include <cmath>

#include "audio/device_access.h"

namespace housetone {

std::unique_ptr<MicRing> MicRing::create(AudioHardware& hw, double seconds,
                                         std::optional<AudioObjectID> device) {
    const std::optional<AudioObjectID> dev = device ? device : builtInMicrophone(hw);
    if (!dev) return nullptr;
    const double rate = nominalRate(hw, *dev).value_or(0.0);
    // 768 kHz is twice anything a microphone offers; beyond it the ring would be absurd.
    if (!std::isfinite(rate) || rate <= 0 || rate > 768000 || !(seconds > 0) || seconds > 60)
        return nullptr;
    const auto cap = static_cast<std::int64_t>(
        std::bit_ceil(static_cast<std::uint64_t>(std::ceil(seconds * rate))));
    return std::unique_ptr<MicRing>(new MicRing(hw, *dev, rate, cap));
}

MicRing::MicRing(AudioHardware& hw, AudioObjectID dev, double rate, std::int64_t cap)
    : hw_(hw),
      dev_(dev),
      rate_(rate),
      cap_(cap),
      buf_(std::make_unique<std::atomic<float>[]>(static_cast<std::size_t>(cap))) {}

MicRing::~MicRing() {
    stop();
}

bool MicRing::start() {
    if (callback_.installed()) return true;
    return callback_.install(dev_, &MicRing::captureRt, this).running();
}

void MicRing::stop() {
    callback_.remove();
}

bool MicRing::copy(std::int64_t from, std::size_t frames, float* out) const {
    const auto n = static_cast<std::int64_t>(frames);
    if (from < 0 || from + n > count()) return false;
    const std::int64_t mask = cap_ - 1;
    for (std::int64_t i = 0; i < n; ++i)
        out[i] = buf_[static_cast<std::size_t>((from + i) & mask)].load(std::memory_order_relaxed);
    // The callback may have lapped the reader while it copied: then the oldest frames it took
    // were already the next round's.
    return count() - from <= cap_;
}

OSStatus MicRing::captureRt(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* inputData,
                            const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*,
                            void* clientData) {
    auto* self = static_cast<MicRing*>(clientData);
    if (!self || !inputData || inputData->mNumberBuffers == 0) return noErr;
    const AudioBuffer& b = inputData->buffers()[0];
    if (!b.mData) return noErr;
    const std::uint32_t n = b.mNumberChannels ? b.mNumberChannels : 1;
    const std::uint32_t frames = b.mDataByteSize / (n * sizeof(float));
    const auto* in = static_cast<const float*>(b.mData);
    std::int64_t count = self->count_.load(std::memory_order_relaxed);
    const std::int64_t mask = self->cap_ - 1;
    for (std::uint32_t f = 0; f < frames; ++f, ++count)
        self->buf_[static_cast<std::size_t>(count & mask)].store(in[std::size_t{f} * n],
                                                                 std::memory_order_relaxed);
    // Release: a reader that sees the count sees the samples below it.
    self->count_.store(count, std::memory_order_release);
    return noErr;
}

}  // namespace housetone
