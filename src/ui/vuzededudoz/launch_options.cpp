#include "ui/vuzededudoz/launch_options.h"

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>
#include <cstdio>

#include "core/atomic_write.h"
#include "core/printable.h"
#include "core/settings_store.h"

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
    // Appended rather than `"\"" + text + "\""`, which GCC 12 at -O3 flags with a false -Wrestrict.
    std::string text = "\"";
    text += value.toStdString();
    text += '"';
    return text;
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

const std::vector<OptionInfo>& launchOptionTable() {
    static const std::vector<OptionInfo> table = {
        {{"appearance"}, "dark|light", "dark or light appearance instead of the desktop's"},
        {{"selftest"}, {}, "run the engine self-check, write app-selftest.log\nand quit"},
        {{"autotune-selftest"}, {}, "run one auto-tune, write app-autotune-selftest.log\nand quit"},
        {{"keep-in-step-selftest"},
         "SECONDS",
         "play aligned with Keep in step listening for SECONDS\n(1 to 86400), write "
         "app-keep-in-step-selftest.log,\nsave the offsets and quit"},
        {{"open-menu"},
         {},
         "open the Housetone menu 2 s after launch, for 3 s\n"
         "(in the tray, or in the window without a tray)"},
        {{"show-about"}, {}, "show the About panel 1.5 s after launch"},
        {{"mode"},
         "single|together|aligned",
         "start in this mode; when Housetone already runs,\n"
         "switch that copy to it as if chosen in its window"},
        {{"backend"},
         "auto|pipewire|sim",
         "the audio system: PipeWire, the simulated room, or\n"
         "(auto, the default) PipeWire when it answers and no\n"
         "--sim-... option is given"},
        {{"sim-room"},
         "FILE",
         "use the simulated room described in FILE (JSON)\ninstead of the built-in one"},
        {{"sim-speed"},
         "X",
         "run the simulated room X times faster than real\ntime (0.1 to 1000, default 1)"},
        {{"sim-record"},
         "FILE",
         "record what the listening position hears to a\nWAV file until the program quits"},
        {{"help", "h"}, {}, "show this text"},
        {{"version"}, {}, "show the version"},
        {{"print-room-uids"}, {}, {}},
    };
    return table;
}

namespace {

// The parser with every option of the table, and the names of those that take a value.
struct OptionParser {
    QCommandLineParser parser;
    QStringList valueOptions;

    OptionParser() {
        // "-platform" is one option, as Qt reads it, not the letters p, l, a, ...
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        for (const OptionInfo& o : launchOptionTable()) {
            QStringList names;
            for (const char* n : o.names)
                names << QString::fromLatin1(n);
            parser.addOption(QCommandLineOption(names, {}, QString::fromStdString(o.valueName)));
            if (!o.valueName.empty()) valueOptions << names.front();
        }
    }
    bool isSet(const char* name) const { return parser.isSet(QString::fromLatin1(name)); }
    QString value(const char* name) const { return parser.value(QString::fromLatin1(name)); }

    // The parser takes the next argument as an option's value whatever it is; an option followed
    // by another option (or by nothing) is given an empty value instead, so "--sim-record
    // --print-room-uids" is a missing file name and a flag, not a file named "--print-room-uids".
    QStringList withEmptyValues(const QStringList& args) const {
        QStringList argv{"housetone"};
        for (qsizetype i = 0; i < args.size(); ++i) {
            const QString& arg = args[i];
            const bool bare = looksLikeOption(arg) && !arg.contains('=');
            const bool valueFollows = i + 1 < args.size() && !looksLikeOption(args[i + 1]);
            argv << (bare && valueOptions.contains(optionName(arg)) && !valueFollows ? arg + "="
                                                                                     : arg);
        }
        return argv;
    }

    // Unknown options are only warned about; any other complaint ("--selftest=yes") is an error.
    void parse(const QStringList& args, LaunchOptions& o) {
        const bool parsed = parser.parse(withEmptyValues(args));
        if (!parsed && parser.unknownOptionNames().isEmpty())
            o.error = parser.errorText().toStdString();
        for (const QString& arg : args) {
            if (arg == "--") break;
            if (looksLikeOption(arg) && parser.unknownOptionNames().contains(optionName(arg)))
                o.warnings.push_back("ignoring unknown option " + quoted(arg) + " (see --help)");
        }
        for (const QString& arg : parser.positionalArguments())
            o.warnings.push_back("ignoring unexpected argument " + quoted(arg) + " (see --help)");
    }

    // A file name, or nothing with the first error set when the option has no value.
    std::optional<std::string> fileValue(const char* option, const char* what,
                                         LaunchOptions& o) const {
        if (!isSet(option)) return std::nullopt;
        const QString text = value(option);
        if (text.isEmpty()) {
            if (!o.error) o.error = std::string("--") + option + " needs " + what;
            return std::nullopt;
        }
        return fileName(text);
    }

    void readSimOptions(LaunchOptions& o) const {
        o.simRoom = fileValue("sim-room", "a room file", o);
        o.simRecord = fileValue("sim-record", "a WAV file to write", o);
        if (isSet("sim-speed")) {
            if (const auto speed = parseSpeed(value("sim-speed"))) {
                o.simSpeed = *speed;
            } else if (!o.error) {
                char range[96];
                std::snprintf(range, sizeof range,
                              "a decimal number from %g to %g, such as 1 or 40", minSimSpeed,
                              maxSimSpeed);
                o.error = std::string("--sim-speed needs ") + range + " (got " +
                          quoted(value("sim-speed")) + ")";
            }
        }
        o.simOptionGiven = isSet("sim-room") || isSet("sim-speed") || isSet("sim-record");
    }

    void readMode(LaunchOptions& o) const {
        if (!isSet("mode")) return;
        const QString name = value("mode");
        // The words of --help only: the window's names ("Aligned") are not what a user types.
        for (const Mode m : allModes) {
            if (name == QString::fromStdString(rawValue(m)).toLower()) {
                o.mode = m;
                break;
            }
        }
        if (o.error) return;
        if (!o.mode) {
            o.error = name.isEmpty()
                          ? "--mode needs single, together or aligned"
                          : "--mode needs single, together or aligned (got " + quoted(name) + ")";
        } else if (o.anySelfTest()) {
            // A self-check is a run of its own from Single: it neither starts in a mode nor
            // reaches the copy that runs.
            o.error = std::string("--mode cannot go with ") +
                      (o.selfTest           ? "--selftest"
                       : o.autoTuneSelfTest ? "--autotune-selftest"
                                            : "--keep-in-step-selftest") +
                      ": a self-check always starts from single";
        }
    }

    void readKeepInStepSelfTest(LaunchOptions& o) const {
        if (!isSet("keep-in-step-selftest")) return;
        static const QRegularExpression decimal(R"(^(\d+(\.\d*)?|\.\d+)$)");
        const QString text = value("keep-in-step-selftest");
        const double seconds = decimal.match(text).hasMatch() ? text.toDouble() : 0;
        if (seconds >= 1 && seconds <= 86400)
            o.keepInStepSelfTest = seconds;
        else if (!o.error)
            o.error = "--keep-in-step-selftest needs a number of seconds from 1 to 86400 (got " +
                      quoted(text) + ")";
    }

    void readBackend(LaunchOptions& o) const {
        if (!isSet("backend")) return;
        const QString name = value("backend");
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
};

}  // namespace

LaunchOptions parseLaunchOptions(const QStringList& args) {
    OptionParser p;
    LaunchOptions o;
    p.parse(args, o);
    o.selfTest = p.isSet("selftest");
    o.autoTuneSelfTest = p.isSet("autotune-selftest");
    p.readKeepInStepSelfTest(o);
    o.openMenu = p.isSet("open-menu");
    o.showAbout = p.isSet("show-about");
    o.help = p.isSet("help");
    o.version = p.isSet("version");
    o.printRoomUIDs = p.isSet("print-room-uids");
    // Only the exact lower-case words count; anything else (or nothing) keeps the desktop's look.
    if (p.value("appearance") == "dark") o.appearance = Appearance::dark;
    if (p.value("appearance") == "light") o.appearance = Appearance::light;
    p.readSimOptions(o);
    p.readBackend(o);
    p.readMode(o);
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
    // Options are listed from the table the parser is built from, so the two cannot drift; the
    // rest says in few words what the Help page (F1) and the manual page say in full.
    std::string text =
        "Usage: housetone [options]\n"
        "Plays the computer's sound on several speakers at once and keeps them in step.\n"
        "\n"
        "Modes, chosen in the window or the Housetone menu:\n"
        "  Single     the desktop plays its sound as usual, on one speaker\n"
        "  Together   every ticked speaker plays at once through one output,\n"
        "             \"All Speakers\", with no alignment\n"
        "  Aligned    every ticked speaker plays, each held back by its own delay so\n"
        "             that all of them reach you together\n"
        "The first time: tick the speakers, choose Aligned, press Auto-tune.\n"
        "\n"
        "Options:\n";
    constexpr std::size_t column = 28;  // where the descriptions start
    const std::string indent(column, ' ');
    for (const OptionInfo& o : launchOptionTable()) {
        if (o.help.empty()) continue;
        std::string head = std::string("  --") + o.names.front();
        if (!o.valueName.empty()) head += " " + o.valueName;
        text += head.size() + 2 <= column ? head + std::string(column - head.size(), ' ')
                                          : head + "\n" + indent;
        for (char c : o.help) {
            text += c;
            if (c == '\n') text += indent;
        }
        text += "\n";
    }
    text += "\nSettings and logs live in " + SettingsStore::defaultStateDirectory().string() +
            ".\nIn the window, F1 shows the full help; see also \"man housetone\".\n";
    return text;
}

}  // namespace housetone::ui
