#pragma once

// One running program per user and settings folder. Who runs is decided by a lock the kernel
// holds (flock on a file in the user's private runtime folder, named after the settings folder),
// so it is released however the program ends, and a program that is merely busy or stopped keeps
// it. A later launch asks the owner, over a local socket beside the lock, to show its window (or
// to switch to the mode it names) and ends. The socket speaks one line each way; only the same
// user is answered, and only the same user's answer is believed.

#include <QObject>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/mode.h"

class QSocketNotifier;

namespace housetone {
struct RuntimeFolder;
}

namespace housetone::ui {

// Where the lock and the socket of one settings folder live.
struct InstancePlace {
    std::filesystem::path lockFile;               // empty: nowhere to put one
    std::optional<std::filesystem::path> socket;  // absent: later launches cannot reach us
    std::vector<std::string> notes;               // one line each: what is missing, and why
};

// The place for `stateDirectory` in `runtime`: files named after a digest of the folder's real
// path, so every path to one folder meets. Without a private runtime folder the lock goes into
// the settings folder itself and there is no socket. A settings folder whose path cannot be
// resolved (a loop of links, a parent that may not be entered) gives the one line to say instead.
std::variant<InstancePlace, std::string> instancePlace(const std::filesystem::path& stateDirectory,
                                                       const RuntimeFolder& runtime);

// One question over the socket at `path`: `line` out, one line back.
struct Answer {
    enum class Kind {
        answered,  // `text` is the reply, without its line feed
        nobody,    // nothing listens there (yet)
        silent,    // connected, but no whole reply before the deadline (busy or stopped)
        stranger,  // another user holds the socket: nothing was sent; `text` says who
        failed,    // `text` says why
    };
    Kind kind = Kind::failed;
    std::string text;
};
Answer ask(const std::filesystem::path& path, const std::string& line,
           std::chrono::milliseconds timeout);

// What a later launch asks of the owner, and which replies say it was done.
struct HandOver {
    std::string request = "show";
    std::function<bool(const std::string& reply)> done = [](const std::string& reply) {
        return reply == "shown";
    };
    std::string what = "show its window";  // for the line that says it was not done
};

// What a launch that wants to be the one program for its settings folder should do.
struct Claim {
    enum class Kind {
        run,         // this process owns the folder (or could not tell: `message` says why)
        handedOver,  // the owner did what was asked (`reply`): end with status 0
        refused,     // the owner holds the folder but would not do it: say `message`, end
    };
    Kind kind = Kind::run;
    std::string message;
    int lockFd = -1;    // held by the owner for its whole life (closed on exec)
    std::string reply;  // the owner's, when handed over
};
// Takes the lock, or hands `handOver` to its holder, trying again until `patience` has passed
// (the holder may still be starting, or be busy for a moment).
Claim claimInstance(const InstancePlace& place, std::chrono::milliseconds patience,
                    const HandOver& handOver = {});

// The owner's side of the socket: one line in ("<command>[ <argument>]"), one line out, then the
// connection is closed. Commands are registered by name, so the set can grow; an unknown one is
// answered "unknown command" and changes nothing, which is what a later, newer launch meets.
class SingleInstance final : public QObject {
    Q_OBJECT
  public:
    struct Limits {
        int connections = 8;                   // served at once; more are closed on arrival
        std::size_t lineBytes = 1024;          // a longer request closes the connection
        std::chrono::milliseconds idle{3000};  // a peer silent this long is closed
    };
    explicit SingleInstance(QObject* parent = nullptr);
    SingleInstance(Limits limits, QObject* parent = nullptr);
    ~SingleInstance() override;

    // `handler` gets the argument (empty when none) and returns the reply line.
    using Handler = std::function<std::string(const std::string& argument)>;
    void handle(const std::string& command, Handler handler);
    // One line about each request refused unread (too long, an unknown command): the requests
    // come from outside, and their sender may not be watching.
    void setLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

    // Listens at `path`. A socket of ours left there by a program that ended is replaced (the
    // caller holds the lock, so nobody else serves it); anything else there is left alone and
    // named in `error()`. False when nothing listens.
    bool listen(const std::filesystem::path& path);
    const std::string& error() const { return error_; }
    int connectionCount() const { return static_cast<int>(connections_.size()); }

  private:
    struct Connection;
    void acceptAll();
    void readFrom(int fd);
    void close(int fd);

    Limits limits_;
    std::map<std::string, Handler> handlers_;
    std::function<void(const std::string&)> log_;
    int listenFd_ = -1;
    std::filesystem::path path_;
    QSocketNotifier* notifier_ = nullptr;
    std::map<int, std::unique_ptr<Connection>> connections_;
    std::string error_;
};

// ---- Switching the owner's mode ----------------------------------------------------------------
// "mode Aligned" asks the owner to switch as if the user had chosen Aligned in its window. It
// replies "mode <the mode it is in now>: <its status line>", which names another mode when the
// switch was refused (no speaker included, say): the user's choice is made, not promised. A
// request that names no mode changes nothing and is answered "bad mode request"; a copy older
// than the request answers "unknown command".

// Where the owner is after a switch.
struct ModeState {
    Mode mode = Mode::single;
    std::string status;
};

// The request for `mode`, done once the owner answers it as above.
HandOver modeHandOver(Mode mode);

// Has `server` answer mode requests: `choose` switches as the user's own choice does and tells
// where that left the program; `log` gets one line for a request that names no mode.
void answerModeRequests(SingleInstance& server, std::function<ModeState(Mode)> choose,
                        std::function<void(const std::string&)> log);

// The owner's reply read back; nothing when it is not an answer to a mode request.
std::optional<ModeState> readModeReply(const std::string& reply);

}  // namespace housetone::ui
