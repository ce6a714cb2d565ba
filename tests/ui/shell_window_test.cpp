// The application shell's windows: the rescan shortcut and its report with the menu inside or
// outside the window, the size and place remembered between runs, closing with and without a tray,
// the menu, the About panel and the taskbar entry.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include "shell_fixture.h"
#include "ui_test_support.h"

#include "ui/about_panel.h"
#include "ui/help_window.h"
#include "ui/main_view.h"
#include "ui/qt_main_queue.h"
#include "ui/qt_user_defaults.h"
#include "ui/vuzededudoz/app_delegate.h"

namespace housetone::ui {
namespace {

struct ShellWindowTest : ShellFixture {};

TEST_F(ShellWindowTest, RescanShortcutWorksWhetherTheMenuHangsInTheWindowOrInATray) {
    const auto app = launch();
    QMainWindow* w = app->window();
    QApplication::setActiveWindow(w);
    // The rescan report is modal; read and close it from inside its own event loop.
    std::vector<std::string> reports;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            reports.push_back((box->text() + "\n" + box->informativeText()).toStdString());
            box->accept();
        }
    });
    closer.start(10);
    const auto pressCtrlR = [&] {
        QApplication::setActiveWindow(w);
        QTest::keyClick(w, Qt::Key_R, Qt::ControlModifier);
        spinUntil([&] { return QApplication::activeModalWidget() == nullptr; }, 2000);
    };

    // Without a tray (as here) the menu hangs from the window.
    hw.addOutput(testsupport::speaker("porch"));
    pressCtrlR();
    // With a tray the menu lives outside every window.
    app->mainView()->setMenuFallback(nullptr);
    hw.addOutput(testsupport::speaker("shed"));
    pressCtrlR();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(reports[0].starts_with("3 outputs found\nNew: porch\n") &&
                contains(reports[0], "\u2022 desk"))
        << reports[0];
    EXPECT_TRUE(reports[1].starts_with("4 outputs found\nNew: shed\n")) << reports[1];
}

TEST_F(ShellWindowTest, F1AndTheMenuOpenOneHelpWindowThatShowsThePageAndFitsTheScreen) {
    const auto app = launch();
    QMainWindow* w = app->window();
    QApplication::setActiveWindow(w);
    QTest::keyClick(w, Qt::Key_F1);
    HelpWindow* help = app->helpWindow();
    ASSERT_TRUE(help && help->isVisible());
    EXPECT_TRUE(help->browser()->toPlainText().contains("The three modes"));
    // Whole on the free area of a 1366 x 768 screen at 2x under a panel, and of a large one.
    for (const QRect free : {QRect(0, 14, 683, 370), QRect(0, 0, 1920, 1050)})
        EXPECT_TRUE(free.contains(helpWindowGeometry(free).marginsAdded({4, 30, 4, 4})));
    QTest::keyClick(help, Qt::Key_Escape);
    EXPECT_FALSE(help->isVisible());
    item(*app->statusItem()->menu(), "Housetone Help")->trigger();
    EXPECT_TRUE(app->helpWindow() == help && help->isVisible());
}

TEST_F(ShellWindowTest, WithoutATrayClosingQuitsAndTheWindowReopensWhereAndAsLargeAsItWas) {
    auto first = launch();
    ASSERT_EQ(first->statusItem()->trayIcon(), nullptr);
    const QRect placed(40, 50, 620, 520);
    first->window()->setGeometry(placed);
    QTimer::singleShot(0, first->window(), [&] { first->window()->close(); });
    EXPECT_EQ(execWithinTenSeconds(), 0);
    first.reset();
    EXPECT_EQ(launch()->window()->geometry(), placed);
}

TEST_F(ShellWindowTest, TheAboutPanelIsMadeOnceAndReturnHidesIt) {
    const auto app = launch();
    app->showAbout();
    AboutPanel* panel = app->aboutPanel();
    ASSERT_TRUE(panel && panel->isVisible());
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(panel, &press);
    EXPECT_FALSE(panel->isVisible());
    app->showAbout();
    EXPECT_TRUE(app->aboutPanel() == panel && panel->isVisible());
}

// Offscreen there is no tray: the window offers the menu, rebuilt soon after a mode change.
TEST_F(ShellWindowTest, WithoutATrayTheWindowOffersTheMenuRebuiltAfterAModeChange) {
    store.save(includeAll(hw.room()));
    const auto app = launch();
    EXPECT_EQ(app->statusItem()->trayIcon(), nullptr);
    QMenu* menu = app->statusItem()->menu();
    item(*menu, "Together")->trigger();
    EXPECT_TRUE(spinUntil([&] { return describe(*menu).starts_with("Single|[x] Together"); }));
}

// Closing keeps the program and its window object; the entry goes once the window has gone.
TEST_F(ShellWindowTest, TheTaskbarEntryFollowsTheWindowAndStaysWithoutATray) {
    const auto app = launch();
    QMainWindow* w = app->window();
    ASSERT_TRUE(w && w->isVisible());
    w->close();
    EXPECT_TRUE(spinUntil([&] { return app->activationPolicy() == ActivationPolicy::accessory; }));
    app->menuShowWindow();
    EXPECT_TRUE(app->window() == w && w->isVisible());
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);

    // Without a tray the taskbar is the only way back to the window: it stays there, whatever
    // was chosen.
    app->toggleDockVisible();
    EXPECT_TRUE(w->isVisible() && !w->windowFlags().testFlag(Qt::Tool));
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);
}

TEST(AboutPanelText, TheAudioSystemIconVersionLicenceAndHomeShowAndTheDescriptionWrapsWhole) {
    AboutPanel panel{std::weak_ptr<Controller>(), "PipeWire 0.3.65"};
    panel.present();
    QCoreApplication::processEvents();
    const auto* audio = panel.findChild<QLabel*>("audioSystem");
    ASSERT_TRUE(audio && audio->isVisible());
    EXPECT_EQ(audio->text(), "Audio: PipeWire 0.3.65");
    EXPECT_FALSE(panel.iconLabel()->pixmap().isNull());
    EXPECT_EQ(panel.findChild<QLabel*>("version")->text(), "Version " HOUSETONE_VERSION);
    EXPECT_TRUE(panel.findChild<QLabel*>("licence")->text().contains("GNU General Public License"));
    EXPECT_TRUE(panel.findChild<QLabel*>("home")->text().contains("href=\"" HOUSETONE_HOME "\""));

    const QLabel* d = panel.descriptionLabel();
    const QRect needed =
        d->fontMetrics().boundingRect(QRect(0, 0, d->contentsRect().width(), 1000),
                                      Qt::TextWordWrap | Qt::AlignHCenter, d->text());
    EXPECT_LE(d->width(), 320);
    EXPECT_TRUE(d->contentsRect().height() >= needed.height() &&
                d->contentsRect().width() >= needed.width());
}

}  // namespace
}  // namespace housetone::ui
