// The tick: tap health flags from the engine's meter, following device changes, volume read-back
// and keeping the system output on the reference while aligned plays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "support/rig.h"

using namespace housetone;
using namespace housetone::testsupport;

namespace {

struct AlignedRig : Rig {
    AlignedRig() { start({{"kitchen", true}, {"desk", true}, {"attic", true}}); }
};

sim::SourceFn constantSource(float level) {
    return [level](std::int64_t, float* stereo, int frames) {
        std::fill(stereo, stereo + 2 * frames, level);
    };
}

TEST(TapMonitor, TapDeliveringOnlySilenceIsBlockedOnTheEighthTickRunningUntilSoundComes) {
    AlignedRig rig;
    rig.sim.setTapDelivery(sim::TapDelivery::silence);
    ASSERT_TRUE(rig.startAligned());
    for (int tick = 1; tick <= 5; ++tick)
        rig.tickAfterAudio();
    // A tick in which the callback never ran starts the count again.
    rig.sim.setRefusesCallback(rig.ctl->engine().aggID(), true);
    rig.tickAfterAudio();
    rig.tickAfterAudio();
    rig.sim.setRefusesCallback(rig.ctl->engine().aggID(), false);
    for (int tick = 1; tick <= 8; ++tick) {
        rig.tickAfterAudio();
        EXPECT_EQ(rig.ctl->tapBlocked(), tick == 8) << "tick " << tick;
        EXPECT_FALSE(rig.ctl->tapSilent());  // exactly zero is not judged as silence
    }
    rig.sim.setTapDelivery(sim::TapDelivery::normal);
    rig.tickAfterAudio();
    EXPECT_FALSE(rig.ctl->tapBlocked());
}

TEST(TapMonitor, DuringTheClickLoopBlockedComesOnTheSecondTickAndSilentOnTheThird) {
    AlignedRig rig;
    rig.sim.setTapDelivery(sim::TapDelivery::silence);
    ASSERT_TRUE(rig.startAligned());
    rig.ctl->toggleClickTest();
    const bool blocked[] = {false, true, true}, silent[] = {false, false, true};
    for (int tick = 0; tick < 3; ++tick) {
        rig.tickAfterAudio();
        EXPECT_EQ(rig.ctl->tapBlocked(), blocked[tick]) << "tick " << tick + 1;
        EXPECT_EQ(rig.ctl->tapSilent(), silent[tick]) << "tick " << tick + 1;
    }
    rig.ctl->toggleClickTest();
    ASSERT_TRUE(rig.startAligned());  // every mode application judges afresh
    EXPECT_FALSE(rig.ctl->tapBlocked() || rig.ctl->tapSilent());
}

TEST(TapMonitor, NearSilenceIsSilentOnTheThirdTickSoundClearsItAndANewSpeakerIsFollowed) {
    AlignedRig rig;
    rig.sim.setSystemSource(constantSource(5.0e-8f));
    ASSERT_TRUE(rig.startAligned());
    for (int tick = 1; tick <= 3; ++tick) {
        rig.tickAfterAudio();
        EXPECT_EQ(rig.ctl->tapSilent(), tick == 3) << "tick " << tick;
        EXPECT_FALSE(rig.ctl->tapBlocked());
    }
    rig.sim.setSystemSource(constantSource(0.05f));
    rig.tickAfterAudio();
    rig.tickAfterAudio();  // the first reading may still hold quiet buffers
    EXPECT_FALSE(rig.ctl->tapSilent());
    // A new speaker is followed, and the output is pinned back to the reference.
    rig.sim.addOutput(speaker("attic"));
    setDefaultOutput(rig.sim, *rig.sim.idForUID("builtin"));
    rig.ctl->tick();
    EXPECT_EQ(rig.outputUID(), "kitchen");
    EXPECT_TRUE(rig.main.runUntil([&] { return rig.ctl->engine().targets().size() == 3; }, 20));
    // An output that cannot be put back is said, once: programs may be playing past the engine.
    int warnings = 0;
    rig.ctl->addObserver([&](Field f) {
        if (f == Field::status && rig.ctl->status().rfind("Could not keep", 0) == 0) ++warnings;
    });
    setDefaultOutput(rig.sim, *rig.sim.idForUID("builtin"));
    rig.sim.injectFault({.call = sim::Call::setPropertyData,
                         .status = -50,
                         .selector = sel::defaultOutput,
                         .object = systemObject});
    rig.ctl->tick();
    EXPECT_NE(rig.ctl->status().find("Could not keep the system output on Kitchen; other programs"),
              std::string::npos)
        << rig.ctl->status();
    rig.ctl->setBassBoost(true);  // a status of its own in between
    rig.ctl->tick();
    EXPECT_EQ(warnings, 1);
    // One that is put back but does not stay is said too: after three ticks in a row.
    rig.sim.clearFaults();
    rig.ctl->chooseMode(Mode::aligned);
    const bool moved[] = {true, false, true, true, true};
    for (int tick = 0; tick < 5; ++tick) {
        if (moved[tick]) setDefaultOutput(rig.sim, *rig.sim.idForUID("builtin"));
        rig.ctl->tick();
        EXPECT_EQ(warnings, tick == 4 ? 2 : 1) << "tick " << tick + 1;
    }
}

TEST(TapMonitor, ASpeakerThatLeavesCostsTheOthersNoRestartAndComesBackWithItsOffset) {
    Rig rig;
    rig.start({{"kitchen", true}, {"desk", true}, {"porch", true}}, {{"porch", 30.0}});
    ASSERT_TRUE(rig.startAligned());
    const TapEngine& engine = rig.ctl->engine();
    const AudioObjectID playing = engine.aggID();
    ASSERT_TRUE(rig.sim.removeDevice("porch"));
    rig.tickAfterAudio();
    EXPECT_EQ(engine.aggID(), playing) << "the others were restarted";
    EXPECT_EQ(rig.ctl->status().rfind("Porch left; the others play on", 0), 0u)
        << rig.ctl->status();
    EXPECT_EQ(uidsOf(rig.ctl->departed()), std::vector<std::string>{"porch"});
    // A speaker nobody included is offered, never played to by itself.
    rig.sim.addOutput(speaker("attic"));
    rig.tickAfterAudio();
    EXPECT_EQ(engine.aggID(), playing);
    EXPECT_EQ(rig.listedUIDs().size(), 4u);
    EXPECT_EQ(uidsOf(rig.ctl->includedDevices()), (std::vector<std::string>{"kitchen", "desk"}));

    rig.sim.addOutput(speaker("porch", {.name = "Porch", .transport = transport::bluetoothLE}));
    rig.tickAfterAudio();
    ASSERT_TRUE(rig.main.runUntil([&] { return engine.targets().size() == 3; }, 20));
    const auto targets = uidsOf(engine.targets());
    const auto porch = std::find(targets.begin(), targets.end(), "porch") - targets.begin();
    ASSERT_LT(porch, 3);
    EXPECT_EQ(engine.delayFrames(int(porch)), std::lround(0.030 * engine.rate()));
    EXPECT_TRUE(rig.ctl->departed().empty());
}

// Delays are counted in frames: a graph that moved to another rate under the engine is followed
// by a start at the rate it runs at now, once.
TEST(TapMonitor, AGraphThatMovesToAnotherRateIsFollowedByOneFreshStart) {
    AlignedRig rig;
    ASSERT_TRUE(rig.startAligned());
    const TapEngine& engine = rig.ctl->engine();
    const AudioObjectID first = engine.aggID();
    rig.ctl->tick();
    EXPECT_EQ(engine.aggID(), first) << "restarted with nothing moved";
    const double moved = engine.rate() == 44100 ? 48000 : 44100;
    ASSERT_EQ(rig.sim.setPropertyData(first, {sel::nominalSampleRate, scope::global, 0}, 0, nullptr,
                                      sizeof moved, &moved),
              noErr);
    rig.ctl->tick();
    ASSERT_TRUE(
        rig.main.runUntil([&] { return engine.aggID() != first && engine.aggID() != 0; }, 20));
    const AudioObjectID second = engine.aggID();
    EXPECT_EQ(nominalRate(rig.sim, second), engine.rate());
    rig.ctl->tick();
    rig.main.runUntil([] { return false; }, 0.2);
    EXPECT_EQ(engine.aggID(), second);
    EXPECT_EQ(rig.ctl->mode(), Mode::aligned);
}

TEST(TapMonitor, AnAudioSystemThatGoesAwayIsSaidOnceAndTheModeRoutedAfreshWhenItIsBack) {
    AlignedRig rig;
    ASSERT_TRUE(rig.startAligned());
    std::vector<std::string> said;
    rig.ctl->addObserver([&](Field f) {
        if (f == Field::status) said.push_back(rig.ctl->status());
    });
    auto count = [&](const std::string& text) {
        return std::count_if(said.begin(), said.end(), [&](const std::string& s) {
            return s.find(text) != std::string::npos;
        });
    };
    const auto listed = rig.listedUIDs();
    const sim::Fault away{.call = sim::Call::getPropertyDataSize,
                          .status = -308,
                          .selector = sel::devices,
                          .object = systemObject};
    rig.sim.injectFault(away);
    rig.ctl->tick();
    rig.ctl->tick();
    // Said once, not again over what the user does meanwhile.
    rig.ctl->setBassBoost(true);
    rig.ctl->tick();
    // A start asked for meanwhile (a tune ending, say) waits for the server instead of failing
    // over to single, and the status still says why nothing plays.
    rig.ctl->applyMode(Mode::aligned);
    EXPECT_EQ(count("The audio system stopped answering. Housetone carries on when it is back."),
              1);
    EXPECT_EQ(rig.ctl->status().rfind("Boost", 0), 0u) << rig.ctl->status();
    EXPECT_EQ(rig.ctl->mode(), Mode::aligned);
    EXPECT_EQ(rig.listedUIDs(), listed);  // no speaker is taken for gone

    // Back, having forgotten the engine's aggregate: the mode is routed afresh, said once.
    AudioObjectID before = rig.ctl->engine().aggID();
    rig.sim.restartService();
    rig.sim.clearFaults();
    rig.watchStart();
    rig.ctl->tick();
    rig.ctl->tick();
    ASSERT_TRUE(rig.startSucceeded());
    EXPECT_EQ(count("The audio system is back."), 1);
    EXPECT_NE(rig.ctl->engine().aggID(), before);
    EXPECT_GT(rig.sim.runningIOProcCount(), 0u);

    // A restart between two ticks is never seen as silence from the server, only in its count.
    before = rig.ctl->engine().aggID();
    rig.watchStart();
    rig.sim.restartService();
    rig.ctl->tick();
    ASSERT_TRUE(rig.startSucceeded());
    EXPECT_NE(rig.ctl->engine().aggID(), before);

    // A start that fails because the server went away under it is retried when it is back.
    said.clear();
    rig.watchStart();
    rig.sim.injectFault({.call = sim::Call::createTap, .status = -308});
    rig.ctl->chooseMode(Mode::aligned);
    rig.sim.injectFault(away);
    EXPECT_FALSE(rig.startSucceeded());
    EXPECT_EQ(rig.started, false);
    EXPECT_EQ(rig.ctl->mode(), Mode::aligned);
    EXPECT_EQ(count("stopped answering"), 1);
    rig.sim.clearFaults();
    rig.watchStart();
    rig.ctl->tick();
    EXPECT_TRUE(rig.startSucceeded());
}

TEST(TapMonitor, TogetherIsRebuiltForANewSpeakerByTheTickOrARescanButSingleOnlyRelists) {
    Rig rig;
    Controller& c =
        rig.start({{"kitchen", true}, {"desk", true}, {"surround", true}, {"attic", true}});
    rig.chooseTogether();
    const auto first = *rig.sim.idForUID(allSpeakersID);
    rig.sim.addOutput(speaker("surround", {.channels = 6}));
    rig.main.fireTimers();  // the tick arrives as its own main-queue task
    rig.main.runPending();
    rig.allSpeakersBuilt();
    const auto rebuilt = *rig.sim.idForUID(allSpeakersID);
    EXPECT_NE(rebuilt, first);
    EXPECT_EQ(channelCount(rig.sim, rebuilt, scope::output), 6);  // the surround device is in it
    EXPECT_EQ(rig.aggregateUIDs(), std::vector<std::string>{allSpeakersID});
    EXPECT_EQ(rig.outputUID(), allSpeakersID);
    rig.sim.addOutput(speaker("attic"));
    c.rescan();
    rig.allSpeakersBuilt();
    EXPECT_NE(*rig.sim.idForUID(allSpeakersID), rebuilt);

    // A restarted audio system has forgotten the device: it is built again.
    const auto beforeRestart = *rig.sim.idForUID(allSpeakersID);
    rig.sim.restartService();
    c.tick();
    rig.allSpeakersBuilt();
    EXPECT_NE(*rig.sim.idForUID(allSpeakersID), beforeRestart);
    EXPECT_EQ(rig.outputUID(), allSpeakersID);

    c.chooseMode(Mode::single);
    rig.sim.addOutput(speaker("porch2"));
    writeVolume(rig.sim, *rig.sim.idForUID("desk"), 0.25f);  // changed by someone else
    c.tick();
    EXPECT_EQ(rig.listedUIDs().size(), 7u);
    EXPECT_EQ(c.volumes().at("desk"), 0.25f);
    EXPECT_EQ(rig.outputUID(), "builtin");
}

}  // namespace
