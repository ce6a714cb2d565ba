#include "ui/vuzededudoz/app_delegate.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QThread>

#include "ui/help_window.h"
#include "ui/main_view.h"
#include "ui/qt_user_defaults.h"
#include "ui/self_check.h"
#include "ui/tune_picture_view.h"
#include "ui/vuzededudoz/appearance.h"
#include "ui/vuzededudoz/desktop_notices.h"
#include "ui/vuzededudoz/preferences.h"

namespace housetone::ui {

namespace {

// The launch size: wide enough for every tools row, tall enough for five speakers in Aligned mode
// under the controls. On a smaller screen the free area limits it, less room for the frame.
constexpr int windowWidth = 600;
constexpr int windowHeight = 700;
constexpr int frameAllowance = 40;
constexpr unsigned long settleMilliseconds = 300;
constexpr const char* tunePictureName = "autotune.png";  // beside the tune's "autotune.log"
// Set once the tray has said that closing the window leaves the program running.
constexpr const char* keptInTrayToldKey = "keptInTrayTold";
constexpr int trayMessageMilliseconds = 8000;

constexpr const char* startAtLoginWhat = "Start at login";

}  // namespace

void showTrayMessage(QSystemTrayIcon& icon, const QString& title, const QString& text) {
    icon.showMessage(title, text, QSystemTrayIcon::Information, trayMessageMilliseconds);
}

AppDelegate::AppDelegate(AppServices services, LaunchOptions options, QObject* parent)
    : QObject(parent),
      s_(services),
      options_(std::move(options)),
      alerts_([this] { return alertParent(); }) {}

AppDelegate::~AppDelegate() {
    // The panel and the window hold the controller; they go first, the controller last.
    if (controller_) controller_->removeObserver(observer_);
    notices_.reset();
    aboutPanel_.reset();
    tuneView_.reset();
    statusItem_.reset();
    if (window_) window_->removeEventFilter(this);
    window_.reset();
    selfCheck_.reset();
    controller_.reset();
}

void AppDelegate::didFinishLaunching() {
    QApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    connect(qApp, &QCoreApplication::aboutToQuit, this, &AppDelegate::willTerminate,
            Qt::UniqueConnection);

    // The audio layer delivers its notifications on a thread of its own by construction, so there
    // is no run loop to detach here.
    controller_ = Controller::create(
        Services{s_.hw, s_.main, s_.store, s_.player, s_.micPermission, &alerts_});

    applyAppearance(options_.appearance);
    createWindow();
    // Before the window shows and the taskbar policy: both depend on whether there is a tray to
    // come back from.
    statusItem_ = std::make_unique<StatusItem>(controller_, s_.defaults, *this, s_.systemTray());
    if (!statusItem_->trayIcon()) mainView()->setMenuFallback(statusItem_->menu());
    // Without a tray nothing else would show that the program runs.
    if (!hasTray() || !startInTray(s_.defaults)) {
        window_->show();
        window_->raise();
    }
    updateActivationPolicy();
    if (window_->isVisible()) window_->activateWindow();

    observer_ = controller_->addObserver([this](Field f) {
        if (f == Field::tunePicture) tunePictured();
    });
    connect(mainView(), &MainView::showTuneRequested, this, &AppDelegate::menuShowTune);
    if (hasTray())
        notices_ = std::make_unique<DesktopNotices>(
            controller_,
            [this] { return !window_ || !window_->isVisible() || window_->isMinimized(); },
            [this](const QString& title, const QString& text) { notify(title, text); });
    rememberModeChoices();
    resumeMode();

    scheduleLaunchOptions();
}

QSize launchSize(const QRect& available) {
    if (!available.isValid()) return {windowWidth, windowHeight};
    return {std::min(windowWidth, available.width()),
            std::min(windowHeight, available.height() - frameAllowance)};
}

void AppDelegate::createWindow() {
    window_ = std::make_unique<QMainWindow>();
    window_->setWindowTitle("Housetone");
    window_->setCentralWidget(new MainView(controller_));
    // Where the user left it; the first time, centred at the launch size.
    if (!window_->restoreGeometry(s_.defaults.bytes(windowGeometryKey))) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        const QRect available = screen ? screen->availableGeometry() : QRect();
        window_->resize(launchSize(available));
        if (screen) {
            QRect frame(QPoint(), window_->size());
            frame.moveCenter(available.center());
            window_->move(frame.topLeft());
        }
    }
    // On the window, not only on the menu's item: a tray's menu lives outside every window, so
    // its shortcut would never reach the program.
    auto* rescan = new QAction(QStringLiteral("Rescan devices"), window_.get());
    rescan->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    rescan->setShortcutContext(Qt::WindowShortcut);
    connect(rescan, &QAction::triggered, this, &AppDelegate::menuRescan);
    window_->addAction(rescan);
    auto* help = new QAction(QStringLiteral("Housetone Help"), window_.get());
    help->setShortcut(QKeySequence::HelpContents);
    connect(help, &QAction::triggered, this, &AppDelegate::showHelp);
    window_->addAction(help);
    auto* quit = new QAction(QStringLiteral("Quit Housetone"), window_.get());
    quit->setShortcuts(quitKeys());
    quit->setShortcutContext(Qt::WindowShortcut);
    connect(quit, &QAction::triggered, this, &AppDelegate::menuQuit);
    window_->addAction(quit);
    window_->installEventFilter(this);
}

void AppDelegate::scheduleLaunchOptions() {
    MainQueue& main = s_.main;
    const auto quit = [](int status) { QCoreApplication::exit(status); };
    if (options_.anySelfTest()) selfCheck_ = SelfCheck::create(controller_, main, quit);
    // Held weakly: the delegate owns the check, so quitting before it runs ends it with the
    // delegate, before the controller, while the main queue still works.
    const std::weak_ptr<SelfCheck> check = selfCheck_;
    if (options_.selfTest) {
        main.postAfter(1.0, [check] {
            if (const auto c = check.lock()) c->runEngineSelfCheck();
        });
    }
    if (options_.autoTuneSelfTest) {
        main.postAfter(2.0, [check] {
            if (const auto c = check.lock()) c->runAutoTuneSelfCheck();
        });
    }
    if (options_.keepInStepSelfTest) {
        main.postAfter(1.0, [check, seconds = *options_.keepInStepSelfTest] {
            if (const auto c = check.lock()) c->runKeepInStepSelfCheck(seconds);
        });
    }
    if (options_.openMenu) {
        main.postAfter(2.0, [this, &main] {
            QPointer<QMenu> menu = statusItem_->menu();
            main.postAfter(3.0, [menu, &main] {
                main.post([menu] {
                    if (menu) menu->hide();
                });
            });
            statusItem_->openMenu();
        });
    }
    if (options_.showAbout) main.postAfter(1.5, [this] { showAbout(); });
}

void AppDelegate::rememberModeChoices() {
    for (const Mode m : allModes) {
        const QString name = QStringLiteral("mode:") + QString::fromStdString(rawValue(m));
        if (auto* button = mainView()->findChild<QAbstractButton*>(name))
            connect(button, &QAbstractButton::clicked, this,
                    [this, m] { rememberChosenMode(s_.defaults, m); });
    }
}

void AppDelegate::resumeMode() {
    // A self-check is a run of its own that starts from Single, whatever the user chose.
    if (options_.anySelfTest()) return;
    // Asked for on the command line, the mode is this start's choice whatever was last chosen.
    if (options_.mode) rememberChosenMode(s_.defaults, *options_.mode);
    const Mode m = options_.mode.value_or(startMode(s_.defaults));
    if (m != Mode::single) controller_->chooseMode(m);
}

bool AppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
    if (!hasVisibleWindows) menuShowWindow();
    return true;
}

bool AppDelegate::hasTray() const {
    return statusItem_ && statusItem_->trayIcon();
}

bool AppDelegate::closingWindowQuits() const {
    return !hasTray();
}

bool AppDelegate::inTaskbar() const {
    return !hasTray() || showInTaskbar(s_.defaults);
}

void AppDelegate::tellKeptInTray() {
    if (!hasTray() || s_.defaults.boolDefault(keptInTrayToldKey, false)) return;
    s_.defaults.setBool(keptInTrayToldKey, true);
    notify(QStringLiteral("Housetone is still running"),
           QStringLiteral("It keeps playing on your speakers. Click its icon in the tray to open "
                          "the window again, or choose Quit Housetone from the icon's menu."));
}

void AppDelegate::notify(const QString& title, const QString& text) {
    if (hasTray()) s_.trayMessage(*statusItem_->trayIcon(), title, text);
}

void AppDelegate::saveWindowGeometry() {
    if (window_ && window_->isVisible())
        s_.defaults.setBytes(windowGeometryKey, window_->saveGeometry());
}

void AppDelegate::willTerminate() {
    if (terminated_) return;
    terminated_ = true;
    saveWindowGeometry();
    if (controller_) {
        // A tune in progress would otherwise run to its end before the program can exit; asked to
        // cancel, it stops at its next measurement.
        if (controller_->tuning()) controller_->toggleAutoTune();
        controller_->shutdown();
    }
    // The audio layer finishes tearing down devices after the calls return.
    QThread::msleep(settleMilliseconds);
}

void AppDelegate::updateActivationPolicy() {
    const bool show = inTaskbar();
    policy_ = show && window_ && window_->isVisible() ? ActivationPolicy::regular
                                                      : ActivationPolicy::accessory;
    if (!window_) return;
    const bool tool = !show;
    if (window_->windowFlags().testFlag(Qt::Tool) == tool) return;
    // Changing the flags of a shown window hides it; it comes back where it was.
    const bool wasVisible = window_->isVisible();
    const QPoint at = window_->pos();
    window_->setWindowFlag(Qt::Tool, tool);
    if (wasVisible) {
        window_->move(at);
        window_->show();
    }
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_.get() && event->type() == QEvent::Close) {
        saveWindowGeometry();
        // After the window has gone, so that the policy sees it hidden.
        s_.main.post([this] { updateActivationPolicy(); });
        if (closingWindowQuits())
            s_.main.post([] { QCoreApplication::quit(); });
        else
            tellKeptInTray();
    }
    // A tool window minimised would have no taskbar entry to restore it from: out of the
    // taskbar, minimising puts the window away in the tray, where its icon brings it back.
    if (watched == window_.get() && event->type() == QEvent::WindowStateChange &&
        window_->isMinimized() && !inTaskbar()) {
        s_.main.post([this] {
            if (!window_ || !window_->isMinimized()) return;
            window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
            window_->hide();
            updateActivationPolicy();
        });
    }
    return QObject::eventFilter(watched, event);
}

// ---- Menu actions -------------------------------------------------------------------------------

void AppDelegate::chooseMode(Mode mode) {
    rememberChosenMode(s_.defaults, mode);
    if (controller_) controller_->chooseMode(mode);
}

void AppDelegate::menuSelectMode(const QVariant& raw) {
    if (raw.typeId() == QMetaType::QString)
        if (const auto m = modeFromRawValue(raw.toString().toStdString()))
            rememberChosenMode(s_.defaults, *m);
    if (controller_) ui::menuSelectMode(*controller_, raw);
}

void AppDelegate::menuToggleMute(const QVariant& uid) {
    if (controller_) ui::menuToggleMute(*controller_, uid);
}

void AppDelegate::menuSetVolume(const QVariant& uidAndVolume) {
    if (controller_) ui::menuSetVolume(*controller_, uidAndVolume);
}

void AppDelegate::menuNudgeDelay(const QVariant& uidAndDelta) {
    if (controller_) ui::menuNudgeDelay(*controller_, uidAndDelta);
}

void AppDelegate::menuAutoTune() {
    // The progress shows in the window.
    bringWindowForward();
    updateActivationPolicy();
    if (controller_) controller_->toggleAutoTune();
}

void AppDelegate::menuShowTune() {
    if (!tuneView_) tuneView_ = std::make_unique<TunePictureView>();
    tuneView_->present(controller_ ? controller_->tunePicture() : std::nullopt,
                       QString::fromStdString(s_.store.fileURL(tunePictureName).string()));
}

void AppDelegate::tunePictured() {
    const auto& picture = controller_->tunePicture();
    if (!picture) return;
    const QString path = QString::fromStdString(s_.store.fileURL(tunePictureName).string());
    // A failed write keeps the previous picture whole, as a failed log write keeps the previous
    // log, and is said.
    controller_->reportWrite(
        "The tune picture",
        savePngAtomically(drawTunePicture(*picture, QApplication::palette()), path));
    if (!options_.autoTuneSelfTest) menuShowTune();
}

void AppDelegate::menuRescan() {
    if (controller_) controller_->rescan();
}

void AppDelegate::menuShowWindow() {
    bringWindowForward();
    updateActivationPolicy();
}

void AppDelegate::toggleWindow() {
    if (window_ && window_->isVisible() && !window_->isMinimized()) {
        // Put away, not closed: the icon was clicked, so the tray needs no notice.
        saveWindowGeometry();
        window_->hide();
        updateActivationPolicy();
        return;
    }
    menuShowWindow();
}

void AppDelegate::toggleDockVisible() {
    // Only a tray's menu offers the choice; without a tray the window stays in the taskbar.
    setShowInTaskbar(s_.defaults, !showInTaskbar(s_.defaults));
    updateActivationPolicy();
    if (statusItem_) statusItem_->scheduleRebuild();
}

void AppDelegate::toggleStartAtLogin() {
    std::optional<std::string> problem;
    if (const auto entry = autostartEntryPath()) {
        const bool on = autostartState(*entry) != Autostart::on;
        problem =
            setStartAtLogin(*entry, QCoreApplication::applicationFilePath().toStdString(), on);
    } else {
        problem = "there is no home folder to keep the autostart entry in";
    }
    if (controller_) {
        // Asked afresh by a click, so said again even when it is the answer the last click had.
        controller_->reportWrite(startAtLoginWhat, std::nullopt);
        controller_->reportWrite(startAtLoginWhat, problem);
    }
    // The tick reads the folder: it shows what is there, whatever happened.
    if (statusItem_) statusItem_->scheduleRebuild();
}

void AppDelegate::toggleStartInTray() {
    setStartInTray(s_.defaults, !startInTray(s_.defaults));
    if (statusItem_) statusItem_->scheduleRebuild();
}

void AppDelegate::toggleResumeLastMode() {
    setResumeLastMode(s_.defaults, !resumeLastMode(s_.defaults));
    if (statusItem_) statusItem_->scheduleRebuild();
}

void AppDelegate::showHelp() {
    if (!helpWindow_) helpWindow_ = std::make_unique<HelpWindow>();
    helpWindow_->present();
}

void AppDelegate::showAbout() {
    if (!aboutPanel_)
        aboutPanel_ =
            std::make_unique<AboutPanel>(controller_, QString::fromStdString(s_.audioName));
    aboutPanel_->present();
}

MainView* AppDelegate::mainView() const {
    return window_ ? qobject_cast<MainView*>(window_->centralWidget()) : nullptr;
}

void AppDelegate::menuQuit() {
    QCoreApplication::quit();
}

void AppDelegate::bringWindowForward() {
    if (!window_) return;
    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window_->show();
    window_->raise();
    window_->activateWindow();
}

QWidget* AppDelegate::alertParent() {
    if (!window_ || !window_->isVisible()) return nullptr;
    window_->raise();
    window_->activateWindow();
    return window_.get();
}

}  // namespace housetone::ui
