// What every object answers to the property calls: the system object's lists and translations,
// each object's property table, and an aggregate's stream layout, made from its members. The
// calls themselves (sizes, statuses, the order of refusals) are the shared contract's.
#include <algorithm>

#include "audio/sim/sim_state.h"

namespace housetone::sim {

std::vector<SimHardware::Object*> SimHardware::membersOf(const Object& agg) {
    std::vector<Object*> out;
    for (const auto& sd : agg.desc.subdevices) {
        for (AudioObjectID id : impl_->deviceOrder) {
            Object* o = find(id);
            if (o && o->kind == Object::Kind::device && o->uid == sd.uid) {
                out.push_back(o);
                break;
            }
        }
    }
    return out;
}

StreamLayout SimHardware::layoutOf(const Object& d, const std::vector<Object*>& members,
                                   bool withTaps) const {
    auto channels = [](const Object& o) {
        return LayoutMember{static_cast<std::uint32_t>(std::max(o.inChannels, 0)),
                            static_cast<std::uint32_t>(std::max(o.outChannels, 0))};
    };
    if (d.kind != Object::Kind::aggregate) return deviceLayout(channels(d));
    std::vector<LayoutMember> present;
    for (const Object* m : members)
        present.push_back(channels(*m));
    return aggregateLayout(d.desc, present, withTaps);
}

std::vector<AudioObjectID> SimHardware::devices() {
    return impl_->deviceOrder;
}

AudioObjectID SimHardware::defaultDevice(bool output) {
    return output ? impl_->defaultOut : impl_->defaultIn;
}

AudioObjectID SimHardware::deviceWithUID(const std::string& uid) {
    return idForUIDLocked(uid).value_or(0);
}

AudioObjectID SimHardware::processObject(std::int32_t pid) {
    AudioObjectID found = 0;
    for (const auto& [id, o] : impl_->objects)
        if (o->kind == Object::Kind::process && o->pid == pid) found = id;
    return found;
}

std::uint32_t SimHardware::serviceRestarts() {
    return impl_->serviceRestarts;
}

bool SimHardware::knows(AudioObjectID object) {
    return find(object) != nullptr;
}

std::optional<PropertyBytes> SimHardware::objectProperty(AudioObjectID object,
                                                         const PropertyAddress& a) {
    Object* o = find(object);
    if (!o) return std::nullopt;
    if (o->kind == Object::Kind::aggregate && a.selector == sel::streamConfiguration) {
        if (a.element != 0 || (a.scope != scope::output && a.scope != scope::input))
            return std::nullopt;
        return streamConfigurationBytes(layoutOf(*o, membersOf(*o)).channels(a.scope));
    }
    const auto* b = o->prop(a.selector, a.scope, a.element);
    if (!b) return std::nullopt;
    return *b;
}

OSStatus SimHardware::setDefaultDevice(bool output, AudioObjectID id) {
    const Object* o = find(id);
    if (!o || (o->kind != Object::Kind::device && o->kind != Object::Kind::aggregate))
        return status::badObject;
    (output ? impl_->defaultOut : impl_->defaultIn) = id;
    return noErr;
}

OSStatus SimHardware::setObjectProperty(AudioObjectID object, const PropertyAddress& a,
                                        std::uint32_t dataSize, const void* data) {
    Object* o = find(object);
    if (!o) return status::badObject;
    const auto it = o->props.find(keyOf(a));
    if (it == o->props.end()) return status::unknownProperty;
    if (!it->second.settable) return status::illegalOperation;
    if (it->second.bytes.size() != dataSize) return status::badPropertySize;
    std::memcpy(it->second.bytes.data(), data, dataSize);
    return noErr;
}

}  // namespace housetone::sim
