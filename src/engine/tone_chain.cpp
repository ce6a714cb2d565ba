#include "engine/tone_chain.h"

#include <algorithm>
#include <cmath>
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
constexpr int corrStride =
    k::correction2 - k::correction1;  // from one correction stage to the next

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
