// The program: reads the options, makes the audio backend and the platform services, hands them
// to the AppDelegate and runs the event loop.
#include "ui/vuzededudoz/program.h"

#include <fcntl.h>
#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <unistd.h>

#include "core/runtime_folder.h"
#include "core/settings_store.h"
#include "ui/qt_main_queue.h"
#include "ui/qt_user_defaults.h"
#include "ui/resources.h"
#include "ui/vuzededudoz/app_delegate.h"
#include "ui/vuzededudoz/backend.h"
#include "ui/vuzededudoz/launch_options.h"
#include "ui/vuzededudoz/single_instance.h"

#ifndef HOUSETONE_VERSION
#define HOUSETONE_VERSION "unknown"
#endif

namespace housetone::ui {

namespace {

constexpr int usageError = 2;
// How long a later launch waits for the running program to answer. It answers at once unless its
// main thread is stuck; beyond this the user is told rather than kept waiting.
constexpr std::chrono::milliseconds handOverPatience{8000};

void say(const std::string& message) {
    std::fprintf(stderr, "housetone: %s\n", ui::terminalSafe(message).c_str());
}

int fail(const std::string& message) {
    say(message);
    return usageError;
}

QStringList arguments(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    return args;
}

int quitPipe[2] = {-1, -1};

void requestQuit(int) {
    const char byte = 1;
    // Only async-signal-safe calls here; the event loop picks the byte up.
    [[maybe_unused]] const auto n = ::write(quitPipe[1], &byte, 1);
}

// The session ending (SIGTERM) or Ctrl-C (SIGINT) quits through the event loop like the Quit
// item, so the audio is stopped and the settings saved on the way out. The signals are caught from
// the first moment (loading Qt and opening the display take a while on a busy machine); a quit
// asked for before the event loop runs is the first thing it does.
void catchQuitSignals() {
    if (::pipe2(quitPipe, O_CLOEXEC) != 0) return;
    struct sigaction action {};
    action.sa_handler = requestQuit;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

void quitOnSignals(QObject* parent) {
    if (quitPipe[0] < 0) return;
    auto* notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char byte;
        [[maybe_unused]] const auto n = ::read(quitPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
}

// What the command line alone answers, before anything else runs: help, the version, a refusal.
std::optional<int> answerFromOptions(const LaunchOptions& options) {
    if (options.help) {
        std::fputs(helpText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("housetone %s\n", HOUSETONE_VERSION);
        return 0;
    }
    if (options.error) return fail(*options.error);
    if (options.simRecord) {
        const auto refusal =
            recordTargetError(*options.simRecord, SettingsStore::defaultStateDirectory());
        if (refusal) return fail(*refusal);
    }
    return std::nullopt;
}

// For scripts: the simulated room's speakers, whichever backend would run.
int printRoomUIDs(const LaunchOptions& options) {
    const auto room = roomFromOptions(options);
    if (const auto* refusal = std::get_if<std::string>(&room)) return fail(*refusal);
    for (const sim::OutputSpec& o : std::get<sim::RoomSpec>(room).outputs)
        std::printf("%s\n", terminalSafe(o.uid).c_str());
    return 0;
}

// The running copy took the mode as its user's choice, and may have refused it as it would a
// click (no speaker included, say): its window says why, and so does this launch.
void sayWhereTheModeLeftIt(Mode asked, const std::string& reply) {
    const std::optional<ModeState> now = readModeReply(reply);
    if (!now || now->mode == asked) return;
    say("the running copy did not switch to " + rawValue(asked) + " and is in " +
        rawValue(now->mode) + (now->status.empty() ? "" : ": " + now->status));
}

// A second launch shows the first one's window (or switches its mode) rather than starting a
// second copy beside it. Whether this run goes on (nothing) or ends with a status; `claim` keeps
// the lock until the process ends, however it ends.
std::optional<int> claimOrHandOver(const InstancePlace& where, const std::optional<Mode>& mode,
                                   Claim& claim) {
    claim = claimInstance(where, handOverPatience, mode ? modeHandOver(*mode) : HandOver{});
    if (mode && claim.kind == Claim::Kind::handedOver) sayWhereTheModeLeftIt(*mode, claim.reply);
    if (claim.kind == Claim::Kind::handedOver) return 0;
    if (claim.kind == Claim::Kind::refused) {
        say(claim.message);
        return 1;
    }
    for (const std::string& note : where.notes)
        say(note);
    if (!claim.message.empty()) say(claim.message);
    return std::nullopt;
}

void nameApplication(QApplication& app) {
    QApplication::setOrganizationName("housetone");
    QApplication::setApplicationName("housetone");
    QApplication::setApplicationDisplayName("Housetone");
    QApplication::setApplicationVersion(HOUSETONE_VERSION);
    QGuiApplication::setDesktopFileName("io.github.housetone.Housetone");
    QApplication::setWindowIcon(QIcon(resourcePath("AppIcon.png")));
    quitOnSignals(&app);
    // Qt has taken its own options ("-platform offscreen") out of the arguments by now; what is
    // still unknown is worth a word.
    for (const std::string& w : parseLaunchOptions(QCoreApplication::arguments().mid(1)).warnings)
        say(w);
}

// Later launches reach this one through the socket beside its lock; what they send is said on
// standard error when it cannot be taken.
void answerLaterLaunches(SingleInstance& instance, const std::filesystem::path& socket,
                         AppDelegate& delegate) {
    instance.setLog(say);
    instance.handle("show", [&delegate](const std::string&) {
        delegate.menuShowWindow();
        return std::string("shown");
    });
    answerModeRequests(
        instance,
        [&delegate](Mode m) {
            delegate.chooseMode(m);
            const Controller& c = *delegate.controller();
            return ModeState{c.mode(), c.status()};
        },
        say);
    if (!instance.listen(socket)) say("later launches cannot reach this one: " + instance.error());
}

}  // namespace

int runProgram(int argc, char** argv, const std::function<void(AppDelegate&)>& launched) {
    catchQuitSignals();
    // Everything that can go wrong with the command line is reported before Qt opens a display,
    // so it is reported the same way on a machine without one.
    const LaunchOptions options = parseLaunchOptions(arguments(argc, argv));
    if (const auto status = answerFromOptions(options)) return *status;
    auto plan = planBackend(options);
    if (const auto* refusal = std::get_if<std::string>(&plan)) return fail(*refusal);
    if (options.printRoomUIDs) return printRoomUIDs(options);
    if (const std::string& notice = std::get<BackendPlan>(plan).notice; !notice.empty())
        say(notice);

    // The self-checks and a driven run (the screenshot tour) are runs of their own: they never
    // hand over. Every run needs a settings folder whose path resolves, or nothing could tell
    // where its files go.
    const bool solitary = options.anySelfTest() || launched;
    const auto place = instancePlace(SettingsStore::defaultStateDirectory(),
                                     solitary ? RuntimeFolder{} : privateRuntimeFolder());
    if (const auto* refusal = std::get_if<std::string>(&place)) return fail(*refusal);
    const InstancePlace& where = std::get<InstancePlace>(place);
    Claim claim;
    if (!solitary)
        if (const auto status = claimOrHandOver(where, options.mode, claim)) return *status;

    QApplication app(argc, argv);
    nameApplication(app);
    auto made = makeBackend(std::get<BackendPlan>(std::move(plan)), options);
    if (const auto* refusal = std::get_if<std::string>(&made)) return fail(*refusal);
    const AudioBackend& backend = std::get<AudioBackend>(made);
    say("audio: " + backend.name);

    SettingsStore store(SettingsStore::defaultStateDirectory());
    QtMainQueue mainQueue;
    QtUserDefaults defaults;
    AppDelegate delegate({*backend.hardware, *backend.player, *backend.micPermission, store,
                          mainQueue, defaults, backend.name},
                         options);
    delegate.didFinishLaunching();
    SingleInstance instance;
    if (!solitary && where.socket) answerLaterLaunches(instance, *where.socket, delegate);
    if (launched) launched(delegate);

    const int status = QApplication::exec();
    if (const auto lost = backend.finish ? backend.finish() : std::nullopt) {
        std::fprintf(stderr, "housetone: %s\n", lost->c_str());
        return status == 0 ? 1 : status;
    }
    return status;
}

}  // namespace housetone::ui
