#include "audio/sim/sim_renderer.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "platform/realtime.h"

namespace housetone::sim {

namespace {

// Adds a stereo signal to a device's interleaved channels: even channels take the left side, odd
// ones the right; a one-channel device takes the average.
void addStereo(float* acc, int channels, const float* stereo, int frames) {
    if (channels <= 0) return;
    for (int f = 0; f < frames; ++f) {
        const float l = stereo[2 * f], r = stereo[2 * f + 1];
        float* dst = acc + static_cast<std::ptrdiff_t>(f) * channels;
        if (channels == 1) {
            dst[0] += 0.5f * (l + r);
        } else {
            for (int c = 0; c < channels; ++c)
                dst[c] += (c & 1) ? r : l;
        }
    }
}

}  // namespace

WorldRenderer::WorldRenderer(const RoomSpec& room, ObjectTable& objects, IOCallbacks& callbacks,
                             SystemSound& systemSound, PlayQueue& plays, WorldCaptures& captures)
    : frames_(room.bufferFrames),
      rate_(room.sampleRate),
      objects_(objects),
      callbacks_(callbacks),
      systemSound_(systemSound),
      plays_(plays),
      captures_(captures) {
    const auto n = static_cast<std::size_t>(frames_);
    musicBuf_.assign(n * 2, 0.f);
    playerBuf_.assign(n * 2, 0.f);
    normalMix_.assign(n * 2, 0.f);
    listening_.assign(n, 0.f);
    prevListening_.assign(n, 0.f);
}

// One buffer of the world, in the order sound travels.
void WorldRenderer::render(std::int64_t t) {
    renderClients(t);
    renderTappedSources();
    renderDefaultOutput();
    renderCallbacks(t);
    renderRoom(t);
}

// What the client programs play: the system source (a test's, the music or a looped file) and
// every sound the player is playing, kept apart so a tap can take one without the other.
void WorldRenderer::renderClients(std::int64_t t) {
    const int n = frames_;
    const auto nz = static_cast<std::size_t>(n);
    systemSound_.render(t, musicBuf_.data(), n);
    std::fill(playerBuf_.begin(), playerBuf_.end(), 0.f);
    plays_.mixInto(playerBuf_.data(), nz);
    captures_.feedSystemMix(musicBuf_.data(), playerBuf_.data(), nz);
}

// Which taps are read now, and whose audio they silence at its normal output: the rest is the
// mix the default output plays.
void WorldRenderer::renderTappedSources() {
    const auto nz = static_cast<std::size_t>(frames_);
    std::set<AudioObjectID> runningTaps;
    for (const auto& [pid, p] : callbacks_.procs()) {
        if (!p->started) continue;
        const SimObject* d = objects_.find(p->device);
        if (!d || d->kind != SimObject::Kind::aggregate || d->refuses) continue;
        if (!d->desc.taps || d->desc.tapAutoStart.value_or(0) != 1) continue;
        for (const auto& tr : *d->desc.taps)
            for (const auto& [id, o] : objects_.objects())
                if (o->kind == SimObject::Kind::tap && o->tap.uuid == tr.uid)
                    runningTaps.insert(id);
    }
    bool musicMuted = false, playerMuted = false;
    for (const auto& [id, o] : objects_.objects()) {
        if (o->kind != SimObject::Kind::tap) continue;
        const auto mb = o->tap.muteBehavior;
        const bool silencing = mb == TapMuteBehavior::muted ||
                               (mb == TapMuteBehavior::mutedWhenTapped && runningTaps.count(id));
        if (!silencing) continue;
        musicMuted = musicMuted || !o->excludes(objects_.musicProcess());
        playerMuted = playerMuted || !o->excludes(objects_.playerProcess());
    }
    for (std::size_t i = 0; i < nz * 2; ++i)
        normalMix_[i] = (musicMuted ? 0.f : musicBuf_[i]) + (playerMuted ? 0.f : playerBuf_[i]);
}

// Clears every speaker's buffer, then plays the system mix on the default output.
void WorldRenderer::renderDefaultOutput() {
    const int n = frames_;
    for (AudioObjectID id : objects_.deviceOrder()) {
        SimObject* o = objects_.find(id);
        if (o && o->kind == SimObject::Kind::device) std::fill(o->acc.begin(), o->acc.end(), 0.f);
    }
    if (SimObject* def = objects_.find(objects_.defaultOutput())) {
        if (def->kind == SimObject::Kind::device) {
            addStereo(def->acc.data(), def->outChannels, normalMix_.data(), n);
        } else if (def->kind == SimObject::Kind::aggregate) {
            const auto members = objects_.membersOf(*def);
            if (def->desc.stacked) {
                for (SimObject* m : members)
                    addStereo(m->acc.data(), m->outChannels, normalMix_.data(), n);
            } else {
                for (SimObject* m : members)
                    if (m->outChannels > 0) {
                        addStereo(m->acc.data(), m->outChannels, normalMix_.data(), n);
                        break;
                    }
            }
        }
    }
}

// Every running I/O callback, each with buffer lists laid out as its device presents them.
void WorldRenderer::renderCallbacks(std::int64_t t) {
    const std::uint64_t hostNs = static_cast<std::uint64_t>(static_cast<double>(t) / rate_ * 1e9);
    for (auto& [pid, pp] : callbacks_.procs()) {
        IOProc& p = *pp;
        if (!p.started) continue;
        SimObject* d = objects_.find(p.device);
        if (!d || d->refuses) continue;
        runCallback(p, *d, hostNs);
    }
}

namespace {

// Points each buffer of `storage` at its stream's part of `data`, sized for `frames` frames.
void layBuffers(const std::vector<LayoutStream>& streams, std::size_t frames,
                BufferListStorage& storage, std::vector<float>& data) {
    std::size_t total = 0;
    for (const auto& s : streams)
        total += s.channels * frames;
    if (data.size() != total) data.assign(total, 0.f);
    if (storage.list()->mNumberBuffers != streams.size())
        storage.resize(static_cast<std::uint32_t>(streams.size()));
    std::size_t off = 0;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        auto& b = storage.list()->buffers()[i];
        b.mNumberChannels = streams[i].channels;
        b.mDataByteSize = static_cast<std::uint32_t>(streams[i].channels * frames * 4);
        b.mData = data.data() + off;
        off += streams[i].channels * frames;
    }
}

}  // namespace

void WorldRenderer::runCallback(IOProc& p, SimObject& d, std::uint64_t hostNs) {
    const int n = frames_;
    const auto nz = static_cast<std::size_t>(n);
    // A device sends its callback what its stream configuration says, save the taps' streams
    // when a test makes taps deliver nothing.
    const std::vector<SimObject*> members =
        d.kind == SimObject::Kind::aggregate ? objects_.membersOf(d) : std::vector<SimObject*>{&d};
    const StreamLayout layout = objects_.layoutOf(d, members, tapDelivery_ != TapDelivery::nothing);
    layBuffers(layout.inputs, nz, p.in, p.inData);
    layBuffers(layout.outputs, nz, p.out, p.outData);
    fillInputs(p, d, layout, members);
    std::fill(p.outData.begin(), p.outData.end(), 0.f);

    AudioTimeStamp now{p.sampleTime, hostNs};
    AudioTimeStamp inTime{p.sampleTime - n, hostNs};
    AudioTimeStamp outTime{p.sampleTime, hostNs};
    {
        RealtimeScope rt;
        p.fn(p.device, &now, p.in.list(), &inTime, p.out.list(), &outTime, p.client);
    }
    p.sampleTime += n;
    playOutputs(p, layout, members);
}

// Inputs: a tap's stream carries the mix of the processes it does not exclude; a device's input
// records the listening position one buffer ago plus its own noise.
void WorldRenderer::fillInputs(IOProc& p, const SimObject& d, const StreamLayout& layout,
                               const std::vector<SimObject*>& members) {
    const auto nz = static_cast<std::size_t>(frames_);
    std::size_t off = 0;
    for (const auto& s : layout.inputs) {
        float* dst = p.inData.data() + off;
        const std::size_t ch = s.channels;
        if (s.tap) {
            const SimObject* tap = nullptr;
            for (const auto& [id, o] : objects_.objects())
                if (o->kind == SimObject::Kind::tap && o->tap.uuid == (*d.desc.taps)[*s.tap].uid)
                    tap = o.get();
            const bool silent = !tap || tapDelivery_ == TapDelivery::silence ||
                                objects_.systemAudioPermission() == SystemAudioPermission::silent;
            const bool takeMusic = tap && !tap->excludes(objects_.musicProcess());
            const bool takePlayer = tap && !tap->excludes(objects_.playerProcess());
            for (std::size_t i = 0; i < nz * ch; ++i)
                dst[i] =
                    silent ? 0.f
                           : (takeMusic ? musicBuf_[i] : 0.f) + (takePlayer ? playerBuf_[i] : 0.f);
        } else {
            SimObject& dev = *members[s.members.front()];
            std::normal_distribution<float> noise(0.f, static_cast<float>(dev.noiseRms));
            for (std::size_t f = 0; f < nz; ++f)
                for (std::size_t c = 0; c < ch; ++c)
                    dst[f * ch + c] =
                        prevListening_[f] + (dev.noiseRms > 0 ? noise(dev.noiseRng) : 0.f);
        }
        off += ch * nz;
    }
}

// Outputs: each stream adds to the speakers that play it (every member of a stacked aggregate).
void WorldRenderer::playOutputs(const IOProc& p, const StreamLayout& layout,
                                const std::vector<SimObject*>& members) {
    const auto nz = static_cast<std::size_t>(frames_);
    std::size_t off = 0;
    for (const auto& s : layout.outputs) {
        const float* src = p.outData.data() + off;
        const std::size_t ch = s.channels;
        for (const std::size_t index : s.members) {
            SimObject* m = members[index];
            const auto mc = static_cast<std::size_t>(m->outChannels);
            for (std::size_t f = 0; f < nz; ++f)
                for (std::size_t c = 0; c < std::min(ch, mc); ++c)
                    m->acc[f * mc + c] += src[f * ch + c];
        }
        off += ch * nz;
    }
}

// The room: each speaker's volume and mute, latency, distance and reflections, summed at the
// listening position; the microphones hear it one buffer later.
void WorldRenderer::renderRoom(std::int64_t t) {
    const auto nz = static_cast<std::size_t>(frames_);
    const double rate = rate_;
    std::fill(listening_.begin(), listening_.end(), 0.f);
    for (AudioObjectID id : objects_.deviceOrder()) {
        SimObject* o = objects_.find(id);
        if (!o || o->kind != SimObject::Kind::device || o->outChannels <= 0 ||
            o->history.size() < 2)
            continue;
        const auto ch = static_cast<std::size_t>(o->outChannels);
        float main = 1.f;
        if (const auto* v = o->prop(sel::virtualMainVolume, scope::output, 0))
            main = valueOf(*v, 1.f);
        if (const auto* m = o->prop(sel::mute, scope::output, 0);
            m && valueOf<std::uint32_t>(*m, 0))
            main = 0.f;
        float chGain[64];
        for (std::size_t c = 0; c < std::min<std::size_t>(ch, 64); ++c) {
            const auto* v =
                o->prop(sel::volumeScalar, scope::output, static_cast<AudioElement>(c + 1));
            chGain[c] = main * (v ? valueOf(*v, 1.f) : 1.f);
        }
        const std::size_t mask = o->historyMask;
        for (std::size_t f = 0; f < nz; ++f) {
            float sum = 0;
            for (std::size_t c = 0; c < ch; ++c)
                sum += o->acc[f * ch + c] * chGain[std::min<std::size_t>(c, 63)];
            o->history[static_cast<std::size_t>(t + static_cast<std::int64_t>(f)) & mask] =
                sum / static_cast<float>(ch);
        }
        const auto level = static_cast<float>(o->out.level);
        // A drifting or wandering latency moves by less than a buffer each buffer: it glides
        // there a frame at a time, where a latency set afresh is heard as the jump it is.
        const std::int64_t to = o->directPathFrames(rate);
        const std::int64_t from = o->lastDelayFrames.value_or(to);
        o->lastDelayFrames = to;
        const auto n = static_cast<std::int64_t>(nz);
        auto addPath = [&](std::int64_t extra, float gain) {
            for (std::size_t f = 0; f < nz; ++f) {
                const auto i = static_cast<std::int64_t>(f);
                const std::int64_t pos = t + i - extra - from - (to - from) * (i + 1) / n;
                if (pos >= 0)
                    listening_[f] += gain * o->history[static_cast<std::size_t>(pos) & mask];
            }
        };
        addPath(0, level);
        for (const auto& r : o->out.reflections)
            addPath(std::llround(r.delayMs / 1000.0 * rate), level * static_cast<float>(r.level));
    }
    captures_.feedListening(listening_.data(), nz);
    std::swap(prevListening_, listening_);
}

}  // namespace housetone::sim
