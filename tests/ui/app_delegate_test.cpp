// The application shell: the window, its menu, the About panel and the taskbar entry.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QMainWindow>

#include "ui/about_panel.h"
#include "ui/qt_main_queue.h"
#include "ui/qt_user_defaults.h"
#include "ui/vuzededudoz/app_delegate.h"

#include "ui_test_support.h"

namespace housetone::ui {
namespace {

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
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);

    // The About panel is made once, Return hides it, and it never counts for the taskbar.
    app->showAbout();
    AboutPanel* panel = app->aboutPanel();
    ASSERT_TRUE(panel && panel->isVisible());
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

}  // namespace
}  // namespace housetone::ui
