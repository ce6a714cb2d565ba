#include "audio/sim/room.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>
#include <utility>

#include "audio/sound_file.h"
#include "core/bounded_read.h"
#include "core/fourcc.h"
#include "core/json_text.h"
#include "core/printable.h"

namespace housetone::sim {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr std::pair<std::string_view, std::uint32_t> kTransportNames[] = {
    {"builtin", fourcc("bltn")}, {"bluetooth", fourcc("blue")}, {"bluetooth-le", fourcc("blea")},
    {"usb", fourcc("usb ")},     {"hdmi", fourcc("hdmi")},      {"displayport", fourcc("dprt")},
    {"virtual", fourcc("virt")}, {"aggregate", fourcc("grup")}, {"other", 0},
};

constexpr std::pair<std::string_view, MicPermissionState> kMicPermissions[] = {
    {"notDetermined", MicPermissionState::notDetermined},
    {"restricted", MicPermissionState::restricted},
    {"denied", MicPermissionState::denied},
    {"authorized", MicPermissionState::authorized},
};

constexpr std::pair<std::string_view, SystemAudioPermission> kSystemAudioPermissions[] = {
    {"granted", SystemAudioPermission::granted},
    {"silent", SystemAudioPermission::silent},
    {"refused", SystemAudioPermission::refused},
};

// Bounds that keep a typo from asking the simulation for absurd allocations or from feeding
// infinity into the mix.
constexpr long long kMaxChannels = 1024;
constexpr long long kMaxBufferFrames = 8192;
constexpr double kMinRate = 8000, kMaxRate = 384000;
// The longest delay the engine can hold back a speaker by; a room whose own delays are longer
// could never be aligned.
constexpr double kMaxDelayMs = 5000;
constexpr double kMaxDistanceM = 1000;
constexpr double kMaxLevel = 100;  // +40 dB
constexpr double kMinLevelDb = -120, kMaxLevelDb = 0;
constexpr double kMaxNoiseRms = 1;
// A link's changes: as many as a long test could want, within a day of world time.
constexpr std::size_t kMaxChanges = 256;
constexpr double kMaxChangeSeconds = 86400;
constexpr double kMaxGoneSeconds = 3600;
constexpr double kMaxDriftPpm = 500;
constexpr double kMaxWobbleMs = 100;
constexpr std::size_t kMaxLinkNameBytes = 64;
// The engine serves this many speakers.
constexpr std::size_t kMaxDevices = 64;
constexpr std::uint64_t kMemoryBudgetBytes = std::uint64_t{512} << 20;

std::string numberText(double x) {
    std::ostringstream s;
    s << x;
    return s.str();
}

std::string bytesText(std::uint64_t bytes) {
    std::ostringstream s;
    s.precision(2);
    s << std::fixed << static_cast<double>(bytes) / (1 << 30) << " GiB";
    return s.str();
}

std::string child(const std::string& where, std::string_view key) {
    return where.empty() ? std::string(key) : where + "." + std::string(key);
}

std::string indexed(std::string_view list, std::size_t i) {
    return std::string(list) + "[" + std::to_string(i) + "]";
}

template <typename Table>
std::string wordList(const Table& table) {
    std::string out;
    for (std::size_t i = 0; i < std::size(table); ++i) {
        if (i > 0) out += i + 1 == std::size(table) ? " or " : ", ";
        out += std::string(table[i].first);
    }
    return out;
}

// The largest latency an output is ever set to: its own or a change's.
double largestSetLatencyMs(const OutputSpec& o) {
    double largest = o.latencyMs;
    for (const LinkChange& c : o.changes)
        largest = std::max(largest, c.latencyMs.value_or(0));
    return largest;
}

// Validates a parsed room document member by member. Every failure names the member by its path
// (outputs[1].latencyMs), the way a person finds it in the file.
class RoomReader {
  public:
    RoomReader(std::string fileName, fs::path baseDir)
        : fileName_(std::move(fileName)), baseDir_(std::move(baseDir)) {}

    RoomSpec read(const json& doc) const {
        if (!doc.is_object()) fail("top level", "must be an object, not " + describeJson(doc));
        onlyKnown(doc, "",
                  {"sampleRate", "bufferFrames", "seed", "systemAudio", "systemAudioLevelDb",
                   "outputs", "inputs", "defaultOutput", "defaultInput", "microphonePermission",
                   "microphoneRequestAnswer", "systemAudioPermission"});
        RoomSpec room;
        number(doc, "", "sampleRate", kMinRate, kMaxRate, room.sampleRate);
        if (const json* v = find(doc, "bufferFrames")) {
            room.bufferFrames =
                static_cast<int>(wholeNumber(*v, "bufferFrames", 1, kMaxBufferFrames));
        }
        if (const json* v = find(doc, "seed")) room.seed = seed(*v);
        if (const json* v = find(doc, "systemAudio"))
            room.systemAudio = systemAudio(*v, room.sampleRate);
        number(doc, "", "systemAudioLevelDb", kMinLevelDb, kMaxLevelDb, room.systemAudioLevelDb);

        std::map<std::string, std::size_t> outputUids;
        if (const json* list = devices(doc, "outputs")) {
            for (std::size_t i = 0; i < list->size(); ++i) {
                const std::string where = indexed("outputs", i);
                room.outputs.push_back(output((*list)[i], where));
                unique(outputUids, room.outputs.back().uid, "outputs", i);
            }
        }
        std::map<std::string, std::size_t> inputUids;
        if (const json* list = devices(doc, "inputs")) {
            for (std::size_t i = 0; i < list->size(); ++i) {
                const std::string where = indexed("inputs", i);
                room.inputs.push_back(input((*list)[i], where));
                unique(inputUids, room.inputs.back().uid, "inputs", i);
            }
        }
        room.defaultOutput = defaultDevice(doc, "defaultOutput", outputUids, "output");
        room.defaultInput = defaultDevice(doc, "defaultInput", inputUids, "input");

        if (const json* v = find(doc, "microphonePermission")) {
            room.microphonePermission = word(*v, "microphonePermission", kMicPermissions);
        }
        flag(doc, "", "microphoneRequestAnswer", room.microphoneRequestAnswer);
        if (const json* v = find(doc, "systemAudioPermission")) {
            room.systemAudioPermission = word(*v, "systemAudioPermission", kSystemAudioPermissions);
        }
        if (const std::uint64_t bytes = roomMemoryBytes(room); bytes > kMemoryBudgetBytes) {
            fail("top level",
                 "the room would need " + bytesText(bytes) + " of memory, more than " +
                     bytesText(kMemoryBudgetBytes) +
                     " (use fewer channels, a smaller bufferFrames or shorter delays)");
        }
        return room;
    }

  private:
    [[noreturn]] void fail(const std::string& where, const std::string& problem) const {
        throw RoomError("room file \"" + fileName_ + "\": " + where + ": " + problem);
    }

    static const json* find(const json& obj, const char* key) {
        const auto it = obj.find(key);
        return it == obj.end() ? nullptr : &*it;
    }

    void onlyKnown(const json& obj, const std::string& where,
                   std::initializer_list<std::string_view> known) const {
        for (const auto& [key, value] : obj.items()) {
            if (std::find(known.begin(), known.end(), key) == known.end()) {
                fail(child(where, key), "unknown member");
            }
        }
    }

    void requireObject(const json& v, const std::string& where) const {
        if (!v.is_object()) fail(where, "must be an object, not " + describeJson(v));
    }

    const json* array(const json& obj, const char* key) const {
        const json* v = find(obj, key);
        if (v && !v->is_array()) fail(key, "must be an array, not " + describeJson(*v));
        return v;
    }

    const json* devices(const json& obj, const char* key) const {
        const json* list = array(obj, key);
        if (list && list->size() > kMaxDevices) {
            fail(key, "must hold at most " + std::to_string(kMaxDevices) +
                          " devices (the engine serves " + std::to_string(kMaxDevices) +
                          " speakers), not " + std::to_string(list->size()));
        }
        return list;
    }

    void number(const json& obj, const std::string& where, const char* key, double min, double max,
                double& out) const {
        const json* v = find(obj, key);
        if (!v) return;
        const std::string path = child(where, key);
        const std::string what = "a number from " + numberText(min) + " to " + numberText(max);
        out = finiteNumber(*v, path, what);
        if (out < min || out > max) fail(path, "must be " + what + ", not " + v->dump());
    }

    double finiteNumber(const json& v, const std::string& where, const std::string& what) const {
        if (!v.is_number()) fail(where, "must be " + what + ", not " + describeJson(v));
        const double x = v.get<double>();
        if (!std::isfinite(x)) fail(where, "must be " + what + ", not " + v.dump());
        return x;
    }

    void flag(const json& obj, const std::string& where, const char* key, bool& out) const {
        const json* v = find(obj, key);
        if (!v) return;
        if (!v->is_boolean())
            fail(child(where, key), "must be true or false, not " + describeJson(*v));
        out = v->get<bool>();
    }

    long long wholeNumber(const json& v, const std::string& where, long long min,
                          long long max) const {
        const std::string what =
            "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
        const double x = finiteNumber(v, where, what);
        // 512.0 is as good as 512: some writers emit every number as a float.
        if (x != std::floor(x) || x < static_cast<double>(min) || x > static_cast<double>(max)) {
            fail(where, "must be " + what + ", not " + v.dump());
        }
        return static_cast<long long>(x);
    }

    std::uint64_t seed(const json& v) const {
        const std::string what = "a whole number >= 0";
        if (v.is_number_unsigned()) return v.get<std::uint64_t>();
        const double x = finiteNumber(v, "seed", what);
        if (x < 0 || x != std::floor(x) || x >= 18446744073709551616.0) {
            fail("seed", "must be " + what + " below 2^64, not " + v.dump());
        }
        return static_cast<std::uint64_t>(x);
    }

    std::string string(const json& v, const std::string& where) const {
        if (!v.is_string()) fail(where, "must be a string, not " + describeJson(v));
        return v.get<std::string>();
    }

    std::string required(const json& obj, const std::string& where, const char* key) const {
        const json* v = find(obj, key);
        if (!v) fail(child(where, key), "is required");
        return string(*v, child(where, key));
    }

    template <typename T, std::size_t N>
    T word(const json& v, const std::string& where,
           const std::pair<std::string_view, T> (&table)[N]) const {
        const std::string s = string(v, where);
        for (const auto& [name, value] : table) {
            if (name == s) return value;
        }
        fail(where, "unknown value \"" + s + "\" (expected " + wordList(table) + ")");
    }

    std::string systemAudio(const json& v, double rate) const {
        const std::string s = string(v, "systemAudio");
        if (s == "music" || s == "speech" || s == "tonal" || s == "gaps" || s == "silence")
            return s;
        // A room file's own directory is where its sounds sit; a path as given (relative to the
        // working directory) is still honoured for rooms written that way.
        std::vector<std::string> candidates;
        if (!baseDir_.empty() && fs::path(s).is_relative())
            candidates.push_back((baseDir_ / s).string());
        candidates.push_back(s);
        for (const std::string& path : candidates) {
            const auto wav = readWav(path);
            if (!wav || wav->samples.empty()) continue;
            if (resampledFrames(*wav, rate)) return path;
            fail("systemAudio", "\"" + s + "\" would be too long at " + numberText(rate) +
                                    " Hz (at most " + std::to_string(kMaxWavSamples / 2) +
                                    " frames)");
        }
        fail("systemAudio", "cannot read \"" + s +
                                "\" as a WAV file with samples (expected \"music\", \"speech\", "
                                "\"tonal\", \"gaps\", \"silence\" or the path of a WAV file)");
    }

    std::uint32_t transport(const json& obj, const std::string& where) const {
        const std::string path = child(where, "transport");
        const std::string s = required(obj, where, "transport");
        if (const auto code = transportFromName(s)) return *code;
        fail(path, "unknown transport \"" + s + "\" (expected a four-character code such as " +
                       "\"usb \" or one of " + wordList(kTransportNames) + ")");
    }

    // Names and UIDs are shown, logged and stored as the PipeWire backend's are: printable.
    std::string uid(const json& obj, const std::string& where) const {
        std::string s = required(obj, where, "uid");
        if (s.empty()) fail(child(where, "uid"), "must not be empty");
        return printableUID(s);
    }

    void unique(std::map<std::string, std::size_t>& seen, const std::string& uid,
                std::string_view list, std::size_t i) const {
        const auto [it, inserted] = seen.emplace(uid, i);
        if (!inserted) {
            fail(child(indexed(list, i), "uid"),
                 "\"" + uid + "\" is already used by " + indexed(list, it->second));
        }
    }

    std::optional<std::string> defaultDevice(const json& doc, const char* key,
                                             const std::map<std::string, std::size_t>& uids,
                                             const std::string& kind) const {
        const json* v = find(doc, key);
        if (!v) return std::nullopt;
        std::string s = printableUID(string(*v, key));
        if (!uids.contains(s)) fail(key, "\"" + s + "\" is the uid of no " + kind);
        return s;
    }

    // "channels" of an output or input: a whole number from 0 (no stream in that direction).
    int channels(const json& v, const std::string& where, int fallback) const {
        const json* c = find(v, "channels");
        if (!c) return fallback;
        return static_cast<int>(wholeNumber(*c, child(where, "channels"), 0, kMaxChannels));
    }

    OutputSpec output(const json& v, const std::string& where) const {
        requireObject(v, where);
        onlyKnown(v, where, {"name",
                             "uid",
                             "transport",
                             "channels",
                             "latencyMs",
                             "distanceM",
                             "level",
                             "volume",
                             "hasVolume",
                             "hasMute",
                             "muted",
                             "rate",
                             "jitterMs",
                             "reflections",
                             "codec",
                             "profile",
                             "reportedLatencyMs",
                             "driftPpm",
                             "wobbleMs",
                             "changes"});
        OutputSpec o;
        o.name = printable(required(v, where, "name"));
        o.uid = uid(v, where);
        o.transport = transport(v, where);
        o.channels = channels(v, where, o.channels);
        number(v, where, "latencyMs", 0, kMaxDelayMs, o.latencyMs);
        number(v, where, "distanceM", 0, kMaxDistanceM, o.distanceM);
        number(v, where, "level", 0, kMaxLevel, o.level);
        number(v, where, "volume", 0, 1, o.volume);
        flag(v, where, "hasVolume", o.hasVolume);
        flag(v, where, "hasMute", o.hasMute);
        flag(v, where, "muted", o.muted);
        if (find(v, "rate")) {
            double rate = 0;
            number(v, where, "rate", kMinRate, kMaxRate, rate);
            o.rate = rate;
        }
        number(v, where, "jitterMs", 0, kMaxDelayMs, o.jitterMs);
        if (const json* list = find(v, "reflections")) {
            const std::string path = child(where, "reflections");
            if (!list->is_array()) fail(path, "must be an array, not " + describeJson(*list));
            for (std::size_t i = 0; i < list->size(); ++i) {
                const json& r = (*list)[i];
                const std::string at = indexed(path, i);
                requireObject(r, at);
                onlyKnown(r, at, {"delayMs", "level"});
                Reflection reflection;
                number(r, at, "delayMs", 0, kMaxDelayMs, reflection.delayMs);
                number(r, at, "level", 0, kMaxLevel, reflection.level);
                o.reflections.push_back(reflection);
            }
        }
        link(v, where, o.codec, o.profile, o.reportedLatencyMs);
        number(v, where, "driftPpm", -kMaxDriftPpm, kMaxDriftPpm, o.driftPpm);
        number(v, where, "wobbleMs", 0, kMaxWobbleMs, o.wobbleMs);
        if (const json* list = find(v, "changes"))
            o.changes = changes(*list, child(where, "changes"));
        drifting(o, where);
        return o;
    }

    // What a link says of itself: its codec, its profile and the latency it reports.
    void link(const json& v, const std::string& where, std::optional<std::string>& codec,
              std::optional<std::string>& profile, std::optional<double>& reported) const {
        codec = linkName(v, where, "codec", codec);
        profile = linkName(v, where, "profile", profile);
        if (find(v, "reportedLatencyMs")) {
            double ms = 0;
            number(v, where, "reportedLatencyMs", 0, kMaxDelayMs, ms);
            reported = ms;
        }
    }

    std::optional<std::string> linkName(const json& v, const std::string& where, const char* key,
                                        const std::optional<std::string>& fallback) const {
        const json* s = find(v, key);
        if (!s) return fallback;
        const std::string path = child(where, key);
        std::string name = printable(string(*s, path));
        if (name.empty()) fail(path, "must not be empty (leave it out when the link says nothing)");
        if (name.size() > kMaxLinkNameBytes) {
            fail(path, "must be at most " + std::to_string(kMaxLinkNameBytes) + " bytes, not " +
                           std::to_string(name.size()));
        }
        return name;
    }

    std::vector<LinkChange> changes(const json& list, const std::string& where) const {
        if (!list.is_array()) fail(where, "must be an array, not " + describeJson(list));
        if (list.size() > kMaxChanges) {
            fail(where, "must hold at most " + std::to_string(kMaxChanges) + " changes, not " +
                            std::to_string(list.size()));
        }
        std::vector<LinkChange> out;
        for (std::size_t i = 0; i < list.size(); ++i) {
            const json& c = list[i];
            const std::string at = indexed(where, i);
            requireObject(c, at);
            onlyKnown(
                c, at,
                {"atSeconds", "latencyMs", "codec", "profile", "reportedLatencyMs", "goneSeconds"});
            LinkChange change;
            if (!find(c, "atSeconds")) fail(child(at, "atSeconds"), "is required");
            number(c, at, "atSeconds", 0, kMaxChangeSeconds, change.atSeconds);
            if (!out.empty()) {
                const LinkChange& before = out.back();
                if (change.atSeconds <= before.atSeconds) {
                    fail(child(at, "atSeconds"), "must be later than the change before it (" +
                                                     numberText(before.atSeconds) + " s), not " +
                                                     numberText(change.atSeconds));
                }
                if (change.atSeconds < before.atSeconds + before.goneSeconds) {
                    fail(child(at, "atSeconds"),
                         "falls while the device is gone (it is back at " +
                             numberText(before.atSeconds + before.goneSeconds) + " s)");
                }
            }
            if (find(c, "latencyMs")) {
                double ms = 0;
                number(c, at, "latencyMs", 0, kMaxDelayMs, ms);
                change.latencyMs = ms;
            }
            link(c, at, change.codec, change.profile, change.reportedLatencyMs);
            number(c, at, "goneSeconds", 0, kMaxGoneSeconds, change.goneSeconds);
            out.push_back(change);
        }
        return out;
    }

    // A drifting latency must stay within the engine's reach for the whole horizon.
    void drifting(const OutputSpec& o, const std::string& where) const {
        const double largest = largestSetLatencyMs(o);
        const double driftMs = o.driftPpm * 1e-6 * kDriftHorizonSeconds * 1000;
        if (largest + driftMs > kMaxDelayMs) {
            fail(child(where, "driftPpm"),
                 numberText(o.driftPpm) + " ppm would carry its latency of up to " +
                     numberText(largest) + " ms past " + numberText(kMaxDelayMs) + " ms within " +
                     numberText(kDriftHorizonSeconds) + " s");
        }
    }

    InputSpec input(const json& v, const std::string& where) const {
        requireObject(v, where);
        onlyKnown(v, where, {"name", "uid", "transport", "channels", "noiseRms"});
        InputSpec in;
        in.name = printable(required(v, where, "name"));
        in.uid = uid(v, where);
        in.transport = transport(v, where);
        in.channels = channels(v, where, in.channels);
        number(v, where, "noiseRms", 0, kMaxNoiseRms, in.noiseRms);
        return in;
    }

    std::string fileName_;
    fs::path baseDir_;  // where relative WAV paths are looked for first; empty: working directory
};

RoomSpec parseRoomIn(const std::string& text, const std::string& fileName,
                     const fs::path& baseDir) {
    const json doc = parseJsonOrThrow<RoomError>(text, "room file", fileName);
    return RoomReader(fileName, baseDir).read(doc);
}

OutputSpec speaker(std::string name, std::string uid, std::uint32_t transport, double latencyMs,
                   double distanceM, double level) {
    OutputSpec o;
    o.name = std::move(name);
    o.uid = std::move(uid);
    o.transport = transport;
    o.latencyMs = latencyMs;
    o.distanceM = distanceM;
    o.level = level;
    return o;
}

}  // namespace

RoomError::RoomError(const std::string& message) : std::runtime_error(printable(message)) {}

RoomSpec parseRoom(const std::string& text, const std::string& fileName) {
    return parseRoomIn(text, fileName, {});
}

RoomSpec loadRoomFile(const std::string& path) {
    // Far beyond any room of 64 speakers; /dev/zero or a log file given by mistake is refused.
    constexpr std::size_t maxBytes = std::size_t{4} << 20;
    std::string text, why;
    if (!readRegularFile(path, maxBytes, text, &why))
        throw RoomError("room file \"" + path + "\": cannot be read: " + why);
    return parseRoomIn(text, path, fs::path(path).parent_path());
}

double reachLatencyMs(const OutputSpec& device) {
    return largestSetLatencyMs(device) + device.jitterMs + device.wobbleMs +
           std::max(0.0, device.driftPpm) * 1e-6 * kDriftHorizonSeconds * 1000;
}

std::size_t outputHistoryFrames(const OutputSpec& device, double sampleRate, int bufferFrames) {
    double maxReflectionMs = 0;
    for (const auto& r : device.reflections)
        maxReflectionMs = std::max(maxReflectionMs, r.delayMs);
    const double reach =
        ((reachLatencyMs(device) + maxReflectionMs) / 1000.0 + device.distanceM / kSpeedOfSound) *
        sampleRate;
    return std::bit_ceil(static_cast<std::size_t>(reach) +
                         static_cast<std::size_t>(bufferFrames) * 2 + 2);
}

std::uint64_t roomMemoryBytes(const RoomSpec& room) {
    const auto frames = static_cast<std::uint64_t>(room.bufferFrames);
    // Each channel is held per buffer by the device, by an aggregate over every device and by the
    // callback's buffer list.
    std::uint64_t samples = 0;
    for (const OutputSpec& o : room.outputs) {
        samples += outputHistoryFrames(o, room.sampleRate, room.bufferFrames);
        samples += 3 * frames * static_cast<std::uint64_t>(std::max(o.channels, 1));
    }
    for (const InputSpec& in : room.inputs)
        samples += 3 * frames * static_cast<std::uint64_t>(std::max(in.channels, 1));
    samples += 16 * frames;  // the mix, the player, the listening position
    return samples * sizeof(float);
}

RoomSpec defaultRoom() {
    // Direct sound and reflections of all speakers together sum to under 1 at the listening
    // position, so every speaker playing a full-scale click at once still does not clip.
    RoomSpec room;

    OutputSpec builtIn =
        speaker("Built-in Speakers", "sim-builtin-speakers", fourcc("bltn"), 8, 1.0, 0.18);
    builtIn.reflections = {{3.5, 0.2}};

    OutputSpec kitchen =
        speaker("Kitchen Speaker", "sim-kitchen-speaker", fourcc("blue"), 180, 3.5, 0.14);
    kitchen.reflections = {{7.0, 0.3}, {16.0, 0.1}};

    OutputSpec porch =
        speaker("Porch Speaker", "sim-porch-speaker", fourcc("blea"), 250, 4.8, 0.12);

    // Televisions commonly take volume from their own remote, not from the computer.
    OutputSpec tv = speaker("Living Room TV", "sim-living-room-tv", fourcc("hdmi"), 45, 3.0, 0.12);
    tv.hasVolume = false;
    tv.reflections = {{11.0, 0.15}};

    OutputSpec desk = speaker("Desk Monitors", "sim-desk-monitors", fourcc("usb "), 12, 1.3, 0.12);
    desk.hasMute = false;

    OutputSpec surround =
        speaker("Surround Interface", "sim-surround-interface", fourcc("usb "), 20, 2.2, 0.08);
    surround.channels = 6;

    // Worn, so the room hears only what leaks from the ear cups.
    OutputSpec headset =
        speaker("Wireless Headset", "sim-wireless-headset", fourcc("blue"), 150, 1.0, 0.04);

    room.outputs = {builtIn, kitchen, porch, tv, desk, surround, headset};

    InputSpec mic;
    mic.name = "Built-in Microphone";
    mic.uid = "sim-builtin-mic";
    mic.transport = fourcc("bltn");
    mic.noiseRms = 0.0003;
    InputSpec headsetMic;
    headsetMic.name = headset.name;
    headsetMic.uid = headset.uid;
    headsetMic.transport = headset.transport;
    headsetMic.noiseRms = 0.001;
    room.inputs = {mic, headsetMic};

    room.defaultOutput = builtIn.uid;
    room.defaultInput = mic.uid;
    return room;
}

std::optional<std::uint32_t> transportFromName(const std::string& name) {
    for (const auto& [word, code] : kTransportNames) {
        if (word == name) return code;
    }
    if (name.size() != 4) return std::nullopt;
    std::uint32_t code = 0;
    for (const char c : name) {
        if (c < 0x20 || c > 0x7E) return std::nullopt;
        code = (code << 8) | static_cast<unsigned char>(c);
    }
    return code;
}

}  // namespace housetone::sim
