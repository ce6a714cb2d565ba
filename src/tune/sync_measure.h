#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
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
// aggregate over the speakers, one render callback on its clock, one Slot per speaker. Opened once
// over every speaker it may need, it serves any number of playbacks of any of them without
// touching the graph again: each start hands the callback a new program (one Slot per open
// speaker, silence for those not playing), which begins at the first frame of the next callback.
// `done` is signalled once per program after its last slot plus a 0.3 s tail. Start, open and
// stop run on the tuner's queue; the render callback on the audio thread.
class SyncMeasure {
  public:
    explicit SyncMeasure(AudioHardware& hw);
    ~SyncMeasure();
    SyncMeasure(const SyncMeasure&) = delete;
    SyncMeasure& operator=(const SyncMeasure&) = delete;

    // Builds the aggregate over `speakers` and starts the callback, silent until a start. False
    // when already open, with no speakers, or when the aggregate or its callback fails (nothing is
    // left then).
    bool open(const std::vector<Dev>& speakers);
    bool isOpen() const { return callback_.installed(); }

    // Each start opens over its own speakers when not open yet, and fails when a speaker is not
    // among the open ones. Speaker i gets a sweep of `duration` s (500 -> 4000 Hz for even i, 4000
    // -> 500 Hz for odd i, so neighbours tell apart in the correlation) starting `lead` + i ×
    // `spacing` s in, held back by its offset. offsetsMs: UID -> ms, absent = 0.
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

    // Signalled once when a program (with its tail) has been rendered; wait with a deadline. A
    // signal may be an earlier program's: `finished` tells.
    Semaphore& done() { return done_; }
    // Whether the latest program has been rendered to its end.
    bool finished() const;

    AudioObjectID aggID() const { return aggID_; }
    double rate() const { return rate_; }  // Hz
    // The latest program's slots, one per open speaker, and its length.
    const std::vector<Slot>& slots() const;
    std::int64_t totalFrames() const;
    const std::vector<std::int32_t>& devForChan() const { return devForChan_; }
    // Frames of the program now playing rendered so far.
    std::int64_t pos() const { return pos_.load(std::memory_order_relaxed); }

    // Audio thread: no allocation, no logging, never waits. clientData is the SyncMeasure. Writes
    // every output buffer (silence outside the slots) and keeps advancing after `done`. The one
    // exception to "no lock": done_.signal() takes the semaphore's short uncontended mutex, once
    // per playback, because the waiting tuner needs a semaphore with a deadline.
    static OSStatus renderRt(AudioObjectID device, const AudioTimeStamp* now,
                             const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                             AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                             void* clientData);

  private:
    // What one playback plays. Handed to the callback whole and never changed after.
    struct Program {
        std::vector<Slot> slots;  // by open speaker; an empty signal is silence
        std::int64_t totalFrames = 0;
        std::uint64_t seq = 0;  // from 1
    };

    // Opens over `speakers` when not open, asks `makeSlot` for speaker i's slot at the open rate
    // and hands the program to the callback.
    bool start(const std::vector<Dev>& speakers,
               const std::function<Slot(std::size_t i, const Dev& speaker)>& makeSlot);
    std::int64_t delayFramesFor(const Dev& speaker,
                                const std::map<std::string, double>& offsetsMs) const;

    AudioHardware& hw_;
    AudioObjectID aggID_ = 0;
    double rate_ = 44100.0;  // Hz
    // Complete before the callback is installed and read-only while it runs.
    std::vector<Dev> speakers_;             // the open speakers
    std::vector<std::int32_t> devForChan_;  // aggregate output channel -> open speaker
    // Every program the callback may still be reading: the latest one, and those before it until
    // the callback has taken a later one. Freed only then, or once the callback is removed.
    std::vector<std::unique_ptr<Program>> programs_;
    std::uint64_t lastSeq_ = 0;               // the latest program's seq; never reused
    std::atomic<Program*> pending_{nullptr};  // the latest program (release)
    std::atomic<std::uint64_t> adopted_{0};   // seq of the program the callback plays
    std::atomic<std::uint64_t> finished_{0};  // seq of the last program rendered to its end
    std::atomic<std::int64_t> pos_{0};        // frames of the playing program; audio thread
    const Program* playing_ = nullptr;        // audio thread only
    bool signaled_ = false;                   // audio thread only: done given for playing_
    Semaphore done_;
    IOCallback callback_{hw_};  // last: removed before anything it reads goes
};

}  // namespace housetone
