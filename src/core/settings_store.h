#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/atomic_write.h"

namespace housetone {

// The persisted settings record ("offsets.json"). Optional members are left out of the file when
// absent; the three required maps make the whole file unreadable when any is missing.
// What a speaker measured over one kind of link (a Bluetooth profile and codec, or the plain
// device), so that the offset comes back when the link does.
struct LinkRecord {
    double offsetMs = 0;
    std::optional<double> reportedMs;  // the latency the device reported then, ms

    friend bool operator==(const LinkRecord&, const LinkRecord&) = default;
};

struct Config {
    std::optional<std::string> anchor;
    std::map<std::string, double> offsets;  // ms per UID
    std::map<std::string, std::string> names;
    std::map<std::string, double> measured;     // carried over unchanged by every save
    std::optional<std::string> previousOutput;  // carried over unchanged by every save
    std::optional<std::map<std::string, bool>> include;
    std::optional<double> pipelineMs;
    std::optional<std::string> micUID;
    std::optional<bool> bassBoost;
    std::optional<int> volBoostPct;
    std::optional<std::map<std::string, double>> crisp;
    std::optional<std::map<std::string, double>> engineTrimMs;  // carried over unchanged
    // When Auto-tune last set each speaker's offset, seconds since the epoch (UTC).
    std::optional<std::map<std::string, std::int64_t>> measuredAt;
    // UID -> link (as linkKey names it) -> what was measured over it.
    std::optional<std::map<std::string, std::map<std::string, LinkRecord>>> links;
    // Listening to keep the group in step while aligned plays; off unless the user turned it on.
    std::optional<bool> keepInStep;

    friend bool operator==(const Config&, const Config&) = default;
};

// JSON text with sorted keys, pretty-printed; nullopt when a value cannot be held by JSON
// (NaN or infinity), so that nothing is written rather than a null the next load would reject.
// Bytes that are not UTF-8 in a name or key are written as U+FFFD: one bad name must never cost
// the whole file.
std::optional<std::string> encodeConfig(const Config& c);

// What became of one save.
struct SaveResult {
    bool written = true;
    bool encodable = true;  // false: the record holds a value no JSON can (NaN, infinity)
    std::string problem;    // when not written: one line saying why (with the file or folder)
};

// Why a settings text was refused: one printable line naming the file and the member, as in
// `settings file "/home/a/.local/state/vuzeda/offsets.json": offsets.desk: must be a number, not
// a string`.
class SettingsError : public std::runtime_error {
  public:
    explicit SettingsError(const std::string& message);
};

// Reads a settings text the way the room file is read: bad JSON, a missing required map, a value
// of the wrong type, a volume boost outside 0…100 or a crisp amount
// outside 0…1 is refused with a SettingsError naming `fileName` and the member. Members nobody
// knows are ignored (a newer program's file still loads; they are not carried over).
// A bad "measuredAt" time is no reason to lose the file: it is left out, and `ignored` (when
// given) gets one line naming the file and the first such member, or stays empty.
Config readConfig(const std::string& text, const std::string& fileName,
                  std::string* ignored = nullptr);
// The same, for callers that only need to know whether the text is a record.
std::optional<Config> decodeConfig(const std::string& text);

// What reading the settings file found.
struct SettingsRead {
    enum class State {
        missing,     // no file: the first run
        read,        // `config` is the file's record
        invalid,     // the file's bytes are no record (`bytes` holds them, `problem` says why)
        unreadable,  // the file cannot be read at all (not a regular file, no permission, too
                     // large); `problem` says why
    };
    State state = State::missing;
    Config config;                       // the default record unless `read`
    std::string bytes;                   // what was read, when anything was
    std::optional<std::string> problem;  // one line, with the file's name, unless missing or read
    std::optional<std::string> ignored;  // when read: what was left out of it (readConfig)
};
// The one reader of the settings file: a regular file of bounded size (core/bounded_read.h),
// checked by readConfig.
SettingsRead readSettingsFile(const std::filesystem::path& path);

// The settings store over one state directory. Not thread-safe by design: every save, and every
// load that precedes one, runs on the main thread.
class SettingsStore {
  public:
    explicit SettingsStore(std::filesystem::path directory);

    // $XDG_STATE_HOME/vuzeda, or home + ".local/state/vuzeda" when XDG_STATE_HOME is unset or
    // not an absolute path; home from HOME, else the password database. Computed once.
    static const std::filesystem::path& defaultStateDirectory();

    const std::filesystem::path& stateDirectory() const { return dir_; }
    std::filesystem::path fileURL(const std::string& name) const { return dir_ / name; }

    // The file's record, or the default record when there is none or it cannot be used; then
    // `problem` (when given) gets one line saying why, naming the file (and the member, for a
    // file that reads but is no record), and stays empty for a missing file. The file itself is
    // left alone: the next save keeps it aside first, or does not replace it (save).
    Config load(std::optional<std::string>* problem = nullptr) const;
    // What the file holds, for a caller that says what became of a file it could not use.
    SettingsRead read() const { return readSettingsFile(fileURL(fileName)); }
    // Writes atomically; a file that exists but does not decode is first kept as
    // "offsets.json.unreadable" so a hand edit with one typo is not lost. A file that exists but
    // cannot be read (no permission, a directory) is never replaced. Says nothing itself: the
    // result tells whether the file was written and, if not, why.
    SaveResult save(const Config& c) const;
    // Why the state directory cannot hold the settings (it is a file, a loop of links, not
    // writable...), making it first when it is missing; nullopt when it can.
    std::optional<std::string> folderProblem() const;

    static constexpr const char* fileName = "offsets.json";
    static constexpr const char* unreadableName = "offsets.json.unreadable";

  private:
    std::filesystem::path dir_;
};

}  // namespace housetone
