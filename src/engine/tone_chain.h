#pragma once

// The per-speaker tone chain of the aligned engine: bass boost (high-pass, low shelf and a
// harmonic bass generator fed by the mono mix), up to three correction stages (the "crisp" curve
// or a measured correction), smoothed gain, a peak limiter and a hard clip.
//
// Threads: the builders (setBass, setCrisp, setCorrection, setLimiter, setGain) run on the main
// thread and write coefficients in place; the *Rt functions run on the audio thread, read the
// coefficients (relaxed loads, acquire for a stage's switch; the scalar chain per sample, the
// eight-lane one per buffer) and own the filter state and the smoothed gain.

#include <array>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace housetone {

// ---- Stores ------------------------------------------------------------------------------------

// Slots of a device's coefficient block (Float32 each). Every filter takes five slots from its
// own: b0, b1, b2, a1, a2, already divided by a0. Slots not named here are always 0.
namespace tone_coef {
inline constexpr int lowShelf = 0;  // bass boost; b0-b2 all zero switch the whole bass stage off
inline constexpr int highPass = 5;  // ahead of the shelf
// Low-pass choosing the harmonic generator's input band from the mono mix.
inline constexpr int harmonicBand = 10;
inline constexpr int limiterRelease = 16;   // per sample, 0 = limiter off
inline constexpr int harmonicLowPass = 17;  // 800 Hz low-pass on the generated harmonics
inline constexpr int harmonicRelease = 22;  // per sample, the harmonic generator's envelope
inline constexpr int bassCount = 25;        // [0, bassCount): the bass stage's block
inline constexpr int correction1 = 25;      // b0 == 0 switches all correction off
inline constexpr int correction2 = 30;      // runs whenever stage 1 runs
inline constexpr int correction3 = 35;      // b0 == 0 skips it
inline constexpr int count = 40;
}  // namespace tone_coef

// Slots of a (device, side) state block. A biquad keeps x1, x2, y1, y2 in four slots from its own.
namespace tone_state {
inline constexpr int lowShelf = 0;
inline constexpr int highPass = 4;
inline constexpr int harmonicBand = 8;
inline constexpr int dcPrevIn = 12;   // DC blocker: previous input
inline constexpr int dcPrevOut = 13;  // DC blocker: previous output
inline constexpr int limiterEnv = 14;
inline constexpr int harmonicEnv = 15;
inline constexpr int harmonicLowPass = 16;
inline constexpr int correction1 = 20;
inline constexpr int correction2 = 24;
inline constexpr int correction3 = 28;
inline constexpr int count = 32;
}  // namespace tone_state

// The fixed per-device stores of the chain, sized for 64 device indices. Allocated once by the
// engine and never moved, so the audio thread may keep pointers into it for the engine's life.
// Each device has a coefficient block (tone_coef) and one state block per side, 0 = left,
// 1 = right (tone_state).
// The state is never reset by a start or a coefficient change (filters continue smoothly); only
// values that have decayed below audibility or blown up are snapped to 0 (endToneChannelRt).
struct alignas(64) ToneStores {
    static constexpr int maxDevices = 64;
    static constexpr int coefPerDevice = tone_coef::count;
    static constexpr int statePerSide = tone_state::count;

    // Written by the main thread while the audio thread reads: one aligned 32-bit value each,
    // relaxed order, so a reader sees the old or the new value of every element.
    std::array<std::atomic<float>, maxDevices * coefPerDevice> coef;  // 0 = every effect off
    // Filter state: written and read only by the audio thread (tests read it when idle).
    std::array<float, maxDevices * 2 * statePerSide> bqMem{};
    std::array<std::atomic<float>, maxDevices> gain;    // target gain, linear, [0, 4]; 1.0
    std::array<std::atomic<float>, maxDevices> gainSm;  // smoothed gain (audio thread); 1.0

    ToneStores();
    ToneStores(const ToneStores&) = delete;
    ToneStores& operator=(const ToneStores&) = delete;

    static constexpr bool validIndex(int index) { return index >= 0 && index < maxDevices; }
    std::atomic<float>* coefBlock(int dev) { return &coef[std::size_t(dev) * coefPerDevice]; }
    float* stateBlock(int dev, int side) {
        return &bqMem[(std::size_t(dev) * 2 + std::size_t(side & 1)) * statePerSide];
    }
};

static_assert(std::atomic<float>::is_always_lock_free, "coefficients must be lock-free");
static_assert(sizeof(std::atomic<float>) == 4, "coefficients must be single 32-bit values");

// ---- Stage tables ------------------------------------------------------------------------------

// One correction stage. A peak has quality q; a shelf is a high shelf of slope s.
struct CorrStage {
    struct Peak {
        double q;
    };
    struct Shelf {
        double s;
    };
    using Kind = std::variant<Peak, Shelf>;

    Kind kind;
    double f0;      // Hz: centre of a peak, corner of a shelf
    double gainDB;  // at amount 1
};

// Presence peak and treble shelf for every speaker without a measured curve.
std::span<const CorrStage> defaultCrisp();
// Measured correction curves by device UID; built on first use, never changed afterwards.
const std::map<std::string, std::vector<CorrStage>, std::less<>>& knownCorrections();
// The stages a speaker gets: its measured curve if its UID has one, else defaultCrisp().
std::span<const CorrStage> correctionStagesFor(std::optional<std::string_view> uid);

// ---- Builders (main thread) --------------------------------------------------------------------
//
// Every builder ignores an index outside [0, 64); a builder switching its stage on also ignores a
// rate that is not a finite value of at least 1000 Hz (switching off needs no rate). Coefficients
// are designed in double (audio-EQ cookbook) and stored as float. Design frequencies are kept
// within [10 Hz, 0.45 x rate]: at 8 or 16 kHz (a Bluetooth headset in call mode) the 7-8 kHz
// treble shelves would otherwise sit at or beyond Nyquist and give poles on or outside the unit
// circle; no frequency used at 44.1 kHz and above is affected.
// A stage being switched on gets its switch values written last, with release order, and one
// being switched off gets them first; the callback reads the switch with acquire order, so it
// never runs a half-filled stage. A stage that stays on may be read half old, half new while the
// write is under way.
//
// The engine has member functions of the same names: call these as housetone::setBass(...) etc.

// Bass boost: the values of tone_coef [0, bassCount). gainDB <= 0.01 switches the bass stage off
// and also zeroes the limiter (limiterRelease); otherwise the limiter is switched on with it.
// Frequencies in Hz.
void setBass(ToneStores& stores, int index, double rate, float gainDB, double shelfHz,
             double highPassHz, double lowPassHz);

// Crisp / measured correction: tone_coef correction1 to the end. The stage list is the measured
// curve of `uid`, or, without a uid, of `targetUid` (the engine passes the UID of the target at
// that index, nullopt when the index is beyond its targets), else defaultCrisp(). amount is clamped
// to [0, 1] and scales every stage's gain in dB; amount <= 0.01 switches correction off.
void setCrisp(ToneStores& stores, int index, std::optional<std::string_view> uid,
              std::optional<std::string_view> targetUid, double rate, float amount);

// What setCrisp does once it has chosen the stages; the first three stages are used. With at most
// one stage, stage 2 is a pass-through.
void setCorrection(ToneStores& stores, int index, std::span<const CorrStage> stages, double rate,
                   float amount);

// Limiter with instant attack and 150 ms release: limiterRelease. The rate matters only when on.
void setLimiter(ToneStores& stores, int index, bool on, double rate);

// Target gain, linear, clamped to [0, 4]; a NaN is ignored (it would stick in the smoothed gain).
void setGain(ToneStores& stores, int index, float gain);

// ---- What the controller applies ---------------------------------------------------------------

// Linear gain for a volume-boost percentage: 2.0 from 20 %, 1.41 from 10 %, else 1.0.
float volumeBoostGain(int percent);

// Bass boost in dB for the bass-boost switch.
constexpr float bassBoostDB(bool on) {
    return on ? 6.0f : 0.0f;
}

struct BassCorners {
    double shelfHz;
    double highPassHz;
    double lowPassHz;
};
// Corner frequencies by transport: small Bluetooth speakers reach lowest, built-in ones least.
BassCorners bassCorners(std::uint32_t transport);

// The limiter is on whenever something can push peaks up: correction, bass boost or a gain above
// unity.
constexpr bool limiterWanted(float crispAmount, bool bassOn, float gain) {
    return crispAmount > 0.01f || bassOn || gain > 1.001f;
}

// ---- The per-sample chain (audio thread) -------------------------------------------------------
//
// Audio thread only: no allocation, no lock, no logging, no waiting. The render loop runs, per
// output channel and buffer:
//     ToneChannelRt ch = beginToneChannelRt(stores, dev, side);
//     for each frame: out = processToneSampleRt(ch, x, m);
//     endToneChannelRt(stores, dev, ch);
// A device's channels run one after the other, each continuing the gain smoothing from where the
// previous one stopped (a two-channel device advances it twice per frame).

// One output channel's view of the stores for one buffer.
struct ToneChannelRt {
    const std::atomic<float>* coef;  // the device's coefficient block (tone_coef)
    float* state;                    // the (device, side) state block (tone_state)
    float gainTarget;                // the device's target gain, read once per buffer
    float gs;                        // smoothed gain, carried from frame to frame
    bool gainSettled;                // gs is a fixed point of the smoothing step
};

namespace tone_detail {

inline float coefAt(const std::atomic<float>* c, int i) {
    return c[i].load(std::memory_order_relaxed);
}

// A stage's switch value: acquire pairs with the builders' release store of it, so the stage's
// other coefficients, written before the switch, are seen complete (free on x86).
inline float switchAt(const std::atomic<float>* c, int i) {
    return c[i].load(std::memory_order_acquire);
}

// 0.0005 per step: a time constant of 2000 steps (42 ms at 48 kHz on a one-channel device).
inline float smoothGain(float gs, float target) {
    return gs + (target - gs) * 0.0005f;
}

// Direct-form-I biquad in float; c points at b0, b1, b2, a1, a2, m at x1, x2, y1, y2. The terms
// of the past are summed first and the new input's last, so that a cascade whose stages run a
// frame apart (the lanes' pairs) waits one product and one sum per stage for its input; every
// version of the chain sums in this order.
[[gnu::always_inline]] inline float biquadRt(const std::atomic<float>* c, float* m, float x) {
    const float y = coefAt(c, 0) * x + (coefAt(c, 1) * m[0] + coefAt(c, 2) * m[1] -
                                        coefAt(c, 4) * m[3] - coefAt(c, 3) * m[2]);
    m[1] = m[0];
    m[0] = x;
    m[3] = m[2];
    m[2] = y;
    return y;
}

}  // namespace tone_detail

// dev must be a valid index (the caller never renders devices from 64 on); side 0 or 1.
inline ToneChannelRt beginToneChannelRt(ToneStores& s, int dev, int side) {
    assert(ToneStores::validIndex(dev));
    ToneChannelRt ch;
    ch.coef = s.coefBlock(dev);
    ch.state = s.stateBlock(dev, side);
    ch.gainTarget = s.gain[std::size_t(dev)].load(std::memory_order_relaxed);
    ch.gs = s.gainSm[std::size_t(dev)].load(std::memory_order_relaxed);
    // Once a step leaves gs unchanged every later step does too (same inputs), so the buffer skips
    // it: the usual case, as float smoothing stalls within 1.2e-4 of its target. Taking the step's
    // dependency chain out of every sample makes the all-off chain about 15 % cheaper.
    ch.gainSettled = tone_detail::smoothGain(ch.gs, ch.gainTarget) == ch.gs;
    return ch;
}

// x: this channel's sample; m: the mono mix (left + right) / 2 of the same frame. Returns the
// sample to write, in [-1, 1] unless the input was NaN. Forced inline: GCC 12 otherwise calls it
// once per sample, which doubled the cost of the all-off chain.
[[gnu::always_inline]] inline float processToneSampleRt(ToneChannelRt& ch, float x, float m) {
    using tone_detail::biquadRt;
    using tone_detail::coefAt;
    using tone_detail::switchAt;
    namespace k = tone_coef;
    namespace v = tone_state;
    const std::atomic<float>* c = ch.coef;
    float* st = ch.state;

    float y = x;
    if (switchAt(c, k::lowShelf) != 0.0f || switchAt(c, k::lowShelf + 1) != 0.0f ||
        switchAt(c, k::lowShelf + 2) != 0.0f) {
        const float h = biquadRt(c + k::highPass, st + v::highPass, x);
        y = biquadRt(c + k::lowShelf, st + v::lowShelf, h);

        // Harmonic bass: the low band of the mono mix, normalised by its own envelope, bent into
        // a second harmonic plus a signed square, and scaled back to the band's level.
        const float l = biquadRt(c + k::harmonicBand, st + v::harmonicBand, m);
        const float al = std::fabs(l);
        float e = st[v::harmonicEnv];
        e = al > e ? al : e + (al - e) * coefAt(c, k::harmonicRelease);
        st[v::harmonicEnv] = e;
        float t = l / (e + 0.0001f);  // the guard keeps silence at t = 0
        t = t > 1.2f ? 1.2f : (t < -1.2f ? -1.2f : t);
        const float g = e * (0.4f * t * t + 0.6f * t * std::fabs(t));
        const float q =
            g - st[v::dcPrevIn] + 0.995f * st[v::dcPrevOut];  // DC blocker: t^2 has a mean
        st[v::dcPrevIn] = g;
        st[v::dcPrevOut] = q;
        const float o = biquadRt(c + k::harmonicLowPass, st + v::harmonicLowPass, q);
        y = y + 1.1f * o;
    }

    if (switchAt(c, k::correction1) != 0.0f) {
        y = biquadRt(c + k::correction1, st + v::correction1, y);
        y = biquadRt(c + k::correction2, st + v::correction2, y);
        if (switchAt(c, k::correction3) != 0.0f)
            y = biquadRt(c + k::correction3, st + v::correction3, y);
    }

    // Multiplying by exactly 1.0 leaves y unchanged, so no branch is needed for unity.
    if (!ch.gainSettled) ch.gs = tone_detail::smoothGain(ch.gs, ch.gainTarget);
    y = ch.gs * y;

    const float release = coefAt(c, k::limiterRelease);
    if (release != 0.0f) {
        const float a = std::fabs(y);
        float env = st[v::limiterEnv];
        env = env < a ? a : env + release * (a - env);
        st[v::limiterEnv] = env;
        if (env > 0.891f) y = y * 0.891f / env;  // ceiling 0.891 = -1 dBFS
    }

    return y > 1.0f ? 1.0f : (y < -1.0f ? -1.0f : y);
}

// Values below this are 150 dB under the quietest sample a 24-bit converter can play; snapping them
// to 0 changes no output sample above about 1e-8 (they vanish in its rounding).
inline constexpr float toneStateFloor = 1e-15f;

namespace tone_detail {

// A smoothed gain heading for 0 would otherwise stall at a subnormal and slow every sample.
inline float storedGain(float gs) {
    return std::fabs(gs) < toneStateFloor ? 0.0f : gs;
}

inline void tidyState(float* state) {
    for (int i = 0; i < tone_state::count; ++i) {
        const float a = std::fabs(state[i]);
        if (!(a >= toneStateFloor && a <= 3.4e38f)) state[i] = 0.0f;
    }
}

}  // namespace tone_detail

// Stores the smoothed gain back and tidies the state block once per buffer: values that decayed
// below toneStateFloor become exactly 0, so a filter left ringing into silence stops at 0 within a
// buffer instead of running on subnormal numbers (tens of times slower on x86) or sticking there
// (the envelopes stall at a subnormal value in float); a NaN or infinity (a NaN sample from the
// source) is cleared too, so one bad sample does not silence the speaker for good.
inline void endToneChannelRt(ToneStores& s, int dev, const ToneChannelRt& ch) {
    s.gainSm[std::size_t(dev)].store(tone_detail::storedGain(ch.gs), std::memory_order_relaxed);
    tone_detail::tidyState(ch.state);
}

// One channel's whole buffer from contiguous input: x[i] and m[i] for frame i, output at
// out[i * outStride]. For tests, benchmarks and callers whose input is already contiguous.
inline void processToneBufferRt(ToneStores& s, int dev, int side, const float* x, const float* m,
                                float* out, std::size_t outStride, std::size_t frames) {
    ToneChannelRt ch = beginToneChannelRt(s, dev, side);
    for (std::size_t i = 0; i < frames; ++i)
        out[i * outStride] = processToneSampleRt(ch, x[i], m[i]);
    endToneChannelRt(s, dev, ch);
}

// ---- Eight chains side by side (audio thread) ---------------------------------------------------
//
// The chains of different output channels share nothing, so the render loop runs up to eight of
// them at once, one per SIMD lane, with coefficients and state laid out lane by lane. A group of
// at most four channels runs instead as pairs whose stages are spread over the lanes, so that one
// stereo speaker fills the vector too. Either way each channel does the
// arithmetic of processToneSampleRt in the same order, so its output agrees with the scalar
// chain's to float rounding (bit for bit unless the compiler fuses multiply-adds); the scalar
// chain stays the reference. Differences from it: coefficients are read once per buffer (a change
// made mid-buffer takes effect at the next one) and a stage that is off in some lanes runs in all
// of them, its result kept only where it is on.
//
// Audio thread only; a ToneLanesRt (about 54 KB) is made once and kept by its one caller. Per
// buffer:
//     for each channel: addToneLaneRt(lanes, stores, dev, side, frames)
//         (first flushing the group when it is full or already holds that (dev, side), so a
//         channel that continues another's state runs after it);
//     for each chunk of at most toneLaneChunk frames: fill x and m, processToneLanesRt, read y;
//     endToneLanesRt(lanes, stores).

// Run-time dispatch for the audio thread's vector loops: an AVX2 or AVX-512 clone where the
// processor has it, the baseline otherwise. No FMA in any, so no multiply-add is fused and each
// lane rounds exactly as the scalar code does. Under the sanitizers the baseline alone: the
// clones' resolver runs while the program is being loaded, before ThreadSanitizer's runtime is
// ready, and crashed every such program before main.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define HOUSETONE_LANE_CLONES
#else
#define HOUSETONE_LANE_CLONES \
    [[gnu::target_clones("arch=x86-64-v4", "avx2", "default"), gnu::optimize("fp-contract=off")]]
#endif

inline constexpr int toneLaneWidth = 8;
// Frames per chunk. A pair of channels spread over the lanes (processToneLanesRt) fills and
// drains its pipeline once per chunk, so the chunk is long enough to make that rare.
inline constexpr std::size_t toneLaneChunk = 512;

struct alignas(32) ToneLanesRt {
    using Row = float[toneLaneWidth];

    // One chunk in and out, row per frame: x[i][lane] is the lane's sample of frame i, m[i][lane]
    // the mono mix of that frame. Lanes beyond count are read as 0 whatever they hold, and their
    // outputs mean nothing.
    alignas(32) Row x[toneLaneChunk];
    alignas(32) Row m[toneLaneChunk];
    alignas(32) Row y[toneLaneChunk];

    // Filled by addToneLaneRt; the kernel owns them until endToneLanesRt.
    alignas(32) Row coef[tone_coef::count];  // a stage that is off has all its values 0
    alignas(32) Row state[tone_state::count];
    alignas(32) Row gs;          // smoothed gain
    alignas(32) Row gainTarget;  // the device's target gain
    // Per lane: all bits set where the stage is on, 0 where it is off.
    alignas(32) std::int32_t bassOn[toneLaneWidth];
    alignas(32) std::int32_t correctionOn[toneLaneWidth];
    alignas(32) std::int32_t stage3On[toneLaneWidth];
    alignas(32) std::int32_t limiterOn[toneLaneWidth];

    // Between the parts of a pair's run, rings of the last steps (step u in slot u % pairRing):
    // the rows of the front's outputs with the gained output in stage 3's lane, the envelopes, and
    // the shaped harmonics. Small, so that no row of one lies 4 KiB from a row of another in use
    // (a load would wait for an unrelated store there).
    static constexpr int pairRing = 32;
    struct PairScratch {
        alignas(32) Row rows[pairRing];
        alignas(32) Row envelopes[pairRing];
        alignas(32) Row shaped[pairRing];
    };
    PairScratch pair;

    int count = 0;
    int dev[toneLaneWidth];
    int side[toneLaneWidth];
    // Over the lanes in use; a stage no lane needs is not run at all.
    bool anyBass = false, anyCorrection = false, anyStage3 = false, anyLimiter = false;
    bool gainMoving = false;  // some lane's smoothed gain is not yet at its fixed point

    ToneLanesRt();
    // Empties the group: every lane back to silence with all effects off. The rows of x, m and y
    // are left as they are (the next group writes what it reads).
    void clear();
    bool full() const { return count == toneLaneWidth; }
    bool holds(int d, int s) const {
        for (int j = 0; j < count; ++j)
            if (dev[j] == d && side[j] == (s & 1)) return true;
        return false;
    }
};

// Takes the next lane for (dev, side), which must be a valid index, for a buffer of `frames`
// frames: snapshots the coefficients (switches with acquire order), copies the state in and
// advances the device's smoothed gain in the stores past this buffer, as the scalar chain leaves
// it, so a later channel of the same device continues from there. The group must not be full.
void addToneLaneRt(ToneLanesRt& lanes, ToneStores& s, int dev, int side, std::size_t frames);

// Runs `frames` (at most toneLaneChunk) rows of x and m through every lane into y.
void processToneLanesRt(ToneLanesRt& lanes, std::size_t frames);

// Writes each lane's state back (only the stages it ran) and tidies it as endToneChannelRt does,
// then clears the group.
void endToneLanesRt(ToneLanesRt& lanes, ToneStores& s);

}  // namespace housetone
