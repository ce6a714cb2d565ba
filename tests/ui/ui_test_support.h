#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QProcess>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "audio/sim/sim_audio_system.h"
#include "controller/controller.h"
#include "core/settings_store.h"
#include "platform/manual_main_queue.h"

namespace housetone::ui {

// One QApplication for the whole test program, made before the first test.
struct QtApplicationEnvironment final : ::testing::Environment {
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "housetone-ui-tests";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) new QApplication(argc, argv);
    }
};
inline ::testing::Environment* const qtApplication =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

// A controller over a simulated room, with a settings store in a fresh directory and a hand-pumped
// main queue; the world runs only when asked, so most checks see a quiet room.
struct Rig {
    explicit Rig(sim::RoomSpec room, std::optional<Config> settings = std::nullopt,
                 AlertPresenter* alerts = nullptr, bool startWorld = false)
        : hw(std::move(room), {.speed = 40, .startWorld = startWorld}),
          store(std::filesystem::path(dir.path().toStdString())) {
        if (settings) store.save(*settings);
        controller =
            Controller::create(Services{hw, main, store, hw.player(), hw.micPermission(), alerts});
    }
    ~Rig() {
        controller->shutdown();
        controller.reset();
        main.runPending();
    }

    QTemporaryDir dir;
    sim::SimAudioSystem hw;
    SettingsStore store;
    ManualMainQueue main;
    std::shared_ptr<Controller> controller;
};

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

// Starts the program with `home` as its home (and its private runtime folder), offscreen through
// Qt's own option, with `extra` added to its environment; standard error goes to `errFile`, or to
// the test's when it is empty.
inline std::unique_ptr<QProcess> startProgram(const QTemporaryDir& home, QStringList args = {},
                                              const QString& errFile = {},
                                              const std::map<QString, QString>& extra = {}) {
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.path() + "/.config");
    env.remove("XDG_STATE_HOME");
    env.insert("XDG_RUNTIME_DIR", home.path());  // a QTemporaryDir is made 0700
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
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);)
        lines.push_back(line);
    return lines;
}

using Lines = std::vector<std::string>;

// A small room: the built-in speakers (the system output), a Bluetooth speaker and a USB one.
inline sim::OutputSpec speaker(const std::string& name, const std::string& uid,
                               std::uint32_t transport) {
    return {.name = name, .uid = uid, .transport = transport, .latencyMs = 5, .level = 0.2};
}

inline sim::RoomSpec smallRoom() {
    return {.outputs = {speaker("Built-in Speakers", "builtin", transport::builtIn),
                        speaker("Kitchen", "kitchen", transport::bluetooth),
                        speaker("Desk", "desk", transport::usb)},
            .inputs = {{"Built-in Microphone", "mic", transport::builtIn, 1, 0.0001}},
            .defaultOutput = "builtin"};
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
