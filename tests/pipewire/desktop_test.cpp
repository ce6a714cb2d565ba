// Aligned mode as a desktop's own programs meet it: PulseAudio clients through pipewire-pulse and
// native PipeWire clients, playing to the default output of the room's graph.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>

#include "audio/device_access.h"
#include "audio/pipewire/pipewire_backend.h"
#include "core/offsets.h"
#include "engine/tap_engine.h"
#include "pipewire_room.h"
#include "platform/manual_main_queue.h"
#include "support/files.h"

namespace housetone {
namespace {

using namespace std::chrono_literals;
using testsupport::eventually;

std::string run(const std::string& command) {
    return testsupport::commandOutput(command);
}

// What a PulseAudio client is told about its stream's latency, ms: pacat's last running report,
// with the client's own buffer kept short. Empty when it reported nothing.
std::optional<double> pulseLatencyMs(const std::string& device) {
    const std::string out =
        run("timeout -s INT 1.5 pacat -v --latency-msec=20 --raw --format=float32le --rate=48000 "
            "--channels=2 " +
            (device.empty() ? std::string() : "--device='" + device + "' ") + "</dev/zero 2>&1");
    std::optional<double> last;
    static const std::regex report("Latency: ([0-9]+) usec");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), report);
         it != std::sregex_iterator(); ++it)
        last = std::stod((*it)[1]) / 1000.0;
    return last;
}

// The latency the graph hands a native client's playback port (what its stream's timing adds to
// its own buffering), ms; empty when the port says none.
std::optional<double> nativeLatencyMs(const std::string& clientNode, double rate) {
    const std::string port =
        run("pw-link -o -I | awk '$2 ~ /^" + clientNode + ":/ { print $1; exit }'");
    if (port.empty() || !std::isdigit(static_cast<unsigned char>(port[0]))) return std::nullopt;
    const std::string params =
        run("pw-cli enum-params " + std::to_string(std::stoul(port)) + " Latency");
    // The first object is the downstream side: quantum, rate and ns parts, each min then max.
    static const std::regex value("(Float|Int|Long) (-?[0-9.]+)");
    std::vector<double> v;
    for (auto it = std::sregex_iterator(params.begin(), params.end(), value);
         it != std::sregex_iterator() && v.size() < 6; ++it)
        v.push_back(std::stod((*it)[2]));
    if (v.size() < 6) return std::nullopt;
    return (v[2] + v[3]) / 2 / rate * 1000 + (v[4] + v[5]) / 2 / 1e6;
}

class DesktopTest : public testsupport::PipewireRoomTest {
  protected:
    void SetUp() override {
        PipewireRoomTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::string error;
        hw_ = pw::connectPipeWire(&error);
        ASSERT_TRUE(hw_) << error;
    }
    AudioHardware& hw() { return *hw_->hardware; }
    Dev speaker(const std::string& transport) {
        for (const auto& s : room().speakers())
            if (s.transport == transport)
                return {deviceForUID(hw(), s.node).value_or(0), s.description, s.node, 0};
        throw std::runtime_error("the room has no " + transport + " speaker");
    }
    std::optional<AudioBackend> hw_;
};

TEST_F(DesktopTest, ProgramsPlayingIntoTheTapAreToldHowLateTheirSoundLeavesTheSpeakers) {
    const Dev builtin = speaker("builtin"), usb = speaker("usb");
    const auto alone = pulseLatencyMs(builtin.uid);
    ASSERT_TRUE(alone) << "pacat reported no latency";

    ManualMainQueue mq;
    TapEngine engine(hw(), mq);
    std::optional<bool> started;
    engine.start(builtin, {builtin, usb}, Offsets({{builtin.uid, 0.0}, {usb.uid, 180.0}}), 1,
                 [&](bool ok) { started = ok; });
    ASSERT_TRUE(mq.runUntil([&] { return started.has_value(); }, 10));
    ASSERT_TRUE(*started) << engine.lastError().value_or("");

    // The room's speakers say they add nothing of their own: what is left is the engine's delay.
    const auto pulse = pulseLatencyMs("");
    ASSERT_TRUE(pulse);
    EXPECT_NEAR(*pulse - *alone, 180.0, 5.0);

    // A native client reads it from its own port, and follows a delay that moves.
    run("pw-cat --playback --rate 48000 --channels 2 --format f32 -P '{ node.name = "
        "\"latency-probe\" }' - </dev/zero >/dev/null 2>&1 & echo $! >'" +
        room().dir() + "/probe.pid'");
    const std::string pid = testsupport::readText(room().dir() + "/probe.pid");
    const auto probe = [&] { return nativeLatencyMs("latency-probe", room().rate()); };
    EXPECT_TRUE(eventually([&] { return probe() && std::abs(*probe() - 180.0) < 3.0; }, 5s))
        << probe().value_or(-1);
    engine.play(Offsets({{builtin.uid, 0.0}, {usb.uid, 40.0}}));
    EXPECT_TRUE(eventually([&] { return probe() && std::abs(*probe() - 40.0) < 3.0; }, 5s))
        << probe().value_or(-1);
    run("kill " + pid);
    engine.stop();
}

}  // namespace
}  // namespace housetone
