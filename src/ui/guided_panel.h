#pragma once

#include <QWidget>
#include <optional>

#include "core/dev.h"

class QLabel;

namespace housetone {
class Controller;
}

namespace housetone::ui {

// The align-by-ear step: which speaker is being matched against the reference, its delay with
// nudge buttons, and the buttons that confirm, skip or stop the walk. Drawn on a faint rounded
// accent-colored background.
class GuidedPanel final : public QWidget {
  public:
    explicit GuidedPanel(Controller& c, QWidget* parent = nullptr);

    // Shows the current step; the caller decides whether the panel is visible at all.
    void refresh(const std::optional<Dev>& reference);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Controller& c_;
    QLabel* title_;
    QLabel* caption_;
    QLabel* delay_;
};

}  // namespace housetone::ui
