// The shell's preferences (start at login, start in the tray, resume the last mode) and the
// notifications its tray gives. Offscreen has no tray; the tests stand one in where they need it
// and read what it would have shown.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMainWindow>
#include <cstdlib>
#include <fstream>

#include "audio/device_access.h"
#include "tune/auto_tuner.h"
#include "ui/main_view.h"
#include "ui/vuzededudoz/preferences.h"

#include "shell_fixture.h"
#include "ui_test_support.h"

namespace housetone::ui {
namespace {

namespace fs = std::filesystem;

// Sets an environment variable (unsets it, given none) for one test and puts back what was there.
struct ScopedEnv {
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name(name) {
        if (const char* was = std::getenv(name)) before = was;
        set(value);
    }
    ~ScopedEnv() { set(before); }
    void set(const std::optional<std::string>& value) const {
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    const char* name;
    std::optional<std::string> before;
};

void writeText(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

// The Exec line names the program as one argument whatever its path holds: quoted, the quoting's
// escapes doubled by the value's own, and a '%' that is no field code.
TEST(StartAtLogin, TheEntryRunsTheProgramByItsWholePathAndIsRemovedAgain) {
    const testsupport::TempDir dir{"housetone-autostart"};
    const fs::path entry = dir / "autostart" / autostartFileName;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/opt/My Apps/house%tone", "Exec=\"/opt/My Apps/house%%tone\"\n"},
        {"/opt/a\"b$c\\d`e", "Exec=\"/opt/a\\\\\"b\\\\$c\\\\\\\\d\\\\`e\"\n"},
    };
    for (const auto& [program, exec] : cases) {
        SCOPED_TRACE(program);
        EXPECT_EQ(setStartAtLogin(entry, program, true), std::nullopt);
        const std::string text = readFile(entry);
        EXPECT_TRUE(text.starts_with("[Desktop Entry]\n") &&
                    contains(text, "\nType=Application\n") && contains(text, "\n" + exec) &&
                    contains(text, "\nX-Housetone-Autostart=true\n"))
            << text;
        EXPECT_EQ(autostartState(entry), Autostart::on);
        EXPECT_EQ(setStartAtLogin(entry, program, false), std::nullopt);
        EXPECT_FALSE(fs::exists(entry));
        EXPECT_EQ(autostartState(entry), Autostart::none);
    }
    EXPECT_TRUE(setStartAtLogin(entry, "housetone", true).has_value()) << "not a whole path";
    EXPECT_FALSE(fs::exists(entry));
}

// A file of our name that we did not write is the user's: never replaced nor removed, and said.
// Our own entry turned off in the desktop's settings is ours to turn on again.
TEST(StartAtLogin, AFileThatIsNotOursIsLeftAsItIs) {
    const testsupport::TempDir dir{"housetone-autostart"};
    const fs::path entry = dir / autostartFileName;
    const std::string users = "[Desktop Entry]\nType=Application\nExec=housetone --my-own\n";
    writeText(entry, users);
    for (const bool on : {true, false}) {
        const auto problem = setStartAtLogin(entry, "/usr/bin/housetone", on);
        ASSERT_TRUE(problem.has_value());
        EXPECT_TRUE(contains(*problem, "not written by Housetone")) << *problem;
        EXPECT_EQ(readFile(entry), users);
    }
    EXPECT_EQ(autostartState(entry), Autostart::foreign);
    // The marker outside the entry's own group does not make it ours.
    writeText(entry, users + "[Other]\nX-Housetone-Autostart=true\n");
    EXPECT_EQ(autostartState(entry), Autostart::foreign);

    fs::remove(entry);
    fs::create_symlink(dir / "elsewhere.desktop", entry);
    writeText(dir / "elsewhere.desktop", autostartEntryText("/usr/bin/housetone"));
    EXPECT_EQ(autostartState(entry), Autostart::foreign) << "we never write a link";
    EXPECT_TRUE(setStartAtLogin(entry, "/usr/bin/housetone", false).has_value());
    EXPECT_TRUE(fs::is_symlink(entry));

    fs::remove(entry);
    writeText(entry, autostartEntryText("/usr/bin/housetone") + "Hidden=true\n");
    EXPECT_EQ(autostartState(entry), Autostart::disabled);
    EXPECT_EQ(setStartAtLogin(entry, "/usr/bin/housetone", true), std::nullopt);
    EXPECT_EQ(autostartState(entry), Autostart::on);
}

// XDG_CONFIG_HOME counts only as an absolute path; otherwise the entry goes under ~/.config.
TEST(StartAtLogin, TheEntryIsInTheConfigFolderTheBaseDirectoriesName) {
    const testsupport::TempDir dir{"housetone-xdg"};
    const ScopedEnv home("HOME", dir.path().string());
    const fs::path fallback = dir / ".config/autostart" / autostartFileName;
    for (const std::optional<std::string>& config :
         {std::optional<std::string>(), std::optional<std::string>(""),
          std::optional<std::string>("relative/config")}) {
        const ScopedEnv xdg("XDG_CONFIG_HOME", config);
        EXPECT_EQ(autostartEntryPath(), fallback) << config.value_or("(unset)");
    }
    const ScopedEnv xdg("XDG_CONFIG_HOME", (dir / "cfg").string());
    EXPECT_EQ(autostartEntryPath(), dir / "cfg/autostart" / autostartFileName);
}

// The whole shell, with a tray stood in when asked for and the autostart folder of its own.
struct PreferencesTest : ShellFixture {
    std::unique_ptr<AppDelegate> launchWith(bool tray) {
        AppServices services{hw, hw.player(), hw.micPermission(), store, queue, defaults};
        services.systemTray = [tray] { return tray; };
        services.trayMessage = [this](QSystemTrayIcon&, const QString& title, const QString& text) {
            told.push_back(title.toStdString() + ": " + text.toStdString());
        };
        auto app = std::make_unique<AppDelegate>(services, LaunchOptions{});
        app->didFinishLaunching();
        return app;
    }
    static QMenu& preferences(AppDelegate& app) {
        app.statusItem()->menuNeedsUpdate();
        return submenu(*app.statusItem()->menu(), "Preferences");
    }
    static bool ticked(AppDelegate& app, const QString& name) {
        QAction* a = item(preferences(app), name);
        return a && a->isCheckable() && a->isChecked();
    }

    const fs::path entry = dir / "config/autostart" / autostartFileName;
    const ScopedEnv xdg{"XDG_CONFIG_HOME", (dir / "config").string()};
    std::vector<std::string> told;
};

// The tick is whether our entry is there; a click that cannot write says so in one line and
// leaves the tick as it is.
TEST_F(PreferencesTest, StartAtLoginFromTheMenuWritesAndRemovesTheEntryAndSaysAFailure) {
    const auto app = launchWith(false);
    EXPECT_FALSE(ticked(*app, "Start at login"));
    item(preferences(*app), "Start at login")->trigger();
    EXPECT_TRUE(contains(readFile(entry), "\nX-Housetone-Autostart=true\n"));
    EXPECT_TRUE(ticked(*app, "Start at login"));
    item(preferences(*app), "Start at login")->trigger();
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_FALSE(ticked(*app, "Start at login"));

    // A folder that cannot be made, then a file of the user's: said at every click, with the
    // tick left off.
    const auto clicksFail = [&](const std::string& why) {
        for (int click = 0; click < 2; ++click) {
            item(preferences(*app), "Start at login")->trigger();
            const std::string& status = app->controller()->status();
            EXPECT_TRUE(status.starts_with("Start at login not saved: ") && contains(status, why))
                << status;
            EXPECT_FALSE(ticked(*app, "Start at login"));
            app->controller()->applyBoosts();  // another line on the status meanwhile
        }
    };
    fs::remove(entry.parent_path());
    writeText(entry.parent_path(), "not a folder");
    clicksFail("cannot write");
    fs::remove(entry.parent_path());
    writeText(entry, "[Desktop Entry]\nExec=mine\n");
    clicksFail("not written by Housetone");
    EXPECT_EQ(readFile(entry), "[Desktop Entry]\nExec=mine\n");
}

// In the tray only when there is one to come back from; the icon's click brings the window.
TEST_F(PreferencesTest, StartInTheTrayHidesTheWindowOnlyUnderATray) {
    for (const bool tray : {false, true}) {
        for (const bool inTray : {false, true}) {
            SCOPED_TRACE(std::string(tray ? "tray" : "no tray") + (inTray ? ", in tray" : ""));
            setStartInTray(defaults, inTray);
            const auto app = launchWith(tray);
            EXPECT_EQ(app->window()->isVisible(), !(tray && inTray));
            if (tray) {
                EXPECT_EQ(ticked(*app, "Start in the tray"), inTray);
                app->toggleWindow();
                EXPECT_EQ(app->window()->isVisible(), inTray) << "the icon toggles it";
            } else {
                EXPECT_EQ(item(preferences(*app), "Start in the tray"), nullptr);
            }
        }
    }
    setStartInTray(defaults, false);
    const auto app = launchWith(true);
    item(preferences(*app), "Start in the tray")->trigger();
    EXPECT_TRUE(startInTray(defaults));
}

// Off, a start is in Single whatever was chosen before; on, in the mode last chosen in the window
// or the menu.
TEST_F(PreferencesTest, ResumeTheLastModeStartsInTheModeLastChosenOnlyWhenTicked) {
    store.save(includeAll(hw.room()));
    {
        const auto app = launchWith(false);
        EXPECT_FALSE(ticked(*app, "Resume the last mode"));
        app->mainView()->findChild<QAbstractButton*>("mode:Together")->click();
        ASSERT_EQ(app->controller()->mode(), Mode::together);
    }
    {
        const auto app = launchWith(false);
        EXPECT_EQ(app->controller()->mode(), Mode::single);
        item(preferences(*app), "Resume the last mode")->trigger();
    }
    {
        const auto app = launchWith(false);
        EXPECT_EQ(app->controller()->mode(), Mode::together);
        EXPECT_TRUE(ticked(*app, "Resume the last mode"));
        item(*app->statusItem()->menu(), "Single")->trigger();
    }
    EXPECT_EQ(launchWith(false)->controller()->mode(), Mode::single);
}

// Under a tray: the audio system lost and back are told once each, however many ticks pass; a
// tune that ends while the window is hidden tells its verdict, one that ends in view does not.
TEST_F(PreferencesTest, TheTrayTellsOfTheAudioSystemAndOfATuneThatEndsOutOfSight) {
    store.save(includeAll(hw.room()));
    const auto app = launchWith(true);
    Controller& c = *app->controller();
    hw.injectFault({.call = sim::Call::getPropertyDataSize,
                    .status = -308,
                    .selector = sel::devices,
                    .object = systemObject});
    c.tick();
    c.tick();
    c.applyBoosts();  // another line on the status meanwhile
    c.tick();
    hw.clearFaults();
    c.tick();
    c.tick();
    EXPECT_EQ(told, (std::vector<std::string>{
                        "The audio system stopped answering: Housetone carries on when it is back.",
                        "The audio system is back: Housetone carries on where it was."}));

    // Cancelled at once; the offsets it hands over are given by hand.
    const auto tuneAndCancel = [&] {
        told.clear();
        c.toggleAutoTune();
        EXPECT_TRUE(c.tuning()) << c.status();
        c.toggleAutoTune();
        c.tuner()->applyOffsets({{"desk", 50.0}});
        EXPECT_TRUE(spinUntil([&] { return !c.tuning(); }));
    };
    tuneAndCancel();
    EXPECT_TRUE(told.empty()) << told.front();
    app->toggleWindow();
    ASSERT_FALSE(app->window()->isVisible());
    // Offsets that cannot be saved make the report a second line, which the notice leaves out.
    fs::remove(store.fileURL("offsets.json"));
    fs::create_directory(store.fileURL("offsets.json"));
    tuneAndCancel();
    ASSERT_EQ(told.size(), 1u);
    const std::string& report = *c.tuneOverall();
    ASSERT_NE(report.find('\n'), std::string::npos) << report;
    EXPECT_EQ(told[0], "Auto-tune finished: " + report.substr(0, report.find('\n')));
}

}  // namespace
}  // namespace housetone::ui
