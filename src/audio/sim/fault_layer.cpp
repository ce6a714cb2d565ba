// Injected faults: a layer over every call of the simulated hardware. A call that meets a
// matching fault fails with its status before the hardware sees it.
#include "audio/sim/sim_audio_system.h"

namespace housetone::sim {

void SimAudioSystem::injectFault(const Fault& f) {
    std::lock_guard lock(faultMutex_);
    faults_.push_back(f);
}

void SimAudioSystem::clearFaults() {
    std::lock_guard lock(faultMutex_);
    faults_.clear();
}

void SimAudioSystem::setBeforeCreateAggregate(
    std::function<void(const AggregateDescription&)> hook) {
    std::lock_guard lock(faultMutex_);
    beforeCreateAggregate_ = std::move(hook);
}

std::optional<OSStatus> SimAudioSystem::faulted(Call call, AudioObjectID object,
                                                std::optional<AudioSelector> selector) {
    std::lock_guard lock(faultMutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->call != call) continue;
        if (it->object && *it->object != object) continue;
        if (it->selector && selector && *it->selector != *selector) continue;
        const OSStatus st = it->status;
        if (it->count > 0 && --it->count == 0) faults_.erase(it);
        return st;
    }
    return std::nullopt;
}

bool SimAudioSystem::hasProperty(AudioObjectID object, const PropertyAddress& a) {
    return !faulted(Call::hasProperty, object, a.selector) && SimHardware::hasProperty(object, a);
}

OSStatus SimAudioSystem::getPropertyDataSize(AudioObjectID object, const PropertyAddress& a,
                                             std::uint32_t qualSize, const void* qual,
                                             std::uint32_t& outSize) {
    if (const auto st = faulted(Call::getPropertyDataSize, object, a.selector)) return *st;
    return SimHardware::getPropertyDataSize(object, a, qualSize, qual, outSize);
}

OSStatus SimAudioSystem::getPropertyData(AudioObjectID object, const PropertyAddress& a,
                                         std::uint32_t qualSize, const void* qual,
                                         std::uint32_t& ioSize, void* outData) {
    if (const auto st = faulted(Call::getPropertyData, object, a.selector)) return *st;
    return SimHardware::getPropertyData(object, a, qualSize, qual, ioSize, outData);
}

OSStatus SimAudioSystem::setPropertyData(AudioObjectID object, const PropertyAddress& a,
                                         std::uint32_t qualSize, const void* qual,
                                         std::uint32_t dataSize, const void* data) {
    if (const auto st = faulted(Call::setPropertyData, object, a.selector)) return *st;
    return SimHardware::setPropertyData(object, a, qualSize, qual, dataSize, data);
}

OSStatus SimAudioSystem::createAggregateDevice(const AggregateDescription& d, AudioObjectID& out) {
    std::function<void(const AggregateDescription&)> hook;
    {
        std::lock_guard lock(faultMutex_);
        hook = beforeCreateAggregate_;
    }
    if (hook) hook(d);
    out = 0;
    // For the create calls a fault of status 0 is a success that hands back no object.
    if (const auto st = faulted(Call::createAggregate, 0)) return *st;
    return SimHardware::createAggregateDevice(d, out);
}

OSStatus SimAudioSystem::destroyAggregateDevice(AudioObjectID device) {
    if (const auto st = faulted(Call::destroyAggregate, device)) return *st;
    return SimHardware::destroyAggregateDevice(device);
}

OSStatus SimAudioSystem::createProcessTap(const TapDescription& d, AudioObjectID& out) {
    out = 0;
    if (const auto st = faulted(Call::createTap, 0)) return *st;
    return SimHardware::createProcessTap(d, out);
}

OSStatus SimAudioSystem::destroyProcessTap(AudioObjectID tap) {
    if (const auto st = faulted(Call::destroyTap, tap)) return *st;
    return SimHardware::destroyProcessTap(tap);
}

OSStatus SimAudioSystem::createIOProcID(AudioObjectID device, AudioDeviceIOProc proc,
                                        void* clientData, AudioDeviceIOProcID& outID) {
    outID = 0;
    if (const auto st = faulted(Call::createIOProc, device)) return *st;
    return SimHardware::createIOProcID(device, proc, clientData, outID);
}

OSStatus SimAudioSystem::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID id) {
    if (const auto st = faulted(Call::destroyIOProc, device)) return *st;
    return SimHardware::destroyIOProcID(device, id);
}

OSStatus SimAudioSystem::deviceStart(AudioObjectID device, AudioDeviceIOProcID id) {
    if (const auto st = faulted(Call::deviceStart, device)) return *st;
    return SimHardware::deviceStart(device, id);
}

OSStatus SimAudioSystem::deviceStop(AudioObjectID device, AudioDeviceIOProcID id) {
    if (const auto st = faulted(Call::deviceStop, device)) return *st;
    return SimHardware::deviceStop(device, id);
}

}  // namespace housetone::sim
