#include "ui/qt_alert_presenter.h"

#include <QMessageBox>

namespace housetone::ui {

QtAlertPresenter::QtAlertPresenter(std::function<QWidget*()> bringForward)
    : bringForward_(std::move(bringForward)) {}

void QtAlertPresenter::showAlert(const std::string& message, const std::string& informativeText) {
    QWidget* parent = bringForward_ ? bringForward_() : nullptr;
    QMessageBox box(QMessageBox::Information, "Housetone", QString::fromStdString(message),
                    QMessageBox::Ok, parent);
    box.setInformativeText(QString::fromStdString(informativeText));
    // Device lists are several lines; plain text keeps a name with "<" from turning into markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

}  // namespace housetone::ui
