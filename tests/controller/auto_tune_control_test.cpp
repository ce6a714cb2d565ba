// Auto-tune as the controller runs it: refusals and permission texts, a refusal taken back once the
// group no longer calls for it, one real tune in a quiet simulated room with the aligned engine
// paused around it, and a cancel. Checked through the model, the settings file, the audit log and
// "autotune.log".
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "core/printable.h"
#include "support/rig.h"
#include "tune/auto_tuner.h"

using namespace housetone;
using namespace housetone::testsupport;

namespace {

// Shelf sounds ~113 ms after Desk (108 ms more latency, 1.8 m farther).
sim::RoomSpec tuneRoom(sim::MicPermissionState permission, bool answer = true) {
    sim::RoomSpec r = quietRoom(
        {speaker("desk", {.name = "Desk",
                          .transport = transport::builtIn,
                          .latencyMs = 12,
                          .distanceM = 1.2,
                          .level = 0.2}),
         speaker("shelf", {.name = "Shelf", .latencyMs = 120, .distanceM = 3, .level = 0.2})});
    r.inputs[0].noiseRms = 0.002;
    r.microphonePermission = permission;
    r.microphoneRequestAnswer = answer;
    return r;
}

using Perm = sim::MicPermissionState;

std::optional<std::string> overallAfterPress(Perm permission, std::map<std::string, bool> include,
                                             bool answer = true) {
    Rig rig(tuneRoom(permission, answer));
    Controller& c = rig.start(std::move(include));
    c.toggleAutoTune();
    rig.main.runUntil([&] { return c.tuneOverall() && c.tuneOverall()->find("Waiting") != 0; }, 10);
    EXPECT_FALSE(c.tuning());
    return c.tuneOverall();
}

TEST(AutoTuneControl, RefusalsComeBeforeThePermissionCheckAndEachPermissionStateSaysWhatToDo) {
    const std::map<std::string, bool> both{{"desk", true}, {"shelf", true}};
    EXPECT_EQ(overallAfterPress(Perm::notDetermined, {{"desk", true}}),
              "Tick at least two speakers");
    const std::string off =
        "Microphone access is off. Allow it in your desktop's privacy settings, then try again.";
    EXPECT_EQ(overallAfterPress(Perm::restricted, both), off);
    EXPECT_EQ(overallAfterPress(Perm::denied, both), off);
    EXPECT_EQ(overallAfterPress(Perm::notDetermined, both, false),
              "Microphone access denied — Auto-tune needs a microphone. Allow it in your "
              "desktop's privacy settings, then try again.");
}

// Desk's name would retitle a terminal and Shelf's UID clear it: the status line, the audit log
// and "autotune.log" show them written out.
TEST(AutoTuneRefusal, ListedSpeakersAskForTwoTickedAndTheReasonGoesWhenItNoLongerHolds) {
    Rig rig;  // four speakers listed, none ticked
    Controller& c = rig.start({});
    ASSERT_GE(c.devices().size(), 2u);
    const std::optional<std::string> tickTwo("Tick at least two speakers");
    c.toggleAutoTune();
    EXPECT_EQ(c.tuneOverall(), tickTwo);
    // One ticked: still true, still said.
    c.setInclude(c.devices()[0], true);
    EXPECT_EQ(c.tuneOverall(), tickTwo);
    c.toggleAutoTune();
    EXPECT_EQ(c.tuneOverall(), tickTwo);
    // Two ticked: no longer true, taken back.
    c.setInclude(c.devices()[1], true);
    EXPECT_EQ(c.tuneOverall(), std::nullopt);
}

TEST(AutoTuneRefusal, WithNoSpeakerListedItSaysNoneWasFound) {
    Rig rig(quietRoom({}));
    Controller& c = rig.start({});
    ASSERT_TRUE(c.devices().empty());
    c.toggleAutoTune();
    EXPECT_EQ(c.tuneOverall(), std::optional<std::string>("No speakers found"));
}

TEST(AutoTuneControl, AGrantedRunPausesTheEngineAppliesSavesAuditsLogsAndResumes) {
    sim::RoomSpec room = tuneRoom(Perm::notDetermined);
    const std::string desk = "Desk\\x1b]0;owned\\x07", shelf = "shelf\x1b[2J";
    room.outputs[0].name = "Desk\x1b]0;owned\x07";
    room.outputs[1].uid = shelf;
    Rig rig(room);
    // The engine's own path holds Shelf back 10 ms more than the microphone hears.
    Controller& c = rig.startWith(
        {.include = std::map<std::string, bool>{{"desk", true}, {shelf, true}, {"attic", true}},
         .engineTrimMs = std::map<std::string, double>{{shelf, 10}}});
    ASSERT_TRUE(rig.startAligned());

    bool measuring = false, engineDownWhileMeasuring = false, restartedDuringTune = false;
    c.addObserver([&](Field f) {
        if (f == Field::tuneOverall && c.tuneOverall() == "Checking microphone & room noise…") {
            measuring = true;
            engineDownWhileMeasuring = c.engine().installedRun() == 0;
        }
        if (f == Field::status && c.tuning()) restartedDuringTune = true;
    });
    // Pausing only stops the engine, so the next start to complete is the resume's.
    bool restarted = false;
    c.setAlignedStartCompleted([&](bool ok) { restarted = ok; });

    c.toggleAutoTune();
    EXPECT_EQ(c.tuneOverall(), "Waiting for you to allow microphone access…");
    ASSERT_TRUE(rig.main.runUntil([&] { return measuring; }, 10));
    // A speaker plugged in now waits: routing again would play music over the test signals.
    rig.sim.addOutput(speaker("attic"));
    c.tick();
    ASSERT_TRUE(rig.main.runUntil([&] { return !c.tuning(); }, 50));
    ASSERT_TRUE(rig.main.runUntil([&] { return restarted; }, 20)) << c.status();

    EXPECT_TRUE(engineDownWhileMeasuring);
    EXPECT_FALSE(restartedDuringTune);
    EXPECT_EQ(c.engine().targets().size(), 3u);
    EXPECT_NE(c.engine().installedRun(), 0u);

    ASSERT_EQ(c.offsets().count("desk"), 1u) << *c.tuneOverall();
    EXPECT_NEAR(c.offsets().at("desk"), 123, 2);
    EXPECT_EQ(c.offsets().at(shelf), 0.0);
    EXPECT_EQ(rig.store.load().offsets, c.offsets());
    EXPECT_NE(c.engine().delayFrames(0), 0);
    const std::string audit = "  offset " + desk + " 0 -> " +
                              std::to_string(static_cast<long>(c.offsets().at("desk"))) + "\n";
    EXPECT_NE(rig.readFile("offsets-audit.log").value_or("").find(audit), std::string::npos);
    EXPECT_EQ(c.tunePhases().count("desk"), 1u);
    // The slowest speaker is the one everyone waits for: it is the reference now, not the one
    // that was chosen before and would hold a delay no control shows.
    EXPECT_EQ(c.referenceSpeaker()->uid, shelf);
    EXPECT_EQ(rig.store.load().anchor, shelf);
    EXPECT_EQ(c.status().find('\x1b'), std::string::npos) << c.status();

    const std::string log = rig.readFile("autotune.log").value_or("");
    const std::string head = printableLines(*c.tuneOverall()) + "\n---\npair ";
    EXPECT_NE(head.find(desk), std::string::npos);
    EXPECT_EQ(log.substr(0, head.size()), head);
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_NE(log.back(), '\n');
}

TEST(AutoTuneControl, PressingDuringARunOnlyCancelsAndKeepsWhatWasApplied) {
    Rig rig(tuneRoom(Perm::authorized));
    Controller& c = rig.start({{"desk", true}, {"shelf", true}});
    c.toggleAutoTune();
    // Offsets reach the model before the per-speaker lines that follow them.
    ASSERT_TRUE(rig.main.runUntil([&] { return !c.tunePhases().empty(); }, 30));
    const auto applied = c.offsets();
    ASSERT_EQ(applied.size(), 2u);

    c.toggleAutoTune();
    EXPECT_EQ(c.tuneOverall(), "Cancelling…");
    EXPECT_TRUE(c.tuning());

    ASSERT_TRUE(rig.main.runUntil([&] { return !c.tuning(); }, 30));
    rig.main.runFor(0.2);  // room for a wrongly posted resume
    // "Cancelled." or the pass-1 report, depending on where the run noticed.
    EXPECT_NE(c.tuneOverall()->find("Cancelled"), std::string::npos) << *c.tuneOverall();
    EXPECT_EQ(c.offsets(), applied);
    EXPECT_EQ(rig.store.load().offsets, applied);
    // Started outside aligned: nothing was paused, so nothing is started afterwards.
    EXPECT_TRUE(c.engine().targets().empty());
}

// A silent tap means the engine plays nothing worth pausing: the tune leaves it running, so the
// offsets the tune applies must reach it directly, and no restart follows.
TEST(AutoTuneControl, OverASilentTapTheEngineKeepsRunningAndHearsTheAppliedOffsetsAtOnce) {
    Rig rig(tuneRoom(Perm::authorized));
    Controller& c = rig.start({{"desk", true}, {"shelf", true}});
    rig.sim.setSystemSource([](std::int64_t, float* stereo, int frames) {
        std::fill(stereo, stereo + 2 * frames, 5.0e-8f);
    });
    ASSERT_TRUE(rig.startAligned());
    const auto run = c.engine().installedRun();
    for (int tick = 0; tick < 3; ++tick)
        rig.tickAfterAudio();
    ASSERT_TRUE(c.tapSilent());

    c.toggleAutoTune();
    c.toggleAutoTune();  // cancelled at once; its hand-over of offsets is played by hand
    c.tuner()->applyOffsets({{"shelf", 50.0}});
    ASSERT_TRUE(rig.main.runUntil([&] { return !c.tuning(); }, 30));
    rig.main.runFor(0.2);  // room for a wrongly posted resume
    EXPECT_EQ(c.engine().installedRun(), run);
    EXPECT_EQ(c.engine().delayFrames(1), 2400);  // 50 ms at 48 kHz
    EXPECT_EQ(rig.store.load().offsets.at("shelf"), 50.0);
}

// A full disk, a folder gone read-only: the tune's offsets play, and its report says they were not
// kept, as the status line does; a log that cannot be written is said as well.
TEST(AutoTuneControl, AResultTheFileCannotTakeIsAppliedAndTheReportSaysItWasNotSaved) {
    Rig rig(tuneRoom(Perm::authorized));
    Controller& c = rig.start({{"desk", true}, {"shelf", true}});
    for (const char* name : {"offsets.json", "autotune.log"}) {
        std::filesystem::remove(rig.store.fileURL(name));
        std::filesystem::create_directory(rig.store.fileURL(name));
    }
    ::testing::internal::CaptureStderr();
    c.toggleAutoTune();
    c.toggleAutoTune();  // cancelled at once; its hand-over of offsets is played by hand
    c.tuner()->applyOffsets({{"shelf", 50.0}});
    ASSERT_TRUE(rig.main.runUntil([&] { return !c.tuning(); }, 30));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.offsets().at("shelf"), 50.0);
    EXPECT_NE(c.tuneOverall()->find("\nThe offsets are applied but not saved: cannot read"),
              std::string::npos)
        << *c.tuneOverall();
    EXPECT_NE(err.find("housetone: Settings not saved: "), std::string::npos) << err;
    EXPECT_NE(err.find("housetone: The tune log not saved: cannot write"), std::string::npos)
        << err;
}

// How old an alignment is matters where latency moves (network speakers): each offset a tune
// applies is dated and kept in the settings, a hand change is not a measurement, and a date the
// file cannot give is said once while the rest of the file is used.
TEST(AutoTuneControl, AnAppliedOffsetIsDatedAndKeptAndABadDateInTheFileIsSaidAndLeftOut) {
    Rig rig(tuneRoom(Perm::authorized));
    Controller& c = rig.start({{"desk", true}, {"shelf", true}});
    EXPECT_FALSE(c.measuredAt("shelf"));
    int changes = 0;
    c.addObserver([&](Field f) { changes += f == Field::measuredAt; });
    c.toggleAutoTune();
    c.toggleAutoTune();  // cancelled at once; its hand-over of offsets is played by hand
    const std::int64_t before = systemSeconds();
    c.tuner()->applyOffsets({{"shelf", 50.0}, {"desk", NAN}});
    ASSERT_TRUE(rig.main.runUntil([&] { return !c.tuning(); }, 30));
    const std::int64_t after = systemSeconds();
    const auto at = c.measuredAt("shelf");
    ASSERT_TRUE(at);
    EXPECT_TRUE(*at >= before && *at <= after) << *at;
    EXPECT_FALSE(c.measuredAt("desk"));
    EXPECT_EQ(changes, 1);
    c.setOffset(rig.dev("shelf"), 70.0);
    c.endOffsetDrag();
    EXPECT_EQ(rig.store.load().measuredAt, (std::map<std::string, std::int64_t>{{"shelf", *at}}));

    Rig later(tuneRoom(Perm::authorized));
    std::filesystem::create_directories(later.store.stateDirectory());
    const auto file = later.store.fileURL(SettingsStore::fileName);
    std::ofstream(file) << R"({"offsets":{"shelf":2450},"names":{},"measured":{},)"
                           R"("include":{"desk":true,"shelf":true},)"
                           R"("measuredAt":{"shelf":"yesterday","desk":1767225600}})";
    ::testing::internal::CaptureStderr();
    Controller& l = later.start();
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string said = "settings file \"" + file.string() +
                             "\": measuredAt.shelf: must be a whole number of seconds from 0 to "
                             "253402300799, not a string; ignored";
    EXPECT_EQ(l.status(), said);
    EXPECT_EQ(err, "housetone: " + said + "\n");
    EXPECT_EQ(l.offsets().at("shelf"), 2450.0);
    EXPECT_EQ(l.measuredAt("desk"), 1767225600);
    EXPECT_FALSE(l.measuredAt("shelf"));
}

}  // namespace
