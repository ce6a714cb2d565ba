#pragma once

// What the tray tells the desktop while the user may not be looking at the window: an Auto-tune
// that finished while the window was hidden, and the audio system lost or back. Each change is
// told once; the controller says the same on its status line, which nobody sees in the tray.

#include <QString>
#include <functional>
#include <memory>

#include "controller/controller.h"

namespace housetone::ui {

class DesktopNotices {
  public:
    // `tell` shows one notification; `windowHidden` says whether the main window is out of sight.
    using Tell = std::function<void(const QString& title, const QString& text)>;
    DesktopNotices(std::shared_ptr<Controller> controller, std::function<bool()> windowHidden,
                   Tell tell);
    ~DesktopNotices();
    DesktopNotices(const DesktopNotices&) = delete;
    DesktopNotices& operator=(const DesktopNotices&) = delete;

  private:
    void changed(Field f);

    std::shared_ptr<Controller> controller_;
    std::function<bool()> windowHidden_;
    Tell tell_;
    int observer_ = 0;
    bool tuneRunning_ = false;
    bool audioLost_ = false;
};

}  // namespace housetone::ui
