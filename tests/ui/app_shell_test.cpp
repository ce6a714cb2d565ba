// The application shell: status menu and its actions, rescan report, Qt main queue, launch options,
// window/taskbar policy, About panel, self-check logs, and (AppProcessSlow) real self-check runs.
#include <gtest/gtest.h>

#include <QAction>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QTimer>
#include <array>
#include <atomic>
#include <chrono>
#include <numeric>
#include <string>
#include <thread>

#include <csignal>

#include "support/sim_rooms.h"
#include "ui_test_support.h"

#include "audio/device_access.h"
#include "ui/about_panel.h"
#include "ui/qt_alert_presenter.h"
#include "ui/qt_main_queue.h"
#include "ui/qt_user_defaults.h"
#include "ui/self_check.h"
#include "ui/vuzededudoz/app_delegate.h"
#include "ui/vuzededudoz/launch_options.h"
#include "ui/vuzededudoz/status_menu.h"

namespace housetone::ui {
namespace {

using Lines = std::vector<std::string>;

sim::OutputSpec speaker(const std::string& name, const std::string& uid, std::uint32_t transport) {
    return {.name = name, .uid = uid, .transport = transport, .latencyMs = 5, .level = 0.2};
}

sim::RoomSpec smallRoom() {
    return {.outputs = {speaker("Built-in Speakers", "builtin", transport::builtIn),
                        speaker("Kitchen", "kitchen", transport::bluetooth),
                        speaker("Desk", "desk", transport::usb)},
            .inputs = {{"Built-in Microphone", "mic", transport::builtIn, 1, 0.0001}},
            .defaultOutput = "builtin"};
}

Config includeAll(const sim::RoomSpec& room, bool included = true) {
    Config c{.include = std::map<std::string, bool>{}};
    for (const auto& o : room.outputs)
        (*c.include)[o.uid] = included;
    return c;
}

::testing::AssertionResult contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << part << "\" not in \"" << text << "\"";
}

// ---- Status menu --------------------------------------------------------------------------------

// The menu as one line of items joined by "|": "---" for separators, "[x] " for the on mark,
// "(off) " for disabled items, "> " before a submenu's title.
std::string describe(const QMenu& menu) {
    std::string out;
    for (const QAction* a : menu.actions()) {
        std::string s = out.empty() ? "" : "|";
        if (a->isSeparator()) s += "---";
        if (a->menu()) s += "> ";
        if (!a->isSeparator() && !a->isEnabled()) s += "(off) ";
        if (a->isCheckable() && a->isChecked()) s += "[x] ";
        out += s + a->text().toStdString();
    }
    return out;
}

// The first item whose text starts with `start`, and the submenu it opens.
QAction* item(const QMenu& menu, const QString& start) {
    for (QAction* a : menu.actions())
        if (a->text().startsWith(start)) return a;
    return nullptr;
}
QMenu& submenu(const QMenu& menu, const QString& start) {
    return *item(menu, start)->menu();
}

// Records each action that ran as "name(value)", a map's entries as "key=value:type".
struct RecordingActions final : MenuActions {
    std::string log;
    void record(const char* name, const QVariant& v = {}) {
        log += std::string(name) + "(" + v.toString().toStdString();
        for (const auto& [key, x] : v.toMap().asKeyValueRange())
            log += key.toStdString() + "=" + x.toString().toStdString() + ":" + x.typeName() + " ";
        log += ") ";
    }
    void menuSelectMode(const QVariant& v) override { record("mode", v); }
    void menuToggleMute(const QVariant& v) override { record("mute", v); }
    void menuSetVolume(const QVariant& v) override { record("volume", v); }
    void menuNudgeDelay(const QVariant& v) override { record("nudge", v); }
    void menuAutoTune() override { record("autoTune"); }
    void menuRescan() override { record("rescan"); }
    void menuShowWindow() override { record("showWindow"); }
    void toggleDockVisible() override { record("dock"); }
    void showAbout() override { record("about"); }
    void menuQuit() override { record("quit"); }
};

struct StatusMenuTest : ::testing::Test {
    QMenu menu;
    RecordingActions actions;
};

MenuDevice menuDevice(const std::string& name, const std::string& uid, bool hasMute = true) {
    return {Dev{1, name, uid, transport::usb}, true, hasMute};
}

TEST_F(StatusMenuTest, WithNoDevicesShowsModesCommandsAndTuningProgressAndRebuildsInPlace) {
    const QString progress = QString("é—").repeated(40);  // characters of two and three bytes
    MenuModel m{.mode = Mode::together,
                .tuning = true,
                .tuneOverall = progress.toStdString(),
                .dockVisible = false};
    buildStatusMenu(menu, m, actions);
    const std::string cut = progress.left(70).toStdString();
    EXPECT_TRUE(
        contains(describe(menu), "|Aligned|---|---|Cancel auto-tune|(off) " + cut +
                                     "|---|Rescan devices|---|Open Housetone|Show in Dock|"));
    EXPECT_EQ(item(menu, "Rescan devices")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    // Where the tune stands leads the line, in short.
    m.tuneProgress = TuneProgress{TuneProgress::Stage::pairs, 2, 3, 1, 3};
    buildStatusMenu(menu, m, actions);
    EXPECT_TRUE(contains(describe(menu), "|(off) 1/3 \u00b7 pairs 2/3 \u2014 " +
                                             progress.left(52).toStdString() + "|"));
    m.tuneProgress.reset();
    m.dockVisible = true;
    m.tuning = false;
    buildStatusMenu(menu, m, actions);  // replaces everything rather than adding to it
    EXPECT_EQ(
        describe(menu),
        "Single|[x] Together|Aligned|---|---|Auto-tune speakers\u2026|Show last tune\u2026|---|"
        "Rescan devices|---|Open Housetone|[x] Show in Dock|---|About Housetone|---|"
        "Quit Housetone");
}

TEST_F(StatusMenuTest, TitlesShowPercentMutedOrDashAndSpeakersWithoutVolumeOfferOnlyMute) {
    sim::RoomSpec room = smallRoom();
    room.outputs[0].volume = 0.579;
    room.outputs[1].hasVolume = false;  // a Bluetooth speaker with a mute flag but no volume
    room.outputs[2].name = "B&O Desk";  // "&" would otherwise underline the next letter
    room.outputs[2].muted = true;
    auto tv = speaker("Living Room TV", "tv", transport::hdmi);
    tv.hasVolume = tv.hasMute = false;
    room.outputs.push_back(tv);
    Rig rig(room);
    buildStatusMenu(menu, menuModelFrom(*rig.controller, true), actions);
    EXPECT_TRUE(contains(describe(menu),
                         "---|> Kitchen  \u2014|> Built-in Speakers  57%|"
                         "> B&&O Desk  muted|> Living Room TV  \u2014|---|"));
    EXPECT_EQ(describe(submenu(menu, "Kitchen")), "Mute|---|(off) No volume control (bluetooth)");
    EXPECT_EQ(describe(submenu(menu, "Living Room TV")), "(off) No volume control (hdmi)");
    EXPECT_EQ(item(submenu(menu, "B&&O"), "Unmute")->data(), QVariant("desk"));
}

TEST_F(StatusMenuTest, ItemsCallTheirActionsVolumesMarkWithinFivePercentAndNudgesSkipTheReference) {
    MenuModel m{.mode = Mode::aligned,
                .devices = {menuDevice("Kitchen", "kitchen"), menuDevice("Porch", "porch", false),
                            menuDevice("Desk", "desk"), menuDevice("Shelf", "shelf")},
                .volumes = {{"porch", 0.55f}},
                .include = {{"kitchen", true}, {"porch", true}, {"desk", false}, {"shelf", true}},
                .offsets = {{"porch", 12.9}, {"shelf", -3.7}},
                .referenceUID = "kitchen"};
    buildStatusMenu(menu, m, actions);
    EXPECT_EQ(describe(submenu(menu, "Porch")),
              "100%|90%|80%|70%|[x] 60%|[x] 50%|40%|30%|20%|10%|---|(off) Delay: 12 ms|+5 ms|"
              "\u22125 ms");
    EXPECT_FALSE(volumeItemMarked(0.54f, 60));
    // Truncated toward zero, with an ordinary hyphen.
    EXPECT_TRUE(contains(describe(submenu(menu, "Shelf")), "|(off) Delay: -3 ms|"));
    EXPECT_TRUE(describe(submenu(menu, "Kitchen")).ends_with("|10%"));  // the reference
    EXPECT_TRUE(describe(submenu(menu, "Desk")).ends_with("|10%"));     // not included

    // Items call their actions with typed represented values.
    for (const char* text :
         {"Aligned", "Auto-tune", "Rescan", "Open", "Show in Dock", "About", "Quit Housetone"})
        item(menu, text)->trigger();
    for (const QString& text : {QString("Mute"), QString("70%"), QString("\u22125 ms")})
        item(submenu(menu, "Shelf"), text)->trigger();
    EXPECT_EQ(actions.log,
              "mode(Aligned) autoTune() rescan() showWindow() dock() about() quit() mute(shelf) "
              "volume(uid=shelf:QString v=0.7:double ) "
              "nudge(d=-5:double uid=shelf:QString ) ");

    m.mode = Mode::together;
    buildStatusMenu(menu, m, actions);
    EXPECT_TRUE(describe(submenu(menu, "Porch")).ends_with("|10%"));
}

TEST(MenuActions, NudgesRebaseAndStopAt250WellFormedValuesActAndMalformedOnesChangeNothing) {
    Rig rig{smallRoom(), includeAll(smallRoom())};
    Controller& c = *rig.controller;
    const auto nudge = [](const char* uid, QVariant d) {
        return QVariantMap{{"uid", uid}, {"d", d}};
    };
    menuNudgeDelay(c, nudge("kitchen", 2.0));
    menuNudgeDelay(c, nudge("desk", 10.0));
    menuNudgeDelay(c, nudge("kitchen", -5.0));
    EXPECT_DOUBLE_EQ(c.offsets().at("kitchen"), 0);
    EXPECT_DOUBLE_EQ(c.offsets().at("desk"), 13);
    EXPECT_DOUBLE_EQ(rig.store.load().offsets.at("desk"), 13);

    menuNudgeDelay(c, nudge("desk", 235.0));
    menuNudgeDelay(c, nudge("desk", 5.0));
    EXPECT_DOUBLE_EQ(c.offsets().at("desk"), 250);

    const auto offsets = c.offsets();
    const auto volumes = c.volumes();
    menuNudgeDelay(c, nudge("kitchen", "5"));
    menuNudgeDelay(c, nudge("nobody", 5.0));
    menuSetVolume(c, QVariantMap{{"uid", "desk"}, {"v", "0.5"}});
    menuSetVolume(c, QVariantMap{{"v", 0.5}});
    menuSelectMode(c, QString("together"));  // raw values are case-sensitive
    menuToggleMute(c, QString("nobody"));
    EXPECT_EQ(c.offsets(), offsets);
    EXPECT_EQ(c.volumes(), volumes);
    EXPECT_TRUE(c.mode() == Mode::single && !c.muted().count("nobody"));

    const AudioObjectID kitchen = *rig.hw.idForUID("kitchen");
    menuToggleMute(c, QString("kitchen"));  // no entry counts as not muted
    EXPECT_EQ(readMute(rig.hw, kitchen), std::optional<bool>(true));
    menuSetVolume(c, QVariantMap{{"uid", "kitchen"}, {"v", 0.3}});
    EXPECT_NEAR(readVolume(rig.hw, kitchen).value_or(-1), 0.3f, 1e-6);
    menuSelectMode(c, QString("Together"));
    EXPECT_EQ(c.mode(), Mode::together);
}

TEST(RescanReport, TheMessageBoxShowsTheCountAndWhatChanged) {
    QString text;
    QtAlertPresenter alerts;
    Rig rig(smallRoom(), std::nullopt, &alerts);
    rig.hw.addOutput(speaker("Garden", "garden", transport::bluetooth));
    // The box is modal: answer it from inside its own event loop.
    QTimer::singleShot(0, [&] {
        spinUntil([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->text() + "\n" + box->informativeText();
            box->accept();
        }
    });
    rig.controller->rescan();
    EXPECT_TRUE(text.startsWith("4 outputs found\nNew: Garden\n") && text.contains("\u2022 Desk"))
        << text.toStdString();
}

struct QtMainQueueTest : ::testing::Test {
    QtMainQueue q;
};

TEST_F(QtMainQueueTest, TasksFromAWorkerThreadRunInOrderOnTheGuiThread) {
    std::vector<int> order, expected(50);  // -1 for a task run off the GUI thread
    std::iota(expected.begin(), expected.end(), 0);
    std::atomic<bool> delayedOnMain{false};
    std::thread([&] {
        for (int i : expected)
            q.post([&, i] { order.push_back(q.isMainThread() ? i : -1); });
        q.postAfter(0.02, [&] { delayedOnMain = q.isMainThread(); });
    }).join();
    ASSERT_TRUE(spinUntil([&] { return order.size() == 50 && delayedOnMain; }));
    EXPECT_EQ(order, expected);
}

TEST_F(QtMainQueueTest, CancelledTimersNeverFireAgainEvenWhenCancelledFromTheirOwnTask) {
    int a = 0, b = 0;
    const MainQueue::TimerId ta = q.addTimer(0.005, [&] {
        if (++a == 3) q.cancelTimer(ta);
    });
    const MainQueue::TimerId tb = q.addTimer(0.005, [&] { ++b; });
    ASSERT_TRUE(spinUntil([&] { return a >= 3 && b >= 3; }));
    q.cancelTimer(tb);
    const int bAtCancel = b;
    q.cancelTimer(ta);      // twice: ignored
    q.cancelTimer(123456);  // unknown: ignored
    EXPECT_FALSE(spinUntil([&] { return a != 3 || b != bAtCancel; }, 60)) << a << " " << b;
}

TEST_F(QtMainQueueTest, DestroyingTheQueueDropsPendingTasksWhileItStillWorks) {
    // Kept alive only by pending tasks; its destructor uses the queue, as a controller's does.
    struct Owner {
        QtMainQueue& queue;
        MainQueue::TimerId timer;
        ~Owner() {
            queue.cancelTimer(timer);
            queue.post([] {});
            queue.postAfter(0, [] {});
            queue.addTimer(60, [] {});
        }
    };
    auto queue = std::make_unique<QtMainQueue>();
    auto owner = std::make_shared<Owner>(*queue, queue->addTimer(60, [] {}));
    const std::weak_ptr<Owner> watch = owner;
    queue->postAfter(60, [owner] {});
    std::thread([&, owner] { queue->postAfter(60, [owner] {}); }).join();
    queue->post([owner] {});
    owner.reset();
    queue.reset();
    EXPECT_TRUE(watch.expired());
}

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
    EXPECT_EQ(parse({"--sim-speed", ".5"}).simSpeed, 0.5);
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

// ---- Application delegate -----------------------------------------------------------------------

struct AppDelegateTest : ::testing::Test {
    void TearDown() override {
        app.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QTemporaryDir dir;
    sim::SimAudioSystem hw{smallRoom(), {.startWorld = false}};
    SettingsStore store{std::filesystem::path(dir.path().toStdString())};
    QtMainQueue queue;
    QtUserDefaults defaults{dir.filePath("defaults.ini")};
    std::unique_ptr<AppDelegate> app;
};

TEST_F(AppDelegateTest, TheWindowItsMenuAboutPanelAndTaskbarEntryFollowModeCloseAndShowInDock) {
    store.save(includeAll(smallRoom()));
    app = std::make_unique<AppDelegate>(
        AppServices{hw, hw.player(), hw.micPermission(), store, queue, defaults}, LaunchOptions{});
    app->didFinishLaunching();
    QMainWindow* w = app->window();
    ASSERT_TRUE(w && w->isVisible());
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);

    // The About panel is made once, Return hides it, and it never counts for the taskbar.
    app->showAbout();
    AboutPanel* panel = app->aboutPanel();
    ASSERT_TRUE(panel && panel->isVisible());
    EXPECT_EQ(panel->iconLabel()->accessibleName(), "Housetone icon");
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(panel, &press);
    EXPECT_FALSE(panel->isVisible());
    app->showAbout();
    EXPECT_TRUE(app->aboutPanel() == panel && panel->isVisible());

    // Offscreen there is no tray: the window offers the menu, rebuilt soon after a mode change.
    EXPECT_EQ(app->statusItem()->trayIcon(), nullptr);
    QMenu* menu = app->statusItem()->menu();
    item(*menu, "Together")->trigger();
    EXPECT_TRUE(spinUntil([&] { return describe(*menu).starts_with("Single|[x] Together"); }));

    // Closing keeps the program and its window object; the entry goes once the window has gone.
    w->close();
    EXPECT_TRUE(spinUntil([&] { return app->activationPolicy() == ActivationPolicy::accessory; }));
    app->menuShowWindow();
    EXPECT_TRUE(app->window() == w && w->isVisible());
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);

    // Show in Dock off: the window stays, out of the taskbar, and the choice is kept.
    app->toggleDockVisible();
    EXPECT_TRUE(w->isVisible() && w->windowFlags().testFlag(Qt::Tool));
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::accessory);
    EXPECT_FALSE(dockVisible(defaults));
}

// ---- Self-check logs ----------------------------------------------------------------------------

TEST(SelfCheckRun, LogLinesReadBackExactlyAndAFailedOrEmptyEngineCheckSaysWhyAndEnds) {
    EXPECT_EQ(shortestDecimal(250), "250.0");
    EXPECT_EQ(shortestDecimal(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(offsetsLine({}), "offsets: [:]");
    EXPECT_EQ(offsetsLine({{"sim-b", 12.5}, {"sim-a", 0}}),
              "offsets: [\"sim-a\": 0.0, \"sim-b\": 12.5]");
    EXPECT_EQ(tunePhaseLines({{"a", "measured 12 ms"}, {"gone", "skipped"}},
                             {Dev{3, "Kitchen", "a", transport::bluetooth}}),
              (Lines{"Kitchen: measured 12 ms", "gone: skipped"}));

    // The engine self-check's exit status once it has ended, and the head of its log.
    const auto run = [](Rig& rig) {
        std::optional<int> exitStatus;
        const auto check =
            SelfCheck::create(rig.controller, rig.main, [&](int s) { exitStatus = s; });
        check->runEngineSelfCheck();
        EXPECT_TRUE(rig.main.runUntil([&] { return exitStatus.has_value(); }, 20));
        return std::pair(exitStatus, "engineStarted: false\nstatus: " + rig.controller->status() +
                                         "\nengineError: ");
    };
    Rig broken(smallRoom(), includeAll(smallRoom()));
    broken.hw.injectFault({.call = sim::Call::createTap});
    const auto [brokenStatus, brokenHead] = run(broken);
    EXPECT_EQ(brokenStatus, 0);
    EXPECT_EQ(readFile(broken.store.fileURL(SelfCheck::engineLogName)),
              brokenHead + broken.controller->engine().lastError().value_or("?"));

    Rig idle(smallRoom(), includeAll(smallRoom(), false));
    const auto [idleStatus, idleHead] = run(idle);
    EXPECT_EQ(idleStatus, 1);
    EXPECT_EQ(readFile(idle.store.fileURL(SelfCheck::engineLogName)),
              idleHead + "none\nInclude at least one speaker first");
}

std::filesystem::path stateDirIn(const QTemporaryDir& home) {
    return std::filesystem::path(home.path().toStdString()) / ".local/state/vuzeda";
}

// Waits for `p`, killing it after `timeoutMs`; whether it ended by itself with exit status 0.
bool endsCleanly(QProcess& p, int timeoutMs) {
    const bool finished = p.waitForFinished(timeoutMs);
    if (!finished) p.kill(), p.waitForFinished();
    return finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Starts the program in `home` with every speaker of the built-in room included, offscreen through
// Qt's own option; standard error goes to `errFile`, or to the test's when it is empty.
std::unique_ptr<QProcess> startApp(const QTemporaryDir& home, QStringList args,
                                   const QString& errFile = {}) {
    SettingsStore(stateDirIn(home)).save(includeAll(sim::defaultRoom()));
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.path() + "/.config");
    p->setProcessEnvironment(env);
    if (errFile.isEmpty())
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    else
        p->setStandardErrorFile(errFile);
    p->start(HOUSETONE_APP_FILE, args << "-platform"
                                      << "offscreen");
    return p;
}

// The program under SIGTERM (what a session ending sends) at moments spread over both self-checks,
// ten runs at once: each ends cleanly with its settings saved, and Qt's own options pass silently.
TEST(AppProcess, QuittingDuringEitherSelfCheckEndsCleanly) {
    constexpr int runs = 10;
    std::array<QTemporaryDir, runs> homes;
    std::vector<std::unique_ptr<QProcess>> procs;
    for (int i = 0; i < runs; ++i)
        procs.push_back(startApp(
            homes[i],
            {i % 2 ? "--autotune-selftest" : "--selftest", "--sim-speed", "40", "--odd\x1b[31m"},
            homes[i].filePath("stderr.txt")));
    // From before a check starts (its launch still pending) to well inside it.
    const auto killAtMs = [](int i) { return 700 + 300 * i; };
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) {
        std::this_thread::sleep_until(started + std::chrono::milliseconds(killAtMs(i)));
        ::kill(static_cast<pid_t>(procs[i]->processId()), SIGTERM);
    }
    for (int i = 0; i < runs; ++i) {
        const bool clean = endsCleanly(*procs[i], 30000);
        const std::string err = readFile(homes[i].filePath("stderr.txt").toStdString());
        SCOPED_TRACE("killed at " + std::to_string(killAtMs(i)) + " ms\n" + err);
        EXPECT_TRUE(clean);
        EXPECT_EQ(SettingsStore(stateDirIn(homes[i])).load().include,
                  includeAll(sim::defaultRoom()).include);
        EXPECT_TRUE(contains(err, "housetone: ignoring unknown option \"--odd\\x1b[31m\""));
        EXPECT_FALSE(contains(err, "platform") || contains(err, "offscreen"));
    }
}

// ---- The program itself (slow: real self-check runs at 40x) -------------------------------------

// The text of the log a self-check run of the program left, once it ended by itself.
std::string selfCheckLog(const QString& flag, const char* logName, int timeoutMs) {
    const QTemporaryDir home;
    // Speed 20 rather than 40 keeps the measurement margins clear of scheduling stalls on a
    // loaded machine (or under a sanitizer), where each real millisecond costs `speed` ms.
    const auto p =
        startApp(home, {flag, "--sim-speed", QString::number(testsupport::measuringSpeed(20))});
    EXPECT_TRUE(endsCleanly(*p, timeoutMs));
    return readFile(stateDirIn(home) / logName);
}

TEST(AppProcessSlow, SelftestPlaysThroughTheTapAndReturnsToSingleOutput) {
    const std::string text = selfCheckLog("--selftest", "app-selftest.log", 120000);
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

TEST(AppProcessSlow, AutotuneSelftestFindsTheRoomsTrueOffsets) {
    const std::string text =
        selfCheckLog("--autotune-selftest", "app-autotune-selftest.log", 280000);
    const Lines lines = splitLines(text);
    const sim::SimAudioSystem hw{sim::defaultRoom(), sim::SimOptions{.startWorld = false}};
    ASSERT_GE(lines.size(), 2u) << text;
    ASSERT_TRUE(lines.back().starts_with("offsets: [")) << text;
    // The truth: how long each speaker must wait to arrive with the slowest one, within the
    // 250 ms an offset can hold (the built-in speakers of this room would need a little more).
    double slowest = 0;
    for (const auto& o : hw.room().outputs)
        slowest = std::max(slowest, *hw.roomDelayFrames(o.uid) / 48.0);
    for (const auto& o : hw.room().outputs) {
        const std::string key = "\"" + o.uid + "\": ";
        const auto at = lines.back().find(key);
        ASSERT_NE(at, std::string::npos) << o.uid << "\n" << text;
        const double ms = std::stod(lines.back().substr(at + key.size()));
        const double truth = std::min(slowest - *hw.roomDelayFrames(o.uid) / 48.0, 250.0);
        EXPECT_NEAR(ms, truth, 1.0) << o.uid << "\n" << text;
    }
}

}  // namespace
}  // namespace housetone::ui
