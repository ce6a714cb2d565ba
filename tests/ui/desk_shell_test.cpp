// The shell on a desktop: the taskbar choice and where it is offered, the menus' one-of-several
// items, the keyboard (Return in the walk, Ctrl+Q, a focus ring that shows) and the tune picture's
// save.
#include <gtest/gtest.h>

#include <QActionGroup>
#include <QMainWindow>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "audio/sim/room.h"
#include "ui/guided_panel.h"
#include "ui/main_view.h"
#include "ui/qt_main_queue.h"
#include "ui/qt_user_defaults.h"
#include "ui/tune_picture_view.h"
#include "ui/view_style.h"
#include "ui/vuzededudoz/app_delegate.h"
#include "ui/vuzededudoz/appearance.h"
#include "ui/vuzededudoz/status_menu.h"

#include "shell_fixture.h"
#include "ui_test_support.h"

namespace housetone::ui {
namespace {

struct NoActions final : MenuActions {
    void menuSelectMode(const QVariant&) override {}
    void menuToggleMute(const QVariant&) override {}
    void menuSetVolume(const QVariant&) override {}
    void menuNudgeDelay(const QVariant&) override {}
    void menuAutoTune() override {}
    void menuRescan() override {}
    void menuShowWindow() override {}
    void toggleDockVisible() override {}
    void showAbout() override {}
    void menuQuit() override {}
};

std::vector<QAction*> checkedOf(const std::vector<QAction*>& items) {
    std::vector<QAction*> out;
    for (QAction* a : items)
        if (a->isChecked()) out.push_back(a);
    return out;
}

std::vector<QAction*> itemsStartingWith(const QMenu& menu, const std::vector<QString>& starts) {
    std::vector<QAction*> out;
    for (const QString& s : starts)
        out.push_back(item(menu, s));
    return out;
}

// Modes and volume steps are radio items: one mark at a time, choosing one moves it, whatever
// the volume. The window's own menu offers neither opening the window nor leaving the taskbar.
TEST(ShellMenus, ModesAndVolumeStepsAreOneOfSeveralAndTheWindowMenuLeavesOutWhatItCannotDo) {
    QMenu menu;
    NoActions actions;
    MenuModel m{.mode = Mode::together,
                .devices = {{Dev{1, "Desk", "desk", transport::usb}, true, true}}};
    const std::vector<QString> steps = {"100%", "90%", "80%", "70%", "60%",
                                        "50%",  "40%", "30%", "20%", "10%"};
    for (const float volume : {0.55f, 0.544f, 0.25f, 1.0f, 0.1f}) {
        SCOPED_TRACE(volume);
        m.volumes = {{"desk", volume}};
        buildStatusMenu(menu, m, actions);
        const auto marked = checkedOf(itemsStartingWith(submenu(menu, "Desk"), steps));
        ASSERT_EQ(marked.size(), 1u) << describe(submenu(menu, "Desk"));
        EXPECT_NEAR(marked[0]->text().chopped(1).toDouble() / 100, volume, 0.05 + 1e-6);
    }
    QMenu& desk = submenu(menu, "Desk");
    for (const auto& group : {itemsStartingWith(menu, {"Single", "Together", "Aligned"}),
                              itemsStartingWith(desk, steps)}) {
        ASSERT_TRUE(group.front()->actionGroup() && group.front()->actionGroup()->isExclusive());
        group.back()->trigger();
        group.front()->trigger();
        EXPECT_EQ(checkedOf(group), std::vector<QAction*>{group.front()});
    }

    buildStatusMenu(menu, m, actions);
    EXPECT_TRUE(item(menu, "Open Housetone") && item(menu, "Show in taskbar")) << describe(menu);
    m.hasTray = false;
    buildStatusMenu(menu, m, actions);
    EXPECT_FALSE(item(menu, "Open Housetone") || item(menu, "Show in taskbar")) << describe(menu);
    EXPECT_FALSE(contains(describe(menu), "Dock"));
}

TEST(ShellTaskbar, TheChoiceIsReadFromTheNewKeyElseTheOldOneElseOn) {
    const testsupport::TempDir dir{"housetone-taskbar"};
    QtUserDefaults defaults{QString::fromStdString((dir / "defaults.ini").string())};
    EXPECT_TRUE(showInTaskbar(defaults));
    defaults.setBool(dockVisibleKey, false);  // what earlier versions stored
    EXPECT_FALSE(showInTaskbar(defaults));
    setShowInTaskbar(defaults, true);
    EXPECT_TRUE(showInTaskbar(defaults));
    setShowInTaskbar(defaults, false);
    defaults.setBool(dockVisibleKey, true);
    EXPECT_FALSE(showInTaskbar(defaults));
}

struct ShellDesktopTest : ShellFixture {};

// Offscreen there is no tray: a window out of the taskbar could not be found again, so it stays
// in, whatever was chosen under a tray before, and the window's menu does not offer to leave.
TEST_F(ShellDesktopTest, WithoutATrayTheWindowIsInTheTaskbarWhateverWasChosen) {
    setShowInTaskbar(defaults, false);
    const auto app = launch();
    ASSERT_EQ(app->statusItem()->trayIcon(), nullptr);
    QMainWindow* w = app->window();
    EXPECT_TRUE(w->isVisible() && !w->windowFlags().testFlag(Qt::Tool));
    EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);
    const std::string menu = describe(*app->statusItem()->menu());
    EXPECT_FALSE(contains(menu, "taskbar") || contains(menu, "Open Housetone")) << menu;
}

TEST_F(ShellDesktopTest, CtrlQQuitsFromTheWindow) {
    const auto app = launch();
    QMainWindow* w = app->window();
    QTimer::singleShot(0, w, [w] {
        QApplication::setActiveWindow(w);
        QTest::keyClick(w, Qt::Key_Q, Qt::ControlModifier);
    });
    EXPECT_EQ(execWithinTenSeconds(), 0);
}

// Return confirms the step wherever the focus is in the panel, a nudge button included; a
// focused push button other than the default takes Return itself.
TEST(ShellKeyboard, ReturnInTheWalkConfirmsTheStep) {
    Rig rig{sim::defaultRoom(), {.speed = 40}};
    Controller& c = rig.startWith(Config{.measured = {{"sim-builtin-speakers", 182.4},
                                                      {"sim-kitchen-speaker", 182.4},
                                                      {"sim-porch-speaker", 182.4}}});
    for (const char* uid : {"sim-builtin-speakers", "sim-kitchen-speaker", "sim-porch-speaker"})
        c.setInclude(rig.dev(uid), true);
    ASSERT_TRUE(rig.startAligned()) << c.status();
    c.startGuidedAlign();
    ASSERT_EQ(c.guidedIndex(), std::optional<int>(0)) << c.status();
    QWidget window;
    auto* panel = new GuidedPanel(c, &window);
    window.show();
    QApplication::setActiveWindow(&window);
    auto* confirm = panel->findChild<QPushButton*>("guidedConfirm");
    ASSERT_TRUE(confirm);
    EXPECT_TRUE(confirm->isDefault());

    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : panel,
                    Qt::Key_Return);
    EXPECT_EQ(c.guidedIndex(), std::optional<int>(1));
    auto* nudge = panel->findChild<QToolButton*>("guidedNudge:5");
    nudge->setFocus();
    QTest::keyClick(nudge, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(c.guidedIndex().has_value()) << "the last step confirmed ends the walk";
    rig.main.runPending();
}

// The focus ring: the focused button draws the window text colour where the unfocused one does
// not, in both appearances.
TEST(ShellKeyboard, TheFocusRingShowsInTheLightAndTheDarkAppearance) {
    const QPalette was = QApplication::palette();
    for (const QPalette& palette : {lightPalette(), darkPalette()}) {
        QApplication::setPalette(palette);
        QWidget window;
        auto* prominent = new QPushButton("Confirm", &window);
        style::makeProminent(prominent);
        auto* segment = new QToolButton(&window);
        segment->setText("Aligned");
        segment->setCheckable(true);
        segment->setChecked(true);
        style::makeSegment(segment);
        auto* other = new QPushButton("Other", &window);
        prominent->move(10, 10);
        segment->move(10, 60);
        other->move(10, 110);
        window.resize(200, 160);
        window.show();
        QApplication::setActiveWindow(&window);
        const QColor ring = palette.color(QPalette::WindowText);
        const auto ringPixels = [&](QWidget* b) {
            const QImage img = b->grab().toImage();
            int n = 0;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x) {
                    const QColor c = img.pixelColor(x, y);
                    n += std::abs(c.red() - ring.red()) + std::abs(c.green() - ring.green()) +
                             std::abs(c.blue() - ring.blue()) <
                         30;
                }
            return n;
        };
        for (QAbstractButton* b :
             {static_cast<QAbstractButton*>(prominent), static_cast<QAbstractButton*>(segment)}) {
            other->setFocus();
            QCoreApplication::processEvents();
            const int unfocused = ringPixels(b);
            b->setFocus();
            QCoreApplication::processEvents();
            ASSERT_TRUE(b->hasFocus());
            // The ring goes round the whole button: at least its perimeter.
            EXPECT_GT(ringPixels(b) - unfocused, b->width() + b->height())
                << b->text().toStdString();
        }
    }
    QApplication::setPalette(was);
}

// Without a picture there is nothing to save, so the save is not offered; with one it is, and
// Return closes rather than saves.
TEST(TunePictureSave, OfferedOnlyWithAPicture) {
    const testsupport::TempDir dir{"housetone-picture"};
    TunePictureView view;
    view.present(std::nullopt, QString::fromStdString((dir / "none.png").string()));
    EXPECT_FALSE(view.saveButton()->isEnabled());
    EXPECT_FALSE(view.saveTo(QString::fromStdString((dir / "out.png").string())));
    EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));

    TunePicture picture{
        .pass = 1, .limitMs = 500, .speakers = {{.name = "Desk", .uid = "desk", .heard = true}}};
    view.present(picture, {});
    EXPECT_TRUE(view.saveButton()->isEnabled());
    EXPECT_FALSE(view.saveButton()->isDefault() || view.saveButton()->autoDefault());
    view.present(std::nullopt, QString::fromStdString((dir / "none.png").string()));
    EXPECT_FALSE(view.saveButton()->isEnabled());
    view.hide();
}

}  // namespace
}  // namespace housetone::ui
