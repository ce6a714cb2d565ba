#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/audio_backend.h"

struct pw_stream;
struct pw_thread_loop;

namespace housetone::testsupport {

// Polls `done` every 20 ms until it holds (true) or `limit` passes (false).
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    for (auto end = std::chrono::steady_clock::now() + limit; !done();) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// What a shell command run against the room writes to its standard output.
std::string run(const std::string& command);

struct RoomSpeaker {
    std::string node;  // node.name, the UID the backend reports
    std::string description;
    std::string transport;  // "builtin", "bluetooth", "hdmi", "usb", "network"
    int channels = 0;
    // From the speaker's input to the microphone, apart from one quantum. A network speaker's is
    // only its air: what its network path adds is not known to the room.
    double delayMs = 0;
};

// A private, headless PipeWire graph (scripts/pipewire-room.sh) in a temporary directory of its
// own. While it exists this process's environment points PipeWire clients at it.
class PipewireRoom {
  public:
    // Empty when every program the room runs is installed; otherwise which one is missing.
    static std::string missingProgram();

    // Starts the room with its speakers' delays overridden by `delays` ("node=ms,node=ms"; empty
    // keeps the room's own) and the script's further choices in `choices` ("NAME=value" words put
    // before every call of the script, e.g. "HOUSETONE_ROOM_NETWORK=rtp"). Throws
    // std::runtime_error carrying the script's output on failure.
    explicit PipewireRoom(const std::string& delays = {}, const std::string& choices = {});
    // Stops only the room's own processes, restores the environment and removes the directory.
    ~PipewireRoom();
    PipewireRoom(const PipewireRoom&) = delete;
    PipewireRoom& operator=(const PipewireRoom&) = delete;

    const std::string& dir() const { return dir_; }
    double rate() const { return rate_; }
    const std::string& microphone() const { return microphone_; }
    const std::vector<RoomSpeaker>& speakers() const { return speakers_; }

    // Starts "pipewire" (with the session manager and the room's links) or "wireplumber" again,
    // as a desktop's service manager would after it went away; false, with the script's output
    // added as a failure, when the graph did not come back.
    bool restart(const std::string& daemon);

    // Every object in the graph as `pw-dump` shows it (an array of objects with "type", "info").
    // Bytes of names that are no UTF-8 (pw-dump passes them on raw) read as "?".
    static nlohmann::json graph();
    // A property of a graph object (from its "info" "props") as text: pw-dump writes a value that
    // looks like a number as a number. Empty when absent.
    static std::string prop(const nlohmann::json& object, const std::string& key);
    // The nodes that the streams of the sink called `sinkName` (its process's other nodes) play
    // into: one entry per stream and node it feeds, so a speaker fed twice shows twice.
    static std::multiset<std::uint32_t> fedBy(const nlohmann::json& graph,
                                              const std::string& sinkName);

  private:
    void adoptEnvironment();

    std::string dir_;
    std::string choices_;
    double rate_ = 0;
    std::string microphone_;
    std::vector<RoomSpeaker> speakers_;
    // What each variable the room set held before (nullopt: unset), restored on destruction.
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A sink of this test process's own, its node.name and description byte for byte as given (the
// configuration syntax cannot carry every byte, a stream's properties can): what a strange device
// or another program's sink looks like to the graph. Carries a USB bus so the backend lists it.
// `mediaType` other than "Audio" makes one that no audio stream is ever linked to.
class ExtraSink {
  public:
    explicit ExtraSink(const std::string& nodeName, const std::string& description = "",
                       const std::string& mediaType = "Audio");
    ~ExtraSink();
    ExtraSink(const ExtraSink&) = delete;
    ExtraSink& operator=(const ExtraSink&) = delete;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A suite whose tests share one room, started before its first test and stopped after its last.
// Tests are skipped, with the reason printed, only where PipeWire is not installed.
class PipewireRoomTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { startRoom({}); }
    // Starts the suite's room with the given delays (see PipewireRoom); a suite that needs its
    // own hides SetUpTestSuite with one that calls this.
    static void startRoom(const std::string& delays);
    static void TearDownTestSuite() { room_.reset(); }
    void SetUp() override;

    static PipewireRoom& room() { return *room_; }

  private:
    static std::unique_ptr<PipewireRoom> room_;
    static std::string skipReason_;
    static std::string startFailure_;
};

// A process of the test program that plays the program's part: it starts aligned mode on the
// room's built-in and USB speakers (the tap becomes the default output), writes its pid to
// DIR/ready and waits to be killed. Its exit status is non-zero when aligned did not start.
inline constexpr const char* holdTapOption = "--hold-aligned-tap";
int holdAlignedTap(const std::string& dir);

// A suite in one room whose tests each talk to it through a backend connection of their own.
class BackendRoomTest : public PipewireRoomTest {
  protected:
    void SetUp() override;
    AudioHardware& hw() { return *hw_->hardware; }
    std::optional<AudioBackend> hw_;
};

}  // namespace housetone::testsupport
