// The simulated hardware as one object: the parts it is made of, each call taking the world's
// lock and handing over to the part that answers it.
#include "audio/sim/sim_audio_system.h"

#include "audio/sim/sim_state.h"

namespace housetone::sim {

SimHardware::SimHardware(RoomSpec room, SimOptions options)
    : room_(std::move(room)),
      clock_(*this),
      objects_(room_),
      callbacks_(objects_),
      impl_(std::make_unique<Impl>(room_)),
      micPermission_(room_.microphonePermission, room_.microphoneRequestAnswer),
      player_(plays_, room_.sampleRate),
      pacer_(mutex_, room_.bufferFrames, room_.sampleRate, options.speed,
             [this](std::int64_t t) { renderBuffer(t); }) {
    auto& im = *impl_;
    const auto n = static_cast<std::size_t>(room_.bufferFrames);
    im.musicBuf.assign(n * 2, 0.f);
    im.playerBuf.assign(n * 2, 0.f);
    im.normalMix.assign(n * 2, 0.f);
    im.listening.assign(n, 0.f);
    im.prevListening.assign(n, 0.f);
    if (options.startWorld) startWorld();
}

SimHardware::~SimHardware() {
    plays_.stopAll();
    stopWorld();
    stopRecording();
}

std::optional<std::int64_t> SimHardware::roomDelayFrames(const std::string& uid) const {
    std::lock_guard lock(mutex_);
    return objects_.roomDelayFrames(uid);
}

// ---- Devices and the world's settings (tests) -------------------------------------------------

AudioObjectID SimHardware::addOutput(const OutputSpec& device) {
    std::lock_guard lock(mutex_);
    return objects_.addOutput(device);
}

AudioObjectID SimHardware::addInput(const InputSpec& device) {
    std::lock_guard lock(mutex_);
    return objects_.addInput(device);
}

AudioObjectID SimHardware::addRawDevice(const RawDevice& d) {
    std::lock_guard lock(mutex_);
    return objects_.addRawDevice(d);
}

bool SimHardware::removeDevice(const std::string& uid) {
    std::lock_guard lock(mutex_);
    const auto id = objects_.removeDevice(uid);
    if (id) callbacks_.stopOn(*id);
    return id.has_value();
}

std::optional<AudioObjectID> SimHardware::idForUID(const std::string& uid) const {
    std::lock_guard lock(mutex_);
    return objects_.idForUID(uid);
}

void SimHardware::setRawProperty(AudioObjectID object, const PropertyAddress& a,
                                 std::vector<std::uint8_t> bytes, bool settable) {
    std::lock_guard lock(mutex_);
    objects_.setRawProperty(object, a, std::move(bytes), settable);
}

void SimHardware::removeProperty(AudioObjectID object, const PropertyAddress& a) {
    std::lock_guard lock(mutex_);
    objects_.removeProperty(object, a);
}

void SimHardware::setTapDelivery(TapDelivery d) {
    std::lock_guard lock(mutex_);
    impl_->tapDelivery = d;
}

void SimHardware::setRefusesCallback(AudioObjectID device, bool refuses) {
    std::lock_guard lock(mutex_);
    objects_.setRefusesCallback(device, refuses);
}

void SimHardware::setSystemAudioPermission(SystemAudioPermission p) {
    std::lock_guard lock(mutex_);
    objects_.setSystemAudioPermission(p);
}

void SimHardware::restartService() {
    std::lock_guard lock(mutex_);
    objects_.restartService();
}

void SimHardware::setSystemSource(SourceFn source) {
    std::lock_guard lock(mutex_);
    impl_->systemSound.setTestSource(std::move(source));
}

// ---- Read-backs (tests) -----------------------------------------------------------------------

std::vector<AudioObjectID> SimHardware::tapIDs() const {
    std::lock_guard lock(mutex_);
    return objects_.tapIDs();
}

std::vector<AudioObjectID> SimHardware::aggregateIDs() const {
    std::lock_guard lock(mutex_);
    return objects_.aggregateIDs();
}

std::optional<TapDescription> SimHardware::tapDescription(AudioObjectID tap) const {
    std::lock_guard lock(mutex_);
    return objects_.tapDescription(tap);
}

std::optional<AggregateDescription> SimHardware::aggregateDescription(AudioObjectID device) const {
    std::lock_guard lock(mutex_);
    return objects_.aggregateDescription(device);
}

int SimHardware::defaultOutputLosses() const {
    std::lock_guard lock(mutex_);
    return objects_.defaultOutputLosses();
}

std::size_t SimHardware::ioProcCount() const {
    std::lock_guard lock(mutex_);
    return callbacks_.count();
}

std::size_t SimHardware::runningIOProcCount() const {
    std::lock_guard lock(mutex_);
    return callbacks_.runningCount();
}

// ---- Aggregates, taps and I/O callbacks -------------------------------------------------------

OSStatus SimHardware::createAggregateDevice(const AggregateDescription& d, AudioObjectID& out) {
    std::lock_guard lock(mutex_);
    return objects_.createAggregate(d, out);
}

OSStatus SimHardware::destroyAggregateDevice(AudioObjectID device) {
    std::lock_guard lock(mutex_);
    const OSStatus st = objects_.destroyAggregate(device);
    if (st == noErr) callbacks_.stopOn(device);
    return st;
}

OSStatus SimHardware::createProcessTap(const TapDescription& d, AudioObjectID& out) {
    std::lock_guard lock(mutex_);
    return objects_.createTap(d, out);
}

OSStatus SimHardware::destroyProcessTap(AudioObjectID tap) {
    std::lock_guard lock(mutex_);
    return objects_.destroyTap(tap);
}

OSStatus SimHardware::createIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                                     AudioDeviceIOProcID& outID) {
    std::lock_guard lock(mutex_);
    return callbacks_.create(device, proc, clientData, outID);
}

OSStatus SimHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID id) {
    std::lock_guard lock(mutex_);
    return callbacks_.destroy(device, id);
}

OSStatus SimHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID id) {
    std::lock_guard lock(mutex_);
    return callbacks_.start(device, id);
}

OSStatus SimHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID id) {
    std::lock_guard lock(mutex_);  // waits for a buffer in progress: the callback is then done
    return callbacks_.stop(device, id);
}

// ---- The property contract's questions (the contract holds mutex_) ----------------------------

std::vector<AudioObjectID> SimHardware::devices() {
    return objects_.devices();
}

AudioObjectID SimHardware::defaultDevice(bool output) {
    return objects_.defaultDevice(output);
}

AudioObjectID SimHardware::deviceWithUID(const std::string& uid) {
    return objects_.idForUID(uid).value_or(0);
}

AudioObjectID SimHardware::processObject(std::int32_t pid) {
    return objects_.processObject(pid);
}

std::uint32_t SimHardware::serviceRestarts() {
    return objects_.serviceRestarts();
}

OSStatus SimHardware::setDefaultDevice(bool output, AudioObjectID device) {
    return objects_.setDefaultDevice(output, device);
}

bool SimHardware::knows(AudioObjectID object) {
    return objects_.find(object) != nullptr;
}

std::optional<PropertyBytes> SimHardware::objectProperty(AudioObjectID object,
                                                         const PropertyAddress& a) {
    return objects_.objectProperty(object, a);
}

OSStatus SimHardware::setObjectProperty(AudioObjectID object, const PropertyAddress& a,
                                        std::uint32_t dataSize, const void* data) {
    return objects_.setObjectProperty(object, a, dataSize, data);
}

}  // namespace housetone::sim
