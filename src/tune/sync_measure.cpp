#include "tune/sync_measure.h"

#include <algorithm>
#include <cmath>

#include "audio/aggregate.h"
#include "audio/device_access.h"
#include "tune/correlation.h"
#include "tune/test_signals.h"

namespace housetone {

namespace {
constexpr double sweepAmplitude = 0.45;
constexpr double clickAmplitude = 0.55;
constexpr double commonLead = 0.4;  // s before the common signal starts
constexpr double tail = 0.3;        // s rendered after the last slot ends
constexpr double settle = 0.4;      // s a new aggregate needs before it reports its rate
}  // namespace

SyncMeasure::SyncMeasure(AudioHardware& hw) : hw_(hw), done_(hw.clock(), 0) {}

SyncMeasure::~SyncMeasure() {
    stop();
}

std::int64_t SyncMeasure::delayFramesFor(const Dev& speaker,
                                         const std::map<std::string, double>& offsetsMs) const {
    const auto it = offsetsMs.find(speaker.uid);
    const double ms = it == offsetsMs.end() ? 0.0 : it->second;
    return wholePart(ms / 1000.0 * rate_);
}

bool SyncMeasure::startStaggered(const std::vector<Dev>& speakers, double duration, double lead,
                                 double spacing, const std::map<std::string, double>& offsetsMs) {
    return start(speakers, [&](std::size_t i, const Dev& speaker) {
        const bool up = i % 2 == 0;
        return Slot{
            makeSweep(rate_, duration, up ? 500.0 : 4000.0, up ? 4000.0 : 500.0, sweepAmplitude),
            wholePart((static_cast<double>(i) * spacing + lead) * rate_),
            delayFramesFor(speaker, offsetsMs)};
    });
}

bool SyncMeasure::startCommonSweep(const std::vector<Dev>& speakers,
                                   const std::map<std::string, double>& offsetsMs) {
    return start(speakers, [&](std::size_t, const Dev& speaker) {
        return Slot{makeSweep(rate_, 0.8, 500.0, 4000.0, sweepAmplitude),
                    wholePart(commonLead * rate_), delayFramesFor(speaker, offsetsMs)};
    });
}

bool SyncMeasure::startCommonClicks(const std::vector<Dev>& speakers,
                                    const std::map<std::string, double>& offsetsMs) {
    return start(speakers, [&](std::size_t, const Dev& speaker) {
        return Slot{makeClicks(rate_, clickAmplitude), wholePart(commonLead * rate_),
                    delayFramesFor(speaker, offsetsMs)};
    });
}

bool SyncMeasure::open(const std::vector<Dev>& speakers) {
    // Nothing to play, and an aggregate without subdevices has no clock to run on.
    if (speakers.empty() || callback_.installed() || aggID_ != 0) return false;

    const auto builtIn =
        std::find_if(speakers.begin(), speakers.end(), [](const Dev& d) { return d.isBuiltIn(); });
    const Dev& clockDev = builtIn != speakers.end() ? *builtIn : speakers.front();

    AggregateDescription desc;
    desc.name = "Housetone measure";
    desc.uid = "com.mirelo.housetone.measure";
    desc.isPrivate = 1;
    desc.stacked = 0;
    desc.master = clockDev.uid;
    desc.subdevices = subdeviceList(speakers, clockDev.uid);
    const auto agg = createAggregate(hw_, desc);
    if (!agg) return false;
    aggID_ = *agg;
    hw_.clock().sleepFor(settle);

    const double rate = nominalRate(hw_, aggID_).value_or(44100.0);
    rate_ = std::isfinite(rate) && rate > 0 ? rate : 44100.0;

    // The aggregate lays its output channels out in subdevice order, so channel g belongs to the
    // speaker whose running channel total first exceeds g.
    devForChan_.clear();
    for (std::size_t i = 0; i < speakers.size(); ++i) {
        const int n = std::max(1, channelCount(hw_, speakers[i].id, scope::output));
        devForChan_.insert(devForChan_.end(), static_cast<std::size_t>(n),
                           static_cast<std::int32_t>(i));
    }
    speakers_ = speakers;
    playing_ = nullptr;
    signaled_ = false;
    pos_.store(0, std::memory_order_relaxed);

    if (callback_.install(aggID_, &SyncMeasure::renderRt, this).running()) return true;
    stop();
    return false;
}

bool SyncMeasure::start(const std::vector<Dev>& speakers,
                        const std::function<Slot(std::size_t, const Dev&)>& makeSlot) {
    if (speakers.empty() || (!isOpen() && !open(speakers))) return false;

    auto program = std::make_unique<Program>();
    program->slots.resize(speakers_.size());
    program->seq = ++lastSeq_;
    std::int64_t end = 0;
    for (std::size_t i = 0; i < speakers.size(); ++i) {
        const auto open = std::find_if(speakers_.begin(), speakers_.end(),
                                       [&](const Dev& d) { return d.uid == speakers[i].uid; });
        if (open == speakers_.end()) return false;
        Slot& s = program->slots[static_cast<std::size_t>(open - speakers_.begin())];
        s = makeSlot(i, speakers[i]);
        end = std::max(end,
                       s.startFrame + s.delayFrames + static_cast<std::int64_t>(s.signal.size()));
    }
    program->totalFrames = end + wholePart(tail * rate_);

    // The callback has let go of every program older than the one it plays.
    const std::uint64_t adopted = adopted_.load(std::memory_order_acquire);
    std::erase_if(programs_, [&](const auto& p) { return p->seq < adopted; });
    pending_.store(program.get(), std::memory_order_release);
    programs_.push_back(std::move(program));
    return true;
}

bool SyncMeasure::finished() const {
    return !programs_.empty() && finished_.load(std::memory_order_acquire) == programs_.back()->seq;
}

const std::vector<Slot>& SyncMeasure::slots() const {
    static const std::vector<Slot> none;
    return programs_.empty() ? none : programs_.back()->slots;
}

std::int64_t SyncMeasure::totalFrames() const {
    return programs_.empty() ? 0 : programs_.back()->totalFrames;
}

void SyncMeasure::stop() {
    callback_.remove();
    if (aggID_ != 0) destroyAggregate(hw_, aggID_);
    aggID_ = 0;
    // The callback is gone: nothing reads the programs any more.
    pending_.store(nullptr, std::memory_order_relaxed);
    programs_.clear();
    speakers_.clear();
}

OSStatus SyncMeasure::renderRt(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                               const AudioTimeStamp*, AudioBufferList* outputData,
                               const AudioTimeStamp*, void* clientData) {
    auto* self = static_cast<SyncMeasure*>(clientData);
    if (!self) return noErr;
    const Program* program = self->pending_.load(std::memory_order_acquire);
    if (program != self->playing_) {
        self->playing_ = program;
        self->signaled_ = false;
        self->pos_.store(0, std::memory_order_relaxed);
        // Published before this callback reads the program: the tuner frees older ones after it.
        if (program) self->adopted_.store(program->seq, std::memory_order_release);
    }
    const std::int64_t pos = self->pos_.load(std::memory_order_relaxed);
    const auto channelsMapped = static_cast<std::int64_t>(self->devForChan_.size());
    std::int64_t rendered = 0;

    const std::uint32_t buffers = outputData ? outputData->mNumberBuffers : 0;
    std::int64_t c0 = 0;
    for (std::uint32_t b = 0; b < buffers; ++b) {
        AudioBuffer& buf = outputData->buffers()[b];
        const std::int64_t n = buf.mNumberChannels ? buf.mNumberChannels : 1;
        const std::int64_t frames = static_cast<std::int64_t>(buf.mDataByteSize) /
                                    (n * static_cast<std::int64_t>(sizeof(float)));
        rendered = std::max(rendered, frames);
        if (buf.mData) {
            float* out = static_cast<float*>(buf.mData);
            for (std::int64_t k = 0; k < n; ++k) {
                const std::int64_t g = c0 + k;
                const Slot* slot = nullptr;
                if (program && g < channelsMapped) {
                    const std::int32_t s = self->devForChan_[static_cast<std::size_t>(g)];
                    if (s >= 0 && static_cast<std::size_t>(s) < program->slots.size())
                        slot = &program->slots[static_cast<std::size_t>(s)];
                }
                // Frames [from, to) of this buffer carry the slot's signal; the rest is silence.
                std::int64_t begin = 0, from = frames, to = frames;
                if (slot) {
                    begin = slot->startFrame + slot->delayFrames - pos;
                    const auto length = static_cast<std::int64_t>(slot->signal.size());
                    from = std::clamp<std::int64_t>(begin, 0, frames);
                    to = std::clamp<std::int64_t>(begin + length, from, frames);
                }
                for (std::int64_t f = 0; f < from; ++f)
                    out[f * n + k] = 0.0f;
                for (std::int64_t f = from; f < to; ++f)
                    out[f * n + k] = slot->signal[static_cast<std::size_t>(f - begin)];
                for (std::int64_t f = to; f < frames; ++f)
                    out[f * n + k] = 0.0f;
            }
        }
        c0 += n;
    }

    const std::int64_t now = pos + rendered;
    self->pos_.store(now, std::memory_order_relaxed);
    if (program && now >= program->totalFrames && !self->signaled_) {
        self->signaled_ = true;
        self->finished_.store(program->seq, std::memory_order_release);
        self->done_.signal();
    }
    return noErr;
}

}  // namespace housetone
