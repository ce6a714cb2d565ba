// The command line: values checked, recordings kept out of the state folder, echoes escaped.
#include <gtest/gtest.h>

#include "ui/vuzededudoz/launch_options.h"

#include "ui_test_support.h"

namespace housetone::ui {
namespace {

TEST(LaunchOptionsTest, ValuesAreCheckedRecordingsStayOutOfStateAndEchoedTextIsEscaped) {
    const auto parse = [](const QStringList& args) { return parseLaunchOptions(args); };
    EXPECT_EQ(parse({"--appearance", "dark"}).appearance, Appearance::dark);
    EXPECT_EQ(parse({"--appearance", "Dark"}).appearance, Appearance::system);
    const LaunchOptions a = parse({"--appearance", "--selftest"});
    EXPECT_TRUE(a.selfTest && !a.error && a.appearance == Appearance::system);
    const LaunchOptions r = parse({"--sim-record", "--print-room-uids"});
    EXPECT_TRUE(r.printRoomUIDs && !r.simRecord);
    EXPECT_EQ(r.error, "--sim-record needs a WAV file to write");

    EXPECT_EQ(parse({"--sim-speed", "40"}).simSpeed, 40);
    for (const char* bad : {"1e-300", "0x10", "0.05", "1000.5", "-1", "inf", ""})
        EXPECT_TRUE(contains(parse({"--sim-speed", bad}).error.value_or(""),
                             "needs a decimal number from 0.1 to 1000"))
            << bad;

    const LaunchOptions w = parse({"--frobnicate", "x", "--selftest"});
    EXPECT_TRUE(w.selfTest && !w.error);
    EXPECT_EQ(w.warnings, (Lines{"ignoring unknown option \"--frobnicate\" (see --help)",
                                 "ignoring unexpected argument \"x\" (see --help)"}));

    // Recordings stay out of the state folder, and echoed text is escaped.
    const QTemporaryDir dir;
    const std::filesystem::path root = dir.path().toStdString(), state = root / "state";
    std::filesystem::create_directories(state);
    std::filesystem::create_symlink(state / "offsets.json", root / "take.wav");
    EXPECT_TRUE(recordTargetError(state / "click.wav", state));
    EXPECT_TRUE(recordTargetError(root / "take.wav", state));
    EXPECT_TRUE(recordTargetError(root / "x/../state/app-selftest.log", state));
    EXPECT_FALSE(recordTargetError(root / "other.wav", state));
    EXPECT_FALSE(recordTargetError(root / "state-other/x.wav", state));

    EXPECT_EQ(terminalSafe("Desk\x1b]0;owned\x07 \xc2\x9b"
                           "2J \xc3\xa9"),
              "Desk\\x1b]0;owned\\x07 \\x9b2J \xc3\xa9");
}

}  // namespace
}  // namespace housetone::ui
