#include "engine/tap_engine.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "audio/aggregate.h"
#include "audio/device_access.h"

namespace housetone {

namespace {

constexpr const char* tapName = "Housetone system tap";
constexpr const char* captureName = "Housetone capture";

// Seconds on the hardware clock: a new aggregate is given time to come up before its rate is
// forced, and the rate change time to take hold before the callback is installed.
constexpr double settleAfterCreate = 0.3;
constexpr double settleAfterRate = 0.2;

std::string withStatus(const char* what, OSStatus status) {
    return std::string(what) + " (OSStatus " + std::to_string(status) + ")";
}

// The program's own process object, to leave our clicks and test signals out of the tap; 0 when
// the system cannot say.
AudioObjectID ownProcessObject(AudioHardware& hw) {
    const std::int32_t pid = static_cast<std::int32_t>(::getpid());
    AudioObjectID object = 0;
    std::uint32_t size = sizeof object;
    const PropertyAddress a{sel::translatePIDToProcessObject, scope::global, 0};
    if (hw.getPropertyData(systemObject, a, sizeof pid, &pid, size, &object) != noErr ||
        size != sizeof object)
        return 0;
    return object;
}

std::optional<double> tapRate(AudioHardware& hw, AudioObjectID tap) {
    AudioStreamBasicDescription f{};
    std::uint32_t size = sizeof f;
    const PropertyAddress a{sel::tapFormat, scope::global, 0};
    if (hw.getPropertyData(tap, a, 0, nullptr, size, &f) != noErr || size != sizeof f)
        return std::nullopt;
    if (!std::isfinite(f.mSampleRate) || f.mSampleRate <= 0) return std::nullopt;
    return f.mSampleRate;
}

// Where one lane of a group reads and writes: the absolute output frame of its first frame and
// its device's delays (one unless a change is being faded in), and its output column.
struct LaneTarget {
    std::int64_t t0;
    const TapEngine::DelayFadeRt* fade;
    float* out;
    std::size_t stride;
};

// Audio thread. The frame at absolute position p, silent below `oldest`; and how long a fade is.
struct RingReader {
    const float* ring;
    std::int64_t oldest;
    std::int32_t fadeFrames;

    void frame(std::int64_t p, float& l, float& r) const {
        if (p < oldest) {
            l = r = 0.0f;
            return;
        }
        const auto k = static_cast<std::size_t>(p & TapEngine::mask) * 2;
        l = ring[k];
        r = ring[k + 1];
    }
};

// Audio thread. Lane j's chain input for n frames from output frame t0 on at one delay: its side
// and the mono mix; with `other` >= 0, lane `other` (the same device's other side, at the same
// delay) gets its own from the same read.
void readSteadyRt(const RingReader& rd, ToneLanesRt& lanes, int j, int other, std::int64_t t0,
                  std::int32_t d, std::size_t n) {
    const std::int64_t p = t0 - d;
    const auto side = static_cast<std::size_t>(lanes.side[j]);
    // Split at the oldest readable position instead of testing it per sample.
    std::size_t i = rd.oldest <= p ? 0
                                   : static_cast<std::size_t>(std::min<std::int64_t>(
                                         rd.oldest - p, static_cast<std::int64_t>(n)));
    for (std::size_t s = 0; s < i; ++s) {
        lanes.x[s][j] = lanes.m[s][j] = 0.0f;
        if (other >= 0) lanes.x[s][other] = lanes.m[s][other] = 0.0f;
    }
    while (i < n) {
        // Up to the ring's end, so that positions need no mask within the run.
        const auto k0 =
            static_cast<std::size_t>((p + static_cast<std::int64_t>(i)) & TapEngine::mask);
        const std::size_t run = std::min(n - i, static_cast<std::size_t>(TapEngine::cap) - k0);
        const float* from = rd.ring + 2 * k0;
        if (other >= 0) {
            for (std::size_t r = 0; r < run; ++r) {
                const float m = 0.5f * (from[2 * r] + from[2 * r + 1]);
                lanes.x[i + r][j] = from[2 * r + side];
                lanes.x[i + r][other] = from[2 * r + (side ^ 1)];
                lanes.m[i + r][j] = lanes.m[i + r][other] = m;
            }
        } else {
            for (std::size_t r = 0; r < run; ++r) {
                lanes.x[i + r][j] = from[2 * r + side];
                lanes.m[i + r][j] = 0.5f * (from[2 * r] + from[2 * r + 1]);
            }
        }
        i += run;
    }
}

// Audio thread. As readSteadyRt while changes of delay are faded in: each later delay's frame
// weighted w, the sound before it 1 - w, w rising by 1 / fadeFrames a frame from its start.
// Equal gain, not equal power: the two are the same signal a little apart, alike enough at low
// frequencies that equal power would swell the bass by up to 3 dB halfway, and equal gain ends on
// exactly the new delay's samples.
void readFadingRt(const RingReader& rd, ToneLanesRt& lanes, int j, std::int64_t t0,
                  const TapEngine::DelayFadeRt& fade, std::size_t n) {
    const int side = lanes.side[j];
    const auto frames = static_cast<float>(rd.fadeFrames);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t t = t0 + static_cast<std::int64_t>(i);
        float l, r;
        rd.frame(t - fade.delay[0], l, r);
        for (int k = 1; k < fade.taps; ++k) {
            const std::int64_t into =
                std::clamp<std::int64_t>(t - fade.start[std::size_t(k)] + 1, 0, rd.fadeFrames);
            const float w = static_cast<float>(into) / frames;
            float nl, nr;
            rd.frame(t - fade.delay[std::size_t(k)], nl, nr);
            l = (1.0f - w) * l + w * nl;
            r = (1.0f - w) * r + w * nr;
        }
        lanes.x[i][j] = side ? r : l;
        lanes.m[i][j] = 0.5f * (l + r);
    }
}

// Audio thread. Runs a group of channels through their tone chains side by side and hands their
// state back.
void renderLanesRt(ToneStores& tone, const RingReader& rd, ToneLanesRt& lanes, const LaneTarget* to,
                   std::size_t frames) {
    for (std::size_t f0 = 0; f0 < frames; f0 += toneLaneChunk) {
        const std::size_t n = std::min(toneLaneChunk, frames - f0);
        for (int j = 0; j < lanes.count; ++j) {
            const std::int64_t t0 = to[j].t0 + static_cast<std::int64_t>(f0);
            if (to[j].fade->taps > 1) {
                readFadingRt(rd, lanes, j, t0, *to[j].fade, n);
                continue;
            }
            // The two sides of one device, next to each other as they usually are, read their
            // frames once: a group never holds one (device, side) twice, and all its channels
            // share one buffer length, hence one start.
            const bool pair = j + 1 < lanes.count && to[j + 1].fade == to[j].fade;
            readSteadyRt(rd, lanes, j, pair ? j + 1 : -1, t0, to[j].fade->delay[0], n);
            if (pair) ++j;
        }
        processToneLanesRt(lanes, n);
        for (int j = 0; j < lanes.count; ++j) {
            const std::size_t stride = to[j].stride;
            float* out = to[j].out + f0 * stride;
            for (std::size_t i = 0; i < n; ++i)
                out[i * stride] = lanes.y[i][j];
        }
    }
    endToneLanesRt(lanes, tone);
}

}  // namespace

TapEngine::TapEngine(AudioHardware& hw, MainQueue& main)
    : hw_(hw),
      main_(main),
      ring_(std::make_unique<float[]>(static_cast<std::size_t>(cap) * 2)),
      delay_(std::make_unique<std::array<std::atomic<std::int32_t>, maxDevices>>()),
      tone_(std::make_unique<ToneStores>()),
      fades_(std::make_unique<std::array<DelayFadeRt, maxDevices>>()),
      lanes_(std::make_unique<ToneLanesRt>()) {
    for (auto& d : *delay_)
        d.store(0, std::memory_order_relaxed);
}

TapEngine::~TapEngine() {
    lifecycleQ_.sync([this] { teardown(); });
}

// ---- Lifecycle ---------------------------------------------------------------------------------

void TapEngine::start(std::optional<Dev> anchor, std::vector<Dev> targets, Offsets offsets,
                      std::uint64_t run, std::function<void(bool)> completion) {
    lifecycleQ_.async([this, anchor = std::move(anchor), targets = std::move(targets),
                       offsets = std::move(offsets), run,
                       completion = std::move(completion)]() mutable {
        const bool ok = startLocked(std::move(anchor), std::move(targets), offsets, run);
        if (completion) main_.post([completion = std::move(completion), ok] { completion(ok); });
    });
}

void TapEngine::stop() {
    lifecycleQ_.sync([this] { teardown(); });
}

void TapEngine::stopIfRun(std::uint64_t run) {
    lifecycleQ_.sync([this, run] {
        if (installedRun_.load(std::memory_order_relaxed) == run) teardown();
    });
}

void TapEngine::fail(Step step, std::string text) {
    std::lock_guard lock(infoMutex_);
    lastError_ = std::move(text);
    lastFailedStep_ = step;
}

AggregateDescription TapEngine::captureDescription(const std::vector<Dev>& targets,
                                                   const std::string& tapUuid) {
    std::size_t main = 0;
    if (targets.size() > 1 && !targets.front().isBuiltIn()) {
        const auto it = std::find_if(targets.begin() + 1, targets.end(),
                                     [](const Dev& d) { return d.isBuiltIn(); });
        if (it != targets.end()) main = static_cast<std::size_t>(it - targets.begin());
    }
    AggregateDescription d;
    d.name = captureName;
    d.uid = captureAggregateUID;
    d.isPrivate = 1;
    d.stacked = 0;
    d.tapAutoStart = 1;
    if (!targets.empty()) {
        d.master = targets[main].uid;
        for (std::size_t i = 0; i < targets.size(); ++i)
            d.subdevices.push_back({targets[i].uid, i == main ? 0 : 1});
    }
    d.taps = std::vector<SubdeviceRecord>{{tapUuid, 1}};
    return d;
}

bool TapEngine::startLocked(std::optional<Dev> anchor, std::vector<Dev> targets,
                            const Offsets& offsets, std::uint64_t run) {
    teardown();
    {
        std::lock_guard lock(infoMutex_);
        anchor_ = std::move(anchor);
        targets_ = targets;
    }
    if (targets.empty()) {
        fail(Step::targets, "no fan-out devices");
        return false;
    }
    if (!buildDevices(targets)) return false;
    mapChannels(targets);
    const std::vector<double> played = offsets.played(targets, maxDelayMs);
    for (std::size_t i = 0; i < targets.size() && i < std::size_t{maxDevices}; ++i)
        (*delay_)[i].store(framesFor(played[i] / 1000.0), std::memory_order_relaxed);
    // The callback is not installed: its stores are ours until it is. A start plays at once at
    // every delay, with nothing to fade from.
    for (std::size_t i = 0; i < std::size_t{maxDevices}; ++i)
        (*fades_)[i] = {{(*delay_)[i].load(std::memory_order_relaxed)}, {}, 1};
    fadeFrames_ = std::max(framesFor(delayFadeMs / 1000.0), std::int32_t{1});

    const AudioObjectID aggID = aggID_.load(std::memory_order_relaxed);
    if (const auto r = callback_.install(aggID, &TapEngine::renderRt, this); !r.running()) {
        fail(r.created ? Step::deviceStart : Step::callback,
             withStatus(r.created ? "device start failed" : "IOProc creation failed", r.status));
        teardown();
        return false;
    }

    ioCycles_.store(0, std::memory_order_relaxed);
    inFrames_.store(0, std::memory_order_relaxed);
    sumSq_.store(0, std::memory_order_relaxed);
    nSamp_.store(0, std::memory_order_relaxed);
    installedRun_.store(run, std::memory_order_relaxed);
    reportLatency();
    std::lock_guard lock(infoMutex_);
    lastError_.reset();
    lastFailedStep_.reset();
    return true;
}

// Players keep pictures in step with their sound only if the output they play to says how late it
// sounds: the tap's sound leaves every speaker at the same moment, the latest of each speaker's
// delay plus the latency that speaker reports of itself.
void TapEngine::reportLatency() {
    const AudioObjectID tap = tapID_.load(std::memory_order_relaxed);
    if (!tap) return;
    const double rate = rate_.load(std::memory_order_relaxed);
    const std::vector<Dev> now = targets();
    double latest = 0;
    for (std::size_t i = 0; i < now.size() && i < std::size_t{maxDevices}; ++i) {
        const double held = (*delay_)[i].load(std::memory_order_relaxed);
        const auto own = uint32Property(hw_, now[i].id, sel::latency, scope::output);
        const double ownRate = nominalRate(hw_, now[i].id).value_or(rate);
        latest = std::max(latest, held + (own && ownRate > 0 ? *own * rate / ownRate : 0.0));
    }
    setUInt32Property(hw_, tap, sel::latency, scope::output, 0,
                      static_cast<std::uint32_t>(std::min(latest, 1e9)));
}

bool TapEngine::buildDevices(const std::vector<Dev>& targets) {
    TapDescription tap;
    if (const AudioObjectID own = ownProcessObject(hw_)) tap.excludedProcesses.push_back(own);
    tap.stereoGlobalTapButExclude = true;
    tap.name = tapName;
    tap.isPrivate = true;
    tap.muteBehavior = TapMuteBehavior::mutedWhenTapped;
    tap.uuid = makeUuidString();

    AudioObjectID tapID = 0;
    if (const OSStatus st = hw_.createProcessTap(tap, tapID); st != noErr || tapID == 0) {
        fail(Step::tap, withStatus("tap creation failed", st));
        return false;
    }
    tapID_.store(tapID, std::memory_order_relaxed);
    if (const auto r = tapRate(hw_, tapID)) rate_.store(*r, std::memory_order_relaxed);
    const double rate = rate_.load(std::memory_order_relaxed);
    // The ring is sized for the longest delay at maxRate; faster, a delay would outrun it.
    if (rate > maxRate) {
        fail(Step::tap, "tap rate " + std::to_string(std::lround(rate)) + " Hz is beyond " +
                            std::to_string(std::lround(maxRate)) + " Hz");
        hw_.destroyProcessTap(tapID);
        tapID_.store(0, std::memory_order_relaxed);
        return false;
    }

    AudioObjectID aggID = 0;
    if (const OSStatus st = hw_.createAggregateDevice(captureDescription(targets, tap.uuid), aggID);
        st != noErr || aggID == 0) {
        fail(Step::aggregate, withStatus("aggregate creation failed", st));
        hw_.destroyProcessTap(tapID);
        tapID_.store(0, std::memory_order_relaxed);
        return false;
    }
    aggID_.store(aggID, std::memory_order_relaxed);
    hw_.clock().sleepFor(settleAfterCreate);
    hw_.setPropertyData(aggID, {sel::nominalSampleRate, scope::global, 0}, 0, nullptr, sizeof rate,
                        &rate);
    hw_.clock().sleepFor(settleAfterRate);
    return true;
}

void TapEngine::mapChannels(const std::vector<Dev>& targets) {
    devForChan_.clear();
    devStartChan_.clear();
    for (std::size_t i = 0; i < targets.size(); ++i) {
        devStartChan_.push_back(static_cast<std::int32_t>(devForChan_.size()));
        const int n = std::max(channelCount(hw_, targets[i].id, scope::output), 1);
        devForChan_.insert(devForChan_.end(), static_cast<std::size_t>(n),
                           static_cast<std::int32_t>(i));
    }
    totalOutChans_ = static_cast<int>(devForChan_.size());
}

// Lifecycle queue. Once the callback is removed it no longer runs, so the write head can be reset
// without racing it.
void TapEngine::teardown() {
    callback_.remove();
    const AudioObjectID agg = aggID_.load(std::memory_order_relaxed);
    if (agg != 0) hw_.destroyAggregateDevice(agg);
    aggID_.store(0, std::memory_order_relaxed);
    if (const AudioObjectID tap = tapID_.load(std::memory_order_relaxed); tap != 0)
        hw_.destroyProcessTap(tap);
    tapID_.store(0, std::memory_order_relaxed);
    wAbs_.store(0, std::memory_order_relaxed);
    holeStart_ = -1;  // the callback is removed: nothing else touches these now
    lastLevel_ = 0;
    installedRun_.store(0, std::memory_order_relaxed);
}

// ---- Parameters --------------------------------------------------------------------------------

// Nearest frame, halves away from zero; seconds in [0, maxDelayMs / 1000].
std::int32_t TapEngine::framesFor(double seconds) const {
    return static_cast<std::int32_t>(std::lround(seconds * rate_.load(std::memory_order_relaxed)));
}

void TapEngine::holdBack(std::size_t index, double ms) {
    (*delay_)[index].store(framesFor(Offsets::heldBackMs(ms, maxDelayMs) / 1000.0),
                           std::memory_order_relaxed);
}

void TapEngine::setDelay(int index, double ms) {
    if (!ToneStores::validIndex(index)) return;
    holdBack(static_cast<std::size_t>(index), ms);
    reportLatency();
}

void TapEngine::play(const Offsets& offsets) {
    const std::vector<Dev> now = targets();
    const std::vector<double> played = offsets.played(now, maxDelayMs);
    for (std::size_t i = 0; i < now.size() && i < std::size_t{maxDevices}; ++i)
        holdBack(i, played[i]);
    reportLatency();
}

void TapEngine::setGain(int index, float gain) {
    housetone::setGain(*tone_, index, gain);
}

void TapEngine::setLimiter(int index, bool on, double rate) {
    housetone::setLimiter(*tone_, index, on, rate);
}

void TapEngine::setBass(int index, double rate, float gainDB, double shelfHz, double highPassHz,
                        double lowPassHz) {
    housetone::setBass(*tone_, index, rate, gainDB, shelfHz, highPassHz, lowPassHz);
}

void TapEngine::setCrisp(int index, std::optional<std::string> uid, double rate, float amount) {
    if (!ToneStores::validIndex(index)) return;
    std::optional<std::string> targetUid;
    {
        std::lock_guard lock(infoMutex_);
        if (static_cast<std::size_t>(index) < targets_.size())
            targetUid = targets_[static_cast<std::size_t>(index)].uid;
    }
    housetone::setCrisp(*tone_, index, uid ? std::optional<std::string_view>(*uid) : std::nullopt,
                        targetUid ? std::optional<std::string_view>(*targetUid) : std::nullopt,
                        rate, amount);
}

TapEngine::Meter TapEngine::readMeter() {
    const double sum = sumSq_.exchange(0, std::memory_order_relaxed);
    const std::int64_t n = nSamp_.exchange(0, std::memory_order_relaxed);
    Meter m;
    m.rms = n > 0 ? std::sqrt(sum / static_cast<double>(n)) : 0.0;
    m.cycles = ioCycles_.exchange(0, std::memory_order_relaxed);
    m.frames = inFrames_.exchange(0, std::memory_order_relaxed);
    return m;
}

std::vector<Dev> TapEngine::targets() const {
    std::lock_guard lock(infoMutex_);
    return targets_;
}

std::optional<Dev> TapEngine::anchor() const {
    std::lock_guard lock(infoMutex_);
    return anchor_;
}

std::optional<std::string> TapEngine::lastError() const {
    std::lock_guard lock(infoMutex_);
    return lastError_;
}

std::optional<TapEngine::Step> TapEngine::lastFailedStep() const {
    std::lock_guard lock(infoMutex_);
    return lastFailedStep_;
}

std::int32_t TapEngine::delayFrames(int index) const {
    if (!ToneStores::validIndex(index)) return 0;
    return (*delay_)[static_cast<std::size_t>(index)].load(std::memory_order_relaxed);
}

// ---- Render path (audio thread) ----------------------------------------------------------------

OSStatus TapEngine::renderRt(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input,
                             const AudioTimeStamp*, AudioBufferList* output, const AudioTimeStamp*,
                             void* client) {
    auto* self = static_cast<TapEngine*>(client);
    if (!self) return noErr;
    self->ioCycles_.fetch_add(1, std::memory_order_relaxed);
    const std::int64_t head = self->captureInputRt(input);
    if (output) self->renderOutputsRt(*output, head);
    return noErr;
}

bool TapEngine::copyTapped(std::int64_t from, std::size_t frames, float* mono) const {
    const auto n = static_cast<std::int64_t>(frames);
    constexpr std::int64_t unsettled = concealFrames + holeFrames;
    if (from < 0 || from + n > tappedFrames() - unsettled) return false;
    const float* ring = ring_.get();
    for (std::int64_t i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>((from + i) & mask) * 2;
        mono[i] = 0.5f * (ring[k] + ring[k + 1]);
    }
    return tappedFrames() - from <= cap - maxBufferFrames;
}

namespace {

// Audio thread. The usual stereo tap four frames at a time: the same copy, the same energy per
// frame (l * l + r * r in float) into the same partial sum, frame i into sums[i % 4], and the same
// or-ed bits as the frame-by-frame loop, so the meter reads exactly what it did. Returns the
// frames taken.
HOUSETONE_LANE_CLONES std::size_t takeStereoRt(float* to, const float* from, std::size_t run,
                                               double (&sums)[4], std::uint32_t& bits) {
    using F8 = float __attribute__((vector_size(32)));
    using U8 = std::uint32_t __attribute__((vector_size(32)));
    using D4 = double __attribute__((vector_size(32)));
    D4 acc{sums[0], sums[1], sums[2], sums[3]};
    U8 seen{};
    std::size_t i = 0;
    for (; i + 4 <= run; i += 4) {
        F8 v;
        std::memcpy(&v, from + 2 * i, sizeof v);
        std::memcpy(to + 2 * i, &v, sizeof v);
        const F8 sq = v * v;
        // Each frame's l * l + r * r in its left lane, then the four as doubles.
        const F8 e = sq + __builtin_shuffle(sq, U8{1, 0, 3, 2, 5, 4, 7, 6});
        acc += __builtin_convertvector(__builtin_shufflevector(e, e, 0, 2, 4, 6), D4);
        seen |= U8(v);
    }
    for (int k = 0; k < 4; ++k)
        sums[k] = acc[k];
    for (int k = 0; k < 8; ++k)
        bits |= seen[k];
    return i;
}

}  // namespace

std::int64_t TapEngine::captureInputRt(const AudioBufferList* input) {
    constexpr auto relaxed = std::memory_order_relaxed;
    std::int64_t head = wAbs_.load(relaxed);
    if (!input || input->mNumberBuffers == 0 || !input->buffers()[0].mData) return head;
    const AudioBuffer& b = input->buffers()[0];
    const std::size_t n = std::max<std::uint32_t>(b.mNumberChannels, 1);
    const std::size_t frames = b.mDataByteSize / (4 * n);
    const auto* in = static_cast<const float*>(b.mData);
    float* ring = ring_.get();
    const std::size_t rOff = n > 1 ? 1 : 0;  // a mono tap feeds both sides
    // Each frame's energy is l * l + r * r in float, summed in double into four partial sums in
    // turn, so that no frame waits for the last one's addition; the bits of every sample but its
    // sign, or-ed, are 0 only for exact zeros.
    double sums[4] = {0, 0, 0, 0};
    std::uint32_t bits = 0;
    const auto take = [&](float* to, const float* from, std::size_t i, double& sum) {
        const float l = from[i * n], r = from[i * n + rOff];
        to[2 * i] = l;
        to[2 * i + 1] = r;
        sum += static_cast<double>(l * l + r * r);
        bits |= std::bit_cast<std::uint32_t>(l) | std::bit_cast<std::uint32_t>(r);
    };
    for (std::size_t f = 0; f < frames;) {
        // Up to the ring's end, so that positions need no mask within the run.
        const auto k0 = static_cast<std::size_t>((head + static_cast<std::int64_t>(f)) & mask);
        const std::size_t run = std::min(frames - f, static_cast<std::size_t>(cap) - k0);
        float* to = ring + 2 * k0;
        const float* from = in + f * n;
        std::size_t i = n == 2 ? takeStereoRt(to, from, run, sums, bits) : 0;
        for (; i + 4 <= run; i += 4) {
            take(to, from, i, sums[0]);
            take(to, from, i + 1, sums[1]);
            take(to, from, i + 2, sums[2]);
            take(to, from, i + 3, sums[3]);
        }
        for (; i < run; ++i)
            take(to, from, i, sums[0]);
        f += run;
    }
    const double sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
    const bool silent = (bits << 1) == 0;
    if (frames > 0) {
        concealHolesRt(head, frames, silent);
        const auto k =
            static_cast<std::size_t>((head + static_cast<std::int64_t>(frames) - 1) & mask);
        lastLevel_ = std::max(std::fabs(ring[2 * k]), std::fabs(ring[2 * k + 1]));
    }
    const auto nf = static_cast<std::int64_t>(frames);
    head += nf;
    // Release: a reader that sees the head sees the frames below it.
    wAbs_.store(head, std::memory_order_release);
    sumSq_.fetch_add(sum, relaxed);
    nSamp_.fetch_add(2 * nf, relaxed);
    inFrames_.fetch_add(nf, relaxed);
    return head;
}

void TapEngine::concealHolesRt(std::int64_t head, std::size_t frames, bool silent) {
    // Below this the edge of a hole is no louder than the noise of a 16-bit recording.
    constexpr float audible = 1.0f / 32768;
    float* ring = ring_.get();
    const auto scale = [&](std::int64_t at, float g) {
        const std::size_t k = static_cast<std::size_t>(at & mask) * 2;
        ring[k] *= g;
        ring[k + 1] *= g;
    };
    if (silent) {
        if (holeStart_ >= 0 || lastLevel_ < audible) return;
        holeStart_ = head;
        // The sound before the hole, not yet played by any speaker that waits, fades out.
        for (std::int64_t i = 1; i <= concealFrames && head - i >= 0; ++i)
            scale(head - i, static_cast<float>(i) / (concealFrames + 1));
        return;
    }
    if (holeStart_ < 0) return;
    const bool lost = head - holeStart_ <= holeFrames;
    holeStart_ = -1;
    if (!lost) return;
    const auto n = std::min<std::int64_t>(concealFrames, static_cast<std::int64_t>(frames));
    for (std::int64_t i = 0; i < n; ++i)
        scale(head + i, static_cast<float>(i + 1) / (concealFrames + 1));
}

void TapEngine::followDelaysRt(std::int64_t now) {
    const auto devices = std::min<std::size_t>(devStartChan_.size(), std::size_t{maxDevices});
    for (std::size_t d = 0; d < devices; ++d) {
        DelayFadeRt& f = (*fades_)[d];
        // The next delay has faded in fully: the oldest is heard no more.
        while (f.taps > 1 && now >= f.start[1] + fadeFrames_) {
            for (int k = 1; k < f.taps; ++k) {
                f.delay[std::size_t(k - 1)] = f.delay[std::size_t(k)];
                f.start[std::size_t(k - 1)] = f.start[std::size_t(k)];
            }
            --f.taps;
        }
        const std::int32_t want = (*delay_)[d].load(std::memory_order_relaxed);
        if (want != f.delay[std::size_t(f.taps - 1)] && f.taps < delayTaps) {
            f.delay[std::size_t(f.taps)] = want;
            f.start[std::size_t(f.taps)] = now;
            ++f.taps;
        }
    }
}

void TapEngine::renderOutputsRt(AudioBufferList& output, std::int64_t head) {
    const std::int32_t* devForChan = devForChan_.data();
    const std::int32_t* devStartChan = devStartChan_.data();
    const int total = totalOutChans_;
    // A fade starts at the first frame every channel plays this cycle: a shorter buffer's frames
    // are the cycle's last.
    std::size_t shortest = 0;
    for (std::uint32_t bi = 0; bi < output.mNumberBuffers; ++bi) {
        const AudioBuffer& b = output.buffers()[bi];
        const std::size_t frames =
            b.mDataByteSize / (4 * std::max<std::uint32_t>(b.mNumberChannels, 1));
        if (b.mData && frames > 0 && (shortest == 0 || frames < shortest)) shortest = frames;
    }
    if (shortest > 0) followDelaysRt(head - static_cast<std::int64_t>(shortest));
    const RingReader rd{ring_.get(), std::max<std::int64_t>(head - cap, 0), fadeFrames_};
    // Channels are gathered into groups of up to eight that run side by side; a group is flushed
    // when full, when the next channel would continue the state of one already in it, when the
    // buffer length changes, and before a copy that may read one of its outputs.
    ToneLanesRt& lanes = *lanes_;
    LaneTarget to[toneLaneWidth];
    std::size_t laneFrames = 0;
    const auto flush = [&] {
        if (lanes.count > 0) renderLanesRt(*tone_, rd, lanes, to, laneFrames);
    };
    int base = 0;
    for (std::uint32_t bi = 0; bi < output.mNumberBuffers; ++bi) {
        AudioBuffer& b = output.buffers()[bi];
        const int n = static_cast<int>(std::max<std::uint32_t>(b.mNumberChannels, 1));
        if (!b.mData) {
            base += n;
            continue;
        }
        const auto stride = static_cast<std::size_t>(n);
        const std::size_t frames = b.mDataByteSize / (4 * stride);
        const std::int64_t start = head - static_cast<std::int64_t>(frames);
        auto* out = static_cast<float*>(b.mData);
        for (int c = 0; c < n && frames > 0; ++c) {
            float* col = out + c;
            const int chan = base + c;
            const int dev = chan < total ? devForChan[chan] : -1;
            if (!ToneStores::validIndex(dev)) {  // unmapped channel, or a target beyond the 64th
                for (std::size_t i = 0; i < frames; ++i)
                    col[i * stride] = 0.0f;
                continue;
            }
            const int local = chan - devStartChan[dev];
            const int side = local & 1;
            const int first = c - (local - side);  // this side's first channel, if in this buffer
            if (local >= 2 && first >= 0) {
                flush();
                for (std::size_t i = 0; i < frames; ++i)
                    col[i * stride] = out[i * stride + static_cast<std::size_t>(first)];
                continue;
            }
            if (lanes.full() || lanes.holds(dev, side) || (lanes.count > 0 && frames != laneFrames))
                flush();
            to[lanes.count] = {start, &(*fades_)[static_cast<std::size_t>(dev)], col, stride};
            laneFrames = frames;
            addToneLaneRt(lanes, *tone_, dev, side, frames);
        }
        base += n;
    }
    flush();
}

}  // namespace housetone
