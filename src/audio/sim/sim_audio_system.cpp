// The simulated hardware as one object: the parts it is made of, each call taking the world's
// lock and handing over to the part that answers it.
#include "audio/sim/sim_audio_system.h"

#include <memory>
#include <utility>

namespace housetone::sim {

SimHardware::SimHardware(RoomSpec room, SimOptions options)
    : room_(std::move(room)),
      clock_(*this),
      objects_(room_),
      callbacks_(objects_),
      links_(room_, objects_, callbacks_),
      systemSound_(room_),
      micPermission_(room_.microphonePermission, room_.microphoneRequestAnswer),
      player_(plays_, room_.sampleRate),
      renderer_(room_, objects_, callbacks_, systemSound_, plays_, captures_),
      pacer_(mutex_, room_.bufferFrames, room_.sampleRate, options.speed, [this](std::int64_t t) {
          links_.advance(t);
          renderer_.render(t);
      }) {
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

std::optional<double> SimHardware::trueArrivalMs(const std::string& uid) const {
    std::lock_guard lock(mutex_);
    return objects_.trueArrivalMs(uid);
}

// ---- Devices and the world's settings (tests) -------------------------------------------------

AudioObjectID SimHardware::addOutput(const OutputSpec& device) {
    std::lock_guard lock(mutex_);
    links_.follow(device, frame());
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
    links_.forget(uid);
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
    renderer_.setTapDelivery(d);
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
    systemSound_.setTestSource(std::move(source));
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

// ---- Captures (tests) -------------------------------------------------------------------------

std::int64_t SimHardware::captureListening(std::size_t frames) {
    std::lock_guard lock(mutex_);
    const std::int64_t start = frame();
    captures_.startListening(start, frames);
    return start;
}

std::pair<std::int64_t, std::vector<float>> SimHardware::listeningCapture() const {
    std::lock_guard lock(mutex_);
    return captures_.listening();
}

std::int64_t SimHardware::captureSystemMix(std::size_t frames) {
    std::lock_guard lock(mutex_);
    const std::int64_t start = frame();
    captures_.startSystemMix(start, frames);
    return start;
}

std::pair<std::int64_t, std::vector<float>> SimHardware::systemMixCapture() const {
    std::lock_guard lock(mutex_);
    return captures_.systemMix();
}

bool SimHardware::recordListeningTo(const std::string& path) {
    auto w = std::make_unique<WavWriter>(path, room_.sampleRate, 1);
    if (!w->ok()) return false;
    std::lock_guard lock(mutex_);
    captures_.setRecorder(std::move(w));
    return true;
}

bool SimHardware::stopRecording() {
    std::unique_ptr<WavWriter> w;
    {
        std::lock_guard lock(mutex_);
        w = captures_.takeRecorder();
    }
    return !w || w->finish();
}

}  // namespace housetone::sim
