// Guided alignment by ear and the click test on the simulated room: mute flags are read back from
// the simulated devices, the pipeline estimate from the settings file, the click from what the
// system mix carried.
#include <gtest/gtest.h>

#include <cmath>

#include "controller/fixture.h"

using namespace housetone;
using namespace housetone::testing;

namespace {

sim::OutputSpec speaker(const std::string& name, std::uint32_t transport, bool muted = false,
                        bool hasMute = true) {
    return {.name = name,
            .uid = name,
            .transport = transport,
            .level = 0.2,
            .hasMute = hasMute,
            .muted = muted};
}

// A (Bluetooth) is the reference; B and C are walked through; D is listed, left out, and muted.
sim::RoomSpec quietRoom(std::vector<sim::OutputSpec> outputs = {
                            speaker("A", transport::bluetooth), speaker("B", transport::usb),
                            speaker("C", transport::usb), speaker("D", transport::hdmi, true)}) {
    sim::RoomSpec r = fixtureRoom();
    r.systemAudio = "silence";
    r.outputs = std::move(outputs);
    r.defaultOutput.reset();
    return r;
}

Config groupABC() {
    Config c;
    c.include = std::map<std::string, bool>{{"A", true}, {"B", true}, {"C", true}, {"D", false}};
    return c;
}

bool mutedInRoom(Rig& rig, const std::string& uid) {
    return readMute(rig.sim, *rig.sim.idForUID(uid)).value_or(false);
}

TEST(GuidedAlign, WalkKeepsOnlyThePairAudibleFoldsThePipelineAndRestoresMutes) {
    Config settings = groupABC();
    settings.measured = {{"A", 20}, {"B", 120}, {"C", 120}};
    settings.offsets = {{"B", 110}, {"C", 110}};
    Rig rig(quietRoom());
    rig.store.save(settings);
    Controller& c = rig.start();
    ASSERT_TRUE(rig.startAligned());

    c.startGuidedAlign();
    EXPECT_EQ(c.status(), "Aligning B with A — adjust until you hear ONE sound.");
    EXPECT_EQ(std::vector<bool>({mutedInRoom(rig, "A"), mutedInRoom(rig, "B"),
                                 mutedInRoom(rig, "C"), mutedInRoom(rig, "D")}),
              std::vector<bool>({false, false, true, true}));
    EXPECT_TRUE(c.clickPlaying());

    c.confirmGuidedStep();
    EXPECT_EQ(rig.store.load().pipelineMs, std::optional<double>(105.0));
    EXPECT_EQ(c.status(), "Aligning C with A — adjust until you hear ONE sound.");
    EXPECT_TRUE(mutedInRoom(rig, "B"));
    EXPECT_FALSE(mutedInRoom(rig, "C"));

    // Plugged in mid-walk and muted by its own setting: it has no snapshot entry.
    rig.sim.addOutput(speaker("E", transport::usb, true));
    c.refreshDevices();

    c.confirmGuidedStep();
    EXPECT_EQ(rig.store.load().pipelineMs, std::optional<double>(157.5));
    EXPECT_EQ(c.status(), "Aligned by ear — all speakers confirmed against A.");
    EXPECT_FALSE(c.guidedIndex());
    EXPECT_FALSE(c.clickPlaying());
    EXPECT_EQ(
        std::vector<bool>({mutedInRoom(rig, "A"), mutedInRoom(rig, "B"), mutedInRoom(rig, "C"),
                           mutedInRoom(rig, "D"), mutedInRoom(rig, "E")}),
        std::vector<bool>({false, false, false, true, false}));
}

TEST(GuidedAlign, StopEndsAClickTestStartedBeforeTheWalkAndSpeakersWithoutMuteAreDropped) {
    {
        Rig rig(quietRoom());
        rig.store.save(groupABC());
        Controller& c = rig.start();
        ASSERT_TRUE(rig.startAligned());
        c.toggleClickTest();
        c.startGuidedAlign();
        c.endGuidedAlign("Guided align stopped.");
        EXPECT_EQ(c.status(), "Guided align stopped.");
        EXPECT_FALSE(c.clickPlaying());
        EXPECT_FALSE(c.clickLoopActive());
    }
    Rig rig(
        quietRoom({speaker("A", transport::bluetooth), speaker("B", transport::usb, false, false),
                   speaker("C", transport::usb, false, false)}));
    rig.store.save(groupABC());
    Controller& c = rig.start();
    ASSERT_TRUE(rig.startAligned());
    c.startGuidedAlign();
    EXPECT_EQ(c.status(),
              "Excluded B, C — no mute control, it would keep playing during the test.");
    EXPECT_FALSE(c.guidedIndex());
    EXPECT_FALSE(c.clickPlaying());
    EXPECT_EQ(c.includedDevices().size(), 1u);
}

TEST(GuidedAlign, NudgesStayWithin0To250MsAndReachTheEngineBeforeTheFile) {
    Config settings = groupABC();
    settings.offsets = {{"C", 248}};
    Rig rig(quietRoom());
    rig.store.save(settings);
    Controller& c = rig.start();
    ASSERT_TRUE(rig.startAligned());
    c.startGuidedAlign();

    c.nudgeGuided(-5);  // B has no offset yet: stays at 0
    c.nudgeGuided(+25);
    EXPECT_EQ(c.engine().delayFrames(1), 1200);  // B: 25 ms at 48 kHz
    EXPECT_EQ(rig.store.load().offsets.count("B"), 0u);
    c.confirmGuidedStep();
    c.nudgeGuided(+25);
    EXPECT_EQ(c.offsets().at("C"), 250.0);
    c.endGuidedAlign(std::nullopt);
    EXPECT_EQ(rig.store.load().offsets, (std::map<std::string, double>{{"B", 25}, {"C", 250}}));
}

TEST(RebaseOffsets, ANegativeOffsetShiftsEveryoneLaterAndSaves) {
    Rig rig(quietRoom({speaker("A", transport::usb), speaker("B", transport::usb)}));
    rig.store.save(groupABC());
    Controller& c = rig.start();
    ASSERT_TRUE(rig.startAligned());
    c.setOffset(rig.dev("A"), -12.6);
    c.setOffset(rig.dev("B"), 40);

    c.rebaseOffsets();
    EXPECT_EQ(c.offsets(), (std::map<std::string, double>{{"A", 0}, {"B", 52.6}}));
    EXPECT_EQ(c.status(),
              "Moved earlier — the others shifted +12 ms to match. Reference unchanged.");
    EXPECT_EQ(c.engine().delayFrames(1), 2525);  // 52.6 ms at 48 kHz
    EXPECT_EQ(rig.store.load().offsets, c.offsets());
}

std::int16_t sampleAt(const std::string& wav, std::size_t i) {
    const auto lo = static_cast<unsigned char>(wav[44 + 2 * i]);
    const auto hi = static_cast<unsigned char>(wav[45 + 2 * i]);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
}

TEST(ClickTest, ClickFileIsEightClicksOfMono16BitPcmRewrittenOnlyWhenItDiffers) {
    Rig rig(quietRoom());
    Controller& c = rig.start();
    c.ensureClickFile();
    const std::string wav = rig.readFile("click.wav").value_or("");
    ASSERT_EQ(wav.size(), 384044u);
    EXPECT_EQ(wav.substr(0, 44), std::string("RIFF\x24\xdc\x05\x00WAVEfmt \x10\x00\x00\x00"
                                             "\x01\x00\x01\x00\x80\xbb\x00\x00\x00\x77\x01\x00"
                                             "\x02\x00\x10\x00"
                                             "data\x00\xdc\x05\x00",
                                             44));
    EXPECT_EQ(sampleAt(wav, 5), 24425);
    EXPECT_EQ(sampleAt(wav, 20), -22614);     // -22614.01 truncates toward zero
    EXPECT_EQ(sampleAt(wav, 168005), 24425);  // the eighth click, at 3.5 s
    EXPECT_EQ(sampleAt(wav, 384), 0);         // a click lasts 8 ms

    const auto stamp = std::filesystem::last_write_time(rig.store.fileURL("click.wav"));
    c.toggleClickTest();
    c.toggleClickTest();
    EXPECT_EQ(std::filesystem::last_write_time(rig.store.fileURL("click.wav")), stamp);
    // The file is ours: one cut short would fail every later click test.
    std::ofstream(rig.store.fileURL("click.wav"), std::ios::trunc) << wav.substr(0, 1000);
    c.toggleClickTest();
    c.toggleClickTest();
    EXPECT_EQ(rig.readFile("click.wav"), wav);
}

}  // namespace
