#include "audio/sim/sim_object_table.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/dev.h"

namespace housetone::sim {

namespace {

constexpr std::int32_t musicPid = 0x7FFF0001;
constexpr std::int32_t playerPid = 0x7FFF0002;

}  // namespace

ObjectTable::ObjectTable(const RoomSpec& room)
    : sampleRate_(room.sampleRate),
      bufferFrames_(room.bufferFrames),
      seed_(room.seed),
      sysPermission_(room.systemAudioPermission) {
    jitterRng_.seed(seed_ * 7919 + 17);
    ownProcess_ = addProcess(static_cast<std::int32_t>(getpid()));
    musicProcess_ = addProcess(musicPid);
    playerProcess_ = addProcess(playerPid);
    placeRoomDevices(room);
}

AudioObjectID ObjectTable::addProcess(std::int32_t pid) {
    auto o = std::make_unique<SimObject>();
    o->id = newId();
    o->kind = SimObject::Kind::process;
    o->pid = pid;
    const AudioObjectID id = o->id;
    objects_.emplace(id, std::move(o));
    return id;
}

void ObjectTable::placeRoomDevices(const RoomSpec& room) {
    for (const auto& o : room.outputs)
        addOutput(o);
    for (const auto& i : room.inputs)
        addInputDevice(i);
    if (room.defaultOutput) {
        if (auto id = idForUID(*room.defaultOutput)) defaultOut_ = *id;
    }
    if (room.defaultInput) {
        for (const auto& [id, o] : objects_)
            if (o->kind == SimObject::Kind::device && o->uid == *room.defaultInput &&
                o->inChannels > 0)
                defaultIn_ = id;
    }
    if (!defaultOut_ && !room.outputs.empty())
        defaultOut_ = idForUID(room.outputs.front().uid).value_or(0);
    if (!defaultIn_ && !room.inputs.empty())
        defaultIn_ = idForUID(room.inputs.front().uid).value_or(0);
}

SimObject* ObjectTable::find(AudioObjectID id) {
    const auto it = objects_.find(id);
    return it == objects_.end() ? nullptr : it->second.get();
}
const SimObject* ObjectTable::find(AudioObjectID id) const {
    const auto it = objects_.find(id);
    return it == objects_.end() ? nullptr : it->second.get();
}

std::optional<AudioObjectID> ObjectTable::idForUID(const std::string& uid) const {
    for (AudioObjectID id : deviceOrder_) {
        const SimObject* o = find(id);
        if (!o) continue;
        const auto* u = o->prop(sel::deviceUID, scope::global, 0);
        if (u && std::string(u->begin(), u->end()) == uid) return id;
    }
    return std::nullopt;
}

std::vector<SimObject*> ObjectTable::membersOf(const SimObject& agg) {
    std::vector<SimObject*> out;
    for (const auto& sd : agg.desc.subdevices) {
        for (AudioObjectID id : deviceOrder_) {
            SimObject* o = find(id);
            if (o && o->kind == SimObject::Kind::device && o->uid == sd.uid) {
                out.push_back(o);
                break;
            }
        }
    }
    return out;
}

StreamLayout ObjectTable::layoutOf(const SimObject& d, const std::vector<SimObject*>& members,
                                   bool withTaps) const {
    auto channels = [](const SimObject& o) {
        return LayoutMember{static_cast<std::uint32_t>(std::max(o.inChannels, 0)),
                            static_cast<std::uint32_t>(std::max(o.outChannels, 0))};
    };
    if (d.kind != SimObject::Kind::aggregate) return deviceLayout(channels(d));
    std::vector<LayoutMember> present;
    for (const SimObject* m : members)
        present.push_back(channels(*m));
    return aggregateLayout(d.desc, present, withTaps);
}

void ObjectTable::rebuildStreams(SimObject& o) {
    const StreamLayout layout = layoutOf(o, {});
    for (const AudioScope sc : {scope::output, scope::input})
        o.props[{sel::streamConfiguration, sc, 0}] = {streamConfigurationBytes(layout.channels(sc)),
                                                      false};
}

void ObjectTable::redrawJitter(SimObject& d) {
    double j = 0;
    if (d.out.jitterMs > 0) {
        std::uniform_real_distribution<double> u(-d.out.jitterMs, d.out.jitterMs);
        j = u(jitterRng_);
    }
    d.jitterDrawMs = j;
    d.lastDelayFrames.reset();
}

SimObject* ObjectTable::output(const std::string& uid) {
    for (AudioObjectID id : deviceOrder_) {
        SimObject* o = find(id);
        if (o && o->kind == SimObject::Kind::device && o->uid == uid && o->outChannels > 0)
            return o;
    }
    return nullptr;
}

const SimObject* ObjectTable::output(const std::string& uid) const {
    return const_cast<ObjectTable*>(this)->output(uid);
}

std::optional<std::int64_t> ObjectTable::roomDelayFrames(const std::string& uid) const {
    const SimObject* o = output(uid);
    if (!o) return std::nullopt;
    return o->directPathFrames(sampleRate_);
}

std::optional<double> ObjectTable::trueArrivalMs(const std::string& uid) const {
    const SimObject* o = output(uid);
    if (!o) return std::nullopt;
    return o->arrivalMs();
}

bool ObjectTable::relink(const OutputSpec& link) {
    SimObject* o = output(link.uid);
    if (!o) return false;
    if (link.latencyMs != o->out.latencyMs) o->lastDelayFrames.reset();
    o->out = link;
    linkProperties(*o);
    return true;
}

void ObjectTable::linkProperties(SimObject& o) {
    const double rate = o.out.rate.value_or(sampleRate_);
    const double reportedMs = o.out.reportedLatencyMs.value_or(o.out.latencyMs);
    o.props[{sel::latency, scope::output, 0}] = {
        bytesOf(static_cast<std::uint32_t>(std::lround(reportedMs / 1000.0 * rate))), false};
    // A link's names are only ever set or changed, never taken away.
    if (o.out.profile)
        o.props[{sel::linkProfile, scope::output, 0}] = {bytesOf(*o.out.profile), false};
    if (o.out.codec) o.props[{sel::linkCodec, scope::output, 0}] = {bytesOf(*o.out.codec), false};
}

// ---- Devices ----------------------------------------------------------------------------------

AudioObjectID ObjectTable::addOutput(const OutputSpec& device) {
    auto o = std::make_unique<SimObject>();
    o->id = newId();
    o->kind = SimObject::Kind::device;
    o->uid = device.uid;
    o->out = device;
    o->outChannels = device.channels;
    o->props[{sel::name, scope::global, 0}] = {bytesOf(device.name), false};
    o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(device.uid), false};
    o->props[{sel::transportType, scope::global, 0}] = {bytesOf(device.transport), false};
    o->props[{sel::nominalSampleRate, scope::global, 0}] = {
        bytesOf(device.rate.value_or(sampleRate_)), true};
    if (device.hasVolume) {
        o->props[{sel::virtualMainVolume, scope::output, 0}] = {
            bytesOf(static_cast<float>(device.volume)), true};
        for (AudioElement e = 1; e <= static_cast<AudioElement>(device.channels); ++e)
            o->props[{sel::volumeScalar, scope::output, e}] = {bytesOf(1.0f), true};
    }
    linkProperties(*o);
    if (device.hasMute)
        o->props[{sel::mute, scope::output, 0}] = {bytesOf<std::uint32_t>(device.muted ? 1 : 0),
                                                   true};
    rebuildStreams(*o);
    redrawJitter(*o);
    const std::size_t size = outputHistoryFrames(device, sampleRate_, bufferFrames_);
    o->history.assign(size, 0.f);
    o->historyMask = size - 1;
    return adoptDevice(std::move(o));
}

AudioObjectID ObjectTable::adoptDevice(std::unique_ptr<SimObject> o) {
    // One buffer's output, interleaved, for the renderer to fill.
    o->acc.assign(static_cast<std::size_t>(bufferFrames_) *
                      static_cast<std::size_t>(std::max(o->outChannels, 1)),
                  0.f);
    const AudioObjectID id = o->id;
    objects_.emplace(id, std::move(o));
    deviceOrder_.push_back(id);
    return id;
}

AudioObjectID ObjectTable::addInputDevice(const InputSpec& device) {
    // An input sharing an output's UID is that device's input side (a headset).
    for (AudioObjectID id : deviceOrder_) {
        SimObject* o = find(id);
        if (o && o->kind == SimObject::Kind::device && o->uid == device.uid) {
            o->inChannels = device.channels;
            o->noiseRms = device.noiseRms;
            o->noiseRng.seed(seed_ * 1000003 + id);
            rebuildStreams(*o);
            return id;
        }
    }
    auto o = std::make_unique<SimObject>();
    o->id = newId();
    o->kind = SimObject::Kind::device;
    o->uid = device.uid;
    o->inChannels = device.channels;
    o->noiseRms = device.noiseRms;
    o->noiseRng.seed(seed_ * 1000003 + o->id);
    o->props[{sel::name, scope::global, 0}] = {bytesOf(device.name), false};
    o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(device.uid), false};
    o->props[{sel::transportType, scope::global, 0}] = {bytesOf(device.transport), false};
    o->props[{sel::nominalSampleRate, scope::global, 0}] = {bytesOf(sampleRate_), true};
    rebuildStreams(*o);
    return adoptDevice(std::move(o));
}

AudioObjectID ObjectTable::addInput(const InputSpec& device) {
    const AudioObjectID id = addInputDevice(device);
    if (!defaultIn_) defaultIn_ = id;
    return id;
}

AudioObjectID ObjectTable::addRawDevice(const RawDeviceSpec& d) {
    auto o = std::make_unique<SimObject>();
    o->id = newId();
    o->kind = SimObject::Kind::device;
    o->uid = d.uid.value_or("");
    o->outChannels = d.outputChannels;
    o->inChannels = d.inputChannels;
    if (d.name) o->props[{sel::name, scope::global, 0}] = {bytesOf(*d.name), false};
    if (d.uid) o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(*d.uid), false};
    if (d.transport)
        o->props[{sel::transportType, scope::global, 0}] = {bytesOf(*d.transport), false};
    o->props[{sel::nominalSampleRate, scope::global, 0}] = {bytesOf(sampleRate_), true};
    rebuildStreams(*o);
    o->out.level = 0;  // not placed in the room
    o->history.assign(1, 0.f);
    return adoptDevice(std::move(o));
}

std::optional<AudioObjectID> ObjectTable::removeDevice(const std::string& uid) {
    auto id = idForUID(uid);
    if (!id) return std::nullopt;
    const SimObject* o = find(*id);
    if (!o || o->kind != SimObject::Kind::device) return std::nullopt;
    objects_.erase(*id);
    std::erase(deviceOrder_, *id);
    auto firstWith = [&](bool output) -> AudioObjectID {
        for (AudioObjectID d : deviceOrder_) {
            const SimObject* x = find(d);
            if (x && x->kind == SimObject::Kind::device &&
                (output ? x->outChannels : x->inChannels) > 0)
                return d;
        }
        return 0;
    };
    if (defaultOut_ == *id) defaultOut_ = firstWith(true);
    if (defaultIn_ == *id) defaultIn_ = firstWith(false);
    return id;
}

void ObjectTable::setRawProperty(AudioObjectID object, const PropertyAddress& a,
                                 std::vector<std::uint8_t> bytes, bool settable) {
    if (SimObject* o = find(object)) o->props[keyOf(a)] = {std::move(bytes), settable};
}

void ObjectTable::removeProperty(AudioObjectID object, const PropertyAddress& a) {
    if (SimObject* o = find(object)) o->props.erase(keyOf(a));
}

void ObjectTable::setRefusesCallback(AudioObjectID device, bool refuses) {
    if (SimObject* o = find(device)) o->refuses = refuses;
}

void ObjectTable::restartService() {
    ++serviceRestarts_;
    for (auto& [id, o] : objects_)
        if (o->kind == SimObject::Kind::aggregate) o->refuses = true;
}

// ---- Aggregates and taps ----------------------------------------------------------------------

OSStatus ObjectTable::createAggregate(const AggregateDescription& d, AudioObjectID& out) {
    out = 0;
    if (d.uid.empty() || idForUID(d.uid)) return status::illegalOperation;
    auto o = std::make_unique<SimObject>();
    o->id = newId();
    o->kind = SimObject::Kind::aggregate;
    o->uid = d.uid;
    o->desc = d;
    o->props[{sel::name, scope::global, 0}] = {bytesOf(d.name), false};
    o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(d.uid), false};
    o->props[{sel::transportType, scope::global, 0}] = {bytesOf(transport::aggregate), false};
    o->props[{sel::nominalSampleRate, scope::global, 0}] = {bytesOf(sampleRate_), true};
    out = o->id;
    objects_.emplace(out, std::move(o));
    deviceOrder_.push_back(out);
    return noErr;
}

OSStatus ObjectTable::destroyAggregate(AudioObjectID device) {
    const SimObject* o = find(device);
    if (!o || o->kind != SimObject::Kind::aggregate) return status::badObject;
    objects_.erase(device);
    std::erase(deviceOrder_, device);
    if (defaultOut_ == device) {
        ++defaultOutputLosses_;
        defaultOut_ = 0;
        for (AudioObjectID id : deviceOrder_) {
            const SimObject* x = find(id);
            if (x && x->kind == SimObject::Kind::device && x->outChannels > 0) {
                defaultOut_ = id;
                break;
            }
        }
    }
    return noErr;
}

OSStatus ObjectTable::createTap(const TapDescription& d, AudioObjectID& out) {
    out = 0;
    if (sysPermission_ == SystemAudioPermission::refused)
        return static_cast<OSStatus>(fourcc("!hog"));
    auto o = std::make_unique<SimObject>();
    o->id = newId();
    o->kind = SimObject::Kind::tap;
    o->tap = d;
    o->uid = d.uuid;
    o->props[{sel::tapFormat, scope::global, 0}] = {bytesOf(stereoFloatFormat(sampleRate_)), false};
    o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(d.uuid), false};
    o->props[{sel::latency, scope::output, 0}] = {bytesOf(std::uint32_t{0}), true};
    out = o->id;
    objects_.emplace(out, std::move(o));
    return noErr;
}

OSStatus ObjectTable::destroyTap(AudioObjectID tap) {
    const SimObject* o = find(tap);
    if (!o || o->kind != SimObject::Kind::tap) return status::badObject;
    objects_.erase(tap);
    return noErr;
}

// ---- Read-backs -------------------------------------------------------------------------------

std::vector<AudioObjectID> ObjectTable::tapIDs() const {
    std::vector<AudioObjectID> ids;
    for (const auto& [id, o] : objects_)
        if (o->kind == SimObject::Kind::tap) ids.push_back(id);
    return ids;
}

std::vector<AudioObjectID> ObjectTable::aggregateIDs() const {
    std::vector<AudioObjectID> ids;
    for (const auto& [id, o] : objects_)
        if (o->kind == SimObject::Kind::aggregate) ids.push_back(id);
    return ids;
}

std::optional<TapDescription> ObjectTable::tapDescription(AudioObjectID tap) const {
    const SimObject* o = find(tap);
    if (!o || o->kind != SimObject::Kind::tap) return std::nullopt;
    return o->tap;
}

std::optional<AggregateDescription> ObjectTable::aggregateDescription(AudioObjectID device) const {
    const SimObject* o = find(device);
    if (!o || o->kind != SimObject::Kind::aggregate) return std::nullopt;
    return o->desc;
}

// ---- The property contract's questions --------------------------------------------------------
// The system object's lists and translations, each object's property table, and an aggregate's
// stream layout, made from its members. The calls themselves (sizes, statuses, the order of
// refusals) are the shared contract's.

AudioObjectID ObjectTable::processObject(std::int32_t pid) const {
    AudioObjectID found = 0;
    for (const auto& [id, o] : objects_)
        if (o->kind == SimObject::Kind::process && o->pid == pid) found = id;
    return found;
}

std::optional<PropertyBytes> ObjectTable::objectProperty(AudioObjectID object,
                                                         const PropertyAddress& a) {
    SimObject* o = find(object);
    if (!o) return std::nullopt;
    if (o->kind == SimObject::Kind::aggregate && a.selector == sel::streamConfiguration) {
        if (a.element != 0 || (a.scope != scope::output && a.scope != scope::input))
            return std::nullopt;
        return streamConfigurationBytes(layoutOf(*o, membersOf(*o)).channels(a.scope));
    }
    const auto* b = o->prop(a.selector, a.scope, a.element);
    if (!b) return std::nullopt;
    return *b;
}

OSStatus ObjectTable::setDefaultDevice(bool output, AudioObjectID id) {
    const SimObject* o = find(id);
    if (!o || (o->kind != SimObject::Kind::device && o->kind != SimObject::Kind::aggregate))
        return status::badObject;
    (output ? defaultOut_ : defaultIn_) = id;
    return noErr;
}

OSStatus ObjectTable::setObjectProperty(AudioObjectID object, const PropertyAddress& a,
                                        std::uint32_t dataSize, const void* data) {
    SimObject* o = find(object);
    if (!o) return status::badObject;
    const auto it = o->props.find(keyOf(a));
    if (it == o->props.end()) return status::unknownProperty;
    if (!it->second.settable) return status::illegalOperation;
    if (it->second.bytes.size() != dataSize) return status::badPropertySize;
    std::memcpy(it->second.bytes.data(), data, dataSize);
    return noErr;
}

}  // namespace housetone::sim
