#include "audio/device_access.h"

#include <algorithm>
#include <cstring>

#include "core/printable.h"

namespace housetone {

namespace {

template <typename T>
std::optional<T> readScalar(AudioHardware& hw, AudioObjectID object, const PropertyAddress& a,
                            std::uint32_t qualSize = 0, const void* qual = nullptr) {
    T value{};
    std::uint32_t size = sizeof(T);
    if (hw.getPropertyData(object, a, qualSize, qual, size, &value) != noErr) return std::nullopt;
    if (size != sizeof(T)) return std::nullopt;
    return value;
}

template <typename T>
bool writeScalar(AudioHardware& hw, AudioObjectID object, const PropertyAddress& a, T value) {
    return hw.setPropertyData(object, a, 0, nullptr, sizeof(T), &value) == noErr;
}

enum class Order { output, input };

int rankOf(std::uint32_t t, Order order) {
    const bool bt = isBluetoothTransport(t);
    const bool builtIn = t == transport::builtIn;
    if (order == Order::output) return bt ? 0 : builtIn ? 1 : 2;
    return builtIn ? 0 : bt ? 2 : 1;
}

std::vector<Dev> enumerate(AudioHardware& hw, AudioScope scope, Order order) {
    std::vector<Dev> out;
    for (AudioObjectID id : deviceIDs(hw)) {
        if (channelCount(hw, id, scope) <= 0) continue;
        auto name = stringProperty(hw, id, sel::name);
        if (!name) continue;
        auto uid = stringProperty(hw, id, sel::deviceUID);
        if (!uid) continue;
        const std::uint32_t t = transportOf(hw, id);
        if (t == transport::virtualDevice || t == transport::aggregate) continue;
        if (*uid == captureAggregateUID) continue;
        out.push_back(Dev{id, std::move(*name), std::move(*uid), t});
    }
    std::stable_sort(out.begin(), out.end(), [order](const Dev& a, const Dev& b) {
        const int ra = rankOf(a.transport, order), rb = rankOf(b.transport, order);
        if (ra != rb) return ra < rb;
        return a.name < b.name;
    });
    return out;
}

}  // namespace

std::vector<AudioObjectID> deviceIDs(AudioHardware& hw) {
    const PropertyAddress a{sel::devices, scope::global, 0};
    std::uint32_t size = 0;
    if (hw.getPropertyDataSize(systemObject, a, 0, nullptr, size) != noErr) return {};
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    if (ids.empty()) return {};
    std::uint32_t io = static_cast<std::uint32_t>(ids.size() * sizeof(AudioObjectID));
    if (hw.getPropertyData(systemObject, a, 0, nullptr, io, ids.data()) != noErr) return {};
    ids.resize(io / sizeof(AudioObjectID));
    return ids;
}

int channelCount(AudioHardware& hw, AudioObjectID device, AudioScope scope) {
    const PropertyAddress a{sel::streamConfiguration, scope, 0};
    std::uint32_t size = 0;
    if (hw.getPropertyDataSize(device, a, 0, nullptr, size) != noErr || size == 0) return 0;
    std::vector<std::uint64_t> words((size + 7) / 8 + 1, 0);
    std::uint32_t io = size;
    if (hw.getPropertyData(device, a, 0, nullptr, io, words.data()) != noErr) return 0;
    const auto* list = reinterpret_cast<const AudioBufferList*>(words.data());
    if (io < offsetof(AudioBufferList, mBuffers)) return 0;
    // Trust only as many buffers as the bytes actually hold.
    const std::size_t fit = (io - offsetof(AudioBufferList, mBuffers)) / sizeof(AudioBuffer);
    const std::size_t n = std::min<std::size_t>(list->mNumberBuffers, fit);
    int total = 0;
    for (std::size_t i = 0; i < n; ++i)
        total += static_cast<int>(list->buffers()[i].mNumberChannels);
    return total;
}

std::optional<std::string> stringProperty(AudioHardware& hw, AudioObjectID object,
                                          AudioSelector selector, AudioScope scope) {
    const PropertyAddress a{selector, scope, 0};
    std::uint32_t size = 0;
    if (hw.getPropertyDataSize(object, a, 0, nullptr, size) != noErr) return std::nullopt;
    std::string s(size, '\0');
    std::uint32_t io = size;
    if (hw.getPropertyData(object, a, 0, nullptr, io, s.data()) != noErr) return std::nullopt;
    s.resize(std::min(io, size));
    return s;
}

std::optional<std::uint32_t> uint32Property(AudioHardware& hw, AudioObjectID object,
                                            AudioSelector selector, AudioScope scope,
                                            AudioElement element) {
    const PropertyAddress a{selector, scope, element};
    if (!hw.hasProperty(object, a)) return std::nullopt;
    return readScalar<std::uint32_t>(hw, object, a);
}

bool setUInt32Property(AudioHardware& hw, AudioObjectID object, AudioSelector selector,
                       AudioScope scope, AudioElement element, std::uint32_t value) {
    return writeScalar(hw, object, {selector, scope, element}, value);
}

bool setFloat32Property(AudioHardware& hw, AudioObjectID object, AudioSelector selector,
                        AudioScope scope, AudioElement element, float value) {
    return writeScalar(hw, object, {selector, scope, element}, value);
}

std::optional<AudioObjectID> deviceForUID(AudioHardware& hw, const std::string& uid) {
    const auto id =
        readScalar<AudioObjectID>(hw, systemObject, {sel::translateUIDToDevice, scope::global, 0},
                                  static_cast<std::uint32_t>(uid.size()), uid.data());
    if (!id || *id == 0) return std::nullopt;
    return id;
}

std::optional<AudioObjectID> defaultOutput(AudioHardware& hw) {
    auto id = uint32Property(hw, systemObject, sel::defaultOutput, scope::global);
    if (!id || *id == 0) return std::nullopt;
    return id;
}

std::optional<AudioObjectID> defaultInput(AudioHardware& hw) {
    auto id = uint32Property(hw, systemObject, sel::defaultInput, scope::global);
    if (!id || *id == 0) return std::nullopt;
    return id;
}

bool setDefaultOutput(AudioHardware& hw, AudioObjectID device) {
    return setUInt32Property(hw, systemObject, sel::defaultOutput, scope::global, 0, device);
}

bool setDefaultInput(AudioHardware& hw, AudioObjectID device) {
    return setUInt32Property(hw, systemObject, sel::defaultInput, scope::global, 0, device);
}

std::optional<double> nominalRate(AudioHardware& hw, AudioObjectID device) {
    return readScalar<double>(hw, device, {sel::nominalSampleRate, scope::global, 0});
}

bool hasOutputProperty(AudioHardware& hw, AudioObjectID device, AudioSelector selector) {
    return hw.hasProperty(device, {selector, scope::output, 0});
}

std::optional<float> readVolume(AudioHardware& hw, AudioObjectID device) {
    const PropertyAddress a{sel::virtualMainVolume, scope::output, 0};
    if (!hw.hasProperty(device, a)) return std::nullopt;
    return readScalar<float>(hw, device, a);
}

void writeVolume(AudioHardware& hw, AudioObjectID device, float volume) {
    if (setFloat32Property(hw, device, sel::virtualMainVolume, scope::output, 0, volume)) return;
    setFloat32Property(hw, device, sel::volumeScalar, scope::output, 1, volume);
    setFloat32Property(hw, device, sel::volumeScalar, scope::output, 2, volume);
}

std::optional<bool> readMute(AudioHardware& hw, AudioObjectID device) {
    const PropertyAddress a{sel::mute, scope::output, 0};
    if (!hw.hasProperty(device, a)) return std::nullopt;
    const auto v = readScalar<std::uint32_t>(hw, device, a);
    if (!v) return std::nullopt;
    return *v != 0;
}

void writeMute(AudioHardware& hw, AudioObjectID device, bool muted) {
    setUInt32Property(hw, device, sel::mute, scope::output, 0, muted ? 1u : 0u);
}

std::uint32_t transportOf(AudioHardware& hw, AudioObjectID device) {
    return uint32Property(hw, device, sel::transportType, scope::global).value_or(0);
}

LinkState linkState(AudioHardware& hw, AudioObjectID device) {
    // Strings from the audio system: cut and made printable before they become a settings key.
    const auto word = [&](AudioSelector selector) {
        const auto s = stringProperty(hw, device, selector, scope::output);
        return s ? printable(s->substr(0, 64)) : std::string();
    };
    LinkState link;
    const std::string profile = word(sel::linkProfile), codec = word(sel::linkCodec);
    if (!profile.empty() || !codec.empty()) link.key = profile + "/" + codec;
    const auto frames = uint32Property(hw, device, sel::latency, scope::output);
    const auto rate = nominalRate(hw, device);
    if (frames && rate && *rate > 0) link.reportedMs = *frames * 1000.0 / *rate;
    return link;
}

bool hasVolume(AudioHardware& hw, const Dev& d) {
    return hasOutputProperty(hw, d.id, sel::virtualMainVolume);
}

bool hasMute(AudioHardware& hw, const Dev& d) {
    return hasOutputProperty(hw, d.id, sel::mute);
}

std::vector<Dev> outputDevices(AudioHardware& hw) {
    return enumerate(hw, scope::output, Order::output);
}

std::vector<Dev> inputDevices(AudioHardware& hw) {
    return enumerate(hw, scope::input, Order::input);
}

std::optional<AudioObjectID> builtInMicrophone(AudioHardware& hw) {
    for (AudioObjectID id : deviceIDs(hw)) {
        if (channelCount(hw, id, scope::input) > 0 && transportOf(hw, id) == transport::builtIn)
            return id;
    }
    return std::nullopt;
}

}  // namespace housetone
