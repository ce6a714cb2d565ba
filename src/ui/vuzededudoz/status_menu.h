#pragma once

// The status-bar (tray) menu: what it shows is a pure function of a MenuModel snapshot of the
// controller; what its items do goes to a MenuActions target (the AppDelegate), but for the Keep in
// Step switch, which the StatusItem sets on the controller it holds. The speaker actions
// themselves are free functions over the Controller, so they run the same from the menu, from
// tests and from anything else that holds a controller.

#include <QKeySequence>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "controller/controller.h"
#include "core/dev.h"
#include "core/mode.h"

class QMenu;
class QSystemTrayIcon;

namespace housetone {
class UserDefaults;
}

namespace housetone::ui {

// The shell's preferences as the menu offers them (see preferences.h).
struct MenuPreferences {
    bool startAtLogin = false;
    bool startInTray = false;
    bool resumeLastMode = false;
};

struct MenuDevice {
    Dev dev;
    bool hasVolume = false;  // output volume (virtual main volume or channel scalars)
    bool hasMute = false;    // output mute flag
};

// Everything the menu shows, read from the controller at one moment.
struct MenuModel {
    Mode mode = Mode::single;
    std::vector<MenuDevice> devices;
    std::map<std::string, float> volumes;
    std::map<std::string, bool> muted;
    std::map<std::string, bool> include;
    std::map<std::string, double> offsets;
    bool tuning = false;
    std::optional<std::string> tuneOverall;
    std::optional<TuneProgress> tuneProgress;
    std::optional<std::string> referenceUID;
    bool keepInStep = false;                // the switch
    bool listening = false;                 // Keep in step is listening to the microphone just now
    std::optional<std::string> keptInStep;  // the correction it made within the last minute
    // "Show in taskbar" (the option's name on other desktops was "Show in Dock", hence the field).
    bool dockVisible = true;
    // The menu hangs from a tray icon. Without one it hangs in the main window itself, where
    // "Open Housetone" would open what is open already, and leaving the taskbar would leave no
    // way back to the window, so neither is offered.
    bool hasTray = true;
    // The "Preferences" submenu; absent where nothing keeps them. "Start in the tray" is offered
    // only under a tray, the one place it can take effect.
    std::optional<MenuPreferences> preferences;
};

MenuModel menuModelFrom(Controller& c, bool dockVisible, bool hasTray = true);

// Whether the main window has a taskbar entry: "showInTaskbar", or the "dockVisible" that earlier
// versions stored when that is all there is; on when neither is stored.
inline constexpr const char* showInTaskbarKey = "showInTaskbar";
bool showInTaskbar(const UserDefaults& defaults);
void setShowInTaskbar(UserDefaults& defaults, bool on);

// The methods the menu's items call, with the item's represented value where it has one.
class MenuActions {
  public:
    virtual ~MenuActions() = default;
    virtual void menuSelectMode(const QVariant& raw) = 0;
    virtual void menuToggleMute(const QVariant& uid) = 0;
    virtual void menuSetVolume(const QVariant& uidAndVolume) = 0;
    virtual void menuNudgeDelay(const QVariant& uidAndDelta) = 0;
    virtual void menuAutoTune() = 0;
    // "Show last tune…"; a target without a picture window ignores it.
    virtual void menuShowTune() {}
    virtual void menuRescan() = 0;
    virtual void menuShowWindow() = 0;
    // A left click on the tray icon; a target without a window to hide shows it.
    virtual void toggleWindow() { menuShowWindow(); }
    virtual void toggleDockVisible() = 0;
    // The "Preferences" items; a target that offers none ignores them.
    virtual void toggleStartAtLogin() {}
    virtual void toggleStartInTray() {}
    virtual void toggleResumeLastMode() {}
    virtual void showAbout() = 0;
    // "Housetone Help"; a target without a help window ignores it.
    virtual void showHelp() {}
    virtual void menuQuit() = 0;
};

// The keys that quit the program: the desktop's, or Ctrl+Q where it names none.
QList<QKeySequence> quitKeys();

// Removes every item (and the submenus of the last build), then fills `menu` from `m`.
void buildStatusMenu(QMenu& menu, const MenuModel& m, MenuActions& target);

// Text pieces of the menu, exposed for the views that show the same things.
QString deviceMenuTitle(const MenuModel& m, const Dev& d);
// The first `count` user-perceived characters of a UTF-8 text.
QString firstCharacters(const std::string& utf8, int count);
// Whether the volume item for `percent` carries the on mark at `volume` (0...1): the step nearest
// the volume, the higher one half way between two, none below the lowest step's half.
bool volumeItemMarked(float volume, int percent);

// The object name of the "Keep in Step" item, whose represented value is the state it asks for.
inline constexpr const char* keepInStepItem = "keepInStep";

// The speaker actions on the controller. A represented value of the wrong shape, or a UID that is
// not among the devices, does nothing.
void menuSelectMode(Controller& c, const QVariant& raw);
void menuToggleMute(Controller& c, const QVariant& uid);
void menuSetVolume(Controller& c, const QVariant& uidAndVolume);
void menuNudgeDelay(Controller& c, const QVariant& uidAndDelta);
void menuSetKeepInStep(Controller& c, const QVariant& on);

// The tray icon and its menu, kept in step with the controller. Without a system tray (some
// desktops, offscreen runs) there is no icon and the menu is handed to the main window instead.
// While Keep in step listens the icon is a microphone, so the tray says so without being opened.
// The menu offers the preferences, read afresh (the autostart entry from its folder) at each build.
class StatusItem final : public QObject {
    Q_OBJECT
  public:
    // `withTray`: whether the desktop has a system tray to hang the icon in.
    StatusItem(std::shared_ptr<Controller> controller, UserDefaults& defaults, MenuActions& target,
               bool withTray, QObject* parent = nullptr);
    ~StatusItem() override;

    QMenu* menu() const { return menu_; }
    QSystemTrayIcon* trayIcon() const { return tray_; }  // null without a system tray

    // menuNeedsUpdate: rebuilds the menu from the controller now.
    void menuNeedsUpdate();
    // Rebuilds soon, from the event loop (after whatever action is running has returned).
    void scheduleRebuild();
    // Opens the menu as a right click on the icon would: at the icon, or under the mouse pointer
    // when the tray does not tell where its icon is.
    void openMenu();

  private:
    void controllerChanged(Field f);
    void showListening();

    std::shared_ptr<Controller> controller_;
    UserDefaults& defaults_;
    MenuActions& target_;
    QMenu* menu_;
    QSystemTrayIcon* tray_ = nullptr;
    int observer_ = 0;
    bool rebuildPosted_ = false;
    std::optional<std::string> shownCorrection_;  // Keep in step's correction, as last shown
};

}  // namespace housetone::ui
