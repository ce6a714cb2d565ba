// Start-up, device decisions, the reference speaker, the three modes and shutdown over the
// simulated room.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/rig.h"

#include <filesystem>
#include <fstream>

using namespace housetone;
using namespace housetone::testsupport;

namespace {

const std::string togetherKitchenDesk = "Together: Kitchen + Desk (no alignment)";

TEST(ControllerDevices, FirstRunAnnouncesEveryDeviceSavedDecisionsNobodyAndNewcomersInListOrder) {
    {
        Rig rig;
        Controller& c = rig.start();
        EXPECT_EQ(c.status(),
                  "Kitchen, Porch, Built-in Speakers, Desk appeared — tick it to add it to the "
                  "group.");
        EXPECT_EQ(c.include().size(), 4u);
        EXPECT_TRUE(c.includedDevices().empty());
        EXPECT_EQ(rig.outputUID(), "builtin");  // start-up routes nothing and writes nothing
        EXPECT_FALSE(rig.readFile("offsets.json"));
    }
    {
        // Offsets within the limit load as they are and nothing is written.
        Rig rig;
        const std::map<std::string, double> kept{{"desk", -250.0}, {"porch", 2450.0}};
        Controller& c = rig.start({{"kitchen", true}}, kept);
        EXPECT_EQ(c.offsets(), kept);
        EXPECT_FALSE(rig.store.load().anchor);
    }
    Rig rig;
    Controller& c = rig.start({{"kitchen", true}}, {{"desk", -9000.0}, {"porch", 250.0}});
    EXPECT_EQ(c.status(), "");
    EXPECT_EQ(c.include(),
              (std::map<std::string, bool>{
                  {"builtin", false}, {"desk", false}, {"kitchen", true}, {"porch", false}}));
    // Clamped at start-up and saved; the first save stores the reference as the anchor.
    EXPECT_EQ(rig.store.load().offsets,
              (std::map<std::string, double>{{"desk", -3000.0}, {"porch", 250.0}}));
    EXPECT_EQ(rig.store.load().anchor, "kitchen");

    // An unplugged speaker keeps its decision; newcomers are named in list order.
    c.setInclude(rig.dev("desk"), true);
    rig.sim.removeDevice("desk");
    c.tick();
    EXPECT_EQ(rig.listedUIDs(), (std::vector<std::string>{"kitchen", "porch", "builtin"}));
    rig.sim.addOutput(speaker("desk", {.name = "Desk"}));
    c.tick();
    EXPECT_EQ(c.includedDevices().size(), 2u);
    EXPECT_EQ(c.status(), "");

    rig.sim.addOutput(speaker("attic", {.name = "Attic"}));
    rig.sim.addOutput(speaker("bath", {.name = "Bath", .transport = transport::bluetooth}));
    c.tick();
    EXPECT_EQ(c.status(), "Bath, Attic appeared — tick it to add it to the group.");
    EXPECT_FALSE(c.include().at("attic") || c.include().at("bath"));
}

// The settings file is the user's: one that does not read, or cannot be read, is said at start-up
// and never passed over; the first save keeps one that does not read aside before replacing it,
// and leaves one that cannot be read.
TEST(ControllerStartUp, ASettingsFileThatDoesNotReadIsSaidOnceAndKeptAsideOneUnreadableIsLeft) {
    Rig rig;
    std::filesystem::create_directories(rig.store.stateDirectory());
    const std::string typo = R"({"offsets": {"desk": "40"}, "names": {}, "measured": {}})";
    std::ofstream(rig.store.fileURL("offsets.json")) << typo;
    ::testing::internal::CaptureStderr();
    Controller& c = rig.start();
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string said = "Settings not read: settings file \"" +
                             rig.store.fileURL("offsets.json").string() +
                             "\": offsets.desk: must be a number, not a string; starting from the "
                             "defaults, and the file is kept as offsets.json.unreadable when "
                             "settings are next saved";
    EXPECT_EQ(err, "housetone: " + said + "\n");
    EXPECT_EQ(c.status(), said);
    EXPECT_TRUE(c.offsets().empty());
    EXPECT_EQ(rig.readFile("offsets.json"), typo) << "start-up must not replace it";
    c.save();
    EXPECT_EQ(rig.readFile("offsets.json.unreadable"), typo);
    EXPECT_TRUE(decodeConfig(rig.readFile("offsets.json").value_or("")).has_value());

    Rig locked;
    std::filesystem::create_directories(locked.store.fileURL("offsets.json") / "occupied");
    ::testing::internal::CaptureStderr();
    const std::string status = locked.start().status();
    const std::string lockedErr = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(status.starts_with("Settings not read: cannot read \"") &&
                status.find("; starting from the defaults, and the file is not replaced") !=
                    std::string::npos)
        << status;
    EXPECT_TRUE(lockedErr.starts_with("housetone: Settings not read: ")) << lockedErr;
}

TEST(ControllerDevices, EachListedSpeakerPublishesItsControlsAndWhetherItHasACorrection) {
    sim::RoomSpec room = fixtureRoom();
    room.outputs[0].hasVolume = false;
    Rig rig(std::move(room));
    Controller& c = rig.start({});
    rig.sim.addOutput(speaker("02-5E-11-A4-37-C9:output", {.name = "Studio", .hasMute = false}));
    c.tick();
    using Caps = SpeakerCapabilities;
    EXPECT_EQ(c.capabilities(),
              (std::map<std::string, Caps>{{"builtin", Caps{false, true, false}},
                                           {"kitchen", Caps{true, true, false}},
                                           {"desk", Caps{true, true, false}},
                                           {"porch", Caps{true, true, false}},
                                           {"02-5E-11-A4-37-C9:output", Caps{true, false, true}}}));
    rig.sim.removeDevice("desk");
    c.tick();
    EXPECT_FALSE(c.capabilities().contains("desk"));
}

TEST(ControllerDevices, ReferenceIsTheAnchorThenTheFirstBluetoothThenTheFirstIncluded) {
    Rig rig;
    Controller& c =
        rig.startWith({.anchor = "builtin",
                       .include = std::map<std::string, bool>{
                           {"builtin", true}, {"kitchen", true}, {"porch", true}, {"desk", true}}});
    EXPECT_EQ(c.referenceSpeaker()->uid, "builtin");
    c.setInclude(rig.dev("builtin"), false);  // an anchor that is not included does not count
    EXPECT_EQ(c.referenceSpeaker()->uid, "kitchen");
    c.setInclude(rig.dev("kitchen"), false);
    EXPECT_EQ(c.referenceSpeaker()->uid, "porch");
    c.setInclude(rig.dev("porch"), false);
    EXPECT_EQ(c.referenceSpeaker()->uid, "desk");
    EXPECT_EQ(rig.store.load().anchor, "builtin");  // saves never move a stored anchor
}

TEST(ControllerModes, TogetherNeedsTwoSpeakersAndFallsBackToSingleWhateverStopsIt) {
    Rig rig;
    Controller& c = rig.start({{"kitchen", true}});
    c.chooseMode(Mode::together);
    EXPECT_EQ(c.status(), "Need at least 2 included speakers");
    EXPECT_EQ(c.mode(), Mode::single);
    EXPECT_TRUE(rig.store.load().names.empty());  // not saved

    c.setInclude(rig.dev("desk"), true);
    rig.sim.injectFault({.call = sim::Call::createAggregate, .status = -1});
    rig.chooseTogether();
    EXPECT_EQ(c.status(), "Could not combine the speakers into one output. Back to Single.");
    EXPECT_EQ(c.mode(), Mode::single);
    rig.sim.clearFaults();

    rig.chooseTogether();
    rig.chooseTogether();  // rebuilt: the output leaves the old copy before it goes
    EXPECT_EQ(rig.sim.defaultOutputLosses(), 0);
    EXPECT_EQ(c.status(), togetherKitchenDesk);
    EXPECT_EQ(rig.aggregateUIDs(), std::vector<std::string>{allSpeakersID});
    EXPECT_EQ(rig.outputUID(), allSpeakersID);
    const auto pair = rig.sim.idForUID(allSpeakersID);
    c.setInclude(rig.dev("porch"), true);  // rebuilt at once
    rig.allSpeakersBuilt();
    EXPECT_NE(rig.sim.idForUID(allSpeakersID), pair);
    c.setInclude(rig.dev("porch"), false);
    rig.allSpeakersBuilt();
    // Unplugging one of the two leaves the output where single would put it, not on an "All
    // Speakers" of one member.
    rig.sim.removeDevice("desk");
    c.tick();
    EXPECT_EQ(c.mode(), Mode::single);
    EXPECT_EQ(c.status(), "Need at least 2 included speakers");
    EXPECT_EQ(rig.outputUID(), "builtin");
}

TEST(ControllerModes, TogetherIsBuiltOffTheMainThreadAndANewerChoiceOvertakesIt) {
    // Creating "All Speakers" is held until the test lets it go, as a slow audio system would.
    std::mutex m;
    std::condition_variable cv;
    std::optional<std::thread::id> askedOn;
    bool released = false;
    Rig rig;  // after what its hook uses, so that it goes first
    rig.sim.setBeforeCreateAggregate([&](const AggregateDescription& d) {
        if (d.isPrivate) return;
        std::unique_lock lock(m);
        askedOn = std::this_thread::get_id();
        cv.notify_all();
        cv.wait_for(lock, std::chrono::seconds(2), [&] { return released; });
    });
    Controller& c = rig.start({{"kitchen", true}, {"desk", true}});
    c.chooseMode(Mode::together);
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(
            cv.wait_for(lock, std::chrono::seconds(5), [&] { return askedOn.has_value(); }));
        EXPECT_NE(*askedOn, std::this_thread::get_id()) << "the main thread waited for the device";
    }
    c.chooseMode(Mode::single);  // while the device is still being made
    {
        std::lock_guard lock(m);
        released = true;
        cv.notify_all();
    }
    ASSERT_TRUE(rig.main.runUntil([&] { return rig.sim.idForUID(allSpeakersID).has_value(); }, 10));
    rig.main.runFor(0.3);  // its settle time passes and its result arrives
    EXPECT_EQ(c.mode(), Mode::single);
    EXPECT_EQ(c.status(), "Single output: Built-in Speakers");
    EXPECT_EQ(rig.outputUID(), "builtin");
}

// Returning to the earlier output is checked where together is left; here it is gone.
TEST(ControllerModes, SingleFallsBackToTheReferenceWhenTheEarlierOutputIsGone) {
    Rig rig;
    Controller& c = rig.start({{"kitchen", true}, {"desk", true}});
    rig.chooseTogether();
    rig.sim.removeDevice("builtin");
    c.chooseMode(Mode::single);
    EXPECT_EQ(rig.outputUID(), "kitchen");
    EXPECT_EQ(c.status(), "Single output: Kitchen");
}

TEST(ControllerModes, AlignedWithOneSpeakerStartsItWithoutDelay) {
    Rig rig;
    Controller& c = rig.start({{"desk", true}}, {{"desk", 120.0}});
    ASSERT_TRUE(rig.startAligned());
    EXPECT_EQ(c.status(),
              "Aligned: Desk is the reference; delay sliders hold the others back to meet it");
    ASSERT_EQ(c.engine().targets().size(), 1u);
    EXPECT_EQ(c.engine().delayFrames(0), 0);
    EXPECT_EQ(c.offsets().at("desk"), 120.0);
    EXPECT_EQ(rig.outputUID(), "desk");
}

TEST(ControllerModes, FailedAlignedStartRestoresTheOutputAndOneOvertakenLeavesNoEngineBehind) {
    Rig rig;
    Controller& c = rig.start({{"kitchen", true}, {"desk", true}});
    rig.sim.injectFault({.call = sim::Call::createTap, .status = -50});
    ::testing::internal::CaptureStderr();
    c.chooseMode(Mode::aligned);
    setDefaultOutput(rig.sim, *rig.sim.idForUID("desk"));  // moved while the start runs
    ASSERT_TRUE(rig.main.runUntil([&] { return c.mode() == Mode::single; }, 20));
    // The user reads what failed; the log keeps the audio system's terms and code.
    EXPECT_EQ(c.status(),
              "Aligned could not start: the audio system did not hand over what programs play. "
              "Back to Single; the details are in the log.");
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("tap creation failed (OSStatus -50)"),
              std::string::npos);
    EXPECT_EQ(rig.outputUID(), "builtin");

    rig.sim.clearFaults();
    bool oneShotRan = false;
    c.setAlignedStartCompleted([&](bool) { oneShotRan = true; });
    c.chooseMode(Mode::aligned);
    rig.chooseTogether();
    rig.main.runFor(0.2);  // the overtaken start's completion arrives meanwhile
    EXPECT_EQ(c.status(), togetherKitchenDesk);
    EXPECT_TRUE(rig.sim.tapIDs().empty());
    EXPECT_EQ(rig.sim.ioProcCount(), 0u);
    EXPECT_EQ(rig.outputUID(), allSpeakersID);
    EXPECT_FALSE(oneShotRan);
}

TEST(ControllerShutdown, SavesAndTheControllerCanBeDestroyedWithAClickTestStartedSince) {
    Rig rig;
    Controller& c = rig.start({{"kitchen", true}});
    c.setOffset(rig.dev("desk"), 30);  // not saved by itself
    c.shutdown();
    EXPECT_EQ(rig.store.load().offsets.at("desk"), 30.0);
    c.toggleClickTest();
    rig.ctl.reset();  // must join the click loop rather than abort the program
}

}  // namespace
