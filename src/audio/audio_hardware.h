#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/fourcc.h"
#include "platform/clock.h"

namespace housetone {

// ---- Scalar types of the hardware layer -------------------------------------------------------

using OSStatus = std::int32_t;  // 0 = success; printed in signed decimal
using AudioObjectID = std::uint32_t;
using AudioSelector = std::uint32_t;
using AudioScope = std::uint32_t;
using AudioElement = std::uint32_t;

constexpr OSStatus noErr = 0;
constexpr AudioObjectID systemObject = 1;

// Statuses the hardware layer returns; any non-zero value is a failure.
namespace status {
constexpr OSStatus unknownProperty = static_cast<OSStatus>(fourcc("who?"));
constexpr OSStatus badObject = static_cast<OSStatus>(fourcc("!obj"));
constexpr OSStatus badPropertySize = static_cast<OSStatus>(fourcc("!siz"));
constexpr OSStatus unsupported = static_cast<OSStatus>(fourcc("unop"));
constexpr OSStatus illegalOperation = static_cast<OSStatus>(fourcc("nope"));
constexpr OSStatus badDevice = static_cast<OSStatus>(fourcc("!dev"));
}  // namespace status

struct PropertyAddress {
    AudioSelector selector;
    AudioScope scope;
    AudioElement element = 0;  // the main element unless a caller says otherwise
};

// Selectors, scopes and property names the program uses.
namespace sel {
constexpr AudioSelector devices = fourcc("dev#");
constexpr AudioSelector defaultOutput = fourcc("dOut");
constexpr AudioSelector defaultInput = fourcc("dIn ");
constexpr AudioSelector translateUIDToDevice = fourcc("uidd");
constexpr AudioSelector translatePIDToProcessObject = fourcc("id2p");
constexpr AudioSelector streamConfiguration = fourcc("slay");
constexpr AudioSelector name = fourcc("lnam");
constexpr AudioSelector deviceUID = fourcc("uid ");
constexpr AudioSelector transportType = fourcc("tran");
constexpr AudioSelector nominalSampleRate = fourcc("nsrt");
constexpr AudioSelector virtualMainVolume = fourcc("vmvc");
constexpr AudioSelector volumeScalar = fourcc("volm");
constexpr AudioSelector mute = fourcc("mute");
constexpr AudioSelector tapFormat = fourcc("tfmt");
// Output scope, UInt32 frames at the device's rate. On a device: how long a sample written to it
// takes to leave it, as the device itself reports it (Bluetooth and network links report what
// they assume, not what they measure). On a tap, settable: the latency the tap reports to the
// programs that play into it, which players use to keep pictures in step with their sound.
constexpr AudioSelector latency = fourcc("ltnc");
// Output scope, UTF-8 strings: how a wireless link carries the sound just now, in the audio
// system's own words (for Bluetooth the profile, such as "a2dp-sink", and the codec, such as
// "aac"); missing when the device says nothing of it. A speaker's latency belongs to its link as
// much as to the device, so what was measured is remembered per link.
constexpr AudioSelector linkProfile = fourcc("lprf");
constexpr AudioSelector linkCodec = fourcc("lcdc");
// System object, UInt32: how many times the audio service has come back after going away (its
// daemon restarted). Object ids from before a restart no longer mean the same objects, and what a
// program had built in the service (taps, aggregates, running callbacks) is gone.
constexpr AudioSelector serviceRestarted = fourcc("srst");
}  // namespace sel

namespace scope {
constexpr AudioScope global = fourcc("glob");
constexpr AudioScope output = fourcc("outp");
constexpr AudioScope input = fourcc("inpt");
}  // namespace scope

// ---- Records handed to I/O callbacks ----------------------------------------------------------

struct AudioBuffer {
    std::uint32_t mNumberChannels;
    std::uint32_t mDataByteSize;
    void* mData;  // interleaved Float32, or null
};

// The hardware layer's variable-length list: mNumberBuffers entries follow in mBuffers. Allocate
// with BufferListStorage, which sizes it for any count.
struct AudioBufferList {
    std::uint32_t mNumberBuffers;
    AudioBuffer mBuffers[1];

    static constexpr std::size_t bytesFor(std::uint32_t count) {
        return offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * (count ? count : 1);
    }
    AudioBuffer* buffers() { return mBuffers; }
    const AudioBuffer* buffers() const { return mBuffers; }
};

// Owns aligned memory for an AudioBufferList of `count` buffers, zero-initialised.
class BufferListStorage {
  public:
    explicit BufferListStorage(std::uint32_t count = 0);
    AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(words_.data()); }
    const AudioBufferList* list() const {
        return reinterpret_cast<const AudioBufferList*>(words_.data());
    }
    std::size_t byteSize() const { return AudioBufferList::bytesFor(list()->mNumberBuffers); }
    void resize(std::uint32_t count);

  private:
    std::vector<std::uint64_t> words_;
};

struct AudioTimeStamp {
    double mSampleTime = 0;       // frames since the device started
    std::uint64_t mHostTime = 0;  // host clock ticks (nanoseconds of the backend's clock)
};

// The 40-byte stream description a tap reports as its format.
struct AudioStreamBasicDescription {
    double mSampleRate;
    std::uint32_t mFormatID;
    std::uint32_t mFormatFlags;
    std::uint32_t mBytesPerPacket;
    std::uint32_t mFramesPerPacket;
    std::uint32_t mBytesPerFrame;
    std::uint32_t mChannelsPerFrame;
    std::uint32_t mBitsPerChannel;
    std::uint32_t mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

// Audio thread: an I/O callback must not lock, allocate, log or wait.
using AudioDeviceIOProc = OSStatus (*)(AudioObjectID device, const AudioTimeStamp* now,
                                       const AudioBufferList* inputData,
                                       const AudioTimeStamp* inputTime, AudioBufferList* outputData,
                                       const AudioTimeStamp* outputTime, void* clientData);
// Identifies one installed callback; 0 is never a valid id.
using AudioDeviceIOProcID = std::uint64_t;

// ---- Descriptions the program hands over ------------------------------------------------------

struct SubdeviceRecord {
    std::string uid;
    int drift = 0;  // 1: resampled to follow the main clock
    friend bool operator==(const SubdeviceRecord&, const SubdeviceRecord&) = default;
};

// An aggregate device description. `taps` and `tapAutoStart` are present only for the capture
// aggregate; toDictionary() leaves absent keys out, as the program hands them over.
struct AggregateDescription {
    std::string name;
    std::string uid;
    int isPrivate = 0;
    int stacked = 0;
    std::string master;
    std::vector<SubdeviceRecord> subdevices;
    std::optional<std::vector<SubdeviceRecord>> taps;
    std::optional<int> tapAutoStart;

    // {"name", "uid", "private", "stacked", "master", "subdevices": [{"uid","drift"}], "taps",
    // "tapautostart"}
    nlohmann::json toDictionary() const;
    friend bool operator==(const AggregateDescription&, const AggregateDescription&) = default;
};

enum class TapMuteBehavior : int { unmuted = 0, muted = 1, mutedWhenTapped = 2 };

// A process tap: stereo mix of every process except `excludedProcesses`.
struct TapDescription {
    std::vector<AudioObjectID> excludedProcesses;  // process objects ('id2p')
    bool stereoGlobalTapButExclude = true;
    std::string name;
    bool isPrivate = false;
    TapMuteBehavior muteBehavior = TapMuteBehavior::unmuted;
    std::string uuid;  // uppercase, hyphenated
};

// A fresh random UUID, uppercase with hyphens (8-4-4-4-12).
std::string makeUuidString();

// ---- The hardware layer -----------------------------------------------------------------------

// Every call the program makes of the audio hardware layer. Property data travels as raw bytes
// in the layer's own layouts (UInt32, Float32, Float64, AudioBufferList, stream description);
// strings (names, UIDs, UID qualifiers) travel as their UTF-8 bytes, without a terminator.
// Every call is thread-safe.
class AudioHardware {
  public:
    virtual ~AudioHardware() = default;

    virtual bool hasProperty(AudioObjectID object, const PropertyAddress& address) = 0;
    virtual OSStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                         std::uint32_t qualifierSize, const void* qualifier,
                                         std::uint32_t& outSize) = 0;
    // ioSize: capacity of `outData` in, bytes written out.
    virtual OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address,
                                     std::uint32_t qualifierSize, const void* qualifier,
                                     std::uint32_t& ioSize, void* outData) = 0;
    virtual OSStatus setPropertyData(AudioObjectID object, const PropertyAddress& address,
                                     std::uint32_t qualifierSize, const void* qualifier,
                                     std::uint32_t dataSize, const void* data) = 0;

    virtual OSStatus createAggregateDevice(const AggregateDescription& description,
                                           AudioObjectID& outDevice) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;

    virtual OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;

    virtual OSStatus createIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                                    AudioDeviceIOProcID& outID) = 0;
    // Once this returns, the callback never runs again.
    virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID id) = 0;
    virtual OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID id) = 0;
    // Once this returns, the callback never runs again until the next start.
    virtual OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID id) = 0;

    // The clock of this audio system: every sleep and deadline of code that works with its
    // devices goes through it.
    virtual Clock& clock() = 0;
};

}  // namespace housetone
