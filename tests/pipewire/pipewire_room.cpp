#include "pipewire_room.h"

#include "audio/pipewire/pipewire_backend.h"

#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/param/audio/format-utils.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "support/files.h"

namespace housetone::testsupport {
namespace {

namespace fs = std::filesystem;

const char* const kScript = HOUSETONE_SOURCE_DIR "/scripts/pipewire-room.sh";

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string d; std::getline(dirs, d, ':');)
        if (!d.empty() && access((fs::path(d) / program).c_str(), X_OK) == 0) return true;
    return false;
}

// Sets `name` to `value`, or unsets it for nullopt.
void restore(const std::string& name, const std::optional<std::string>& value) {
    if (value)
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
}

// Runs the room script; its output goes to DIR/script.log so that a failure can show it.
int runScript(const std::string& verb, const std::string& dir, const std::string& choices) {
    // Every room takes PulseAudio clients too, as a desktop's graph does.
    const std::string cmd = "HOUSETONE_ROOM_PULSE=1 " + choices + " bash '" + std::string(kScript) +
                            "' " + verb + " '" + dir + "' >>'" + dir + "/script.log' 2>&1";
    return std::system(cmd.c_str());
}

// Stops what a test left running in the room (an All Speakers host, say): once the room's own
// daemons are gone, any process still naming the room's directory on its command line.
void stopStrays(const std::string& dir) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string cmdline = readText(entry.path() / "cmdline");
        if (cmdline.find(dir + "/") == std::string::npos) continue;
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        ADD_FAILURE() << "left running in the room: " << cmdline;
        kill(std::stoi(name), SIGKILL);
    }
}

// `text` with each byte of a malformed UTF-8 sequence replaced by '?'.
std::string replaceBadUtf8(std::string text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c < 0x80                 ? 1
                              : c >= 0xc2 && c <= 0xdf ? 2
                              : c >= 0xe0 && c <= 0xef ? 3
                              : c >= 0xf0 && c <= 0xf4 ? 4
                                                       : 0;
        std::size_t k = 1;
        while (k < n && i + k < text.size() && (text[i + k] & 0xc0) == 0x80)
            ++k;
        if (n && k == n)
            i += n;
        else
            text[i++] = '?';
    }
    return text;
}

}  // namespace

std::string run(const std::string& command) {
    return commandOutput(command);
}

std::string PipewireRoom::missingProgram() {
    for (const char* p : {"pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon", "pw-link",
                          "pw-metadata", "pw-cat", "pacat", "sox"})
        if (!onPath(p)) return p;
    return {};
}

PipewireRoom::PipewireRoom(const std::string& delays, const std::string& choices)
    : choices_(choices) {
    // Short and under /tmp: the graph's sockets live in it, and socket paths are short.
    std::string pattern = "/tmp/housetone-room-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary directory");
    dir_ = pattern;
    if (!delays.empty()) std::ofstream(fs::path(dir_) / "delays") << delays << '\n';
    if (runScript("start", dir_, choices_) != 0) {
        const std::string log = readText(fs::path(dir_) / "script.log");
        fs::remove_all(dir_);
        throw std::runtime_error("the PipeWire room did not start:\n" + log);
    }
    const auto doc = nlohmann::json::parse(readText(fs::path(dir_) / "room.json"));
    rate_ = doc.at("rate").get<double>();
    microphone_ = doc.at("microphone").at("node").get<std::string>();
    for (const auto& s : doc.at("speakers"))
        speakers_.push_back({s.at("node"), s.at("description"), s.at("transport"), s.at("channels"),
                             s.at("delayMs").is_null() ? s.at("airMs") : s.at("delayMs")});
    adoptEnvironment();
}

// DIR/env holds `export NAME='VALUE'` and `unset NAME` lines.
void PipewireRoom::adoptEnvironment() {
    std::istringstream lines(readText(fs::path(dir_) / "env"));
    for (std::string line; std::getline(lines, line);) {
        const bool set = line.starts_with("export ");
        if (!set && !line.starts_with("unset ")) continue;
        const auto eq = set ? line.find('=') : line.size();
        const std::string name = line.substr(set ? 7 : 6, eq - (set ? 7 : 6));
        std::string value = set ? line.substr(eq + 1) : "";
        if (value.size() >= 2 && value.front() == '\'') value = value.substr(1, value.size() - 2);
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        restore(name, set ? std::optional(value) : std::nullopt);
    }
}

bool PipewireRoom::restart(const std::string& daemon) {
    if (runScript("restart-" + daemon, dir_, choices_) == 0) return true;
    ADD_FAILURE() << daemon << " did not come back:\n" << readText(fs::path(dir_) / "script.log");
    return false;
}

nlohmann::json PipewireRoom::graph() {
    int status = -1;
    std::string text = commandOutput("pw-dump 2>/dev/null", &status);
    if (status != 0) throw std::runtime_error("pw-dump failed");
    return nlohmann::json::parse(replaceBadUtf8(std::move(text)));
}

std::string PipewireRoom::prop(const nlohmann::json& object, const std::string& key) {
    if (!object.contains("info") || !object["info"].is_object() ||
        !object["info"].contains("props") || !object["info"]["props"].contains(key))
        return {};
    const auto& v = object["info"]["props"][key];
    return v.is_string() ? v.get<std::string>() : v.dump();
}

std::multiset<std::uint32_t> PipewireRoom::fedBy(const nlohmann::json& graph,
                                                 const std::string& sinkName) {
    // The combine module names each of its streams "output.<sink>_<member>".
    const std::string prefix = "output." + sinkName + "_";
    std::set<std::uint32_t> streams;
    for (const auto& o : graph)
        if (o.value("type", "") == "PipeWire:Interface:Node" &&
            prop(o, "node.name").rfind(prefix, 0) == 0)
            streams.insert(o["id"].get<std::uint32_t>());
    std::set<std::pair<std::uint32_t, std::uint32_t>> fed;
    for (const auto& o : graph)
        if (o.value("type", "") == "PipeWire:Interface:Link" &&
            streams.count(o["info"].value("output-node-id", 0u)))
            fed.insert(
                {o["info"].value("output-node-id", 0u), o["info"].value("input-node-id", 0u)});
    std::multiset<std::uint32_t> out;
    for (const auto& [stream, node] : fed)
        out.insert(node);
    return out;
}

struct ExtraSink::Impl {
    pw_thread_loop* loop = nullptr;
    pw_stream* stream = nullptr;
};

ExtraSink::ExtraSink(const std::string& nodeName, const std::string& description,
                     const std::string& mediaType)
    : impl_(std::make_unique<Impl>()) {
    static const pw_stream_events noEvents = {.version = PW_VERSION_STREAM_EVENTS};
    pw_init(nullptr, nullptr);
    impl_->loop = pw_thread_loop_new("extra-sink", nullptr);
    if (!impl_->loop || pw_thread_loop_start(impl_->loop) != 0)
        throw std::runtime_error("extra sink: no loop");
    pw_thread_loop_lock(impl_->loop);
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, mediaType.c_str(), PW_KEY_MEDIA_CLASS, "Audio/Sink",
                          "device.bus", "usb", nullptr);
    pw_properties_set(props, PW_KEY_NODE_NAME, nodeName.c_str());
    if (!description.empty())
        pw_properties_set(props, PW_KEY_NODE_DESCRIPTION, description.c_str());
    impl_->stream = pw_stream_new_simple(pw_thread_loop_get_loop(impl_->loop), "extra sink", props,
                                         &noEvents, nullptr);
    if (!impl_->stream) {
        pw_thread_loop_unlock(impl_->loop);
        pw_thread_loop_stop(impl_->loop);
        pw_thread_loop_destroy(impl_->loop);
        throw std::runtime_error("extra sink: cannot join the graph");
    }
    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_audio_info_raw info{.format = SPA_AUDIO_FORMAT_F32, .rate = 48000, .channels = 2};
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
    pw_stream_connect(impl_->stream, PW_DIRECTION_INPUT, PW_ID_ANY, PW_STREAM_FLAG_NONE, params, 1);
    pw_thread_loop_unlock(impl_->loop);
}

ExtraSink::~ExtraSink() {
    pw_thread_loop_lock(impl_->loop);
    pw_stream_destroy(impl_->stream);
    pw_thread_loop_unlock(impl_->loop);
    pw_thread_loop_stop(impl_->loop);
    pw_thread_loop_destroy(impl_->loop);
}

PipewireRoom::~PipewireRoom() {
    if (runScript("stop", dir_, choices_) != 0)
        ADD_FAILURE() << "the PipeWire room did not stop:\n"
                      << readText(fs::path(dir_) / "script.log");
    stopStrays(dir_);
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
        restore(it->first, it->second);
    std::error_code error;
    fs::remove_all(dir_, error);
    if (error) ADD_FAILURE() << "cannot remove " << dir_ << ": " << error.message();
}

std::unique_ptr<PipewireRoom> PipewireRoomTest::room_;
std::string PipewireRoomTest::skipReason_;
std::string PipewireRoomTest::startFailure_;

void PipewireRoomTest::startRoom(const std::string& delays) {
    if (const std::string missing = PipewireRoom::missingProgram(); !missing.empty()) {
        skipReason_ = "PipeWire is not installed (no " + missing + " on PATH)";
        return;
    }
    try {
        room_ = std::make_unique<PipewireRoom>(delays);
    } catch (const std::exception& e) {
        startFailure_ = e.what();
    }
}

void PipewireRoomTest::SetUp() {
    if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
    if (!room_) GTEST_FAIL() << startFailure_;
}

void BackendRoomTest::SetUp() {
    PipewireRoomTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::string error;
    hw_ = pw::connectPipeWire(&error);
    ASSERT_TRUE(hw_) << error;
}

}  // namespace housetone::testsupport
