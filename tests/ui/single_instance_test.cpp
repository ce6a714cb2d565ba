// One running program per settings folder: the channel (only the same user is answered or
// believed, no peer can exhaust it, and a mode request switches only when it names a mode), the
// lock that decides who runs, and the program itself as real processes (a second launch hands
// over or switches the mode; one whose owner is stopped will not start beside it; a settings
// folder that cannot be resolved ends the run).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <future>

#include <QSettings>

#include "core/printable.h"
#include "core/runtime_folder.h"
#include "ui/vuzededudoz/single_instance.h"

#include "ui_test_support.h"

namespace housetone::ui {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;

// `ask` waits, and a server in this process answers on this thread's event loop: asked from
// another thread.
Answer askWhileServing(const fs::path& path, const std::string& line = "show") {
    auto answer = std::async(std::launch::async, [&] { return ask(path, line, 3000ms); });
    spinUntil([&] { return answer.wait_for(0s) == std::future_status::ready; });
    return answer.get();
}

void serveFor(int ms) {
    spinUntil([] { return false; }, ms);
}

sockaddr_un unixAddress(const fs::path& path) {
    sockaddr_un addr{.sun_family = AF_UNIX};
    std::strcpy(addr.sun_path, path.c_str());
    return addr;
}

// A raw socket at `path`, as any local program could make: bound and listening, or connected
// (tried `attempts` times while the queue is full).
int rawSocket(const fs::path& path, bool listening = false, int attempts = 200) {
    const sockaddr_un addr = unixAddress(path);
    const auto* a = reinterpret_cast<const sockaddr*>(&addr);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listening ? ::bind(fd, a, sizeof addr) == 0 && ::listen(fd, 4) == 0
                      : ::connect(fd, a, sizeof addr) == 0)
            return fd;
        ::close(fd);
        if (listening) break;
        serveFor(10);
    }
    return -1;
}

bool closedByServer(int fd) {
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// A child process of uid 65534 that runs `body` (system calls only: this program has threads);
// its exit status once it ended (serving meanwhile), or -1 when it had to be killed.
int asStranger(const std::function<int()>& body, std::function<void()> meanwhile = {}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) || ::setresgid(65534, 65534, 65534) ||
            ::setresuid(65534, 65534, 65534))
            ::_exit(90);
        ::_exit(body());
    }
    int status = 0;
    if (meanwhile) meanwhile();
    if (!spinUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, meanwhile ? 0 : 9000))
        ::kill(pid, SIGKILL), ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SingleInstance, OnlyTheSameUserIsAnsweredAndOnlyTheSameUsersAnswerIsBelieved) {
    if (::getuid() != 0) GTEST_SKIP() << "being another user takes root";
    const testsupport::TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);  // both sides reach both sockets
    SingleInstance server;
    int shown = 0;
    server.handle("show", [&](const std::string&) { return ++shown, std::string("shown"); });
    const fs::path ours = dir / "ours.socket", planted = dir / "planted.socket";
    ASSERT_TRUE(server.listen(ours)) << server.error();
    EXPECT_EQ(askWhileServing(ours).text, "shown");
    EXPECT_EQ(askWhileServing(ours, "frobnicate now").text, "unknown command");
    EXPECT_EQ(shown, 1);

    ::chmod(ours.c_str(), 0666);
    const int asked = asStranger([&] {
        const int fd = rawSocket(ours, false, 1);
        ::fcntl(fd, F_SETFL, 0);  // waits for the answer
        ::send(fd, "show\n", 5, MSG_NOSIGNAL);
        const timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char reply[16];
        const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
        return n > 0 ? 1 : n == 0 || errno == ECONNRESET ? 0 : 2;  // 0: closed on, unanswered
    });
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(shown, 1);

    // A listener planted by someone else hears nothing and is not believed.
    Answer a;
    asStranger(
        [&] {
            const int fd = rawSocket(planted, true);
            ::fcntl(fd, F_SETFL, 0);
            for (;;) {
                const int c = ::accept(fd, nullptr, nullptr);
                ::send(c, "shown\n", 6, MSG_NOSIGNAL);
                ::close(c);
            }
            return 0;
        },
        [&] {
            spinUntil([&] { return (a = ask(planted, "show", 1s)).kind != Answer::Kind::nobody; });
        });
    EXPECT_EQ(a.kind, Answer::Kind::stranger);
    EXPECT_EQ(a.text, "\"" + planted.string() + "\" is held by another user (uid 65534)");
}

TEST(SingleInstance, NoPeerOfTheSameUserCanExhaustTheServerOrStopItListening) {
    const testsupport::TempDir dir;
    SingleInstance server({.connections = 4, .lineBytes = 64, .idle = 1000ms});
    int shown = 0;
    server.handle("show", [&](const std::string&) { return ++shown, std::string("shown"); });
    const fs::path path = dir / "s.socket";
    ASSERT_TRUE(server.listen(path));

    // A launch that asked and gave up (while this program was stopped) is not acted on later.
    const int gaveUp = rawSocket(path);
    ::send(gaveUp, "show\n", 5, MSG_NOSIGNAL);
    ::close(gaveUp);
    serveFor(100);
    EXPECT_EQ(shown, 0);

    // Forty held connections: four are served, the rest closed on arrival; then the idle ones.
    std::vector<int> held;
    for (int i = 0; i < 40; ++i)
        held.push_back(rawSocket(path));
    serveFor(150);
    EXPECT_EQ(std::count_if(held.begin(), held.end(), closedByServer), 36);
    EXPECT_TRUE(spinUntil([&] { return std::ranges::all_of(held, closedByServer); }, 3000));
    for (const int fd : held)
        ::close(fd);

    // A megabyte without a line feed is cut off, not kept.
    const int flood = rawSocket(path);
    const std::string chunk(64 * 1024, 'x');
    std::size_t sent = 0;
    bool cutOff = false;
    spinUntil(
        [&] {
            const ssize_t n =
                ::send(flood, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            sent += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
            cutOff = n < 0 && errno != EAGAIN;
            return cutOff || sent >= (1u << 20);
        },
        5000);
    ::close(flood);
    EXPECT_TRUE(cutOff) << sent;

    // Out of descriptors (the rest of the program used them up): the server waits, and serves
    // once there are some again.
    const int waiting = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit none{static_cast<rlim_t>(lowestFree), old.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &none);
    const sockaddr_un addr = unixAddress(path);
    EXPECT_EQ(::connect(waiting, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    serveFor(300);
    ::setrlimit(RLIMIT_NOFILE, &old);
    ::close(waiting);
    EXPECT_EQ(askWhileServing(path).text, "shown");
}

TEST(SingleInstance, WhoRunsIsDecidedByTheLockNotByWhoAnswersInTime) {
    const testsupport::TempDir runtime, home;
    const fs::path state = home / "vuzeda";
    const auto placed = instancePlace(state, RuntimeFolder{.path = runtime.path()});
    const InstancePlace& place = std::get<InstancePlace>(placed);
    ASSERT_TRUE(place.socket);

    const Claim first = claimInstance(place, 100ms);
    ASSERT_EQ(first.kind, Claim::Kind::run) << first.message;
    // Held, and nobody answers: refused once the patience is spent, never run beside it.
    const Claim second = claimInstance(place, 300ms);
    EXPECT_EQ(second.kind, Claim::Kind::refused);
    EXPECT_TRUE(contains(second.message, "(pid " + std::to_string(::getpid()) + ")"));
    EXPECT_TRUE(contains(second.message, "not starting a second copy"));
    {
        // The holder is still starting when asked: the launch waits for it to listen.
        auto handed = std::async(std::launch::async, [&] { return claimInstance(place, 3000ms); });
        serveFor(300);
        SingleInstance owner;
        owner.handle("show", [](const std::string&) { return std::string("shown"); });
        ASSERT_TRUE(owner.listen(*place.socket));
        spinUntil([&] { return handed.wait_for(0s) == std::future_status::ready; });
        EXPECT_EQ(handed.get().kind, Claim::Kind::handedOver);
    }

    // The owner ended without a word (its lock goes with it; its socket file stays): the next
    // launch runs at once and listens where it listened.
    ::close(first.lockFd);
    ::close(rawSocket(*place.socket, true));
    const Claim next = claimInstance(place, 100ms);
    EXPECT_EQ(next.kind, Claim::Kind::run);
    SingleInstance again;
    EXPECT_TRUE(again.listen(*place.socket)) << again.error();
    ::close(next.lockFd);

    // Anything else in the way is named and left alone.
    const fs::path file = runtime / "file.socket";
    std::ofstream(file) << "x";
    SingleInstance blocked;
    EXPECT_FALSE(blocked.listen(file));
    EXPECT_TRUE(contains(blocked.error(), "is in the way: it is a regular file"));
    EXPECT_TRUE(fs::exists(file));
}

// The owner's side of a mode request: what is asked is chosen and where that left the program
// comes back; anything else from the socket is one printable line in the log and no change.
TEST(SingleInstance, AModeRequestSwitchesOnlyWhenItNamesAModeAndSaysWhereItLeftTheProgram) {
    const testsupport::TempDir dir;
    SingleInstance server({.connections = 4, .lineBytes = 1024, .idle = 1000ms});
    Lines log;
    server.setLog([&](const std::string& line) { log.push_back(line); });
    std::vector<Mode> chosen;
    std::string status = "fine";
    answerModeRequests(
        server,
        [&](Mode m) {
            chosen.push_back(m);
            // As the controller does: Aligned with nothing included falls back to Single.
            return m == Mode::aligned ? ModeState{Mode::single, status} : ModeState{m, status};
        },
        [&](const std::string& line) { log.push_back(line); });
    const fs::path path = dir / "s.socket";
    ASSERT_TRUE(server.listen(path));

    for (const Mode m : allModes) {
        const HandOver asked = modeHandOver(m);
        const std::string reply = askWhileServing(path, asked.request).text;
        EXPECT_TRUE(asked.done(reply)) << reply;
        const std::optional<ModeState> now = readModeReply(reply);
        ASSERT_TRUE(now) << reply;
        EXPECT_EQ(now->mode, m == Mode::aligned ? Mode::single : m);
        EXPECT_EQ(now->status, "fine");
    }
    EXPECT_EQ(chosen, (std::vector<Mode>{Mode::single, Mode::together, Mode::aligned}));
    EXPECT_EQ(log, Lines{});

    // A status line holding a device's name goes back whole, on one printable line.
    status = "Desk\nspeaker\x1b]0;owned\x07: gone";
    EXPECT_EQ(readModeReply(askWhileServing(path, "mode Together").text)->status,
              "Desk\\x0aspeaker\\x1b]0;owned\\x07: gone");
    status = std::string(5000, 's');
    const auto longStatus = readModeReply(askWhileServing(path, "mode Single").text);
    ASSERT_TRUE(longStatus);
    EXPECT_TRUE(longStatus->status.size() < 1000 && longStatus->status.starts_with("sss"));
    chosen.clear();

    for (const std::string& junk :
         {"mode aligned"s, "mode loud"s, "mode"s, "mode "s, "mode Aligned "s, "mode  Aligned"s,
          "mode Aligned\r"s, "mode Ali\0gned"s, "mode \x1b]0;owned\x07\xff"s,
          "mode " + std::string(1000, 'A')}) {
        log.clear();
        EXPECT_EQ(askWhileServing(path, junk).text, "bad mode request") << printable(junk);
        ASSERT_EQ(log.size(), 1u) << printable(junk);
        EXPECT_TRUE(log[0].starts_with("ignoring a later launch's request for the mode \""));
        EXPECT_EQ(printable(log[0]), log[0]);
        EXPECT_LT(log[0].size(), 200u);
    }
    EXPECT_EQ(chosen, std::vector<Mode>{});

    // An unknown command, and a line too long to read, are said and left.
    log.clear();
    EXPECT_EQ(askWhileServing(path, "frobnicate\x1b[2J Aligned").text, "unknown command");
    EXPECT_EQ(log, Lines{"ignoring a request from a later launch: unknown command "
                         "\"frobnicate\\x1b[2J\""});
    log.clear();
    EXPECT_EQ(askWhileServing(path, "mode " + std::string(2000, 'A')).kind, Answer::Kind::silent);
    EXPECT_EQ(log, Lines{"ignoring a request from a later launch: more than 1024 bytes without a "
                         "line end"});
    EXPECT_EQ(chosen, std::vector<Mode>{});

    // What a launch takes for a switch: only a mode's answer.
    for (const char* reply : {"shown", "bad mode request", "unknown command", "mode Loud",
                              "mode aligned", "mode Aligned:x", "modeAligned", "mode ", ""})
        EXPECT_FALSE(modeHandOver(Mode::aligned).done(reply)) << reply;
    EXPECT_EQ(readModeReply("mode Together")->status, "");
}

// A mode request is handed over only when the owner answers it; an owner that answers otherwise
// (an older copy that knows no such request) is said, and nothing runs beside it.
TEST(SingleInstance, AModeHandOverIsDoneOnlyWhenTheOwnerAnswersIt) {
    const testsupport::TempDir runtime, home;
    const auto placed = instancePlace(home / "vuzeda", RuntimeFolder{.path = runtime.path()});
    const InstancePlace& place = std::get<InstancePlace>(placed);
    const Claim first = claimInstance(place, 100ms);
    ASSERT_EQ(first.kind, Claim::Kind::run) << first.message;
    const auto claimWhileServing = [&](const HandOver& handOver) {
        auto claim =
            std::async(std::launch::async, [&] { return claimInstance(place, 3000ms, handOver); });
        spinUntil([&] { return claim.wait_for(0s) == std::future_status::ready; });
        return claim.get();
    };

    int shown = 0;
    std::vector<Mode> chosen;
    {
        SingleInstance older;
        older.handle("show", [&](const std::string&) { return ++shown, std::string("shown"); });
        ASSERT_TRUE(older.listen(*place.socket));
        const Claim c = claimWhileServing(modeHandOver(Mode::aligned));
        EXPECT_EQ(c.kind, Claim::Kind::refused);
        EXPECT_TRUE(contains(c.message, "but cannot switch to Aligned (an older version?)"));
        EXPECT_EQ(claimWhileServing({}).kind, Claim::Kind::handedOver);
        EXPECT_EQ(shown, 1);
    }
    {
        SingleInstance owner;
        answerModeRequests(
            owner,
            [&](Mode m) {
                return chosen.push_back(m), ModeState{m, "Starting"};
            },
            [](const std::string&) {});
        ASSERT_TRUE(owner.listen(*place.socket));
        const Claim c = claimWhileServing(modeHandOver(Mode::together));
        EXPECT_EQ(c.kind, Claim::Kind::handedOver);
        EXPECT_EQ(c.reply, "mode Together: Starting");
        EXPECT_EQ(chosen, std::vector<Mode>{Mode::together});
        // Malformed on the way (a damaged launch): refused, said, and nothing chosen.
        const Claim bad = claimWhileServing(
            {.request = "mode loud", .done = modeHandOver(Mode::single).done, .what = "switch"});
        EXPECT_EQ(bad.kind, Claim::Kind::refused);
        EXPECT_TRUE(contains(bad.message, "answered \"bad mode request\" when asked to switch"));
        EXPECT_EQ(chosen, std::vector<Mode>{Mode::together});
    }
    ::close(first.lockFd);
}

// ---- The program itself -------------------------------------------------------------------------

TEST(SingleInstanceProcess, ASecondLaunchHandsOverOrWaitsForAStoppedOwnerButNeverRunsBesideIt) {
    const testsupport::TempDir home, otherHome;
    const auto placed =
        instancePlace(home / ".local/state/vuzeda", RuntimeFolder{.path = home / ""});
    const fs::path socket = *std::get<InstancePlace>(placed).socket;
    const auto first = startProgram(home);
    ASSERT_TRUE(spinUntil([&] { return ask(socket, "show", 200ms).text == "shown"; }, 20000));
    // Ends by itself, with this status.
    const auto ends = [&](const QString& err = {}) {
        const auto p = startProgram(home, {}, err);
        return p->waitForFinished(20000) ? p->exitCode() : -1;
    };
    EXPECT_EQ(ends(), 0);

    // Stopped, the first still owns the folder: a launch waits, says so and ends.
    ::kill(static_cast<pid_t>(first->processId()), SIGSTOP);
    const int whileStopped = ends(qPath(home / "stopped.txt"));
    ::kill(static_cast<pid_t>(first->processId()), SIGCONT);
    EXPECT_EQ(whileStopped, 1);
    EXPECT_TRUE(contains(readFile(home / "stopped.txt"), "does not answer"));
    EXPECT_EQ(ends(), 0);

    // Another home is another program; a self-check never hands over, it runs and leaves its log.
    const auto apart = startProgram(otherHome);
    const auto check = startProgram(home, {"--selftest", "--sim-speed", "40"});
    EXPECT_FALSE(apart->waitForFinished(3000));
    EXPECT_TRUE(check->waitForFinished(60000));
    EXPECT_TRUE(fs::exists(home / ".local/state/vuzeda/app-selftest.log"));
    EXPECT_EQ(first->state(), QProcess::Running);
    for (QProcess* p : {first.get(), apart.get(), check.get()}) {
        p->terminate();
        if (!p->waitForFinished(10000)) p->kill(), p->waitForFinished();
    }
}

// A later launch with --mode switches the running copy as its user would in the window: the mode
// is chosen (and kept as the last chosen), a switch the controller refuses is said by both, and
// junk on the socket is one line in the owner's log. A bad word never reaches it.
TEST(SingleInstanceProcess, ALaterLaunchWithModeSwitchesTheRunningCopyAsItsUserWould) {
    const testsupport::TempDir home, bare;
    SettingsStore(home / ".local/state/vuzeda").save(includeAll(sim::defaultRoom()));
    SettingsStore(bare / ".local/state/vuzeda").save(includeAll(sim::defaultRoom(), false));
    const auto socketIn = [](const testsupport::TempDir& h) {
        return *std::get<InstancePlace>(
                    instancePlace(h / ".local/state/vuzeda", RuntimeFolder{.path = h / ""}))
                    .socket;
    };
    const auto first = startProgram(home, {}, qPath(home / "first.txt"));
    const auto firstBare = startProgram(bare, {}, qPath(bare / "first.txt"));
    for (const auto* h : {&home, &bare})
        ASSERT_TRUE(
            spinUntil([&] { return ask(socketIn(*h), "show", 200ms).text == "shown"; }, 20000));
    // Its exit status and standard error, once it ended by itself.
    const auto launch = [](const testsupport::TempDir& h, const QStringList& args) {
        const auto p = startProgram(h, args, qPath(h / "later.txt"));
        const int status = p->waitForFinished(20000) ? p->exitCode() : -1;
        return std::pair(status, readFile(h / "later.txt"));
    };
    const auto lastChosen = [&] {
        QSettings conf(qPath(home / ".config/housetone/housetone.conf"), QSettings::IniFormat);
        return conf.value("lastMode").toByteArray().toStdString();
    };

    EXPECT_EQ(launch(home, {"--mode", "loud"}),
              std::pair(2, std::string("housetone: --mode needs single, together or aligned (got "
                                       "\"loud\")\n")));
    EXPECT_EQ(launch(home, {"--mode", "aligned"}), std::pair(0, std::string()));
    EXPECT_EQ(lastChosen(), "Aligned");
    EXPECT_EQ(launch(home, {"--mode", "single", "--sim-speed", "40"}), std::pair(0, std::string()));
    EXPECT_EQ(lastChosen(), "Single");
    // Nothing included there: refused as a click would be, with the controller's reason.
    const auto [refusedStatus, refused] = launch(bare, {"--mode", "aligned"});
    EXPECT_EQ(refusedStatus, 0);
    EXPECT_TRUE(refused.starts_with(
        "housetone: the running copy did not switch to Aligned and is in Single: "))
        << refused;
    EXPECT_EQ(std::count(refused.begin(), refused.end(), '\n'), 1) << refused;

    EXPECT_EQ(ask(socketIn(home), "mode \x1b[2Jloud", 3000ms).text, "bad mode request");
    EXPECT_TRUE(contains(readFile(home / "first.txt"),
                         "housetone: ignoring a later launch's request for the mode "
                         "\"\\x1b[2Jloud\": not Single, Together or Aligned\n"));
    EXPECT_EQ(ask(socketIn(home), "frobnicate", 3000ms).text, "unknown command");
    EXPECT_TRUE(contains(readFile(home / "first.txt"),
                         "housetone: ignoring a request from a later launch: unknown command "
                         "\"frobnicate\"\n"));
    EXPECT_EQ(lastChosen(), "Single");
    for (QProcess* p : {first.get(), firstBare.get()}) {
        EXPECT_EQ(p->state(), QProcess::Running);
        p->terminate();
        if (!p->waitForFinished(10000)) p->kill(), p->waitForFinished();
    }
}

// Through XDG_STATE_HOME, a settings folder that is a loop of links: one line and status 2, for
// every kind of run.
TEST(SingleInstanceProcess, ASettingsFolderWhosePathCannotBeResolvedEndsEveryRunWithOneLine) {
    const testsupport::TempDir home;
    const fs::path elsewhere = home / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directory_symlink("vuzeda", elsewhere / "vuzeda");
    for (const QStringList& args : {QStringList{}, QStringList{"--selftest"}}) {
        const auto p = startProgram(home, args, qPath(home / "loop.txt"),
                                    {{"XDG_STATE_HOME", QString::fromStdString(elsewhere)}});
        EXPECT_TRUE(p->waitForFinished(10000));
        EXPECT_EQ(p->exitCode(), 2);
        EXPECT_EQ(readFile(home / "loop.txt"), "housetone: cannot use the settings folder \"" +
                                                   (elsewhere / "vuzeda").string() +
                                                   "\": Too many levels of symbolic links\n");
    }
}

}  // namespace
}  // namespace housetone::ui
