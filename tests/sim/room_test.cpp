#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "audio/sim/room.h"
#include "audio/sim/wav.h"
#include "core/fourcc.h"

namespace housetone::sim {
namespace {

namespace fs = std::filesystem;

class TempDir : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "housetone-room-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    void writeBytes(const std::string& name, const std::vector<unsigned char>& bytes) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    void writeSine(const std::string& name, std::size_t frames) const {
        WavWriter w(path(name), 48000, 1);
        std::vector<float> s(frames);
        for (std::size_t i = 0; i < frames; ++i)
            s[i] = 0.5f * std::sin(0.1f * i);
        w.write(s.data(), frames);
    }

    fs::path dir_;
};

std::string rejection(const std::string& text) {
    try {
        parseRoom(text, "bad-room.json");
    } catch (const RoomError& e) {
        return e.what();
    }
    return "(accepted)";
}

// An output (or input) with its required members plus `extra`.
std::string dev(const std::string& uid, const std::string& extra = "") {
    return R"({"name": "N", "uid": ")" + uid + R"(", "transport": "bltn")" + extra + "}";
}
std::string outputs(const std::string& list) {
    return R"({"outputs": [)" + list + "]}";
}
std::string inputs(const std::string& list) {
    return R"({"inputs": [)" + list + "]}";
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

TEST(RoomFile, TheDocumentedExampleLoadsWithEveryValue) {
    const RoomSpec r = parseRoom(kExample, "example.json");
    EXPECT_EQ(r.sampleRate, 48000);
    EXPECT_EQ(r.bufferFrames, 512);
    EXPECT_EQ(r.seed, 1u);
    EXPECT_EQ(r.systemAudio, "music");
    ASSERT_EQ(r.outputs.size(), 1u);
    const OutputSpec& o = r.outputs[0];
    EXPECT_EQ(o.name, "Kitchen");
    EXPECT_EQ(o.uid, "sim-kitchen");
    EXPECT_EQ(o.transport, fourcc("blue"));
    EXPECT_EQ(o.channels, 2);
    EXPECT_EQ(o.latencyMs, 180);
    EXPECT_EQ(o.distanceM, 2.5);
    EXPECT_EQ(o.level, 0.8);
    EXPECT_EQ(o.volume, 0.5);
    EXPECT_EQ(o.rate, 48000);
    ASSERT_EQ(o.reflections.size(), 1u);
    EXPECT_EQ(o.reflections[0].delayMs, 9);
    EXPECT_EQ(o.reflections[0].level, 0.3);
    ASSERT_EQ(r.inputs.size(), 1u);
    EXPECT_EQ(r.inputs[0].transport, fourcc("bltn"));
    EXPECT_EQ(r.inputs[0].noiseRms, 0.0005);
    EXPECT_EQ(r.defaultOutput, "sim-kitchen");
    EXPECT_EQ(r.defaultInput, "sim-mic");
}

TEST(RoomFile, AbsentMembersTakeTheirDefaults) {
    const RoomSpec r = parseRoom(
        R"({"outputs": [)" + dev("o") + R"(], "inputs": [)" + dev("i") + "]}", "min.json");
    EXPECT_EQ(r.sampleRate, 48000);
    EXPECT_EQ(r.bufferFrames, 512);
    EXPECT_EQ(r.systemAudio, "music");
    EXPECT_EQ(r.systemAudioLevelDb, -30);
    const OutputSpec& o = r.outputs.at(0);
    EXPECT_EQ(o.channels, 2);
    EXPECT_EQ(o.distanceM, 1);
    EXPECT_EQ(o.level, 1);
    EXPECT_EQ(o.volume, 1);
    EXPECT_TRUE(o.hasVolume && o.hasMute && !o.muted);
    EXPECT_FALSE(o.rate.has_value());
    EXPECT_TRUE(o.reflections.empty());
    EXPECT_EQ(r.inputs.at(0).channels, 1);
    EXPECT_FALSE(r.defaultOutput.has_value());
    EXPECT_FALSE(r.defaultInput.has_value());
    EXPECT_EQ(r.microphonePermission, MicPermissionState::authorized);
    EXPECT_TRUE(r.microphoneRequestAnswer);
    EXPECT_EQ(r.systemAudioPermission, SystemAudioPermission::granted);

    const RoomSpec empty = parseRoom("{}", "empty.json");
    EXPECT_TRUE(empty.outputs.empty() && empty.inputs.empty());
}

TEST(RoomFile, AcceptsTheLegitimateEdgeCases) {
    // A headset is one device in both lists; zero channels in a scope is a real device shape.
    const RoomSpec r = parseRoom(
        R"({"systemAudioLevelDb": -45.5, "bufferFrames": 256.0, "seed": 18446744073709551615,
            "microphonePermission": "denied", "microphoneRequestAnswer": false,
            "systemAudioPermission": "silent", "defaultInput": "h",
            "outputs": [)" +
            dev("h", R"(, "channels": 0)") + R"(], "inputs": [)" + dev("m") + "," + dev("h") + "]}",
        "edge.json");
    EXPECT_EQ(r.systemAudioLevelDb, -45.5);
    EXPECT_EQ(r.bufferFrames, 256);
    EXPECT_EQ(r.seed, 18446744073709551615u);
    EXPECT_EQ(r.microphonePermission, MicPermissionState::denied);
    EXPECT_FALSE(r.microphoneRequestAnswer);
    EXPECT_EQ(r.systemAudioPermission, SystemAudioPermission::silent);
    EXPECT_EQ(r.outputs.at(0).channels, 0);
    EXPECT_EQ(r.defaultInput, "h");
}

TEST(RoomFile, EachFaultIsRejectedWithOneLineNamingFileAndMember) {
    struct Case {
        std::string text;
        std::string member;
    };
    const std::vector<Case> cases = {
        {R"({"sampleRate": 48000,,})", "line 1"},
        {"[1, 2]", "top level"},
        {R"({"colour": 1})", "colour"},
        {outputs(dev("a", R"(, "colour": 1)")), "outputs[0].colour"},
        {inputs(dev("a", R"(, "gain": 1)")), "inputs[0].gain"},
        {outputs(dev("a", R"(, "reflections": [{"delayMs": 1, "gain": 1}])")),
         "outputs[0].reflections[0].gain"},
        {R"({"sampleRate": "48000"})", "sampleRate"},
        {R"({"outputs": {}})", "outputs"},
        {outputs(dev("a", R"(, "hasVolume": 1)")), "outputs[0].hasVolume"},
        {R"({"outputs": [{"name": 5, "uid": "a", "transport": "bltn"}]})", "outputs[0].name"},
        {R"({"microphoneRequestAnswer": "yes"})", "microphoneRequestAnswer"},
        {outputs(dev("a") + "," + dev("b", R"(, "latencyMs": -1)")), "outputs[1].latencyMs"},
        {outputs(dev("a", R"(, "distanceM": -0.5)")), "outputs[0].distanceM"},
        {outputs(dev("a", R"(, "reflections": [{"level": -0.3}])")),
         "outputs[0].reflections[0].level"},
        {inputs(dev("a", R"(, "noiseRms": -0.1)")), "inputs[0].noiseRms"},
        {outputs(dev("a", R"(, "volume": 1.5)")), "outputs[0].volume"},
        {outputs(dev("a", R"(, "rate": 0)")), "outputs[0].rate"},
        {outputs(dev("a", R"(, "channels": -1)")), "outputs[0].channels"},
        {inputs(dev("a", R"(, "channels": 1.5)")), "inputs[0].channels"},
        {R"({"bufferFrames": 0})", "bufferFrames"},
        {R"({"sampleRate": 0})", "sampleRate"},
        {R"({"seed": -1})", "seed"},
        {R"({"outputs": [{"name": "N", "transport": "bltn"}]})", "outputs[0].uid"},
        {R"({"inputs": [{"name": "N", "uid": "a"}]})", "inputs[0].transport"},
        {outputs(dev("a") + "," + dev("b") + "," + dev("a")), "outputs[2].uid"},
        {inputs(dev("a") + "," + dev("a")), "inputs[1].uid"},
        {outputs(R"({"name": "N", "uid": "a", "transport": "usb2x"})"), "outputs[0].transport"},
        {outputs(R"({"name": "N", "uid": "a", "transport": "USB"})"), "outputs[0].transport"},
        {R"({"microphonePermission": "allowed"})", "microphonePermission"},
        {R"({"systemAudioPermission": "yes"})", "systemAudioPermission"},
        {outputs(dev("a")).insert(1, R"("defaultOutput": "b", )"), "defaultOutput"},
        // An output's uid does not make a default input.
        {outputs(dev("a")).insert(1, R"("defaultInput": "a", )"), "defaultInput"},
        {R"({"systemAudio": "/nonexistent/loop.wav"})", "systemAudio"},
    };
    for (const Case& c : cases) {
        const std::string message = rejection(c.text);
        EXPECT_NE(message.find("\"bad-room.json\""), std::string::npos) << c.text << "\n"
                                                                        << message;
        EXPECT_NE(message.find(c.member), std::string::npos) << c.text << "\n" << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
}

TEST(RoomFile, TransportsAreNamesOrFourCharacterCodes) {
    EXPECT_EQ(transportFromName("builtin"), fourcc("bltn"));
    EXPECT_EQ(transportFromName("bluetooth-le"), fourcc("blea"));
    EXPECT_EQ(transportFromName("usb"), fourcc("usb "));
    EXPECT_EQ(transportFromName("usb "), fourcc("usb "));
    EXPECT_EQ(transportFromName("displayport"), fourcc("dprt"));
    EXPECT_EQ(transportFromName("aggregate"), fourcc("grup"));
    EXPECT_EQ(transportFromName("other"), 0u);
    EXPECT_EQ(transportFromName("abcd"), fourcc("abcd"));
    EXPECT_EQ(transportFromName("Bluetooth"), std::nullopt);
    EXPECT_EQ(transportFromName("usb  "), std::nullopt);
    EXPECT_EQ(transportFromName(""), std::nullopt);
    EXPECT_EQ(transportFromName(std::string("ab\0d", 4)), std::nullopt);
}

using RoomFileOnDisk = TempDir;

TEST_F(RoomFileOnDisk, AFileThatCannotBeReadIsNamedInTheError) {
    const std::string missing = path("missing.json");
    try {
        loadRoomFile(missing);
        FAIL() << "accepted a missing file";
    } catch (const RoomError& e) {
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
    }
    EXPECT_THROW(loadRoomFile(dir_.string()), RoomError);
}

TEST_F(RoomFileOnDisk, SystemAudioWavIsFoundBesideTheRoomFile) {
    fs::create_directory(dir_ / "rooms");
    writeSine("loop.wav", 480);
    std::ofstream(path("rooms/here.json")) << R"({"systemAudio": "../loop.wav"})";
    EXPECT_EQ(fs::path(loadRoomFile(path("rooms/here.json")).systemAudio),
              dir_ / "rooms" / "../loop.wav");
    // An empty WAV cannot be looped.
    writeSine("empty.wav", 0);
    EXPECT_NE(rejection(R"({"systemAudio": ")" + path("empty.wav") + "\"}").find("systemAudio"),
              std::string::npos);
    EXPECT_EQ(parseRoom(R"({"systemAudio": ")" + path("loop.wav") + "\"}", "abs.json").systemAudio,
              path("loop.wav"));
}

TEST(DefaultRoom, HasEveryDeviceShapeTheProgramMustHandle) {
    const RoomSpec r = defaultRoom();
    auto output = [&](auto pred) {
        return std::find_if(r.outputs.begin(), r.outputs.end(), pred) != r.outputs.end();
    };
    std::set<double> bluetoothLatencies;
    double sumAtListener = 0;
    std::set<std::string> outputUids;
    for (const OutputSpec& o : r.outputs) {
        if (o.transport == fourcc("blue") || o.transport == fourcc("blea")) {
            bluetoothLatencies.insert(o.latencyMs);
        }
        EXPECT_GE(o.distanceM, 1) << o.uid;
        EXPECT_LE(o.distanceM, 5) << o.uid;
        EXPECT_LE(o.latencyMs, 260) << o.uid;
        double reach = o.level;
        for (const Reflection& ref : o.reflections) {
            EXPECT_LE(ref.level, 0.3) << o.uid;
            reach += o.level * ref.level;
        }
        sumAtListener += reach;
        EXPECT_TRUE(outputUids.insert(o.uid).second) << "duplicate " << o.uid;
    }
    EXPECT_LT(sumAtListener, 1.0);
    EXPECT_TRUE(output([](const OutputSpec& o) { return o.transport == fourcc("blue"); }));
    EXPECT_TRUE(output([](const OutputSpec& o) { return o.transport == fourcc("blea"); }));
    EXPECT_GE(bluetoothLatencies.size(), 2u);
    EXPECT_TRUE(output([](const OutputSpec& o) { return o.transport == fourcc("hdmi"); }));
    EXPECT_TRUE(output([](const OutputSpec& o) { return !o.hasVolume; }));
    EXPECT_TRUE(output([](const OutputSpec& o) { return !o.hasMute; }));
    EXPECT_TRUE(output([](const OutputSpec& o) { return o.channels > 2; }));
    EXPECT_TRUE(output([](const OutputSpec& o) { return !o.reflections.empty(); }));

    bool headset = false;
    bool builtInMic = false;
    for (const InputSpec& in : r.inputs) {
        headset |= outputUids.contains(in.uid) && in.transport == fourcc("blue");
        builtInMic |= in.transport == fourcc("bltn") && in.channels == 1 && in.noiseRms > 0;
    }
    EXPECT_TRUE(headset);
    EXPECT_TRUE(builtInMic);

    ASSERT_TRUE(r.defaultOutput && r.defaultInput);
    EXPECT_TRUE(output([&](const OutputSpec& o) {
        return o.uid == *r.defaultOutput && o.transport == fourcc("bltn");
    }));
    EXPECT_TRUE(std::any_of(r.inputs.begin(), r.inputs.end(), [&](const InputSpec& in) {
        return in.uid == *r.defaultInput && in.transport == fourcc("bltn");
    }));
}

using Wav = TempDir;

TEST_F(Wav, WrittenSamplesReadBackWithin16BitQuantisation) {
    std::vector<float> stereo;
    for (int i = 0; i < 300; ++i) {
        stereo.push_back(0.9f * std::sin(0.05f * i));
        stereo.push_back(-0.3f + 0.001f * i);  // a different signal so a channel swap shows
    }
    stereo.insert(stereo.end(), {1.5f, -2.0f, NAN, 0.0f});
    {
        WavWriter w(path("out.wav"), 44100, 2);
        ASSERT_TRUE(w.ok());
        w.write(stereo.data(), 100);
        w.write(stereo.data() + 200, 202);
    }  // the destructor fixes up the header
    const auto wav = readWav(path("out.wav"));
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->rate, 44100);
    EXPECT_EQ(wav->channels, 2);
    ASSERT_EQ(wav->samples.size(), stereo.size());
    const std::vector<float> clamped = {1.0f, -1.0f, 0.0f, 0.0f};
    for (std::size_t i = 0; i < stereo.size(); ++i) {
        const float expected = i < stereo.size() - 4 ? stereo[i] : clamped[i - stereo.size() + 4];
        EXPECT_NEAR(wav->samples[i], expected, 1.0 / 32768) << i;
    }
}

TEST_F(Wav, EveryTruncationOfAFileReadsAsNothing) {
    writeSine("full.wav", 16);
    std::ifstream in(path("full.wav"), std::ios::binary);
    const std::vector<unsigned char> full((std::istreambuf_iterator<char>(in)), {});
    ASSERT_TRUE(readWav(path("full.wav")));
    for (std::size_t n = 0; n < full.size(); ++n) {
        writeBytes("cut.wav", {full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)});
        EXPECT_FALSE(readWav(path("cut.wav"))) << n << " bytes";
    }
}

void put(std::vector<unsigned char>& b, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void tag(std::vector<unsigned char>& b, const char* t) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<unsigned char>(t[i]));
}

// A mono file; extensible puts the format tag in the subformat; an odd-sized chunk comes first.
std::vector<unsigned char> wavFile(std::uint16_t format, int bits,
                                   const std::vector<unsigned char>& data, bool extensible) {
    std::vector<unsigned char> b;
    tag(b, "RIFF");
    put(b, 0, 4);  // left wrong on purpose: readers must not trust it
    tag(b, "WAVE");
    tag(b, "LIST");
    put(b, 3, 4);
    b.insert(b.end(), {'a', 'b', 'c', 0});
    tag(b, "fmt ");
    put(b, extensible ? 40 : 16, 4);
    put(b, extensible ? 0xFFFE : format, 2);
    put(b, 1, 2);
    put(b, 8000, 4);
    put(b, 8000 * static_cast<std::uint32_t>(bits) / 8, 4);
    put(b, static_cast<std::uint32_t>(bits) / 8, 2);
    put(b, static_cast<std::uint32_t>(bits), 2);
    if (extensible) {
        put(b, 22, 2);
        put(b, static_cast<std::uint32_t>(bits), 2);
        put(b, 4, 4);
        put(b, format, 2);
        b.insert(b.end(), 14, 0);
    }
    tag(b, "data");
    put(b, static_cast<std::uint32_t>(data.size()), 4);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

TEST_F(Wav, DecodesEverySampleFormatToFullScale) {
    struct Case {
        std::uint16_t format;
        int bits;
        bool extensible;
        std::vector<unsigned char> data;
        std::vector<float> expected;
    };
    const auto f32 = [](float x) {
        std::vector<unsigned char> b;
        put(b, std::bit_cast<std::uint32_t>(x), 4);
        return b;
    };
    std::vector<unsigned char> floats = f32(0.25f);
    const auto neg = f32(-0.75f);
    floats.insert(floats.end(), neg.begin(), neg.end());
    const std::vector<Case> cases = {
        {1, 8, false, {0, 128, 192}, {-1.0f, 0.0f, 0.5f}},
        {1, 16, false, {0x00, 0x80, 0x00, 0x40}, {-1.0f, 0.5f}},
        {1, 24, false, {0x00, 0x00, 0x80, 0x00, 0x00, 0x40}, {-1.0f, 0.5f}},
        {1, 24, true, {0x00, 0x00, 0xC0, 0x00, 0x00, 0x20}, {-0.5f, 0.25f}},
        {1, 32, false, {0, 0, 0, 0x80, 0, 0, 0, 0x40}, {-1.0f, 0.5f}},
        {3, 32, false, floats, {0.25f, -0.75f}},
        {3, 32, true, floats, {0.25f, -0.75f}},
    };
    for (const Case& c : cases) {
        writeBytes("f.wav", wavFile(c.format, c.bits, c.data, c.extensible));
        const auto wav = readWav(path("f.wav"));
        ASSERT_TRUE(wav) << c.bits << " bits, format " << c.format;
        EXPECT_EQ(wav->rate, 8000);
        EXPECT_EQ(wav->channels, 1);
        EXPECT_EQ(wav->samples, c.expected) << c.bits << " bits, format " << c.format;
    }
}

TEST_F(Wav, RejectsWhatItCannotPlay) {
    EXPECT_FALSE(readWav(path("absent.wav")));
    writeBytes("adpcm.wav", wavFile(2, 16, {0, 0}, false));
    EXPECT_FALSE(readWav(path("adpcm.wav")));
    writeBytes("float64.wav", wavFile(3, 64, std::vector<unsigned char>(8), false));
    EXPECT_FALSE(readWav(path("float64.wav")));
    // Half a sample at the end of the data.
    writeBytes("partial.wav", wavFile(1, 16, {0, 0, 0}, false));
    EXPECT_FALSE(readWav(path("partial.wav")));
    auto noData = wavFile(1, 16, {}, false);
    noData.resize(noData.size() - 8);
    writeBytes("nodata.wav", noData);
    EXPECT_FALSE(readWav(path("nodata.wav")));

    EXPECT_FALSE(WavWriter(path("no/such/dir/x.wav"), 48000, 2).ok());
    EXPECT_FALSE(WavWriter(path("zero.wav"), 48000, 0).ok());
}

}  // namespace
}  // namespace housetone::sim
