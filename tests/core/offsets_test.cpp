// The rules every offset obeys, whoever changes it: the limit, the refusal of values no file can
// hold, re-basing, shifting, and what the engine plays.
#include "core/offsets.h"

#include <gtest/gtest.h>

#include <cmath>

namespace housetone {
namespace {

using Map = std::map<std::string, double>;

Dev speakerDev(const std::string& uid) {
    return {1, uid, uid, transport::usb};
}

TEST(Offsets, ASetValueIsHeldWithinTheLimitEitherWay) {
    Offsets o;
    EXPECT_TRUE(o.set("a", 300));
    EXPECT_TRUE(o.set("b", -300));
    EXPECT_TRUE(o.set("c", 12.5));
    EXPECT_EQ(o.values(), (Map{{"a", 250}, {"b", -250}, {"c", 12.5}}));
    EXPECT_EQ(o.of("nobody"), 0.0);
}

TEST(Offsets, AValueThatIsNotFiniteIsRefusedAndChangesNothing) {
    Offsets o(Map{{"a", 5}});
    EXPECT_FALSE(o.set("a", NAN));
    EXPECT_FALSE(o.set("b", INFINITY));
    EXPECT_FALSE(o.step("a", -INFINITY));
    EXPECT_FALSE(o.shiftAll({"a"}, NAN).moved);
    EXPECT_EQ(o.values(), (Map{{"a", 5}}));
}

TEST(Offsets, AStepNeverGoesBelowZeroNorBeyondTheLimit) {
    Offsets o(Map{{"a", 5}});
    o.step("a", -20);
    EXPECT_EQ(o.of("a"), 0.0);
    o.step("b", 400);  // from 0 when it has none
    EXPECT_EQ(o.of("b"), 250.0);
}

TEST(Offsets, LoadedValuesBeyondTheLimitAreClampedAndSaidToHaveChanged) {
    Offsets within(Map{{"a", -250}, {"b", 250}});
    EXPECT_FALSE(within.clampAll());
    Offsets beyond(Map{{"a", -900}, {"b", 10}});
    EXPECT_TRUE(beyond.clampAll());
    EXPECT_EQ(beyond.values(), (Map{{"a", -250}, {"b", 10}}));
}

TEST(Offsets, ShiftingStopsEachSpeakerAtZeroAndAtTheLimitAndLeavesOthersAlone) {
    Offsets o(Map{{"ref", 7}, {"a", 10}, {"b", 240}});
    const Offsets::Shift down = o.shiftAll({"a", "b", "new"}, -15);
    EXPECT_TRUE(down.moved && down.reachedZero);
    EXPECT_EQ(o.values(), (Map{{"ref", 7}, {"a", 0}, {"b", 225}, {"new", 0}}));
    const Offsets::Shift up = o.shiftAll({"a", "b"}, 30);
    EXPECT_TRUE(up.moved && !up.reachedZero);
    EXPECT_EQ(o.values(), (Map{{"ref", 7}, {"a", 30}, {"b", 250}, {"new", 0}}));
}

TEST(Offsets, RebasingMovesEveryoneLaterUntilTheLowestIsZero) {
    Offsets o(Map{{"a", -12.5}, {"b", 40}});
    EXPECT_EQ(o.rebase({"a", "b", "listed"}), 12.5);
    // A listed speaker without an offset sat at 0 and moves with the others.
    EXPECT_EQ(o.values(), (Map{{"a", 0}, {"b", 52.5}, {"listed", 12.5}}));
}

TEST(Offsets, RebasingChangesNothingWhenNobodyIsBelowZero) {
    Offsets o(Map{{"a", 0}, {"b", 40}});
    EXPECT_EQ(o.rebase({"listed"}), 0.0);
    EXPECT_EQ(o.values(), (Map{{"a", 0}, {"b", 40}}));
    Offsets none;
    EXPECT_EQ(none.rebase({"listed"}), 0.0);
    EXPECT_TRUE(none.values().empty());
}

TEST(Offsets, TheEngineHoldsSpeakersBackOnlyAndNoFurtherThanItsDelayLine) {
    const Offsets o(Map{{"late", 37.5}, {"early", -20}, {"far", 7000}});
    const std::vector<Dev> targets{speakerDev("late"), speakerDev("early"), speakerDev("far"),
                                   speakerDev("unset")};
    EXPECT_EQ(o.played(targets, 5000), (std::vector<double>{37.5, 0, 5000, 0}));
    EXPECT_EQ(Offsets::heldBackMs(NAN, 5000), 0.0);
    EXPECT_EQ(Offsets::heldBackMs(5000, 5000), 5000.0);
}

TEST(Offsets, ALoneSpeakerPlaysAtOnce) {
    const Offsets o(Map{{"only", 80}});
    EXPECT_EQ(o.played({speakerDev("only")}, 5000), std::vector<double>{0.0});
}

}  // namespace
}  // namespace housetone
