// Keep in step at the controller: when it listens, what a speaker's link brings back, and (in a
// simulated room whose speakers move while music plays) what the listening corrects.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "support/rig.h"

namespace housetone {
namespace {

using testsupport::Rig;

std::vector<std::uint8_t> utf8(const std::string& s) {
    return {s.begin(), s.end()};
}

TEST(KeepInStep, ListensOnlyWhileAlignedPlaysWithTheSwitchOnAndStopsWhenTheMicrophoneGoes) {
    Rig rig;
    Controller& c = rig.start({{"builtin", true}, {"kitchen", true}});
    c.setKeepInStep(true);
    EXPECT_TRUE(c.keepInStep());
    EXPECT_FALSE(c.listening()) << "single plays nothing of ours to compare with";
    EXPECT_NE(rig.readFile(SettingsStore::fileName)->find("\"keepInStep\": true"),
              std::string::npos);

    ASSERT_TRUE(rig.startAligned());
    EXPECT_TRUE(c.listening());
    c.chooseMode(Mode::single);
    EXPECT_FALSE(c.listening());
    ASSERT_TRUE(rig.startAligned());
    EXPECT_TRUE(c.listening());
    c.setKeepInStep(false);
    EXPECT_FALSE(c.listening());
    EXPECT_NE(rig.readFile(SettingsStore::fileName)->find("\"keepInStep\": false"),
              std::string::npos);

    c.setKeepInStep(true);
    ASSERT_TRUE(c.listening());
    ASSERT_TRUE(rig.sim.removeDevice("mic"));
    rig.tickAfterAudio();
    EXPECT_FALSE(c.listening());
    EXPECT_NE(c.status().find("microphone is gone"), std::string::npos) << c.status();
    EXPECT_TRUE(c.keepInStep()) << "the user's switch stays as they left it";
}

TEST(KeepInStep, AMicrophoneTheUserHasNotAllowedIsNeverOpened) {
    sim::RoomSpec room = testsupport::fixtureRoom();
    room.microphonePermission = sim::MicPermissionState::denied;
    Rig rig(room);
    Controller& c = rig.start({{"builtin", true}, {"kitchen", true}});
    ASSERT_TRUE(rig.startAligned());
    c.setKeepInStep(true);
    EXPECT_FALSE(c.keepInStep());
    EXPECT_FALSE(c.listening());
    EXPECT_NE(c.status().find("Microphone access is off"), std::string::npos) << c.status();
}

// A room whose kitchen speaker reconnects 40 ms later half a minute in, while the music plays.
sim::RoomSpec movingRoom() {
    using testsupport::speaker;
    sim::RoomSpec room;
    sim::OutputSpec kitchen{.name = "Kitchen",
                            .transport = transport::bluetooth,
                            .latencyMs = 150,
                            .distanceM = 3,
                            .level = 0.6,
                            .reflections = {{7, 0.3}}};
    kitchen.changes = {{.atSeconds = 30, .latencyMs = 190}};
    room.outputs = {
        speaker("builtin", {.name = "Built-in Speakers",
                            .transport = transport::builtIn,
                            .latencyMs = 10,
                            .level = 0.5,
                            .reflections = {{4, 0.25}}}),
        speaker("kitchen", kitchen),
        speaker("desk", {.name = "Desk", .latencyMs = 25, .distanceM = 2, .level = 0.4})};
    room.inputs = {{"Built-in Microphone", "mic", transport::builtIn, 1, 0.0003}};
    return room;
}

// Steps the world by hand, a quarter second at a time, and lets the listening catch up after
// each step, so the test hears the same on a slow machine as on a fast one.
void playUntil(Rig& rig, double seconds) {
    const auto frame = static_cast<std::int64_t>(seconds * rig.sim.sampleRate());
    const int buffers = static_cast<int>(0.25 * rig.sim.sampleRate() / rig.sim.bufferFrames());
    while (rig.sim.frame() < frame) {
        rig.sim.step(buffers);
        rig.main.fireTimers();
        rig.main.runPending();
        for (int i = 0; i < 20000 && rig.ctl->listening() &&
                        rig.ctl->listener().backlogFrames() > rig.sim.sampleRate() / 2;
             ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            rig.main.fireTimers();
            rig.main.runPending();
        }
    }
}

// Each aligned speaker's arrival at the microphone: its delay in the engine plus its true path.
std::map<std::string, double> arrivals(Rig& rig) {
    std::map<std::string, double> out;
    const TapEngine& engine = rig.ctl->engine();
    const auto targets = engine.targets();
    for (std::size_t i = 0; i < targets.size(); ++i)
        out[targets[i].uid] = engine.delayFrames(static_cast<int>(i)) * 1000.0 / engine.rate() +
                              rig.sim.trueArrivalMs(targets[i].uid).value_or(1e9);
    return out;
}

TEST(KeepInStep, ASpeakerThatMovesWhileMusicPlaysIsFoundAndCorrectedAndTheOthersAreLeftAlone) {
    Rig rig(movingRoom(), {.startWorld = false});
    // In step by the room's truth at the start.
    std::map<std::string, double> offsets;
    for (const auto& uid : {"builtin", "kitchen", "desk"})
        offsets[uid] =
            rig.sim.trueArrivalMs("kitchen").value() - rig.sim.trueArrivalMs(uid).value();
    Controller& c = rig.start({{"builtin", true}, {"kitchen", true}, {"desk", true}}, offsets);
    rig.watchStart();
    c.chooseMode(Mode::aligned);
    for (int i = 0; i < 400 && !rig.started; ++i) {
        rig.sim.step(4);
        rig.main.runFor(0.005);
    }
    ASSERT_TRUE(rig.started.value_or(false));
    c.setKeepInStep(true);
    ASSERT_TRUE(c.listening());

    playUntil(rig, 28);
    EXPECT_EQ(c.offsets(), offsets) << "nothing moved: nothing to correct";
    playUntil(rig, 75);
    const auto a = arrivals(rig);
    const auto [lo, hi] = std::minmax_element(
        a.begin(), a.end(), [](const auto& x, const auto& y) { return x.second < y.second; });
    EXPECT_LE(hi->second - lo->second, 2.0) << c.status();
    EXPECT_NEAR(c.offsets().at("desk") - c.offsets().at("builtin"),
                offsets.at("desk") - offsets.at("builtin"), 1e-9)
        << "the two that did not move kept their difference";
    // Said on the status line, and repeated (for the tray) while listening goes on.
    EXPECT_EQ(c.recentCorrection().value_or(""), "Kept in step: Kitchen moved +40 ms — corrected.")
        << c.status();
    EXPECT_EQ(c.syncNotes().at("kitchen").state, SyncNote::State::moved);
    EXPECT_TRUE(c.syncNotes().at("kitchen").corrected);
    // The correction is kept for the kitchen's link, and in the file.
    EXPECT_NE(rig.readFile(SettingsStore::fileName)->find("\"links\""), std::string::npos);
    c.setKeepInStep(false);
    EXPECT_FALSE(c.recentCorrection());
}

// The kitchen speaker was measured over two codecs; it now plays over the second.
Config measuredOverTwoCodecs() {
    Config config;
    config.offsets = {{"kitchen", 40}};
    config.include = std::map<std::string, bool>{{"builtin", true}, {"kitchen", true}};
    config.links = std::map<std::string, std::map<std::string, LinkRecord>>{
        {"kitchen", {{"a2dp-sink/sbc", {40, 150}}, {"a2dp-sink/aac", {90, 200}}}}};
    return config;
}

void setLink(Rig& rig, const std::string& uid, const std::string& profile,
             const std::string& codec) {
    const AudioObjectID id = *rig.sim.idForUID(uid);
    rig.sim.setRawProperty(id, {sel::linkProfile, scope::output}, utf8(profile), false);
    rig.sim.setRawProperty(id, {sel::linkCodec, scope::output}, utf8(codec), false);
}

TEST(LinkMemory, ASpeakerOnACodecItWasMeasuredWithGetsThatOffsetAndANewOneIsUnverified) {
    Rig rig;
    setLink(rig, "kitchen", "a2dp-sink", "aac");
    Controller& c = rig.startWith(measuredOverTwoCodecs());
    EXPECT_DOUBLE_EQ(c.offsets().at("kitchen"), 90) << "measured over AAC: that offset is back";
    EXPECT_FALSE(c.linkNotes().contains("kitchen"));

    // A codec switch while the program runs: the one it was measured with comes back too.
    setLink(rig, "kitchen", "a2dp-sink", "sbc");
    c.tick();
    EXPECT_DOUBLE_EQ(c.offsets().at("kitchen"), 40);
    EXPECT_NE(c.status().find("SBC"), std::string::npos) << c.status();

    // One it was never measured over keeps the offset, and the row says it is unverified; in
    // aligned, the status line says the alignment may be off.
    ASSERT_TRUE(rig.startAligned());
    setLink(rig, "kitchen", "a2dp-sink", "ldac");
    c.tick();
    EXPECT_DOUBLE_EQ(c.offsets().at("kitchen"), 40);
    ASSERT_TRUE(c.linkNotes().contains("kitchen"));
    EXPECT_EQ(c.linkNotes().at("kitchen"), "Offset unverified for LDAC");
    EXPECT_NE(c.status().find("now connects over LDAC"), std::string::npos) << c.status();
    EXPECT_FALSE(c.linkNotes().contains("builtin")) << "never measured per link: nothing to say";
}

TEST(LinkMemory, ALinkNamedByTheAudioSystemIsKeptPrintableAndBounded) {
    Rig rig;
    setLink(rig, "kitchen", std::string(500, 'p'), "a\x1b[31m\ncodec");
    Controller& c = rig.startWith(measuredOverTwoCodecs());
    const std::string note = c.linkNotes().at("kitchen");
    EXPECT_EQ(note.find('\x1b'), std::string::npos);
    EXPECT_EQ(note.find('\n'), std::string::npos);
    EXPECT_LT(note.size(), 200u);
}

}  // namespace
}  // namespace housetone
