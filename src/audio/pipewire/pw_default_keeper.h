#pragma once

#include <sys/types.h>

#include <string>

namespace housetone::pw {

// While the tap is the system's default output, a small process of the program's own keeps what
// the tap took: if the program ends without giving it back (killed, crashed), it names the output
// programs had before as the default again, and the session manager moves every program there.
// Ending normally, the program gives the output back itself and the keeper does nothing.
//
// The keeper is this same executable started with keeperOption; it reads what it keeps from a
// socket whose other end only this process holds, so nobody else can tell it what to write, and
// the end of that socket (which the kernel makes at any death) is the only signal it needs.
class DefaultKeeper {
  public:
    DefaultKeeper() = default;
    ~DefaultKeeper() { finish(); }
    DefaultKeeper(const DefaultKeeper&) = delete;
    DefaultKeeper& operator=(const DefaultKeeper&) = delete;

    // Starts a keeper for the tap named `tap` (node.name) that would restore `restore`; false,
    // with the reason in `error`, when no keeper could be started (the tap then works without).
    bool start(const std::string& tap, const std::string& restore, std::string& error);
    // The output to restore is now `restore`.
    void keep(const std::string& restore);
    // The output was given back: the keeper ends without writing anything.
    void finish();
    bool running() const { return fd_ >= 0; }
    pid_t pid() const { return pid_; }

  private:
    void send(const std::string& line);
    int fd_ = -1;
    pid_t pid_ = -1;
};

// The first argument that makes the program a keeper; the socket is its descriptor 3.
inline constexpr const char* keeperOption = "--keep-default-output";
// The keeper's whole life: reads until the socket ends, then restores when the end was not
// announced. Its exit status: 0 when nothing needed doing or the output was restored.
int runDefaultKeeper(int fd);

}  // namespace housetone::pw
