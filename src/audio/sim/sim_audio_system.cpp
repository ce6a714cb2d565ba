#include "audio/sim/sim_audio_system.h"

#include <unistd.h>

#include <algorithm>

#include "audio/sim/sim_state.h"

namespace housetone::sim {

namespace {

constexpr std::int32_t musicPid = 0x7FFF0001;
constexpr std::int32_t playerPid = 0x7FFF0002;

}  // namespace

SimAudioSystem::SimAudioSystem(RoomSpec room, SimOptions options)
    : room_(std::move(room)),
      speed_(options.speed),
      clock_(*this),
      impl_(std::make_unique<Impl>()) {
    auto& im = *impl_;
    im.jitterRng.seed(room_.seed * 7919 + 17);
    im.sysPermission = room_.systemAudioPermission;
    im.micState = room_.microphonePermission;
    const auto n = static_cast<std::size_t>(room_.bufferFrames);
    im.musicBuf.assign(n * 2, 0.f);
    im.playerBuf.assign(n * 2, 0.f);
    im.normalMix.assign(n * 2, 0.f);
    im.listening.assign(n, 0.f);
    im.prevListening.assign(n, 0.f);
    if (room_.systemAudio == "music") {
        im.music =
            std::make_unique<MusicSource>(room_.sampleRate, room_.seed, room_.systemAudioLevelDb);
    } else if (room_.systemAudio != "silence") {
        im.loop = readWav(room_.systemAudio);
        const auto resampled = im.loop ? resampledFrames(*im.loop, room_.sampleRate) : std::nullopt;
        if (resampled) {
            // Keep it stereo at the world rate (nearest sample is fine for a background loop).
            WavData st;
            st.rate = room_.sampleRate;
            st.channels = 2;
            const std::size_t inFrames =
                im.loop->samples.size() / static_cast<std::size_t>(im.loop->channels);
            const std::size_t frames = *resampled;
            st.samples.resize(frames * 2);
            for (std::size_t f = 0; f < frames; ++f) {
                const auto src = std::min(
                    inFrames - 1, static_cast<std::size_t>(static_cast<double>(f) * im.loop->rate /
                                                           room_.sampleRate));
                for (int c = 0; c < 2; ++c)
                    st.samples[f * 2 + static_cast<std::size_t>(c)] =
                        im.loop
                            ->samples[src * static_cast<std::size_t>(im.loop->channels) +
                                      static_cast<std::size_t>(std::min(c, im.loop->channels - 1))];
            }
            im.loop = frames ? std::optional<WavData>(std::move(st)) : std::nullopt;
        } else {
            im.loop.reset();
        }
    }

    auto addProcess = [&](std::int32_t pid) {
        auto o = std::make_unique<Object>();
        o->id = newId();
        o->kind = Object::Kind::process;
        o->pid = pid;
        const AudioObjectID id = o->id;
        im.objects.emplace(id, std::move(o));
        return id;
    };
    ownProcess_ = addProcess(static_cast<std::int32_t>(getpid()));
    im.musicProcess = addProcess(musicPid);
    im.playerProcess = addProcess(playerPid);

    {
        std::lock_guard lock(mutex_);
        for (const auto& o : room_.outputs)
            addOutputLocked(o);
        for (const auto& i : room_.inputs)
            addInputLocked(i);
        if (room_.defaultOutput) {
            if (auto id = idForUIDLocked(*room_.defaultOutput)) im.defaultOut = *id;
        }
        if (room_.defaultInput) {
            for (const auto& [id, o] : im.objects)
                if (o->kind == Object::Kind::device && o->uid == *room_.defaultInput &&
                    o->inChannels > 0)
                    im.defaultIn = id;
        }
        if (!im.defaultOut && !room_.outputs.empty())
            im.defaultOut = idForUIDLocked(room_.outputs.front().uid).value_or(0);
        if (!im.defaultIn && !room_.inputs.empty())
            im.defaultIn = idForUIDLocked(room_.inputs.front().uid).value_or(0);
    }
    micPermission_ = makeMicPermission(*this);
    player_ = makePlayer(*this);
    if (options.startWorld) startWorld();
}

SimAudioSystem::~SimAudioSystem() {
    player_->terminate();
    stopWorld();
    stopRecording();
}

}  // namespace housetone::sim
