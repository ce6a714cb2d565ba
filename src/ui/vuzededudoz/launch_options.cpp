#include "ui/vuzededudoz/launch_options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>
#include <string_view>

namespace housetone::ui {

namespace {

// Options QGuiApplication and QApplication take for themselves, with one or two leading dashes.
const std::set<std::string_view> qtOptionsWithValue = {
    "platform",     "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
    "qwindowicon",  "qwindowtitle",       "session",       "style",  "stylesheet",
    "display",      "geometry",           "title",         "name",   "visual",
    "qwindowscreen"};
const std::set<std::string_view> qtFlags = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

std::string_view qtName(std::string_view arg) {
    if (arg.substr(0, 2) == "--") return arg.substr(2);
    if (arg.substr(0, 1) == "-") return arg.substr(1);
    return {};
}

bool isQtOption(std::string_view arg, bool& takesValue) {
    std::string_view name = qtName(arg);
    if (name.empty()) return false;
    if (const auto eq = name.find('='); eq != std::string_view::npos) {
        takesValue = false;
        return qtOptionsWithValue.count(name.substr(0, eq)) > 0 ||
               name.substr(0, eq) == "qmljsdebugger";
    }
    takesValue = qtOptionsWithValue.count(name) > 0;
    return takesValue || qtFlags.count(name) > 0;
}

std::optional<double> parsePositive(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v) || v <= 0)
        return std::nullopt;
    return v;
}

}  // namespace

LaunchOptions parseLaunchOptions(const std::vector<std::string>& args) {
    LaunchOptions o;
    const auto has = [&](std::string_view flag) {
        return std::find(args.begin(), args.end(), flag) != args.end();
    };
    o.selfTest = has("--selftest");
    o.autoTuneSelfTest = has("--autotune-selftest");
    o.openMenu = has("--open-menu");
    o.showAbout = has("--show-about");
    o.help = has("--help") || has("-h");
    o.version = has("--version");
    o.printRoomUIDs = has("--print-room-uids");

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasNext = i + 1 < args.size();
        const auto needValue = [&](const char* what) -> std::optional<std::string> {
            if (!hasNext) {
                if (!o.error) o.error = arg + " needs " + what;
                return std::nullopt;
            }
            return args[++i];
        };

        if (arg == "--appearance") {
            // Only the exact lower-case words count; anything else (or nothing) keeps the
            // desktop's appearance.
            if (hasNext) {
                const std::string& v = args[++i];
                if (v == "dark") o.appearance = Appearance::dark;
                if (v == "light") o.appearance = Appearance::light;
            }
        } else if (arg == "--sim-room") {
            o.simRoom = needValue("a room file");
        } else if (arg == "--sim-record") {
            o.simRecord = needValue("a WAV file to write");
        } else if (arg == "--screenshot-dir") {
            o.screenshotDir = needValue("a directory");
        } else if (arg == "--sim-speed") {
            if (const auto v = needValue("a speed factor greater than 0, such as 1 or 40")) {
                if (const auto speed = parsePositive(*v)) {
                    o.simSpeed = *speed;
                } else if (!o.error) {
                    o.error = "--sim-speed needs a number greater than 0, such as 1 or 40 (got \"" +
                              *v + "\")";
                }
            }
        } else if (arg == "--selftest" || arg == "--autotune-selftest" || arg == "--open-menu" ||
                   arg == "--show-about" || arg == "--help" || arg == "-h" || arg == "--version" ||
                   arg == "--print-room-uids") {
            // Flags, read above.
        } else {
            bool takesValue = false;
            if (isQtOption(arg, takesValue)) {
                if (takesValue && hasNext) ++i;
            } else {
                o.warnings.push_back("ignoring unknown option \"" + arg + "\" (see --help)");
            }
        }
    }
    return o;
}

std::string helpText() {
    return "Usage: housetone [options]\n"
           "Plays the computer's sound on several speakers at once and keeps them in step.\n"
           "\n"
           "  --appearance dark|light   use the dark or light appearance instead of the desktop's\n"
           "  --selftest                run the engine self-check, write app-selftest.log, quit\n"
           "  --autotune-selftest       run one auto-tune, write app-autotune-selftest.log, quit\n"
           "  --open-menu               open the status menu 2 s after launch, for 3 s\n"
           "  --show-about              show the About panel 1.5 s after launch\n"
           "  --sim-room FILE           use the simulated room described in FILE (JSON)\n"
           "                            instead of the built-in one\n"
           "  --sim-speed X             run the simulated room X times faster than real time\n"
           "                            (default 1)\n"
           "  --sim-record FILE         record what the listening position hears to a WAV file\n"
           "                            until the program quits\n"
           "  --help                    show this text\n"
           "  --version                 show the version\n"
           "\n"
           "Settings and self-check logs live in ~/.local/state/vuzeda/.\n";
}

}  // namespace housetone::ui
