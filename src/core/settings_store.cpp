#include "core/settings_store.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

namespace housetone {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct DecodeError {};

template <typename T>
T as(const json& j);

template <>
double as<double>(const json& j) {
    if (!j.is_number()) throw DecodeError{};
    return j.get<double>();
}
template <>
bool as<bool>(const json& j) {
    if (!j.is_boolean()) throw DecodeError{};
    return j.get<bool>();
}
template <>
std::string as<std::string>(const json& j) {
    if (!j.is_string()) throw DecodeError{};
    return j.get<std::string>();
}
template <>
int as<int>(const json& j) {
    if (j.is_number_integer()) {
        const auto v = j.get<std::int64_t>();
        if (v < INT32_MIN || v > INT32_MAX) throw DecodeError{};
        return static_cast<int>(v);
    }
    // A whole number written as 12.0 is still an integer; 12.5 is not.
    if (j.is_number_float()) {
        const double d = j.get<double>();
        if (std::trunc(d) != d || d < INT32_MIN || d > INT32_MAX) throw DecodeError{};
        return static_cast<int>(d);
    }
    throw DecodeError{};
}

template <typename V>
std::map<std::string, V> asMap(const json& j) {
    if (!j.is_object()) throw DecodeError{};
    std::map<std::string, V> out;
    for (const auto& [k, v] : j.items())
        out.emplace(k, as<V>(v));
    return out;
}

template <typename V>
std::map<std::string, V> required(const json& obj, const char* key) {
    const auto it = obj.find(key);
    if (it == obj.end()) throw DecodeError{};
    return asMap<V>(*it);
}

// A member that is absent or null counts as absent; any other value must have the right type.
const json* present(const json& obj, const char* key) {
    const auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return nullptr;
    return &*it;
}

template <typename V>
void optionalValue(const json& obj, const char* key, std::optional<V>& out) {
    if (const json* v = present(obj, key)) out = as<V>(*v);
}
template <typename V>
void optionalMap(const json& obj, const char* key, std::optional<std::map<std::string, V>>& out) {
    if (const json* v = present(obj, key)) out = asMap<V>(*v);
}

bool allFinite(const std::map<std::string, double>& m) {
    for (const auto& [k, v] : m)
        if (!std::isfinite(v)) return false;
    return true;
}

fs::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return fs::path("/");
}

enum class ReadResult { ok, missing, failed };

// `why` says what went wrong when the result is `failed`.
ReadResult readWhole(const fs::path& path, std::string& out, std::string& why) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (st.type() == fs::file_type::not_found) return ReadResult::missing;
    if (ec) {
        why = ec.message();
        return ReadResult::failed;
    }
    if (st.type() != fs::file_type::regular) {
        why = "not a regular file";
        return ReadResult::failed;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = std::strerror(errno);
        return ReadResult::failed;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) {
        why = "read error";
        return ReadResult::failed;
    }
    out = ss.str();
    return ReadResult::ok;
}

}  // namespace

std::optional<std::string> encodeConfig(const Config& c) {
    if (!allFinite(c.offsets) || !allFinite(c.measured)) return std::nullopt;
    if (c.crisp && !allFinite(*c.crisp)) return std::nullopt;
    if (c.engineTrimMs && !allFinite(*c.engineTrimMs)) return std::nullopt;
    if (c.pipelineMs && !std::isfinite(*c.pipelineMs)) return std::nullopt;

    json j = json::object();  // std::map underneath: members come out in sorted key order
    if (c.anchor) j["anchor"] = *c.anchor;
    if (c.bassBoost) j["bassBoost"] = *c.bassBoost;
    if (c.crisp) j["crisp"] = *c.crisp;
    if (c.engineTrimMs) j["engineTrimMs"] = *c.engineTrimMs;
    if (c.include) j["include"] = *c.include;
    j["measured"] = c.measured;
    if (c.micUID) j["micUID"] = *c.micUID;
    j["names"] = c.names;
    j["offsets"] = c.offsets;
    if (c.pipelineMs) j["pipelineMs"] = *c.pipelineMs;
    if (c.previousOutput) j["previousOutput"] = *c.previousOutput;
    if (c.volBoostPct) j["volBoostPct"] = *c.volBoostPct;
    return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<Config> decodeConfig(const std::string& text) {
    try {
        const json j = json::parse(text);
        if (!j.is_object()) return std::nullopt;
        Config c;
        c.offsets = required<double>(j, "offsets");
        c.names = required<std::string>(j, "names");
        c.measured = required<double>(j, "measured");
        optionalValue(j, "anchor", c.anchor);
        optionalValue(j, "previousOutput", c.previousOutput);
        optionalMap(j, "include", c.include);
        optionalValue(j, "pipelineMs", c.pipelineMs);
        optionalValue(j, "micUID", c.micUID);
        optionalValue(j, "bassBoost", c.bassBoost);
        optionalValue(j, "volBoostPct", c.volBoostPct);
        optionalMap(j, "crisp", c.crisp);
        optionalMap(j, "engineTrimMs", c.engineTrimMs);
        return c;
    } catch (const json::exception&) {
        return std::nullopt;
    } catch (const DecodeError&) {
        return std::nullopt;
    }
}

SettingsStore::SettingsStore(fs::path directory) : dir_(std::move(directory)) {}

const fs::path& SettingsStore::defaultStateDirectory() {
    static const fs::path dir = [] {
        // A relative XDG path is invalid and must be ignored (XDG Base Directory Specification).
        const char* state = std::getenv("XDG_STATE_HOME");
        if (state && fs::path(state).is_absolute()) return fs::path(state) / "vuzeda";
        return homeDirectory() / ".local/state/vuzeda";
    }();
    return dir;
}

Config SettingsStore::load() const {
    std::string text, why;
    if (readWhole(fileURL(fileName), text, why) != ReadResult::ok) return Config{};
    return decodeConfig(text).value_or(Config{});
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
    std::string existing, why;
    switch (readWhole(target, existing, why)) {
        case ReadResult::missing:
            break;
        case ReadResult::ok:
            // Keep the undecodable file before replacing it; if it cannot be kept, do not
            // replace it.
            if (!decodeConfig(existing) &&
                !writeFileAtomically(fileURL(unreadableName), existing, &why))
                return notWritten(quoted +
                                  " does not read as settings and cannot be kept aside as " +
                                  unreadableName + " (" + why + ")");
            break;
        case ReadResult::failed:
            // A file we cannot read cannot be kept aside either; replacing it would lose it.
            return notWritten("cannot read " + quoted + " (" + why +
                              "); it is kept as it is until it can be read");
    }
    if (!writeFileAtomically(target, *bytes, &why))
        return notWritten("cannot write " + quoted + " (" + why + ")");
    return {};
}

}  // namespace housetone
