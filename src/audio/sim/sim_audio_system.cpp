#include "audio/sim/sim_audio_system.h"

#include <unistd.h>

#include <algorithm>

#include "audio/sim/sim_state.h"

namespace housetone::sim {

namespace {

constexpr std::int32_t musicPid = 0x7FFF0001;
constexpr std::int32_t playerPid = 0x7FFF0002;

}  // namespace

SimHardware::SimHardware(RoomSpec room, SimOptions options)
    : room_(std::move(room)),
      clock_(*this),
      impl_(std::make_unique<Impl>(room_)),
      micPermission_(room_.microphonePermission, room_.microphoneRequestAnswer),
      player_(plays_, room_.sampleRate),
      pacer_(mutex_, room_.bufferFrames, room_.sampleRate, options.speed,
             [this](std::int64_t t) { renderBuffer(t); }) {
    auto& im = *impl_;
    im.jitterRng.seed(room_.seed * 7919 + 17);
    im.sysPermission = room_.systemAudioPermission;
    const auto n = static_cast<std::size_t>(room_.bufferFrames);
    im.musicBuf.assign(n * 2, 0.f);
    im.playerBuf.assign(n * 2, 0.f);
    im.normalMix.assign(n * 2, 0.f);
    im.listening.assign(n, 0.f);
    im.prevListening.assign(n, 0.f);

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
        placeRoomDevices();
    }
    if (options.startWorld) startWorld();
}

// The room's devices and its default output and input (else the first of each).
void SimHardware::placeRoomDevices() {
    auto& im = *impl_;
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

SimHardware::~SimHardware() {
    plays_.stopAll();
    stopWorld();
    stopRecording();
}

}  // namespace housetone::sim
