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
    std::memset(&pair, 0, sizeof pair);
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

namespace {

// The steps both lane layouts share: the same arithmetic in the same order, so that every layout
// rounds as the scalar chain does. The recurrent ones carry a value from frame to frame; the
// others may run on any frames side by side.

// An envelope follower with instant attack, on the magnitude `a` (recurrent). The harmonic
// generator's on the band's output and the limiter's on the gained sample do the same arithmetic.
[[gnu::always_inline]] inline Vf follow(Vf a, Vf env, Vf release) {
    return a > env ? a : env + (a - env) * release;
}

// The band's output normalised by its envelope `e` and bent into the harmonics.
[[gnu::always_inline]] inline Vf harmonicShape(Vf low, Vf e) {
    const Vf tMax = splat(1.2f), tMin = splat(-1.2f);
    Vf t = low / (e + 0.0001f);
    t = t > tMax ? tMax : (t < tMin ? tMin : t);
    return e * (0.4f * t * t + 0.6f * t * absLanes(t));
}

// The DC blocker on the shaped harmonics `g` (recurrent).
[[gnu::always_inline]] inline Vf dcBlock(Vf g, Vf prevIn, Vf prevOut) {
    return g - prevIn + 0.995f * prevOut;
}

// The limiting, where the lane's limiter is on, and the clip.
template <bool limiter>
[[gnu::always_inline]] inline Vf limitAndClip(Vf y, Vf env, Vi on) {
    const Vf one = splat(1.0f), minusOne = splat(-1.0f), ceiling = splat(0.891f);
    if constexpr (limiter) {
        const Vi limit = (env > ceiling) & on;
        y = limit ? y * 0.891f / env : y;
    }
    return y > one ? one : (y < minusOne ? minusOne : y);
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
            harmonicEnv = follow(absLanes(low), harmonicEnv, harmonicRelease);
            const Vf g = harmonicShape(low, harmonicEnv);
            dcOut = dcBlock(g, dcIn, dcOut);
            dcIn = g;
            b = b + 1.1f * harmonicLowPass.run(dcOut);
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
        if (l.gainMoving) gs = gs + (target - gs) * 0.0005f;
        y = gs * y;
        if (l.anyLimiter) {
            limiterEnv = follow(absLanes(y), limiterEnv, limiterRelease);
            y = limitAndClip<true>(y, limiterEnv, limiterOn);
        } else {
            y = limitAndClip<false>(y, limiterEnv, limiterOn);
        }
        storeRow(l.y[i], y);
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
// with its stages instead: channel a in lanes 0-3, channel b in lanes 4-7, and at step u in each
// half (t = u - backLag)
//     front      [high-pass | shelf | harmonic band | -]            frames u, u - 1, u
//     back       [harmonic low-pass | correction 1 | 2 | 3]         frames t, t - 2, t - 3, t - 4
//     followers  [- | - | harmonic envelope | limiter envelope]     frames u, t - 5
// with the DC blocker ahead of the low-pass and the gain on stage 3's output. Only these stages,
// which carry a value from frame to frame, run step by step. The harmonics' shaping and the
// limiting and clip, with their divisions, carry nothing: each runs on four frames of both
// channels at once, a round of four steps after the steps that fed it, from small rings of rows
// (ToneLanesRt::PairScratch). A stage hands its output to the next by a move of one lane within
// its half, a single cycle; correction 1 takes the low-pass's output two steps late, so that the
// loop through both is no longer than a stage's own. Every lane does the scalar chain's
// arithmetic in the same order, so the output is the same. A chunk of n frames takes n + outLag
// steps; at either end, a lane whose frame lies outside the chunk runs but keeps its state.

// Lane i takes lane i - 1 within each half (the first lane of a half keeps its own).
[[gnu::always_inline]] inline Vf laneUp1(const Vf& v) {
    return __builtin_shuffle(v, Vi{0, 0, 1, 2, 4, 4, 5, 6});
}

// Lane i of each half from `a` where the pattern's bit i is set, from `b` elsewhere: a blend with
// an immediate, needing no mask register.
template <bool l0, bool l1, bool l2, bool l3>
[[gnu::always_inline]] inline Vf pickLanes(const Vf& a, const Vf& b) {
    return __builtin_shuffle(a, b,
                             Vi{l0 ? 0 : 8, l1 ? 1 : 9, l2 ? 2 : 10, l3 ? 3 : 11, l0 ? 4 : 12,
                                l1 ? 5 : 13, l2 ? 6 : 14, l3 ? 7 : 15});
}

// Lanes 2 and 3 of four rows, each lane's four values side by side within each half: lane2() is
// [r0, r1, r2, r3 | r0, r1, r2, r3] of lanes (2, 6), lane3() of lanes (3, 7).
struct HighLanes {
    Vf u, w;

    [[gnu::always_inline]] explicit HighLanes(const ToneLanesRt::Row* rows) {
        const Vi high{2, 10, 3, 11, 6, 14, 7, 15};
        u = __builtin_shuffle(loadRow(rows[0]), loadRow(rows[1]), high);
        w = __builtin_shuffle(loadRow(rows[2]), loadRow(rows[3]), high);
    }
    [[gnu::always_inline]] Vf lane2() const {
        return __builtin_shuffle(u, w, Vi{0, 1, 8, 9, 4, 5, 12, 13});
    }
    [[gnu::always_inline]] Vf lane3() const {
        return __builtin_shuffle(u, w, Vi{2, 3, 10, 11, 6, 7, 14, 15});
    }
};

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

// Lanes whose frame, `lag` steps behind step s, lies in a chunk of n frames.
[[gnu::always_inline]] inline Vi lanesInChunk(const Vi& lag, int s, int n) {
    const Vi f = s - lag;
    return (f >= 0) & (f < n);
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

    // The stages where `on` (every lane where `allOn`: the idle ones give 0 on 0), the input
    // elsewhere; at a chunk's edge, lanes whose frame, `lag` steps behind step s, lies outside
    // the chunk's n frames keep their state.
    template <bool edge>
    [[gnu::always_inline]] Vf runWhere(const Vf& x, const Vi& on, bool allOn, const Vi& lag, int s,
                                       int n) {
        Vi keep{};
        if constexpr (edge) keep = lanesInChunk(lag, s, n);
        const Vf y = run<edge>(x, keep);
        if (allOn) return y;
        return on ? y : x;
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
    const bool anyBass = l.anyBass, anyBiquadBack = l.anyBass || l.anyCorrection;
    const bool anyEnvelope = l.anyBass || l.anyLimiter;
    const bool anyLimiter = l.anyLimiter, gainMoving = l.gainMoving;
    const auto n = static_cast<int>(frames);
    ToneLanesRt::PairScratch& p = l.pair;
    // Ring slot of step or frame u; u may be -1 (the slot before the first, read into lanes that
    // keep nothing).
    const auto slot = [](int u) { return std::size_t(u & (ToneLanesRt::pairRing - 1)); };

    // Step u runs the front on frame u and the back on frame u - backLag; gain and the limiter's
    // envelope take frame u - outLag. outLag is a multiple of 4, so that the four frames a
    // limiting takes lie in four neighbouring slots.
    constexpr int backLag = 11, tailLag = 5, outLag = backLag + tailLag;
    static_assert(outLag % 4 == 0 && outLag <= ToneLanesRt::pairRing);

    // Front: how many steps after its frame entered each lane runs.
    const Vi frontLag{0, 1, 0, 0, 0, 1, 0, 0};
    PairBiquad front(l, {k::highPass, k::lowShelf, k::harmonicBand, -1},
                     {v::highPass, v::lowShelf, v::harmonicBand, -1}, ja, jb);
    const Vi frontOn = pickMask(l.bassOn, {true, true, true, false}, ja, jb);
    const bool frontAllOn = l.bassOn[ja] && l.bassOn[jb];
    Vf frontOut{};

    // Back: [harmonic low-pass | correction 1 | 2 | 3] on frames t, t - 2, t - 3, t - 4.
    const Vi backLanesLag{0, 2, 3, 4, 0, 2, 3, 4};
    PairBiquad back(l, {k::harmonicLowPass, k::correction1, k::correction2, k::correction3},
                    {v::harmonicLowPass, v::correction1, v::correction2, v::correction3}, ja, jb);
    const Vi backOn = pickMask(l.bassOn, {true, false, false, false}, ja, jb) |
                      pickMask(l.correctionOn, {false, true, true, false}, ja, jb) |
                      pickMask(l.stage3On, {false, false, false, true}, ja, jb);
    const bool backAllOn = frontAllOn && l.stage3On[ja] && l.stage3On[jb];  // correction with it
    const Vi addsHarmonics = pickMask(l.bassOn, {false, true, false, false}, ja, jb);
    constexpr PairRows dcInRow{v::dcPrevIn, -1, -1, -1}, dcOutRow{v::dcPrevOut, -1, -1, -1};
    Vf dcIn = pickPair(l.state, dcInRow, ja, jb), dcOut = pickPair(l.state, dcOutRow, ja, jb);
    Vf backOut{}, backBefore{};  // the back's output at the last step and at the one before
    // Gain 1 outside stage 3's lane.
    Vf gs = splat(1.0f), target = splat(1.0f);
    gs[3] = l.gs[ja];
    gs[7] = l.gs[jb];
    target[3] = l.gainTarget[ja];
    target[7] = l.gainTarget[jb];

    // One envelope follower for both: the harmonic generator's on the band's lane, the
    // limiter's on stage 3's.
    const Vi bandLane{0, 0, -1, 0, 0, 0, -1, 0}, tailLane{0, 0, 0, -1, 0, 0, 0, -1};
    constexpr PairRows envelopeRows{-1, -1, v::harmonicEnv, v::limiterEnv};
    const Vf release = pickPair(l.coef, {-1, -1, k::harmonicRelease, k::limiterRelease}, ja, jb);
    Vf envelope = pickPair(l.state, envelopeRows, ja, jb);

    // The magnitudes of the followed lanes, 0 in the others.
    const Vi followedMagnitudes = (bandLane | tailLane) & 0x7fffffff;
    // `here` is step u's slot, `earlier` step u - backLag - 1's (the front of frame t - 1).
    const auto step = [&](auto frontEdge, auto backEdge, int u, std::size_t here,
                          std::size_t earlier) __attribute__((always_inline)) {
        constexpr bool fEdge = decltype(frontEdge)::value, bEdge = decltype(backEdge)::value;
        const bool frontRuns = !fEdge || u <= n, frontInChunk = !fEdge || u < n;
        const int t = u - backLag;
        const bool backRuns = !bEdge || (t >= 0 && t < n + tailLag);
        const bool tailInChunk = !bEdge || t >= tailLag;  // the steps end with frame n - 1's

        Vf frontNew = frontOut;
        if (frontRuns) {
            Vf in{};
            if (frontInChunk) {
                const auto i = std::size_t(u);
                in[0] = l.x[i][ja];
                in[2] = l.m[i][ja];
                in[4] = l.x[i][jb];
                in[6] = l.m[i][jb];
            }
            // The high-pass takes x, the band m, the idle lane 0; the shelf the high-pass's output.
            const Vf frontIn = pickLanes<true, false, true, true>(in, laneUp1(frontOut));
            frontNew = frontIn;
            if (anyBass)
                frontNew =
                    front.template runWhere<fEdge>(frontIn, frontOn, frontAllOn, frontLag, u, n);
        }

        Vf backNew = backOut, y{};
        if (backRuns) {
            if (anyBass && (!bEdge || t < n)) {
                const Vf g = loadRow(p.shaped[here]);
                dcOut = dcBlock(g, dcIn, dcOut);
                dcIn = g;
            }
            // Correction 1 takes frame t - 2: the shelf's output (or the input, where bass is
            // off) from step t - 1's front, and the low-pass's output from two steps ago.
            const Vf shelfOut = loadRow(p.rows[earlier]);
            const Vf firstIn = addsHarmonics ? shelfOut + 1.1f * laneUp1(backBefore) : shelfOut;
            const Vf backIn = pickLanes<true, false, false, false>(
                dcOut, pickLanes<true, true, false, false>(firstIn, laneUp1(backOut)));
            backNew = backIn;
            if (anyBiquadBack)
                backNew =
                    back.template runWhere<bEdge>(backIn, backOn, backAllOn, backLanesLag, t, n);
            // Gain on stage 3's last output.
            if (tailInChunk) {
                if (gainMoving) gs = gs + (target - gs) * 0.0005f;
                y = gs * backOut;
            }
        }

        // The front's lanes and, in stage 3's, the gained sample of frame u - outLag.
        const Vf row = pickLanes<false, false, false, true>(y, frontNew);
        if (anyEnvelope) {
            // 0 in the lanes that follow nothing, so that they never meet a NaN or a subnormal.
            const Vf e = follow(Vf(Vi(row) & followedMagnitudes), envelope, release);
            if constexpr (fEdge || bEdge)
                envelope =
                    ((bandLane & (frontInChunk ? -1 : 0)) | (tailLane & (tailInChunk ? -1 : 0)))
                        ? e
                        : envelope;
            else
                envelope = e;
            storeRow(p.envelopes[here], envelope);
        }
        storeRow(p.rows[here], row);
        frontOut = frontNew;
        backBefore = backOut;
        backOut = backNew;
    };

    // After round r's steps, on the four rows of round r - 1: the shaping of the frames whose
    // band output they hold, 4r - 4 to 4r - 1 (one row per frame, each channel's value in all
    // lanes of its half, in the slot of the step whose back takes it), and the limiting of those
    // whose gained output they hold, outLag earlier, into y.
    const Vi limiterOn = pickMask(l.limiterOn, {true, true, true, true}, ja, jb);
    const auto batch = [&](auto whole, int r, bool shapes, bool limits)
        __attribute__((always_inline)) {
        constexpr bool allInChunk = decltype(whole)::value;
        const int f = 4 * (r - 1);
        const std::size_t at = slot(f);
        const HighLanes rows(&p.rows[at]), envelopes(&p.envelopes[at]);
        if (shapes) {
            const Vf g = harmonicShape(rows.lane2(), envelopes.lane2());
            storeRow(p.shaped[slot(f + backLag)], __builtin_shuffle(g, Vi{0, 0, 0, 0, 4, 4, 4, 4}));
            storeRow(p.shaped[slot(f + 1 + backLag)],
                     __builtin_shuffle(g, Vi{1, 1, 1, 1, 5, 5, 5, 5}));
            storeRow(p.shaped[slot(f + 2 + backLag)],
                     __builtin_shuffle(g, Vi{2, 2, 2, 2, 6, 6, 6, 6}));
            storeRow(p.shaped[slot(f + 3 + backLag)],
                     __builtin_shuffle(g, Vi{3, 3, 3, 3, 7, 7, 7, 7}));
        }
        if (limits) {
            const int first = f - outLag;
            const Vf y = rows.lane3();
            const Vf out = anyLimiter ? limitAndClip<true>(y, envelopes.lane3(), limiterOn)
                                      : limitAndClip<false>(y, y, limiterOn);
            for (int i = 0; i < 4 && (allInChunk || first + i < n); ++i) {
                l.y[first + i][ja] = out[i];
                l.y[first + i][jb] = out[4 + i];
            }
        }
    };

    // Round by round: steps 4r to 4r + 3, then the shaping of the frames the front finished a
    // round before and the limiting of those whose gain a round before took. Each part takes
    // rows made at least a round earlier, so that the processor runs it beside the steps instead
    // of waiting for what was just made; the back's first frame of a block comes two rounds after
    // the front's, once it is shaped. The rounds in which no step lies at an end of the chunk run
    // as one straight stretch, so that the compiler keeps every carried value in a register.
    // Round r's batch shapes block r - 1 and limits the block outLag frames before it.
    constexpr int limitLag = 1 + outLag / 4;
    const int blocks = (n + 3) / 4;
    const auto round = [&](int r) __attribute__((always_inline)) {
        for (int u = 4 * r; u < 4 * r + 4 && u < n + outLag; ++u) {
            const bool frontEdge = u == 0 || u >= n;
            const bool backEdge = u - backLag < tailLag || u - backLag >= n;
            const std::size_t here = slot(u), earlier = slot(u - backLag - 1);
            if (frontEdge && backEdge)
                step(std::true_type{}, std::true_type{}, u, here, earlier);
            else if (frontEdge)
                step(std::true_type{}, std::false_type{}, u, here, earlier);
            else if (backEdge)
                step(std::false_type{}, std::true_type{}, u, here, earlier);
            else
                step(std::false_type{}, std::false_type{}, u, here, earlier);
        }
        const int shaped = r - 1, limited = r - limitLag;
        batch(std::false_type{}, r, anyBass && shaped >= 0 && shaped < blocks,
              limited >= 0 && limited < blocks);
    };
    // Steady: every front step inside the chunk (r >= 1, 4r + 3 < n), every back step with each
    // lane's frame in it (4r - backLag >= tailLag, 4r + 3 - backLag < n) and a block to limit.
    constexpr int firstSteady = std::max(limitLag, (backLag + tailLag + 3) / 4);
    const int endSteady = n >= 4 ? (n - 4) / 4 + 1 : 0;
    int r = 0;
    for (; r < std::min(firstSteady, blocks + limitLag); ++r)
        round(r);
    for (; r < endSteady; ++r) {
        // Four steps from slots that are multiples of 4: within a round no slot wraps.
        const std::size_t here = slot(4 * r), earlier = slot(4 * r - backLag - 1);
        static_assert((backLag + 1) % 4 == 0);
        step(std::false_type{}, std::false_type{}, 4 * r, here, earlier);
        step(std::false_type{}, std::false_type{}, 4 * r + 1, here + 1, earlier + 1);
        step(std::false_type{}, std::false_type{}, 4 * r + 2, here + 2, earlier + 2);
        step(std::false_type{}, std::false_type{}, 4 * r + 3, here + 3, earlier + 3);
        batch(std::true_type{}, r, anyBass, true);
    }
    for (; r < blocks + limitLag; ++r)
        round(r);

    front.keep(l, ja, jb);
    back.keep(l, ja, jb);
    putPair(l.state, envelopeRows, ja, jb, envelope);
    putPair(l.state, dcInRow, ja, jb, dcIn);
    putPair(l.state, dcOutRow, ja, jb, dcOut);
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
