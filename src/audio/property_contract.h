#pragma once

// The property half of the hardware layer, written once for every backend: how answers are
// encoded, what size and get do with a caller's buffer, and in which order a call is refused.
// A backend answers typed questions (its device list, its default output, one object's
// property); the bytes and the statuses are decided here, so two backends cannot drift apart.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "audio/audio_hardware.h"

namespace housetone {

using PropertyBytes = std::vector<std::uint8_t>;

template <typename T>
PropertyBytes bytesOf(const T& v) {
    static_assert(std::is_trivially_copyable_v<T>);
    PropertyBytes b(sizeof(T));
    std::memcpy(b.data(), &v, sizeof(T));
    return b;
}

// Strings travel as their UTF-8 bytes, without a terminator.
inline PropertyBytes bytesOf(const std::string& s) {
    return {s.begin(), s.end()};
}

// The value `b` holds, or `fallback` when it is not exactly one T.
template <typename T>
T valueOf(const PropertyBytes& b, T fallback) {
    if (b.size() != sizeof(T)) return fallback;
    T v;
    std::memcpy(&v, b.data(), sizeof(T));
    return v;
}

// A stream configuration: the AudioBufferList header and one buffer description per stream.
// With no streams it is the header alone (the count and the padding before the first buffer).
PropertyBytes streamConfigurationBytes(const std::vector<std::uint32_t>& channelsPerStream);

// What a tap reports as its format: packed stereo Float32 at `rate`.
AudioStreamBasicDescription stereoFloatFormat(double rate);

// Get copies whole scalars only: a buffer too small for one is refused with badPropertySize,
// while names, UIDs and lists are cut to the caller's buffer. ioSize: capacity in, bytes out.
OSStatus copyPropertyAnswer(const PropertyAddress& a, const PropertyBytes& answer,
                            std::uint32_t& ioSize, void* outData);

// The property calls of AudioHardware over a backend's typed answers. Every call runs under the
// backend's lock (lockCalls/unlockCalls) and is refused first when the backend is unavailable,
// then with badObject for an object it does not know, then with unknownProperty for a property
// the object does not answer.
class PropertyContract : public AudioHardware {
  public:
    bool hasProperty(AudioObjectID object, const PropertyAddress& address) override;
    OSStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                 std::uint32_t qualifierSize, const void* qualifier,
                                 std::uint32_t& outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address,
                             std::uint32_t qualifierSize, const void* qualifier,
                             std::uint32_t& ioSize, void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const PropertyAddress& address,
                             std::uint32_t qualifierSize, const void* qualifier,
                             std::uint32_t dataSize, const void* data) override;

  protected:
    // The backend's lock, held for the whole of each property call.
    virtual void lockCalls() = 0;
    virtual void unlockCalls() = 0;
    // A status that refuses every call before anything else is asked (the service is gone);
    // noErr while the backend answers.
    virtual OSStatus unavailable() { return noErr; }

    // ---- The system object ----
    virtual std::vector<AudioObjectID> devices() = 0;
    virtual AudioObjectID defaultDevice(bool output) = 0;             // 0 when there is none
    virtual AudioObjectID deviceWithUID(const std::string& uid) = 0;  // 0 when unknown
    virtual AudioObjectID processObject(std::int32_t pid) = 0;        // 0 when unknown
    virtual std::uint32_t serviceRestarts() = 0;
    virtual OSStatus setDefaultDevice(bool output, AudioObjectID device) = 0;

    // ---- Every other object ----
    virtual bool knows(AudioObjectID object) = 0;
    // What `object` answers at `address`; nullopt for a property it does not have.
    virtual std::optional<PropertyBytes> objectProperty(AudioObjectID object,
                                                        const PropertyAddress& address) = 0;
    // Writes a property of a known object other than the system object.
    virtual OSStatus setObjectProperty(AudioObjectID object, const PropertyAddress& address,
                                       std::uint32_t dataSize, const void* data) = 0;

  private:
    struct CallLock;
    std::optional<PropertyBytes> answer(AudioObjectID object, const PropertyAddress& a,
                                        std::uint32_t qualSize, const void* qual);
    std::optional<PropertyBytes> systemProperty(const PropertyAddress& a, std::uint32_t qualSize,
                                                const void* qual);
    // The refusal every size and get call begins with: unavailable, then an unknown object.
    OSStatus refusal(AudioObjectID object);
};

}  // namespace housetone
