// Keep in step at the controller: when it listens, what a speaker's link brings back, and (in a
// simulated room whose speakers move while music plays) what the listening corrects.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

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

    // One it was never measured over keeps the offset, and the row says it is unverified.
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
