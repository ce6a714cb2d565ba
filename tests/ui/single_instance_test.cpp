// One running program per settings folder: the channel (only the same user is answered or
// believed, and no peer can exhaust it), the lock that decides who runs, and the program itself as
// real processes (a second launch hands over; one whose owner is stopped will not start beside
// it; a settings folder that cannot be resolved or used is said).
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <future>

#include "core/runtime_folder.h"
#include "ui/vuzededudoz/single_instance.h"

#include "ui_test_support.h"

namespace housetone::ui {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path pathIn(const QTemporaryDir& dir, const std::string& name) {
    return fs::path(dir.path().toStdString()) / name;
}

// `ask` waits, and a server in this process answers on this thread's event loop: asked from
// another thread.
Answer askWhileServing(const fs::path& path, const std::string& line = "show") {
    auto answer = std::async(std::launch::async, [&] { return ask(path, line, 3000ms); });
    spinUntil([&] { return answer.wait_for(0s) == std::future_status::ready; });
    return answer.get();
}

// A connection as any local program could make one (retried while the queue is full).
int connectTo(const fs::path& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
        ::close(fd);
        spinUntil([] { return false; }, 10);
    }
    return -1;
}

bool closedByServer(int fd) {
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

constexpr uid_t strangerUid = 65534;

// A child process of another user that runs `body` (system calls only: this program has
// threads) and exits with its result.
pid_t asStranger(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(strangerUid, strangerUid, strangerUid) ||
            ::setresuid(strangerUid, strangerUid, strangerUid))
            ::_exit(90);
        ::_exit(body());
    }
    return pid;
}

// The child's exit status once it ended by itself (serving meanwhile); -1 if it had to be killed.
int endOf(pid_t pid) {
    int status = 0;
    if (!spinUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10000)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SingleInstance, OnlyTheSameUserIsAnsweredAndOnlyTheSameUsersAnswerIsBelieved) {
    if (::getuid() != 0) GTEST_SKIP() << "being another user takes root";
    const QTemporaryDir dir;
    fs::permissions(dir.path().toStdString(), fs::perms::all);  // both sides reach both sockets
    SingleInstance server;
    int shown = 0;
    server.handle("show", [&](const std::string&) {
        ++shown;
        return std::string("shown");
    });
    const fs::path ours = pathIn(dir, "ours.socket");
    ASSERT_TRUE(server.listen(ours)) << server.error();
    EXPECT_EQ(askWhileServing(ours).text, "shown");
    EXPECT_EQ(askWhileServing(ours, "frobnicate now").text, "unknown command");
    EXPECT_EQ(shown, 1);

    ::chmod(ours.c_str(), 0666);
    const pid_t asker = asStranger([&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, ours.c_str());
        const timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 2;
        ::send(fd, "show\n", 5, MSG_NOSIGNAL);
        char reply[16];
        const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
        if (n > 0) return 1;
        return n == 0 || errno == ECONNRESET ? 0 : 3;  // closed on, unanswered
    });
    EXPECT_EQ(endOf(asker), 0);
    EXPECT_EQ(shown, 1);

    // A listener planted by someone else hears nothing and is not believed.
    const fs::path planted = pathIn(dir, "planted.socket");
    const pid_t listener = asStranger([&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, planted.c_str());
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) || ::listen(fd, 4))
            return 2;
        for (;;) {
            const int c = ::accept(fd, nullptr, nullptr);
            ::send(c, "shown\n", 6, MSG_NOSIGNAL);
            ::close(c);
        }
    });
    Answer a;
    spinUntil([&] { return (a = ask(planted, "show", 1000ms)).kind != Answer::Kind::nobody; });
    ::kill(listener, SIGKILL);
    ::waitpid(listener, nullptr, 0);
    EXPECT_EQ(a.kind, Answer::Kind::stranger);
    EXPECT_EQ(a.text, "\"" + planted.string() + "\" is held by another user (uid 65534)");
}

TEST(SingleInstance, NoPeerOfTheSameUserCanExhaustTheServerOrStopItListening) {
    const QTemporaryDir dir;
    SingleInstance server({.connections = 4, .lineBytes = 64, .idle = 400ms});
    server.handle("show", [](const std::string&) { return std::string("shown"); });
    const fs::path path = pathIn(dir, "s.socket");
    ASSERT_TRUE(server.listen(path));

    // Forty held connections: four are served, the rest closed on arrival; then the idle ones.
    std::vector<int> held;
    for (int i = 0; i < 40; ++i)
        held.push_back(connectTo(path));
    spinUntil([] { return false; }, 150);
    EXPECT_EQ(std::count_if(held.begin(), held.end(), closedByServer), 36);
    EXPECT_TRUE(
        spinUntil([&] { return std::all_of(held.begin(), held.end(), closedByServer); }, 2000));
    for (const int fd : held)
        ::close(fd);

    // A megabyte without a line feed is cut off, not kept.
    const int flood = connectTo(path);
    const std::string chunk(64 * 1024, 'x');
    std::size_t sent = 0;
    bool cutOff = false;
    spinUntil(
        [&] {
            const ssize_t n =
                ::send(flood, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) sent += static_cast<std::size_t>(n);
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
    rlimit none = old;
    none.rlim_cur = static_cast<rlim_t>(lowestFree);
    ::setrlimit(RLIMIT_NOFILE, &none);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    EXPECT_EQ(::connect(waiting, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    spinUntil([] { return false; }, 300);
    ::setrlimit(RLIMIT_NOFILE, &old);
    ::close(waiting);
    EXPECT_EQ(askWhileServing(path).text, "shown");
}

TEST(SingleInstance, WhoRunsIsDecidedByTheLockNotByWhoAnswersInTime) {
    const QTemporaryDir runtime, home;
    const fs::path state = pathIn(home, "vuzeda");
    const auto placed = instancePlace(state, RuntimeFolder{.path = runtime.path().toStdString()});
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
        SingleInstance owner;
        owner.handle("show", [](const std::string&) { return std::string("shown"); });
        ASSERT_TRUE(owner.listen(*place.socket));
        auto handed = std::async(std::launch::async, [&] { return claimInstance(place, 3000ms); });
        spinUntil([&] { return handed.wait_for(0s) == std::future_status::ready; });
        EXPECT_EQ(handed.get().kind, Claim::Kind::handedOver);
    }

    // The owner ended without a word (its lock goes with it; its socket file stays): the next
    // launch runs at once and listens where it listened.
    ::close(first.lockFd);
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, place.socket->c_str());
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(stale);
    const Claim next = claimInstance(place, 100ms);
    EXPECT_EQ(next.kind, Claim::Kind::run);
    SingleInstance again;
    EXPECT_TRUE(again.listen(*place.socket)) << again.error();
    ::close(next.lockFd);

    // Anything else in the way is named and left alone.
    const fs::path file = pathIn(runtime, "file.socket");
    std::ofstream(file) << "x";
    SingleInstance blocked;
    EXPECT_FALSE(blocked.listen(file));
    EXPECT_TRUE(contains(blocked.error(), "is in the way: it is a regular file"));
    EXPECT_TRUE(fs::exists(file));

    fs::create_directory_symlink("vuzeda", state);
    EXPECT_EQ(std::get<std::string>(instancePlace(state, RuntimeFolder{})),
              "cannot use the settings folder \"" + state.string() +
                  "\": Too many levels of symbolic links");
}

// ---- The program itself -------------------------------------------------------------------------

TEST(SingleInstanceProcess, ASecondLaunchHandsOverOrWaitsForAStoppedOwnerButNeverRunsBesideIt) {
    const QTemporaryDir home, otherHome;
    const auto placed =
        instancePlace(pathIn(home, ".local/state/vuzeda"), RuntimeFolder{.path = pathIn(home, "")});
    const fs::path socket = *std::get<InstancePlace>(placed).socket;
    const auto first = startProgram(home);
    ASSERT_TRUE(spinUntil([&] { return ask(socket, "show", 200ms).text == "shown"; }, 20000));

    const auto second = startProgram(home);
    EXPECT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);

    // Stopped, the first still owns the folder: a launch waits, says so and ends.
    ::kill(static_cast<pid_t>(first->processId()), SIGSTOP);
    const auto third = startProgram(home, {}, home.filePath("third.txt"));
    EXPECT_TRUE(third->waitForFinished(20000));
    ::kill(static_cast<pid_t>(first->processId()), SIGCONT);
    EXPECT_EQ(third->exitCode(), 1);
    EXPECT_TRUE(contains(readFile(pathIn(home, "third.txt")), "does not answer"));
    const auto fourth = startProgram(home);
    EXPECT_TRUE(fourth->waitForFinished(10000));
    EXPECT_EQ(fourth->exitCode(), 0);

    // Another home is another program; a self-check never hands over, it runs and leaves its log.
    const auto apart = startProgram(otherHome);
    const auto check = startProgram(home, {"--selftest", "--sim-speed", "40"});
    EXPECT_FALSE(apart->waitForFinished(3000));
    EXPECT_TRUE(check->waitForFinished(60000));
    EXPECT_TRUE(fs::exists(pathIn(home, ".local/state/vuzeda/app-selftest.log")));
    EXPECT_EQ(first->state(), QProcess::Running);
    for (QProcess* p : {first.get(), apart.get(), check.get()}) {
        p->terminate();
        if (!p->waitForFinished(10000)) p->kill(), p->waitForFinished();
    }
}

TEST(SingleInstanceProcess,
     ASettingsFolderThatCannotBeResolvedEndsTheRunAndOneThatCannotBeUsedIsSaid) {
    const QTemporaryDir home;
    // Through XDG_STATE_HOME, a folder that is a loop of links: one line and status 2, any run.
    const fs::path elsewhere = pathIn(home, "elsewhere");
    fs::create_directories(elsewhere);
    fs::create_directory_symlink("vuzeda", elsewhere / "vuzeda");
    for (const QStringList& args : {QStringList{}, QStringList{"--selftest"}}) {
        const auto p = startProgram(home, args, home.filePath("loop.txt"),
                                    {{"XDG_STATE_HOME", QString::fromStdString(elsewhere)}});
        EXPECT_TRUE(p->waitForFinished(10000));
        EXPECT_EQ(p->exitCode(), 2);
        EXPECT_EQ(readFile(pathIn(home, "loop.txt")),
                  "housetone: cannot use the settings folder \"" + (elsewhere / "vuzeda").string() +
                      "\": Too many levels of symbolic links\n");
    }

    // A file where the folder should be: the program runs, and says once that nothing is kept.
    fs::create_directories(pathIn(home, ".local/state"));
    std::ofstream(pathIn(home, ".local/state/vuzeda")) << "x";
    const auto p = startProgram(home, {}, home.filePath("file.txt"));
    const auto said = [&] { return readFile(pathIn(home, "file.txt")); };
    EXPECT_TRUE(spinUntil([&] { return contains(said(), "Settings not saved: "); }, 20000));
    p->terminate();
    EXPECT_TRUE(p->waitForFinished(10000));
    const std::string err = said();
    EXPECT_TRUE(contains(err, "cannot be used: it is not a folder"));
    EXPECT_EQ(err.find("Settings not saved"), err.rfind("Settings not saved")) << err;
}

}  // namespace
}  // namespace housetone::ui
