#include "ui/vuzededudoz/single_instance.h"

#include <QCryptographicHash>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "core/printable.h"
#include "core/runtime_folder.h"

namespace housetone::ui {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr std::size_t socketPathLimit = sizeof(sockaddr_un::sun_path);

// "a directory of another user (uid 1234)": what is at `path`, for a line that says what is in
// the way.
std::string whatIsAt(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::strerror(errno);
    std::string kind = S_ISDIR(st.st_mode)    ? "a directory"
                       : S_ISLNK(st.st_mode)  ? "a symbolic link"
                       : S_ISREG(st.st_mode)  ? "a regular file"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                       : S_ISFIFO(st.st_mode) ? "a FIFO"
                                              : "a device";
    if (st.st_uid != ::getuid()) kind += " of another user (uid " + std::to_string(st.st_uid) + ")";
    return kind;
}

std::string quoted(const fs::path& p) {
    return "\"" + p.string() + "\"";
}

sockaddr_un addressOf(const fs::path& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.native().size());
    return addr;
}

std::optional<uid_t> peerUid(int fd) {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) return std::nullopt;
    return cred.uid;
}

// Waits for `events` on `fd` until `deadline`; false when the time ran out.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return true;  // the next call reports the error
    }
}

// At most the first `limit` bytes of a request from outside, quoted and fit for a log line.
std::string echoed(const std::string& text, std::size_t limit = 40) {
    return "\"" + printable(text.substr(0, limit)) + (text.size() > limit ? "\"..." : "\"");
}

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

// ---- Where -------------------------------------------------------------------------------------

std::variant<InstancePlace, std::string> instancePlace(const fs::path& stateDirectory,
                                                       const RuntimeFolder& runtime) {
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(stateDirectory, ec);
    if (ec) return "cannot use the settings folder " + quoted(stateDirectory) + ": " + ec.message();
    const QByteArray key =
        QCryptographicHash::hash(QByteArray::fromStdString(real.generic_string()),
                                 QCryptographicHash::Sha256)
            .toHex()
            .left(16);
    const std::string name = "housetone-" + key.toStdString();

    InstancePlace place;
    place.notes = runtime.notes;
    if (runtime.path.empty()) {
        // No socket, but still never two programs on one folder: the lock goes with the folder.
        place.lockFile = stateDirectory / ".housetone.lock";
        place.notes.push_back("later launches cannot reach this one without a private folder");
        return place;
    }
    place.lockFile = runtime.path / (name + ".lock");
    const fs::path socket = runtime.path / (name + ".socket");
    if (socket.native().size() < socketPathLimit)
        place.socket = socket;
    else
        place.notes.push_back("later launches cannot reach this one: " + quoted(socket) +
                              " is too long a path for a socket");
    return place;
}

// ---- Asking ------------------------------------------------------------------------------------

Answer ask(const fs::path& path, const std::string& line, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    const auto fail = [](Answer::Kind kind, std::string text = {}) {
        return Answer{kind, std::move(text)};
    };
    if (path.native().size() >= socketPathLimit)
        return fail(Answer::Kind::failed, quoted(path) + " is too long a path for a socket");
    const Fd s{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    if (s.fd < 0) return fail(Answer::Kind::failed, std::strerror(errno));
    const sockaddr_un addr = addressOf(path);
    if (::connect(s.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int error = errno;
        if (error == EAGAIN) return fail(Answer::Kind::silent);  // its queue is full
        if (error == ENOENT) return fail(Answer::Kind::nobody);
        struct stat st {};
        const bool socketThere = ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
        if (error == ECONNREFUSED && socketThere) return fail(Answer::Kind::nobody);
        return fail(Answer::Kind::failed,
                    quoted(path) + " is " + whatIsAt(path) + " (" + std::strerror(error) + ")");
    }
    // Checked before a byte is sent: a stranger learns nothing, and is never believed.
    const std::optional<uid_t> peer = peerUid(s.fd);
    if (!peer) return fail(Answer::Kind::failed, std::strerror(errno));
    if (*peer != ::getuid())
        return fail(Answer::Kind::stranger,
                    quoted(path) + " is held by another user (uid " + std::to_string(*peer) + ")");

    const std::string request = line + "\n";
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(s.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!waitFor(s.fd, POLLOUT, deadline)) return fail(Answer::Kind::silent);
        } else {
            return fail(Answer::Kind::silent);  // closed on us: it was too busy to take us
        }
    }
    std::string reply;
    for (;;) {
        const auto end = reply.find('\n');
        if (end != std::string::npos) return {Answer::Kind::answered, reply.substr(0, end)};
        if (!waitFor(s.fd, POLLIN, deadline)) return fail(Answer::Kind::silent);
        char buffer[256];
        const ssize_t n = ::recv(s.fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return fail(Answer::Kind::silent);
        reply.append(buffer, static_cast<std::size_t>(n));
        if (reply.size() > 1024)
            return fail(Answer::Kind::failed, "an over-long reply from " + quoted(path));
    }
}

// ---- Claiming ----------------------------------------------------------------------------------

Claim claimInstance(const InstancePlace& place, milliseconds patience, const HandOver& handOver) {
    const auto run = [](std::string message = {}) {
        return Claim{Claim::Kind::run, std::move(message)};
    };
    if (place.lockFile.empty()) return run();
    std::error_code ec;
    fs::create_directories(place.lockFile.parent_path(), ec);
    const int fd = ::open(place.lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    const auto unsure = [&](const std::string& why) {
        return run("cannot take the lock " + quoted(place.lockFile) + " (" + why +
                   "): another copy could start beside this one");
    };
    if (fd < 0) return unsure(errno == ELOOP ? whatIsAt(place.lockFile) : std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
        ::close(fd);
        return unsure("it is " + whatIsAt(place.lockFile));
    }

    const auto deadline = Clock::now() + patience;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // The pid is only for the messages of later launches; the lock is what counts.
            const std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(fd, 0) == 0) {
                [[maybe_unused]] const auto n = ::pwrite(fd, pid.data(), pid.size(), 0);
            }
            Claim c = run();
            c.lockFd = fd;
            return c;
        }
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            const int error = errno;
            ::close(fd);
            return unsure(std::strerror(error));
        }
        char text[32] = {};
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        const long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
        const std::string holder = "Housetone already runs for this settings folder" +
                                   (pid > 0 ? " (pid " + std::to_string(pid) + ")" : "") + " but ";
        const auto refuse = [&](const std::string& why) {
            ::close(fd);
            return Claim{Claim::Kind::refused, holder + why + "; not starting a second copy"};
        };
        if (!place.socket) return refuse("cannot be reached (no private folder for its socket)");

        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        const Answer a = ask(*place.socket, handOver.request,
                             std::clamp(left, milliseconds(100), milliseconds(1000)));
        if (a.kind == Answer::Kind::answered && handOver.done(a.text)) {
            ::close(fd);
            Claim c{Claim::Kind::handedOver};
            c.reply = a.text;
            return c;
        }
        if (a.kind == Answer::Kind::answered && a.text == "unknown command")
            return refuse("cannot " + handOver.what + " (an older version?)");
        if (a.kind == Answer::Kind::answered)
            return refuse("answered \"" + a.text + "\" when asked to " + handOver.what);
        if (a.kind == Answer::Kind::stranger || a.kind == Answer::Kind::failed)
            return refuse("cannot be reached: " + a.text);
        if (Clock::now() >= deadline)
            return refuse(a.kind == Answer::Kind::nobody
                              ? "nothing answers at " + quoted(*place.socket)
                              : "does not answer (stopped or busy)");
        std::this_thread::sleep_for(milliseconds(100));
    }
}

// ---- Switching the owner's mode ----------------------------------------------------------------

namespace {

constexpr const char* modeCommand = "mode";
// Room for any status line the program writes; the reply stays well inside what `ask` takes.
constexpr std::size_t statusReplyBytes = 400;

std::string answerModeRequest(const std::string& argument,
                              const std::function<ModeState(Mode)>& choose,
                              const std::function<void(const std::string&)>& log) {
    const std::optional<Mode> asked = modeFromRawValue(argument);
    if (!asked) {
        log("ignoring a later launch's request for the mode " + echoed(argument) +
            ": not Single, Together or Aligned");
        return "bad mode request";
    }
    const ModeState now = choose(*asked);
    // The status may hold a device's name: one printable line, cut short if need be.
    std::string status = printable(now.status);
    if (status.size() > statusReplyBytes) status = printable(status.substr(0, statusReplyBytes));
    return std::string(modeCommand) + " " + rawValue(now.mode) +
           (status.empty() ? "" : ": " + status);
}

}  // namespace

HandOver modeHandOver(Mode mode) {
    return HandOver{
        .request = std::string(modeCommand) + " " + rawValue(mode),
        .done = [](const std::string& reply) { return readModeReply(reply).has_value(); },
        .what = "switch to " + rawValue(mode)};
}

void answerModeRequests(SingleInstance& server, std::function<ModeState(Mode)> choose,
                        std::function<void(const std::string&)> log) {
    server.handle(modeCommand,
                  [choose = std::move(choose), log = std::move(log)](const std::string& argument) {
                      return answerModeRequest(argument, choose, log);
                  });
}

std::optional<ModeState> readModeReply(const std::string& reply) {
    const std::string head = std::string(modeCommand) + " ";
    if (!reply.starts_with(head)) return std::nullopt;
    const auto colon = reply.find(": ", head.size());
    const std::optional<Mode> mode = modeFromRawValue(std::string_view(reply).substr(
        head.size(), colon == std::string::npos ? std::string::npos : colon - head.size()));
    if (!mode) return std::nullopt;
    return ModeState{*mode, colon == std::string::npos ? std::string() : reply.substr(colon + 2)};
}

// ---- Serving -----------------------------------------------------------------------------------

struct SingleInstance::Connection {
    int fd = -1;
    std::string line;
    // Children of the server, deleted later: a connection ends inside their own signals.
    QSocketNotifier* readable = nullptr;
    QTimer* idle = nullptr;
    ~Connection() {
        readable->setEnabled(false);
        readable->deleteLater();
        idle->stop();
        idle->deleteLater();
        ::close(fd);
    }
};

SingleInstance::SingleInstance(QObject* parent) : SingleInstance(Limits{}, parent) {}

SingleInstance::SingleInstance(Limits limits, QObject* parent) : QObject(parent), limits_(limits) {}

SingleInstance::~SingleInstance() {
    connections_.clear();
    if (listenFd_ < 0) return;
    ::close(listenFd_);
    // Only our own socket: the file at the path is still the one we made while we listen.
    ::unlink(path_.c_str());
}

void SingleInstance::handle(const std::string& command, Handler handler) {
    handlers_[command] = std::move(handler);
}

bool SingleInstance::listen(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        // Left by a run of ours that ended without cleaning up: the caller holds the lock, so
        // nobody serves it. Anything else is not ours to remove.
        if (!S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) {
            error_ = quoted(path) + " is in the way: it is " + whatIsAt(path) +
                     ", not a socket of ours; remove it so that later launches can reach this one";
            return false;
        }
        ::unlink(path.c_str());
    }
    if (path.native().size() >= socketPathLimit) {
        error_ = quoted(path) + " is too long a path for a socket";
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_un addr = addressOf(path);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 16) != 0) {
        error_ = "cannot listen at " + quoted(path) + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    listenFd_ = fd;
    path_ = path;
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { acceptAll(); });
    return true;
}

void SingleInstance::acceptAll() {
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN) return;
            // Out of descriptors or memory: the program's other work is using them. The
            // server stays; it looks again in a moment rather than spinning, or closing.
            notifier_->setEnabled(false);
            QTimer::singleShot(250, this, [this] { notifier_->setEnabled(true); });
            return;
        }
        // Only this user's own launches are answered; anyone else is closed on at once.
        const std::optional<uid_t> peer = peerUid(fd);
        if (!peer || *peer != ::getuid() ||
            static_cast<int>(connections_.size()) >= limits_.connections) {
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(c->readable, &QSocketNotifier::activated, this, [this, fd] { readFrom(fd); });
        c->idle = new QTimer(this);
        c->idle->setSingleShot(true);
        connect(c->idle, &QTimer::timeout, this, [this, fd] { close(fd); });
        c->idle->start(limits_.idle);
        connections_.emplace(fd, std::move(c));
    }
}

void SingleInstance::readFrom(int fd) {
    const auto it = connections_.find(fd);
    if (it == connections_.end()) return;
    Connection& c = *it->second;
    char buffer[512];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        close(fd);
        return;
    }
    c.line.append(buffer, static_cast<std::size_t>(n));
    const auto end = c.line.find('\n');
    if (end == std::string::npos) {
        // Never more than one line's worth is kept, whatever the peer sends.
        if (c.line.size() > limits_.lineBytes && log_)
            log_("ignoring a request from a later launch: more than " +
                 std::to_string(limits_.lineBytes) + " bytes without a line end");
        if (c.line.size() > limits_.lineBytes) close(fd);
        return;
    }
    // A launch that gave up waiting (while this program was stopped, say) has closed its end: its
    // request is stale, and showing the window now would surprise.
    char probe;
    if (::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
        close(fd);
        return;
    }
    const std::string line = c.line.substr(0, end);
    const auto space = line.find(' ');
    const std::string command = line.substr(0, space);
    const auto handler = handlers_.find(command);
    if (handler == handlers_.end() && log_)
        log_("ignoring a request from a later launch: unknown command " + echoed(command));
    const std::string reply =
        handler == handlers_.end()
            ? "unknown command"
            : handler->second(space == std::string::npos ? std::string() : line.substr(space + 1));
    const std::string out = reply + "\n";
    // One short line into an empty socket buffer: it goes at once, or the peer has gone.
    [[maybe_unused]] const auto sent = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    close(fd);
}

void SingleInstance::close(int fd) {
    connections_.erase(fd);
}

}  // namespace housetone::ui
