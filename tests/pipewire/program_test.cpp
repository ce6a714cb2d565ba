// The program itself in a room of mixed speakers (one runs at 44.1 kHz, one is mono, one has six
// channels), driven from outside as a desktop shortcut or a script would drive it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/settings_store.h"
#include "pipewire_room.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace housetone {
namespace {

using namespace std::chrono_literals;
using testsupport::eventually;
using testsupport::run;

class ProgramInRoomTest : public testsupport::PipewireRoomTest {
  protected:
    static void SetUpTestSuite() {
        setenv("HOUSETONE_ROOM_RATES", "room-kitchen-speaker=44100", 1);
        setenv("HOUSETONE_ROOM_POSITIONS", "room-living-room-tv=MONO", 1);
        startRoom({});
        unsetenv("HOUSETONE_ROOM_RATES");
        unsetenv("HOUSETONE_ROOM_POSITIONS");
    }
};

// The program with `home` as its home and private runtime folder, offscreen: its launch by a
// shell line, so that the test records its pid and stops it by that pid.
std::string programLine(const testsupport::TempDir& home, const std::string& args) {
    const std::string h = "'" + home.path().string() + "'";
    return "env -u XDG_STATE_HOME HOME=" + h + " XDG_CONFIG_HOME=" + h +
           "/.config XDG_RUNTIME_DIR=" + h +
           " QT_QPA_PLATFORM=offscreen '" HOUSETONE_APP_FILE "' " + args + " </dev/null";
}

// Whether `pid` names a process that has not ended.
bool alive(const std::string& pid) {
    const std::string stat = testsupport::readText("/proc/" + pid + "/stat");
    return !stat.empty() && stat.find(") Z ") == std::string::npos;
}

// Samples of the room's microphone while `during` runs, mono float at 48 kHz.
std::vector<float> hear(const testsupport::TempDir& dir, const std::function<void()>& during) {
    const std::string file = (dir / "heard.raw").string();
    run("parec --raw --format=float32le --rate=48000 --channels=1 --latency-msec=20 "
        "--device=room-microphone >'" +
        file + "' 2>/dev/null & echo $! >'" + file + ".pid'");
    std::this_thread::sleep_for(300ms);
    during();
    std::this_thread::sleep_for(600ms);
    run("kill $(cat '" + file + ".pid')");
    const std::string bytes = testsupport::readText(file);
    std::vector<float> v(bytes.size() / 4);
    std::memcpy(v.data(), bytes.data(), v.size() * 4);
    return v;
}

// Plays `clicks` impulses 400 ms apart to the default output, as any program would.
void playClicks(const testsupport::TempDir& dir, int clicks) {
    std::vector<float> v(static_cast<std::size_t>(2 * 48000 * (clicks * 0.4 + 0.3)), 0.f);
    for (int k = 0; k < clicks; ++k)
        v[2 * static_cast<std::size_t>(k * 0.4 * 48000)] =
            v[2 * static_cast<std::size_t>(k * 0.4 * 48000) + 1] = 0.9f;
    const auto file = dir / "clicks.raw";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * 4));
    run("pacat --raw --format=float32le --rate=48000 --channels=2 --latency-msec=20 '" +
        file.string() + "' 2>&1");
}

// How far apart, ms, the speakers' arrivals of each click are at the microphone: the span of the
// samples well above the room's noise, per click (clicks are 400 ms apart; each arrival, however
// quiet its speaker, stands far above the noise).
std::vector<double> arrivalSpreadsMs(const std::vector<float>& heard) {
    float noise = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(heard.size(), 9600); ++i)
        noise = std::max(noise, std::fabs(heard[i]));
    const float loud = std::max(20 * noise, 0.01f);
    std::vector<double> spreads;
    for (std::size_t i = 0; i < heard.size();) {
        if (std::fabs(heard[i]) < loud) {
            ++i;
            continue;
        }
        std::size_t last = i;
        for (std::size_t j = i; j < std::min(heard.size(), i + 300 * 48); ++j)
            if (std::fabs(heard[j]) >= loud) last = j;
        spreads.push_back(static_cast<double>(last - i) / 48.0);
        i = last + 1;
    }
    return spreads;
}

std::string spreadsText(const std::vector<double>& s) {
    std::string out;
    for (const double v : s)
        out += std::to_string(v) + " ";
    return out;
}

// Aligned, started and left by launches of the program, plays every speaker of a mixed group
// so that a click arrives at the microphone from all of them at once, and keeps them so when the
// graph is moved to another rate while it plays.
TEST_F(ProgramInRoomTest, LaunchesSwitchTheRunningCopyAndItsSpeakersStayInStepThroughARateChange) {
    if (!std::filesystem::exists(HOUSETONE_APP_FILE)) GTEST_SKIP() << "the program is not built";
    const testsupport::TempDir home;
    Config c{.include = std::map<std::string, bool>{}};
    double slowest = 0;
    for (const auto& s : room().speakers())
        slowest = std::max(slowest, s.delayMs);
    for (const auto& s : room().speakers()) {
        (*c.include)[s.node] = true;
        c.offsets[s.node] = slowest - s.delayMs;
    }
    SettingsStore(home / ".local/state/vuzeda").save(c);
    const std::string builtin = room().speakers().front().node;
    ASSERT_NE(run("pw-metadata 0 default.audio.sink").find(builtin), std::string::npos);

    const std::string pidFile = (home / "pid").string();
    run(programLine(home, "--backend pipewire --mode aligned") + " >'" + (home / "out").string() +
        "' 2>'" + (home / "err").string() + "' & echo $! >'" + pidFile + "'");
    std::string pid = testsupport::readText(pidFile);
    pid.erase(pid.find_last_not_of("\n") + 1);
    const auto stop = [&] {
        run("kill " + pid);
        eventually([&] { return !alive(pid); }, 10s);
    };
    const auto tapIsDefault = [] {
        return run("pw-metadata 0 default.audio.sink").find("housetone") != std::string::npos;
    };
    if (!eventually(tapIsDefault, 20s)) {
        stop();
        FAIL() << "aligned did not start: " << testsupport::readText(home / "err");
    }
    std::this_thread::sleep_for(1s);
    const auto feedsAll = [&](const char* when) {
        const std::string links = run("pw-link -l");
        for (const auto& s : room().speakers())
            EXPECT_TRUE(
                std::regex_search(links, std::regex("\n" + s.node +
                                                    ":playback_[A-Z0-9]+\n( +\\|<- [^\n]*\n)*"
                                                    " +\\|<- [^\n]*housetone[^\n]*\n")))
                << when << ": " << s.node << " is not fed by the program\n"
                << links;
    };
    feedsAll("at the start");
    const auto inStep = [&](const char* when) {
        const auto spreads = arrivalSpreadsMs(hear(home, [&] { playClicks(home, 4); }));
        EXPECT_GE(spreads.size(), 3u) << when << ": " << spreadsText(spreads);
        for (const double s : spreads)
            EXPECT_LT(s, 1.0) << when << ": " << spreadsText(spreads);
    };
    inStep("at the start");

    run("pw-metadata -n settings 0 clock.force-rate 44100");
    std::this_thread::sleep_for(5s);  // three of the program's ticks
    inStep("at 44.1 kHz");
    feedsAll("at 44.1 kHz");
    // Withdrawn, the force leaves the graph where it was: the settings alone no longer tell.
    run("pw-metadata -n settings 0 clock.force-rate 0");
    std::this_thread::sleep_for(6s);
    inStep("with the force withdrawn");

    const int switched = std::system(
        (programLine(home, "--backend pipewire --mode single") + " >/dev/null 2>&1").c_str());
    EXPECT_EQ(switched, 0);
    EXPECT_TRUE(eventually([&] { return !tapIsDefault(); }, 10s));
    EXPECT_NE(run("pw-metadata 0 default.audio.sink").find(builtin), std::string::npos);
    EXPECT_TRUE(alive(pid)) << "the running copy ended";
    stop();
    EXPECT_FALSE(alive(pid));
    if (HasFailure()) std::cerr << "the program said:\n" << testsupport::readText(home / "err");
}

}  // namespace
}  // namespace housetone
