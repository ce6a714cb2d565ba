#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>

#include "controller/controller.h"

namespace housetone::ui {

// The controller's modal reports (the rescan result) as a message box. `bringForward` runs first:
// it brings the application to the front and names the window the box belongs to (may be null).
class QtAlertPresenter final : public AlertPresenter {
  public:
    explicit QtAlertPresenter(std::function<QWidget*()> bringForward = {});

    void showAlert(const std::string& message, const std::string& informativeText) override;

  private:
    std::function<QWidget*()> bringForward_;
};

}  // namespace housetone::ui
