#include "engine/tone_chain.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "core/dev.h"

namespace housetone {

ToneStores::ToneStores() {
    for (auto& c : coef)
        c.store(0.0f, std::memory_order_relaxed);
    for (auto& g : gain)
        g.store(1.0f, std::memory_order_relaxed);
    for (auto& g : gainSm)
        g.store(1.0f, std::memory_order_relaxed);
}

// ---- Tables ------------------------------------------------------------------------------------

std::span<const CorrStage> defaultCrisp() {
    static constexpr CorrStage stages[] = {
        {CorrStage::Peak{1.1}, 3800.0, 3.0},
        {CorrStage::Shelf{0.9}, 7000.0, 5.0},
    };
    return stages;
}

const std::map<std::string, std::vector<CorrStage>, std::less<>>& knownCorrections() {
    static const std::map<std::string, std::vector<CorrStage>, std::less<>> table = {
        {"02-5E-11-A4-37-C9:output",
         {
             {CorrStage::Peak{1.6}, 1800.0, -4.0},
             {CorrStage::Peak{0.75}, 4300.0, 2.5},
             {CorrStage::Shelf{0.8}, 8000.0, 5.0},
         }},
    };
    return table;
}

std::span<const CorrStage> correctionStagesFor(std::optional<std::string_view> uid) {
    if (uid) {
        const auto& known = knownCorrections();
        if (auto it = known.find(*uid); it != known.end()) return it->second;
    }
    return defaultCrisp();
}

// ---- Filter design -----------------------------------------------------------------------------

namespace {

namespace k = tone_coef;
constexpr int corrCount = k::count - k::correction1;
// From one correction stage's slots to the next.
constexpr int corrStride = k::correction2 - k::correction1;

// A biquad already divided by a0.
struct Biquad {
    double b0, b1, b2, a1, a2;
};

Biquad normalised(double b0, double b1, double b2, double a0, double a1, double a2) {
    return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

bool validRate(double rate) {
    return std::isfinite(rate) && rate >= 1000.0;
}

// 2 pi f / rate with f kept where the cookbook designs stay stable (see the header).
double angularFrequency(double hz, double rate) {
    const double f = std::clamp(hz, 10.0, 0.45 * rate);
    return 2.0 * std::numbers::pi * f / rate;
}

// Q = 1.41421356 / 2, i.e. alpha = sin / 1.41421356 (Butterworth).
Biquad highPass(double w0) {
    const double cs = std::cos(w0), alpha = std::sin(w0) / 1.41421356;
    return normalised((1 + cs) / 2, -(1 + cs), (1 + cs) / 2, 1 + alpha, -2 * cs, 1 - alpha);
}

Biquad lowPass(double w0) {
    const double cs = std::cos(w0), alpha = std::sin(w0) / 1.41421356;
    return normalised((1 - cs) / 2, 1 - cs, (1 - cs) / 2, 1 + alpha, -2 * cs, 1 - alpha);
}

// Low shelf of slope 0.9; (1/S - 1) is written as the double it evaluates to.
Biquad lowShelf(double w0, double gainDB) {
    const double A = std::pow(10.0, gainDB / 40.0);
    const double cs = std::cos(w0);
    const double alpha = std::sin(w0) / 2 * std::sqrt((A + 1 / A) * 0.11111111111111116 + 2);
    const double k = 2 * std::sqrt(A) * alpha;
    return normalised(A * ((A + 1) - (A - 1) * cs + k), 2 * A * ((A - 1) - (A + 1) * cs),
                      A * ((A + 1) - (A - 1) * cs - k), (A + 1) + (A - 1) * cs + k,
                      -2 * ((A - 1) + (A + 1) * cs), (A + 1) + (A - 1) * cs - k);
}

Biquad peak(double w0, double A, double q) {
    const double cs = std::cos(w0), alpha = std::sin(w0) / (2 * q);
    return normalised(1 + alpha * A, -2 * cs, 1 - alpha * A, 1 + alpha / A, -2 * cs, 1 - alpha / A);
}

Biquad highShelf(double w0, double A, double s) {
    const double cs = std::cos(w0);
    const double alpha = std::sin(w0) / 2 * std::sqrt((A + 1 / A) * (1 / s - 1) + 2);
    const double k = 2 * std::sqrt(A) * alpha;
    return normalised(A * ((A + 1) + (A - 1) * cs + k), -2 * A * ((A - 1) + (A + 1) * cs),
                      A * ((A + 1) + (A - 1) * cs - k), (A + 1) - (A - 1) * cs + k,
                      2 * ((A - 1) - (A + 1) * cs), (A + 1) - (A - 1) * cs - k);
}

void put(float* block, int at, const Biquad& f) {
    block[at + 0] = float(f.b0);
    block[at + 1] = float(f.b1);
    block[at + 2] = float(f.b2);
    block[at + 3] = float(f.a1);
    block[at + 4] = float(f.a2);
}

// Copies values[0, count) to coef values [first, first + count) of the device. The first
// `switchCount` values switch the range's stage: turning on, they go last; turning off, first.
void publish(ToneStores& stores, int index, int first, const float* values, int count,
             int switchCount) {
    std::atomic<float>* dst = stores.coefBlock(index) + first;
    bool on = false;
    for (int i = 0; i < switchCount; ++i)
        on = on || values[i] != 0.0f;
    auto write = [&](int from, int to, std::memory_order order) {
        for (int i = from; i < to; ++i)
            dst[i].store(values[i], order);
    };
    // Release on the switch pairs with the callback's acquire load of it: a reader that sees the
    // stage on also sees the coefficients written before it.
    if (on) {
        write(switchCount, count, std::memory_order_relaxed);
        write(0, switchCount, std::memory_order_release);
    } else {
        write(0, switchCount, std::memory_order_release);
        write(switchCount, count, std::memory_order_relaxed);
    }
}

}  // namespace

// ---- Builders ----------------------------------------------------------------------------------

void setBass(ToneStores& stores, int index, double rate, float gainDB, double shelfHz,
             double highPassHz, double lowPassHz) {
    // Switching off needs no rate: a device whose rate cannot be read must still lose the stage.
    const bool on = gainDB > 0.01f;
    if (!ToneStores::validIndex(index) || (on && !validRate(rate))) return;
    float block[k::bassCount] = {};
    if (on) {
        put(block, k::lowShelf, lowShelf(angularFrequency(shelfHz, rate), double(gainDB)));
        put(block, k::highPass, highPass(angularFrequency(highPassHz, rate)));
        put(block, k::harmonicBand, lowPass(angularFrequency(lowPassHz, rate)));
        block[k::limiterRelease] = float(1 - std::exp(-1 / (0.15 * rate)));
        // 2 pi x 800 Hz, written out.
        const double w800 =
            800.0 <= 0.45 * rate ? 5026.548245743669 / rate : angularFrequency(800.0, rate);
        put(block, k::harmonicLowPass, lowPass(w800));
        block[k::harmonicRelease] = float(1 - std::exp(-1 / (rate * 0.03)));  // 30 ms release
    }
    publish(stores, index, 0, block, k::bassCount, 3);
}

void setCorrection(ToneStores& stores, int index, std::span<const CorrStage> stages, double rate,
                   float amount) {
    amount = std::clamp(amount, 0.0f, 1.0f);  // NaN stays NaN and fails the test below
    const bool on = amount > 0.01f;
    if (!ToneStores::validIndex(index) || (on && !validRate(rate))) return;
    float block[corrCount] = {};
    if (on) {
        const std::size_t n = std::min<std::size_t>(stages.size(), 3);
        for (std::size_t i = 0; i < n; ++i) {
            const CorrStage& st = stages[i];
            const double A = std::pow(10.0, st.gainDB * double(amount) / 40.0);
            const double w0 = angularFrequency(st.f0, rate);
            const Biquad f = std::holds_alternative<CorrStage::Peak>(st.kind)
                                 ? peak(w0, A, std::get<CorrStage::Peak>(st.kind).q)
                                 : highShelf(w0, A, std::get<CorrStage::Shelf>(st.kind).s);
            put(block, corrStride * int(i), f);
        }
        if (n <= 1) block[corrStride] = 1.0f;  // stage 2 passes its input through
    }
    publish(stores, index, k::correction1, block, corrCount, 1);
}

void setCrisp(ToneStores& stores, int index, std::optional<std::string_view> uid,
              std::optional<std::string_view> targetUid, double rate, float amount) {
    if (!ToneStores::validIndex(index)) return;
    setCorrection(stores, index, correctionStagesFor(uid ? uid : targetUid), rate, amount);
}

void setLimiter(ToneStores& stores, int index, bool on, double rate) {
    if (!ToneStores::validIndex(index)) return;
    if (on && !validRate(rate)) return;
    const float release = on ? float(1 - std::exp(-1 / (rate * 0.15))) : 0.0f;
    stores.coefBlock(index)[k::limiterRelease].store(release, std::memory_order_relaxed);
}

void setGain(ToneStores& stores, int index, float gain) {
    if (!ToneStores::validIndex(index) || std::isnan(gain)) return;
    stores.gain[std::size_t(index)].store(std::clamp(gain, 0.0f, 4.0f), std::memory_order_relaxed);
}

// ---- Eight chains side by side ------------------------------------------------------------------

ToneLanesRt::ToneLanesRt() {
    std::memset(x, 0, sizeof x);
    std::memset(m, 0, sizeof m);
    std::memset(y, 0, sizeof y);
    clear();
}

void ToneLanesRt::clear() {
    std::memset(coef, 0, sizeof coef);
    std::memset(state, 0, sizeof state);
    std::memset(gs, 0, sizeof gs);
    std::memset(gainTarget, 0, sizeof gainTarget);
    std::memset(bassOn, 0, sizeof bassOn);
    std::memset(correctionOn, 0, sizeof correctionOn);
    std::memset(stage3On, 0, sizeof stage3On);
    std::memset(limiterOn, 0, sizeof limiterOn);
    count = 0;
    anyBass = anyCorrection = anyStage3 = anyLimiter = gainMoving = false;
}

namespace {

// Copies coefficient slots [from, to) of a device into lane j, or leaves them 0 when the stage is
// off, so a stage switched off in one lane runs there on zeros (no subnormals, no overflow) and
// not on a half-written design.
void takeCoefs(ToneLanesRt& lanes, int j, const std::atomic<float>* c, int from, int to, bool on) {
    for (int i = from; i < to; ++i)
        lanes.coef[i][j] = on ? tone_detail::coefAt(c, i) : 0.0f;
}

constexpr std::int32_t laneMask(bool on) {
    return on ? -1 : 0;
}

// The state slots a stage owns, to be written back only where the stage ran.
struct SlotRange {
    int from, to;
};
constexpr SlotRange bassSlots[] = {{tone_state::lowShelf, tone_state::limiterEnv},
                                   {tone_state::harmonicEnv, tone_state::correction1}};
constexpr SlotRange limiterSlots[] = {{tone_state::limiterEnv, tone_state::harmonicEnv}};
constexpr SlotRange correctionSlots[] = {{tone_state::correction1, tone_state::correction3}};
constexpr SlotRange stage3Slots[] = {{tone_state::correction3, tone_state::count}};

void giveBack(const ToneLanesRt& lanes, int j, float* st, std::span<const SlotRange> ranges,
              const std::int32_t* on) {
    if (!on[j]) return;
    for (const SlotRange& r : ranges)
        for (int i = r.from; i < r.to; ++i)
            st[i] = lanes.state[i][j];
}

}  // namespace

void addToneLaneRt(ToneLanesRt& lanes, ToneStores& s, int dev, int side, std::size_t frames) {
    namespace k = tone_coef;
    using tone_detail::coefAt;
    using tone_detail::switchAt;
    assert(ToneStores::validIndex(dev) && !lanes.full());
    const int j = lanes.count++;
    lanes.dev[j] = dev;
    lanes.side[j] = side & 1;

    // Switches first, with acquire order: a stage seen on is seen with its whole design.
    const std::atomic<float>* c = s.coefBlock(dev);
    const bool bass = switchAt(c, k::lowShelf) != 0.0f || switchAt(c, k::lowShelf + 1) != 0.0f ||
                      switchAt(c, k::lowShelf + 2) != 0.0f;
    const bool correction = switchAt(c, k::correction1) != 0.0f;
    const bool stage3 = correction && switchAt(c, k::correction3) != 0.0f;
    const float release = coefAt(c, k::limiterRelease);
    takeCoefs(lanes, j, c, 0, k::bassCount, bass);
    lanes.coef[k::limiterRelease][j] = release;
    takeCoefs(lanes, j, c, k::correction1, k::correction3, correction);
    takeCoefs(lanes, j, c, k::correction3, k::count, stage3);
    lanes.bassOn[j] = laneMask(bass);
    lanes.correctionOn[j] = laneMask(correction);
    lanes.stage3On[j] = laneMask(stage3);
    lanes.limiterOn[j] = laneMask(release != 0.0f);
    lanes.anyBass = lanes.anyBass || bass;
    lanes.anyCorrection = lanes.anyCorrection || correction;
    lanes.anyStage3 = lanes.anyStage3 || stage3;
    lanes.anyLimiter = lanes.anyLimiter || release != 0.0f;

    const float* st = s.stateBlock(dev, side);
    for (int i = 0; i < tone_state::count; ++i)
        lanes.state[i][j] = st[i];

    // The scalar chain runs a device's channels one after another, each continuing the gain
    // smoothing where the previous stopped; here they run at once, so this lane starts from the
    // stored value and the store moves on by this buffer's steps for the next channel.
    const std::size_t d = std::size_t(dev);
    const float target = s.gain[d].load(std::memory_order_relaxed);
    float g = s.gainSm[d].load(std::memory_order_relaxed);
    lanes.gs[j] = g;
    lanes.gainTarget[j] = target;
    if (tone_detail::smoothGain(g, target) == g) return;  // settled: stays put, as stored
    lanes.gainMoving = true;
    for (std::size_t i = 0; i < frames; ++i)
        g = tone_detail::smoothGain(g, target);
    s.gainSm[d].store(tone_detail::storedGain(g), std::memory_order_relaxed);
}

void endToneLanesRt(ToneLanesRt& lanes, ToneStores& s) {
    for (int j = 0; j < lanes.count; ++j) {
        float* st = s.stateBlock(lanes.dev[j], lanes.side[j]);
        giveBack(lanes, j, st, bassSlots, lanes.bassOn);
        giveBack(lanes, j, st, limiterSlots, lanes.limiterOn);
        giveBack(lanes, j, st, correctionSlots, lanes.correctionOn);
        giveBack(lanes, j, st, stage3Slots, lanes.stage3On);
        tone_detail::tidyState(st);
    }
    lanes.clear();
}

// The helpers below return eight-lane vectors by value. They are always inlined into one function,
// so no call ever crosses the ABI GCC warns about (it warns at the end of the file, hence no pop).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

// Eight lanes of float or of lane masks (GCC vector extensions). Built for the baseline x86-64
// target GCC splits each operation in two SSE halves; the AVX2 clone below does it in one.
using Vf = float __attribute__((vector_size(32)));
using Vi = std::int32_t __attribute__((vector_size(32)));
static_assert(sizeof(Vf) == sizeof(ToneLanesRt::Row));

[[gnu::always_inline]] inline Vf loadRow(const float* p) {
    Vf v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline Vi loadMask(const std::int32_t* p) {
    Vi v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void storeRow(float* p, const Vf& v) {
    std::memcpy(p, &v, sizeof v);
}

[[gnu::always_inline]] inline Vf splat(float v) {
    return Vf{} + v;
}

[[gnu::always_inline]] inline Vf absLanes(const Vf& v) {
    return Vf(Vi(v) & 0x7fffffff);
}

// A biquad of lanes: coefficients and x1, x2, y1, y2 held in registers (or their spill slots) for a
// whole chunk instead of reloaded per sample.
struct LaneBiquad {
    Vf b0, b1, b2, a1, a2;
    Vf x1, x2, y1, y2;

    [[gnu::always_inline]] LaneBiquad(const ToneLanesRt& l, int coef, int state)
        : b0(loadRow(l.coef[coef])),
          b1(loadRow(l.coef[coef + 1])),
          b2(loadRow(l.coef[coef + 2])),
          a1(loadRow(l.coef[coef + 3])),
          a2(loadRow(l.coef[coef + 4])),
          x1(loadRow(l.state[state])),
          x2(loadRow(l.state[state + 1])),
          y1(loadRow(l.state[state + 2])),
          y2(loadRow(l.state[state + 3])) {}

    // Same terms in the same order as tone_detail::biquadRt.
    [[gnu::always_inline]] Vf run(const Vf& x) {
        const Vf y = b0 * x + (b1 * x1 + b2 * x2 - a2 * y2 - a1 * y1);
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }

    [[gnu::always_inline]] void keep(ToneLanesRt& l, int state) const {
        storeRow(l.state[state], x1);
        storeRow(l.state[state + 1], x2);
        storeRow(l.state[state + 2], y1);
        storeRow(l.state[state + 3], y2);
    }
};

}  // namespace

// Run-time dispatch: an AVX2 clone where the processor has it, the baseline otherwise. No FMA in
// either, so no multiply-add is fused and each lane rounds exactly as the scalar chain does.
// Under the sanitizers the baseline alone: the clones' resolver runs while the program is being
// loaded, before ThreadSanitizer's runtime is ready, and crashed every such program before main.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define HOUSETONE_LANE_CLONES
#else
#define HOUSETONE_LANE_CLONES \
    [[gnu::target_clones("arch=x86-64-v4", "avx2", "default"), gnu::optimize("fp-contract=off")]]
#endif
namespace {

// The steps both lane layouts share, one sample of every lane: the same arithmetic in the same
// order, so that every layout rounds as the scalar chain does.

// The harmonic generator on the band's output `low`: its envelope, the shaped sound and that
// sound through the DC blocker.
struct HarmonicStep {
    Vf env, g, q;
};
[[gnu::always_inline]] inline HarmonicStep harmonicStep(Vf low, Vf env, Vf release, Vf dcIn,
                                                        Vf dcOut) {
    const Vf tMax = splat(1.2f), tMin = splat(-1.2f);
    const Vf al = absLanes(low);
    const Vf e = al > env ? al : env + (al - env) * release;
    Vf t = low / (e + 0.0001f);
    t = t > tMax ? tMax : (t < tMin ? tMin : t);
    const Vf g = e * (0.4f * t * t + 0.6f * t * absLanes(t));
    return {e, g, g - dcIn + 0.995f * dcOut};
}

// Gain (gliding toward its target while it moves), limiter and clip.
struct OutputStep {
    Vf y, gs, limiterEnv;
};
[[gnu::always_inline]] inline OutputStep outputStep(const ToneLanesRt& l, Vf y, Vf gs, Vf target,
                                                    Vf limiterEnv, Vf limiterRelease,
                                                    Vi limiterOn) {
    const Vf one = splat(1.0f), minusOne = splat(-1.0f), ceiling = splat(0.891f);
    if (l.gainMoving) gs = gs + (target - gs) * 0.0005f;
    y = gs * y;
    if (l.anyLimiter) {
        const Vf a = absLanes(y);
        limiterEnv = limiterEnv < a ? a : limiterEnv + limiterRelease * (a - limiterEnv);
        const Vi limit = (limiterEnv > ceiling) & limiterOn;
        y = limit ? y * 0.891f / limiterEnv : y;
    }
    y = y > one ? one : (y < minusOne ? minusOne : y);
    return {y, gs, limiterEnv};
}

[[gnu::always_inline]] inline void runEightLanes(ToneLanesRt& lanes, std::size_t frames) {
    namespace k = tone_coef;
    namespace v = tone_state;
    ToneLanesRt& l = lanes;
    LaneBiquad highPass(l, k::highPass, v::highPass), shelf(l, k::lowShelf, v::lowShelf),
        band(l, k::harmonicBand, v::harmonicBand),
        harmonicLowPass(l, k::harmonicLowPass, v::harmonicLowPass),
        corr1(l, k::correction1, v::correction1), corr2(l, k::correction2, v::correction2),
        corr3(l, k::correction3, v::correction3);
    const Vf harmonicRelease = loadRow(l.coef[k::harmonicRelease]);
    const Vf limiterRelease = loadRow(l.coef[k::limiterRelease]);
    const Vi bassOn = loadMask(l.bassOn), correctionOn = loadMask(l.correctionOn),
             stage3On = loadMask(l.stage3On), limiterOn = loadMask(l.limiterOn);
    const Vf target = loadRow(l.gainTarget);
    Vf harmonicEnv = loadRow(l.state[v::harmonicEnv]);
    Vf dcIn = loadRow(l.state[v::dcPrevIn]), dcOut = loadRow(l.state[v::dcPrevOut]);
    Vf limiterEnv = loadRow(l.state[v::limiterEnv]);
    Vf gs = loadRow(l.gs);

    const Vi inUse = Vi{0, 1, 2, 3, 4, 5, 6, 7} < l.count;
    for (std::size_t i = 0; i < frames; ++i) {
        const Vf x = inUse ? loadRow(l.x[i]) : Vf{};
        Vf y = x;
        if (l.anyBass) {
            const Vf h = highPass.run(x);
            Vf b = shelf.run(h);
            const Vf low = band.run(inUse ? loadRow(l.m[i]) : Vf{});
            const HarmonicStep gen = harmonicStep(low, harmonicEnv, harmonicRelease, dcIn, dcOut);
            harmonicEnv = gen.env;
            dcIn = gen.g;
            dcOut = gen.q;
            b = b + 1.1f * harmonicLowPass.run(gen.q);
            y = bassOn ? b : y;
        }
        if (l.anyCorrection) {
            Vf c = corr2.run(corr1.run(y));
            if (l.anyStage3) {
                const Vf c3 = corr3.run(c);
                c = stage3On ? c3 : c;
            }
            y = correctionOn ? c : y;
        }
        const OutputStep out = outputStep(l, y, gs, target, limiterEnv, limiterRelease, limiterOn);
        gs = out.gs;
        limiterEnv = out.limiterEnv;
        storeRow(l.y[i], out.y);
    }

    highPass.keep(l, v::highPass);
    shelf.keep(l, v::lowShelf);
    band.keep(l, v::harmonicBand);
    harmonicLowPass.keep(l, v::harmonicLowPass);
    corr1.keep(l, v::correction1);
    corr2.keep(l, v::correction2);
    corr3.keep(l, v::correction3);
    storeRow(l.state[v::harmonicEnv], harmonicEnv);
    storeRow(l.state[v::dcPrevIn], dcIn);
    storeRow(l.state[v::dcPrevOut], dcOut);
    storeRow(l.state[v::limiterEnv], limiterEnv);
    storeRow(l.gs, gs);
}

// ---- One pair of chains spread over the lanes ---------------------------------------------------
//
// One or two channels side by side leave most of the vector idle, and every sample waits for the
// whole cascade of its frame before the next can start. Here a pair of channels fills the lanes
// with its stages instead, each stage a frame behind the one that feeds it: channel a in lanes
// 0-3, channel b in lanes 4-7, and at step s in each half
//     front      [high-pass | shelf | harmonic band | -]    frames s, s - 1, s
//     back       [- | correction 1 | 2 | 3]                 frames s - 1, s - 2, s - 3
// The harmonic generator and its low-pass run on the band's lane (frame s) and their result joins
// the shelf's at the next step; gain, limiter and clip run on stage 3's lane. A stage hands its
// output to the next by a move of one lane within its half, a single cycle. Each vector's values
// depend on its own last step and on vectors before it, never on one after it: a loop through
// the harmonic generator and back would make every step wait for the whole of it. Every lane does
// the scalar chain's arithmetic in the same order, so the output is the same. A chunk of n
// frames takes n + 3 steps; in the first and last three, a lane whose frame lies outside the
// chunk runs but keeps its state.

// Lane i takes lane i - 1 within each half (the first lane of a half keeps its own).
[[gnu::always_inline]] inline Vf laneUp1(const Vf& v) {
    return __builtin_shuffle(v, Vi{0, 0, 1, 2, 4, 4, 5, 6});
}

// Lane i takes lane i + 1 within each half (the last keeps its own).
[[gnu::always_inline]] inline Vf laneDown1(const Vf& v) {
    return __builtin_shuffle(v, Vi{1, 2, 3, 3, 5, 6, 7, 7});
}

// The row of a ToneLanesRt block each lane of a half holds, -1 for none (0).
using PairRows = std::array<int, 4>;

[[gnu::always_inline]] inline Vf pickPair(const ToneLanesRt::Row* rows, const PairRows& at, int ja,
                                          int jb, float none = 0.0f) {
    Vf v = splat(none);
    for (int k = 0; k < 4; ++k)
        if (const int r = at[std::size_t(k)]; r >= 0) {
            v[k] = rows[r][ja];
            v[4 + k] = rows[r][jb];
        }
    return v;
}

[[gnu::always_inline]] inline void putPair(ToneLanesRt::Row* rows, const PairRows& at, int ja,
                                           int jb, const Vf& v) {
    for (int k = 0; k < 4; ++k)
        if (const int r = at[std::size_t(k)]; r >= 0) {
            rows[r][ja] = v[k];
            rows[r][jb] = v[4 + k];
        }
}

// Where `on` (a lane mask of the group) is set for lane ja or jb, in the lanes of a half that
// `at` marks.
[[gnu::always_inline]] inline Vi pickMask(const std::int32_t* on, const std::array<bool, 4>& at,
                                          int ja, int jb) {
    Vi v{};
    for (int k = 0; k < 4; ++k)
        if (at[std::size_t(k)]) {
            v[k] = on[ja];
            v[4 + k] = on[jb];
        }
    return v;
}

constexpr PairRows offsetRows(PairRows r, int by) {
    for (int& i : r)
        i = i < 0 ? i : i + by;
    return r;
}

// One biquad per lane of a half, each on its own lane's input.
struct PairBiquad {
    Vf b0, b1, b2, a1, a2;
    Vf x1, x2, y1, y2;
    PairRows state;

    [[gnu::always_inline]] PairBiquad(const ToneLanesRt& l, const PairRows& coef,
                                      const PairRows& st, int ja, int jb)
        : b0(pickPair(l.coef, offsetRows(coef, 0), ja, jb)),
          b1(pickPair(l.coef, offsetRows(coef, 1), ja, jb)),
          b2(pickPair(l.coef, offsetRows(coef, 2), ja, jb)),
          a1(pickPair(l.coef, offsetRows(coef, 3), ja, jb)),
          a2(pickPair(l.coef, offsetRows(coef, 4), ja, jb)),
          x1(pickPair(l.state, offsetRows(st, 0), ja, jb)),
          x2(pickPair(l.state, offsetRows(st, 1), ja, jb)),
          y1(pickPair(l.state, offsetRows(st, 2), ja, jb)),
          y2(pickPair(l.state, offsetRows(st, 3), ja, jb)),
          state(st) {}

    // Same terms in the same order as tone_detail::biquadRt; at a chunk's edge, lanes outside
    // `keep` run but keep their state.
    template <bool edge>
    [[gnu::always_inline]] Vf run(const Vf& x, const Vi& keep) {
        const Vf y = b0 * x + (b1 * x1 + b2 * x2 - a2 * y2 - a1 * y1);
        if constexpr (edge) {
            x2 = keep ? x1 : x2;
            x1 = keep ? x : x1;
            y2 = keep ? y1 : y2;
            y1 = keep ? y : y1;
        } else {
            x2 = x1;
            x1 = x;
            y2 = y1;
            y1 = y;
        }
        return y;
    }

    [[gnu::always_inline]] void keep(ToneLanesRt& l, int ja, int jb) const {
        putPair(l.state, offsetRows(state, 0), ja, jb, x1);
        putPair(l.state, offsetRows(state, 1), ja, jb, x2);
        putPair(l.state, offsetRows(state, 2), ja, jb, y1);
        putPair(l.state, offsetRows(state, 3), ja, jb, y2);
    }
};

[[gnu::always_inline]] inline void runPair(ToneLanesRt& l, int ja, int jb, std::size_t frames) {
    namespace k = tone_coef;
    namespace v = tone_state;
    // How many steps after its frame entered each lane runs.
    const Vi frontLag{0, 1, 0, 0, 0, 1, 0, 0}, backLag{0, 3, 4, 5, 0, 3, 4, 5};
    constexpr int harmonicLag = 1, lowPassLag = 2, tailLag = 6;
    const Vi takesInput{-1, 0, -1, -1, -1, 0, -1, -1};  // high-pass x, band m, idle lane 0
    const Vi shelfLane{0, -1, 0, 0, 0, -1, 0, 0};
    const Vi bandLane{0, 0, -1, 0, 0, 0, -1, 0};

    PairBiquad front(l, {k::highPass, k::lowShelf, k::harmonicBand, -1},
                     {v::highPass, v::lowShelf, v::harmonicBand, -1}, ja, jb);
    PairBiquad back(l, {-1, k::correction1, k::correction2, k::correction3},
                    {-1, v::correction1, v::correction2, v::correction3}, ja, jb);
    PairBiquad harmonicLowPass(l, {-1, -1, k::harmonicLowPass, -1},
                               {-1, -1, v::harmonicLowPass, -1}, ja, jb);
    const Vi frontOn = pickMask(l.bassOn, {true, true, true, false}, ja, jb);
    const Vi addsHarmonics = pickMask(l.bassOn, {false, true, false, false}, ja, jb);
    const Vi backOn = pickMask(l.correctionOn, {false, true, true, false}, ja, jb) |
                      pickMask(l.stage3On, {false, false, false, true}, ja, jb);
    const Vi limiterOn = pickMask(l.limiterOn, {false, false, false, true}, ja, jb);
    constexpr PairRows harmonicEnvRow{-1, -1, v::harmonicEnv, -1};
    constexpr PairRows dcInRow{-1, -1, v::dcPrevIn, -1}, dcOutRow{-1, -1, v::dcPrevOut, -1};
    constexpr PairRows limiterEnvRow{-1, -1, -1, v::limiterEnv};
    const Vf harmonicRelease = pickPair(l.coef, {-1, -1, k::harmonicRelease, -1}, ja, jb);
    const Vf limiterRelease = pickPair(l.coef, {-1, -1, -1, k::limiterRelease}, ja, jb);
    Vf harmonicEnv = pickPair(l.state, harmonicEnvRow, ja, jb);
    Vf dcIn = pickPair(l.state, dcInRow, ja, jb);
    Vf dcOut = pickPair(l.state, dcOutRow, ja, jb);
    Vf limiterEnv = pickPair(l.state, limiterEnvRow, ja, jb);
    // Gain 1 outside stage 3's lane.
    Vf gs = splat(1.0f), target = splat(1.0f);
    gs[3] = l.gs[ja];
    gs[7] = l.gs[jb];
    target[3] = l.gainTarget[ja];
    target[7] = l.gainTarget[jb];

    // What the stages gave at the last step (the front also at the one before): each stage takes
    // its input from here, so that within a step no stage waits for another.
    Vf frontOut{}, frontBefore{}, harmonicIn{}, harmonics{}, backOut{};
    const auto n = static_cast<int>(frames);

    const auto step = [&](auto edge, int s) __attribute__((always_inline)) {
        constexpr bool atEdge = decltype(edge)::value;
        const auto inChunk = [&](int lag) { return !atEdge || (s - lag >= 0 && s - lag < n); };
        Vi frontKeep{}, backKeep{};
        if constexpr (atEdge) {
            const auto lanesInChunk = [&](const Vi& lag) {
                const Vi f = s - lag;
                return (f >= 0) & (f < n);
            };
            frontKeep = lanesInChunk(frontLag);
            backKeep = lanesInChunk(backLag);
        }

        Vf in{};
        if (inChunk(0)) {
            const auto i = std::size_t(s);
            in[0] = l.x[i][ja];
            in[2] = l.m[i][ja];
            in[4] = l.x[i][jb];
            in[6] = l.m[i][jb];
        }
        const Vf frontIn = takesInput ? in : laneUp1(frontOut);
        Vf newFront = frontIn;
        Vf newHarmonicIn = harmonicIn, newHarmonics = harmonics;
        if (l.anyBass) {
            newFront = frontOn ? front.template run<atEdge>(frontIn, frontKeep) : frontIn;
            // The harmonic generator on the band's last output, 0 in the other lanes so that
            // they never meet a NaN or a subnormal.
            const Vf low = bandLane ? frontOut : Vf{};
            const HarmonicStep h = harmonicStep(low, harmonicEnv, harmonicRelease, dcIn, dcOut);
            if (inChunk(harmonicLag)) {
                harmonicEnv = h.env;
                dcIn = h.g;
                dcOut = h.q;
                newHarmonicIn = h.q;
            }
            if (inChunk(lowPassLag))
                newHarmonics = harmonicLowPass.template run<false>(harmonicIn, Vi{});
        }

        // The shelf's output of two steps ago meets the harmonics of the same frame.
        const Vf shelfOut = addsHarmonics ? frontBefore + 1.1f * laneDown1(harmonics) : frontBefore;
        const Vf backIn = shelfLane ? shelfOut : laneUp1(backOut);
        Vf newBack = backIn;
        if (l.anyCorrection)
            newBack = backOn ? back.template run<atEdge>(backIn, backKeep) : backIn;

        // Gain, limiter and clip on stage 3's last output (gain 1 and no limiter elsewhere).
        const OutputStep out =
            outputStep(l, backOut, gs, target, limiterEnv, limiterRelease, limiterOn);
        const Vf y = out.y;
        if (inChunk(tailLag)) {
            gs = out.gs;
            limiterEnv = out.limiterEnv;
            const auto i = std::size_t(s - tailLag);
            l.y[i][ja] = y[3];
            l.y[i][jb] = y[7];
        }

        frontBefore = frontOut;
        frontOut = newFront;
        harmonicIn = newHarmonicIn;
        harmonics = newHarmonics;
        backOut = newBack;
    };
    const int lead = std::min(tailLag, n);
    int s = 0;
    for (; s < lead; ++s)
        step(std::true_type{}, s);
    for (; s < n; ++s)
        step(std::false_type{}, s);
    for (; s < n + tailLag; ++s)
        step(std::true_type{}, s);

    front.keep(l, ja, jb);
    back.keep(l, ja, jb);
    harmonicLowPass.keep(l, ja, jb);
    putPair(l.state, harmonicEnvRow, ja, jb, harmonicEnv);
    putPair(l.state, dcInRow, ja, jb, dcIn);
    putPair(l.state, dcOutRow, ja, jb, dcOut);
    putPair(l.state, limiterEnvRow, ja, jb, limiterEnv);
    l.gs[ja] = gs[3];
    l.gs[jb] = gs[7];
}

}  // namespace

// With up to this many channels a group runs as pairs with their stages spread over the lanes;
// with more, one channel per lane.
inline constexpr int tonePairedLanes = 4;

HOUSETONE_LANE_CLONES void processToneLanesRt(ToneLanesRt& lanes, std::size_t frames) {
    // With no filter, envelope or gain step to carry from frame to frame, a lane is one product
    // per sample, and the lanes side by side cost least.
    const bool carries =
        lanes.anyBass || lanes.anyCorrection || lanes.anyLimiter || lanes.gainMoving;
    if (carries && lanes.count <= tonePairedLanes) {
        // A lone last channel runs in both halves of its pair.
        for (int j = 0; j < lanes.count; j += 2)
            runPair(lanes, j, std::min(j + 1, lanes.count - 1), frames);
        return;
    }
    runEightLanes(lanes, frames);
}

// ---- Controller settings -----------------------------------------------------------------------

float volumeBoostGain(int percent) {
    if (percent >= 20) return 2.0f;
    if (percent >= 10) return 1.41f;
    return 1.0f;
}

BassCorners bassCorners(std::uint32_t transport) {
    if (isBluetoothTransport(transport)) return {140.0, 48.0, 160.0};
    if (transport == transport::builtIn) return {260.0, 110.0, 300.0};
    return {220.0, 90.0, 260.0};
}

}  // namespace housetone
