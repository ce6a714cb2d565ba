// The tick: tap health flags from the engine's meter, following device changes, volume read-back
// and keeping the system output on the reference while aligned plays.
#include <gtest/gtest.h>

#include <algorithm>

#include "controller/fixture.h"

using namespace housetone;
using namespace housetone::testing;

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
}

TEST(TapMonitor, AnAudioSystemThatStopsAnsweringIsSaidOnceAndTheSetupKeptUntilItAnswers) {
    AlignedRig rig;
    ASSERT_TRUE(rig.startAligned());
    const auto listed = rig.listedUIDs();
    rig.sim.injectFault({.call = sim::Call::getPropertyDataSize,
                         .status = -308,
                         .selector = sel::devices,
                         .object = systemObject});
    rig.ctl->tick();
    rig.ctl->tick();
    EXPECT_NE(rig.ctl->status().find("stopped answering (OSStatus -308)"), std::string::npos)
        << rig.ctl->status();
    EXPECT_EQ(rig.listedUIDs(), listed);  // no speaker is taken for gone
    rig.sim.clearFaults();
    rig.ctl->tick();  // back: the mode is applied afresh, on whatever the server now has
    EXPECT_EQ(rig.ctl->status().rfind("Starting aligned engine", 0), 0u) << rig.ctl->status();
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

    c.chooseMode(Mode::single);
    rig.sim.addOutput(speaker("porch2"));
    writeVolume(rig.sim, *rig.sim.idForUID("desk"), 0.25f);  // changed by someone else
    c.tick();
    EXPECT_EQ(rig.listedUIDs().size(), 7u);
    EXPECT_EQ(c.volumes().at("desk"), 0.25f);
    EXPECT_EQ(rig.outputUID(), "builtin");
}

}  // namespace
