// The program itself, started as a process: quitting at any moment, the backend and room it picks,
// and (AppProcessSlow) a whole self-check run.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include "ui_test_support.h"

namespace housetone::ui {
namespace {

std::filesystem::path stateDirIn(const testsupport::TempDir& home) {
    return home / ".local/state/vuzeda";
}

// Waits for `p`, killing it after `timeoutMs`; whether it ended by itself with exit status 0.
bool endsCleanly(QProcess& p, int timeoutMs) {
    const bool finished = p.waitForFinished(timeoutMs);
    if (!finished) p.kill(), p.waitForFinished();
    return finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The program in `home` with every speaker of the built-in room included.
std::unique_ptr<QProcess> startApp(const testsupport::TempDir& home, QStringList args,
                                   const QString& errFile = {}) {
    SettingsStore(stateDirIn(home)).save(includeAll(sim::defaultRoom()));
    return startProgram(home, std::move(args), errFile);
}

// The program under SIGTERM (what a session ending sends) at moments spread over both self-checks,
// ten runs at once: each ends cleanly with its settings saved, and Qt's own options pass silently.
TEST(AppProcess, QuittingDuringEitherSelfCheckEndsCleanly) {
    constexpr int runs = 10;
    std::array<testsupport::TempDir, runs> homes;
    std::vector<std::unique_ptr<QProcess>> procs;
    for (int i = 0; i < runs; ++i)
        procs.push_back(startApp(
            homes[i],
            {i % 2 ? "--autotune-selftest" : "--selftest", "--sim-speed", "40", "--odd\x1b[31m"},
            qPath(homes[i] / "stderr.txt")));
    // From before a check starts (its launch still pending) to well inside it.
    const auto killAtMs = [](int i) { return 700 + 300 * i; };
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) {
        std::this_thread::sleep_until(started + std::chrono::milliseconds(killAtMs(i)));
        ::kill(static_cast<pid_t>(procs[i]->processId()), SIGTERM);
    }
    for (int i = 0; i < runs; ++i) {
        const bool clean = endsCleanly(*procs[i], 30000);
        const std::string err = readFile(homes[i] / "stderr.txt");
        SCOPED_TRACE("killed at " + std::to_string(killAtMs(i)) + " ms\n" + err);
        EXPECT_TRUE(clean);
        EXPECT_EQ(SettingsStore(stateDirIn(homes[i])).load().include,
                  includeAll(sim::defaultRoom()).include);
        EXPECT_TRUE(contains(err, "housetone: ignoring unknown option \"--odd\\x1b[31m\""));
        EXPECT_FALSE(contains(err, "platform") || contains(err, "offscreen"));
    }
}

// The simulator's room file is read only when the simulator runs: asked for PipeWire, a missing
// one is not read, the room options are said to be ignored, and what ends the run is PipeWire
// not answering.
TEST(AppProcess, ChoosingPipeWireLeavesTheRoomFileUnread) {
    const testsupport::TempDir home;
    const auto p =
        startProgram(home, {"--backend", "pipewire", "--sim-room", qPath(home / "missing.json")},
                     qPath(home / "stderr.txt"), {{"PIPEWIRE_REMOTE", "housetone-no-such-daemon"}});
    ASSERT_TRUE(p->waitForFinished(20000));
    EXPECT_EQ(p->exitCode(), 2);
    const std::string err = readFile(home / "stderr.txt");
    EXPECT_FALSE(contains(err, "missing.json")) << err;
    EXPECT_TRUE(contains(err, "ignoring the --sim-... options")) << err;
}

// Scripts read the simulated room's speakers from the program itself, before any display opens:
// the built-in room's, or those of the room file given.
TEST(AppProcess, PrintRoomUIDsListsTheSimulatedRoomsSpeakers) {
    const testsupport::TempDir home;
    const auto printed = [&](QStringList args) {
        const auto p = startProgram(home, args << "--print-room-uids", qPath(home / "stderr.txt"),
                                    {{"PIPEWIRE_REMOTE", "housetone-no-such-daemon"}});
        EXPECT_TRUE(p->waitForFinished(20000));
        EXPECT_EQ(p->exitCode(), 0);
        return splitLines(p->readAllStandardOutput().toStdString());
    };
    Lines builtIn;
    for (const sim::OutputSpec& o : sim::defaultRoom().outputs)
        builtIn.push_back(o.uid);
    EXPECT_EQ(printed({}), builtIn);

    std::ofstream(home / "room.json")
        << R"({"outputs": [{"name": "Porch", "uid": "porch", "transport": "usb"},
                           {"name": "Attic", "uid": "attic", "transport": "usb"}]})";
    EXPECT_EQ(printed({"--sim-room", qPath(home / "room.json")}), (Lines{"porch", "attic"}));
}

// A recording that cannot be started ends the run with one line rather than running without it.
TEST(AppProcess, ARecordingThatCannotStartEndsTheRun) {
    const testsupport::TempDir home;
    const auto target = home / "no/such/folder/take.wav";
    const auto p = startProgram(home, {"--sim-record", qPath(target)}, qPath(home / "stderr.txt"));
    ASSERT_TRUE(p->waitForFinished(20000));
    EXPECT_EQ(p->exitCode(), 2);
    EXPECT_TRUE(contains(readFile(home / "stderr.txt"),
                         "housetone: cannot write the recording to \"" + target.string() + "\"\n"));
}

// The log a whole self-check run of the program leaves once it ends by itself. Speed 20 rather
// than 40 keeps the measurement margins clear of scheduling stalls on a loaded machine.
TEST(AppProcessSlow, SelftestPlaysThroughTheTapAndReturnsToSingleOutput) {
    const testsupport::TempDir home;
    const auto p = startApp(
        home, {"--selftest", "--sim-speed", QString::number(testsupport::measuringSpeed(20))});
    EXPECT_TRUE(endsCleanly(*p, 120000));
    const std::string text = readFile(stateDirIn(home) / "app-selftest.log");
    const Lines lines = splitLines(text);
    ASSERT_EQ(lines.size(), 8u) << text;
    EXPECT_EQ(lines[0] + "|" + lines[2] + "|" + lines[5],
              "engineStarted: true|engineError: none|tapBlocked: false");
    // Six seconds of tap readings, none of them silent.
    EXPECT_TRUE(lines[3].starts_with("tap rms per second: ") && !contains(lines[3], " 0.00000"));
    EXPECT_EQ(std::count(lines[3].begin(), lines[3].end(), '.'), 6) << lines[3];
    EXPECT_TRUE(lines[4].starts_with("tap input frames per second: "));
    ASSERT_TRUE(lines[6].starts_with("delays: "));
    for (const auto& o : sim::defaultRoom().outputs)
        EXPECT_TRUE(contains(lines[6], o.name + "="));
    EXPECT_TRUE(lines[7].starts_with("back to: Single output: ")) << lines[7];
    EXPECT_NE(text.back(), '\n');
}

}  // namespace
}  // namespace housetone::ui
