// The command line (values checked, recordings kept out of the state folder, echoes escaped, the
// mode to start in, and described alike by --help, the manual and the Help page), the self-checks
// (their log lines, and an engine check that fails, has nothing to play or cannot write its log)
// and the tune picture's file.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <QRegularExpression>
#include <csignal>
#include <set>

#include "ui/help_window.h"
#include "ui/self_check.h"
#include "ui/tune_picture_view.h"
#include "ui/vuzededudoz/launch_options.h"
#include "ui/vuzededudoz/preferences.h"

#include "shell_fixture.h"
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
    const testsupport::TempDir dir;
    const std::filesystem::path root = dir.path(), state = root / "state";
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

// --mode takes the three words --help shows and nothing else, goes with the backend and room
// options, and not with a self-check, which always starts from Single.
TEST(LaunchOptionsTest, ModeTakesOneOfItsWordsAndNeverGoesWithASelfCheck) {
    for (const auto& [word, mode] : {std::pair{"single", Mode::single},
                                     {"together", Mode::together},
                                     {"aligned", Mode::aligned}}) {
        const LaunchOptions o =
            parseLaunchOptions({"--backend", "pipewire", "-mode", word, "--sim-speed", "40"});
        EXPECT_EQ(o.mode, mode) << word;
        EXPECT_TRUE(!o.error && o.backend == Backend::pipewire && o.simSpeed == 40) << word;
    }
    EXPECT_FALSE(parseLaunchOptions({"--sim-speed", "40"}).mode);

    const std::string needs = "--mode needs single, together or aligned";
    for (const auto& [args, got] : {std::pair{QStringList{"--mode", "loud"}, "loud"},
                                    {{"--mode", "Aligned"}, "Aligned"},
                                    {{"--mode=ALIGNED", "--sim-speed", "40"}, "ALIGNED"},
                                    {{"--mode", "aligned "}, "aligned "}}) {
        const LaunchOptions o = parseLaunchOptions(args);
        EXPECT_EQ(o.error, needs + " (got \"" + got + "\")");
        EXPECT_FALSE(o.mode) << got;
    }
    for (const QStringList& args :
         {QStringList{"--mode"}, QStringList{"--mode", "--open-menu"}, QStringList{"--mode="}}) {
        EXPECT_EQ(parseLaunchOptions(args).error, needs) << args.join(' ').toStdString();
    }
    // A first mistake is the one said.
    EXPECT_TRUE(
        contains(*parseLaunchOptions({"--backend", "x", "--mode", "loud"}).error, "--backend"));

    EXPECT_EQ(parseLaunchOptions({"--mode", "aligned", "--selftest"}).error,
              "--mode cannot go with --selftest: a self-check always starts from single");
    EXPECT_TRUE(
        contains(parseLaunchOptions({"--autotune-selftest", "--mode", "single"}).error.value_or(""),
                 "--mode cannot go with --autotune-selftest"));
}

// A start with --mode is in that mode whether or not the last one is resumed, and that mode is
// the last chosen from then on; without it, what was resumed still is.
struct StartModeTest : ShellFixture {
    std::unique_ptr<AppDelegate> launchIn(std::optional<Mode> mode) {
        LaunchOptions options;
        options.mode = mode;
        auto app = std::make_unique<AppDelegate>(
            AppServices{hw, hw.player(), hw.micPermission(), store, queue, defaults}, options);
        app->didFinishLaunching();
        return app;
    }
};

TEST_F(StartModeTest, TheModeAskedForWinsOverTheResumedOneAndIsRemembered) {
    store.save(includeAll(hw.room()));
    setResumeLastMode(defaults, true);
    rememberChosenMode(defaults, Mode::together);
    EXPECT_EQ(launchIn(Mode::aligned)->controller()->mode(), Mode::aligned);
    EXPECT_EQ(startMode(defaults), Mode::aligned);
    EXPECT_EQ(launchIn(Mode::single)->controller()->mode(), Mode::single);
    EXPECT_EQ(startMode(defaults), Mode::single);

    rememberChosenMode(defaults, Mode::together);
    EXPECT_EQ(launchIn(std::nullopt)->controller()->mode(), Mode::together);
    setResumeLastMode(defaults, false);
    EXPECT_EQ(launchIn(Mode::together)->controller()->mode(), Mode::together);

    // Refused as a click would be: nothing included, no Aligned.
    store.save(includeAll(hw.room(), false));
    const auto app = launchIn(Mode::aligned);
    EXPECT_EQ(app->controller()->mode(), Mode::single);
}

// Text as a reader sees it: without roff escapes or Markdown emphasis, on one line.
QString plain(QString text) {
    for (const auto& [escape, shown] :
         {std::pair{"\\(lq", "\""}, {"\\(rq", "\""}, {"\\(aq", "'"}, {"\\-", "-"}, {"**", ""}})
        text.replace(QString::fromUtf8(escape), QString::fromUtf8(shown));
    return text.simplified();
}

QString manualPage() {
    return QString::fromStdString(
        readFile(std::filesystem::path(HOUSETONE_SOURCE_DIR) / "packaging/housetone.1.in"));
}

// Every option --help lists has a manual entry and no other has; each mode's line in --help
// (continued on the lines below it) is said in the same words by the manual and the Help page.
TEST(LaunchHelp, HelpTextManualAndHelpPageSayTheSame) {
    const QString help = QString::fromStdString(helpText());
    const QString manual = manualPage();
    // The manual's option entries: the line after each ".TP" that names a long option.
    std::set<QString> inManual, listed;
    const QStringList lines = manual.split('\n');
    static const QRegularExpression longOption(R"(\\-\\-((?:[a-z]|\\-)+))");
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines[i - 1] != ".TP" || !lines[i].startsWith(".B")) continue;
        for (const auto& m : longOption.globalMatch(lines[i]))
            inManual.insert(m.captured(1).remove('\\'));
    }
    for (const OptionInfo& o : launchOptionTable()) {
        if (o.help.empty()) continue;
        listed.insert(QString::fromLatin1(o.names.front()));
        EXPECT_TRUE(help.contains("  --" + QString::fromLatin1(o.names.front()) + " "))
            << o.names.front();
    }
    EXPECT_EQ(inManual, listed);

    const QString page = plain(helpPage()), manualText = plain(manual);
    static const QRegularExpression modeLine(R"(\n  (Single|Together|Aligned) +(.*(\n {13}.*)*))");
    int modes = 0;
    for (const auto& m : modeLine.globalMatch(help)) {
        const QString said = plain(m.captured(2));
        EXPECT_TRUE(page.contains(said)) << said.toStdString();
        EXPECT_TRUE(manualText.contains(m.captured(1) + " " + said)) << said.toStdString();
        ++modes;
    }
    EXPECT_EQ(modes, 3);
}

TEST(SelfCheckRun, LogLinesReadBackExactly) {
    EXPECT_EQ(shortestDecimal(250), "250.0");
    EXPECT_EQ(shortestDecimal(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(offsetsLine({}), "offsets: [:]");
    EXPECT_EQ(offsetsLine({{"sim-b", 12.5}, {"sim-a", 0}}),
              "offsets: [\"sim-a\": 0.0, \"sim-b\": 12.5]");
    EXPECT_EQ(tunePhaseLines({{"a", "measured 12 ms"}, {"gone", "skipped"}},
                             {Dev{3, "Kitchen", "a", transport::bluetooth}}),
              (Lines{"Kitchen: measured 12 ms", "gone: skipped"}));
}

// Runs a self-check of `rig` to its end; its exit status.
std::optional<int> runSelfCheck(Rig& rig, void (SelfCheck::*run)()) {
    std::optional<int> exitStatus;
    const auto check = SelfCheck::create(rig.ctl, rig.main, [&](int s) { exitStatus = s; });
    ((*check).*run)();
    EXPECT_TRUE(rig.main.runUntil([&] { return exitStatus.has_value(); }, 20));
    return exitStatus;
}

// An engine check that fails or has nothing to play says why in its log and ends; one whose log
// cannot be written fails the run whatever the check found.
TEST(SelfCheckRun, AFailedOrEmptyEngineCheckSaysWhyAndEndsAndAnUnwrittenLogFailsTheRun) {
    Rig broken(fixtureRoom(), quietWorld), idle(fixtureRoom(), quietWorld),
        unwritten(fixtureRoom(), quietWorld);
    broken.startWith(includeAll(fixtureRoom()));
    broken.sim.injectFault({.call = sim::Call::createTap});
    idle.startWith(includeAll(fixtureRoom(), false));
    unwritten.startWith(includeAll(fixtureRoom(), false));
    std::filesystem::create_directory(unwritten.store.fileURL(SelfCheck::engineLogName));
    const auto logOf = [](const Rig& rig) {
        return readFile(rig.store.fileURL(SelfCheck::engineLogName));
    };
    const auto head = [](const Rig& rig) {
        return "engineStarted: false\nstatus: " + rig.ctl->status() + "\nengineError: ";
    };

    EXPECT_EQ(runSelfCheck(broken, &SelfCheck::runEngineSelfCheck), 0);
    EXPECT_EQ(logOf(broken), head(broken) + broken.ctl->engine().lastError().value_or("?"));
    EXPECT_EQ(runSelfCheck(idle, &SelfCheck::runEngineSelfCheck), 1);
    EXPECT_EQ(logOf(idle), head(idle) + "none\nInclude at least one speaker first");
    EXPECT_EQ(runSelfCheck(unwritten, &SelfCheck::runEngineSelfCheck), SelfCheck::logNotWritten);
}

// A UID from the settings file, which anyone's editor may have put an escape in, reaches the
// auto-tune check's log written out.
TEST(SelfCheckRun, AUIDReachesTheAutoTuneLogWrittenOut) {
    Rig tune(fixtureRoom(), quietWorld);
    tune.startWith(Config{.offsets = {{"desk\x1b]0;owned\x07", 5}}});
    runSelfCheck(tune, &SelfCheck::runAutoTuneSelfCheck);
    EXPECT_TRUE(contains(readFile(tune.store.fileURL(SelfCheck::autoTuneLogName)),
                         "\noffsets: [\"desk\\x1b]0;owned\\x07\": 5.0]"));
}

// A write cut short (a file size limit stands in for a full disk) leaves the previous picture
// whole, and says why.
TEST(TunePictureFile, AWriteCutShortLeavesThePreviousPictureWhole) {
    const testsupport::TempDir dir;
    const QString path = qPath(dir / "autotune.png");
    QImage small(2, 2, QImage::Format_RGB32);
    small.fill(Qt::white);
    ASSERT_EQ(savePngAtomically(small, path), std::nullopt);
    const std::string before = readFile(path.toStdString());
    QImage big(300, 300, QImage::Format_RGB32);
    for (int y = 0; y < big.height(); ++y)
        for (int x = 0; x < big.width(); ++x)
            big.setPixel(x, y, static_cast<QRgb>((x * 7919u) ^ (y * 104729u) ^ (x * y)));

    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{old};
    limit.rlim_cur = before.size() + 200;
    setrlimit(RLIMIT_FSIZE, &limit);
    const auto problem = savePngAtomically(big, path);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);
    ASSERT_TRUE(problem.has_value());
    EXPECT_TRUE(contains(*problem, "(File too large)"));
    EXPECT_EQ(readFile(path.toStdString()), before);
}

}  // namespace
}  // namespace housetone::ui
