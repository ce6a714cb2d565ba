#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "audio/audio_hardware.h"
#include "audio/io_callback.h"

namespace housetone {

// Records the microphone without end into a ring, for listening while the program plays: the
// audio thread writes, one reader copies what it has not yet read. Unlike MicCapture the
// recording never stops when full; a reader that falls more than the ring behind loses the
// oldest audio and is told so. Nothing recorded leaves memory.
class MicRing {
  public:
    // Holds at least `seconds` at the device's nominal rate (a power of two of frames). Uses
    // `device`, else the built-in microphone; nullptr when there is neither or its rate is no
    // rate.
    static std::unique_ptr<MicRing> create(AudioHardware& hw, double seconds,
                                           std::optional<AudioObjectID> device);
    ~MicRing();
    MicRing(const MicRing&) = delete;
    MicRing& operator=(const MicRing&) = delete;

    // Installs the callback and starts the device; on any failure removes what it installed.
    bool start();
    // Harmless when not started or already stopped; once it returns the callback never runs.
    void stop();
    bool running() const { return callback_.installed(); }

    // Frames recorded since the start (first channel of the first input buffer).
    std::int64_t count() const { return count_.load(std::memory_order_acquire); }
    // Copies frames [from, from + frames) into `out`; false (and `out` undefined) when any of them
    // is not recorded yet or already overwritten. The copy is checked after it is taken, so a
    // callback that overtakes the reader mid-copy is caught.
    bool copy(std::int64_t from, std::size_t frames, float* out) const;

    AudioObjectID dev() const { return dev_; }
    double rate() const { return rate_; }
    std::int64_t capacity() const { return cap_; }

    static OSStatus captureRt(AudioObjectID device, const AudioTimeStamp* now,
                              const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                              AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                              void* clientData);

  private:
    MicRing(AudioHardware& hw, AudioObjectID dev, double rate, std::int64_t cap);

    AudioHardware& hw_;
    AudioObjectID dev_;
    double rate_;
    std::int64_t cap_;  // a power of two
    std::unique_ptr<std::atomic<float>[]> buf_;
    std::atomic<std::int64_t> count_{0};
    IOCallback callback_{hw_};  // last: removed before the ring it fills goes
};

}  // namespace housetone
