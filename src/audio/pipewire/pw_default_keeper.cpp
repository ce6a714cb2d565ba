#include "audio/pipewire/pw_default_keeper.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

#include "audio/pipewire/pw_graph_connection.h"
#include "core/printable.h"

extern char** environ;

namespace housetone::pw {

namespace {

// Names are another program's bytes (a newline among them, say): they travel as hex.
std::string hex(const std::string& s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::optional<std::string> unhex(const std::string& s) {
    if (s.size() % 2) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < s.size(); i += 2) {
        const int hi = nibble(s[i]), lo = nibble(s[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

// The keeper's own connection has nothing of its own to drop or owe.
struct NoClient final : ConnectionClient {
    void dropStreams() override {}
    void reassertDefault() override {}
};

// What the keeper was told: the tap's name, the output to give back, and whether the program
// gave it back itself.
struct Kept {
    std::string tap, restore;
    bool finished = false;
};

// Reads the socket to its end. A line it cannot read ends the keeping: whoever wrote it is not
// the program.
Kept readUntilEnd(int fd) {
    Kept k;
    std::string pending;
    char chunk[512];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(chunk, static_cast<std::size_t>(n));
        // Two names of the longest kind at most; anything longer is not ours.
        if (pending.size() > 1 << 16) return {.finished = true};
        for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            const auto space = line.find(' ');
            const std::string verb = line.substr(0, space);
            const auto value =
                space == std::string::npos ? std::nullopt : unhex(line.substr(space + 1));
            if (verb == "end") return {.finished = true};
            if (!value || (verb != "tap" && verb != "restore")) return {.finished = true};
            (verb == "tap" ? k.tap : k.restore) = *value;
        }
    }
    return k;
}

// The program is gone with the tap still the configured default: the output it took goes back,
// or, when that output has gone too, the session manager chooses one itself.
int restoreDefault(const Kept& k) {
    NoClient client;
    GraphConnection conn(client);
    std::string error;
    if (!conn.connect(5.0, error)) {
        std::fprintf(stderr, "housetone: could not give the default output back: %s\n",
                     printable(error).c_str());
        return 1;
    }
    GraphConnection::Locked lock(conn);
    GraphMirror& graph = conn.mirror();
    conn.waitFor(5.0,
                 [&] { return graph.hasDefaultsObject() && !graph.defaultNode(true).empty(); });
    conn.roundTrip();
    // Someone chose another output meanwhile (the user, the program itself): theirs stands.
    if (graph.configuredNode(true) != k.tap) return 0;
    const bool back = !k.restore.empty() && graph.nodeByGraphName(k.restore) &&
                      graph.writeDefault(true, k.restore) == noErr;
    if (!back) graph.forgetConfiguredDefault(true);
    conn.roundTrip();
    conn.stopRetrying();
    return 0;
}

}  // namespace

bool DefaultKeeper::start(const std::string& tap, const std::string& restore, std::string& error) {
    finish();
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        error = std::string("no socket for the keeper: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Only the keeper's end, as descriptor 3; everything else this process holds stays closed to
    // it (every descriptor here is close-on-exec or is closed now).
    posix_spawn_file_actions_adddup2(&actions, sv[1], 3);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A session of its own: a terminal's Ctrl-C or hang-up that ends the program does not end it.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    char arg0[] = "housetone";
    std::string option = keeperOption;
    char* argv[] = {arg0, option.data(), nullptr};
    const int rc = posix_spawn(&pid_, "/proc/self/exe", &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(sv[1]);
    if (rc != 0) {
        close(sv[0]);
        pid_ = -1;
        error = std::string("the keeper did not start: ") + std::strerror(rc);
        return false;
    }
    fd_ = sv[0];
    send("tap " + hex(tap));
    keep(restore);
    return true;
}

void DefaultKeeper::keep(const std::string& restore) {
    send("restore " + hex(restore));
}

void DefaultKeeper::finish() {
    if (fd_ >= 0) {
        send("end");
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    if (pid_ <= 0) return;
    // It exits as soon as it has read the end; collecting it here leaves no zombie behind.
    for (int i = 0; i < 200 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
        usleep(5000);
    pid_ = -1;
}

void DefaultKeeper::send(const std::string& line) {
    if (fd_ < 0) return;
    const std::string text = line + '\n';
    // A keeper that died must not take the program with it (no SIGPIPE).
    if (::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
        close(fd_);
        fd_ = -1;
    }
}

int runDefaultKeeper(int fd) {
    prctl(PR_SET_NAME, "housetone-keep");
    // Ending the program's session or its terminal ends the program, which is the keeper's cue.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGTERM, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    const Kept k = readUntilEnd(fd);
    close(fd);
    if (k.finished || k.tap.empty()) return 0;
    return restoreDefault(k);
}

}  // namespace housetone::pw
