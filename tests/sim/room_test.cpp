#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "audio/sim/room.h"
#include "audio/sound_file.h"
#include "core/fourcc.h"
#include "core/printable.h"
#include "support/temp_dir.h"

namespace housetone::sim {
namespace {

namespace fs = std::filesystem;

class FilesOnDisk : public ::testing::Test {
  protected:
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    void writeMono(const std::string& name, std::size_t frames, int rate = 48000) const {
        const std::vector<float> s(frames, 0.25f);
        WavWriter(path(name), rate, 1).write(s.data(), frames);
    }

    const testsupport::TempDir dir_{"housetone-room"};
};

template <typename Load>
std::string refusal(Load load) {
    try {
        load();
    } catch (const RoomError& e) {
        return e.what();
    }
    return "(accepted)";
}
std::string rejection(const std::string& text) {
    return refusal([&] { parseRoom(text, "bad-room.json"); });
}

// Whether a room playing the WAV at `path` is refused with a message containing `word`.
bool refusesAudio(const std::string& path, const std::string& word = "systemAudio") {
    return rejection(R"({"systemAudio": ")" + path + "\"}").find(word) != std::string::npos;
}

// An output (or input) with its required members plus `extra`.
std::string dev(const std::string& uid, const std::string& extra = "") {
    return R"({"name": "N", "uid": ")" + uid + R"(", "transport": "usb")" + extra + "}";
}
std::string outputs(const std::string& list) {
    return R"({"outputs": [)" + list + "]}";
}

// An output "a" with `members`; one with `n` changes a second apart.
std::string outputA(const std::string& members) {
    return outputs(dev("a", ", " + members));
}
std::string manyChanges(int n) {
    std::string list;
    for (int i = 0; i < n; ++i)
        list += (i ? "," : "") + std::string(R"({"atSeconds": )") + std::to_string(i) + "}";
    return outputA(R"("changes": [)" + list + "]");
}

std::string manyOutputs(int n, const std::string& extra) {
    std::string list;
    for (int i = 0; i < n; ++i)
        list += (i ? "," : "") + dev("o" + std::to_string(i), extra);
    return outputs(list);
}

constexpr const char* kExample = R"({
  "sampleRate": 48000, "bufferFrames": 512, "seed": 1,
  "systemAudio": "music",
  "outputs": [
    { "name": "Kitchen", "uid": "sim-kitchen", "transport": "blue", "channels": 2,
      "latencyMs": 180, "distanceM": 2.5, "level": 0.8, "volume": 0.5,
      "hasVolume": true, "hasMute": true, "muted": false, "rate": 48000,
      "jitterMs": 0, "reflections": [ { "delayMs": 9, "level": 0.3 } ] }
  ],
  "inputs": [
    { "name": "Built-in Microphone", "uid": "sim-mic", "transport": "bltn", "channels": 1, "noiseRms": 0.0005 }
  ],
  "defaultOutput": "sim-kitchen", "defaultInput": "sim-mic",
  "microphonePermission": "authorized", "systemAudioPermission": "granted"
})";

TEST(RoomFile, TheDocumentedExampleLoadsWithEveryValueAndEdgeValuesAreAccepted) {
    const RoomSpec r = parseRoom(kExample, "example.json");
    ASSERT_TRUE(r.outputs.size() == 1 && r.outputs[0].reflections.size() == 1 &&
                r.inputs.size() == 1);
    const OutputSpec& o = r.outputs[0];
    EXPECT_EQ(o.name + "/" + o.uid + "/" + r.defaultOutput.value_or("") + "/" +
                  r.defaultInput.value_or(""),
              "Kitchen/sim-kitchen/sim-kitchen/sim-mic");
    EXPECT_EQ((std::vector<double>{double(r.seed), double(o.transport), o.rate.value_or(0),
                                   o.latencyMs, o.distanceM, o.level, o.volume,
                                   o.reflections[0].delayMs, o.reflections[0].level,
                                   double(r.inputs[0].transport), r.inputs[0].noiseRms}),
              (std::vector<double>{1, fourcc("blue"), 48000, 180, 2.5, 0.8, 0.5, 9, 0.3,
                                   fourcc("bltn"), 0.0005}));

    // Edge values are accepted. A headset is one device in both lists; zero channels in a scope is
    // a real device shape.
    const RoomSpec e = parseRoom(
        R"({"bufferFrames": 256.0, "seed": 18446744073709551615, "defaultInput": "h",
            "sampleRate": 384000,
            "outputs": [)" +
            dev("h", R"(, "channels": 0)") + R"(], "inputs": [)" + dev("m") + "," + dev("h") + "]}",
        "edge.json");
    EXPECT_EQ(e.bufferFrames, 256);
    EXPECT_EQ(parseRoom(manyOutputs(64, ""), "full.json").outputs.size(), 64u);
    EXPECT_EQ(e.seed, 18446744073709551615u);
    EXPECT_EQ(e.outputs.at(0).channels, 0);
    EXPECT_EQ(e.outputs.at(0).transport, fourcc("usb "));  // a name as well as a code
    EXPECT_EQ(e.defaultInput, "h");

    // A link's members, the edges of their ranges and a drift that carries the latency right up
    // to the engine's reach within the horizon; a change keeps what it leaves out unset.
    const RoomSpec l = parseRoom(outputA(R"("latencyMs": 3200, "driftPpm": 500, "codec": "sbc",
        "profile": "a2dp-sink", "reportedLatencyMs": 5000, "wobbleMs": 100, "changes": [
        {"atSeconds": 0}, {"atSeconds": 86400, "latencyMs": 230, "codec": "aac", "profile": "hfp",
        "reportedLatencyMs": 0, "goneSeconds": 3600}])"),
                                 "link.json");
    const OutputSpec& bt = l.outputs.at(0);
    const LinkChange &quiet = bt.changes.at(0), &full = bt.changes.at(1);
    EXPECT_EQ(std::tuple(bt.codec, bt.profile, bt.reportedLatencyMs, bt.driftPpm, bt.wobbleMs),
              std::tuple("sbc", "a2dp-sink", 5000.0, 500.0, 100.0));
    EXPECT_EQ(std::tuple(full.atSeconds, full.latencyMs, full.codec, full.profile,
                         full.reportedLatencyMs, full.goneSeconds),
              std::tuple(86400.0, 230.0, "aac", "hfp", 0.0, 3600.0));
    EXPECT_EQ(std::tuple(quiet.latencyMs, quiet.codec, quiet.profile, quiet.reportedLatencyMs,
                         quiet.goneSeconds),
              std::tuple(std::nullopt, std::nullopt, std::nullopt, std::nullopt, 0.0));
    EXPECT_EQ(parseRoom(manyChanges(256), "c.json").outputs.at(0).changes.size(), 256u);
    for (const std::string m : {"speech", "tonal", "gaps"})
        EXPECT_EQ(parseRoom(R"({"systemAudio": ")" + m + "\"}", "m.json").systemAudio, m);

    // Names and UIDs are held printable, as a real backend's are, and UIDs stay apart even where
    // what they show is alike; a default names its device as the file spells it.
    const RoomSpec p = parseRoom(
        outputs(R"({"name": "Desk\u001b]0;x\u0007", "uid": "d\u001b", "transport": "usb"}, )" +
                dev(R"(d\\x1b)"))
            .insert(1, R"("defaultOutput": "d\u001b", )"),
        "printable.json");
    EXPECT_EQ(p.outputs.at(0).name, "Desk\\x1b]0;x\\x07");
    EXPECT_EQ(p.outputs.at(1).uid, "d\\x1b");
    EXPECT_EQ(printable(p.outputs.at(0).uid), p.outputs.at(0).uid);
    EXPECT_EQ(p.defaultOutput, p.outputs.at(0).uid);
}

TEST(RoomFile, EachFaultIsRejectedWithOneLineNamingFileAndMember) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"sampleRate": 48000,,})", "line 1"},
        {R"({"colour": 1})", "colour"},
        {outputs(dev("a", R"(, "reflections": [{"delayMs": 1, "gain": 1}])")),
         "outputs[0].reflections[0].gain"},
        {R"({"sampleRate": "48000"})", "sampleRate"},
        {outputs(dev("a") + "," + dev("b", R"(, "latencyMs": -1)")), "outputs[1].latencyMs"},
        // JSON has no infinity: an overflowing number is refused by the parser, before any member.
        {R"({"systemAudioLevelDb": 1e999})", "1e999"},
        {outputs(dev("a", R"(, "channels": 1.5)")), "outputs[0].channels"},
        {outputs(dev("a") + "," + dev("b") + "," + dev("a")), "outputs[2].uid"},
        {outputs(R"({"name": "N", "uid": "a", "transport": "usb2x"})"), "outputs[0].transport"},
        {R"({"microphonePermission": "allowed"})", "microphonePermission"},
        // An output's uid does not make a default input.
        {outputs(dev("a")).insert(1, R"("defaultInput": "a", )"), "defaultInput"},
        {R"({"systemAudio": "/nonexistent/loop.wav"})", "systemAudio"},
        // Values JSON holds that the simulation could not: overflowing buffers, memory beyond
        // any machine, infinity in the mix.
        {R"({"sampleRate": 1e300})", "sampleRate"},
        {R"({"sampleRate": 1e-300})", "sampleRate"},
        {R"({"systemAudioLevelDb": 1e300})", "systemAudioLevelDb"},
        {R"({"bufferFrames": 1048576})", "bufferFrames"},
        {outputs(dev("a", R"(, "distanceM": 1e12)")), "outputs[0].distanceM"},
        {outputs(dev("a", R"(, "latencyMs": 1e7)")), "outputs[0].latencyMs"},
        {outputs(dev("a", R"(, "jitterMs": 1e9)")), "outputs[0].jitterMs"},
        {outputs(dev("a", R"(, "level": 1e300)")), "outputs[0].level"},
        {outputs(dev("a", R"(, "reflections": [{"delayMs": 1e15}])")),
         "outputs[0].reflections[0].delayMs"},
        {manyOutputs(65, ""), "at most 64"},
        {manyOutputs(64, R"(, "channels": 1024)").insert(1, R"("bufferFrames": 8192, )"), "memory"},
        // A link's members and its changes.
        {outputA(R"("codec": 1)"), "outputs[0].codec"},
        {outputA(R"("profile": ")" + std::string(65, 'p') + "\""), "outputs[0].profile"},
        {outputA(R"("reportedLatencyMs": -1)"), "outputs[0].reportedLatencyMs"},
        {outputA(R"("reportedLatencyMs": 5001)"), "outputs[0].reportedLatencyMs"},
        {outputA(R"("driftPpm": 501)"), "outputs[0].driftPpm"},
        {outputA(R"("driftPpm": -501)"), "outputs[0].driftPpm"},
        {outputA(R"("wobbleMs": 101)"), "outputs[0].wobbleMs"},
        {outputA(R"("wobbleMs": -1)"), "outputs[0].wobbleMs"},
        // Drifting past the engine's reach within the horizon, from its own latency or a change's.
        {outputA(R"("latencyMs": 3201, "driftPpm": 500)"), "outputs[0].driftPpm"},
        {outputA(R"("driftPpm": 50, "changes": [{"atSeconds": 1, "latencyMs": 4900}])"),
         "outputs[0].driftPpm"},
        {outputA(R"("changes": {"atSeconds": 1})"), "outputs[0].changes"},
        {outputA(R"("changes": [1])"), "outputs[0].changes[0]"},
        {outputA(R"("changes": [{"latencyMs": 1}])"), "changes[0].atSeconds"},
        {outputA(R"("changes": [{"atSeconds": 1, "gone": 2}])"), "changes[0].gone"},
        {outputA(R"("changes": [{"atSeconds": -1}])"), "changes[0].atSeconds"},
        {outputA(R"("changes": [{"atSeconds": 86401}])"), "changes[0].atSeconds"},
        {outputA(R"("changes": [{"atSeconds": 5}, {"atSeconds": 5}])"), "changes[1].atSeconds"},
        {outputA(R"("changes": [{"atSeconds": 5, "goneSeconds": 2}, {"atSeconds": 6.5}])"),
         "changes[1].atSeconds: falls while the device is gone"},
        {outputA(R"("changes": [{"atSeconds": 1, "latencyMs": 5001}])"), "changes[0].latencyMs"},
        {outputA(R"("changes": [{"atSeconds": 1, "goneSeconds": 3601}])"),
         "changes[0].goneSeconds"},
        {outputA(R"("changes": [{"atSeconds": 1, "codec": ""}])"), "changes[0].codec"},
        {manyChanges(257), "at most 256 changes"},
        {R"({"systemAudio": "noise"})", "\"speech\", \"tonal\", \"gaps\""},
        // What the file holds is quoted printable, on the one line.
        {R"({"tr\n{port": 1})", R"(tr\x0a{port)"},
        {outputs(dev(R"(\u001b]0;x)") + "," + dev(R"(\u001b]0;x)")), R"(\x1b]0;x)"},
    };
    for (const auto& [text, member] : cases) {
        const std::string message = rejection(text);
        EXPECT_NE(message.find("\"bad-room.json\""), std::string::npos) << text << "\n" << message;
        EXPECT_NE(message.find(member), std::string::npos) << text << "\n" << message;
        EXPECT_EQ(printable(message), message);
    }
}

TEST(DefaultRoom, EverySpeakerAtOnceDoesNotClipAndTheDefaultsAreItsOwnDevices) {
    const RoomSpec r = defaultRoom();
    std::set<std::string> outputUids;
    double sumAtListener = 0;
    for (const OutputSpec& o : r.outputs) {
        double reach = o.level;
        for (const Reflection& ref : o.reflections)
            reach += o.level * ref.level;
        sumAtListener += reach;
        EXPECT_TRUE(outputUids.insert(o.uid).second) << "duplicate " << o.uid;
    }
    EXPECT_LT(sumAtListener, 1.0);  // a full-scale click on all of them reaches the mic unclipped
    ASSERT_TRUE(r.defaultOutput && r.defaultInput);
    EXPECT_TRUE(outputUids.contains(*r.defaultOutput));
    EXPECT_TRUE(std::any_of(r.inputs.begin(), r.inputs.end(),
                            [&](const InputSpec& in) { return in.uid == *r.defaultInput; }));
}

TEST_F(FilesOnDisk, WavsReadBackWithin16Bits) {
    std::vector<float> stereo;
    for (int i = 0; i < 300; ++i) {
        stereo.push_back(0.9f * std::sin(0.05f * i));
        stereo.push_back(-0.3f + 0.001f * i);  // a different signal so a channel swap shows
    }
    std::vector<float> expected = stereo;
    stereo.insert(stereo.end(), {1.5f, -2.0f, NAN, 0.0f});
    expected.insert(expected.end(), {1.0f, -1.0f, 0.0f, 0.0f});  // clamped
    {
        WavWriter w(path("out.wav"), 44100, 2);
        ASSERT_TRUE(w.ok());
        w.write(stereo.data(), 100);
        w.write(stereo.data() + 200, 202);
    }  // the destructor fixes up the header
    const auto wav = readWav(path("out.wav"));
    ASSERT_TRUE(wav);
    EXPECT_TRUE(wav->rate == 44100 && wav->channels == 2);
    ASSERT_EQ(wav->samples.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(wav->samples[i], expected[i], 1.0 / 32768) << i;
    EXPECT_FALSE(WavWriter(path("no/such/dir/x.wav"), 48000, 2).ok());
}

// Only bounded regular files are read, and resampling is bounded.
TEST_F(FilesOnDisk, OnlyBoundedFilesAreReadAndResampled) {
    ASSERT_EQ(::mkfifo(path("fifo.wav").c_str(), 0600), 0);  // would block a plain open
    fs::create_directory(dir_ / "dir.wav");
    std::ofstream(path("huge.wav")).close();
    fs::resize_file(path("huge.wav"), kMaxWavFileBytes + 1);  // sparse: costs no disk
    for (const std::string& p : {path("fifo.wav"), path("dir.wav"), path("huge.wav"),
                                 std::string("/dev/zero"), std::string("/proc/self/mem")}) {
        EXPECT_FALSE(readWav(p)) << p;
        EXPECT_TRUE(refusesAudio(p)) << p;
    }

    // 40,000 frames at 1 Hz would be 1.9 billion frames at 48 kHz.
    writeMono("slow.wav", 40000, 1);
    const auto slow = readWav(path("slow.wav"));
    ASSERT_TRUE(slow);
    EXPECT_FALSE(resampledFrames(*slow, 48000));
    EXPECT_TRUE(refusesAudio(path("slow.wav"), "too long"));
    EXPECT_EQ(
        resampledFrames({.rate = 48000, .channels = 2, .samples = std::vector<float>(10)}, 8000),
        1u);

    EXPECT_FALSE(WavWriter("/dev/full", 48000, 1).ok());  // a recording that cannot be written
}

// An unreadable room file is named; its WAV paths resolve beside it.
TEST_F(FilesOnDisk, RoomFilesAreNamedWhenUnreadableAndFindTheirWavsBesideThem) {
    const std::string missing = path("missing.json");
    EXPECT_NE(refusal([&] { loadRoomFile(missing); }).find(missing), std::string::npos);

    fs::create_directory(dir_ / "rooms");
    writeMono("loop.wav", 480);
    std::ofstream(path("rooms/here.json")) << R"({"systemAudio": "../loop.wav"})";
    EXPECT_EQ(fs::path(loadRoomFile(path("rooms/here.json")).systemAudio),
              dir_ / "rooms" / "../loop.wav");
    writeMono("empty.wav", 0);  // an empty WAV cannot be looped
    EXPECT_TRUE(refusesAudio(path("empty.wav")));
}

}  // namespace
}  // namespace housetone::sim
