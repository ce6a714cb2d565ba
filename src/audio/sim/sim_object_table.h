#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "audio/aggregate_layout.h"
#include "audio/audio_hardware.h"
#include "audio/property_contract.h"
#include "audio/sim/room.h"

namespace housetone::sim {

using PropKey = std::tuple<AudioSelector, AudioScope, AudioElement>;

inline PropKey keyOf(const PropertyAddress& a) {
    return {a.selector, a.scope, a.element};
}

// One object of the simulated hardware: a physical device, an aggregate, a tap or a process.
struct SimObject {
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
    double jitterDrawMs = 0;  // the last start's draw within +-jitterMs
    double movingMs = 0;      // drift and wobble, as of the buffer being rendered
    // The direct path's delay at the end of the last buffer rendered, to glide from; none when the
    // latency was set afresh since (a start's jitter draw, a change), which is heard as a jump.
    std::optional<std::int64_t> lastDelayFrames;
    double latencyNowMs() const { return std::max(0.0, out.latencyMs + jitterDrawMs + movingMs); }
    double arrivalMs() const { return latencyNowMs() + out.distanceM / kSpeedOfSound * 1000.0; }
    // Frames from the buffer leaving to the sound reaching the listening position: the latency
    // now, then the flight through the room.
    std::int64_t directPathFrames(double rate) const {
        return std::llround((latencyNowMs() / 1000.0 + out.distanceM / kSpeedOfSound) * rate);
    }
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

// A bare device for enumeration tests: each optional field present only when set.
struct RawDeviceSpec {
    std::optional<std::string> name, uid;
    std::optional<std::uint32_t> transport;
    int outputChannels = 0, inputChannels = 0;
};

// The simulated hardware's objects: the room's devices and those tests add, the aggregates and
// taps the program creates, the processes, the default devices, and what each object answers to
// the property contract's questions.
// Thread-safety: none of its own; every call is made with the hardware's mutex held, because the
// hardware thread renders every buffer from these objects under that same lock.
class ObjectTable {
  public:
    using Objects = std::map<AudioObjectID, std::unique_ptr<SimObject>>;

    // The three processes (this program, the music, the player), then the room's devices and
    // its default output and input (else the first of each).
    explicit ObjectTable(const RoomSpec& room);

    SimObject* find(AudioObjectID id);
    const SimObject* find(AudioObjectID id) const;
    std::optional<AudioObjectID> idForUID(const std::string& uid) const;
    // Every object by id, and the physical devices and aggregates in creation order.
    const Objects& objects() const { return objects_; }
    const std::vector<AudioObjectID>& deviceOrder() const { return deviceOrder_; }
    AudioObjectID defaultOutput() const { return defaultOut_; }
    AudioObjectID ownProcess() const { return ownProcess_; }
    AudioObjectID musicProcess() const { return musicProcess_; }
    AudioObjectID playerProcess() const { return playerProcess_; }
    SystemAudioPermission systemAudioPermission() const { return sysPermission_; }
    void setSystemAudioPermission(SystemAudioPermission p) { sysPermission_ = p; }

    // An aggregate's members that exist now, in subdevice order.
    std::vector<SimObject*> membersOf(const SimObject& aggregate);
    // How `device` presents its streams: one layout for its property answers and its callbacks.
    StreamLayout layoutOf(const SimObject& device, const std::vector<SimObject*>& members,
                          bool withTaps = true) const;
    // The physical device that plays as the output with this uid; nullptr when there is none.
    SimObject* output(const std::string& uid);
    const SimObject* output(const std::string& uid) const;
    // Draws the device's latency anew within its jitter.
    void redrawJitter(SimObject& device);
    // Frames from a speaker's signal leaving the program to its direct sound at the listening
    // position.
    std::optional<std::int64_t> roomDelayFrames(const std::string& uid) const;
    // The same unrounded, in milliseconds.
    std::optional<double> trueArrivalMs(const std::string& uid) const;
    // The output with this uid takes a link's new values in place (its latency, reported latency,
    // codec and profile); false when there is none.
    bool relink(const OutputSpec& link);

    // ---- Devices (tests) ----
    AudioObjectID addOutput(const OutputSpec& device);
    // An input; the default input too when there is none.
    AudioObjectID addInput(const InputSpec& device);
    AudioObjectID addRawDevice(const RawDeviceSpec& d);
    // Removes a physical device; its id, or nullopt when unknown.
    std::optional<AudioObjectID> removeDevice(const std::string& uid);
    void setRawProperty(AudioObjectID object, const PropertyAddress& a,
                        std::vector<std::uint8_t> bytes, bool settable);
    void removeProperty(AudioObjectID object, const PropertyAddress& a);
    void setRefusesCallback(AudioObjectID device, bool refuses);
    void restartService();

    // ---- Aggregates and taps ----
    OSStatus createAggregate(const AggregateDescription& d, AudioObjectID& out);
    OSStatus destroyAggregate(AudioObjectID device);
    OSStatus createTap(const TapDescription& d, AudioObjectID& out);
    OSStatus destroyTap(AudioObjectID tap);

    // ---- Read-backs (tests) ----
    std::vector<AudioObjectID> tapIDs() const;
    std::vector<AudioObjectID> aggregateIDs() const;
    std::optional<TapDescription> tapDescription(AudioObjectID tap) const;
    std::optional<AggregateDescription> aggregateDescription(AudioObjectID device) const;
    int defaultOutputLosses() const { return defaultOutputLosses_; }

    // ---- The property contract's questions ----
    std::vector<AudioObjectID> devices() const { return deviceOrder_; }
    AudioObjectID defaultDevice(bool output) const { return output ? defaultOut_ : defaultIn_; }
    AudioObjectID processObject(std::int32_t pid) const;
    std::uint32_t serviceRestarts() const { return serviceRestarts_; }
    OSStatus setDefaultDevice(bool output, AudioObjectID device);
    std::optional<PropertyBytes> objectProperty(AudioObjectID object, const PropertyAddress& a);
    OSStatus setObjectProperty(AudioObjectID object, const PropertyAddress& a,
                               std::uint32_t dataSize, const void* data);

  private:
    AudioObjectID newId() { return nextId_++; }
    AudioObjectID addProcess(std::int32_t pid);
    void placeRoomDevices(const RoomSpec& room);
    AudioObjectID addInputDevice(const InputSpec& device);
    // Takes a new device into the table, listed after the others, with its output buffer sized.
    AudioObjectID adoptDevice(std::unique_ptr<SimObject> o);
    void rebuildStreams(SimObject& o);
    // The properties a device's link answers: the latency it reports, its profile and codec.
    void linkProperties(SimObject& o);

    const double sampleRate_;
    const int bufferFrames_;
    const std::uint64_t seed_;
    Objects objects_;
    std::vector<AudioObjectID> deviceOrder_;  // physical devices and aggregates, creation order
    AudioObjectID nextId_ = 100;
    AudioObjectID defaultOut_ = 0, defaultIn_ = 0;
    int defaultOutputLosses_ = 0;
    std::uint32_t serviceRestarts_ = 0;
    AudioObjectID ownProcess_ = 0, musicProcess_ = 0, playerProcess_ = 0;
    SystemAudioPermission sysPermission_;
    std::mt19937_64 jitterRng_;
};

}  // namespace housetone::sim
