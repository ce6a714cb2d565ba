#pragma once

#include <optional>
#include <string>
#include <vector>

#include "audio/audio_hardware.h"
#include "core/dev.h"

namespace housetone {

// Stateless device access. Reads degrade to nullopt / empty / 0; writes report a flag that most
// callers ignore. Nothing here throws or logs.

// The UID of the aligned engine's own capture aggregate, which enumeration never lists.
inline constexpr const char* captureAggregateUID = "com.mirelo.housetone.capture";
inline constexpr const char* allSpeakersUID = "com.mirelo.housetone.allspeakers";

std::vector<AudioObjectID> deviceIDs(AudioHardware& hw);
// Sum of channels over the stream configuration in `scope`; 0 on any failure.
int channelCount(AudioHardware& hw, AudioObjectID device, AudioScope scope);
std::optional<std::string> stringProperty(AudioHardware& hw, AudioObjectID object,
                                          AudioSelector selector, AudioScope scope = scope::global);
std::optional<std::uint32_t> uint32Property(AudioHardware& hw, AudioObjectID object,
                                            AudioSelector selector, AudioScope scope,
                                            AudioElement element = 0);
bool setUInt32Property(AudioHardware& hw, AudioObjectID object, AudioSelector selector,
                       AudioScope scope, AudioElement element, std::uint32_t value);
bool setFloat32Property(AudioHardware& hw, AudioObjectID object, AudioSelector selector,
                        AudioScope scope, AudioElement element, float value);
// Never 0: a UID that is not connected gives nullopt.
std::optional<AudioObjectID> deviceForUID(AudioHardware& hw, const std::string& uid);
std::optional<AudioObjectID> defaultOutput(AudioHardware& hw);
std::optional<AudioObjectID> defaultInput(AudioHardware& hw);
bool setDefaultOutput(AudioHardware& hw, AudioObjectID device);
bool setDefaultInput(AudioHardware& hw, AudioObjectID device);
// Hz; callers substitute their own default when absent.
std::optional<double> nominalRate(AudioHardware& hw, AudioObjectID device);
bool hasOutputProperty(AudioHardware& hw, AudioObjectID device, AudioSelector selector);
std::optional<float> readVolume(AudioHardware& hw, AudioObjectID device);
// The virtual main volume first (it moves every channel at once); when the device refuses it,
// the scalars of channels 1 and 2.
void writeVolume(AudioHardware& hw, AudioObjectID device, float volume);
std::optional<bool> readMute(AudioHardware& hw, AudioObjectID device);
void writeMute(AudioHardware& hw, AudioObjectID device, bool muted);
// 0 when the device has no transport property or the read fails.
std::uint32_t transportOf(AudioHardware& hw, AudioObjectID device);

// How a speaker is connected just now, as far as its latency depends on it: the link's profile
// and codec ("a2dp-sink/aac", "/sbc" without a profile, "" for a device that names neither) and
// the latency it reports, ms (absent when it reports none).
struct LinkState {
    std::string key;
    std::optional<double> reportedMs;
    friend bool operator==(const LinkState&, const LinkState&) = default;
};
LinkState linkState(AudioHardware& hw, AudioObjectID device);

bool hasVolume(AudioHardware& hw, const Dev& d);
bool hasMute(AudioHardware& hw, const Dev& d);

// Speakers, Bluetooth first, then built-in, then the rest; names ascending within a rank.
std::vector<Dev> outputDevices(AudioHardware& hw);
// Microphones, built-in first, Bluetooth last.
std::vector<Dev> inputDevices(AudioHardware& hw);
// The first input-capable built-in device in the platform's order.
std::optional<AudioObjectID> builtInMicrophone(AudioHardware& hw);

}  // namespace housetone
