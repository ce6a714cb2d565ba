#pragma once

// The shell's own preferences, kept per user: starting at login (an XDG autostart entry, so the
// desktop's own "startup applications" list shows it too), starting in the tray, and starting in
// the mode the user last chose. All are off until the user turns them on.

#include <filesystem>
#include <optional>
#include <string>

#include "core/mode.h"

namespace housetone {
class UserDefaults;
}

namespace housetone::ui {

class QtUserDefaults;

inline constexpr const char* startInTrayKey = "startInTray";
inline constexpr const char* resumeLastModeKey = "resumeLastMode";
// The mode the user last chose, by its raw value ("Single", "Together", "Aligned").
inline constexpr const char* lastModeKey = "lastMode";

bool startInTray(const UserDefaults& defaults);
void setStartInTray(UserDefaults& defaults, bool on);
bool resumeLastMode(const UserDefaults& defaults);
void setResumeLastMode(UserDefaults& defaults, bool on);

// A mode the user chose, from the window or the menu; what the controller fell back to on its own
// is not a choice, so a start that could not have the mode keeps it for the next one.
void rememberChosenMode(QtUserDefaults& defaults, Mode mode);
// The mode a start begins in: the last chosen one when the user asked for that, else single (also
// when nothing, or something that names no mode, is stored).
Mode startMode(const QtUserDefaults& defaults);

// ---- Start at login ----

inline constexpr const char* autostartFileName = "io.github.housetone.Housetone.desktop";
// The key that marks an autostart entry as ours; a file of that name without it is the user's.
inline constexpr const char* autostartMarker = "X-Housetone-Autostart";

// $XDG_CONFIG_HOME/autostart/<autostartFileName>. XDG_CONFIG_HOME counts only as an absolute path;
// unset, empty or relative it is ~/.config. nullopt when there is no absolute home folder either.
std::optional<std::filesystem::path> autostartEntryPath();

// An Exec line's argument for `arg`, quoted and escaped so that the desktop runs exactly that
// path: inside double quotes '"', '`', '$' and '\' take a backslash, '%' is doubled (field codes),
// and the value's own escapes are applied on top ('\' as "\\", a newline as "\n").
std::string desktopExecArgument(const std::string& arg);
// The autostart entry that runs `program`.
std::string autostartEntryText(const std::filesystem::path& program);

enum class Autostart {
    none,      // no file
    on,        // ours, and the desktop starts it
    disabled,  // ours, but turned off in the desktop's own settings (Hidden, X-GNOME-...-enabled)
    foreign,   // not ours (no marker, not a plain file, unreadable): never written nor removed
};
Autostart autostartState(const std::filesystem::path& entry);

// Writes our entry for `program` (on) or removes it (off). nullopt when done, else why not, as a
// phrase that follows "Start at login not saved: ". A foreign file is left as it is.
std::optional<std::string> setStartAtLogin(const std::filesystem::path& entry,
                                           const std::filesystem::path& program, bool on);

}  // namespace housetone::ui
