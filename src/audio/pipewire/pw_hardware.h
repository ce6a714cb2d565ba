#pragma once

#include <pipewire/pipewire.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/aggregate_layout.h"
#include "audio/pipewire/pipewire_backend.h"
#include "audio/pipewire/pw_callback_filter.h"
#include "audio/pipewire/pw_graph_connection.h"
#include "audio/pipewire/pw_mic_permission.h"
#include "audio/pipewire/pw_player.h"
#include "audio/pipewire/pw_tap.h"
#include "audio/property_contract.h"

namespace housetone::pw {

// An aggregate exists only in this program until a callback runs on it: then it becomes one
// filter node whose ports are linked to its members' ports.
struct Aggregate {
    AudioObjectID id = 0;
    AggregateDescription desc;
};

// The object that stands for this program's own process.
constexpr AudioObjectID ownProcessObject = 0x3fffffff;

// What volume tools show for a linear gain, and back.
inline float userVolume(float linear) {
    return std::cbrt(std::max(linear, 0.f));
}

// AudioHardware over a PipeWire graph: the program's own objects (aggregates, taps, callbacks)
// and the property answers, over one GraphConnection that the taps, the callbacks' filters and
// the player share. Every call runs under the thread loop's lock, which is also held while the
// loop dispatches events, so the mirror of the graph needs no lock of its own. I/O callbacks run
// on PipeWire's data thread and touch only what deviceStart prepared.
class PipeWireHardware final : public PropertyContract, private ConnectionClient {
  public:
    // Withdraws a default output that names a tap of an earlier run of the program.
    void forgetDeadTap();
    PipeWireHardware() = default;
    ~PipeWireHardware() override;
    PipeWireHardware(const PipeWireHardware&) = delete;
    PipeWireHardware& operator=(const PipeWireHardware&) = delete;

    // False with `error` set when no daemon answered in time.
    bool connect(double timeoutSeconds, std::string& error) {
        return conn_.connect(timeoutSeconds, error);
    }
    Player& player() { return player_; }
    MicPermission& micPermission() { return mic_; }
    // "PipeWire 0.3.65": the daemon's version.
    std::string version() { return "PipeWire " + conn_.serverVersion(); }

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
    Clock& clock() override;

  protected:
    // ---- The property contract's questions (loop lock held) ----
    void lockCalls() override { conn_.lock(); }
    void unlockCalls() override { conn_.unlock(); }
    OSStatus unavailable() override;
    std::vector<AudioObjectID> devices() override { return deviceList(); }
    AudioObjectID defaultDevice(bool output) override;
    AudioObjectID deviceWithUID(const std::string& uid) override;
    AudioObjectID processObject(std::int32_t pid) override;
    std::uint32_t serviceRestarts() override { return conn_.restarts(); }
    OSStatus setDefaultDevice(bool output, AudioObjectID device) override;
    bool knows(AudioObjectID object) override;
    std::optional<PropertyBytes> objectProperty(AudioObjectID object,
                                                const PropertyAddress& address) override;
    OSStatus setObjectProperty(AudioObjectID object, const PropertyAddress& address,
                               std::uint32_t dataSize, const void* data) override;

  private:
    using Locked = GraphConnection::Locked;
    // ---- ConnectionClient (loop thread, lock held) ----
    void dropStreams() override;
    void reassertDefault() override;

    GraphMirror& graph() { return conn_.mirror(); }
    std::optional<PropertyBytes> tapProperty(const Tap& t, const PropertyAddress& a);
    std::optional<PropertyBytes> volumeProperty(const Node& n, const PropertyAddress& a);
    OSStatus setVolumeProperty(Node& n, const PropertyAddress& a, std::uint32_t dataSize,
                               const void* data);
    std::vector<AudioObjectID> deviceList();
    Aggregate* aggregate(AudioObjectID id);
    Tap* tap(AudioObjectID id);
    // The callback `id` if it was installed on `device`.
    IOProc* proc(AudioObjectID device, AudioDeviceIOProcID id);
    // How `device` presents its streams; `members` gets the nodes the layout's member indices
    // name. The property answers and the filter's ports both come from it.
    StreamLayout layoutOf(AudioObjectID device, std::vector<const Node*>& members);
    std::string defaultName(bool output);
    OSStatus writeDefault(bool output, const std::string& name);
    OSStatus setConfiguredDefault(bool output, const std::string& name);
    AudioScope volumeScope(const Node& n) const;
    OSStatus writeVolumes(Node& n, const std::vector<float>& linear, bool mute);
    // Whether this program holds an aggregate of that UID (lock held).
    bool holdsAggregate(const std::string& uid) const;
    // A callback's filter: which graph port each channel reads or plays to, then the filter.
    OSStatus startFilter(IOProc& p);
    OSStatus planWires(IOProc& p);
    void moveProgramsToTap(IOProc& p);
    void stopFilter(IOProc& p);
    void releaseTap(Tap& t);
    // The tap stops being the default output: programs go back to the output they had, and its
    // keeper ends with nothing to do.
    void handProgramsBack(Tap& t);

    GraphConnection conn_{*this};
    // The default output to write once a "default" metadata object can take it: the output a tap
    // should have handed back while the daemon was away.
    std::optional<std::string> owedOutput_;
    std::map<AudioObjectID, std::unique_ptr<Aggregate>> aggregates_;
    std::map<AudioObjectID, std::unique_ptr<Tap>> taps_;
    std::map<AudioDeviceIOProcID, std::unique_ptr<IOProc>> procs_;
    AudioObjectID nextObject_ = 0x40000000;
    AudioDeviceIOProcID nextProc_ = 1;
    PipeWirePlayer player_{conn_};
    GrantedMicPermission mic_;
};

}  // namespace housetone::pw
