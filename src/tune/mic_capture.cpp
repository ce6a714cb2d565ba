#include "tune/mic_capture.h"

#include <algorithm>
#include <cmath>

#include "audio/device_access.h"

namespace housetone {

std::unique_ptr<MicCapture> MicCapture::create(AudioHardware& hw, double seconds,
                                               std::optional<AudioObjectID> device) {
    const std::optional<AudioObjectID> dev = device ? device : builtInMicrophone(hw);
    if (!dev) return nullptr;
    double rate = nominalRate(hw, *dev).value_or(48000.0);
    // A rate the device reports as 0 or garbage would give an empty buffer and a zero analysis
    // rate further on; treat it like a failed read.
    if (!std::isfinite(rate) || rate <= 0) rate = 48000.0;
    return std::unique_ptr<MicCapture>(new MicCapture(hw, *dev, rate, framesIn(seconds, rate)));
}

std::int64_t MicCapture::framesIn(double seconds, double rate) {
    const double frames = std::floor(seconds * rate);
    return frames > 0 ? static_cast<std::int64_t>(frames) : 0;
}

MicCapture::MicCapture(AudioHardware& hw, AudioObjectID dev, double rate, std::int64_t maxFrames)
    : hw_(hw),
      dev_(dev),
      rate_(rate),
      maxFrames_(maxFrames),
      buf_(static_cast<std::size_t>(maxFrames), 0.0f),
      armFrames_(maxFrames),
      rtLimit_(maxFrames) {}

MicCapture::~MicCapture() {
    stop();
}

bool MicCapture::start() {
    if (callback_.installed()) return true;
    return callback_.install(dev_, &MicCapture::captureRt, this).running();
}

void MicCapture::stop() {
    callback_.remove();
}

void MicCapture::arm(std::int64_t frames) {
    armFrames_.store(std::clamp<std::int64_t>(frames, 0, maxFrames_), std::memory_order_relaxed);
    armSeq_.fetch_add(1, std::memory_order_release);
}

std::vector<float> MicCapture::samples() const {
    // A count of an earlier recording would hand back its samples as this one's.
    if (countSeq_.load(std::memory_order_acquire) != armSeq_.load(std::memory_order_relaxed))
        return {};
    const auto n = static_cast<std::ptrdiff_t>(count_.load(std::memory_order_acquire));
    return {buf_.begin(), buf_.begin() + n};
}

OSStatus MicCapture::captureRt(AudioObjectID, const AudioTimeStamp*,
                               const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                               AudioBufferList*, const AudioTimeStamp*, void* clientData) {
    auto* self = static_cast<MicCapture*>(clientData);
    if (!self || !inputData || inputData->mNumberBuffers == 0) return noErr;
    const AudioBuffer& b = inputData->buffers()[0];
    const std::uint32_t n = b.mNumberChannels ? b.mNumberChannels : 1;
    const std::uint32_t frames = b.mDataByteSize / (n * sizeof(float));
    if (!b.mData) return noErr;

    std::int64_t count = self->count_.load(std::memory_order_relaxed);
    const std::uint64_t seq = self->armSeq_.load(std::memory_order_acquire);
    if (seq != self->rtSeq_) {
        self->rtSeq_ = seq;
        self->rtLimit_ = self->armFrames_.load(std::memory_order_relaxed);
        count = 0;
    }
    if (inputTime) self->lastHost_.store(inputTime->mHostTime, std::memory_order_relaxed);
    self->lastStart_.store(count, std::memory_order_relaxed);
    const auto* in = static_cast<const float*>(b.mData);
    float* buf = self->buf_.data();
    for (std::uint32_t f = 0; f < frames && count < self->rtLimit_; ++f)
        buf[count++] = in[static_cast<std::size_t>(f) * n];
    self->count_.store(count, std::memory_order_release);
    self->countSeq_.store(seq, std::memory_order_release);
    return noErr;
}

}  // namespace housetone
