#pragma once

#include <memory>

#include "ui/qt_main_queue.h"
#include "ui/qt_user_defaults.h"
#include "ui/vuzededudoz/app_delegate.h"
#include "ui_test_support.h"

namespace housetone::ui {

// The whole program as it launches, over a quiet two-speaker room that renders only when asked,
// with settings and preferences in a folder of the test's own.
struct ShellFixture : ::testing::Test {
    std::unique_ptr<AppDelegate> launch() {
        auto app = std::make_unique<AppDelegate>(
            AppServices{hw, hw.player(), hw.micPermission(), store, queue, defaults},
            LaunchOptions{});
        app->didFinishLaunching();
        return app;
    }
    void TearDown() override {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    const testsupport::TempDir dir{"housetone-shell"};
    sim::SimAudioSystem hw{
        testsupport::quietRoom({testsupport::speaker("builtin"), testsupport::speaker("desk")}),
        {.startWorld = false}};
    SettingsStore store{dir.path()};
    QtMainQueue queue;
    QtUserDefaults defaults{QString::fromStdString((dir / "defaults.ini").string())};
};

}  // namespace housetone::ui
