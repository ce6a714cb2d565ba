#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "audio/audio_hardware.h"
#include "audio/io_callback.h"

namespace housetone {

// Records mono audio from one input device into a buffer sized up front. Started once, it keeps
// its node for as many recordings as its owner arms: each arm starts a new recording at the
// buffer's head with the next callback, and recording stops silently at the armed length (the
// capacity until the first arm). start/stop/arm/samples run on the tuner's queue; the I/O
// callback on the audio thread. The callback only writes beyond the count it has published
// (release) and the reader only copies below the count it acquired, and a new arm is published
// after the reader's copy, so the buffer itself needs no further synchronisation.
class MicCapture {
  public:
    // Capacity is the whole part of seconds × the device's nominal rate. Uses `device`, else the
    // built-in microphone; nullptr when there is neither.
    static std::unique_ptr<MicCapture> create(AudioHardware& hw, double seconds,
                                              std::optional<AudioObjectID> device);
    // The whole frames of `seconds` at `rate` (0 for none): a capture's capacity, and the length
    // an arm of that many seconds asks for.
    static std::int64_t framesIn(double seconds, double rate);
    ~MicCapture();
    MicCapture(const MicCapture&) = delete;
    MicCapture& operator=(const MicCapture&) = delete;

    // Installs the callback and starts the device; on any failure removes what it installed.
    bool start();
    // Harmless when not started or already stopped.
    void stop();
    // Starts a new recording of at most `frames` (and the capacity) with the next callback; 0
    // stops storing. Nothing already recorded is read once this returns.
    void arm(std::int64_t frames);
    // The samples of the latest recording stored so far; empty when no callback has run since it
    // was armed.
    std::vector<float> samples() const;

    AudioObjectID dev() const { return dev_; }
    double rate() const { return rate_; }  // Hz
    std::int64_t maxFrames() const { return maxFrames_; }
    std::int64_t count() const { return count_.load(std::memory_order_relaxed); }
    std::uint64_t lastHost() const { return lastHost_.load(std::memory_order_relaxed); }
    std::int64_t lastStart() const { return lastStart_.load(std::memory_order_relaxed); }

    // Audio thread: no allocation, no lock, no logging. clientData is the MicCapture. Stores the
    // first channel of the first input buffer; frames beyond the capacity are dropped.
    static OSStatus captureRt(AudioObjectID device, const AudioTimeStamp* now,
                              const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                              AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                              void* clientData);

  private:
    MicCapture(AudioHardware& hw, AudioObjectID dev, double rate, std::int64_t maxFrames);

    AudioHardware& hw_;
    AudioObjectID dev_;
    double rate_;             // Hz; 48000 when the device does not say
    std::int64_t maxFrames_;  // capacity of buf_, samples
    std::vector<float> buf_;  // maxFrames_ samples, zeroed; never resized after creation
    std::atomic<std::int64_t> count_{0};      // written by the audio thread only
    std::atomic<std::uint64_t> armSeq_{0};    // the tuner's latest arm (release)
    std::atomic<std::int64_t> armFrames_{0};  // its length, written before armSeq_
    std::atomic<std::uint64_t> countSeq_{0};  // the arm count_ belongs to; audio thread writes
    std::uint64_t rtSeq_ = 0;                 // audio thread only: the arm it records
    std::int64_t rtLimit_ = 0;                // audio thread only: that arm's length
    std::atomic<std::uint64_t> lastHost_{0};  // input host time of the latest callback
    std::atomic<std::int64_t> lastStart_{0};  // count_ when that callback began storing
    IOCallback callback_{hw_};                // last: removed before the buffer it fills goes
};

}  // namespace housetone
