#pragma once

// The application shell: owns the one Controller, the main window, the tray item and the About
// panel, applies the launch options and shuts the audio down when the program quits. Main thread.

#include <QObject>
#include <QRect>
#include <QSize>
#include <QString>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <string>

#include "controller/controller.h"
#include "ui/about_panel.h"
#include "ui/qt_alert_presenter.h"
#include "ui/qt_user_defaults.h"
#include "ui/vuzededudoz/appearance.h"
#include "ui/vuzededudoz/launch_options.h"
#include "ui/vuzededudoz/status_menu.h"

class QMainWindow;

namespace housetone::ui {

class DesktopNotices;
class HelpWindow;
class MainView;
class SelfCheck;
class TunePictureView;

// Shows a notification through the tray icon (the desktop's notifications, where it has them).
void showTrayMessage(QSystemTrayIcon& icon, const QString& title, const QString& text);

// What the shell needs from the platform, owned by main and outliving the delegate.
struct AppServices {
    AudioHardware& hw;
    Player& player;
    MicPermission& micPermission;
    SettingsStore& store;
    MainQueue& main;
    QtUserDefaults& defaults;
    std::string audioName = "simulated room";  // what the About panel says runs underneath
    // Whether the desktop has a system tray, asked once at launch (offscreen has none), and how a
    // notification reaches the desktop through the tray's icon. Tests stand in for both.
    std::function<bool()> systemTray = &QSystemTrayIcon::isSystemTrayAvailable;
    std::function<void(QSystemTrayIcon&, const QString& title, const QString& text)> trayMessage =
        showTrayMessage;
};

// The main window's size the first time it opens on a screen whose free area is `available`:
// room for the controls and at least five speakers in Aligned mode on a 1366 × 768 screen,
// never more than the screen offers.
QSize launchSize(const QRect& available);

// Whether the program has a taskbar entry (the Dock icon of other desktops): regular = yes,
// accessory = tray only.
enum class ActivationPolicy { regular, accessory };

class AppDelegate final : public QObject, public MenuActions {
    Q_OBJECT
  public:
    AppDelegate(AppServices services, LaunchOptions options, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Launch: controller, main window, tray item, taskbar policy, the mode the user asked to
    // resume, then the timed options. The window shows unless the user asked to start in the
    // tray and there is a tray to bring it from.
    void didFinishLaunching();
    // Closing the window keeps the program running in the tray. Without a tray there would be no
    // way back to it, so closing the window then quits, as it does in any window program.
    static constexpr bool applicationShouldTerminateAfterLastWindowClosed() { return false; }
    bool closingWindowQuits() const;
    // A request to show the program again (a click on its taskbar entry, a second launch).
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    // Runs once, when the event loop is about to end: stops the audio, then gives it 0.3 s.
    void willTerminate();

    // regular while the main window is visible and in the taskbar; accessory otherwise. The entry
    // is the main window's own taskbar button. Leaving the taskbar ("Show in taskbar" off) makes
    // the window a tool window, which taskbars leave out; that is offered only with a tray icon,
    // the way back to it, so without a tray the window is always in the taskbar. (A hidden
    // window has no entry at all, so only the setting needs the flag.)
    void updateActivationPolicy();
    bool inTaskbar() const;
    ActivationPolicy activationPolicy() const { return policy_; }

    // A mode the user chose (in the window, the menu, or by a later launch's --mode): kept for
    // "Resume the last mode", then switched to by the controller, which may refuse it.
    void chooseMode(Mode mode);

    // ---- Menu actions ----
    void menuSelectMode(const QVariant& raw) override;
    void menuToggleMute(const QVariant& uid) override;
    void menuSetVolume(const QVariant& uidAndVolume) override;
    void menuNudgeDelay(const QVariant& uidAndDelta) override;
    void menuAutoTune() override;
    void menuShowTune() override;
    void menuRescan() override;
    void menuShowWindow() override;
    // A click on the tray icon: hides a window that shows, shows one that does not.
    void toggleWindow() override;
    void toggleDockVisible() override;
    // Writes or removes the autostart entry; a failure is said on the status line.
    void toggleStartAtLogin() override;
    void toggleStartInTray() override;
    void toggleResumeLastMode() override;
    void showAbout() override;
    void showHelp() override;
    void menuQuit() override;

    // ---- Parts, for the entry point, the screenshot tour and tests ----
    const std::shared_ptr<Controller>& controller() const { return controller_; }
    QMainWindow* window() const { return window_.get(); }
    MainView* mainView() const;
    StatusItem* statusItem() const { return statusItem_.get(); }
    AboutPanel* aboutPanel() const { return aboutPanel_.get(); }
    HelpWindow* helpWindow() const { return helpWindow_.get(); }
    TunePictureView* tunePictureView() const { return tuneView_.get(); }
    const LaunchOptions& options() const { return options_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void createWindow();
    void saveWindowGeometry();
    // A tune finished with a picture: it goes beside the tune's log, and (unless a self-check is
    // running unattended) on screen.
    void tunePictured();
    void bringWindowForward();
    bool hasTray() const;
    // The first time a close leaves the program running in the tray, the tray says so, once for
    // this user.
    void tellKeptInTray();
    // A notification through the tray icon; nothing without a tray.
    void notify(const QString& title, const QString& text);
    // The window's mode buttons and the menu's mode items are the user's choices of mode.
    void rememberModeChoices();
    // At launch: the mode the user asked to start in (--mode, else the last chosen one when
    // resumed), through the controller's own switch.
    void resumeMode();
    void scheduleLaunchOptions();
    QWidget* alertParent();

    AppServices s_;
    LaunchOptions options_;
    QtAlertPresenter alerts_;

    std::shared_ptr<Controller> controller_;
    std::unique_ptr<QMainWindow> window_;
    std::unique_ptr<StatusItem> statusItem_;
    std::unique_ptr<AboutPanel> aboutPanel_;
    std::unique_ptr<HelpWindow> helpWindow_;
    std::unique_ptr<TunePictureView> tuneView_;
    std::unique_ptr<DesktopNotices> notices_;
    int observer_ = 0;

    std::shared_ptr<SelfCheck> selfCheck_;
    ActivationPolicy policy_ = ActivationPolicy::accessory;
    bool terminated_ = false;
};

}  // namespace housetone::ui
