// Keep in step in the real graph: the program plays aligned and listens to the room's microphone
// while other programs' music plays, and a speaker's path to the microphone grows by 40 ms under
// it, as a Bluetooth speaker's does when it reconnects with another codec.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>
#include <sstream>
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
using testsupport::eventually;
using testsupport::run;

constexpr double rate = 48000;
constexpr double moveMs = 40;

class KeepInStepInRoomTest : public testsupport::PipewireRoomTest {};

// What the room's truth file says each speaker's delay is now, ms by node name.
std::map<std::string, double> roomDelays(const testsupport::PipewireRoom& room) {
    const auto doc = nlohmann::json::parse(
        testsupport::readText(std::filesystem::path(room.dir()) / "room.json"));
    std::map<std::string, double> delays;
    for (const auto& s : doc.at("speakers"))
        if (s.at("delayMs").is_number()) delays[s.at("node")] = s.at("delayMs").get<double>();
    return delays;
}

// The room script's set-delay; its exit status.
int setDelay(const testsupport::PipewireRoom& room, const std::string& node, double ms) {
    std::ostringstream ms_text;
    ms_text << ms;
    return std::system(("bash '" HOUSETONE_SOURCE_DIR "/scripts/pipewire-room.sh' set-delay '" +
                        room.dir() + "' '" + node + "' '" + ms_text.str() + "' 2>&1")
                           .c_str());
}

std::string describe(const std::map<std::string, double>& values) {
    std::ostringstream s;
    for (const auto& [uid, ms] : values)
        s << ' ' << uid << '=' << ms;
    return s.str();
}

// Music as a player sends it, stereo 16-bit at 48 kHz: drums on an uneven beat (kick, snare,
// hi-hats), a plucked bass line and plucked chords, every note struck by noise, so that the sound
// covers the band and no stretch of it repeats another.
std::vector<std::int16_t> music(double seconds, std::uint32_t seed) {
    const auto frames = static_cast<std::size_t>(seconds * rate);
    std::vector<float> left(frames), right(frames);
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> unit(-1.f, 1.f);
    std::uniform_real_distribution<double> between(0, 1);
    const auto add = [&](std::size_t at, const std::vector<float>& sound, float pan) {
        for (std::size_t i = 0; i < sound.size() && at + i < frames; ++i) {
            left[at + i] += sound[i] * (1 - pan);
            right[at + i] += sound[i] * (1 + pan);
        }
    };
    // A string struck by a burst of noise (Karplus-Strong): broadband at its start, a tone after.
    const auto pluck = [&](double hz, double length, float level) {
        std::vector<float> line(static_cast<std::size_t>(rate / hz));
        for (float& v : line)
            v = unit(gen);
        std::vector<float> out(static_cast<std::size_t>(length * rate));
        for (std::size_t i = 0; i < out.size(); ++i) {
            const std::size_t k = i % line.size();
            out[i] = level * line[k];
            line[k] = 0.996f * 0.5f * (line[k] + line[(k + 1) % line.size()]);
        }
        return out;
    };
    const auto kick = [&] {
        std::vector<float> out(static_cast<std::size_t>(0.3 * rate));
        double phase = 0;
        for (std::size_t i = 0; i < out.size(); ++i) {
            const double t = static_cast<double>(i) / rate;
            phase += 2 * M_PI * (45 + 90 * std::exp(-t * 30)) / rate;
            out[i] = static_cast<float>(0.8 * std::sin(phase) * std::exp(-t * 12));
        }
        return out;
    };
    const auto noiseHit = [&](double length, double decay, bool bright, float level) {
        std::vector<float> out(static_cast<std::size_t>(length * rate));
        float last = 0;
        for (std::size_t i = 0; i < out.size(); ++i) {
            const float n = unit(gen);
            out[i] = level * static_cast<float>(std::exp(-static_cast<double>(i) / rate * decay)) *
                     (bright ? n - last : n);
            last = n;
        }
        return out;
    };
    const double scale[] = {1, 9. / 8, 5. / 4, 4. / 3, 3. / 2, 5. / 3, 15. / 8};
    double root = 55;
    for (double t = 0.1; t < seconds;) {
        // Beats from 0.3 to 0.6 s apart, pushed or dragged a little each time.
        const double beat = 0.3 + 0.3 * between(gen);
        const auto at = static_cast<std::size_t>(t * rate);
        const double r = between(gen);
        if (r < 0.45)
            add(at, kick(), 0);
        else if (r < 0.8)
            add(at, noiseHit(0.25, 18, false, 0.5f), 0.1f);
        for (int h = 0; h < 4; ++h)
            if (between(gen) < 0.6)
                add(at + static_cast<std::size_t>(beat * h / 4 * rate),
                    noiseHit(0.05, 80, true, 0.25f), -0.3f);
        if (between(gen) < 0.7) add(at, pluck(root * scale[gen() % 7], beat * 2, 0.35f), 0);
        if (between(gen) < 0.5)
            for (int n = 0; n < 3; ++n)
                add(at + static_cast<std::size_t>(between(gen) * 0.03 * rate),
                    pluck(root * 4 * scale[gen() % 7], 1.2, 0.15f), 0.4f * unit(gen));
        if (between(gen) < 0.1) root = 55 * scale[gen() % 7];
        t += beat;
    }
    float peak = 0;
    for (std::size_t i = 0; i < frames; ++i)
        peak = std::max({peak, std::fabs(left[i]), std::fabs(right[i])});
    std::vector<std::int16_t> out(2 * frames);
    const float gain = 0.5f * 32767 / std::max(peak, 1e-6f);
    for (std::size_t i = 0; i < frames; ++i) {
        out[2 * i] = static_cast<std::int16_t>(std::lround(left[i] * gain));
        out[2 * i + 1] = static_cast<std::int16_t>(std::lround(right[i] * gain));
    }
    return out;
}

void writeWav(const std::filesystem::path& file, const std::vector<std::int16_t>& samples) {
    const auto le = [](std::ofstream& o, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            o.put(static_cast<char>((v >> (8 * i)) & 0xff));
    };
    const auto data = static_cast<std::uint32_t>(samples.size() * 2);
    std::ofstream o(file, std::ios::binary);
    o.write("RIFF", 4);
    le(o, 36 + data, 4);
    o.write("WAVEfmt ", 8);
    le(o, 16, 4);
    le(o, 1, 2);  // PCM
    le(o, 2, 2);
    le(o, static_cast<std::uint32_t>(rate), 4);
    le(o, static_cast<std::uint32_t>(rate) * 4, 4);
    le(o, 4, 2);
    le(o, 16, 2);
    o.write("data", 4);
    le(o, data, 4);
    for (const std::int16_t s : samples)
        le(o, static_cast<std::uint16_t>(s), 2);
}

// The program with `home` as its home and private runtime folder, offscreen: its launch by a
// shell line, so that the test records its pid and stops it by that pid.
std::string programLine(const testsupport::TempDir& home, const std::string& args) {
    const std::string h = "'" + home.path().string() + "'";
    return "env -u XDG_STATE_HOME HOME=" + h + " XDG_CONFIG_HOME=" + h +
           "/.config XDG_RUNTIME_DIR=" + h +
           " QT_QPA_PLATFORM=offscreen '" HOUSETONE_APP_FILE "' " + args + " </dev/null";
}

// Starts `line` in the background; its pid.
std::string startRecorded(const std::string& line, const std::filesystem::path& pidFile) {
    run(line + " & echo $! >'" + pidFile.string() + "'");
    std::string pid = testsupport::readText(pidFile);
    pid.erase(pid.find_last_not_of("\n") + 1);
    return pid;
}

bool alive(const std::string& pid) {
    const std::string stat = testsupport::readText("/proc/" + pid + "/stat");
    return !stat.empty() && stat.find(") Z ") == std::string::npos;
}

void stop(const std::string& pid) {
    if (pid.empty() || !alive(pid)) return;
    run("kill " + pid);
    if (!eventually([&] { return !alive(pid); }, 10s)) run("kill -KILL " + pid);
}

#ifdef HOUSETONE_ROOM_PROBE
// When the microphone hears each speaker, ms, by the room probe.
std::map<std::string, double> arrivals(const testsupport::PipewireRoom& room,
                                       const std::vector<std::string>& sinks) {
    room::ArrivalRequest r;
    r.microphone = room.microphone();
    r.sinks = sinks;
    r.repeats = 3;
    room::ArrivalResult result;
    std::string error;
    EXPECT_TRUE(room::measureArrivals(r, result, error)) << error;
    std::map<std::string, double> out;
    for (const auto& s : result.sinks) {
        EXPECT_TRUE(s.arrivalMs) << "the probe did not hear " << s.sink;
        if (s.arrivalMs) out[s.sink] = *s.arrivalMs;
    }
    return out;
}

// The room's own echo moves when asked, at once and by exactly what its truth file then says,
// stays moved when the graph is started again, and a request the room cannot carry out changes
// nothing.
TEST_F(KeepInStepInRoomTest, SetDelayMovesOneEchoAtOnceAndTheTruthFileFollows) {
    std::vector<std::string> sinks;
    for (const auto& s : room().speakers())
        sinks.push_back(s.node);
    const std::string moved = sinks.at(1);
    const auto checkAgainstTruth = [&](const char* when) {
        const auto heard = arrivals(room(), sinks);
        const auto truth = roomDelays(room());
        ASSERT_EQ(heard.size(), sinks.size()) << when;
        // Every echo adds one graph cycle alike: the differences are the delays'.
        for (const auto& node : sinks)
            EXPECT_NEAR(heard.at(node) - heard.at(sinks.front()),
                        truth.at(node) - truth.at(sinks.front()), 0.05)
                << when << ": " << node << "; heard" << describe(heard) << "; room.json"
                << describe(truth);
    };
    checkAgainstTruth("as started");
    const double before = roomDelays(room()).at(moved);
    ASSERT_EQ(setDelay(room(), moved, before + moveMs), 0);
    EXPECT_EQ(roomDelays(room()).at(moved), before + moveMs);
    checkAgainstTruth("after the move");
    // The graph made again from its configuration, as after a crash, keeps the move.
    ASSERT_TRUE(room().restart("pipewire"));
    checkAgainstTruth("after a restart of pipewire");
    const std::string delays =
        testsupport::readText(std::filesystem::path(room().dir()) / "delays");
    EXPECT_NE(delays.find(moved + "=" + std::to_string(static_cast<int>(before + moveMs))),
              std::string::npos)
        << delays;

    const std::string truthBefore =
        testsupport::readText(std::filesystem::path(room().dir()) / "room.json");
    EXPECT_NE(setDelay(room(), "room-no-such-speaker", 10), 0);
    EXPECT_NE(setDelay(room(), moved, 2500), 0);
    EXPECT_NE(setDelay(room(), moved, -5), 0);
    EXPECT_EQ(testsupport::readText(std::filesystem::path(room().dir()) / "room.json"),
              truthBefore);
    ASSERT_EQ(setDelay(room(), moved, before), 0);
    checkAgainstTruth("moved back");
}
#endif

// Aligned plays a player's music on three speakers at the offsets their paths call for; 20 s into
// listening one path grows by 40 ms. The program must find which speaker moved from the music
// alone and bring the group back in step by moving that speaker alone.
TEST_F(KeepInStepInRoomTest, APathThatGrowsWhileMusicPlaysIsCorrectedForThatSpeakerAlone) {
    if (!std::filesystem::exists(HOUSETONE_APP_FILE)) GTEST_SKIP() << "the program is not built";
    const testsupport::TempDir home;
    const auto delays = roomDelays(room());
    // The Bluetooth speaker is the one that moves: the slowest of the group, so that its
    // correction can only be made by holding the others back longer.
    const std::vector<std::string> group = {"room-builtin-speakers", "room-kitchen-speaker",
                                            "room-living-room-tv"};
    const std::string moving = "room-kitchen-speaker";
    Config c{.include = std::map<std::string, bool>{}};
    double slowest = 0;
    for (const auto& node : group)
        slowest = std::max(slowest, delays.at(node));
    for (const auto& s : room().speakers())
        (*c.include)[s.node] = std::find(group.begin(), group.end(), s.node) != group.end();
    for (const auto& node : group)
        c.offsets[node] = slowest - delays.at(node);
    c.micUID = room().microphone();
    const std::filesystem::path state = home / ".local/state/vuzeda";
    SettingsStore(state).save(c);

    const auto song = home / "music.wav";
    writeWav(song, music(150, 7));
    const std::string player = startRecorded(
        "pacat --file-format=wav '" + song.string() + "' >/dev/null 2>&1", home / "player.pid");
    const std::string program =
        startRecorded(programLine(home, "--backend pipewire --keep-in-step-selftest 60") + " >'" +
                          (home / "out").string() + "' 2>'" + (home / "err").string() + "'",
                      home / "program.pid");
    const auto tapIsDefault = [] {
        return run("pw-metadata 0 default.audio.sink").find("housetone") != std::string::npos;
    };
    const bool started = eventually(tapIsDefault, 30s);
    if (started) {
        std::this_thread::sleep_for(20s);
        EXPECT_EQ(setDelay(room(), moving, delays.at(moving) + moveMs), 0);
    }
    // 60 s of listening, 20 of them already spent; generous on a loaded machine.
    const bool ended = started && eventually([&] { return !alive(program); }, 150s);
    stop(program);
    stop(player);
    const std::string err = testsupport::readText(home / "err");
    ASSERT_TRUE(started) << "aligned did not start: " << err;
    ASSERT_TRUE(ended) << "the self-check did not end: " << err;

    const std::string log = testsupport::readText(state / "app-keep-in-step-selftest.log");
    const auto context = [&] { return "\nthe log:\n" + log + "\nthe program said:\n" + err; };
    // One line per check: its time, what it estimated and what it did.
    std::smatch m;
    double lastCheck = -1;
    int checks = 0;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (std::regex_search(line, m, std::regex("^([0-9]+\\.[0-9]) s  \\S"))) {
            lastCheck = std::stod(m[1]);
            ++checks;
        }
    EXPECT_GE(checks, 10) << context();
    EXPECT_GE(lastCheck, 50.0) << context();
    EXPECT_EQ(log.find("listening stopped"), std::string::npos) << context();

    const Config saved = SettingsStore(state).load();
    // Where each speaker's sound lands once these offsets play: the engine can only hold back.
    std::map<std::string, double> arrival;
    for (const auto& node : group) {
        ASSERT_TRUE(saved.offsets.contains(node)) << node << context();
        arrival[node] =
            std::max(saved.offsets.at(node), 0.0) + delays.at(node) + (node == moving ? moveMs : 0);
    }
    std::map<std::string, double> offsets;
    for (const auto& node : group)
        offsets[node] = saved.offsets.at(node);
    const std::string summary = "offsets" + describe(offsets) + ", arrivals" + describe(arrival);
    // In step again: every speaker lands within 2 ms of where the middle one does.
    std::vector<double> lands;
    for (const auto& [node, ms] : arrival)
        lands.push_back(ms);
    std::sort(lands.begin(), lands.end());
    for (const auto& [node, ms] : arrival)
        EXPECT_NEAR(ms, lands[1], 2.0) << node << ": " << summary << context();
    // By moving the speaker that moved: the two that stayed keep what set them apart.
    const std::string a = group[0], b = group[2];
    EXPECT_NEAR(saved.offsets.at(a) - saved.offsets.at(b), c.offsets.at(a) - c.offsets.at(b), 1.0)
        << summary << context();
    std::printf("%s\n", summary.c_str());
}

}  // namespace
}  // namespace housetone
