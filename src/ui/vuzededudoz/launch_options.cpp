#include "ui/vuzededudoz/launch_options.h"

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>
#include <cstdio>

#include "core/atomic_write.h"
#include "core/printable.h"

namespace housetone::ui {

namespace fs = std::filesystem;

namespace {

// An argument that reads as an option rather than as a value: "--x" or "-x" with a letter, so
// that a negative number still counts as a value.
bool looksLikeOption(const QString& arg) {
    return arg.size() >= 2 && arg[0] == '-' && (arg[1] == '-' || arg[1].isLetter());
}

QString optionName(const QString& arg) {
    QString name = arg.mid(arg.startsWith("--") ? 2 : 1);
    return name.left(name.indexOf('='));
}

std::string quoted(const QString& value) {
    return "\"" + value.toStdString() + "\"";
}

std::string fileName(const QString& value) {
    return QFile::encodeName(value).toStdString();
}

// Plain decimal notation only: "1e-300" or "0x10" are far more likely slips than intended speeds.
std::optional<double> parseSpeed(const QString& text) {
    static const QRegularExpression decimal(R"(^(\d+(\.\d*)?|\.\d+)$)");
    if (!decimal.match(text).hasMatch()) return std::nullopt;
    const double v = text.toDouble();
    if (!(v >= minSimSpeed && v <= maxSimSpeed)) return std::nullopt;
    return v;
}

}  // namespace

LaunchOptions parseLaunchOptions(const QStringList& args) {
    const QCommandLineOption appearance("appearance", {}, "mode"), selfTest("selftest"),
        autoTuneSelfTest("autotune-selftest"), openMenu("open-menu"), showAbout("show-about"),
        simRoom("sim-room", {}, "file"), simSpeed("sim-speed", {}, "x"),
        simRecord("sim-record", {}, "file"), help(QStringList{"help", "h"}), version("version"),
        printRoomUIDs("print-room-uids"), backend("backend", {}, "name");
    QCommandLineParser parser;
    // "-platform" is one option, as Qt reads it, not the letters p, l, a, ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({appearance, selfTest, autoTuneSelfTest, openMenu, showAbout, simRoom,
                       simSpeed, simRecord, help, version, printRoomUIDs, backend});

    // The parser takes the next argument as an option's value whatever it is; an option followed
    // by another option (or by nothing) is given an empty value instead, so "--sim-record
    // --print-room-uids" is a missing file name and a flag, not a file named "--print-room-uids".
    const QStringList valueOptions = {"appearance", "sim-room", "sim-speed", "sim-record",
                                      "backend"};
    QStringList argv{"housetone"};
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool bare = looksLikeOption(arg) && !arg.contains('=');
        const bool valueFollows = i + 1 < args.size() && !looksLikeOption(args[i + 1]);
        argv << (bare && valueOptions.contains(optionName(arg)) && !valueFollows ? arg + "=" : arg);
    }

    LaunchOptions o;
    const bool parsed = parser.parse(argv);
    // Unknown options are only warned about; any other complaint ("--selftest=yes") is an error.
    if (!parsed && parser.unknownOptionNames().isEmpty())
        o.error = parser.errorText().toStdString();
    for (const QString& arg : args) {
        if (arg == "--") break;
        if (looksLikeOption(arg) && parser.unknownOptionNames().contains(optionName(arg)))
            o.warnings.push_back("ignoring unknown option " + quoted(arg) + " (see --help)");
    }
    for (const QString& arg : parser.positionalArguments())
        o.warnings.push_back("ignoring unexpected argument " + quoted(arg) + " (see --help)");

    o.selfTest = parser.isSet(selfTest);
    o.autoTuneSelfTest = parser.isSet(autoTuneSelfTest);
    o.openMenu = parser.isSet(openMenu);
    o.showAbout = parser.isSet(showAbout);
    o.help = parser.isSet(help);
    o.version = parser.isSet(version);
    o.printRoomUIDs = parser.isSet(printRoomUIDs);

    // Only the exact lower-case words count; anything else (or nothing) keeps the desktop's look.
    if (parser.value(appearance) == "dark") o.appearance = Appearance::dark;
    if (parser.value(appearance) == "light") o.appearance = Appearance::light;

    const auto fileValue = [&](const QCommandLineOption& option,
                               const char* what) -> std::optional<std::string> {
        if (!parser.isSet(option)) return std::nullopt;
        const QString value = parser.value(option);
        if (value.isEmpty()) {
            if (!o.error) o.error = "--" + option.names().front().toStdString() + " needs " + what;
            return std::nullopt;
        }
        return fileName(value);
    };
    o.simRoom = fileValue(simRoom, "a room file");
    o.simRecord = fileValue(simRecord, "a WAV file to write");
    if (parser.isSet(simSpeed)) {
        if (const auto speed = parseSpeed(parser.value(simSpeed))) {
            o.simSpeed = *speed;
        } else if (!o.error) {
            char range[96];
            std::snprintf(range, sizeof range, "a decimal number from %g to %g, such as 1 or 40",
                          minSimSpeed, maxSimSpeed);
            o.error = std::string("--sim-speed needs ") + range + " (got " +
                      quoted(parser.value(simSpeed)) + ")";
        }
    }
    o.simOptionGiven = parser.isSet(simRoom) || parser.isSet(simSpeed) || parser.isSet(simRecord);
    if (parser.isSet(backend)) {
        const QString name = parser.value(backend);
        if (name == "auto") {
            o.backend = Backend::automatic;
        } else if (name == "pipewire") {
            o.backend = Backend::pipewire;
        } else if (name == "sim") {
            o.backend = Backend::sim;
        } else if (!o.error) {
            o.error = "--backend needs auto, pipewire or sim (got " + quoted(name) + ")";
        }
    }
    return o;
}

std::optional<std::string> recordTargetError(const fs::path& target,
                                             const fs::path& stateDirectory) {
    std::error_code ec;
    const fs::path state = fs::weakly_canonical(stateDirectory, ec);
    if (ec) return std::nullopt;
    // Through links too: a link elsewhere that points at offsets.json is offsets.json.
    const fs::path file = fs::weakly_canonical(followLinks(target).value_or(target), ec);
    if (ec) return std::nullopt;
    const fs::path inside = file.lexically_relative(state);
    if (inside.empty() || *inside.begin() == "..") return std::nullopt;
    return "--sim-record cannot write into \"" + stateDirectory.string() +
           "\": it holds the program's settings and logs";
}

std::string terminalSafe(const std::string& text) {
    return printable(text);
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
           "  --backend auto|pipewire|sim\n"
           "                            the audio system: PipeWire, the simulated room, or\n"
           "                            (auto, the default) PipeWire when it answers and no\n"
           "                            --sim-... option is given\n"
           "  --sim-room FILE           use the simulated room described in FILE (JSON)\n"
           "                            instead of the built-in one\n"
           "  --sim-speed X             run the simulated room X times faster than real time\n"
           "                            (0.1 to 1000, default 1)\n"
           "  --sim-record FILE         record what the listening position hears to a WAV file\n"
           "                            until the program quits\n"
           "  --help                    show this text\n"
           "  --version                 show the version\n"
           "\n"
           "Settings and self-check logs live in ~/.local/state/vuzeda/.\n";
}

}  // namespace housetone::ui
