#include "audio/property_contract.h"

#include <algorithm>

namespace housetone {

PropertyBytes streamConfigurationBytes(const std::vector<std::uint32_t>& channelsPerStream) {
    const auto count = static_cast<std::uint32_t>(channelsPerStream.size());
    BufferListStorage s(count);
    for (std::uint32_t i = 0; i < count; ++i)
        s.list()->buffers()[i] = AudioBuffer{channelsPerStream[i], 0, nullptr};
    // BufferListStorage keeps room for one buffer even when there is none; the layout itself
    // ends after the last buffer it lists.
    const std::size_t size = offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * count;
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.list());
    return {p, p + size};
}

AudioStreamBasicDescription stereoFloatFormat(double rate) {
    AudioStreamBasicDescription f{};
    f.mSampleRate = rate;
    f.mFormatID = fourcc("lpcm");
    f.mFormatFlags = 1 | 8;  // float, packed
    f.mBytesPerPacket = 8;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 8;
    f.mChannelsPerFrame = 2;
    f.mBitsPerChannel = 32;
    return f;
}

OSStatus copyPropertyAnswer(const PropertyAddress& a, const PropertyBytes& answer,
                            std::uint32_t& ioSize, void* outData) {
    const bool text = a.selector == sel::name || a.selector == sel::deviceUID;
    if (answer.size() <= 8 && ioSize < answer.size() && !text) return status::badPropertySize;
    const auto n = std::min<std::size_t>(ioSize, answer.size());
    if (n) std::memcpy(outData, answer.data(), n);
    ioSize = static_cast<std::uint32_t>(n);
    return noErr;
}

struct PropertyContract::CallLock {
    explicit CallLock(PropertyContract& c) : contract(c) { contract.lockCalls(); }
    ~CallLock() { contract.unlockCalls(); }
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;
    PropertyContract& contract;
};

std::optional<PropertyBytes> PropertyContract::systemProperty(const PropertyAddress& a,
                                                              std::uint32_t qualSize,
                                                              const void* qual) {
    if (a.scope != scope::global || a.element != 0) return std::nullopt;
    switch (a.selector) {
        case sel::devices: {
            PropertyBytes b;
            for (AudioObjectID id : devices()) {
                const auto v = bytesOf(id);
                b.insert(b.end(), v.begin(), v.end());
            }
            return b;
        }
        case sel::defaultOutput:
        case sel::defaultInput:
            return bytesOf(defaultDevice(a.selector == sel::defaultOutput));
        case sel::serviceRestarted:
            return bytesOf(serviceRestarts());
        case sel::translateUIDToDevice:
            if (!qual && qualSize) return std::nullopt;
            return bytesOf(deviceWithUID(std::string(static_cast<const char*>(qual), qualSize)));
        case sel::translatePIDToProcessObject: {
            if (qualSize != sizeof(std::int32_t) || !qual) return std::nullopt;
            std::int32_t pid;
            std::memcpy(&pid, qual, sizeof pid);
            return bytesOf(processObject(pid));
        }
        default:
            return std::nullopt;
    }
}

std::optional<PropertyBytes> PropertyContract::answer(AudioObjectID object,
                                                      const PropertyAddress& a,
                                                      std::uint32_t qualSize, const void* qual) {
    if (object == systemObject) return systemProperty(a, qualSize, qual);
    return objectProperty(object, a);
}

OSStatus PropertyContract::refusal(AudioObjectID object) {
    if (const OSStatus st = unavailable(); st != noErr) return st;
    if (object != systemObject && !knows(object)) return status::badObject;
    return noErr;
}

bool PropertyContract::hasProperty(AudioObjectID object, const PropertyAddress& a) {
    CallLock lock(*this);
    if (refusal(object) != noErr) return false;
    // The process translation exists even though nothing can be read from it without a pid.
    if (object == systemObject && a.selector == sel::translatePIDToProcessObject) return true;
    return answer(object, a, 0, nullptr).has_value();
}

OSStatus PropertyContract::getPropertyDataSize(AudioObjectID object, const PropertyAddress& a,
                                               std::uint32_t qualSize, const void* qual,
                                               std::uint32_t& outSize) {
    CallLock lock(*this);
    if (const OSStatus st = refusal(object); st != noErr) return st;
    const auto b = answer(object, a, qualSize, qual);
    if (!b) return status::unknownProperty;
    outSize = static_cast<std::uint32_t>(b->size());
    return noErr;
}

OSStatus PropertyContract::getPropertyData(AudioObjectID object, const PropertyAddress& a,
                                           std::uint32_t qualSize, const void* qual,
                                           std::uint32_t& ioSize, void* outData) {
    CallLock lock(*this);
    if (const OSStatus st = refusal(object); st != noErr) return st;
    const auto b = answer(object, a, qualSize, qual);
    if (!b) return status::unknownProperty;
    return copyPropertyAnswer(a, *b, ioSize, outData);
}

OSStatus PropertyContract::setPropertyData(AudioObjectID object, const PropertyAddress& a,
                                           std::uint32_t, const void*, std::uint32_t dataSize,
                                           const void* data) {
    CallLock lock(*this);
    if (const OSStatus st = refusal(object); st != noErr) return st;
    if (object != systemObject) return setObjectProperty(object, a, dataSize, data);
    if (a.selector != sel::defaultOutput && a.selector != sel::defaultInput)
        return status::unknownProperty;
    if (dataSize != sizeof(AudioObjectID)) return status::badPropertySize;
    AudioObjectID id;
    std::memcpy(&id, data, sizeof id);
    return setDefaultDevice(a.selector == sel::defaultOutput, id);
}

}  // namespace housetone
