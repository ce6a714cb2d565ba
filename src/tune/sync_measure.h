#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_hardware.h"
#include "audio/io_callback.h"
#include "core/dev.h"
#include "platform/semaphore.h"

namespace housetone {

// One speaker's part of a measurement playback. The signal occupies output frames
// [startFrame + delayFrames, startFrame + delayFrames + signal length); silence elsewhere.
struct Slot {
    std::vector<float> signal;     // at the aggregate's rate
    std::int64_t startFrame = 0;   // frames from the first rendered frame
    std::int64_t delayFrames = 0;  // the speaker's extra delay, frames
};

// Plays test signals through several speakers with sample-exact relative timing: one private
// aggregate over the speakers, one render callback on its clock, one Slot per speaker. `done` is
// signalled once after the last slot plus a 0.3 s tail. One object serves one playback. Start and
// stop run on the tuner's queue; the render callback on the audio thread.
class SyncMeasure {
  public:
    explicit SyncMeasure(AudioHardware& hw);
    ~SyncMeasure();
    SyncMeasure(const SyncMeasure&) = delete;
    SyncMeasure& operator=(const SyncMeasure&) = delete;

    // Speaker i gets a sweep of `duration` s (500 -> 4000 Hz for even i, 4000 -> 500 Hz for odd
    // i, so neighbours tell apart in the correlation) starting `lead` + i × `spacing` s in, held
    // back by its offset. offsetsMs: UID -> ms, absent = 0.
    bool startStaggered(const std::vector<Dev>& speakers, double duration, double lead,
                        double spacing, const std::map<std::string, double>& offsetsMs);
    // Every speaker plays the same 0.8 s rising sweep 0.4 s in, each held back by its offset.
    bool startCommonSweep(const std::vector<Dev>& speakers,
                          const std::map<std::string, double>& offsetsMs);
    // As startCommonSweep with the three-click pattern.
    bool startCommonClicks(const std::vector<Dev>& speakers,
                           const std::map<std::string, double>& offsetsMs);
    // Removes the callback and the aggregate. Safe to call more than once.
    void stop();

    // Signalled once when playback (with its tail) has been rendered; wait with a deadline.
    Semaphore& done() { return done_; }

    AudioObjectID aggID() const { return aggID_; }
    double rate() const { return rate_; }  // Hz
    const std::vector<Slot>& slots() const { return slots_; }
    const std::vector<std::int32_t>& devForChan() const { return devForChan_; }
    std::int64_t pos() const { return pos_.load(std::memory_order_relaxed); }
    std::int64_t totalFrames() const { return totalFrames_; }
    bool signaled() const { return signaled_.load(std::memory_order_relaxed); }

    // Audio thread: no allocation, no logging, never waits. clientData is the SyncMeasure. Writes
    // every output buffer (silence outside the slots) and keeps advancing after `done`. The one
    // exception to "no lock": done_.signal() takes the semaphore's short uncontended mutex, once
    // per playback, because the waiting tuner needs a semaphore with a deadline.
    static OSStatus renderRt(AudioObjectID device, const AudioTimeStamp* now,
                             const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                             AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                             void* clientData);

  private:
    // Builds the aggregate, learns its rate and channel layout, asks `makeSlot` for speaker i's
    // slot at that rate, then installs and starts the callback.
    bool start(const std::vector<Dev>& speakers,
               const std::function<Slot(std::size_t i, const Dev& speaker)>& makeSlot);
    std::int64_t delayFramesFor(const Dev& speaker,
                                const std::map<std::string, double>& offsetsMs) const;

    AudioHardware& hw_;
    AudioObjectID aggID_ = 0;
    double rate_ = 44100.0;  // Hz
    // slots_, devForChan_ and totalFrames_ are complete before the callback is installed and
    // read-only while it runs.
    std::vector<Slot> slots_;
    std::vector<std::int32_t> devForChan_;  // aggregate output channel -> slot index
    std::atomic<std::int64_t> pos_{0};      // frames rendered; audio thread writes
    std::int64_t totalFrames_ = 0;
    Semaphore done_;
    std::atomic<bool> signaled_{false};  // audio thread writes
    IOCallback callback_{hw_};           // last: removed before anything it reads goes
};

}  // namespace housetone
