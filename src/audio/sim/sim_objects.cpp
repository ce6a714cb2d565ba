// The object table: devices, aggregates, taps, processes and I/O callbacks, and what tests read
// back.
#include <algorithm>
#include <cmath>

#include "audio/sim/sim_state.h"
#include "core/dev.h"

namespace housetone::sim {

AudioObjectID SimHardware::newId() {
    return impl_->nextId++;
}

SimHardware::Object* SimHardware::find(AudioObjectID id) {
    const auto it = impl_->objects.find(id);
    return it == impl_->objects.end() ? nullptr : it->second.get();
}
const SimHardware::Object* SimHardware::find(AudioObjectID id) const {
    const auto it = impl_->objects.find(id);
    return it == impl_->objects.end() ? nullptr : it->second.get();
}

std::optional<AudioObjectID> SimHardware::idForUIDLocked(const std::string& uid) const {
    for (AudioObjectID id : impl_->deviceOrder) {
        const Object* o = find(id);
        if (!o) continue;
        const auto* u = o->prop(sel::deviceUID, scope::global, 0);
        if (u && std::string(u->begin(), u->end()) == uid) return id;
    }
    return std::nullopt;
}

std::optional<AudioObjectID> SimHardware::idForUID(const std::string& uid) const {
    std::lock_guard lock(mutex_);
    return idForUIDLocked(uid);
}

void SimHardware::rebuildStreams(Object& o) {
    const StreamLayout layout = layoutOf(o, {});
    for (const AudioScope sc : {scope::output, scope::input})
        o.props[{sel::streamConfiguration, sc, 0}] = {streamConfigurationBytes(layout.channels(sc)),
                                                      false};
}

void SimHardware::redrawJitter(Object& d) {
    double j = 0;
    if (d.out.jitterMs > 0) {
        std::uniform_real_distribution<double> u(-d.out.jitterMs, d.out.jitterMs);
        j = u(impl_->jitterRng);
    }
    d.drawnLatencyMs = std::max(0.0, d.out.latencyMs + j);
}

AudioObjectID SimHardware::addOutputLocked(const OutputSpec& device) {
    auto o = std::make_unique<Object>();
    o->id = newId();
    o->kind = Object::Kind::device;
    o->uid = device.uid;
    o->out = device;
    o->outChannels = device.channels;
    o->props[{sel::name, scope::global, 0}] = {bytesOf(device.name), false};
    o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(device.uid), false};
    o->props[{sel::transportType, scope::global, 0}] = {bytesOf(device.transport), false};
    o->props[{sel::nominalSampleRate, scope::global, 0}] = {
        bytesOf(device.rate.value_or(room_.sampleRate)), true};
    if (device.hasVolume) {
        o->props[{sel::virtualMainVolume, scope::output, 0}] = {
            bytesOf(static_cast<float>(device.volume)), true};
        for (AudioElement e = 1; e <= static_cast<AudioElement>(device.channels); ++e)
            o->props[{sel::volumeScalar, scope::output, e}] = {bytesOf(1.0f), true};
    }
    if (device.hasMute)
        o->props[{sel::mute, scope::output, 0}] = {bytesOf<std::uint32_t>(device.muted ? 1 : 0),
                                                   true};
    rebuildStreams(*o);
    redrawJitter(*o);
    const std::size_t size = outputHistoryFrames(device, room_.sampleRate, room_.bufferFrames);
    o->history.assign(size, 0.f);
    o->historyMask = size - 1;
    o->acc.assign(static_cast<std::size_t>(room_.bufferFrames) *
                      static_cast<std::size_t>(std::max(device.channels, 1)),
                  0.f);
    const AudioObjectID id = o->id;
    impl_->objects.emplace(id, std::move(o));
    impl_->deviceOrder.push_back(id);
    return id;
}

AudioObjectID SimHardware::addInputLocked(const InputSpec& device) {
    // An input sharing an output's UID is that device's input side (a headset).
    for (AudioObjectID id : impl_->deviceOrder) {
        Object* o = find(id);
        if (o && o->kind == Object::Kind::device && o->uid == device.uid) {
            o->inChannels = device.channels;
            o->noiseRms = device.noiseRms;
            o->noiseRng.seed(room_.seed * 1000003 + id);
            rebuildStreams(*o);
            return id;
        }
    }
    auto o = std::make_unique<Object>();
    o->id = newId();
    o->kind = Object::Kind::device;
    o->uid = device.uid;
    o->inChannels = device.channels;
    o->noiseRms = device.noiseRms;
    o->noiseRng.seed(room_.seed * 1000003 + o->id);
    o->props[{sel::name, scope::global, 0}] = {bytesOf(device.name), false};
    o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(device.uid), false};
    o->props[{sel::transportType, scope::global, 0}] = {bytesOf(device.transport), false};
    o->props[{sel::nominalSampleRate, scope::global, 0}] = {bytesOf(room_.sampleRate), true};
    rebuildStreams(*o);
    const AudioObjectID id = o->id;
    impl_->objects.emplace(id, std::move(o));
    impl_->deviceOrder.push_back(id);
    return id;
}

AudioObjectID SimHardware::addOutput(const OutputSpec& device) {
    std::lock_guard lock(mutex_);
    return addOutputLocked(device);
}

AudioObjectID SimHardware::addInput(const InputSpec& device) {
    std::lock_guard lock(mutex_);
    const AudioObjectID id = addInputLocked(device);
    if (!impl_->defaultIn) impl_->defaultIn = id;
    return id;
}

AudioObjectID SimHardware::addRawDevice(const RawDevice& d) {
    std::lock_guard lock(mutex_);
    auto o = std::make_unique<Object>();
    o->id = newId();
    o->kind = Object::Kind::device;
    o->uid = d.uid.value_or("");
    o->outChannels = d.outputChannels;
    o->inChannels = d.inputChannels;
    if (d.name) o->props[{sel::name, scope::global, 0}] = {bytesOf(*d.name), false};
    if (d.uid) o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(*d.uid), false};
    if (d.transport)
        o->props[{sel::transportType, scope::global, 0}] = {bytesOf(*d.transport), false};
    o->props[{sel::nominalSampleRate, scope::global, 0}] = {bytesOf(room_.sampleRate), true};
    rebuildStreams(*o);
    o->out.level = 0;  // not placed in the room
    o->history.assign(1, 0.f);
    o->acc.assign(static_cast<std::size_t>(room_.bufferFrames) *
                      static_cast<std::size_t>(std::max(d.outputChannels, 1)),
                  0.f);
    const AudioObjectID id = o->id;
    impl_->objects.emplace(id, std::move(o));
    impl_->deviceOrder.push_back(id);
    return id;
}

bool SimHardware::removeDevice(const std::string& uid) {
    std::lock_guard lock(mutex_);
    auto id = idForUIDLocked(uid);
    if (!id) return false;
    Object* o = find(*id);
    if (!o || o->kind != Object::Kind::device) return false;
    // Callbacks on a vanished device stop; their ids stay valid for destroyIOProcID.
    for (auto& [pid, p] : impl_->procs)
        if (p->device == *id) p->started = false;
    impl_->objects.erase(*id);
    std::erase(impl_->deviceOrder, *id);
    auto firstWith = [&](bool output) -> AudioObjectID {
        for (AudioObjectID d : impl_->deviceOrder) {
            const Object* x = find(d);
            if (x && x->kind == Object::Kind::device &&
                (output ? x->outChannels : x->inChannels) > 0)
                return d;
        }
        return 0;
    };
    if (impl_->defaultOut == *id) impl_->defaultOut = firstWith(true);
    if (impl_->defaultIn == *id) impl_->defaultIn = firstWith(false);
    return true;
}

void SimHardware::setRawProperty(AudioObjectID object, const PropertyAddress& a,
                                 std::vector<std::uint8_t> bytes, bool settable) {
    std::lock_guard lock(mutex_);
    if (Object* o = find(object)) o->props[keyOf(a)] = {std::move(bytes), settable};
}

void SimHardware::removeProperty(AudioObjectID object, const PropertyAddress& a) {
    std::lock_guard lock(mutex_);
    if (Object* o = find(object)) o->props.erase(keyOf(a));
}

void SimHardware::setTapDelivery(TapDelivery d) {
    std::lock_guard lock(mutex_);
    impl_->tapDelivery = d;
}

void SimHardware::restartService() {
    std::lock_guard lock(mutex_);
    ++impl_->serviceRestarts;
    for (auto& [id, o] : impl_->objects)
        if (o->kind == Object::Kind::aggregate) o->refuses = true;
}

void SimHardware::setRefusesCallback(AudioObjectID device, bool refuses) {
    std::lock_guard lock(mutex_);
    if (Object* o = find(device)) o->refuses = refuses;
}

void SimHardware::setSystemAudioPermission(SystemAudioPermission p) {
    std::lock_guard lock(mutex_);
    impl_->sysPermission = p;
}

void SimHardware::setSystemSource(SourceFn source) {
    std::lock_guard lock(mutex_);
    impl_->systemSound.setTestSource(std::move(source));
}

std::vector<AudioObjectID> SimHardware::tapIDs() const {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> ids;
    for (const auto& [id, o] : impl_->objects)
        if (o->kind == Object::Kind::tap) ids.push_back(id);
    return ids;
}

std::vector<AudioObjectID> SimHardware::aggregateIDs() const {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> ids;
    for (const auto& [id, o] : impl_->objects)
        if (o->kind == Object::Kind::aggregate) ids.push_back(id);
    return ids;
}

std::optional<TapDescription> SimHardware::tapDescription(AudioObjectID tap) const {
    std::lock_guard lock(mutex_);
    const Object* o = find(tap);
    if (!o || o->kind != Object::Kind::tap) return std::nullopt;
    return o->tap;
}

std::optional<AggregateDescription> SimHardware::aggregateDescription(AudioObjectID device) const {
    std::lock_guard lock(mutex_);
    const Object* o = find(device);
    if (!o || o->kind != Object::Kind::aggregate) return std::nullopt;
    return o->desc;
}

int SimHardware::defaultOutputLosses() const {
    std::lock_guard lock(mutex_);
    return impl_->defaultOutputLosses;
}

std::size_t SimHardware::ioProcCount() const {
    std::lock_guard lock(mutex_);
    return impl_->procs.size();
}

std::size_t SimHardware::runningIOProcCount() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& [id, p] : impl_->procs)
        n += p->started ? 1 : 0;
    return n;
}

// ---- Aggregates and taps ----------------------------------------------------------------------

OSStatus SimHardware::createAggregateDevice(const AggregateDescription& d, AudioObjectID& out) {
    std::lock_guard lock(mutex_);
    out = 0;
    if (d.uid.empty() || idForUIDLocked(d.uid)) return status::illegalOperation;
    auto o = std::make_unique<Object>();
    o->id = newId();
    o->kind = Object::Kind::aggregate;
    o->uid = d.uid;
    o->desc = d;
    o->props[{sel::name, scope::global, 0}] = {bytesOf(d.name), false};
    o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(d.uid), false};
    o->props[{sel::transportType, scope::global, 0}] = {bytesOf(transport::aggregate), false};
    o->props[{sel::nominalSampleRate, scope::global, 0}] = {bytesOf(room_.sampleRate), true};
    out = o->id;
    impl_->objects.emplace(out, std::move(o));
    impl_->deviceOrder.push_back(out);
    return noErr;
}

OSStatus SimHardware::destroyAggregateDevice(AudioObjectID device) {
    std::lock_guard lock(mutex_);
    const Object* o = find(device);
    if (!o || o->kind != Object::Kind::aggregate) return status::badObject;
    for (auto& [id, p] : impl_->procs)
        if (p->device == device) p->started = false;
    impl_->objects.erase(device);
    std::erase(impl_->deviceOrder, device);
    if (impl_->defaultOut == device) {
        ++impl_->defaultOutputLosses;
        impl_->defaultOut = 0;
        for (AudioObjectID id : impl_->deviceOrder) {
            const Object* x = find(id);
            if (x && x->kind == Object::Kind::device && x->outChannels > 0) {
                impl_->defaultOut = id;
                break;
            }
        }
    }
    return noErr;
}

OSStatus SimHardware::createProcessTap(const TapDescription& d, AudioObjectID& out) {
    std::lock_guard lock(mutex_);
    out = 0;
    if (impl_->sysPermission == SystemAudioPermission::refused)
        return static_cast<OSStatus>(fourcc("!hog"));
    auto o = std::make_unique<Object>();
    o->id = newId();
    o->kind = Object::Kind::tap;
    o->tap = d;
    o->uid = d.uuid;
    o->props[{sel::tapFormat, scope::global, 0}] = {bytesOf(stereoFloatFormat(room_.sampleRate)),
                                                    false};
    o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(d.uuid), false};
    out = o->id;
    impl_->objects.emplace(out, std::move(o));
    return noErr;
}

OSStatus SimHardware::destroyProcessTap(AudioObjectID tap) {
    std::lock_guard lock(mutex_);
    const Object* o = find(tap);
    if (!o || o->kind != Object::Kind::tap) return status::badObject;
    impl_->objects.erase(tap);
    return noErr;
}

// ---- I/O callbacks ----------------------------------------------------------------------------

OSStatus SimHardware::createIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                                     AudioDeviceIOProcID& outID) {
    std::lock_guard lock(mutex_);
    outID = 0;
    const Object* o = find(device);
    if (!o || (o->kind != Object::Kind::device && o->kind != Object::Kind::aggregate))
        return status::badObject;
    if (!proc) return status::illegalOperation;
    auto p = std::make_unique<Proc>();
    p->id = impl_->nextProc++;
    p->device = device;
    p->fn = proc;
    p->client = clientData;
    outID = p->id;
    impl_->procs.emplace(outID, std::move(p));
    return noErr;
}

OSStatus SimHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID id) {
    std::lock_guard lock(mutex_);
    const auto it = impl_->procs.find(id);
    if (it == impl_->procs.end() || it->second->device != device) return status::badObject;
    impl_->procs.erase(it);
    return noErr;
}

OSStatus SimHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID id) {
    std::lock_guard lock(mutex_);
    const auto it = impl_->procs.find(id);
    Object* o = find(device);
    if (it == impl_->procs.end() || it->second->device != device || !o) return status::badObject;
    if (!it->second->started) {
        it->second->started = true;
        it->second->sampleTime = 0;
        // Bluetooth-style links settle on a new latency every time they start playing.
        if (o->kind == Object::Kind::aggregate) {
            for (Object* m : membersOf(*o))
                redrawJitter(*m);
        } else if (o->outChannels > 0) {
            redrawJitter(*o);
        }
    }
    return noErr;
}

OSStatus SimHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID id) {
    std::lock_guard lock(mutex_);  // waits for a buffer in progress: the callback is then done
    const auto it = impl_->procs.find(id);
    if (it == impl_->procs.end() || it->second->device != device) return status::badObject;
    it->second->started = false;
    return noErr;
}

}  // namespace housetone::sim
