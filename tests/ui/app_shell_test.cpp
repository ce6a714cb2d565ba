// The application shell: the status menu, its actions on a real controller, the rescan report, the
// main queue on Qt's event loop, user defaults, launch options, the About panel, the window and
// taskbar policy, the self-check logs, and (AppProcessSlow) the program's own self-check runs.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QVariantMap>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include "qt_application.h"

#include "audio/device_access.h"
#include "audio/sim/sim_audio_system.h"
#include "controller/controller.h"
#include "core/settings_store.h"
#include "platform/manual_main_queue.h"
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

// ---- Shared set-up ------------------------------------------------------------------------------

// Runs the Qt event loop until `done` holds or `timeoutMs` passed; returns done().
template <typename Pred>
bool spinUntil(Pred done, int timeoutMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

// Runs the event loop for `ms` of real time (to show that something did NOT happen).
void spinFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

sim::OutputSpec speaker(const std::string& name, const std::string& uid, std::uint32_t transport) {
    sim::OutputSpec o;
    o.name = name;
    o.uid = uid;
    o.transport = transport;
    o.latencyMs = 5;
    o.level = 0.2;
    return o;
}

sim::RoomSpec smallRoom() {
    sim::RoomSpec room;
    room.outputs = {speaker("Built-in Speakers", "builtin", transport::builtIn),
                    speaker("Kitchen", "kitchen", transport::bluetooth),
                    speaker("Desk", "desk", transport::usb)};
    room.inputs.push_back({"Built-in Microphone", "mic", transport::builtIn, 1, 0.0001});
    room.defaultOutput = "builtin";
    return room;
}

class NullPlayer final : public Player {
  public:
    bool play(const std::string&) override { return true; }
    void terminate() override {}
};

// A controller over a simulated room whose world does not run (no audio thread needed), with a
// settings store in a fresh directory and a hand-pumped main queue.
struct Rig {
    explicit Rig(sim::RoomSpec room, std::optional<Config> settings = std::nullopt,
                 AlertPresenter* alerts = nullptr, bool startWorld = false)
        : hw(std::move(room), {.speed = 40, .startWorld = startWorld}),
          store(std::filesystem::path(dir.path().toStdString())) {
        if (settings) store.save(*settings);
        controller =
            Controller::create(Services{hw, main, store, hw.player(), hw.micPermission(), alerts});
    }
    ~Rig() {
        controller->shutdown();
        controller.reset();
    }
    const Dev& dev(const std::string& uid) const {
        for (const Dev& d : controller->devices())
            if (d.uid == uid) return d;
        throw std::runtime_error("no device " + uid);
    }

    QTemporaryDir dir;
    sim::SimAudioSystem hw;
    SettingsStore store;
    ManualMainQueue main;
    std::shared_ptr<Controller> controller;
};

Config includeAll(const sim::RoomSpec& room) {
    Config c;
    std::map<std::string, bool> include;
    for (const auto& o : room.outputs)
        include[o.uid] = true;
    c.include = include;
    return c;
}

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);)
        lines.push_back(line);
    return lines;
}

// ---- Menu inspection ----------------------------------------------------------------------------

// The menu as text: one entry per item, "---" for separators, "[x] " for the on mark, "(off) " for
// disabled items, "> " before a submenu's title.
std::vector<std::string> describe(const QMenu& menu) {
    std::vector<std::string> out;
    for (const QAction* a : menu.actions()) {
        if (a->isSeparator()) {
            out.push_back("---");
            continue;
        }
        std::string s;
        if (a->menu()) s += "> ";
        if (!a->isEnabled()) s += "(off) ";
        if (a->isCheckable() && a->isChecked()) s += "[x] ";
        s += a->text().toStdString();
        out.push_back(s);
    }
    return out;
}

QAction* item(const QMenu& menu, const QString& text) {
    for (QAction* a : menu.actions())
        if (a->text() == text) return a;
    return nullptr;
}

QMenu* submenu(const QMenu& menu, const QString& titleStart) {
    for (QAction* a : menu.actions())
        if (a->menu() && a->text().startsWith(titleStart)) return a->menu();
    return nullptr;
}

// Records which action ran, with its represented value.
struct RecordingActions final : MenuActions {
    std::vector<std::pair<std::string, QVariant>> calls;
    void menuSelectMode(const QVariant& v) override { calls.emplace_back("menuSelectMode", v); }
    void menuToggleMute(const QVariant& v) override { calls.emplace_back("menuToggleMute", v); }
    void menuSetVolume(const QVariant& v) override { calls.emplace_back("menuSetVolume", v); }
    void menuNudgeDelay(const QVariant& v) override { calls.emplace_back("menuNudgeDelay", v); }
    void menuAutoTune() override { calls.emplace_back("menuAutoTune", QVariant()); }
    void menuRescan() override { calls.emplace_back("menuRescan", QVariant()); }
    void menuShowWindow() override { calls.emplace_back("menuShowWindow", QVariant()); }
    void toggleDockVisible() override { calls.emplace_back("toggleDockVisible", QVariant()); }
    void showAbout() override { calls.emplace_back("showAbout", QVariant()); }
    void menuQuit() override { calls.emplace_back("menuQuit", QVariant()); }
};

class StatusMenuTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ensureApplication(); }
    QMenu menu;
    RecordingActions actions;
};

MenuDevice menuDevice(const std::string& name, const std::string& uid, std::uint32_t transport,
                      bool hasVolume = true, bool hasMute = true) {
    return {Dev{1, name, uid, transport}, hasVolume, hasMute};
}

const QString minusFive = QString::fromUtf8("\u22125 ms");

TEST_F(StatusMenuTest, WithNoDevicesShowsTheModesTwoSeparatorsAndTheCommands) {
    MenuModel m;
    m.mode = Mode::together;
    m.dockVisible = false;
    buildStatusMenu(menu, m, actions);
    const std::vector<std::string> expected = {"Single",
                                               "[x] Together",
                                               "Aligned",
                                               "---",
                                               "---",
                                               "Auto-tune speakers\u2026",
                                               "---",
                                               "Rescan devices",
                                               "---",
                                               "Open Housetone",
                                               "Show in Dock",
                                               "---",
                                               "About Housetone",
                                               "---",
                                               "Quit Housetone"};
    EXPECT_EQ(describe(menu), expected);
    EXPECT_EQ(item(menu, "Rescan devices")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));

    // Rebuilding replaces everything rather than adding to it.
    m.dockVisible = true;
    buildStatusMenu(menu, m, actions);
    EXPECT_EQ(describe(menu).size(), expected.size());
    EXPECT_TRUE(item(menu, "Show in Dock")->isChecked());
}

TEST_F(StatusMenuTest, EveryItemCallsItsActionWithItsRepresentedValue) {
    MenuModel m;
    m.mode = Mode::aligned;
    m.devices = {menuDevice("Kitchen", "kitchen", transport::bluetooth)};
    m.include = {{"kitchen", true}};
    buildStatusMenu(menu, m, actions);

    const QMenu* kitchen = submenu(menu, "Kitchen");
    ASSERT_NE(kitchen, nullptr);
    for (const QString& text :
         {QString("Aligned"), QString("Auto-tune speakers\u2026"), QString("Rescan devices"),
          QString("Open Housetone"), QString("Show in Dock"), QString("About Housetone"),
          QString("Quit Housetone")})
        item(menu, text)->trigger();
    for (const QString& text : {QString("Mute"), QString("70%"), minusFive})
        item(*kitchen, text)->trigger();

    ASSERT_EQ(actions.calls.size(), 10u);
    const std::vector<std::string> names = {
        "menuSelectMode", "menuAutoTune", "menuRescan",     "menuShowWindow", "toggleDockVisible",
        "showAbout",      "menuQuit",     "menuToggleMute", "menuSetVolume",  "menuNudgeDelay"};
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(actions.calls[i].first, names[i]);

    EXPECT_EQ(actions.calls[0].second, QVariant(QString("Aligned")));
    EXPECT_EQ(actions.calls[7].second, QVariant(QString("kitchen")));
    const QVariantMap volume = actions.calls[8].second.toMap();
    EXPECT_EQ(volume.value("uid"), QVariant(QString("kitchen")));
    EXPECT_EQ(volume.value("v").typeId(), QMetaType::Double);
    EXPECT_DOUBLE_EQ(volume.value("v").toDouble(), 0.7);
    const QVariantMap nudge = actions.calls[9].second.toMap();
    EXPECT_EQ(nudge.value("uid"), QVariant(QString("kitchen")));
    EXPECT_EQ(nudge.value("d").typeId(), QMetaType::Double);
    EXPECT_DOUBLE_EQ(nudge.value("d").toDouble(), -5.0);
}

TEST_F(StatusMenuTest, DeviceTitlesShowMutedTruncatedPercentOrDash) {
    MenuModel m;
    m.devices = {menuDevice("Kitchen", "kitchen", transport::bluetooth),
                 menuDevice("Bang & Olufsen", "bo", transport::usb),
                 menuDevice("TV", "tv", transport::hdmi)};
    m.volumes = {{"kitchen", 0.579f}, {"bo", 0.29f}};
    m.muted = {{"bo", true}, {"kitchen", false}};
    buildStatusMenu(menu, m, actions);
    const std::vector<std::string> d = describe(menu);
    ASSERT_GE(d.size(), 7u);
    EXPECT_EQ(d[4], "> Kitchen  57%");
    // "&" would otherwise underline the next letter and vanish.
    EXPECT_EQ(d[5], "> Bang && Olufsen  muted");
    EXPECT_EQ(d[6], "> TV  \u2014");
    EXPECT_EQ(d[7], "---");
    EXPECT_EQ(item(*submenu(menu, "Bang"), "Unmute")->data(), QVariant(QString("bo")));
}

TEST_F(StatusMenuTest, ADeviceWithoutVolumeOffersMuteAndNamesItsTransport) {
    // Real hardware answers: a Bluetooth speaker with a mute flag but no volume control.
    sim::RoomSpec room = smallRoom();
    room.outputs[1].hasVolume = false;
    auto tv = speaker("Living Room TV", "tv", transport::hdmi);
    tv.hasVolume = false;
    tv.hasMute = false;
    room.outputs.push_back(tv);
    Rig rig(room);
    buildStatusMenu(menu, menuModelFrom(*rig.controller, true), actions);

    const QMenu* kitchen = submenu(menu, "Kitchen");
    ASSERT_NE(kitchen, nullptr);
    EXPECT_EQ(describe(*kitchen),
              (std::vector<std::string>{"Mute", "---", "(off) No volume control (bluetooth)"}));
    EXPECT_EQ(describe(*submenu(menu, "Living Room TV")),
              (std::vector<std::string>{"(off) No volume control (hdmi)"}));
    // No volume reading: a dash in the title.
    const std::vector<std::string> top = describe(menu);
    EXPECT_NE(std::find(top.begin(), top.end(), "> Kitchen  \u2014"), top.end());
}

TEST_F(StatusMenuTest, VolumeItemsRunFromHundredToTenAndMarkWithinFivePercent) {
    MenuModel m;
    m.devices = {menuDevice("Desk", "desk", transport::usb, true, false)};
    m.volumes = {{"desk", 0.55f}};
    buildStatusMenu(menu, m, actions);
    EXPECT_EQ(describe(*submenu(menu, "Desk")),
              (std::vector<std::string>{"100%", "90%", "80%", "70%", "[x] 60%", "[x] 50%", "40%",
                                        "30%", "20%", "10%"}));

    struct Case {
        float volume;
        std::vector<int> marked;
    };
    const Case cases[] = {{0.55f, {60, 50}},  {0.54f, {50}},  {0.545f, {60, 50}},
                          {1.0f, {100}},      {0.0f, {}},     {0.05f, {10}},
                          {0.95f, {100, 90}}, {0.96f, {100}}, {0.3f, {30}}};
    for (const Case& c : cases) {
        std::vector<int> marked;
        for (int pct = 100; pct >= 10; pct -= 10)
            if (volumeItemMarked(c.volume, pct)) marked.push_back(pct);
        EXPECT_EQ(marked, c.marked) << "volume " << c.volume;
    }
}

TEST_F(StatusMenuTest, AlignedModeOffersNudgesExceptOnTheReferenceAndExcludedSpeakers) {
    MenuModel m;
    m.mode = Mode::aligned;
    m.devices = {menuDevice("Kitchen", "kitchen", transport::bluetooth),
                 menuDevice("Porch", "porch", transport::bluetoothLE),
                 menuDevice("Desk", "desk", transport::usb, true, false),
                 menuDevice("Shelf", "shelf", transport::usb, true, false)};
    m.volumes = {{"kitchen", 1.0f}, {"porch", 1.0f}, {"desk", 1.0f}, {"shelf", 1.0f}};
    m.include = {{"kitchen", true}, {"porch", true}, {"desk", false}, {"shelf", true}};
    m.offsets = {{"porch", 12.9}, {"shelf", -3.7}};
    m.referenceUID = "kitchen";
    buildStatusMenu(menu, m, actions);

    const std::vector<std::string> porch = describe(*submenu(menu, "Porch"));
    ASSERT_EQ(porch.size(), 16u);
    EXPECT_EQ(
        std::vector<std::string>(porch.end() - 4, porch.end()),
        (std::vector<std::string>{"---", "(off) Delay: 12 ms", "+5 ms", minusFive.toStdString()}));
    // Truncated toward zero, with an ordinary hyphen.
    EXPECT_EQ(describe(*submenu(menu, "Shelf")).end()[-3], "(off) Delay: -3 ms");
    EXPECT_EQ(describe(*submenu(menu, "Kitchen")).back(), "10%");  // the reference
    EXPECT_EQ(describe(*submenu(menu, "Desk")).back(), "10%");     // not included

    // Without a reference every included speaker qualifies; outside aligned mode none does.
    m.referenceUID.reset();
    buildStatusMenu(menu, m, actions);
    EXPECT_EQ(describe(*submenu(menu, "Kitchen")).end()[-3], "(off) Delay: 0 ms");
    for (const Mode mode : {Mode::single, Mode::together}) {
        m.mode = mode;
        buildStatusMenu(menu, m, actions);
        EXPECT_EQ(describe(*submenu(menu, "Porch")).back(), "10%");
    }
}

TEST_F(StatusMenuTest, WhileTuningOffersCancelAndACutProgressLine) {
    MenuModel m;
    m.tuning = true;
    // 80 characters, most of them two or three bytes long in UTF-8.
    std::string progress;
    for (int i = 0; i < 40; ++i)
        progress += "é—";
    m.tuneOverall = progress;
    buildStatusMenu(menu, m, actions);
    const std::vector<std::string> d = describe(menu);
    EXPECT_EQ(d[5], "Cancel auto-tune");
    const QAction* line = menu.actions()[6];
    EXPECT_FALSE(line->isEnabled());
    EXPECT_EQ(line->text().size(), 70);
    EXPECT_TRUE(QString::fromStdString(progress).startsWith(line->text()));
    EXPECT_EQ(d[7], "---");

    // A short text is shown whole; a finished tune shows no progress line.
    EXPECT_EQ(firstCharacters("Measuring Kitchen…", 70), QString("Measuring Kitchen…"));
    m.tuning = false;
    buildStatusMenu(menu, m, actions);
    EXPECT_EQ(describe(menu)[5], "Auto-tune speakers\u2026");
    EXPECT_EQ(describe(menu)[6], "---");
}

// ---- Speaker actions on a real controller
// --------------------------------------------------------

class MenuActionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ensureApplication(); }
    Rig rig{smallRoom(), includeAll(smallRoom())};
    Controller& c = *rig.controller;
    static QVariantMap nudge(const char* uid, double d) { return {{"uid", uid}, {"d", d}}; }
};

TEST_F(MenuActionTest, NudgingBelowZeroPlaysNoDelayAndShiftsTheOthers) {
    c.setOffset(rig.dev("kitchen"), 2);
    c.setOffset(rig.dev("desk"), 10);
    menuNudgeDelay(c, nudge("kitchen", -5));
    EXPECT_DOUBLE_EQ(c.offsets().at("kitchen"), 0);
    EXPECT_DOUBLE_EQ(c.offsets().at("desk"), 13);
    // Saved by the re-basing.
    EXPECT_DOUBLE_EQ(rig.store.load().offsets.at("desk"), 13);

    c.setOffset(rig.dev("desk"), 248);
    menuNudgeDelay(c, nudge("desk", 5));
    EXPECT_DOUBLE_EQ(c.offsets().at("desk"), 250);
    menuNudgeDelay(c, nudge("desk", 5));
    EXPECT_DOUBLE_EQ(c.offsets().at("desk"), 250);
    // A speaker without an offset starts from 0.
    menuNudgeDelay(c, nudge("builtin", 5));
    EXPECT_DOUBLE_EQ(c.offsets().at("builtin"), 5);
}

TEST_F(MenuActionTest, ValuesOfTheWrongShapeOrUnknownSpeakersChangeNothing) {
    const auto before = c.offsets();
    menuNudgeDelay(c, QVariantMap{{"uid", "desk"}, {"d", "5"}});
    menuNudgeDelay(c, QVariantMap{{"uid", "desk"}});
    menuNudgeDelay(c, nudge("nobody", 5));
    menuNudgeDelay(c, QVariant(QString("desk")));
    EXPECT_EQ(c.offsets(), before);

    const auto volumes = c.volumes();
    menuSetVolume(c, QVariantMap{{"uid", "desk"}, {"v", "0.5"}});
    menuSetVolume(c, QVariantMap{{"v", 0.5}});
    menuSetVolume(c, QVariantMap{{"uid", "nobody"}, {"v", 0.5}});
    EXPECT_EQ(c.volumes(), volumes);

    menuSelectMode(c, QString("together"));  // raw values are case-sensitive
    menuSelectMode(c, QVariant(2));
    EXPECT_EQ(c.mode(), Mode::single);
    menuToggleMute(c, QString("nobody"));
    EXPECT_TRUE(c.muted().count("nobody") == 0);
}

TEST_F(MenuActionTest, MuteVolumeAndModeReachTheDevices) {
    const Dev kitchen = rig.dev("kitchen");
    // No entry counts as not muted, so the first toggle mutes.
    auto muted = c.muted();
    muted.erase("kitchen");
    menuToggleMute(c, QString("kitchen"));
    EXPECT_TRUE(c.muted().at("kitchen"));
    EXPECT_EQ(readMute(rig.hw, kitchen.id), std::optional<bool>(true));
    menuToggleMute(c, QString("kitchen"));
    EXPECT_EQ(readMute(rig.hw, kitchen.id), std::optional<bool>(false));

    menuSetVolume(c, QVariantMap{{"uid", "kitchen"}, {"v", 0.3}});
    EXPECT_FLOAT_EQ(c.volumes().at("kitchen"), 0.3f);
    EXPECT_NEAR(readVolume(rig.hw, kitchen.id).value_or(-1), 0.3f, 1e-6);

    menuSelectMode(c, QString("Together"));
    EXPECT_EQ(c.mode(), Mode::together);
}

// ---- Rescan report ------------------------------------------------------------------------------

TEST(RescanReport, TheMessageBoxShowsTheCountAndWhatChanged) {
    ensureApplication();
    QString text, informative;
    QtAlertPresenter alerts;
    Rig rig(smallRoom(), std::nullopt, &alerts);
    rig.hw.addOutput(speaker("Garden", "garden", transport::bluetooth));

    // The box is modal: answer it from inside its own event loop.
    QTimer::singleShot(0, [&] {
        spinUntil([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->text();
            informative = box->informativeText();
            box->accept();
        }
    });
    rig.controller->rescan();

    EXPECT_EQ(text, "4 outputs found");
    EXPECT_TRUE(informative.startsWith("New: Garden\n")) << informative.toStdString();
    EXPECT_TRUE(informative.contains("\u2022 Desk")) << informative.toStdString();
}

// ---- Main queue on the Qt event loop ------------------------------------------------------------

class QtMainQueueTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ensureApplication(); }
};

TEST_F(QtMainQueueTest, TasksFromEachThreadRunInOrderOnTheGuiThread) {
    QtMainQueue q;
    std::vector<int> mainOrder, workerOrder;
    std::atomic<bool> offThread{false};
    for (int i = 0; i < 50; ++i)
        q.post([&, i] { mainOrder.push_back(i); });
    std::thread worker([&] {
        for (int i = 0; i < 50; ++i)
            q.post([&, i] {
                if (!q.isMainThread()) offThread = true;
                workerOrder.push_back(i);
            });
    });
    worker.join();
    ASSERT_TRUE(spinUntil([&] { return mainOrder.size() == 50 && workerOrder.size() == 50; }));
    std::vector<int> expected(50);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(mainOrder, expected);
    EXPECT_EQ(workerOrder, expected);
    EXPECT_FALSE(offThread);
}

TEST_F(QtMainQueueTest, RunSyncRunsOnTheGuiThreadAndWaitsForTheTask) {
    QtMainQueue q;
    bool inline_ = false;
    q.runSync([&] { inline_ = true; });
    EXPECT_TRUE(inline_);  // on the GUI thread it runs at once

    std::atomic<bool> ranOnMain{false}, sawResult{false}, finished{false};
    int value = 0;
    std::thread worker([&] {
        q.runSync([&] {
            ranOnMain = q.isMainThread();
            value = 42;
        });
        sawResult = value == 42;
        finished = true;
    });
    EXPECT_TRUE(spinUntil([&] { return finished.load(); }));
    worker.join();
    EXPECT_TRUE(ranOnMain);
    EXPECT_TRUE(sawResult);
}

TEST_F(QtMainQueueTest, DelayedTasksFromWorkersRunOnTheGuiThread) {
    QtMainQueue q;
    std::atomic<bool> onMain{false}, ran{false};
    std::thread worker([&] {
        q.postAfter(0.02, [&] {
            onMain = q.isMainThread();
            ran = true;
        });
    });
    worker.join();
    EXPECT_TRUE(spinUntil([&] { return ran.load(); }));
    EXPECT_TRUE(onMain);
}

TEST_F(QtMainQueueTest, ACancelledTimerNeverFiresAgainEvenWhenCancelledFromItsOwnTask) {
    QtMainQueue q;
    int a = 0, b = 0;
    MainQueue::TimerId ta = 0;
    ta = q.addTimer(0.005, [&] {
        if (++a == 3) q.cancelTimer(ta);
    });
    const MainQueue::TimerId tb = q.addTimer(0.005, [&] { ++b; });
    ASSERT_TRUE(spinUntil([&] { return a >= 3 && b >= 3; }));
    q.cancelTimer(tb);
    const int bAtCancel = b;
    q.cancelTimer(tb);      // twice: ignored
    q.cancelTimer(123456);  // unknown: ignored
    spinFor(60);
    EXPECT_EQ(a, 3);
    EXPECT_EQ(b, bAtCancel);
}

TEST_F(QtMainQueueTest, DestroyingTheQueueDropsWhatIsStillPending) {
    bool ran = false;
    {
        QtMainQueue q;
        q.post([&] { ran = true; });
        q.postAfter(0.001, [&] { ran = true; });
        q.addTimer(0.001, [&] { ran = true; });
    }
    spinFor(30);
    EXPECT_FALSE(ran);
}

// ---- User defaults and launch options -----------------------------------------------------------

TEST(QtUserDefaultsTest, AnAbsentKeyGivesTheFallbackAndAWrittenOneSurvivesReopening) {
    ensureApplication();
    QTemporaryDir dir;
    const QString file = dir.filePath("defaults.ini");
    {
        QtUserDefaults defaults(file);
        EXPECT_TRUE(dockVisible(defaults));
        EXPECT_FALSE(defaults.boolDefault("dockVisible", false));
        defaults.setBool("dockVisible", false);
    }
    QtUserDefaults reopened(file);
    EXPECT_FALSE(dockVisible(reopened));
    EXPECT_FALSE(reopened.boolDefault("dockVisible", true));
}

TEST(LaunchOptionsTest, AppearanceTakesOnlyTheExactWordsThatFollowIt) {
    using V = std::vector<std::string>;
    EXPECT_EQ(parseLaunchOptions(V{"--appearance", "dark"}).appearance, Appearance::dark);
    EXPECT_EQ(parseLaunchOptions(V{"--selftest", "--appearance", "light"}).appearance,
              Appearance::light);
    EXPECT_EQ(parseLaunchOptions(V{"--appearance", "Dark"}).appearance, Appearance::system);
    EXPECT_EQ(parseLaunchOptions(V{"--appearance"}).appearance, Appearance::system);
    // The word after --appearance is its value, but flags count wherever they stand.
    const LaunchOptions o = parseLaunchOptions(V{"--appearance", "--selftest", "--open-menu"});
    EXPECT_EQ(o.appearance, Appearance::system);
    EXPECT_TRUE(o.selfTest && o.openMenu);
    EXPECT_FALSE(o.autoTuneSelfTest || o.showAbout);
    EXPECT_TRUE(o.warnings.empty() && !o.error);
}

TEST(LaunchOptionsTest, BadValuesAreErrorsAndUnknownOptionsOnlyWarnings) {
    using V = std::vector<std::string>;
    EXPECT_DOUBLE_EQ(parseLaunchOptions(V{}).simSpeed, 1);
    EXPECT_DOUBLE_EQ(parseLaunchOptions(V{"--sim-speed", "40"}).simSpeed, 40);
    for (const char* bad : {"0", "-2", "fast", "40x", "", "nan", "inf"})
        EXPECT_TRUE(parseLaunchOptions(V{"--sim-speed", bad}).error) << bad;
    EXPECT_TRUE(parseLaunchOptions(V{"--sim-room"}).error);
    EXPECT_TRUE(parseLaunchOptions(V{"--sim-record"}).error);
    EXPECT_EQ(parseLaunchOptions(V{"--sim-room", "r.json"}).simRoom, "r.json");

    const LaunchOptions o = parseLaunchOptions(
        V{"-platform", "offscreen", "--style=Fusion", "--frobnicate", "extra", "-reverse"});
    EXPECT_FALSE(o.error);
    ASSERT_EQ(o.warnings.size(), 2u);
    EXPECT_NE(o.warnings[0].find("--frobnicate"), std::string::npos);
    EXPECT_NE(o.warnings[1].find("extra"), std::string::npos);
}

// ---- Application delegate -----------------------------------------------------------------------

class AppDelegateTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ensureApplication(); }
    void launch() {
        store.save(includeAll(smallRoom()));
        app = std::make_unique<AppDelegate>(
            AppServices{hw, hw.player(), hw.micPermission(), store, queue, defaults},
            LaunchOptions{});
        app->didFinishLaunching();
    }
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

TEST_F(AppDelegateTest, LaunchShowsTheWindowAndTheTaskbarEntryFollowsIt) {
    launch();
    QMainWindow* w = app->window();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->windowTitle(), "Housetone");
    // 560 x 480, unless the content cannot be made that narrow.
    EXPECT_EQ(w->size(), QSize(560, 480));
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);
    EXPECT_EQ(app->controller()->mode(), Mode::single);

    // Closing keeps the program and its window object; the entry goes once the window has gone.
    w->close();
    EXPECT_TRUE(spinUntil([&] { return app->activationPolicy() == ActivationPolicy::accessory; }));
    EXPECT_EQ(app->window(), w);

    app->menuShowWindow();
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);
    // Reopening with a visible window changes nothing and still answers true.
    EXPECT_TRUE(app->applicationShouldHandleReopen(true));
    EXPECT_TRUE(w->isVisible());
}

TEST_F(AppDelegateTest, WithShowInDockOffTheWindowStaysOutOfTheTaskbar) {
    defaults.setBool("dockVisible", false);
    launch();
    QMainWindow* w = app->window();
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::accessory);
    EXPECT_TRUE(w->windowFlags().testFlag(Qt::Tool));

    app->toggleDockVisible();
    EXPECT_TRUE(dockVisible(defaults));
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);
    EXPECT_FALSE(w->windowFlags().testFlag(Qt::Tool));
    EXPECT_TRUE(w->isVisible());  // switching the entry does not hide the window

    // The menu shows the new state the next time it is built.
    app->statusItem()->menuNeedsUpdate();
    EXPECT_TRUE(item(*app->statusItem()->menu(), "Show in Dock")->isChecked());
}

TEST_F(AppDelegateTest, TheAboutPanelIsMadeOnceAndReturnHidesIt) {
    launch();
    app->showAbout();
    AboutPanel* panel = app->aboutPanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->windowTitle(), "About Housetone");
    EXPECT_EQ(panel->iconLabel()->accessibleName(), "Housetone icon");

    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(panel, &press);
    EXPECT_FALSE(panel->isVisible());
    // Only the main window counts for the taskbar entry.
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);

    app->showAbout();
    EXPECT_EQ(app->aboutPanel(), panel);
    EXPECT_TRUE(panel->isVisible());
}

TEST_F(AppDelegateTest, WithoutATrayTheMenuIsTheSameOneTheWindowOffers) {
    launch();
    // Offscreen there is no system tray.
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    EXPECT_EQ(app->statusItem()->trayIcon(), nullptr);
    QMenu* menu = app->statusItem()->menu();
    EXPECT_EQ(describe(*menu).front(), "[x] Single");

    // A change of mode rebuilds the menu soon after, without it being opened.
    item(*menu, "Together")->trigger();
    EXPECT_EQ(app->controller()->mode(), Mode::together) << app->controller()->status();
    EXPECT_TRUE(spinUntil([&] { return describe(*menu)[1] == "[x] Together"; }));
}

// ---- Self-check logs ----------------------------------------------------------------------------

TEST(SelfCheckLines, NumbersReadBackExactlyAndAlwaysHaveAFraction) {
    EXPECT_EQ(shortestDecimal(3), "3.0");
    EXPECT_EQ(shortestDecimal(250), "250.0");
    EXPECT_EQ(shortestDecimal(-2.5), "-2.5");
    EXPECT_EQ(shortestDecimal(0.1), "0.1");
    EXPECT_EQ(shortestDecimal(0.0001), "0.0001");
    EXPECT_EQ(shortestDecimal(1.0 / 3), "0.3333333333333333");
    for (const double v : {12.345678901234567, 0.1 + 0.2, 1e-7, 187.49999999999997}) {
        const std::string s = shortestDecimal(v);
        EXPECT_EQ(std::stod(s), v) << s;
        EXPECT_NE(s.find('.'), std::string::npos) << s;
    }

    EXPECT_EQ(offsetsLine({}), "offsets: [:]");
    EXPECT_EQ(offsetsLine({{"sim-b", 12.5}, {"sim-a", 0}}),
              "offsets: [\"sim-a\": 0.0, \"sim-b\": 12.5]");
    EXPECT_EQ(tapRmsLine({0.012345678, 0, 1}), "tap rms per second: 0.01235 0.00000 1.00000");
    EXPECT_EQ(tapFramesLine({48128, 0}), "tap input frames per second: 48128 0");
    EXPECT_EQ(tunePhaseLines({{"a", "measured 12 ms"}, {"gone", "skipped"}},
                             {Dev{3, "Kitchen", "a", transport::bluetooth}}),
              (std::vector<std::string>{"Kitchen: measured 12 ms", "gone: skipped"}));
}

TEST(SelfCheckRun, WhenTheAlignedEngineCannotStartOnlyTheFirstThreeLinesAreWritten) {
    Rig rig(smallRoom(), includeAll(smallRoom()));
    rig.hw.injectFault({.call = sim::Call::createTap});
    bool terminated = false;
    auto check = SelfCheck::create(rig.controller, rig.main, [&] { terminated = true; });
    check->runEngineSelfCheck();
    const auto log = rig.store.fileURL(SelfCheck::engineLogName);
    ASSERT_TRUE(rig.main.runUntil([&] { return terminated; }, 20));
    const auto lines = splitLines(readFile(log));
    ASSERT_EQ(lines.size(), 3u) << readFile(log);
    EXPECT_EQ(lines[0], "engineStarted: false");
    EXPECT_EQ(lines[1], "status: " + rig.controller->status());
    EXPECT_EQ(lines[2], "engineError: " + rig.controller->engine().lastError().value_or("?"));
    EXPECT_NE(readFile(log).back(), '\n');
}

TEST(SelfCheckRun, ARefusedTuneIsLoggedAtTheThirdTick) {
    sim::RoomSpec room = smallRoom();
    Config onlyOne;
    onlyOne.include = std::map<std::string, bool>{{"builtin", true}};
    Rig rig(room, onlyOne);
    bool terminated = false;
    auto check = SelfCheck::create(rig.controller, rig.main, [&] { terminated = true; });
    check->runAutoTuneSelfCheck();
    const auto log = rig.store.fileURL(SelfCheck::autoTuneLogName);
    ASSERT_TRUE(rig.controller->tuneOverall().has_value());
    EXPECT_FALSE(rig.controller->tuning());

    for (int tick = 1; tick <= 2; ++tick) {
        rig.main.fireTimers();
        rig.main.runPending();
        EXPECT_FALSE(std::filesystem::exists(log)) << "after tick " << tick;
    }
    rig.main.fireTimers();
    rig.main.runPending();
    ASSERT_TRUE(std::filesystem::exists(log));
    EXPECT_EQ(readFile(log), "overall: " + *rig.controller->tuneOverall() + "\noffsets: [:]");
    // The timer is gone: more firings change nothing and the program ends.
    std::filesystem::remove(log);
    rig.main.fireTimers();
    rig.main.runPending();
    EXPECT_FALSE(std::filesystem::exists(log));
    EXPECT_TRUE(rig.main.runUntil([&] { return terminated; }, 5));
}

// ---- The program itself (slow: real self-check runs at 40x)
// ----------------------------------------

class AppProcessSlow : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ensureApplication(); }

    // A home of its own with every speaker of the built-in room included.
    void SetUp() override {
        const auto state = std::filesystem::path(home.path().toStdString()) / ".local/state/vuzeda";
        hw = std::make_unique<sim::SimAudioSystem>(sim::defaultRoom(),
                                                   sim::SimOptions{.startWorld = false});
        SettingsStore(state).save(includeAll(hw->room()));
        stateDir = state;
    }

    int run(const QStringList& args, int timeoutMs) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", home.path() + "/.config");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(HOUSETONE_APP_FILE, args + QStringList{"--sim-speed", "40"});
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    }

    QTemporaryDir home;
    std::filesystem::path stateDir;
    std::unique_ptr<sim::SimAudioSystem> hw;
};

TEST_F(AppProcessSlow, SelftestPlaysThroughTheTapAndReturnsToSingleOutput) {
    ASSERT_EQ(run({"--selftest"}, 120000), 0);
    const std::string text = readFile(stateDir / "app-selftest.log");
    const auto lines = splitLines(text);
    ASSERT_EQ(lines.size(), 8u) << text;
    EXPECT_EQ(lines[0], "engineStarted: true");
    EXPECT_EQ(lines[2], "engineError: none");

    std::istringstream rms(lines[3].substr(std::string("tap rms per second: ").size()));
    int nonZero = 0, count = 0;
    for (double v; rms >> v; ++count)
        nonZero += v > 0;
    EXPECT_EQ(count, 6) << lines[3];
    EXPECT_EQ(nonZero, 6) << lines[3];
    EXPECT_EQ(lines[4].rfind("tap input frames per second: ", 0), 0u);
    EXPECT_EQ(lines[5], "tapBlocked: false");

    // One delay per speaker of the room, each "name=<frames>smp".
    ASSERT_EQ(lines[6].rfind("delays: ", 0), 0u);
    for (const auto& o : hw->room().outputs)
        EXPECT_NE(lines[6].find(o.name + "="), std::string::npos) << o.name << "\n" << lines[6];
    std::istringstream delays(lines[6].substr(8));
    int items = 0;
    for (std::string d; delays >> d;)
        items += d.size() > 3 && d.substr(d.size() - 3) == "smp";
    EXPECT_GE(items, static_cast<int>(hw->room().outputs.size()));
    EXPECT_EQ(lines[7].rfind("back to: Single output: ", 0), 0u) << lines[7];
    EXPECT_NE(text.back(), '\n');
}

TEST_F(AppProcessSlow, AutotuneSelftestFindsTheRoomsTrueOffsets) {
    ASSERT_EQ(run({"--autotune-selftest"}, 280000), 0);
    const std::string text = readFile(stateDir / "app-autotune-selftest.log");
    const auto lines = splitLines(text);
    ASSERT_GE(lines.size(), 2u) << text;
    ASSERT_EQ(lines.back().rfind("offsets: [", 0), 0u) << text;

    // The truth: how long each speaker must wait to arrive with the slowest one, within the
    // 250 ms an offset can hold (the built-in speakers of this room would need a little more).
    double slowest = 0;
    for (const auto& o : hw->room().outputs)
        slowest = std::max(slowest, *hw->roomDelayFrames(o.uid) / 48.0);
    for (const auto& o : hw->room().outputs) {
        const std::string key = "\"" + o.uid + "\": ";
        const auto at = lines.back().find(key);
        ASSERT_NE(at, std::string::npos) << o.uid << "\n" << text;
        const double ms = std::stod(lines.back().substr(at + key.size()));
        const double truth = std::min(slowest - *hw->roomDelayFrames(o.uid) / 48.0, 250.0);
        EXPECT_NEAR(ms, truth, 1.0) << o.uid << "\n" << text;
    }
}

}  // namespace
}  // namespace housetone::ui
