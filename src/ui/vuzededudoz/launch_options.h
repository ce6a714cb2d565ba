#pragma once

#include <QStringList>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/mode.h"

namespace housetone::ui {

enum class Appearance { system, light, dark };

// Which audio system to drive: PipeWire when a daemon answers (and no simulator option is
// given), PipeWire, or the simulated room.
enum class Backend { automatic, pipewire, sim };

// The command line, read before the windowing system is touched so that a mistake is reported
// even on a machine without a display.
struct LaunchOptions {
    Appearance appearance = Appearance::system;
    bool selfTest = false;          // --selftest
    bool autoTuneSelfTest = false;  // --autotune-selftest
    // --keep-in-step-selftest SECONDS: listen in aligned for that long (of the audio system's
    // time: a simulated room's when it runs faster).
    std::optional<double> keepInStepSelfTest;
    bool anySelfTest() const { return selfTest || autoTuneSelfTest || keepInStepSelfTest; }
    bool openMenu = false;   // --open-menu
    bool showAbout = false;  // --show-about

    std::optional<std::string> simRoom;    // --sim-room FILE
    double simSpeed = 1;                   // --sim-speed X, a decimal in [minSimSpeed, maxSimSpeed]
    std::optional<std::string> simRecord;  // --sim-record FILE
    bool simOptionGiven = false;           // any --sim-... option: the room is wanted

    Backend backend = Backend::automatic;  // --backend auto|pipewire|sim

    // --mode single|together|aligned: the mode to start in, or to switch the running copy to.
    std::optional<Mode> mode;

    bool help = false;     // --help
    bool version = false;  // --version

    // Not in --help: for scripts.
    bool printRoomUIDs = false;  // --print-room-uids

    std::vector<std::string> warnings;  // one line each, for stderr; the run goes on
    std::optional<std::string> error;   // one line for stderr; the run ends with status 2
};

// Slower than a tenth of real time a buffer takes seconds; faster than a thousand times the
// simulator cannot keep pace on any machine.
inline constexpr double minSimSpeed = 0.1;
inline constexpr double maxSimSpeed = 1000;

// One command-line option, as the parser knows it and --help shows it.
struct OptionInfo {
    std::vector<const char*> names;  // the long name first
    std::string valueName;           // empty for a flag
    std::string help;                // --help's lines; empty: not listed (for scripts)
};

// Every option the program takes, in the order --help lists them.
const std::vector<OptionInfo>& launchOptionTable();

// `args` without the program name. Options may appear anywhere, with one or two leading dashes;
// an option that takes a value never takes the next option as that value. Unknown options only
// warn: read again after QApplication has taken Qt's own options ("-platform offscreen") out of
// the arguments, what is still unknown is a mistake.
LaunchOptions parseLaunchOptions(const QStringList& args);

// A recording may not go into the state directory: its files (settings, click sound, logs) are
// the program's own. The one-line refusal, or nothing.
std::optional<std::string> recordTargetError(const std::filesystem::path& target,
                                             const std::filesystem::path& stateDirectory);

// `text` fit to print on a terminal: control characters (from a room file or the arguments) are
// written as "\x1b" so they cannot move the cursor, recolour or retitle it.
std::string terminalSafe(const std::string& text);

// Usage, the modes in brief, every listed option of launchOptionTable() and where the files are.
std::string helpText();

}  // namespace housetone::ui
