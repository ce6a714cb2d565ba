#include "audio/pipewire/combine_host.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>

// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

extern char** environ;

namespace housetone::pw {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBaseName = "housetone-all-speakers";
// The combine module copies each value it matches into a buffer of this many bytes, quotes and
// escapes included; a longer one is skipped, which leaves the rest of the rule matching any sink.
constexpr std::size_t kMatchValueBuffer = 1024;
// How long a host gets to end after TERM, and after KILL, ms. A host ends within milliseconds;
// these bound a process that does not.
constexpr int kTermWaitMs = 2000, kKillWaitMs = 1000;

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

std::optional<fs::path> runtimeDir() {
    for (const char* var : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR"}) {
        const char* dir = std::getenv(var);
        if (dir && *dir) return fs::path(dir);
    }
    return std::nullopt;
}

fs::path configFile(const fs::path& dir) {
    return dir / (std::string(kBaseName) + ".conf");
}

// Why `dir` is no place for a file that decides what a process of ours runs; empty when it is a
// folder of ours that nobody else may write to.
std::string notPrivate(const fs::path& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "it is not a folder";
    if (st.st_uid != ::geteuid()) return "it belongs to another user";
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return "others may write to it";
    return {};
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

bool validUtf8(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        const unsigned c = *p++;
        int more = 0;
        unsigned min = 0, cp = 0;
        if (c < 0x80) continue;
        if (c >= 0xc2 && c <= 0xdf)
            more = 1, min = 0x80, cp = c & 0x1f;
        else if (c >= 0xe0 && c <= 0xef)
            more = 2, min = 0x800, cp = c & 0x0f;
        else if (c >= 0xf0 && c <= 0xf4)
            more = 3, min = 0x10000, cp = c & 0x07;
        else
            return false;
        if (end - p < more) return false;
        for (int i = 0; i < more; ++i, ++p) {
            if ((*p & 0xc0) != 0x80) return false;
            cp = cp << 6 | (*p & 0x3f);
        }
        if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    }
    return true;
}

// Whether the session manager could read `s` as a number, and so take it for a serial. Wider than
// its own reading (any run of hex digits, signs, points and exponent marks holding a digit): a
// member wrongly judged a number is still matched exactly, by its serial.
bool couldBeNumber(const std::string& s) {
    constexpr const char* space = " \t\n\v\f\r";  // what it skips around a number
    const auto first = s.find_first_not_of(space), last = s.find_last_not_of(space);
    if (first == std::string::npos) return false;
    const std::string core = s.substr(first, last - first + 1);
    return core.find_first_not_of("0123456789abcdefABCDEFxXpP.+-") == std::string::npos &&
           core.find_first_of("0123456789") != std::string::npos;
}

bool isDecimal(const std::string& s) {
    return !s.empty() && s.size() <= 20 && s.find_first_not_of("0123456789") == std::string::npos;
}

// The rule that makes the host feed one member, and only that member.
std::optional<std::string> memberRule(const CombineMember& m, std::string& error) {
    if (m.mediaClass != "Audio/Sink" && m.mediaClass != "Audio/Duplex") {
        error = "a member is not a speaker (" + m.mediaClass + ")";
        return std::nullopt;
    }
    if (m.followByName && matchableByName(m.nodeName))
        return "          { matches = [ { media.class = " + quoted(m.mediaClass) +
               " node.name = " + quoted(m.nodeName) +
               " } ]\n"
               "            actions = { create-stream = { } } }\n";
    if (!isDecimal(m.serial)) {
        error = "a member has no serial to be found by";
        return std::nullopt;
    }
    // The stream's target would otherwise be the member's node.name, looked up by name again.
    return "          { matches = [ { object.serial = " + quoted(m.serial) +
           " } ]\n"
           "            actions = { create-stream = { target.object = " +
           quoted(m.serial) + " } } }\n";
}

std::optional<std::string> hostConfig(const CombineSink& sink, std::string& error) {
    std::string positions;
    for (const auto& p : sink.positions)
        positions += " " + p;
    std::string rules;
    for (const auto& m : sink.members) {
        const auto rule = memberRule(m, error);
        if (!rule) return std::nullopt;
        rules += *rule;
    }
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
           "        stream.rules = [\n" +
           rules +
           "        ]\n"
           "      }\n"
           "    }\n"
           "]\n";
}

// Up to `limit` bytes of a /proc file (they report no size, so the reader of regular files that
// trusts the size cannot serve); nullopt when it cannot be read.
std::optional<std::string> readProc(const fs::path& path, std::size_t limit) {
    const Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) return std::nullopt;
    std::string out(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::read(f.fd, out.data() + got, limit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return out;
}

// Whether the process runs as this user, with every one of its user ids: root included, nobody
// stops or adopts another user's process.
bool runsAsUs(const fs::path& proc) {
    const auto status = readProc(proc / "status", 4096);
    if (!status) return false;
    const auto at = status->find("\nUid:");
    if (at == std::string::npos) return false;
    std::istringstream ids(status->substr(at + 5, status->find('\n', at + 1) - at - 5));
    int count = 0;
    for (long id; ids >> id; ++count)
        if (id != static_cast<long>(::getuid())) return false;
    return count == 4;
}

// Whether `pid` is a host this code started for `config`: a process of ours named pipewire that
// runs exactly the command line the host is started with.
bool isOurHost(pid_t pid, const fs::path& config) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    const std::string expected = std::string("pipewire\0-c\0", 12) + config.string() + '\0';
    return readProc(proc / "comm", 64) == "pipewire\n" && runsAsUs(proc) &&
           readProc(proc / "cmdline", expected.size() + 1) == expected;
}

std::vector<pid_t> findHosts(const fs::path& config) {
    std::vector<pid_t> hosts;
    DIR* proc = ::opendir("/proc");
    if (!proc) return hosts;
    while (const dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == ::getpid()) continue;
        if (isOurHost(static_cast<pid_t>(pid), config)) hosts.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return hosts;
}

// Whether the process behind `pidfd` has ended within `ms` milliseconds.
bool ended(int pidfd, int ms) {
    pollfd p{pidfd, POLLIN, 0};
    int r;
    while ((r = ::poll(&p, 1, ms)) < 0 && errno == EINTR) {
    }
    return r > 0;
}

// Stops the host `pid` and returns once it has ended; false only when it is ours and did not end.
bool stopHost(pid_t pid, const fs::path& config) {
    // The descriptor holds on to this very process: should it end and its number pass to another
    // process while we look, the descriptor says so and no signal reaches the newcomer.
    const Fd f{::pidfd_open(pid, 0)};
    if (f.fd < 0) return true;
    if (!isOurHost(pid, config) || ended(f.fd, 0)) return true;
    const std::pair<int, int> steps[] = {{SIGTERM, kTermWaitMs}, {SIGKILL, kKillWaitMs}};
    for (const auto& [sig, waitMs] : steps) {
        if (::pidfd_send_signal(f.fd, sig, nullptr, 0) != 0 && errno == ESRCH) return true;
        // Ended, not merely no longer looking like a host: an exiting process loses its command
        // line well before it is gone, while its nodes are still in the graph.
        if (ended(f.fd, waitMs)) return true;
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

// Replaces `path` with `text`, readable by this user alone, through a new file and a rename: no
// link, pipe or file someone left at the path is opened or written through.
std::string writePrivately(const fs::path& path, const std::string& text) {
    const fs::path tmp = path.string() + ".tmp-" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    const Fd f{::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (f.fd < 0) return "cannot write " + tmp.string() + ": " + std::strerror(errno);
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(f.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const std::string why = std::strerror(errno);
            ::unlink(tmp.c_str());
            return "cannot write " + tmp.string() + ": " + why;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(tmp.c_str());
        return "cannot write " + path.string() + ": " + why;
    }
    return {};
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

bool matchableByName(const std::string& nodeName) {
    return !nodeName.empty() && nodeName.front() != '~' &&
           quoted(nodeName).size() < kMatchValueBuffer && validUtf8(nodeName) &&
           !couldBeNumber(nodeName);
}

std::string stopCombineHost() {
    const auto dir = runtimeDir();
    if (!dir) return {};
    const fs::path config = configFile(*dir);
    std::string stuck;
    for (const pid_t pid : findHosts(config))
        if (!stopHost(pid, config)) stuck += (stuck.empty() ? "" : ", ") + std::to_string(pid);
    // Earlier versions kept the host's PID in a file of this name; hosts are found without it now.
    ::unlink((*dir / (std::string(kBaseName) + ".pid")).c_str());
    if (!stuck.empty()) return "the previous All Speakers host (PID " + stuck + ") did not stop";
    ::unlink(config.c_str());
    return {};
}

CombineHostResult startCombineHost(const CombineSink& sink) {
    const auto dir = runtimeDir();
    if (!dir)
        return {.error =
                    "no PipeWire runtime directory (PIPEWIRE_RUNTIME_DIR and "
                    "XDG_RUNTIME_DIR are unset)"};
    if (const std::string why = notPrivate(*dir); !why.empty())
        return {.error = "the PipeWire runtime directory " + dir->string() +
                         " is no private folder of this user's (" + why + ")"};
    if (sink.nodeName.empty() || sink.members.empty() || sink.positions.empty())
        return {.error = "a multi-output device needs a node name, members and channels"};
    std::string error;
    const auto text = hostConfig(sink, error);
    if (!text) return {.error = error};
    if (error = stopCombineHost(); !error.empty()) return {.error = error};

    const auto program = findOnPath("pipewire");
    if (!program) return {.error = "the pipewire program is not installed"};
    const fs::path config = configFile(*dir);
    if (error = writePrivately(config, *text); !error.empty()) return {.error = error};
    const pid_t pid = spawnDetached(*program, {"pipewire", "-c", config.string()}, error);
    if (!pid) return {.error = error};
    return {.pid = pid};
}

}  // namespace housetone::pw
