#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "audio/device_access.h"
#include "audio/pipewire/pipewire_backend.h"
#include "support/alloc_hook.h"

namespace housetone {
namespace {

using namespace std::chrono_literals;

std::string run(const std::string& command) {
    std::string out;
    if (FILE* f = popen(command.c_str(), "r")) {
        char buf[512];
        while (fgets(buf, sizeof buf, f))
            out += buf;
        pclose(f);
    }
    return out;
}

// Every test runs in its own process (gtest discovery), so each gets a fresh private graph.
class PipeWireTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (std::system("command -v pipewire >/dev/null && command -v wireplumber >/dev/null"))
            return;
        char tmpl[] = "/tmp/housetone-pw-XXXXXX";
        if (!mkdtemp(tmpl)) return;
        dir_ = tmpl;
        if (std::system(("bash " HOUSETONE_PRIVATE_GRAPH " start " + dir_).c_str()) != 0) return;
        setenv("XDG_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
        setenv("PIPEWIRE_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
        unsetenv("PIPEWIRE_REMOTE");
        ready_ = true;
    }
    static void TearDownTestSuite() {
        if (dir_.empty()) return;
        std::system(("bash " HOUSETONE_PRIVATE_GRAPH " stop " + dir_).c_str());
        std::filesystem::remove_all(dir_);
    }
    void SetUp() override {
        if (!ready_) GTEST_SKIP() << "PipeWire and WirePlumber are not installed";
        std::string error;
        hw_ = pw::connectPipeWire(&error);
        ASSERT_TRUE(hw_) << error;
    }
    AudioHardware& hw() { return *hw_; }
    AudioObjectID id(const std::string& uid) { return deviceForUID(hw(), uid).value_or(0); }
    static std::string dir_;
    static bool ready_;
    std::unique_ptr<AudioHardware> hw_;
};
std::string PipeWireTest::dir_;
bool PipeWireTest::ready_ = false;

TEST_F(PipeWireTest, SpeakersAndMicrophoneAreListedWithTheirTransportChannelsAndNames) {
    const auto outs = outputDevices(hw());
    ASSERT_EQ(outs.size(), 4u);
    // Bluetooth first, then built in, then the rest by name.
    const std::array<std::tuple<const char*, const char*, std::uint32_t, int>, 4> want{{
        {"Room Bluetooth", "room.bt", transport::bluetooth, 2},
        {"Room Speakers", "room.builtin", transport::builtIn, 2},
        {"Room HDMI", "room.hdmi", transport::hdmi, 6},
        {"Room USB", "room.usb", transport::usb, 2},
    }};
    for (std::size_t i = 0; i < want.size(); ++i) {
        const auto& [name, uid, tr, ch] = want[i];
        EXPECT_EQ(outs[i].name, name);
        EXPECT_EQ(outs[i].uid, uid);
        EXPECT_EQ(outs[i].transport, tr) << uid;
        EXPECT_EQ(channelCount(hw(), outs[i].id, scope::output), ch) << uid;
        EXPECT_EQ(channelCount(hw(), outs[i].id, scope::input), 0) << uid;
        EXPECT_EQ(deviceForUID(hw(), uid), outs[i].id);
    }
    const auto ins = inputDevices(hw());
    ASSERT_EQ(ins.size(), 1u);
    EXPECT_EQ(ins[0].uid, "room.mic");
    EXPECT_EQ(channelCount(hw(), ins[0].id, scope::input), 1);
    EXPECT_EQ(nominalRate(hw(), ins[0].id), 48000.0);
    EXPECT_FALSE(deviceForUID(hw(), "room.nowhere"));
    EXPECT_EQ(defaultOutput(hw()), deviceForUID(hw(), "room.bt"));
    EXPECT_EQ(defaultInput(hw()), ins[0].id);

    EXPECT_TRUE(pw::pipeWireAnswers());
    EXPECT_EQ(pw::pipeWireVersion().rfind("PipeWire 0.3.", 0), 0u) << pw::pipeWireVersion();
    // No daemon where the environment points: the probe says so within its second.
    const std::string empty = dir_ + "/empty";
    std::filesystem::create_directories(empty);
    setenv("PIPEWIRE_RUNTIME_DIR", empty.c_str(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(pw::pipeWireAnswers(1.0));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms);
    setenv("PIPEWIRE_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
}

TEST_F(PipeWireTest, VolumeMuteAndDefaultsReachTheDaemonAsTheDesktopToolsShowThem) {
    const AudioObjectID usb = id("room.usb"), hdmi = id("room.hdmi");
    writeVolume(hw(), usb, 0.5f);
    writeMute(hw(), hdmi, true);
    ASSERT_TRUE(setFloat32Property(hw(), hdmi, sel::volumeScalar, scope::output, 2, 0.25f));
    EXPECT_FALSE(setFloat32Property(hw(), hdmi, sel::volumeScalar, scope::output, 7, 0.25f));
    ASSERT_TRUE(setDefaultOutput(hw(), usb));
    EXPECT_FALSE(setDefaultInput(hw(), usb));  // a speaker records nothing

    // What the daemon holds, read by another client and by the desktop's own tool.
    std::this_thread::sleep_for(300ms);
    auto other = pw::connectPipeWire();
    ASSERT_TRUE(other);
    EXPECT_NEAR(readVolume(*other, usb).value_or(-1), 0.5f, 1e-4);
    EXPECT_EQ(readMute(*other, hdmi), true);
    EXPECT_EQ(readMute(*other, usb), false);
    float ch2 = 0;
    std::uint32_t size = 4;
    other->getPropertyData(hdmi, {sel::volumeScalar, scope::output, 2}, 0, nullptr, size, &ch2);
    EXPECT_NEAR(ch2, 0.25f, 1e-4);
    EXPECT_NEAR(readVolume(*other, hdmi).value_or(-1), 1.f, 1e-4);  // the loudest channel
    EXPECT_NE(run("wpctl get-volume " + std::to_string(usb)).find("Volume: 0.50"),
              std::string::npos);
    EXPECT_EQ(defaultOutput(*other), usb);
    EXPECT_NE(run("pw-metadata 0 default.audio.sink").find("room.usb"), std::string::npos);
}

}  // namespace
}  // namespace housetone
