#include "screenshot_tour.h"

#include <QApplication>
#include <QDir>
#include <QMainWindow>
#include <QMenu>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "ui/tune_picture_view.h"
#include "ui/vuzededudoz/app_delegate.h"

namespace housetone::ui {

namespace {

// Long enough for the views to settle and the aligned engine to fill its first buffers.
constexpr int settleMs = 1200;
constexpr int pollMs = 500;
constexpr int maxTunePolls = 600;  // five minutes: the tune gives up long before

}  // namespace

ScreenshotTour::ScreenshotTour(AppDelegate& app, QString directory, QString alignedOnly,
                               QObject* parent)
    : QObject(parent),
      app_(app),
      directory_(std::move(directory)),
      alignedOnly_(std::move(alignedOnly)) {}

void ScreenshotTour::start() {
    QDir().mkpath(directory_);
    look_ = QApplication::palette().color(QPalette::Window).lightness() < 128 ? "dark" : "light";
    QTimer::singleShot(settleMs, this, [this] {
        Controller& c = *app_.controller();
        c.setAlignedStartCompleted([this](bool ok) { alignedStarted(ok); });
        c.chooseMode(Mode::aligned);
    });
}

void ScreenshotTour::alignedStarted(bool ok) {
    if (!ok) std::fprintf(stderr, "screenshots: the aligned engine did not start\n");
    if (!alignedOnly_.isEmpty()) {
        QTimer::singleShot(settleMs, this, [this] {
            save(app_.window(), alignedOnly_);
            QCoreApplication::exit(failed_ ? 1 : 0);
        });
        return;
    }
    QTimer::singleShot(settleMs, this, [this] {
        app_.controller()->startGuidedAlign();
        QTimer::singleShot(settleMs, this, [this] { shootGuided(); });
    });
}

void ScreenshotTour::shootGuided() {
    save(app_.window(), "main-" + look_ + "-guided.png");
    app_.statusItem()->openMenu();
    QTimer::singleShot(settleMs, this, [this] { shootMenu(); });
}

void ScreenshotTour::shootMenu() {
    QMenu* menu = app_.statusItem()->menu();
    save(menu, "menu-" + look_ + ".png");
    menu->hide();
    startTune();
}

void ScreenshotTour::startTune() {
    Controller& c = *app_.controller();
    c.endGuidedAlign(std::nullopt);
    c.toggleAutoTune();
    waitForTune(0);
}

void ScreenshotTour::waitForTune(int polls) {
    const Controller& c = *app_.controller();
    if ((!c.tuning() && c.tuneOverall()) || polls >= maxTunePolls) {
        QTimer::singleShot(settleMs, this, [this] { shootTuneAndQuit(); });
        return;
    }
    QTimer::singleShot(pollMs, this, [this, polls] { waitForTune(polls + 1); });
}

void ScreenshotTour::shootTuneAndQuit() {
    save(app_.window(), "main-" + look_ + "-tune.png");
    // The picture the tune drew, as its window shows it.
    save(app_.tunePictureView(), "tune-picture-" + look_ + ".png");
    QCoreApplication::exit(failed_ ? 1 : 0);
}

bool ScreenshotTour::save(QWidget* widget, const QString& name) {
    const QString path = directory_ + "/" + name;
    const bool ok = widget && widget->grab().save(path);
    std::fprintf(stderr, "screenshots: %s %s\n", ok ? "wrote" : "could not write",
                 qPrintable(path));
    failed_ = failed_ || !ok;
    return ok;
}

}  // namespace housetone::ui
