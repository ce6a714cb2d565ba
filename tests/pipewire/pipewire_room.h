#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct pw_stream;
struct pw_thread_loop;

namespace housetone::testsupport {

struct RoomSpeaker {
    std::string node;  // node.name, the UID the backend reports
    std::string description;
    std::string transport;  // "builtin", "bluetooth", "hdmi", "usb"
    int channels = 0;
    double delayMs = 0;  // from the speaker's input to the microphone, apart from one quantum
};

// A private, headless PipeWire graph (scripts/pipewire-room.sh) in a temporary directory of its
// own. While it exists this process's environment points PipeWire clients at it.
class PipewireRoom {
  public:
    // Empty when every program the room runs is installed; otherwise which one is missing.
    static std::string missingProgram();

    // Starts the room with its speakers' delays overridden by `delays` ("node=ms,node=ms"; empty
    // keeps the room's own). Throws std::runtime_error carrying the script's output on failure.
    explicit PipewireRoom(const std::string& delays = {});
    // Stops only the room's own processes, restores the environment and removes the directory.
    ~PipewireRoom();
    PipewireRoom(const PipewireRoom&) = delete;
    PipewireRoom& operator=(const PipewireRoom&) = delete;

    const std::string& dir() const { return dir_; }
    double rate() const { return rate_; }
    int quantum() const { return quantum_; }  // frames per graph cycle
    const std::string& microphone() const { return microphone_; }
    const std::vector<RoomSpeaker>& speakers() const { return speakers_; }

    // Every object in the graph as `pw-dump` shows it (an array of objects with "type", "info").
    static nlohmann::json graph();

  private:
    void adoptEnvironment();

    std::string dir_;
    double rate_ = 0;
    int quantum_ = 0;
    std::string microphone_;
    std::vector<RoomSpeaker> speakers_;
    // What each variable the room set held before (nullopt: unset), restored on destruction.
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A sink another program offers: a stream of this process that the graph lists as an audio sink
// of a USB device (so it is a speaker the program lists), named with whatever bytes it is given;
// PipeWire's own configuration syntax cannot carry every byte, the stream's properties can.
class ForeignSink {
  public:
    ForeignSink(const std::string& nodeName, const std::string& description);
    ~ForeignSink();
    ForeignSink(const ForeignSink&) = delete;
    ForeignSink& operator=(const ForeignSink&) = delete;

  private:
    pw_thread_loop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;
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

}  // namespace housetone::testsupport
