#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace housetone::sim {

constexpr double kSpeedOfSound = 343.0;  // m/s

// What a simulated room holds. Loaded from a room file (JSON) or built in code by tests.

struct Reflection {
    double delayMs = 0;  // extra path length after the direct sound, ms
    double level = 0;    // linear factor relative to the direct sound
};

// A moment at which an output's link changes while the room runs. Each member but atSeconds is
// optional; what a change leaves out keeps its value.
struct LinkChange {
    double atSeconds = 0;  // world time since the room started; heard from the next buffer on
    std::optional<double> latencyMs;
    std::optional<std::string> codec, profile;
    std::optional<double> reportedLatencyMs;
    // Above 0: the device leaves at atSeconds, as an unplugged one does, and comes back this much
    // later with the new values (a wireless link reconnecting).
    double goneSeconds = 0;
};

// Drift runs for this long after the latency was last set; a room is refused when its drift would
// carry a latency past the engine's reach within it, and beyond it the latency holds still, so
// every device's delay ring can be sized once.
constexpr double kDriftHorizonSeconds = 3600;

struct OutputSpec {
    std::string name;
    std::string uid;
    std::uint32_t transport = 0;  // four-character code
    int channels = 2;
    double latencyMs = 0;  // device (and link) latency before the sound leaves the speaker
    double distanceM = 1;  // to the listening position; sound travels at 343 m/s
    double level = 1;      // acoustic level at the listening position, linear
    double volume = 1;     // initial volume control value, 0..1
    bool hasVolume = true;
    bool hasMute = true;
    bool muted = false;
    std::optional<double> rate;  // nominal rate it reports; the room's rate when absent
    double jitterMs = 0;  // latency redrawn within +-jitterMs each time the device starts playing
    std::vector<Reflection> reflections;
    // How its wireless link carries the sound (sel::linkProfile, sel::linkCodec); unanswered when
    // absent.
    std::optional<std::string> codec, profile;
    // What it reports as its latency (sel::latency); its latency as set (latencyMs, then the
    // changes') when absent.
    std::optional<double> reportedLatencyMs;
    // Its latency grows by this many millionths of the time elapsed since it was last set (a clock
    // that runs slow); down to 0 at most.
    double driftPpm = 0;
    // A slow deterministic wander of its latency within +-wobbleMs, by at most a frame a buffer.
    double wobbleMs = 0;
    std::vector<LinkChange> changes;  // in time order, none while the device is gone
};

struct InputSpec {
    std::string name;
    std::string uid;
    std::uint32_t transport = 0;
    int channels = 1;
    double noiseRms = 0;  // white noise the device adds to what it records, linear RMS
};

enum class MicPermissionState { notDetermined, restricted, denied, authorized };
// granted: taps deliver the system mix; silent: taps are created but deliver digital silence;
// refused: tap creation fails with a non-zero status.
enum class SystemAudioPermission { granted, silent, refused };

struct RoomSpec {
    double sampleRate = 48000;
    int bufferFrames = 512;
    std::uint64_t seed = 1;
    // "music", "speech", "tonal", "gaps", "silence", or a path to a WAV file played in a loop.
    std::string systemAudio = "music";
    double systemAudioLevelDb = -30;  // RMS of the built-in materials while they sound, dBFS
    std::vector<OutputSpec> outputs;
    // An input whose uid equals an output's uid is the same device (a headset).
    std::vector<InputSpec> inputs;
    std::optional<std::string> defaultOutput;  // uid; the first output when absent
    std::optional<std::string> defaultInput;   // uid; the first input when absent
    MicPermissionState microphonePermission = MicPermissionState::authorized;
    bool microphoneRequestAnswer = true;
    SystemAudioPermission systemAudioPermission = SystemAudioPermission::granted;
};

// A room file that cannot be used. what() is one line naming the file, the member and the
// problem, fit to show to a person: whatever the file holds is written out printable.
class RoomError : public std::runtime_error {
  public:
    explicit RoomError(const std::string& message);
};

// Parses a room file's text; `fileName` only names the file in messages. Throws RoomError.
RoomSpec parseRoom(const std::string& text, const std::string& fileName);
// Reads and parses a room file. Throws RoomError (also when the file cannot be read).
RoomSpec loadRoomFile(const std::string& path);
// The built-in room used when no file is given.
RoomSpec defaultRoom();

// The longest latency a device will ever have: its largest set latency, with its jitter, its
// wobble and its drift over the horizon.
double reachLatencyMs(const OutputSpec& device);
// Length of the ring of past output a device keeps so that its latest sound (its longest latency,
// distance and reflections) can still reach the listening position: a power of two, in frames.
std::size_t outputHistoryFrames(const OutputSpec& device, double sampleRate, int bufferFrames);
// What simulating the room takes in memory, roughly: the rings and per-buffer stores of every
// device and of an aggregate over all of them.
std::uint64_t roomMemoryBytes(const RoomSpec& room);

// "builtin", "bluetooth", ... or a four-character code such as "usb "; nullopt when unknown.
std::optional<std::uint32_t> transportFromName(const std::string& name);

}  // namespace housetone::sim
