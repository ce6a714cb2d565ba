#pragma once

#include <QWidget>
#include <optional>

#include "core/dev.h"

class QLabel;
class QPushButton;

namespace housetone {
class Controller;
}

namespace housetone::ui {

// The align-by-ear step: which speaker is being matched against the reference, its delay with
// nudge buttons, and the buttons that confirm, skip or stop the walk. Drawn on a faint rounded
// accent-colored background. "They're together" is the default button: Return confirms the step
// wherever the focus is in the panel, except on another push button, which Return presses.
class GuidedPanel final : public QWidget {
  public:
    explicit GuidedPanel(Controller& c, QWidget* parent = nullptr);

    // Shows the current step; the caller decides whether the panel is visible at all.
    void refresh(const std::optional<Dev>& reference);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    Controller& c_;
    QLabel* title_;
    QLabel* caption_;
    QLabel* delay_;
    QPushButton* confirm_;
};

}  // namespace housetone::ui
