#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QProcess>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/sim/sim_audio_system.h"
#include "controller/controller.h"
#include "core/settings_store.h"
#include "platform/manual_main_queue.h"
#include "support/files.h"
#include "support/rig.h"
#include "support/sim_rooms.h"
#include "support/temp_dir.h"
#include "support/text_lines.h"

namespace housetone::ui {

// One QApplication for the whole test program, made before the first test.
struct QtApplicationEnvironment final : ::testing::Environment {
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        // Without a runtime folder Qt makes /tmp/runtime-<user> and leaves it behind; the test
        // program's own goes with it.
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
            runtime_.emplace("housetone-ui-runtime");
            qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime_->path().string()));
        }
        static int argc = 1;
        static char name[] = "housetone-ui-tests";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) new QApplication(argc, argv);
    }
    void TearDown() override {
        if (!runtime_) return;
        qunsetenv("XDG_RUNTIME_DIR");
        runtime_.reset();
    }

  private:
    std::optional<testsupport::TempDir> runtime_;
};
inline ::testing::Environment* const qtApplication =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

using testsupport::fixtureRoom;
using testsupport::Lines;
using testsupport::Rig;
using testsupport::splitLines;

// The UI tests' world runs only when asked, so most checks see a quiet room.
inline constexpr testsupport::RigOptions quietWorld{.speed = 40, .startWorld = false};

// Runs the Qt event loop until `done` holds or `timeoutMs` passed; returns done().
template <typename Pred>
bool spinUntil(Pred done, int timeoutMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

// The application's loop, until something quits it (its status), or 3 after ten seconds. The limit
// ends with the call: left to fire in a later test, it would end whatever loop that test runs.
inline int execWithinTenSeconds() {
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(3); });
    limit.start(10000);
    return QApplication::exec();
}

inline QString qPath(const std::filesystem::path& p) {
    return QString::fromStdString(p.string());
}
inline QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// Lets the controller's queued work and a view's coalesced refresh run.
inline void settle(Rig& rig) {
    for (int i = 0; i < 4; ++i) {
        rig.main.runPending();
        QCoreApplication::processEvents();
    }
}

// Starts the program with `home` as its home (and its private runtime folder), offscreen through
// Qt's own option, with `extra` added to its environment; standard error goes to `errFile`, or to
// the test's when it is empty.
inline std::unique_ptr<QProcess> startProgram(const testsupport::TempDir& home,
                                              QStringList args = {}, const QString& errFile = {},
                                              const std::map<QString, QString>& extra = {}) {
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", qPath(home.path()));
    env.insert("XDG_CONFIG_HOME", qPath(home / ".config"));
    env.remove("XDG_STATE_HOME");
    env.insert("XDG_RUNTIME_DIR", qPath(home.path()));  // a TempDir is made 0700
    for (const auto& [name, value] : extra)
        env.insert(name, value);
    p->setProcessEnvironment(env);
    if (errFile.isEmpty())
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    else
        p->setStandardErrorFile(errFile);
    p->start(HOUSETONE_APP_FILE, args << "-platform"
                                      << "offscreen");
    return p;
}

inline std::string readFile(const std::filesystem::path& p) {
    return testsupport::readText(p);
}

inline Config includeAll(const sim::RoomSpec& room, bool included = true) {
    Config c{.include = std::map<std::string, bool>{}};
    for (const auto& o : room.outputs)
        (*c.include)[o.uid] = included;
    return c;
}

inline ::testing::AssertionResult contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << part << "\" not in \"" << text << "\"";
}

// The menu as one line of items joined by "|": "---" for separators, "[x] " for the on mark,
// "(off) " for disabled items, "> " before a submenu's title.
inline std::string describe(const QMenu& menu) {
    std::string out;
    for (const QAction* a : menu.actions()) {
        std::string s = out.empty() ? "" : "|";
        if (a->isSeparator()) s += "---";
        if (a->menu()) s += "> ";
        if (!a->isSeparator() && !a->isEnabled()) s += "(off) ";
        if (a->isCheckable() && a->isChecked()) s += "[x] ";
        out += s + a->text().toStdString();
    }
    return out;
}

// The first item whose text starts with `start`, and the submenu it opens.
inline QAction* item(const QMenu& menu, const QString& start) {
    for (QAction* a : menu.actions())
        if (a->text().startsWith(start)) return a;
    return nullptr;
}
inline QMenu& submenu(const QMenu& menu, const QString& start) {
    return *item(menu, start)->menu();
}

}  // namespace housetone::ui
