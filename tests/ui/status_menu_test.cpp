// The status menu: what it shows for a controller snapshot, and what its items do.
#include <gtest/gtest.h>

#include <QSystemTrayIcon>
#include <QVariantMap>

#include "audio/device_access.h"
#include "ui/qt_user_defaults.h"
#include "ui/symbols.h"
#include "ui/vuzededudoz/status_menu.h"

#include "ui_test_support.h"

namespace housetone::ui {
namespace {

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

// A tune's text line, led by where the tune stands, is cut to what a menu item holds (its
// characters are of two and three bytes); a second build replaces everything rather than adding.
TEST_F(StatusMenuTest, WithNoDevicesShowsModesCommandsAndTheTuneLineCutAfterItsProgress) {
    const QString tuneLine = QString("é—").repeated(40);
    MenuModel m{.mode = Mode::together,
                .tuning = true,
                .tuneOverall = tuneLine.toStdString(),
                .dockVisible = false};
    buildStatusMenu(menu, m, actions);
    EXPECT_TRUE(
        contains(describe(menu), "|Aligned|(off) Keep in Step|---|---|Cancel auto-tune|(off) " +
                                     tuneLine.left(70).toStdString() +
                                     "|---|Rescan devices|---|Open Housetone|Show in taskbar|"));
    m.tuneProgress = TuneProgress{TuneProgress::Stage::pairs, 2, 3, 1, 3};
    buildStatusMenu(menu, m, actions);
    EXPECT_TRUE(contains(describe(menu), "|(off) 1/3 \u00b7 pairs 2/3 \u2014 " +
                                             tuneLine.left(52).toStdString() + "|"));

    // Keep in step's last correction stands under the switch while it is recent.
    m = {.mode = Mode::aligned,
         .keepInStep = true,
         .listening = true,
         .keptInStep = "Kept in step: Kitchen moved +40 ms — corrected."};
    buildStatusMenu(menu, m, actions);
    EXPECT_TRUE(contains(describe(menu),
                         "|[x] Keep in Step|(off) Listening to keep speakers in step|(off) Kept in "
                         "step: Kitchen moved +40 ms — corrected.|---|"))
        << describe(menu);

    m = {.mode = Mode::together, .dockVisible = true};
    buildStatusMenu(menu, m, actions);
    EXPECT_EQ(
        describe(menu),
        "Single|[x] Together|Aligned|(off) Keep in Step|---|---|Auto-tune speakers\u2026|Show last "
        "tune\u2026|---|"
        "Rescan devices|---|Open Housetone|[x] Show in taskbar|---|Housetone Help|About "
        "Housetone|---|"
        "Quit Housetone");
}

TEST_F(StatusMenuTest, TitlesShowPercentMutedOrDashAndSpeakersWithoutVolumeOfferOnlyMute) {
    sim::RoomSpec room = fixtureRoom();
    room.outputs[0].volume = 0.579;
    room.outputs[1].hasVolume = false;  // a Bluetooth speaker with a mute flag but no volume
    room.outputs[2].name = "B&O Desk";  // "&" would otherwise underline the next letter
    room.outputs[2].muted = true;
    room.outputs[3] = testsupport::speaker("tv", {.name = "Living Room TV",
                                                  .transport = transport::hdmi,
                                                  .hasVolume = false,
                                                  .hasMute = false});
    Rig rig(room, quietWorld);
    buildStatusMenu(menu, menuModelFrom(rig.start(), true), actions);
    EXPECT_TRUE(contains(describe(menu),
                         "---|> Kitchen  \u2014|> Built-in Speakers  57%|"
                         "> B&&O Desk  muted|> Living Room TV  \u2014|---|"));
    EXPECT_EQ(describe(submenu(menu, "Kitchen")), "Mute|---|(off) No volume control (Bluetooth)");
    EXPECT_EQ(describe(submenu(menu, "Living Room TV")), "(off) No volume control (HDMI)");
    EXPECT_EQ(item(submenu(menu, "B&&O"), "Unmute")->data(), QVariant("desk"));
}

TEST_F(StatusMenuTest, ItemsCallTheirActionsTheNearestVolumeStepIsMarkedAndNudgesSkipTheReference) {
    MenuModel m{.mode = Mode::aligned,
                .devices = {menuDevice("Kitchen", "kitchen"), menuDevice("Porch", "porch", false),
                            menuDevice("Desk", "desk"), menuDevice("Shelf", "shelf")},
                .volumes = {{"porch", 0.55f}},
                .include = {{"kitchen", true}, {"porch", true}, {"desk", false}, {"shelf", true}},
                .offsets = {{"porch", 12.9}, {"shelf", -3.7}},
                .referenceUID = "kitchen"};
    buildStatusMenu(menu, m, actions);
    EXPECT_EQ(describe(submenu(menu, "Porch")),
              "100%|90%|80%|70%|[x] 60%|50%|40%|30%|20%|10%|---|(off) Delay: 12 ms|+5 ms|"
              "\u22125 ms|+100 ms|\u2212100 ms");
    EXPECT_FALSE(volumeItemMarked(0.54f, 60));
    // Truncated toward zero, with an ordinary hyphen.
    EXPECT_TRUE(contains(describe(submenu(menu, "Shelf")), "|(off) Delay: -3 ms|"));
    EXPECT_TRUE(describe(submenu(menu, "Kitchen")).ends_with("|10%"));  // the reference
    EXPECT_TRUE(describe(submenu(menu, "Desk")).ends_with("|10%"));     // not included

    // Items call their actions with typed represented values.
    for (const char* text :
         {"Aligned", "Auto-tune", "Rescan", "Open", "Show in taskbar", "About", "Quit Housetone"})
        item(menu, text)->trigger();
    for (const QString& text :
         {QString("Mute"), QString("70%"), QString("\u22125 ms"), QString("+100 ms")})
        item(submenu(menu, "Shelf"), text)->trigger();
    EXPECT_EQ(actions.log,
              "mode(Aligned) autoTune() rescan() showWindow() dock() about() quit() mute(shelf) "
              "volume(uid=shelf:QString v=0.7:double ) "
              "nudge(d=-5:double uid=shelf:QString ) nudge(d=100:double uid=shelf:QString ) ");

    m.mode = Mode::together;
    buildStatusMenu(menu, m, actions);
    EXPECT_TRUE(describe(submenu(menu, "Porch")).ends_with("|10%"));
}

// The tray's Keep in Step item sits under the modes, usable only in Aligned; it sets the
// controller's switch and follows it. While the microphone is listened to, a line under it says so
// beside a microphone, and the tray's icon is one. A status item without a tray hears the same
// changes, with no icon to change.
TEST(StatusItemKeepInStep, TheItemSetsAndFollowsTheControllersSwitchAndTheTrayShowsListening) {
    Rig rig(fixtureRoom(), {.speed = 40});
    rig.startWith(includeAll(fixtureRoom()));
    const testsupport::TempDir dir("housetone-status-item");
    QtUserDefaults defaults(qPath(dir / "defaults.ini"));
    RecordingActions actions;
    StatusItem status(rig.ctl, defaults, actions, true),
        withoutTray(rig.ctl, defaults, actions, false);
    QMenu& menu = *status.menu();
    QSystemTrayIcon* tray = status.trayIcon();
    ASSERT_NE(tray, nullptr);
    const auto image = [](const QIcon& icon) { return icon.pixmap(32).toImage(); };
    // Whether the icon is the microphone, and whether its tip says that it listens.
    const auto trayShows = [&, mic = image(symbolIcon("mic.fill"))] {
        return std::pair(image(tray->icon()) == mic, tray->toolTip().contains("listening"));
    };
    const auto listening = std::pair(true, true), quiet = std::pair(false, false);
    const auto menuShows = [&](const std::string& part) {
        return spinUntil([&] { return contains(describe(menu), part); });
    };
    EXPECT_EQ(trayShows(), quiet);
    EXPECT_EQ(item(menu, "Keep in Step")->data(), QVariant(true));  // what choosing it asks for

    rig.ctl->setKeepInStep(true);  // as the window does
    EXPECT_TRUE(menuShows("|Aligned|(off) [x] Keep in Step|---|")) << describe(menu);
    ASSERT_TRUE(rig.startAligned()) << rig.ctl->status();
    ASSERT_TRUE(rig.ctl->listening()) << rig.ctl->status();
    EXPECT_EQ(trayShows(), listening);
    ASSERT_TRUE(
        menuShows("|[x] Aligned|[x] Keep in Step|(off) Listening to keep speakers in step|---|"))
        << describe(menu);
    EXPECT_FALSE(item(menu, "Listening")->icon().isNull());

    // The microphone goes: the switch stays on, but nothing says it listens any more.
    ASSERT_TRUE(rig.sim.removeDevice("mic"));
    rig.ctl->tick();
    ASSERT_FALSE(rig.ctl->listening());
    EXPECT_EQ(trayShows(), quiet);
    EXPECT_TRUE(menuShows("|[x] Aligned|[x] Keep in Step|---|")) << describe(menu);
    item(menu, "Keep in Step")->trigger();
    EXPECT_FALSE(rig.ctl->keepInStep());
    EXPECT_EQ(actions.log, "");  // the controller's, not the target's
}

QVariantMap nudge(const char* uid, QVariant d) {
    return QVariantMap{{"uid", uid}, {"d", d}};
}

TEST(MenuActions, OnlyWellFormedValuesAct) {
    Rig rig(fixtureRoom(), quietWorld);
    Controller& c = rig.startWith(includeAll(fixtureRoom()));
    const auto offsets = c.offsets();
    const auto volumes = c.volumes();
    menuNudgeDelay(c, nudge("kitchen", "5"));
    menuNudgeDelay(c, nudge("nobody", 5.0));
    menuSetVolume(c, QVariantMap{{"uid", "desk"}, {"v", "0.5"}});
    menuSetVolume(c, QVariantMap{{"v", 0.5}});
    menuSelectMode(c, QString("together"));  // raw values are case-sensitive
    menuToggleMute(c, QString("nobody"));
    menuSetKeepInStep(c, QString("true"));
    menuSetKeepInStep(c, 1);
    EXPECT_FALSE(c.keepInStep());
    EXPECT_EQ(c.offsets(), offsets);
    EXPECT_EQ(c.volumes(), volumes);
    EXPECT_TRUE(c.mode() == Mode::single && !c.muted().count("nobody"));

    const AudioObjectID kitchen = *rig.sim.idForUID("kitchen");
    menuToggleMute(c, QString("kitchen"));  // no entry counts as not muted
    EXPECT_EQ(readMute(rig.sim, kitchen), std::optional<bool>(true));
    menuSetVolume(c, QVariantMap{{"uid", "kitchen"}, {"v", 0.3}});
    EXPECT_NEAR(readVolume(rig.sim, kitchen).value_or(-1), 0.3f, 1e-6);
    menuNudgeDelay(c, nudge("desk", 10.0));
    EXPECT_DOUBLE_EQ(c.offsets().at("desk"), 10);
    menuSelectMode(c, QString("Together"));
    EXPECT_EQ(c.mode(), Mode::together);
    menuSetKeepInStep(c, true);
    EXPECT_TRUE(c.keepInStep());
}

}  // namespace
}  // namespace housetone::ui
