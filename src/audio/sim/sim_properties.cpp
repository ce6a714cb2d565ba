// Property tables: what every object answers to has / size / get / set, including the system
// object's lists and translations and an aggregate's stream layout, made from its members.
#include <algorithm>

#include "audio/sim/sim_state.h"

namespace housetone::sim {

// A stream configuration as the layer reports it: one buffer description per stream.
std::vector<std::uint8_t> streamConfig(const std::vector<std::uint32_t>& channelsPerStream) {
    BufferListStorage s(static_cast<std::uint32_t>(channelsPerStream.size()));
    for (std::size_t i = 0; i < channelsPerStream.size(); ++i)
        s.list()->buffers()[i] = AudioBuffer{channelsPerStream[i], 0, nullptr};
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.list());
    const std::size_t n =
        channelsPerStream.empty() ? offsetof(AudioBufferList, mBuffers) : s.byteSize();
    return {p, p + n};
}

std::vector<SimAudioSystem::Object*> SimAudioSystem::membersOf(const Object& agg) {
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

std::optional<std::vector<std::uint8_t>> SimAudioSystem::propBytes(AudioObjectID object,
                                                                   const PropertyAddress& a,
                                                                   std::uint32_t qualSize,
                                                                   const void* qual) {
    if (object == systemObject) {
        if (a.scope != scope::global || a.element != 0) return std::nullopt;
        switch (a.selector) {
            case sel::devices: {
                std::vector<std::uint8_t> b;
                for (AudioObjectID id : impl_->deviceOrder) {
                    const auto v = bytesOf(id);
                    b.insert(b.end(), v.begin(), v.end());
                }
                return b;
            }
            case sel::defaultOutput:
                return bytesOf(impl_->defaultOut);
            case sel::defaultInput:
                return bytesOf(impl_->defaultIn);
            case sel::serviceRestarted:
                return bytesOf(impl_->serviceRestarts);
            case sel::translateUIDToDevice: {
                if (!qual && qualSize) return std::nullopt;
                const std::string uid(static_cast<const char*>(qual), qualSize);
                return bytesOf(idForUIDLocked(uid).value_or(0));
            }
            case sel::translatePIDToProcessObject: {
                if (qualSize != sizeof(std::int32_t) || !qual) return std::nullopt;
                std::int32_t pid;
                std::memcpy(&pid, qual, sizeof pid);
                AudioObjectID found = 0;
                for (const auto& [id, o] : impl_->objects)
                    if (o->kind == Object::Kind::process && o->pid == pid) found = id;
                return bytesOf(found);
            }
            default:
                return std::nullopt;
        }
    }
    Object* o = find(object);
    if (!o) return std::nullopt;
    if (o->kind == Object::Kind::aggregate && a.selector == sel::streamConfiguration &&
        a.element == 0) {
        std::vector<std::uint32_t> streams;
        const auto members = membersOf(*o);
        if (a.scope == scope::output) {
            if (o->desc.stacked) {
                int ch = 0;
                for (const Object* m : members)
                    ch = std::max(ch, m->outChannels);
                if (ch > 0) streams.push_back(static_cast<std::uint32_t>(ch));
            } else {
                for (const Object* m : members)
                    if (m->outChannels > 0)
                        streams.push_back(static_cast<std::uint32_t>(m->outChannels));
            }
        } else if (a.scope == scope::input) {
            if (o->desc.taps)
                for (std::size_t i = 0; i < o->desc.taps->size(); ++i)
                    streams.push_back(2);
            for (const Object* m : members)
                if (m->inChannels > 0) streams.push_back(static_cast<std::uint32_t>(m->inChannels));
        } else {
            return std::nullopt;
        }
        return streamConfig(streams);
    }
    const auto* b = o->prop(a.selector, a.scope, a.element);
    if (!b) return std::nullopt;
    return *b;
}

bool SimAudioSystem::hasProperty(AudioObjectID object, const PropertyAddress& a) {
    std::lock_guard lock(mutex_);
    OSStatus st;
    if (faulted(Call::hasProperty, object, a.selector, st)) return false;
    if (object == systemObject)
        return a.selector == sel::devices || a.selector == sel::defaultOutput ||
               a.selector == sel::defaultInput || a.selector == sel::translateUIDToDevice ||
               a.selector == sel::translatePIDToProcessObject ||
               a.selector == sel::serviceRestarted;
    const Object* o = find(object);
    if (!o) return false;
    if (o->kind == Object::Kind::aggregate && a.selector == sel::streamConfiguration) return true;
    return o->prop(a.selector, a.scope, a.element) != nullptr;
}

OSStatus SimAudioSystem::getPropertyDataSize(AudioObjectID object, const PropertyAddress& a,
                                             std::uint32_t qualSize, const void* qual,
                                             std::uint32_t& outSize) {
    std::lock_guard lock(mutex_);
    OSStatus st;
    if (faulted(Call::getPropertyDataSize, object, a.selector, st)) return st;
    if (object != systemObject && !find(object)) return status::badObject;
    const auto b = propBytes(object, a, qualSize, qual);
    if (!b) return status::unknownProperty;
    outSize = static_cast<std::uint32_t>(b->size());
    return noErr;
}

OSStatus SimAudioSystem::getPropertyData(AudioObjectID object, const PropertyAddress& a,
                                         std::uint32_t qualSize, const void* qual,
                                         std::uint32_t& ioSize, void* outData) {
    std::lock_guard lock(mutex_);
    OSStatus st;
    if (faulted(Call::getPropertyData, object, a.selector, st)) return st;
    if (object != systemObject && !find(object)) return status::badObject;
    const auto b = propBytes(object, a, qualSize, qual);
    if (!b) return status::unknownProperty;
    // Scalars must fit whole; lists and strings are cut to the caller's buffer.
    if (b->size() <= 8 && ioSize < b->size() && a.selector != sel::name &&
        a.selector != sel::deviceUID)
        return status::badPropertySize;
    const auto n = std::min<std::size_t>(ioSize, b->size());
    if (n) std::memcpy(outData, b->data(), n);
    ioSize = static_cast<std::uint32_t>(n);
    return noErr;
}

OSStatus SimAudioSystem::setPropertyData(AudioObjectID object, const PropertyAddress& a,
                                         std::uint32_t, const void*, std::uint32_t dataSize,
                                         const void* data) {
    std::lock_guard lock(mutex_);
    OSStatus st;
    if (faulted(Call::setPropertyData, object, a.selector, st)) return st;
    if (object == systemObject) {
        if (a.selector != sel::defaultOutput && a.selector != sel::defaultInput)
            return status::unknownProperty;
        if (dataSize != sizeof(AudioObjectID)) return status::badPropertySize;
        AudioObjectID id;
        std::memcpy(&id, data, sizeof id);
        const Object* o = find(id);
        if (!o || (o->kind != Object::Kind::device && o->kind != Object::Kind::aggregate))
            return status::badObject;
        (a.selector == sel::defaultOutput ? impl_->defaultOut : impl_->defaultIn) = id;
        return noErr;
    }
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
