// Guided alignment by ear and the click test on the simulated room: mute flags are read back from
// the simulated devices, the pipeline estimate from the settings file, the click from what the
// system mix carried.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "support/rig.h"

using namespace housetone;
using namespace housetone::testsupport;

namespace {

sim::OutputSpec spk(const std::string& uid, std::uint32_t transport, bool muted = false,
                    bool hasMute = true) {
    return speaker(uid, {.transport = transport, .level = 0.2, .hasMute = hasMute, .muted = muted});
}

// A (Bluetooth) is the reference; B and C are walked through; D is listed and left out. B starts
// muted by the user.
const std::vector<sim::OutputSpec> abcd{spk("A", transport::bluetooth),
                                        spk("B", transport::usb, true), spk("C", transport::usb),
                                        spk("D", transport::hdmi)};

const Config groupABC{
    .include = std::map<std::string, bool>{{"A", true}, {"B", true}, {"C", true}, {"D", false}}};

std::vector<bool> mutedInRoom(Rig& rig, const std::vector<std::string>& uids) {
    std::vector<bool> out;
    for (const auto& uid : uids)
        out.push_back(readMute(rig.sim, *rig.sim.idForUID(uid)).value_or(false));
    return out;
}

// The loudest sample of the system mix within 10 s (the player first loads the file).
float loudestClick(Rig& rig) {
    float peak = 0;
    for (int second = 0; second < 10 && peak < 0.5f; ++second) {
        const std::int64_t from = rig.sim.captureSystemMix(48000);
        rig.sim.waitForFrame(from + 48000 + rig.sim.bufferFrames());
        for (float v : rig.sim.systemMixCapture().second)
            peak = std::max(peak, std::fabs(v));
    }
    return peak;
}

TEST(GuidedAlign, WalkKeepsOnlyThePairAudibleWithClicksFoldsThePipelineAndRestoresMutes) {
    Config settings = groupABC;
    settings.measured = {{"A", 20}, {"B", 120}, {"C", 120}};
    settings.offsets = {{"B", 110}, {"C", 110}};
    Rig rig(quietRoom(abcd));
    Controller& c = rig.startWith(settings);
    ASSERT_TRUE(rig.startAligned());

    c.startGuidedAlign();
    EXPECT_EQ(c.status(), "Aligning B with A — adjust until you hear ONE sound.");
    EXPECT_EQ(mutedInRoom(rig, {"A", "B", "C", "D"}),
              std::vector<bool>({false, false, true, true}));
    EXPECT_TRUE(c.clickPlaying());
    EXPECT_GT(loudestClick(rig), 0.5f);

    c.confirmGuidedStep();
    EXPECT_EQ(rig.store.load().pipelineMs, std::optional<double>(105.0));
    EXPECT_EQ(c.status(), "Aligning C with A — adjust until you hear ONE sound.");
    EXPECT_EQ(mutedInRoom(rig, {"B", "C"}), std::vector<bool>({true, false}));

    // Plugged in mid-walk and muted by its own setting: it has no snapshot entry.
    rig.sim.addOutput(spk("E", transport::usb, true));
    c.refreshDevices();

    c.confirmGuidedStep();
    EXPECT_EQ(rig.store.load().pipelineMs, std::optional<double>(157.5));
    EXPECT_EQ(c.status(), "Aligned by ear — all speakers confirmed against A.");
    EXPECT_FALSE(c.guidedIndex() || c.clickPlaying());
    EXPECT_EQ(mutedInRoom(rig, {"A", "B", "C", "D", "E"}),
              std::vector<bool>({false, true, false, false, false}));
}

// A speaker without a mute control is left out of the walk but not out of the group: the engine
// holds it silent while the walk runs, and the closing line names it.
TEST(GuidedAlign, ASpeakerWithoutMuteIsSilencedForTheWalkAndStaysInTheGroup) {
    const std::string why = "Excluded B — no mute control, it would keep playing during the test.";
    Rig rig(quietRoom({spk("A", transport::bluetooth), spk("B", transport::usb, false, false),
                       spk("C", transport::usb)}));
    Controller& c = rig.startWith(groupABC);
    ASSERT_TRUE(rig.startAligned());
    const auto gainOf = [&](const std::string& uid) {
        const auto t = c.engine().targets();
        const auto it =
            std::find_if(t.begin(), t.end(), [&](const Dev& d) { return d.uid == uid; });
        EXPECT_NE(it, t.end()) << uid << " is not played";
        return c.engine().toneStores().gain[std::size_t(it - t.begin())].load();
    };
    const float boost = gainOf("B");
    c.startGuidedAlign();
    EXPECT_EQ(c.status(), "Aligning C with A — adjust until you hear ONE sound. " + why);
    EXPECT_EQ(std::tuple(gainOf("B"), gainOf("C")), std::tuple(0.f, boost));
    c.confirmGuidedStep();
    EXPECT_EQ(c.status(), "Aligned by ear against A — not aligned by ear: B (no mute control).");
    EXPECT_EQ(gainOf("B"), boost);
    EXPECT_EQ(rig.store.load().include->at("B"), true);

    Rig alone(quietRoom({spk("A", transport::bluetooth), spk("B", transport::usb, false, false)}));
    Controller& a = alone.startWith(groupABC);
    ASSERT_TRUE(alone.startAligned());
    a.startGuidedAlign();
    EXPECT_EQ(a.status(), why);
    EXPECT_FALSE(a.guidedIndex() || a.clickPlaying());
    EXPECT_EQ(alone.store.load().include->at("B"), true);
}

TEST(GuidedAlign, NudgesStayWithin0To3000MsReachTheEngineBeforeTheFileAndEndStopsTheClicks) {
    Config settings = groupABC;
    settings.offsets = {{"C", 2998}};
    Rig rig(quietRoom(abcd));
    Controller& c = rig.startWith(settings);
    ASSERT_TRUE(rig.startAligned());
    c.toggleClickTest();  // started before the walk, it ends with it
    c.startGuidedAlign();

    c.nudgeGuided(-5);  // B has no offset yet: stays at 0
    c.nudgeGuided(+25);
    c.nudgeGuided(NAN);
    EXPECT_EQ(c.engine().delayFrames(1), 1200);  // B: 25 ms at 48 kHz
    EXPECT_EQ(rig.store.load().offsets.count("B"), 0u);
    c.confirmGuidedStep();  // "Skip this one" too: the step is saved either way
    EXPECT_EQ(rig.store.load().offsets.at("B"), 25.0);
    c.nudgeGuided(+25);
    EXPECT_EQ(c.offsets().at("C"), 3000.0);
    c.endGuidedAlign(std::nullopt);
    EXPECT_EQ(rig.store.load().offsets, (std::map<std::string, double>{{"B", 25}, {"C", 3000}}));
    EXPECT_FALSE(c.clickPlaying() || c.clickLoopActive());
}

TEST(RebaseOffsets, ANegativeOffsetShiftsEveryoneLaterEvenWithoutAStoredOffsetAndSaves) {
    Rig rig(
        quietRoom({spk("A", transport::usb), spk("B", transport::usb), spk("C", transport::usb)}));
    Controller& c = rig.startWith(groupABC);
    ASSERT_TRUE(rig.startAligned());
    c.setOffset(rig.dev("A"), -12.6);
    c.setOffset(rig.dev("B"), 40);

    c.rebaseOffsets();
    EXPECT_EQ(c.offsets(), (std::map<std::string, double>{{"A", 0}, {"B", 52.6}, {"C", 12.6}}));
    EXPECT_EQ(c.status(),
              "Moved earlier — the others shifted +12 ms to match. Reference unchanged.");
    EXPECT_EQ(c.engine().delayFrames(1), 2525);  // 52.6 ms at 48 kHz
    EXPECT_EQ(c.engine().delayFrames(2), 605);
    EXPECT_EQ(rig.store.load().offsets, c.offsets());
}

std::int16_t sampleAt(const std::string& wav, std::size_t i) {
    return std::int16_t(
        std::uint16_t(std::uint8_t(wav[44 + 2 * i]) | std::uint8_t(wav[45 + 2 * i]) << 8));
}

TEST(ClickTest, ClickFileIsEightClicksOfMono16BitPcmRewrittenOnlyWhenItDiffers) {
    Rig rig(quietRoom(abcd));
    Controller& c = rig.start();
    c.ensureClickFile();
    const std::string wav = rig.readFile("click.wav").value_or("");
    ASSERT_EQ(wav.size(), 384044u);
    EXPECT_EQ(wav.substr(0, 44), std::string("RIFF\x24\xdc\x05\x00WAVEfmt \x10\x00\x00\x00"
                                             "\x01\x00\x01\x00\x80\xbb\x00\x00\x00\x77\x01\x00"
                                             "\x02\x00\x10\x00"
                                             "data\x00\xdc\x05\x00",
                                             44));
    // -22614.01 truncates toward zero; the eighth click starts at 3.5 s; a click lasts 8 ms.
    EXPECT_EQ(std::vector<std::int16_t>(
                  {sampleAt(wav, 5), sampleAt(wav, 20), sampleAt(wav, 168005), sampleAt(wav, 384)}),
              std::vector<std::int16_t>({24425, -22614, 24425, 0}));

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
