// housetone-room-probe: records ports of a running PipeWire graph sample-aligned, and finds in a
// recording where a steady sine broke and how late each channel carries it. A measuring tool for
// scripts/measure-aligned.sh, not part of the program.
//
//   housetone-room-probe record --port NODE:PORT [--port ...] --seconds S --out FILE.wav
//                               [--wait SECONDS]
//   housetone-room-probe analyse FILE.wav --sine HZ [--reference CHANNEL] [--threshold SHARE]
//                                [--merge-ms MS] [--recorder RECORD.json]
//   housetone-room-probe arrivals --microphone NODE --sink NODE [--sink ...] [--window-ms MS]
//                                 [--lead-ms MS] [--repeats N]
//   housetone-room-probe air --from SOCKET --speaker NODE --to SOCKET --name NODE --delay-ms MS
//
// record prints what it saw besides the sound as JSON; analyse prints each channel's sound,
// breaks and lag behind the reference channel as JSON, with where its breaks came from: the
// reference's own, a skip of the whole graph (what record printed, given by --recorder: the lags
// are then on the graph's clock) or the path from the reference. arrivals plays a burst to each
// sink in turn and prints when the microphone heard each (ms from writing it, the median of the
// rounds) and how much later than the earliest sink: the room's truth, found without the program.
// air carries what a speaker on one graph plays to a node of its own on another graph, a fixed
// time later, until it is stopped (SIGTERM, SIGINT): the room's air from a speaker on another
// machine.
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "air.h"
#include "arrivals.h"
#include "recorder.h"
#include "sine_analysis.h"

namespace {

using housetone::room::SineOptions;

// Breaks listed by time in the analysis: enough to find them, not a file of them.
constexpr std::size_t listedBreaks = 200;

int usage() {
    std::fprintf(stderr,
                 "usage: housetone-room-probe record --port NODE:PORT [--port ...] --seconds S "
                 "--out FILE.wav [--wait SECONDS]\n"
                 "       housetone-room-probe analyse FILE.wav --sine HZ [--reference CHANNEL] "
                 "[--threshold SHARE] [--merge-ms MS] [--recorder RECORD.json]\n"
                 "       housetone-room-probe arrivals --microphone NODE --sink NODE [--sink ...] "
                 "[--window-ms MS] [--lead-ms MS] [--repeats N]\n"
                 "       housetone-room-probe air --from SOCKET --speaker NODE --to SOCKET --name "
                 "NODE --delay-ms MS\n");
    return 2;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "housetone-room-probe: %s\n", message.c_str());
    return 1;
}

// A whole argument read as a finite number within [low, high].
std::optional<double> number(const char* text, double low, double high) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v) || v < low || v > high)
        return std::nullopt;
    return v;
}

struct Args {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;
};

// "--name value" pairs and the rest; nothing when an option has no value.
std::optional<Args> split(int argc, char** argv, int from) {
    Args a;
    for (int i = from; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            a.positional.push_back(arg);
            continue;
        }
        if (i + 1 >= argc) return std::nullopt;
        a.options.emplace_back(arg.substr(2), argv[++i]);
    }
    return a;
}

int runRecord(const Args& a) {
    housetone::room::RecordRequest r;
    bool haveSeconds = false;
    for (const auto& [name, value] : a.options) {
        if (name == "port") {
            if (value.find(':') == std::string::npos) return fail("--port needs NODE:PORT");
            r.ports.push_back(value);
        } else if (name == "seconds") {
            const auto v = number(value.c_str(), 0.01, 24 * 3600);
            if (!v) return fail("--seconds needs a number of seconds");
            r.seconds = *v;
            haveSeconds = true;
        } else if (name == "wait") {
            const auto v = number(value.c_str(), 0, 3600);
            if (!v) return fail("--wait needs a number of seconds");
            r.waitSeconds = *v;
        } else if (name == "out") {
            r.out = value;
        } else {
            return usage();
        }
    }
    if (!a.positional.empty() || r.ports.empty() || !haveSeconds || r.out.empty()) return usage();
    housetone::room::RecordStats stats;
    std::string error;
    const bool ok = housetone::room::record(r, stats, error);
    nlohmann::json report = {{"ports", r.ports},
                             {"rate", stats.rate},
                             {"frames", stats.frames},
                             {"overflowFrames", stats.overflowFrames},
                             {"missingBuffers", stats.missingBuffers},
                             {"positionJumps", stats.positionJumps},
                             {"graphJumps", nlohmann::json::array()},
                             {"cycleFrames", stats.longestCycle},
                             {"linksRemoved", stats.linksRemoved}};
    for (const auto& [frame, frames] : stats.jumps)
        report["graphJumps"].push_back({{"frame", frame}, {"frames", frames}});
    std::printf("%s\n",
                report.dump(2, ' ', true, nlohmann::json::error_handler_t::replace).c_str());
    return ok ? 0 : fail(error);
}

// What the recorder saw of the graph's clock, from what `record` printed.
struct GraphClock {
    std::vector<housetone::room::GraphJump> jumps;
    std::size_t cycle = 0;  // the longest cycle, frames
};

// Reads a record's graph jumps and cycle; nothing, with `error` set, when the file is no record.
std::optional<GraphClock> graphClock(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    const auto record = nlohmann::json::parse(text, nullptr, false);
    if (!record.is_object() || !record.contains("graphJumps") || !record["graphJumps"].is_array() ||
        !record.contains("cycleFrames") || !record["cycleFrames"].is_number_unsigned()) {
        error = path + " is no record: it needs graphJumps and cycleFrames";
        return std::nullopt;
    }
    GraphClock clock;
    clock.cycle = record["cycleFrames"].get<std::size_t>();
    for (const auto& j : record["graphJumps"]) {
        if (!j.is_object() || !j.contains("frame") || !j["frame"].is_number_unsigned() ||
            !j.contains("frames") || !j["frames"].is_number_integer()) {
            error = path + ": each graph jump needs a frame and a number of frames";
            return std::nullopt;
        }
        clock.jumps.push_back({j["frame"].get<std::size_t>(), j["frames"].get<long>()});
    }
    std::sort(clock.jumps.begin(), clock.jumps.end(),
              [](const auto& a, const auto& b) { return a.frame < b.frame; });
    return clock;
}

int runAnalyse(const Args& a) {
    SineOptions o;
    bool haveSine = false;
    std::size_t reference = 0;
    GraphClock clock;
    for (const auto& [name, value] : a.options) {
        if (name == "sine") {
            const auto v = number(value.c_str(), 1, 1e6);
            if (!v) return fail("--sine needs a frequency in Hz");
            o.frequency = *v;
            haveSine = true;
        } else if (name == "reference") {
            const auto v = number(value.c_str(), 0, 1e6);
            if (!v || *v != std::floor(*v)) return fail("--reference needs a channel number");
            reference = static_cast<std::size_t>(*v);
        } else if (name == "threshold") {
            const auto v = number(value.c_str(), 1e-6, 2);
            if (!v) return fail("--threshold needs a share of the amplitude");
            o.threshold = *v;
        } else if (name == "merge-ms") {
            const auto v = number(value.c_str(), 0, 10000);
            if (!v) return fail("--merge-ms needs a number of ms");
            o.mergeMs = *v;
        } else if (name == "recorder") {
            std::string error;
            const auto read = graphClock(value, error);
            if (!read) return fail(error);
            clock = *read;
        } else {
            return usage();
        }
    }
    if (a.positional.size() != 1 || !haveSine) return usage();
    const std::string& path = a.positional.front();

    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return fail("cannot read " + path + ": " + sf_strerror(nullptr));
    const auto channels = static_cast<std::size_t>(info.channels);
    o.rate = info.samplerate;
    if (reference >= channels) {
        sf_close(file);
        return fail("--reference names no channel of " + path);
    }
    if (o.frequency >= o.rate / 2) {
        sf_close(file);
        return fail("--sine must be below half the file's rate");
    }
    std::vector<std::string> ports;
    if (const char* comment = sf_get_string(file, SF_STR_COMMENT)) {
        std::string text = comment, line;
        for (const char c : text) {
            if (c != '\n') {
                line += c;
                continue;
            }
            ports.push_back(line);
            line.clear();
        }
    }
    ports.resize(channels);  // a file from elsewhere names none

    std::vector<std::vector<float>> x(channels);
    std::vector<float> block(4096 * channels);
    sf_count_t got = 0;
    while ((got = sf_readf_float(file, block.data(), 4096)) > 0)
        for (sf_count_t f = 0; f < got; ++f)
            for (std::size_t c = 0; c < channels; ++c)
                x[c].push_back(block[static_cast<std::size_t>(f) * channels + c]);
    const int readError = sf_error(file);
    sf_close(file);
    if (readError != SF_ERR_NO_ERROR) return fail("cannot read " + path);

    std::vector<housetone::room::SineChannel> found;
    for (const auto& samples : x)
        found.push_back(housetone::room::analyseSine(samples, o));
    const auto& ref = found[reference];
    const auto tolerance = static_cast<std::size_t>(o.mergeMs * o.rate / 1000);
    const auto seconds = [&](std::size_t frame) { return static_cast<double>(frame) / o.rate; };
    nlohmann::json out = {{"file", path},
                          {"rate", o.rate},
                          {"frames", x.empty() ? 0 : x.front().size()},
                          {"sine", o.frequency},
                          {"reference", reference},
                          {"channels", nlohmann::json::array()}};
    for (std::size_t c = 0; c < channels; ++c) {
        const auto& ch = found[c];
        nlohmann::json j = {{"port", ports[c]}, {"sound", ch.sound}};
        if (ch.sound) {
            nlohmann::json times = nlohmann::json::array();
            for (std::size_t i = 0; i < ch.breaks.size() && i < listedBreaks; ++i)
                times.push_back(seconds(ch.breaks[i]));
            j["amplitude"] = ch.amplitude;
            j["firstSeconds"] = seconds(ch.first);
            j["lastSeconds"] = seconds(ch.last);
            j["breaks"] = ch.breaks.size();
            j["breakSeconds"] = times;
        }
        if (const auto lag = housetone::room::onsetLag(ref, ch, clock.jumps)) {
            j["lagMs"] = static_cast<double>(*lag) * 1000 / o.rate;
            const auto from = housetone::room::attributeBreaks(
                ch.breaks, c == reference ? std::vector<std::size_t>{} : ref.breaks, *lag,
                clock.jumps, clock.cycle, tolerance);
            j["atGraphJumps"] = from.graph;
            if (c != reference) {
                j["fromReference"] = from.reference;
                j["addedBreaks"] = from.added;
            }
        }
        out["channels"].push_back(j);
    }
    std::printf("%s\n", out.dump(2, ' ', true, nlohmann::json::error_handler_t::replace).c_str());
    return 0;
}

int runArrivals(const Args& a) {
    housetone::room::ArrivalRequest r;
    for (const auto& [name, value] : a.options) {
        if (name == "microphone") {
            r.microphone = value;
        } else if (name == "sink") {
            r.sinks.push_back(value);
        } else if (name == "window-ms") {
            const auto v = number(value.c_str(), 50, 10000);
            if (!v) return fail("--window-ms needs a number of ms from 50 to 10000");
            r.windowMs = *v;
        } else if (name == "lead-ms") {
            const auto v = number(value.c_str(), 0, 10000);
            if (!v) return fail("--lead-ms needs a number of ms up to 10000");
            r.leadMs = *v;
        } else if (name == "repeats") {
            const auto v = number(value.c_str(), 1, 100);
            if (!v || *v != std::floor(*v)) return fail("--repeats needs a whole number up to 100");
            r.repeats = static_cast<int>(*v);
        } else {
            return usage();
        }
    }
    if (!a.positional.empty() || r.microphone.empty() || r.sinks.empty()) return usage();
    housetone::room::ArrivalResult result;
    std::string error;
    if (!housetone::room::measureArrivals(r, result, error)) return fail(error);
    std::optional<double> earliest;
    std::string unheard;
    for (const auto& s : result.sinks) {
        if (!s.arrivalMs) unheard += " " + s.sink;
        if (s.arrivalMs && (!earliest || *s.arrivalMs < *earliest)) earliest = s.arrivalMs;
    }
    nlohmann::json out = {{"rate", result.rate},
                          {"positionJumps", result.positionJumps},
                          {"missingBuffers", result.missingBuffers},
                          {"sinks", nlohmann::json::array()}};
    for (const auto& s : result.sinks) {
        nlohmann::json rounds = nlohmann::json::array();
        for (const auto& ms : s.roundsMs)
            rounds.push_back(ms ? nlohmann::json(*ms) : nlohmann::json());
        nlohmann::json j = {{"node", s.sink}, {"roundsMs", rounds}};
        j["arrivalMs"] = s.arrivalMs ? nlohmann::json(*s.arrivalMs) : nlohmann::json();
        j["relativeMs"] = s.arrivalMs ? nlohmann::json(*s.arrivalMs - *earliest) : nlohmann::json();
        out["sinks"].push_back(j);
    }
    std::printf("%s\n", out.dump(2, ' ', true, nlohmann::json::error_handler_t::replace).c_str());
    return unheard.empty() ? 0 : fail("the microphone did not hear" + unheard);
}

std::atomic<bool> stopAir{false};

void onStopSignal(int) {
    stopAir.store(true);
}

int runAir(const Args& a) {
    housetone::room::AirRequest r;
    bool haveDelay = false;
    for (const auto& [name, value] : a.options) {
        if (name == "from") {
            r.fromRemote = value;
        } else if (name == "speaker") {
            r.speaker = value;
        } else if (name == "to") {
            r.toRemote = value;
        } else if (name == "name") {
            r.nodeName = value;
        } else if (name == "delay-ms") {
            const auto v = number(value.c_str(), 1, 2000);
            if (!v) return fail("--delay-ms needs a number of ms from 1 to 2000");
            r.delayMs = *v;
            haveDelay = true;
        } else {
            return usage();
        }
    }
    if (!a.positional.empty() || r.fromRemote.empty() || r.speaker.empty() || r.toRemote.empty() ||
        r.nodeName.empty() || !haveDelay)
        return usage();
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::string error;
    if (!housetone::room::carryAir(r, stopAir, error)) return fail(error);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    const auto args = split(argc, argv, 2);
    if (!args) return usage();
    if (command == "record") return runRecord(*args);
    if (command == "analyse") return runAnalyse(*args);
    if (command == "arrivals") return runArrivals(*args);
    if (command == "air") return runAir(*args);
    return usage();
}
