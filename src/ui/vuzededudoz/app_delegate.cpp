#include "ui/vuzededudoz/app_delegate.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMainWindow>
#include <QMenu>
#include <QPalette>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QSystemTrayIcon>
#include <QThread>

#include "ui/main_view.h"
#include "ui/qt_user_defaults.h"
#include "ui/self_check.h"

namespace housetone::ui {

namespace {

constexpr int windowWidth = 560;
constexpr int windowHeight = 480;
constexpr unsigned long settleMilliseconds = 300;

QPalette darkPalette() {
    QPalette p;
    const QColor window(0x26, 0x27, 0x2b);
    const QColor base(0x1c, 0x1d, 0x20);
    const QColor text(0xe8, 0xe8, 0xea);
    const QColor secondary(0x9a, 0x9b, 0xa1);
    const QColor accent(0x3d, 0x8b, 0xf2);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window.lighter(110));
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, secondary);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x35, 0x36, 0x3b));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, QColor(0xff, 0x6b, 0x6b));
    p.setColor(QPalette::Light, QColor(0x4a, 0x4b, 0x51));
    p.setColor(QPalette::Midlight, QColor(0x3c, 0x3d, 0x42));
    p.setColor(QPalette::Mid, QColor(0x2f, 0x30, 0x34));
    p.setColor(QPalette::Dark, QColor(0x15, 0x15, 0x18));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, accent.lighter(120));
    p.setColor(QPalette::LinkVisited, accent.lighter(140));
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(0x6c, 0x6d, 0x73));
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x4a, 0x4b, 0x51));
    return p;
}

}  // namespace

void applyAppearance(Appearance appearance) {
    if (appearance == Appearance::system) return;
    // Fusion draws every control from the palette, so one palette switches the whole look;
    // desktop styles may ignore parts of it.
    QStyle* fusion = QStyleFactory::create("Fusion");
    if (!fusion) return;
    QApplication::setStyle(fusion);
    QApplication::setPalette(appearance == Appearance::dark ? darkPalette()
                                                            : fusion->standardPalette());
}

AppDelegate::AppDelegate(AppServices services, LaunchOptions options, QObject* parent)
    : QObject(parent),
      s_(services),
      options_(std::move(options)),
      alerts_([this] { return alertParent(); }) {}

AppDelegate::~AppDelegate() {
    // The panel and the window hold the controller; they go first, the controller last.
    aboutPanel_.reset();
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
    updateActivationPolicy();
    window_->activateWindow();

    statusItem_ = std::make_unique<StatusItem>(controller_, s_.defaults, *this);
    if (!statusItem_->trayIcon()) mainView()->setMenuFallback(statusItem_->menu());

    scheduleLaunchOptions();
}

void AppDelegate::createWindow() {
    window_ = std::make_unique<QMainWindow>();
    window_->setWindowTitle("Housetone");
    window_->setCentralWidget(new MainView(controller_));
    window_->resize(windowWidth, windowHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), window_->size());
        frame.moveCenter(screen->availableGeometry().center());
        window_->move(frame.topLeft());
    }
    window_->installEventFilter(this);
    window_->show();
    window_->raise();
}

void AppDelegate::scheduleLaunchOptions() {
    MainQueue& main = s_.main;
    const auto quit = [](int status) { QCoreApplication::exit(status); };
    if (options_.selfTest || options_.autoTuneSelfTest)
        selfCheck_ = SelfCheck::create(controller_, main, quit);
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

bool AppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
    if (!hasVisibleWindows) menuShowWindow();
    return true;
}

void AppDelegate::willTerminate() {
    if (terminated_) return;
    terminated_ = true;
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
    const bool show = dockVisible(s_.defaults);
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
        // After the window has gone, so that the policy sees it hidden.
        s_.main.post([this] { updateActivationPolicy(); });
    }
    return QObject::eventFilter(watched, event);
}

// ---- Menu actions -------------------------------------------------------------------------------

void AppDelegate::menuSelectMode(const QVariant& raw) {
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

void AppDelegate::menuRescan() {
    if (controller_) controller_->rescan();
}

void AppDelegate::menuShowWindow() {
    bringWindowForward();
    updateActivationPolicy();
}

void AppDelegate::toggleDockVisible() {
    s_.defaults.setBool(dockVisibleKey, !dockVisible(s_.defaults));
    updateActivationPolicy();
    if (statusItem_) statusItem_->scheduleRebuild();
}

void AppDelegate::showAbout() {
    if (!aboutPanel_) aboutPanel_ = std::make_unique<AboutPanel>(controller_);
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
