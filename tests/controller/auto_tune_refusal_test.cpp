// What Auto-tune says when it cannot start for want of speakers, and that it takes that back once
// the group has changed so that it no longer holds.
#include <gtest/gtest.h>

#include "support/rig.h"

using namespace housetone;
using namespace housetone::testsupport;

namespace {

TEST(AutoTuneRefusal, ListedSpeakersAskForTwoTickedAndTheReasonGoesWhenItNoLongerHolds) {
    Rig rig;  // four speakers listed, none ticked
    Controller& c = rig.start({});
    ASSERT_GE(c.devices().size(), 3u);
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
    sim::RoomSpec room = fixtureRoom();
    room.outputs.clear();
    room.defaultOutput.reset();
    Rig rig(room);
    Controller& c = rig.start({});
    ASSERT_TRUE(c.devices().empty());
    c.toggleAutoTune();
    EXPECT_EQ(c.tuneOverall(), std::optional<std::string>("No speakers found"));
}

}  // namespace
