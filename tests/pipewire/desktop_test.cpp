// Aligned mode as a desktop's own programs meet it: PulseAudio clients through pipewire-pulse and
// native PipeWire clients, playing to the default output of the room's graph.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>

#include "audio/device_access.h"
#include "audio/pipewire/pipewire_backend.h"
#include "core/offsets.h"
#include "engine/tap_engine.h"
#include "pipewire_room.h"
#include "platform/manual_main_queue.h"
#include "support/engine_start.h"
#include "support/files.h"

#include <sys/wait.h>
#include <unistd.h>

namespace housetone {
namespace {

using namespace std::chrono_literals;
using testsupport::eventually;
using testsupport::run;
using testsupport::startAndWait;

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

class DesktopTest : public testsupport::BackendRoomTest {
  protected:
    Dev speaker(const std::string& transport) {
        for (const auto& s : room().speakers())
            if (s.transport == transport)
                return {deviceForUID(hw(), s.node).value_or(0), s.description, s.node, 0};
        throw std::runtime_error("the room has no " + transport + " speaker");
    }
};

TEST_F(DesktopTest, ProgramsPlayingIntoTheTapAreToldHowLateTheirSoundLeavesTheSpeakers) {
    const Dev builtin = speaker("builtin"), usb = speaker("usb");
    const auto alone = pulseLatencyMs(builtin.uid);
    ASSERT_TRUE(alone) << "pacat reported no latency";

    ManualMainQueue mq;
    TapEngine engine(hw(), mq);
    ASSERT_EQ(
        startAndWait(engine, mq, {builtin, usb}, Offsets({{builtin.uid, 0.0}, {usb.uid, 180.0}})),
        true)
        << engine.lastError().value_or("");

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

// The sink a PulseAudio client named `client` plays to, by node name; empty when none is.
std::string pulseSinkOf(const std::string& client) {
    try {
        const auto inputs = nlohmann::json::parse(run("pactl --format=json list sink-inputs"));
        const auto sinks = nlohmann::json::parse(run("pactl --format=json list short sinks"));
        for (const auto& in : inputs)
            if (in.at("properties").value("application.name", "") == client)
                for (const auto& sink : sinks)
                    if (sink.at("index") == in.at("sink")) return sink.at("name");
    } catch (const nlohmann::json::exception&) {
    }
    return {};
}

// A PulseAudio client that plays silence under the name `client` until the test ends.
class PulseClient {
  public:
    PulseClient(const std::string& dir, const std::string& client) : file_(dir + "/" + client) {
        run("pacat --raw --property=application.name=" + client +
            " </dev/zero >/dev/null 2>&1 & echo $! >'" + file_ + ".pid'");
    }
    ~PulseClient() { run("kill $(cat '" + file_ + ".pid')"); }
    PulseClient(const PulseClient&) = delete;
    PulseClient& operator=(const PulseClient&) = delete;

  private:
    std::string file_;
};

// Moves a PulseAudio client to `sink` by hand, as a desktop's volume control does.
void moveByHand(const std::string& client, const std::string& sink) {
    const auto inputs = nlohmann::json::parse(run("pactl --format=json list sink-inputs"));
    for (const auto& in : inputs)
        if (in.at("properties").value("application.name", "") == client)
            run("pactl move-sink-input " + std::to_string(in.at("index").get<int>()) + " '" + sink +
                "'");
}

std::string configuredSink() {
    return run("pw-metadata 0 default.configured.audio.sink");
}

// Keepers started under this room's graph, by pid.
std::vector<int> keepersOf(const std::string& roomDir) {
    std::vector<int> out;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = e.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (testsupport::readText(e.path() / "comm") != "housetone-keep\n") continue;
        if (testsupport::readText(e.path() / "environ").find(roomDir) != std::string::npos)
            out.push_back(std::stoi(pid));
    }
    return out;
}

TEST_F(DesktopTest, ASpeakerThatLeavesWhileAlignedPlaysCostsTheOthersNoCycle) {
    const Dev builtin = speaker("builtin");
    auto leaving = std::make_unique<testsupport::ExtraSink>("leaving-speaker", "Leaving Speaker");
    Dev gone{0, "Leaving Speaker", "leaving-speaker", 0};
    ASSERT_TRUE(eventually(
        [&] {
            gone.id = deviceForUID(hw(), gone.uid).value_or(0);
            return channelCount(hw(), gone.id, scope::output) == 2;
        },
        5s));
    ManualMainQueue mq;
    TapEngine engine(hw(), mq);
    ASSERT_EQ(startAndWait(engine, mq, {builtin, gone}), true);
    std::this_thread::sleep_for(500ms);

    // Every cycle of the graph still reaches the engine while the speaker goes and after: what it
    // took in keeps pace with the clock, give or take the cycle each reading may fall into.
    engine.readMeter();
    const auto from = std::chrono::steady_clock::now();
    leaving.reset();
    std::this_thread::sleep_for(2s);
    const auto m = engine.readMeter();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    EXPECT_NEAR(static_cast<double>(m.frames), seconds * room().rate(), 2 * 1024.0);
    EXPECT_FALSE(deviceForUID(hw(), gone.uid));
    engine.stop();
}

TEST_F(DesktopTest, ProgramsFollowTheModeUnlessTheUserPinnedThemToASpeaker) {
    const Dev builtin = speaker("builtin"), usb = speaker("usb"), tv = speaker("hdmi");
    ASSERT_TRUE(setDefaultOutput(hw(), builtin.id));
    const std::string dir = room().dir();
    const auto on = [](const std::string& client, const std::string& sink) {
        return eventually([&] { return pulseSinkOf(client).starts_with(sink); }, 5s);
    };
    PulseClient before(dir, "before"), pinned(dir, "pinned");
    ASSERT_TRUE(on("before", builtin.uid));
    ASSERT_TRUE(on("pinned", builtin.uid));  // it must be playing before it can be moved
    // A move made while the client is still settling may not take; the user would move it again.
    ASSERT_TRUE(eventually(
        [&] {
            moveByHand("pinned", tv.uid);
            return on("pinned", tv.uid);
        },
        10s));

    ManualMainQueue mq;
    TapEngine engine(hw(), mq);
    ASSERT_EQ(startAndWait(engine, mq, {builtin, usb}), true);
    PulseClient during(dir, "during");
    EXPECT_TRUE(on("before", "housetone.tap.")) << pulseSinkOf("before");
    EXPECT_TRUE(on("during", "housetone.tap.")) << pulseSinkOf("during");
    EXPECT_TRUE(on("pinned", tv.uid)) << pulseSinkOf("pinned");

    engine.stop();
    EXPECT_TRUE(on("before", builtin.uid)) << pulseSinkOf("before");
    EXPECT_TRUE(on("during", builtin.uid)) << pulseSinkOf("during");
    EXPECT_TRUE(on("pinned", tv.uid)) << pulseSinkOf("pinned");
}

TEST_F(DesktopTest, AProgramKilledInAlignedModeLeavesEveryProgramOnTheOutputItHadBefore) {
    const Dev usb = speaker("usb");
    ASSERT_TRUE(setDefaultOutput(hw(), usb.id));
    ASSERT_TRUE(
        eventually([&] { return configuredSink().find(usb.uid) != std::string::npos; }, 2s));
    const std::string dir = room().dir() + "/killed";
    std::filesystem::create_directories(dir);
    PulseClient player(dir, "film-player");
    ASSERT_TRUE(eventually([&] { return pulseSinkOf("film-player") == usb.uid; }, 5s));

    const pid_t program = fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        execl("/proc/self/exe", "housetone-pipewire-tests", testsupport::holdTapOption, dir.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    const bool ready = eventually([&] { return std::filesystem::exists(dir + "/ready"); }, 15s);
    EXPECT_TRUE(ready);
    if (ready) {
        EXPECT_TRUE(eventually(
            [&] { return pulseSinkOf("film-player").starts_with("housetone.tap."); }, 5s))
            << pulseSinkOf("film-player");
        // It names itself once it runs, which a sanitized build reaches only after a while.
        EXPECT_TRUE(eventually([&] { return keepersOf(room().dir()).size() == 1; }, 5s));
    }
    kill(program, SIGKILL);
    waitpid(program, nullptr, 0);

    // Nobody was left to hand the output back, and yet the choice is the user's again, and the
    // film plays on the speaker it played on before.
    EXPECT_TRUE(eventually([&] { return configuredSink().find(usb.uid) != std::string::npos; }, 5s))
        << configuredSink();
    EXPECT_TRUE(eventually([&] { return pulseSinkOf("film-player") == usb.uid; }, 5s))
        << pulseSinkOf("film-player");
    EXPECT_TRUE(eventually([&] { return keepersOf(room().dir()).empty(); }, 5s));

    // Had the keeper been killed as well, the next start withdraws the dead tap's claim.
    run("pw-metadata 0 default.configured.audio.sink '{ \"name\": \"" + std::string("housetone.") +
        "tap.0-gone\" }' Spa:String:JSON");
    ASSERT_TRUE(
        eventually([&] { return configuredSink().find("0-gone") != std::string::npos; }, 2s));
    std::string error;
    const auto next = pw::connectPipeWire(&error);
    ASSERT_TRUE(next) << error;
    EXPECT_TRUE(
        eventually([&] { return configuredSink().find("0-gone") == std::string::npos; }, 3s))
        << configuredSink();
}

}  // namespace

int testsupport::holdAlignedTap(const std::string& dir) {
    std::string error;
    auto backend = pw::connectPipeWire(&error);
    if (!backend) return 2;
    AudioHardware& hw = *backend->hardware;
    std::vector<Dev> targets;
    for (const char* uid : {"room-builtin-speakers", "room-surround-interface"})
        targets.push_back({deviceForUID(hw, uid).value_or(0), uid, uid, 0});
    ManualMainQueue mq;
    TapEngine engine(hw, mq);
    if (testsupport::startAndWait(engine, mq, targets) != true) return 3;
    std::ofstream(dir + "/ready") << getpid() << '\n';
    for (;;)
        pause();
}

}  // namespace housetone
