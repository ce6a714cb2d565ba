#include "core/settings_store.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <system_error>

#include "core/base_dirs.h"
#include "core/bounded_read.h"
#include "core/json_text.h"
#include "core/printable.h"

namespace housetone {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Far beyond any real record (a few hundred speakers' names and offsets); a log file or a device
// given by mistake is refused before it is read.
constexpr std::size_t maxFileBytes = std::size_t{4} << 20;

// The last second of the year 9999: a time beyond it is no time this program wrote.
constexpr std::int64_t latestTime = 253402300799;

// Checks a parsed settings document member by member. Every refusal names the file and the member
// by its path (offsets.desk), the way a person finds it in the file. Members nobody knows are
// left alone: a newer program's file still loads.
class SettingsReader {
  public:
    explicit SettingsReader(std::string fileName) : fileName_(std::move(fileName)) {}

    Config read(const std::string& text, std::string* ignored) const {
        const json doc = parseJsonOrThrow<SettingsError>(text, "settings file", fileName_);
        if (!doc.is_object()) fail("top level", "must be an object, not " + describeJson(doc));
        Config c;
        c.offsets = requiredMap<double>(doc, "offsets");
        c.names = requiredMap<std::string>(doc, "names");
        c.measured = requiredMap<double>(doc, "measured");
        optionalValue(doc, "anchor", c.anchor);
        optionalValue(doc, "previousOutput", c.previousOutput);
        optionalMap(doc, "include", c.include);
        optionalValue(doc, "pipelineMs", c.pipelineMs);
        optionalValue(doc, "micUID", c.micUID);
        optionalValue(doc, "bassBoost", c.bassBoost);
        optionalValue(doc, "volBoostPct", c.volBoostPct);
        if (c.volBoostPct && (*c.volBoostPct < 0 || *c.volBoostPct > 100))
            fail("volBoostPct",
                 "must be a whole number from 0 to 100, not " + std::to_string(*c.volBoostPct));
        optionalMap(doc, "crisp", c.crisp);
        if (c.crisp) {
            for (const auto& [uid, amount] : *c.crisp)
                if (amount < 0 || amount > 1)
                    fail("crisp." + uid,
                         "must be a number from 0 to 1, not " + json(amount).dump());
        }
        optionalMap(doc, "engineTrimMs", c.engineTrimMs);
        c.measuredAt = times(doc, "measuredAt", ignored);
        optionalValue(doc, "keepInStep", c.keepInStep);
        if (const json* v = present(doc, "links")) {
            c.links.emplace();
            for (const auto& [uid, perLink] : asMap<json>(*v, "links"))
                (*c.links)[uid] = asMap<LinkRecord>(perLink, "links." + uid);
        }
        return c;
    }

  private:
    [[noreturn]] void fail(const std::string& where, const std::string& problem) const {
        throw SettingsError("settings file \"" + fileName_ + "\": " + where + ": " + problem);
    }

    template <typename T>
    T as(const json& j, const std::string& where) const;

    template <typename V>
    std::map<std::string, V> asMap(const json& j, const std::string& where) const {
        if (!j.is_object()) fail(where, "must be an object, not " + describeJson(j));
        std::map<std::string, V> out;
        for (const auto& [k, v] : j.items())
            out.emplace(k, as<V>(v, where + "." + k));
        return out;
    }

    template <typename V>
    std::map<std::string, V> requiredMap(const json& obj, const char* key) const {
        const auto it = obj.find(key);
        if (it == obj.end()) fail(key, "is required");
        return asMap<V>(*it, key);
    }

    // A member that is absent or null counts as absent; any other value must have the right type.
    static const json* present(const json& obj, const char* key) {
        const auto it = obj.find(key);
        if (it == obj.end() || it->is_null()) return nullptr;
        return &*it;
    }

    template <typename V>
    void optionalValue(const json& obj, const char* key, std::optional<V>& out) const {
        if (const json* v = present(obj, key)) out = as<V>(*v, key);
    }
    template <typename V>
    void optionalMap(const json& obj, const char* key,
                     std::optional<std::map<std::string, V>>& out) const {
        if (const json* v = present(obj, key)) out = asMap<V>(*v, key);
    }

    // Only a hint for the user, so a bad time costs itself alone: every time that is not a whole
    // number of seconds in [0, latestTime] is left out, the first one named in `ignored`.
    std::optional<std::map<std::string, std::int64_t>> times(const json& obj, const char* key,
                                                             std::string* ignored) const {
        const json* v = present(obj, key);
        if (!v) return std::nullopt;
        const auto leftOut = [&](const std::string& where, const std::string& problem,
                                 std::size_t more) {
            if (!ignored) return;
            *ignored = "settings file \"" + fileName_ + "\": " + where + ": " + problem +
                       "; ignored" +
                       (more ? " (and " + std::to_string(more) + " more like it)" : "");
        };
        if (!v->is_object()) {
            leftOut(key, "must be an object, not " + describeJson(*v), 0);
            return std::nullopt;
        }
        std::map<std::string, std::int64_t> out;
        std::vector<std::pair<std::string, std::string>> bad;
        for (const auto& [uid, t] : v->items()) {
            const bool whole =
                t.is_number_integer() ||
                (t.is_number_float() && std::trunc(t.get<double>()) == t.get<double>());
            const double seconds = t.is_number() ? t.get<double>() : -1;
            if (!whole || seconds < 0 || seconds > double(latestTime)) {
                bad.emplace_back(std::string(key) + "." + uid,
                                 "must be a whole number of seconds from 0 to " +
                                     std::to_string(latestTime) + ", not " +
                                     (t.is_number() ? t.dump() : describeJson(t)));
                continue;
            }
            out.emplace(uid, static_cast<std::int64_t>(seconds));
        }
        if (!bad.empty()) leftOut(bad.front().first, bad.front().second, bad.size() - 1);
        return out;
    }

    std::string fileName_;
};

template <>
double SettingsReader::as<double>(const json& j, const std::string& where) const {
    if (!j.is_number()) fail(where, "must be a number, not " + describeJson(j));
    // Always finite: the parser refuses a number beyond a double (1e400) as bad JSON, and JSON
    // has no NaN.
    return j.get<double>();
}
template <>
json SettingsReader::as<json>(const json& j, const std::string&) const {
    return j;
}
template <>
LinkRecord SettingsReader::as<LinkRecord>(const json& j, const std::string& where) const {
    if (!j.is_object()) fail(where, "must be an object, not " + describeJson(j));
    LinkRecord r;
    const auto it = j.find("offsetMs");
    if (it == j.end()) fail(where + ".offsetMs", "is required");
    r.offsetMs = as<double>(*it, where + ".offsetMs");
    if (const auto rep = j.find("reportedMs"); rep != j.end() && !rep->is_null())
        r.reportedMs = as<double>(*rep, where + ".reportedMs");
    return r;
}
template <>
bool SettingsReader::as<bool>(const json& j, const std::string& where) const {
    if (!j.is_boolean()) fail(where, "must be true or false, not " + describeJson(j));
    return j.get<bool>();
}
template <>
std::string SettingsReader::as<std::string>(const json& j, const std::string& where) const {
    if (!j.is_string()) fail(where, "must be a string, not " + describeJson(j));
    return j.get<std::string>();
}
template <>
int SettingsReader::as<int>(const json& j, const std::string& where) const {
    const std::string whole = "must be a whole number, not ";
    if (j.is_number_integer()) {
        const auto v = j.get<std::int64_t>();
        if (v < INT32_MIN || v > INT32_MAX) fail(where, whole + j.dump());
        return static_cast<int>(v);
    }
    // A whole number written as 12.0 is still an integer; 12.5 is not.
    if (j.is_number_float()) {
        const double d = j.get<double>();
        if (std::trunc(d) != d || d < INT32_MIN || d > INT32_MAX) fail(where, whole + j.dump());
        return static_cast<int>(d);
    }
    fail(where, whole + describeJson(j));
}

bool allFinite(const std::map<std::string, double>& m) {
    for (const auto& [k, v] : m)
        if (!std::isfinite(v)) return false;
    return true;
}

}  // namespace

SettingsError::SettingsError(const std::string& message) : std::runtime_error(printable(message)) {}

std::optional<std::string> encodeConfig(const Config& c) {
    if (!allFinite(c.offsets) || !allFinite(c.measured)) return std::nullopt;
    if (c.crisp && !allFinite(*c.crisp)) return std::nullopt;
    if (c.engineTrimMs && !allFinite(*c.engineTrimMs)) return std::nullopt;
    if (c.pipelineMs && !std::isfinite(*c.pipelineMs)) return std::nullopt;
    if (c.links)
        for (const auto& [uid, perLink] : *c.links)
            for (const auto& [link, r] : perLink)
                if (!std::isfinite(r.offsetMs) || (r.reportedMs && !std::isfinite(*r.reportedMs)))
                    return std::nullopt;

    json j = json::object();  // std::map underneath: members come out in sorted key order
    if (c.anchor) j["anchor"] = *c.anchor;
    if (c.bassBoost) j["bassBoost"] = *c.bassBoost;
    if (c.crisp) j["crisp"] = *c.crisp;
    if (c.engineTrimMs) j["engineTrimMs"] = *c.engineTrimMs;
    if (c.include) j["include"] = *c.include;
    if (c.keepInStep) j["keepInStep"] = *c.keepInStep;
    if (c.links) {
        json links = json::object();
        for (const auto& [uid, perLink] : *c.links)
            for (const auto& [link, r] : perLink) {
                json& e = links[uid][link];
                e["offsetMs"] = r.offsetMs;
                if (r.reportedMs) e["reportedMs"] = *r.reportedMs;
            }
        j["links"] = links;
    }
    j["measured"] = c.measured;
    if (c.measuredAt) j["measuredAt"] = *c.measuredAt;
    if (c.micUID) j["micUID"] = *c.micUID;
    j["names"] = c.names;
    j["offsets"] = c.offsets;
    if (c.pipelineMs) j["pipelineMs"] = *c.pipelineMs;
    if (c.previousOutput) j["previousOutput"] = *c.previousOutput;
    if (c.volBoostPct) j["volBoostPct"] = *c.volBoostPct;
    return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

Config readConfig(const std::string& text, const std::string& fileName, std::string* ignored) {
    std::string leftOut;
    Config c = SettingsReader(fileName).read(text, &leftOut);
    if (ignored) *ignored = printable(leftOut);
    return c;
}

std::optional<Config> decodeConfig(const std::string& text) {
    try {
        return readConfig(text, SettingsStore::fileName);
    } catch (const SettingsError&) {
        return std::nullopt;
    }
}

SettingsRead readSettingsFile(const fs::path& path) {
    // Missing is the first run, not a fault. Followed through links, as the save writes through
    // them.
    std::error_code ec;
    if (fs::status(path, ec).type() == fs::file_type::not_found) return {};
    const std::string quoted = "\"" + path.string() + "\"";
    SettingsRead r{.state = SettingsRead::State::unreadable};
    std::string why;
    if (!readRegularFile(path, maxFileBytes, r.bytes, &why)) {
        r.problem = "cannot read " + quoted + " (" + why + ")";
        return r;
    }
    try {
        std::string ignored;
        r.config = readConfig(r.bytes, path.string(), &ignored);
        r.state = SettingsRead::State::read;
        if (!ignored.empty()) r.ignored = std::move(ignored);
    } catch (const SettingsError& e) {
        r.state = SettingsRead::State::invalid;
        r.problem = e.what();
    }
    return r;
}

SettingsStore::SettingsStore(fs::path directory) : dir_(std::move(directory)) {}

const fs::path& SettingsStore::defaultStateDirectory() {
    static const fs::path dir =
        baseDirectory("XDG_STATE_HOME", ".local/state").value_or("/.local/state") / "vuzeda";
    return dir;
}

Config SettingsStore::load(std::optional<std::string>* problem) const {
    SettingsRead r = read();
    if (problem) *problem = r.problem;
    return r.config;
}

std::optional<std::string> SettingsStore::folderProblem() const {
    std::error_code ec;
    fs::create_directories(dir_, ec);
    const auto unusable = [&](const std::string& why) {
        return "the settings folder \"" + dir_.string() + "\" cannot be used: " + why;
    };
    struct stat st {};
    if (::stat(dir_.c_str(), &st) != 0) return unusable(std::strerror(errno));
    if (!S_ISDIR(st.st_mode)) return unusable("it is not a folder");
    if (::access(dir_.c_str(), W_OK | X_OK) != 0) return unusable(std::strerror(errno));
    return std::nullopt;
}

SaveResult SettingsStore::save(const Config& c) const {
    const auto notWritten = [](std::string problem) {
        return SaveResult{.written = false, .problem = std::move(problem)};
    };
    const auto bytes = encodeConfig(c);
    if (!bytes) {
        return {.written = false,
                .encodable = false,
                .problem = "a value is not a finite number, which the file cannot hold"};
    }
    if (auto problem = folderProblem()) return notWritten(std::move(*problem));
    const fs::path target = fileURL(fileName);
    const std::string quoted = "\"" + target.string() + "\"";
    const SettingsRead existing = readSettingsFile(target);
    std::string why;
    switch (existing.state) {
        case SettingsRead::State::missing:
        case SettingsRead::State::read:
            break;
        case SettingsRead::State::invalid:
            // Keep the undecodable file before replacing it; if it cannot be kept, do not
            // replace it.
            if (!writeFileAtomically(fileURL(unreadableName), existing.bytes, &why))
                return notWritten(quoted +
                                  " does not read as settings and cannot be kept aside as " +
                                  unreadableName + " (" + why + ")");
            break;
        case SettingsRead::State::unreadable:
            // A file we cannot read cannot be kept aside either; replacing it would lose it.
            return notWritten(existing.problem.value_or("cannot read " + quoted) +
                              "; it is kept as it is until it can be read");
    }
    if (!writeFileAtomically(target, *bytes, &why))
        return notWritten("cannot write " + quoted + " (" + why + ")");
    return {};
}

}  // namespace housetone
