#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/aggregate_layout.h"
#include "audio/audio_hardware.h"
#include "audio/property_contract.h"
#include "audio/sim/room.h"
#include "audio/sim/sim_captures.h"
#include "audio/sim/sim_clock.h"
#include "audio/sim/sim_io_callbacks.h"
#include "audio/sim/sim_link_timeline.h"
#include "audio/sim/sim_mic_permission.h"
#include "audio/sim/sim_object_table.h"
#include "audio/sim/sim_player.h"
#include "audio/sim/sim_renderer.h"
#include "audio/sim/sim_system_sound.h"
#include "audio/sim/sim_world_pacer.h"
#include "audio/sound_file.h"
#include "platform/mic_permission.h"
#include "platform/player.h"

namespace housetone::sim {

// The hardware layer calls that can be made to fail on request.
enum class Call {
    hasProperty,
    getPropertyDataSize,
    getPropertyData,
    setPropertyData,
    createAggregate,
    destroyAggregate,
    createTap,
    destroyTap,
    createIOProc,
    destroyIOProc,
    deviceStart,
    deviceStop,
};

// One injected failure. For the create calls a status of 0 means "succeed but hand back id 0".
// hasProperty reports false while a matching fault is active.
struct Fault {
    Call call;
    OSStatus status = status::illegalOperation;
    std::optional<AudioSelector> selector;  // property calls only; any when absent
    std::optional<AudioObjectID> object;    // any when absent
    int count = -1;                         // failures left; -1 = until cleared
};

struct SimOptions {
    double speed = 1;        // 1 = real time, 40 = forty times faster, <= 0 = as fast as it can
    bool startWorld = true;  // run the hardware thread from construction
};

// A simulated audio hardware layer: devices, aggregates, process taps and I/O callbacks in a
// virtual room with a listening position. Every AudioHardware call is thread-safe. I/O callbacks
// run on the one hardware thread, one buffer at a time. The property calls follow the contract
// every backend shares (audio/property_contract.h); the object table answers its questions.
// This class is the parts put together: each call takes the world's lock and hands over to the
// part that answers it.
class SimHardware : public PropertyContract {
  public:
    explicit SimHardware(RoomSpec room, SimOptions options = {});
    ~SimHardware() override;
    SimHardware(const SimHardware&) = delete;
    SimHardware& operator=(const SimHardware&) = delete;

    // ---- AudioHardware (the property calls come from PropertyContract) ----
    OSStatus createAggregateDevice(const AggregateDescription& description,
                                   AudioObjectID& outDevice) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                            AudioDeviceIOProcID& outID) override;
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID id) override;
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID id) override;
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID id) override;
    Clock& clock() override { return clock_; }

    // ---- The world ----
    const RoomSpec& room() const { return room_; }
    double sampleRate() const { return room_.sampleRate; }
    int bufferFrames() const { return room_.bufferFrames; }
    double speed() const { return pacer_.speed(); }
    // Frames rendered since the world began.
    std::int64_t frame() const { return pacer_.frame(); }
    // Whether the world thread renders; while it does not, only step() moves time.
    bool worldRunning() const { return pacer_.running(); }
    void startWorld() { pacer_.start(); }
    void stopWorld() { pacer_.stop(); }
    // Renders `buffers` buffers on the calling thread; only while the world thread is stopped.
    void step(int buffers = 1) { pacer_.step(buffers); }
    // Blocks until the world has rendered at least `frames` frames.
    void waitForFrame(std::int64_t frames) { pacer_.waitForFrame(frames); }

    // Frames from a speaker's signal leaving the program to its direct sound at the listening
    // position, as of the last buffer rendered: its latency now (as set, with its jitter draw,
    // drift and wobble) plus distance, rounded once to the nearest sample. Nothing while the
    // output is gone.
    std::optional<std::int64_t> roomDelayFrames(const std::string& uid) const;
    // The same in milliseconds, unrounded: the truth a self-check compares a measurement with.
    std::optional<double> trueArrivalMs(const std::string& uid) const;

    // ---- Devices (tests) ----
    AudioObjectID addOutput(const OutputSpec& device);
    AudioObjectID addInput(const InputSpec& device);
    // A bare device for enumeration tests: each optional field present only when set.
    using RawDevice = RawDeviceSpec;
    AudioObjectID addRawDevice(const RawDevice& d);
    // Removes a physical device (by uid) while everything runs, with its timed changes; false when
    // unknown.
    bool removeDevice(const std::string& uid);
    std::optional<AudioObjectID> idForUID(const std::string& uid) const;
    void setRawProperty(AudioObjectID object, const PropertyAddress& a,
                        std::vector<std::uint8_t> bytes, bool settable = true);
    void removeProperty(AudioObjectID object, const PropertyAddress& a);

    void setTapDelivery(TapDelivery d);
    // A device that accepts start but never runs its callbacks.
    void setRefusesCallback(AudioObjectID device, bool refuses);
    void setSystemAudioPermission(SystemAudioPermission p);
    // The audio service came back after going away (as a restarted daemon does): the system's
    // restart count rises, and no callback on an aggregate made before runs again.
    void restartService();
    // Replaces the system audio source (the music) with a test's own; nullptr restores the room's.
    void setSystemSource(SourceFn source);

    std::vector<AudioObjectID> tapIDs() const;
    std::vector<AudioObjectID> aggregateIDs() const;
    // What the program handed over when it created a tap or an aggregate that still exists.
    std::optional<TapDescription> tapDescription(AudioObjectID tap) const;
    std::optional<AggregateDescription> aggregateDescription(AudioObjectID device) const;
    // How often an aggregate went away while it was the default output: programs playing to it
    // lost their output for a moment, however briefly.
    int defaultOutputLosses() const;
    std::size_t ioProcCount() const;
    std::size_t runningIOProcCount() const;
    // The process object of this program (what 'id2p' answers for getpid()).
    AudioObjectID ownProcessObject() const { return objects_.ownProcess(); }

    // ---- Listening position ----
    // Keeps the next `frames` frames heard at the listening position (mono), from the current
    // world frame on; returns that first frame.
    std::int64_t captureListening(std::size_t frames);
    // What was kept so far and the world frame of its first sample.
    std::pair<std::int64_t, std::vector<float>> listeningCapture() const;
    // Keeps the next `frames` frames of the system mix (the sound programs play, before any tap
    // muting), stereo interleaved.
    std::int64_t captureSystemMix(std::size_t frames);
    std::pair<std::int64_t, std::vector<float>> systemMixCapture() const;
    // Records the listening position to a WAV file until stopRecording() or destruction.
    bool recordListeningTo(const std::string& path);
    // Ends the recording; false when any of it could not be written (a full disk).
    bool stopRecording();

    MicPermission& micPermission() { return micPermission_; }
    Player& player() { return player_; }

  protected:
    // ---- The property contract's questions (mutex_ held) ----
    void lockCalls() override { mutex_.lock(); }
    void unlockCalls() override { mutex_.unlock(); }
    std::vector<AudioObjectID> devices() override;
    AudioObjectID defaultDevice(bool output) override;
    AudioObjectID deviceWithUID(const std::string& uid) override;
    AudioObjectID processObject(std::int32_t pid) override;
    std::uint32_t serviceRestarts() override;
    OSStatus setDefaultDevice(bool output, AudioObjectID device) override;
    bool knows(AudioObjectID object) override;
    std::optional<PropertyBytes> objectProperty(AudioObjectID object,
                                                const PropertyAddress& address) override;
    OSStatus setObjectProperty(AudioObjectID object, const PropertyAddress& address,
                               std::uint32_t dataSize, const void* data) override;

  private:
    RoomSpec room_;
    SimClock clock_;
    // Held by every call and by the hardware thread for each buffer. The object table, the
    // callbacks, the link timeline, the system sound, the captures and the renderer have no lock of
    // their own and are reached only with it held.
    mutable std::mutex mutex_;
    ObjectTable objects_;
    IOCallbacks callbacks_;
    LinkTimeline links_;
    SystemSound systemSound_;
    WorldCaptures captures_;
    SimMicPermission micPermission_;
    PlayQueue plays_;
    SimPlayer player_;
    WorldRenderer renderer_;
    // Renders under mutex_; last, so it is built after and gone before what rendering reads.
    WorldPacer pacer_;
};

// The simulator as tests and the program hold it: the simulated hardware with a layer of
// injected faults over every call. A call that meets a matching fault fails with its status
// before the hardware sees it.
class SimAudioSystem final : public SimHardware {
  public:
    using SimHardware::SimHardware;

    bool hasProperty(AudioObjectID object, const PropertyAddress& address) override;
    OSStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                 std::uint32_t qualifierSize, const void* qualifier,
                                 std::uint32_t& outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address,
                             std::uint32_t qualifierSize, const void* qualifier,
                             std::uint32_t& ioSize, void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const PropertyAddress& address,
                             std::uint32_t qualifierSize, const void* qualifier,
                             std::uint32_t dataSize, const void* data) override;
    OSStatus createAggregateDevice(const AggregateDescription& description,
                                   AudioObjectID& outDevice) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                            AudioDeviceIOProcID& outID) override;
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID id) override;
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID id) override;
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID id) override;

    void injectFault(const Fault& f);
    void clearFaults();
    // Runs `hook` at the start of every aggregate creation, on the calling thread and outside the
    // simulator's lock: a test sees on which thread creation is asked for, and can hold it there
    // as a slow audio system would. Empty to remove it.
    void setBeforeCreateAggregate(std::function<void(const AggregateDescription&)> hook);

  private:
    // The status of the first fault matching the call, which it uses up; nullopt when none does.
    std::optional<OSStatus> faulted(Call call, AudioObjectID object,
                                    std::optional<AudioSelector> selector = std::nullopt);

    std::mutex faultMutex_;
    std::vector<Fault> faults_;
    std::function<void(const AggregateDescription&)> beforeCreateAggregate_;
};

}  // namespace housetone::sim
