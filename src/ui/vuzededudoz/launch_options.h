#pragma once

#include <optional>
#include <string>
#include <vector>

namespace housetone::ui {

enum class Appearance { system, light, dark };

// The command line, read before the windowing system is touched so that a mistake is reported
// even on a machine without a display.
struct LaunchOptions {
    Appearance appearance = Appearance::system;
    bool selfTest = false;          // --selftest
    bool autoTuneSelfTest = false;  // --autotune-selftest
    bool openMenu = false;          // --open-menu
    bool showAbout = false;         // --show-about

    std::optional<std::string> simRoom;    // --sim-room FILE
    double simSpeed = 1;                   // --sim-speed X, X > 0
    std::optional<std::string> simRecord;  // --sim-record FILE

    bool help = false;     // --help
    bool version = false;  // --version

    // Not in --help: for scripts.
    bool printRoomUIDs = false;                // --print-room-uids
    std::optional<std::string> screenshotDir;  // --screenshot-dir DIR

    std::vector<std::string> warnings;  // one line each, for stderr; the run goes on
    std::optional<std::string> error;   // one line for stderr; the run ends with status 2
};

// `args` without the program name. Options are whole arguments and may appear anywhere; Qt's own
// options ("-platform offscreen", "-style Fusion", ...) pass without a warning.
LaunchOptions parseLaunchOptions(const std::vector<std::string>& args);

std::string helpText();

}  // namespace housetone::ui
