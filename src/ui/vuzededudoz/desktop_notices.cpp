#include "ui/vuzededudoz/desktop_notices.h"

#include "ui/vuzededudoz/status_menu.h"

namespace housetone::ui {

namespace {

// A notification's body shows a line or two.
constexpr int outcomeCharacters = 160;

// The first line of a tune's report: its verdict. The rest is in the window.
QString outcomeLine(const std::string& report) {
    return firstCharacters(report.substr(0, report.find('\n')), outcomeCharacters);
}

}  // namespace

DesktopNotices::DesktopNotices(std::shared_ptr<Controller> controller,
                               std::function<bool()> windowHidden, Tell tell)
    : controller_(std::move(controller)),
      windowHidden_(std::move(windowHidden)),
      tell_(std::move(tell)) {
    observer_ = controller_->addObserver([this](Field f) { changed(f); });
}

DesktopNotices::~DesktopNotices() {
    controller_->removeObserver(observer_);
}

void DesktopNotices::changed(Field f) {
    const Controller& c = *controller_;
    if (f == Field::tuning && c.tuning()) tuneRunning_ = true;
    // The report follows the end of the run; a refusal comes without a run and is not a finish.
    if (f == Field::tuneOverall && tuneRunning_ && !c.tuning()) {
        tuneRunning_ = false;
        if (c.tuneOverall() && windowHidden_())
            tell_(QStringLiteral("Auto-tune finished"), outcomeLine(*c.tuneOverall()));
    }
    if (f != Field::status) return;
    // The controller says each change once on its status line; the tray says it once too.
    if (c.audioLost() == audioLost_) return;
    audioLost_ = c.audioLost();
    if (audioLost_)
        tell_(QStringLiteral("The audio system stopped answering"),
              QStringLiteral("Housetone carries on when it is back."));
    else
        tell_(QStringLiteral("The audio system is back"),
              QStringLiteral("Housetone carries on where it was."));
}

}  // namespace housetone::ui
