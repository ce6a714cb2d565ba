#include "ui/vuzededudoz/preferences.h"

#include <QString>
#include <map>
#include <string_view>
#include <system_error>

#include "core/atomic_write.h"
#include "core/base_dirs.h"
#include "core/bounded_read.h"
#include "core/user_defaults.h"
#include "ui/qt_user_defaults.h"

namespace housetone::ui {

namespace fs = std::filesystem;

namespace {

// Ours is a dozen short lines; anything much larger was not written by us.
constexpr std::size_t maxEntryBytes = 64 * 1024;

// A desktop entry's string value: its own escapes for the backslash and the whitespace that a
// line cannot hold as it is.
std::string escapedValue(std::string_view s) {
    std::string out;
    for (const char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Whether a desktop entry can name `path`: UTF-8, and no control character that a value has no
// escape for.
bool writableInEntry(const std::string& path) {
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\n' && c != '\t' && c != '\r') || u == 0x7f) return false;
    }
    return QString::fromUtf8(path.data(), static_cast<qsizetype>(path.size())).toStdString() ==
           path;
}

std::string_view trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// The keys of the "[Desktop Entry]" group, the first of each name kept.
std::map<std::string, std::string, std::less<>> desktopEntryKeys(std::string_view text) {
    std::map<std::string, std::string, std::less<>> keys;
    bool inGroup = false;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        const auto eq = line.find('=');
        if (!inGroup || eq == std::string_view::npos) continue;
        keys.emplace(std::string(trimmed(line.substr(0, eq))),
                     std::string(trimmed(line.substr(eq + 1))));
    }
    return keys;
}

std::string quotedPath(const fs::path& p) {
    return "\"" + p.string() + "\"";
}

}  // namespace

bool startInTray(const UserDefaults& defaults) {
    return defaults.boolDefault(startInTrayKey, false);
}

void setStartInTray(UserDefaults& defaults, bool on) {
    defaults.setBool(startInTrayKey, on);
}

bool resumeLastMode(const UserDefaults& defaults) {
    return defaults.boolDefault(resumeLastModeKey, false);
}

void setResumeLastMode(UserDefaults& defaults, bool on) {
    defaults.setBool(resumeLastModeKey, on);
}

void rememberChosenMode(QtUserDefaults& defaults, Mode mode) {
    defaults.setBytes(QString::fromLatin1(lastModeKey), QByteArray::fromStdString(rawValue(mode)));
}

Mode startMode(const QtUserDefaults& defaults) {
    if (!resumeLastMode(defaults)) return Mode::single;
    return modeFromRawValue(defaults.bytes(QString::fromLatin1(lastModeKey)).toStdString())
        .value_or(Mode::single);
}

std::optional<fs::path> autostartEntryPath() {
    const auto config = baseDirectory("XDG_CONFIG_HOME", ".config");
    if (!config) return std::nullopt;
    return *config / "autostart" / autostartFileName;
}

std::string desktopExecArgument(const std::string& arg) {
    std::string quoted = "\"";
    for (const char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    return escapedValue(quoted + "\"");
}

std::string autostartEntryText(const fs::path& program) {
    // TryExec: once the program is gone, the desktop skips the entry instead of failing at login.
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Housetone\n"
           "Comment=Every speaker in the room, playing in step.\n"
           "Exec=" +
           desktopExecArgument(program.string()) +
           "\n"
           "TryExec=" +
           escapedValue(program.string()) +
           "\n"
           "Icon=housetone\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n" +
           autostartMarker + "=true\n";
}

Autostart autostartState(const fs::path& entry) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(entry, ec);
    if (st.type() == fs::file_type::not_found) return Autostart::none;
    // A link or anything but a plain file was made by someone else: we write plain files only.
    std::string text;
    if (st.type() != fs::file_type::regular || !readRegularFile(entry, maxEntryBytes, text))
        return Autostart::foreign;
    const auto keys = desktopEntryKeys(text);
    const auto is = [&keys](std::string_view key, std::string_view value) {
        const auto it = keys.find(key);
        return it != keys.end() && it->second == value;
    };
    if (!is(autostartMarker, "true")) return Autostart::foreign;
    if (is("Hidden", "true") || is("X-GNOME-Autostart-enabled", "false"))
        return Autostart::disabled;
    return Autostart::on;
}

std::optional<std::string> setStartAtLogin(const fs::path& entry, const fs::path& program,
                                           bool on) {
    const Autostart state = autostartState(entry);
    if (state == Autostart::foreign)
        return quotedPath(entry) + " was not written by Housetone, so it is left as it is";
    if (on) {
        if (!program.is_absolute() || !writableInEntry(program.string()))
            return "the program's own path " + quotedPath(program) +
                   " cannot be named in an autostart entry";
        std::string why;
        if (!writeFileAtomically(entry, autostartEntryText(program), &why))
            return "cannot write " + quotedPath(entry) + " (" + why + ")";
        return std::nullopt;
    }
    if (state == Autostart::none) return std::nullopt;
    std::error_code ec;
    if (!fs::remove(entry, ec) && ec)
        return "cannot remove " + quotedPath(entry) + " (" + ec.message() + ")";
    return std::nullopt;
}

}  // namespace housetone::ui
