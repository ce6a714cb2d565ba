#pragma once

// The engine behind the aligned mode: one process tap on the system mix (our own process left
// out, the tapped audio muted at its source while read), one private aggregate holding the tap and
// every included speaker, and one realtime callback that plays the tapped mix on every speaker,
// each held back by its own delay and passed through its tone chain.
//
// Threads:
//   main         start, stop, stopIfRun, the set* parameter calls, readMeter, the accessors
//   lifecycle    "housetone.tapengine.lifecycle": every start and teardown, one at a time
//   audio        renderRt, the installed I/O callback
//
// Choices of this implementation:
//   - Targets beyond the 64th keep their channel slots (so later channel numbers stay where the
//     aggregate puts them) but are written with silence and get no store access: no delay, no
//     gain, no tone chain.
//   - A device with more than two output channels: each side is computed once per buffer (local
//     channels 0 and 1) and copied to that side's further channels, so filter state and gain
//     smoothing advance once per frame and side. A four-channel device therefore smooths its gain
//     like a two-channel one. Only when a device's further channels sit in another buffer than its
//     first two (a non-interleaved layout) do they run the chain themselves, on the shared state.
//   - Destroying the engine tears down whatever is installed (waiting for a start in progress),
//     so a forgotten stop cannot leave a callback pointing at freed memory.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_hardware.h"
#include "audio/io_callback.h"
#include "core/dev.h"
#include "core/offsets.h"
#include "engine/tone_chain.h"
#include "platform/main_queue.h"
#include "platform/serial_queue.h"

namespace housetone {

class TapEngine {
  public:
    static constexpr int maxDevices = ToneStores::maxDevices;
    // The highest rate a start accepts, Hz (a tap at a higher one fails at Step::tap), and the
    // longest buffer a callback is handed, frames (both backends cut theirs to it).
    static constexpr double maxRate = 384000.0;
    static constexpr std::int64_t maxBufferFrames = 8192;
    static constexpr double maxDelayMs = 5000.0;
    // Ring capacity, frames: the longest delay and the buffer being played, at the highest rate,
    // rounded up to a power of two so that positions wrap with a mask. 16 MiB, shared by every
    // speaker.
    static constexpr std::int64_t cap = std::int64_t{1} << 21;
    static constexpr std::int64_t mask = cap - 1;
    static_assert(static_cast<std::int64_t>(maxDelayMs / 1000 * maxRate) + maxBufferFrames <= cap,
                  "the ring must hold the longest delay at the highest rate");
    // A cycle the tap lost (a client or the graph missed its deadline) arrives as a run of exact
    // zeros inside the sound. Played as it is, it is a click on every speaker, and a second one
    // where the sound resumes; the speakers that play it later hear it faded out and back in over
    // this many frames instead. A run longer than holeFrames is a real pause, and the sound
    // after it starts as it was played.
    static constexpr std::int64_t concealFrames = 256;
    static constexpr std::int64_t holeFrames = 8192;
    // A change of a device's delay is a crossfade this long from the sound at the old delay to
    // the sound at the new one, not a jump of the read position (a click).
    static constexpr double delayFadeMs = 15.0;
    // Fades in progress at once per device, plus one: a change made while this many are under
    // way waits until the oldest has ended, and the latest value is then taken.
    static constexpr int delayTaps = 4;

    // Where a device's sound is read, owned by the callback (set by a start before it is
    // installed): delays in the order they were asked for, the sound at each one faded in over
    // the sound before it from its start on (an absolute output frame), the oldest dropped once
    // the next has faded in fully. One delay and no fade when nothing has changed.
    struct DelayFadeRt {
        std::array<std::int32_t, delayTaps> delay{};
        std::array<std::int64_t, delayTaps> start{};
        int taps = 1;
    };

    struct Meter {
        double rms = 0;           // of every input sample (both sides) since the last read
        std::int64_t cycles = 0;  // callback invocations since the last read
        std::int64_t frames = 0;  // input frames since the last read
    };

    // Allocates every store the callback touches (16 MiB ring, the 64-device arrays) once.
    TapEngine(AudioHardware& hw, MainQueue& main);
    ~TapEngine();
    TapEngine(const TapEngine&) = delete;
    TapEngine& operator=(const TapEngine&) = delete;

    // Returns at once; the start runs on the lifecycle queue and `completion` gets its result on
    // the main queue. Each target plays what `offsets` says it plays (Offsets::played).
    // `run` is the caller's number for this installation (see stopIfRun).
    void start(std::optional<Dev> anchor, std::vector<Dev> targets, Offsets offsets,
               std::uint64_t run, std::function<void(bool)> completion);
    // Synchronous: waits for a start in progress, then removes whatever is installed.
    void stop();
    // Synchronous: tears down only if `run` is the installation now running.
    void stopIfRun(std::uint64_t run);

    // Per-device parameters, any thread, effective from the callback's next buffer (a delay as a
    // crossfade of delayFadeMs from the old one). Indices are positions in targets(); an index
    // outside [0, 64) is ignored.
    void setDelay(int index, double ms);  // ms held back as Offsets::heldBackMs says
    // Every current target's delay from `offsets`, as a start would set them.
    void play(const Offsets& offsets);
    void setGain(int index, float gain);  // linear, clamped to [0, 4]
    void setLimiter(int index, bool on, double rate);
    void setBass(int index, double rate, float gainDB, double shelfHz, double highPassHz,
                 double lowPassHz);
    // Without a uid the UID of targets() at that index chooses the stages (none beyond them).
    void setCrisp(int index, std::optional<std::string> uid, double rate, float amount);

    // Reads and clears the meter. A cycle that lands between the reads of two accumulators is
    // split between this reading and the next.
    Meter readMeter();

    std::vector<Dev> targets() const;
    std::optional<Dev> anchor() const;
    // What the last failed start could not do, in the audio system's terms with its status code
    // (for the log), and which step that was (for the user's words); none after success.
    enum class Step { targets, tap, aggregate, callback, deviceStart };
    std::optional<std::string> lastError() const;
    std::optional<Step> lastFailedStep() const;
    std::uint64_t installedRun() const { return installedRun_.load(std::memory_order_relaxed); }
    double rate() const { return rate_.load(std::memory_order_relaxed); }  // Hz
    AudioObjectID tapID() const { return tapID_.load(std::memory_order_relaxed); }
    AudioObjectID aggID() const { return aggID_.load(std::memory_order_relaxed); }
    std::int32_t delayFrames(int index) const;  // 0 outside [0, 64)
    const ToneStores& toneStores() const { return *tone_; }
    // Frames the tap has delivered since the start: the ring's write head.
    std::int64_t tappedFrames() const { return wAbs_.load(std::memory_order_acquire); }
    // Copies the mix of both sides of tapped frames [from, from + frames) into `mono`, as the
    // speakers play them; false when any of them is not final yet (the callback may still fade
    // the last concealFrames + holeFrames around a hole) or no longer held. Any thread: the copy
    // is checked against the write head after it is taken, so frames the callback wrote over
    // meanwhile are never handed out.
    bool copyTapped(std::int64_t from, std::size_t frames, float* mono) const;

    // The capture aggregate for these targets and tap UUID; its main device (the clock) is the
    // first target if it is the only one or built-in, else the first later built-in one, else the
    // first. Exposed for tests.
    static AggregateDescription captureDescription(const std::vector<Dev>& targets,
                                                   const std::string& tapUuid);

    // The I/O callback; client = the engine. Audio thread: no lock, no allocation, no logging, no
    // waiting. Tests and benchmarks may call it directly while the engine is started on a world
    // that does not run callbacks itself.
    static OSStatus renderRt(AudioObjectID device, const AudioTimeStamp* now,
                             const AudioBufferList* input, const AudioTimeStamp* inputTime,
                             AudioBufferList* output, const AudioTimeStamp* outputTime,
                             void* client);

  private:
    bool startLocked(std::optional<Dev> anchor, std::vector<Dev> targets, const Offsets& offsets,
                     std::uint64_t run);
    // Creates the tap and the aggregate that holds it and `targets`; false (said, and nothing
    // left behind) when either fails.
    bool buildDevices(const std::vector<Dev>& targets);
    // Maps every aggregate output channel to its target.
    void mapChannels(const std::vector<Dev>& targets);
    // Audio thread: appends the tapped input to the ring and meters it; the new write head.
    std::int64_t captureInputRt(const AudioBufferList* input);
    // Audio thread: fades the ring out before a hole the tap just delivered, and back in where the
    // sound resumes after one, given the `frames` just written at `head` (before lastLevel_
    // takes the last of them).
    void concealHolesRt(std::int64_t head, std::size_t frames, bool silent);
    // Audio thread: every output channel from the ring, held back by its device's delay.
    void renderOutputsRt(AudioBufferList& output, std::int64_t head);
    // Audio thread: ends the fades that are over by output frame `now` and starts one for each
    // device whose delay has changed.
    void followDelaysRt(std::int64_t now);
    // Sets one target's delay store from its offset, held back within the delay line.
    void holdBack(std::size_t index, double ms);
    // Tells the tap how late the sound played into it reaches the ears.
    void reportLatency();
    void teardown();
    void fail(Step step, std::string text);
    std::int32_t framesFor(double seconds) const;

    AudioHardware& hw_;
    MainQueue& main_;

    // Read by the main thread, written by starts: guarded by infoMutex_ (never by the callback).
    mutable std::mutex infoMutex_;
    std::vector<Dev> targets_;
    std::optional<Dev> anchor_;
    std::optional<std::string> lastError_;
    std::optional<Step> lastFailedStep_;

    // Lifecycle queue only (atomics so the main thread may look).
    std::atomic<AudioObjectID> tapID_{0};
    std::atomic<AudioObjectID> aggID_{0};
    std::atomic<double> rate_{44100.0};  // Hz: the tap's rate once a start has read it

    // Fixed for the engine's life; the callback holds no other memory.
    const std::unique_ptr<float[]> ring_;  // cap stereo frames, interleaved L R
    std::atomic<std::int64_t> wAbs_{0};    // write head: frames written since the start
    // Callback only: the head where a run of zeros after sound began (-1: none), and how loud the
    // last frame written was.
    std::int64_t holeStart_ = -1;
    float lastLevel_ = 0;
    const std::unique_ptr<std::array<std::atomic<std::int32_t>, maxDevices>> delay_;  // frames
    const std::unique_ptr<ToneStores> tone_;
    const std::unique_ptr<std::array<DelayFadeRt, maxDevices>> fades_;
    std::int32_t fadeFrames_ = 1;  // delayFadeMs at the installation's rate
    // The callback's group of tone chains, kept so that nothing is set up per buffer.
    const std::unique_ptr<ToneLanesRt> lanes_;

    // Rebuilt only in startLocked, before the callback is installed; read-only while it runs.
    std::vector<std::int32_t> devForChan_;    // aggregate output channel -> device index
    std::vector<std::int32_t> devStartChan_;  // device index -> its first channel number
    int totalOutChans_ = 0;

    // Meter: added to by the callback, exchanged with 0 by readMeter.
    std::atomic<double> sumSq_{0};
    std::atomic<std::int64_t> nSamp_{0};  // input samples, two per frame
    std::atomic<std::int64_t> ioCycles_{0};
    std::atomic<std::int64_t> inFrames_{0};

    std::atomic<std::uint64_t> installedRun_{0};  // 0 = nothing installed
    // After every store the callback touches, so it is removed before any of them goes.
    IOCallback callback_{hw_};
    // Last member: destroyed first, so no queued start outlives the stores it uses.
    SerialQueue lifecycleQ_{"housetone.tapengine.lifecycle"};
};

}  // namespace housetone
