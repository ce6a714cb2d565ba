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
    // "music", "silence", or a path to a WAV file played in a loop.
    std::string systemAudio = "music";
    double systemAudioLevelDb = -30;  // RMS of the built-in music, dBFS
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

// Length of the ring of past output a device keeps so that its latest sound (latency, jitter,
// distance and reflections) can still reach the listening position: a power of two, in frames.
std::size_t outputHistoryFrames(const OutputSpec& device, double sampleRate, int bufferFrames);
// What simulating the room takes in memory, roughly: the rings and per-buffer stores of every
// device and of an aggregate over all of them.
std::uint64_t roomMemoryBytes(const RoomSpec& room);

// "builtin", "bluetooth", ... or a four-character code such as "usb "; nullopt when unknown.
std::optional<std::uint32_t> transportFromName(const std::string& name);

}  // namespace housetone::sim
