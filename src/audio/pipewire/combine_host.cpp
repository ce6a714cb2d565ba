#include "audio/pipewire/combine_host.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

extern char** environ;

namespace housetone::pw {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kBaseName = "housetone-all-speakers";

std::optional<fs::path> runtimeDir() {
    for (const char* var : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR"}) {
        const char* dir = std::getenv(var);
        if (dir && *dir) return fs::path(dir);
    }
    return std::nullopt;
}

fs::path pidFile(const fs::path& dir) {
    return dir / (std::string(kBaseName) + ".pid");
}
fs::path configFile(const fs::path& dir) {
    return dir / (std::string(kBaseName) + ".conf");
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A string in PipeWire's configuration syntax: quoted, with what would end or bend it escaped.
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
            out += code;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string hostConfig(const CombineSink& sink) {
    std::string positions;
    for (const auto& p : sink.positions)
        positions += " " + p;
    std::string matches;
    for (const auto& m : sink.members)
        matches +=
            "                { media.class = \"Audio/Sink\" node.name = " + quoted(m) + " }\n";
    // Not a daemon: the process only connects to the session's graph and keeps the sink in it.
    return "context.properties = { core.daemon = false core.name = " + quoted(kBaseName) +
           " }\n"
           "context.spa-libs = {\n"
           "    audio.convert.* = audioconvert/libspa-audioconvert\n"
           "    support.* = support/libspa-support\n"
           "}\n"
           "context.modules = [\n"
           "    { name = libpipewire-module-protocol-native }\n"
           "    { name = libpipewire-module-client-node }\n"
           "    { name = libpipewire-module-adapter }\n"
           "    { name = libpipewire-module-combine-stream\n"
           "      args = {\n"
           "        combine.mode = sink\n"
           "        node.name = " +
           quoted(sink.nodeName) +
           "\n"
           "        node.description = " +
           quoted(sink.description) +
           "\n"
           "        combine.props = { audio.position = [" +
           positions +
           " ] }\n"
           "        stream.rules = [\n"
           "          { matches = [\n" +
           matches +
           "            ]\n"
           "            actions = { create-stream = { } } }\n"
           "        ]\n"
           "      }\n"
           "    }\n"
           "]\n";
}

// Whether `pid` is a live host this code started with `config`: a PID left in the state file may
// since belong to anything else, which must never be stopped.
bool isHost(pid_t pid, const fs::path& config) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::string comm = readFile(proc / "comm");
    if (comm != "pipewire\n") return false;
    const std::string stat = readFile(proc / "stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || stat.compare(close, 3, ") Z") == 0) return false;
    const std::string cmdline = readFile(proc / "cmdline");
    return cmdline.find(std::string(1, '\0') + config.string() + '\0') != std::string::npos;
}

bool stopProcess(pid_t pid, const fs::path& config) {
    for (const int sig : {SIGTERM, SIGKILL}) {
        if (kill(pid, sig) != 0 && errno == ESRCH) return true;
        for (int i = 0; i < 200; ++i) {
            if (!isHost(pid, config)) return true;
            std::this_thread::sleep_for(10ms);
        }
    }
    return false;
}

std::optional<fs::path> findOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path && *path ? path : "/usr/bin:/bin");
    for (std::string d; std::getline(dirs, d, ':');) {
        const fs::path candidate = fs::path(d.empty() ? "." : d) / program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

bool readAll(int fd, void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Starts `program` with `args` in a session of its own, not as our child, so that it outlives us
// and is never left a zombie of ours. Returns its PID, or 0 and sets `error`.
pid_t spawnDetached(const fs::path& program, std::vector<std::string> args, std::string& error) {
    // Everything the children need is made before fork: between fork and exec only
    // async-signal-safe calls are allowed.
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int pidPipe[2], execPipe[2];
    if (pipe2(pidPipe, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return 0;
    }
    if (pipe2(execPipe, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        close(pidPipe[0]);
        close(pidPipe[1]);
        return 0;
    }
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        const pid_t host = fork();
        if (host == 0) {
            sigset_t all;
            sigemptyset(&all);
            sigprocmask(SIG_SETMASK, &all, nullptr);
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, 0);
                dup2(null, 1);
                dup2(null, 2);
            }
            // None of our descriptors (sockets, pipes of a test runner) may stay open in it.
            close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
            execve(program.c_str(), argv.data(), environ);
            const int e = errno;
            (void)!write(execPipe[1], &e, sizeof e);
            _exit(127);
        }
        (void)!write(pidPipe[1], &host, sizeof host);
        _exit(host < 0 ? 1 : 0);
    }
    close(pidPipe[1]);
    close(execPipe[1]);
    pid_t host = -1;
    int execErrno = 0;
    if (child > 0) {
        waitpid(child, nullptr, 0);
        if (!readAll(pidPipe[0], &host, sizeof host)) host = -1;
        // Closed unread when exec succeeds; the exec's errno otherwise.
        if (host > 0 && readAll(execPipe[0], &execErrno, sizeof execErrno)) host = -1;
    }
    close(pidPipe[0]);
    close(execPipe[0]);
    if (child < 0 || host <= 0) {
        const int e = child < 0 ? errno : execErrno;
        error = "cannot start " + program.string() + ": " +
                (e ? std::strerror(e) : "the process could not be created");
        return 0;
    }
    return host;
}

}  // namespace

std::string stopCombineHost() {
    const auto dir = runtimeDir();
    if (!dir) return {};
    const fs::path pids = pidFile(*dir), config = configFile(*dir);
    const std::string text = readFile(pids);
    if (!text.empty()) {
        const pid_t pid = static_cast<pid_t>(std::strtol(text.c_str(), nullptr, 10));
        if (pid > 0 && isHost(pid, config) && !stopProcess(pid, config))
            return "the previous All Speakers host (PID " + std::to_string(pid) + ") did not stop";
    }
    std::error_code ec;
    fs::remove(pids, ec);
    fs::remove(config, ec);
    return {};
}

CombineHostResult startCombineHost(const CombineSink& sink) {
    const auto dir = runtimeDir();
    if (!dir)
        return {.error =
                    "no PipeWire runtime directory (PIPEWIRE_RUNTIME_DIR and "
                    "XDG_RUNTIME_DIR are unset)"};
    if (sink.nodeName.empty() || sink.members.empty() || sink.positions.empty())
        return {.error = "a multi-output device needs a node name, members and channels"};
    if (std::string error = stopCombineHost(); !error.empty()) return {.error = error};

    const auto program = findOnPath("pipewire");
    if (!program) return {.error = "the pipewire program is not installed"};
    const fs::path config = configFile(*dir), pids = pidFile(*dir);
    {
        std::ofstream out(config, std::ios::trunc);
        out << hostConfig(sink);
        if (!out.flush())
            return {.error = "cannot write " + config.string() + ": " + std::strerror(errno)};
    }
    std::string error;
    const pid_t pid = spawnDetached(*program, {"pipewire", "-c", config.string()}, error);
    if (!pid) return {.error = error};
    std::ofstream out(pids, std::ios::trunc);
    out << pid << '\n';
    if (!out.flush()) {
        // Unrecorded, no later call could find it: it must not outlive this one.
        stopProcess(pid, config);
        return {.error = "cannot write " + pids.string() + ": " + std::strerror(errno)};
    }
    return {.pid = pid};
}

}  // namespace housetone::pw
