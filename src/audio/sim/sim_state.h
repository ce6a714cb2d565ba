#pragma once

// The simulator's state, shared by the files that make it up; nothing outside audio/sim includes
// this.

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "audio/sim/sim_audio_system.h"
#include "audio/sim/sim_captures.h"
#include "audio/sim/sim_system_sound.h"

namespace housetone::sim {

using PropKey = std::tuple<AudioSelector, AudioScope, AudioElement>;

inline PropKey keyOf(const PropertyAddress& a) {
    return {a.selector, a.scope, a.element};
}

struct SimHardware::Object {
    enum class Kind { device, aggregate, tap, process };
    AudioObjectID id = 0;
    Kind kind = Kind::device;
    struct Prop {
        std::vector<std::uint8_t> bytes;
        bool settable = false;
    };
    std::map<PropKey, Prop> props;

    // Physical devices.
    std::string uid;
    int outChannels = 0;
    int inChannels = 0;
    OutputSpec out;  // room placement of an output
    double noiseRms = 0;
    double drawnLatencyMs = 0;  // latency incl. the last jitter draw
    bool refuses = false;
    std::vector<float> history;  // mono signal leaving the speaker, ring indexed by world frame
    std::size_t historyMask = 0;
    std::vector<float> acc;  // this buffer's output, interleaved outChannels
    std::mt19937_64 noiseRng;

    // Aggregates.
    AggregateDescription desc;
    // Taps.
    TapDescription tap;
    // Processes.
    std::int32_t pid = 0;

    // Taps: whether this tap leaves `process` out of what it reads.
    bool excludes(AudioObjectID process) const {
        const auto& ex = tap.excludedProcesses;
        return std::find(ex.begin(), ex.end(), process) != ex.end();
    }

    const std::vector<std::uint8_t>* prop(AudioSelector s, AudioScope sc, AudioElement e) const {
        const auto it = props.find({s, sc, e});
        return it == props.end() ? nullptr : &it->second.bytes;
    }
};

struct SimHardware::Proc {
    AudioDeviceIOProcID id = 0;
    AudioObjectID device = 0;
    AudioDeviceIOProc fn = nullptr;
    void* client = nullptr;
    bool started = false;
    double sampleTime = 0;
    BufferListStorage in, out;
    std::vector<float> inData, outData;
};

struct SimHardware::Impl {
    explicit Impl(const RoomSpec& room) : systemSound(room) {}

    std::map<AudioObjectID, std::unique_ptr<Object>> objects;
    std::vector<AudioObjectID> deviceOrder;  // physical devices and aggregates, creation order
    std::map<AudioDeviceIOProcID, std::unique_ptr<Proc>> procs;
    AudioDeviceIOProcID nextProc = 1;
    AudioObjectID nextId = 100;
    AudioObjectID defaultOut = 0, defaultIn = 0;
    int defaultOutputLosses = 0;
    std::uint32_t serviceRestarts = 0;
    AudioObjectID musicProcess = 0, playerProcess = 0;
    TapDelivery tapDelivery = TapDelivery::normal;
    SystemAudioPermission sysPermission = SystemAudioPermission::granted;
    std::mt19937_64 jitterRng;

    SystemSound systemSound;

    // Per-buffer scratch.
    std::vector<float> musicBuf, playerBuf, normalMix, listening, prevListening;

    WorldCaptures captures;
};

}  // namespace housetone::sim
