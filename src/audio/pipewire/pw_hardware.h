#pragma once

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/aggregate_layout.h"
#include "audio/property_contract.h"
#include "audio/pipewire/pipewire_backend.h"
#include "audio/pipewire/pw_player.h"
#include "audio/sound_file.h"

namespace housetone::pw {

class PipeWireHardware;

// One audio node of the graph as the program sees it: a sink, a source or both.
struct Node {
    PipeWireHardware* owner = nullptr;
    std::uint32_t id = 0;
    std::string mediaClass;
    // node.name as the graph holds it, which need not be text: what the daemon and the session
    // manager must be given back to find this node.
    std::string graphName;
    std::string name;         // the UID the program sees: graphName made printable (printableUID)
    std::string description;  // node.description made printable: what people read
    std::string serial;       // object.serial: names this node and no other
    std::uint32_t transport = 0;
    bool own = false;  // made by this program (the tap, the aggregates' filters)
    pw_proxy* proxy = nullptr;
    spa_hook nodeListener{};
    bool haveProps = false;
    std::vector<float> volumes;  // linear, one per channel
    bool mute = false;
};

struct Port {
    std::uint32_t id = 0;
    std::uint32_t node = 0;
    std::uint32_t index = 0;  // port.id: the channel order within its node and direction
    bool output = false;
    bool monitor = false;
    std::string name;
};

struct Aggregate;
struct Tap;
struct IOProc;

// The object that stands for this program's own process.
constexpr AudioObjectID ownProcessObject = 0x3fffffff;

// What volume tools show for a linear gain, and back.
inline float userVolume(float linear) {
    return std::cbrt(std::max(linear, 0.f));
}

// AudioHardware over a PipeWire graph. Every call runs under the thread loop's lock, which is
// also held while the loop dispatches events, so the mirror of the graph needs no lock of its
// own. I/O callbacks run on PipeWire's data thread and touch only what deviceStart prepared.
class PipeWireHardware final : public PropertyContract {
  public:
    PipeWireHardware();
    ~PipeWireHardware() override;
    PipeWireHardware(const PipeWireHardware&) = delete;
    PipeWireHardware& operator=(const PipeWireHardware&) = delete;

    // False with `error` set when no daemon answered in time.
    bool connect(double timeoutSeconds, std::string& error);
    std::string serverVersion();
    Player& player() { return player_; }
    MicPermission& micPermission() { return mic_; }
    // "PipeWire 0.3.65": the daemon's version.
    std::string version() { return "PipeWire " + serverVersion(); }
    // Plays a decoded file to the default output; blocks until its end, `stop` or the time
    // it should take has passed.
    bool playSamples(const WavData& wav, std::atomic<bool>& stop);
    void interruptPlay(std::atomic<bool>& stop);

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

    // ---- Used by the event handlers (loop thread, lock held) ----
    void onGlobal(std::uint32_t id, const char* type, const spa_dict* props);
    void onGlobalRemoved(std::uint32_t id);
    void onNodeInfo(Node& node, const pw_node_info* info);
    void onNodeParam(Node& node, const spa_pod* param);
    void onMetadata(bool defaults, const char* key, const char* value);
    void onCoreDone(int seq);
    void onCoreError(std::uint32_t id, int res);
    void onRetryTimer();
    pw_thread_loop* loop() { return loop_; }

  protected:
    // ---- The property contract's questions (loop lock held) ----
    void lockCalls() override { pw_thread_loop_lock(loop_); }
    void unlockCalls() override { pw_thread_loop_unlock(loop_); }
    OSStatus unavailable() override;
    std::vector<AudioObjectID> devices() override { return deviceList(); }
    AudioObjectID defaultDevice(bool output) override;
    AudioObjectID deviceWithUID(const std::string& uid) override;
    AudioObjectID processObject(std::int32_t pid) override;
    std::uint32_t serviceRestarts() override { return restarts_; }
    OSStatus setDefaultDevice(bool output, AudioObjectID device) override;
    bool knows(AudioObjectID object) override;
    std::optional<PropertyBytes> objectProperty(AudioObjectID object,
                                                const PropertyAddress& address) override;
    OSStatus setObjectProperty(AudioObjectID object, const PropertyAddress& address,
                               std::uint32_t dataSize, const void* data) override;

  private:
    // Holds the thread loop's lock for a scope.
    struct Locked {
        explicit Locked(PipeWireHardware& hw) : loop(hw.loop_) { pw_thread_loop_lock(loop); }
        ~Locked() { pw_thread_loop_unlock(loop); }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;
        pw_thread_loop* loop;
    };
    std::optional<PropertyBytes> tapProperty(const Tap& t, const PropertyAddress& a);
    std::optional<PropertyBytes> volumeProperty(const Node& n, const PropertyAddress& a);
    OSStatus setVolumeProperty(Node& n, const PropertyAddress& a, std::uint32_t dataSize,
                               const void* data);
    std::vector<AudioObjectID> deviceList() const;
    Node* node(AudioObjectID id);
    Node* nodeByName(const std::string& name);  // by UID
    Node* nodeByGraphName(const std::string& graphName);
    Aggregate* aggregate(AudioObjectID id);
    Tap* tap(AudioObjectID id);
    std::vector<const Port*> portsOf(std::uint32_t node, bool output, bool monitor = false) const;
    // A device's channels: a sink's playback ports, a source's capture ports.
    std::vector<const Port*> devicePorts(std::uint32_t node, bool capture) const;
    // How `device` presents its streams; `members` gets the nodes the layout's member indices
    // name. The property answers and the filter's ports both come from it.
    StreamLayout layoutOf(AudioObjectID device, std::vector<const Node*>& members);
    double graphRate() const;
    std::string defaultName(bool output) const;
    OSStatus writeDefault(bool output, const std::string& name);
    OSStatus setConfiguredDefault(bool output, const std::string& name);
    AudioScope volumeScope(const Node& n) const;
    OSStatus writeVolumes(Node& n, const std::vector<float>& linear, bool mute);
    // A new core on the context, with the registry and their listeners.
    bool attach(std::string& error);
    // Drops every proxy, stream and filter of a connection that has died and the mirror built
    // from it; the program's own records (aggregates, taps, callbacks) stay, without their nodes.
    void detach();
    // The reconnection's next step, when what it waits for has come (loop thread).
    void advanceReconnect();
    void armRetry(std::int64_t milliseconds);
    void bindMetadata(std::uint32_t id, bool defaults);
    void dropMetadata(bool defaults);
    // On a "default" metadata object new to us: a tap that is the default output is made so again
    // there, or the output owed since the connection was lost is written.
    void reassertDefault();
    OSStatus writeDefaultKey(bool output, const std::string& name);
    // Waits (lock held) until the daemon has answered everything asked so far.
    bool roundTrip(double timeoutSeconds = 2.0);
    // Waits (lock held) until `ready` holds, the daemon is gone or the time is up.
    bool waitFor(double timeoutSeconds, const std::function<bool()>& ready);
    pw_proxy* createLink(std::uint32_t outNode, std::uint32_t outPort, std::uint32_t inNode,
                         std::uint32_t inPort);
    // The public "All Speakers" device (pw_all_speakers.cpp). Both take the lock themselves and
    // never hold it while they wait for a host process.
    OSStatus createPublicAggregate(const AggregateDescription& d, AudioObjectID& out);
    OSStatus destroyPublicAggregate(const std::string& nodeName);
    OSStatus startFilter(IOProc& p);
    // The steps of startFilter, in order.
    OSStatus planWires(IOProc& p);
    bool createFilter(IOProc& p);
    bool findFilterPorts(IOProc& p, std::vector<std::uint32_t>& ownIn,
                         std::vector<std::uint32_t>& ownOut);
    bool linkFilter(IOProc& p, const std::vector<std::uint32_t>& ownIn,
                    const std::vector<std::uint32_t>& ownOut);
    void moveProgramsToTap(IOProc& p);
    void stopFilter(IOProc& p);
    bool linkTap(Tap& t, IOProc& p);
    void releaseTap(Tap& t);

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    spa_hook coreListener_{}, registryListener_{};
    pw_proxy* defaults_ = nullptr;  // the "default" metadata
    pw_proxy* settings_ = nullptr;  // the "settings" metadata
    std::uint32_t defaultsID_ = SPA_ID_INVALID, settingsID_ = SPA_ID_INVALID;
    spa_hook defaultsListener_{}, settingsListener_{};
    int pendingSeq_ = -1, doneSeq_ = -1;
    // True from the moment the daemon goes away until a new connection has mirrored the graph.
    std::atomic<bool> gone_{false};
    // The reconnection: a timer on the loop retries until a daemon answers, then the mirror is
    // filled in two round trips and the session manager is given a moment to name the defaults.
    enum class Stage { connected, down, firstSync, secondSync, settling };
    Stage stage_ = Stage::connected;
    bool coreDead_ = false;  // core_ belongs to a connection that has died
    spa_source* retry_ = nullptr;
    std::int64_t attachedAtNs_ = 0;  // CLOCK_MONOTONIC, when the current reconnection attached
    int waiters_ = 0;                // calls inside waitFor: their objects must not be torn down
    std::uint32_t restarts_ = 0;
    // The default output to write once a "default" metadata object can take it: the output a tap
    // should have handed back while the daemon was away.
    std::optional<std::string> owedOutput_;
    bool reassertPending_ = false;  // a new "default" object has not yet named the default output
    std::string version_;

    std::map<std::uint32_t, std::unique_ptr<Node>> nodes_;
    std::vector<std::uint32_t> nodeOrder_;
    std::map<std::uint32_t, Port> ports_;
    std::map<std::uint32_t, std::map<std::string, std::string>> deviceProps_;  // by device id
    std::string defaultSink_, defaultSource_;
    double clockRate_ = 48000;

    std::map<AudioObjectID, std::unique_ptr<Aggregate>> aggregates_;
    std::map<AudioObjectID, std::unique_ptr<Tap>> taps_;
    std::map<AudioDeviceIOProcID, std::unique_ptr<IOProc>> procs_;
    AudioObjectID nextObject_ = 0x40000000;
    AudioDeviceIOProcID nextProc_ = 1;
    PipeWirePlayer player_{*this};
    GrantedMicPermission mic_;
};

}  // namespace housetone::pw
