#pragma once

#include <QObject>
#include <QString>

namespace housetone::ui {

class AppDelegate;

// Drives the running program through the scenes the documentation shows and saves what the
// windows draw into `directory`, then quits: "main-{look}-guided.png" (aligned, a guided walk),
// "menu-{look}.png" (the status menu, open), "main-{look}-tune.png" (after one auto-tune), where
// {look} is "light" or "dark" after the palette in use. Given `alignedOnly`, it saves just the
// main window once aligned has started, under that name.
class ScreenshotTour final : public QObject {
    Q_OBJECT
  public:
    ScreenshotTour(AppDelegate& app, QString directory, QString alignedOnly = {},
                   QObject* parent = nullptr);
    void start();

  private:
    void alignedStarted(bool ok);
    void shootGuided();
    void shootMenu();
    void startTune();
    void waitForTune(int polls);
    void shootTuneAndQuit();
    bool save(QWidget* widget, const QString& name);

    AppDelegate& app_;
    QString directory_;
    QString alignedOnly_;
    QString look_;
    bool failed_ = false;
};

}  // namespace housetone::ui
