// Keep in step in the real graph: the program plays aligned and listens to the room's microphone
// while other programs' music plays, and a speaker's path to the microphone grows by 40 ms under
// it, as a Bluetooth speaker's does when it reconnects with another codec.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/settings_store.h"
#include "pipewire_room.h"
#include "support/files.h"
#include "support/temp_dir.h"

#ifdef HOUSETONE_ROOM_PROBE
#include "arrivals.h"
#endif

namespace housetone {
namespace {

using namespace std::chrono_literals;
using testsupport::PipewireRoom;

constexpr double rate = 48000;
constexpr double moveMs = 40;

class KeepInStepInRoomTest : public testsupport::PipewireRoomTest {};

std::string roomFile(const PipewireRoom& room, const char* name) {
    return testsupport::readText(std::filesystem::path(room.dir()) / name);
}

// What the room's truth file says each speaker's delay is now, ms by node name.
std::map<std::string, double> roomDelays(const PipewireRoom& room) {
    const auto truth = nlohmann::json::parse(roomFile(room, "room.json"));
    std::map<std::string, double> delays;
    for (const auto& s : truth.at("speakers"))
        if (s.at("delayMs").is_number()) delays[s.at("node")] = s.at("delayMs").get<double>();
    return delays;
}

// The room script's set-delay; its exit status.
int setDelay(const PipewireRoom& room, const std::string& node, double ms) {
    return std::system(("bash '" HOUSETONE_SOURCE_DIR "/scripts/pipewire-room.sh' set-delay '" +
                        room.dir() + "' '" + node + "' " + std::to_string(ms) + " 2>&1")
                           .c_str());
}

#ifdef HOUSETONE_ROOM_PROBE
// The room's own echo moves when asked, at once and by exactly what its truth file then says, and
// stays moved when the graph is started again; a request the room cannot carry out changes nothing.
TEST_F(KeepInStepInRoomTest, SetDelayMovesOneEchoAtOnceAndTheTruthFileFollows) {
    room::ArrivalRequest request{.microphone = room().microphone()};
    for (const auto& s : room().speakers())
        request.sinks.push_back(s.node);
    const std::string moved = request.sinks.at(1);
    const auto heardAsTheTruthFileSays = [&](const char* when) {
        room::ArrivalResult heard;
        std::string error;
        ASSERT_TRUE(room::measureArrivals(request, heard, error)) << when << ": " << error;
        const auto truth = roomDelays(room());
        // Every echo adds one graph cycle alike: the differences are the delays'.
        const auto& first = heard.sinks.at(0);
        for (const auto& s : heard.sinks)
            EXPECT_NEAR(s.arrivalMs.value_or(NAN) - first.arrivalMs.value_or(NAN),
                        truth.at(s.sink) - truth.at(first.sink), 0.05)
                << when << ": " << s.sink;
    };
    const std::string truthBefore = roomFile(room(), "room.json");
    EXPECT_NE(setDelay(room(), "room-no-such-speaker", 10), 0);
    EXPECT_NE(setDelay(room(), moved, 2500), 0);
    EXPECT_NE(setDelay(room(), moved, -5), 0);
    EXPECT_EQ(roomFile(room(), "room.json"), truthBefore);

    const double to = roomDelays(room()).at(moved) + moveMs;
    ASSERT_EQ(setDelay(room(), moved, to), 0);
    EXPECT_EQ(roomDelays(room()).at(moved), to);
    heardAsTheTruthFileSays("after the move");
    // The graph made again from its configuration, as after a crash, keeps the move; so does a
    // room started afresh from its delays file.
    ASSERT_TRUE(room().restart("pipewire"));
    heardAsTheTruthFileSays("after a restart of pipewire");
    EXPECT_NE(roomFile(room(), "delays").find(moved + "=" + std::to_string(static_cast<int>(to))),
              std::string::npos);
}
#endif

// Music as a player sends it, mono at 48 kHz: on an uneven beat, kicks and drums, a plucked bass
// line and plucked chords (strings struck by noise, Karplus-Strong: broadband at first, a tone
// after), so that the sound covers the band and no stretch of it repeats another.
std::vector<float> music(double seconds, std::uint32_t seed) {
    std::vector<float> out(static_cast<std::size_t>(seconds * rate));
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> unit(-1.f, 1.f);
    const auto chance = [&](double p) { return unit(gen) < 2 * p - 1; };
    // A string tuned to `hz` (0: a drum, noise dying away at `decay` per second) struck at `at` s.
    const auto strike = [&](double at, double hz, double length, double decay, float level) {
        std::vector<float> line(hz > 0 ? static_cast<std::size_t>(rate / hz) : 1);
        for (float& v : line)
            v = unit(gen);
        const auto from = static_cast<std::size_t>(at * rate);
        for (std::size_t i = 0; i < length * rate && from + i < out.size(); ++i) {
            float& v = line[i % line.size()];
            out[from + i] +=
                level * static_cast<float>(std::exp(-decay * i / rate)) * (hz > 0 ? v : unit(gen));
            v = 0.996f * 0.5f * (v + line[(i + 1) % line.size()]);
        }
    };
    const double scale[] = {1, 9. / 8, 5. / 4, 4. / 3, 3. / 2, 5. / 3, 15. / 8};
    double root = 55;
    for (double t = 0.1, beat; t < seconds; t += beat) {
        beat = 0.45 + 0.15 * unit(gen);  // 0.3 to 0.6 s, pushed or dragged each time
        const auto at = static_cast<std::size_t>(t * rate);
        if (chance(0.45))  // a kick: a sine falling from 135 Hz to 45, dying away
            for (std::size_t i = 0; i < 0.3 * rate && at + i < out.size(); ++i) {
                const double s = static_cast<double>(i) / rate;
                out[at + i] +=
                    static_cast<float>(0.8 * std::exp(-12 * s) *
                                       std::sin(2 * M_PI * (45 * s + 3 - 3 * std::exp(-30 * s))));
            }
        else if (chance(0.6))
            strike(t, 0, 0.25, 18, 0.5f);  // a snare
        for (int h = 0; h < 4; ++h)        // hi-hats
            if (chance(0.6)) strike(t + beat * h / 4, 0, 0.05, 80, 0.25f);
        if (chance(0.7)) strike(t, root * scale[gen() % 7], beat * 2, 0, 0.35f);
        if (chance(0.5))
            for (int n = 0; n < 3; ++n)  // a chord, strummed
                strike(t + 0.015 * (unit(gen) + 1), root * 4 * scale[gen() % 7], 1.2, 0, 0.15f);
        if (chance(0.1)) root = 55 * scale[gen() % 7];
    }
    const auto [low, high] = std::minmax_element(out.begin(), out.end());
    const float gain = 0.5f / std::max({-*low, *high, 1e-6f});
    for (float& v : out)
        v *= gain;
    return out;
}

// Aligned plays a player's music on three speakers at the offsets their paths call for; once the
// program has learnt how the group sounds (two calm checks of 2 s), one path grows by 40 ms. The
// program must find which speaker moved from the music alone and bring the group back in step by
// moving that speaker alone, and still hear it in step at the end.
TEST_F(KeepInStepInRoomTest, APathThatGrowsWhileMusicPlaysIsCorrectedForThatSpeakerAlone) {
    if (!std::filesystem::exists(HOUSETONE_APP_FILE)) GTEST_SKIP() << "the program is not built";
    const int listenSeconds = 32;
    const testsupport::TempDir home;
    const auto delays = roomDelays(room());
    // The Bluetooth speaker is the one that moves: the slowest of the group, so that its
    // correction can only be made by holding the others back longer.
    const std::vector<std::string> group = {"room-builtin-speakers", "room-kitchen-speaker",
                                            "room-living-room-tv"};
    const std::string& moving = group[1];
    Config c{.include = std::map<std::string, bool>{}, .micUID = room().microphone()};
    for (const auto& s : room().speakers())
        (*c.include)[s.node] = std::find(group.begin(), group.end(), s.node) != group.end();
    const double slowest = std::max({delays.at(group[0]), delays.at(moving), delays.at(group[2])});
    for (const auto& node : group)
        c.offsets[node] = slowest - delays.at(node);
    const std::filesystem::path state = home / ".local/state/vuzeda";
    SettingsStore(state).save(c);
    const std::vector<float> song = music(listenSeconds + 60, 7);
    std::ofstream(home / "music.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(song.data()),
               std::streamsize(song.size() * sizeof(float)));

    // The player plays while the program, with `home` as its home and runtime folder, listens; a
    // program that overruns is stopped.
    const std::string h = "'" + home.path().string() + "'";
    const std::string program =
        "HOME=" + h + " XDG_CONFIG_HOME=" + h + "/.config XDG_RUNTIME_DIR=" + h +
        " QT_QPA_PLATFORM=offscreen timeout 150 env -u XDG_STATE_HOME '" + HOUSETONE_APP_FILE +
        "' --backend pipewire --keep-in-step-selftest " + std::to_string(listenSeconds) +
        " </dev/null >/dev/null 2>" + h + "/err";
    auto ran = std::async(std::launch::async, [&] {
        int status = -1;
        testsupport::commandOutput("pacat --format=float32le --rate=48000 --channels=1 " + h +
                                       "/music.raw & p=$!; " + program + "; s=$?; kill $p; exit $s",
                                   &status);
        return status;
    });
    const auto tapIsDefault = [] {
        return testsupport::run("pw-metadata 0 default.audio.sink").find("housetone") !=
               std::string::npos;
    };
    const bool started = testsupport::eventually(tapIsDefault, 30s);
    if (started) {
        std::this_thread::sleep_for(12s);
        EXPECT_EQ(setDelay(room(), moving, delays.at(moving) + moveMs), 0);
    }
    const int status = ran.get();
    const std::string log = testsupport::readText(state / "app-keep-in-step-selftest.log");
    const std::string context =
        "\nthe log:\n" + log + "\nthe program said:\n" + testsupport::readText(home / "err");
    ASSERT_TRUE(started && status == 0) << "aligned did not start, or the check failed" << context;

    // One line per check, its time first ("31.0 s  ..."): they go on to the end, so the
    // correction is seen to hold.
    const std::size_t lastCheck = log.rfind('\n', log.rfind(" s  ")) + 1;
    EXPECT_GE(std::atof(log.c_str() + lastCheck), listenSeconds - 10) << context;
    EXPECT_EQ(log.find("listening stopped"), std::string::npos) << context;

    // Where each speaker's sound lands once the saved offsets play (the engine can only hold
    // back). In step again, within 2 ms of the middle one; the two that stayed within 1 ms of each
    // other, as they were set: only the speaker that moved was corrected.
    const Config saved = SettingsStore(state).load();
    const auto lands = [&](const std::string& node) {  // NaN where no offset was saved
        const double offset = saved.offsets.contains(node) ? saved.offsets.at(node) : NAN;
        return std::max(offset, 0.0) + delays.at(node) + (node == moving ? moveMs : 0);
    };
    std::vector<double> sorted = {lands(group[0]), lands(group[1]), lands(group[2])};
    std::sort(sorted.begin(), sorted.end());
    for (const auto& node : group)
        EXPECT_NEAR(lands(node), sorted[1], 2.0) << node << context;
    EXPECT_NEAR(lands(group[0]), lands(group[2]), 1.0) << context;
}

}  // namespace
}  // namespace housetone
