// The rescan report as the user sees it: a modal message box.
#include <gtest/gtest.h>

#include <QMessageBox>
#include <QTimer>

#include "ui/qt_alert_presenter.h"

#include "ui_test_support.h"

namespace housetone::ui {
namespace {

TEST(RescanReport, TheMessageBoxShowsTheCountAndWhatChanged) {
    QString text;
    QtAlertPresenter alerts;
    Rig rig(smallRoom(), std::nullopt, &alerts);
    rig.hw.addOutput(speaker("Garden", "garden", transport::bluetooth));
    // The box is modal: answer it from inside its own event loop.
    QTimer::singleShot(0, [&] {
        spinUntil([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->text() + "\n" + box->informativeText();
            box->accept();
        }
    });
    rig.controller->rescan();
    EXPECT_TRUE(text.startsWith("4 outputs found\nNew: Garden\n") && text.contains("\u2022 Desk"))
        << text.toStdString();
}

}  // namespace
}  // namespace housetone::ui
