#pragma once

#include <QDialog>
#include <memory>

#include "controller/controller.h"

class QLabel;
class QPushButton;

namespace housetone::ui {

// The small floating About window: icon, name, one line, "OK". Created once, then only hidden and
// shown again.
class AboutPanel final : public QDialog {
    Q_OBJECT
  public:
    // `audio` names the audio system underneath ("PipeWire 0.3.65", "simulated room").
    AboutPanel(std::weak_ptr<Controller> controller, const QString& audio,
               QWidget* parent = nullptr);

    // Hides the panel; it is kept for the next request.
    void closeAbout();
    // Centers the panel on the screen it is shown on and brings it to the front.
    void present();

    QPushButton* okButton() const { return ok_; }
    QLabel* iconLabel() const { return icon_; }
    QLabel* descriptionLabel() const { return description_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::weak_ptr<Controller> controller_;  // unused by the panel today; kept weak, never owned
    QLabel* icon_;
    QLabel* description_;
    QPushButton* ok_;
};

}  // namespace housetone::ui
