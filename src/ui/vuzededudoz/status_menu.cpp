#include "ui/vuzededudoz/status_menu.h"

#include "ui/device_row.h"

#include <QAction>
#include <QActionGroup>
#include <QCursor>
#include <QGuiApplication>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTextBoundaryFinder>
#include <QVariantMap>
#include <algorithm>
#include <cmath>

#include "ui/device_row.h"
#include "ui/qt_user_defaults.h"
#include "ui/resources.h"
#include "ui/symbols.h"
#include "ui/tune_progress.h"
#include "ui/vuzededudoz/preferences.h"

namespace housetone::ui {

namespace {

constexpr int progressCharacters = 70;

// Menus read a single "&" as a mnemonic marker; device names such as "Bang & Olufsen" must not.
QString menuText(const QString& s) {
    QString out = s;
    return out.replace('&', "&&");
}

QString menuText(const std::string& s) {
    return menuText(QString::fromStdString(s));
}

template <typename Fn>
QAction* addItem(QMenu& menu, const QString& title, Fn&& action) {
    QAction* item = menu.addAction(title);
    QObject::connect(item, &QAction::triggered, item, std::forward<Fn>(action));
    return item;
}

using ValueAction = void (MenuActions::*)(const QVariant&);

// An item whose action receives the item's represented value, read when it is chosen.
QAction* addValueItem(QMenu& menu, const QString& title, const QVariant& value, MenuActions& target,
                      ValueAction action) {
    QAction* item = menu.addAction(title);
    item->setData(value);
    QObject::connect(item, &QAction::triggered, item,
                     [item, &target, action] { (target.*action)(item->data()); });
    return item;
}

QAction* addDisabled(QMenu& menu, const QString& title) {
    QAction* item = menu.addAction(title);
    item->setEnabled(false);
    return item;
}

void mark(QAction* item, bool on) {
    item->setCheckable(true);
    item->setChecked(on);
}

// One of several: the items show as radio items and choosing one clears the others' marks.
QActionGroup* exclusiveGroup(QMenu& menu) {
    auto* group = new QActionGroup(&menu);
    group->setExclusive(true);
    return group;
}

const Dev* findDevice(const Controller& c, const QString& uid) {
    const std::string key = uid.toStdString();
    const auto& devs = c.devices();
    const auto it =
        std::find_if(devs.begin(), devs.end(), [&](const Dev& d) { return d.uid == key; });
    return it == devs.end() ? nullptr : &*it;
}

template <typename Map, typename T>
T valueOr(const Map& map, const std::string& key, T fallback) {
    const auto it = map.find(key);
    return it == map.end() ? fallback : it->second;
}

// A represented map's string under `key`, or nothing when absent or not a string.
std::optional<QString> stringMember(const QVariantMap& map, const char* key) {
    const auto it = map.find(key);
    if (it == map.end() || it->typeId() != QMetaType::QString) return std::nullopt;
    return it->toString();
}

// A represented map's number under `key`, or nothing when absent or not a Float64.
std::optional<double> numberMember(const QVariantMap& map, const char* key) {
    const auto it = map.find(key);
    if (it == map.end() || it->typeId() != QMetaType::Double) return std::nullopt;
    return it->toDouble();
}

void addDeviceSubmenu(QMenu& parent, const MenuModel& m, const MenuDevice& md,
                      MenuActions& target) {
    const Dev& d = md.dev;
    const QString uid = QString::fromStdString(d.uid);
    // Parented to the top menu so clearing it on the next build can find and delete it.
    auto* sub = new QMenu(deviceMenuTitle(m, d), &parent);
    parent.addMenu(sub);

    if (md.hasMute) {
        const bool muted = valueOr(m.muted, d.uid, false);
        addValueItem(*sub, muted ? "Unmute" : "Mute", uid, target, &MenuActions::menuToggleMute);
        sub->addSeparator();
    }

    if (md.hasVolume) {
        const float volume = valueOr(m.volumes, d.uid, 0.0f);
        QActionGroup* steps = exclusiveGroup(*sub);
        for (int pct = 100; pct >= 10; pct -= 10) {
            const QVariantMap value{{"uid", uid}, {"v", pct / 100.0}};
            QAction* step = addValueItem(*sub, QString::number(pct) + "%", value, target,
                                         &MenuActions::menuSetVolume);
            steps->addAction(step);
            mark(step, volumeItemMarked(volume, pct));
        }
    } else {
        addDisabled(*sub, "No volume control (" + transportName(d.transport) + ")");
    }

    const bool isReference = m.referenceUID && *m.referenceUID == d.uid;
    if (m.mode == Mode::aligned && !isReference && valueOr(m.include, d.uid, false)) {
        sub->addSeparator();
        const auto ms = static_cast<long long>(std::trunc(valueOr(m.offsets, d.uid, 0.0)));
        addDisabled(*sub, "Delay: " + QString::number(ms) + " ms");
        // Fine steps to line a speaker up by ear, coarse ones to reach a network speaker's
        // seconds without opening the menu hundreds of times.
        for (const double delta : {5.0, -5.0, 100.0, -100.0}) {
            const QVariantMap value{{"uid", uid}, {"d", delta}};
            const QString sign = delta > 0 ? QStringLiteral("+") : QStringLiteral("\u2212");
            addValueItem(*sub, sign + QString::number(std::abs(delta)) + QStringLiteral(" ms"),
                         value, target, &MenuActions::menuNudgeDelay);
        }
    }
}

void addPreferences(QMenu& parent, const MenuModel& m, MenuActions& target) {
    const MenuPreferences& p = *m.preferences;
    auto* sub = new QMenu(QStringLiteral("Preferences"), &parent);
    parent.addMenu(sub);
    mark(addItem(*sub, "Start at login", [&target] { target.toggleStartAtLogin(); }),
         p.startAtLogin);
    if (m.hasTray)
        mark(addItem(*sub, "Start in the tray", [&target] { target.toggleStartInTray(); }),
             p.startInTray);
    mark(addItem(*sub, "Resume the last mode at start",
                 [&target] { target.toggleResumeLastMode(); }),
         p.resumeLastMode);
}

QIcon trayImage() {
    QIcon icon = symbolIcon("hifispeaker.2.fill");
    // Some desktops refuse a tray entry without an image; the program icon always exists.
    if (icon.isNull()) icon = QIcon(resourcePath("AppIcon.png"));
    return icon;
}

}  // namespace

// ---- Model
// ----------------------------------------------------------------------------------------

MenuModel menuModelFrom(Controller& c, bool dockVisible, bool hasTray) {
    MenuModel m;
    m.mode = c.mode();
    for (const Dev& d : c.devices()) {
        const auto has = valueOr(c.capabilities(), d.uid, SpeakerCapabilities{});
        m.devices.push_back({d, has.hasVolume, has.hasMute});
    }
    m.volumes = c.volumes();
    m.muted = c.muted();
    m.include = c.include();
    m.offsets = c.offsets();
    m.tuning = c.tuning();
    m.tuneOverall = c.tuneOverall();
    m.tuneProgress = c.tuneProgress();
    if (const auto ref = c.referenceSpeaker()) m.referenceUID = ref->uid;
    m.keepInStep = c.keepInStep();
    m.listening = c.listening();
    m.keptInStep = c.recentCorrection();
    m.dockVisible = dockVisible;
    m.hasTray = hasTray;
    return m;
}

QString firstCharacters(const std::string& utf8, int count) {
    const QString text = QString::fromStdString(utf8);
    // Cut between grapheme clusters, so an accented letter or a flag is never split in two.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int n = 0;
    while (n < count && finder.toNextBoundary() != -1)
        ++n;
    return n < count ? text : text.left(finder.position());
}

QList<QKeySequence> quitKeys() {
    // The desktop's own key for quitting; a platform that names none (offscreen, some minimal
    // themes) gets the one every Linux desktop uses.
    QList<QKeySequence> keys = QKeySequence::keyBindings(QKeySequence::Quit);
    if (keys.isEmpty()) keys.append(QKeySequence(Qt::CTRL | Qt::Key_Q));
    return keys;
}

bool showInTaskbar(const UserDefaults& defaults) {
    return defaults.boolDefault(showInTaskbarKey, dockVisible(defaults));
}

void setShowInTaskbar(UserDefaults& defaults, bool on) {
    defaults.setBool(showInTaskbarKey, on);
}

bool volumeItemMarked(float volume, int percent) {
    // One step only: the steps are radio items, and a volume half way between two marks the
    // higher.
    const long rounded = std::lround(volume * 100.0f);
    return rounded - percent < 5 && percent - rounded <= 5;
}

QString deviceMenuTitle(const MenuModel& m, const Dev& d) {
    QString state;
    if (valueOr(m.muted, d.uid, false)) {
        state = "muted";
    } else if (const auto it = m.volumes.find(d.uid); it != m.volumes.end()) {
        state = QString::number(static_cast<long long>(std::trunc(it->second * 100.0f))) + "%";
    } else {
        state = QStringLiteral("\u2014");
    }
    return menuText(d.name) + "  " + state;
}

void buildStatusMenu(QMenu& menu, const MenuModel& m, MenuActions& target) {
    menu.clear();
    for (QMenu* old : menu.findChildren<QMenu*>(Qt::FindDirectChildrenOnly))
        old->deleteLater();
    for (QActionGroup* old : menu.findChildren<QActionGroup*>(Qt::FindDirectChildrenOnly))
        delete old;

    QActionGroup* modes = exclusiveGroup(menu);
    for (const Mode mode : allModes) {
        const QString raw = QString::fromStdString(rawValue(mode));
        QAction* choice = addValueItem(menu, raw, raw, target, &MenuActions::menuSelectMode);
        modes->addAction(choice);
        mark(choice, m.mode == mode);
    }
    // The switch beside the modes, as in the window; the listening line under it is the tray's
    // sign that the microphone is in use.
    QAction* keep = menu.addAction(QStringLiteral("Keep in Step"));
    keep->setObjectName(keepInStepItem);
    keep->setData(!m.keepInStep);
    mark(keep, m.keepInStep);
    keep->setEnabled(m.mode == Mode::aligned);
    if (m.listening)
        addDisabled(menu, QStringLiteral("Listening to keep speakers in step"))
            ->setIcon(symbolIcon(QStringLiteral("mic.fill")));
    if (m.keptInStep) addDisabled(menu, QString::fromStdString(*m.keptInStep));
    menu.addSeparator();

    for (const MenuDevice& d : m.devices)
        addDeviceSubmenu(menu, m, d, target);
    menu.addSeparator();

    addItem(
        menu,
        m.tuning ? QStringLiteral("Cancel auto-tune") : QStringLiteral("Auto-tune speakers\u2026"),
        [&target] { target.menuAutoTune(); });
    if (m.tuning && m.tuneOverall) {
        // How far the tune has come leads, so a cut line still says it.
        const std::string where =
            m.tuneProgress ? progressShortText(*m.tuneProgress).toStdString() + " \u2014 " : "";
        addDisabled(menu, menuText(firstCharacters(where + *m.tuneOverall, progressCharacters)));
    }
    if (!m.tuning) addItem(menu, "Show last tune\u2026", [&target] { target.menuShowTune(); });
    menu.addSeparator();

    QAction* rescan = addItem(menu, "Rescan devices", [&target] { target.menuRescan(); });
    rescan->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    // Shown here and taken while the menu is open; the main window owns it otherwise.
    menu.addSeparator();

    if (m.hasTray) {
        addItem(menu, "Open Housetone", [&target] { target.menuShowWindow(); });
        mark(addItem(menu, "Show in taskbar", [&target] { target.toggleDockVisible(); }),
             m.dockVisible);
    }
    if (m.preferences) addPreferences(menu, m, target);
    if (m.hasTray || m.preferences) menu.addSeparator();

    addItem(menu, "Housetone Help", [&target] {
        target.showHelp();
    })->setShortcut(QKeySequence::HelpContents);
    addItem(menu, "About Housetone", [&target] { target.showAbout(); });
    menu.addSeparator();

    // Shown here; the main window takes the keys, as it does the rescan's.
    addItem(menu, "Quit Housetone", [&target] { target.menuQuit(); })->setShortcuts(quitKeys());
}

// ---- Actions ------------------------------------------------------------------------------------

void menuSelectMode(Controller& c, const QVariant& raw) {
    if (raw.typeId() != QMetaType::QString) return;
    if (const auto mode = modeFromRawValue(raw.toString().toStdString())) c.chooseMode(*mode);
}

void menuToggleMute(Controller& c, const QVariant& uid) {
    if (uid.typeId() != QMetaType::QString) return;
    const Dev* d = findDevice(c, uid.toString());
    if (!d) return;
    c.setMute(*d, !valueOr(c.muted(), d->uid, false));
}

void menuSetVolume(Controller& c, const QVariant& uidAndVolume) {
    const QVariantMap map = uidAndVolume.toMap();
    const auto uid = stringMember(map, "uid");
    const auto v = numberMember(map, "v");
    if (!uid || !v) return;
    const Dev* d = findDevice(c, *uid);
    if (!d) return;
    c.setVolume(d->id, d->uid, static_cast<float>(*v));
}

void menuNudgeDelay(Controller& c, const QVariant& uidAndDelta) {
    const QVariantMap map = uidAndDelta.toMap();
    const auto uid = stringMember(map, "uid");
    const auto delta = numberMember(map, "d");
    if (!uid || !delta) return;
    const Dev* d = findDevice(c, *uid);
    if (!d) return;
    c.nudgeOffset(Dev(*d), *delta);
}

void menuSetKeepInStep(Controller& c, const QVariant& on) {
    if (on.typeId() != QMetaType::Bool) return;
    c.setKeepInStep(on.toBool());
}

// ---- Status item --------------------------------------------------------------------------------

StatusItem::StatusItem(std::shared_ptr<Controller> controller, UserDefaults& defaults,
                       MenuActions& target, bool withTray, QObject* parent)
    : QObject(parent),
      controller_(std::move(controller)),
      defaults_(defaults),
      target_(target),
      menu_(new QMenu) {
    menu_->setTitle("Housetone");
    connect(menu_, &QMenu::aboutToShow, this, &StatusItem::menuNeedsUpdate);
    connect(menu_, &QMenu::triggered, this, [this](QAction* item) {
        if (item->objectName() == QLatin1String(keepInStepItem))
            menuSetKeepInStep(*controller_, item->data());
    });
    if (withTray) {
        tray_ = new QSystemTrayIcon(this);
        showListening();  // the icon, before the tray may show it
        tray_->setContextMenu(menu_);
        // A left click shows or hides the window, as a taskbar entry does; the menu is the
        // right click's (the context menu above).
        connect(tray_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason r) {
                    if (r == QSystemTrayIcon::Trigger) target_.toggleWindow();
                });
        tray_->show();
    }
    observer_ = controller_->addObserver([this](Field f) { controllerChanged(f); });
    menuNeedsUpdate();
}

StatusItem::~StatusItem() {
    controller_->removeObserver(observer_);
    delete menu_;
}

void StatusItem::menuNeedsUpdate() {
    rebuildPosted_ = false;
    MenuModel m = menuModelFrom(*controller_, showInTaskbar(defaults_), tray_ != nullptr);
    const auto entry = autostartEntryPath();
    m.preferences = MenuPreferences{
        .startAtLogin = entry && autostartState(*entry) == Autostart::on,
        .startInTray = startInTray(defaults_),
        .resumeLastMode = resumeLastMode(defaults_),
    };
    buildStatusMenu(*menu_, m, target_);
}

void StatusItem::showListening() {
    if (!tray_) return;
    const bool listening = controller_->listening();
    tray_->setIcon(listening ? symbolIcon(QStringLiteral("mic.fill")) : trayImage());
    QString tip = listening ? QStringLiteral("Housetone \u2014 listening to keep speakers in step")
                            : QStringLiteral("Housetone \u2014 speakers, volumes, alignment");
    if (const auto said = controller_->recentCorrection())
        tip += QLatin1Char('\n') + QString::fromStdString(*said);
    tray_->setToolTip(tip);
}

void StatusItem::controllerChanged(Field f) {
    if (f == Field::listening) showListening();
    if (f == Field::syncNotes) {
        // Notes change with every check; the menu shows only the correction among them.
        std::optional<std::string> said = controller_->recentCorrection();
        if (said == shownCorrection_) return;
        shownCorrection_ = std::move(said);
        showListening();
    }
    switch (f) {
        case Field::devices:
        case Field::mode:
        case Field::volumes:
        case Field::muted:
        case Field::offsets:
        case Field::include:
        case Field::tuning:
        case Field::tuneOverall:
        case Field::capabilities:
        case Field::tuneProgress:
        case Field::keepInStep:
        case Field::listening:
        case Field::syncNotes:
            break;
        default:
            return;  // nothing the menu shows
    }
    // Some tray hosts copy the menu when it changes and never announce its opening, so it is
    // rebuilt on every change that it shows.
    scheduleRebuild();
}

void StatusItem::scheduleRebuild() {
    // Later, not now: the change may come from one of the menu's own items, which the rebuild
    // deletes. An open Qt-drawn menu is left alone; it is rebuilt when it next opens.
    if (rebuildPosted_ || menu_->isVisible()) return;
    rebuildPosted_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            rebuildPosted_ = false;
            if (!menu_->isVisible()) menuNeedsUpdate();
        },
        Qt::QueuedConnection);
}

void StatusItem::openMenu() {
    QPoint at = QCursor::pos();
    if (tray_) {
        const QRect icon = tray_->geometry();
        if (icon.isValid()) at = icon.bottomLeft();
    }
    // A pointer position of (0, 0) is what platforms without a pointer report; under the top-left
    // corner of the primary screen the menu would be half off screen on some desktops.
    if (at.isNull()) {
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            at = screen->availableGeometry().topLeft() + QPoint(24, 24);
    }
    menu_->popup(at);
}

}  // namespace housetone::ui
