// The rules every offset obeys, whoever changes it: the limit, re-basing, shifting, and what the
// engine plays. Values no file can hold are refused on every path the controller offers
// (SpeakerControls, GuidedAlign).
#include "core/offsets.h"

#include <gtest/gtest.h>

#include <cmath>

namespace housetone {
namespace {

using Map = std::map<std::string, double>;

Dev speakerDev(const std::string& uid) {
    return {1, uid, uid, transport::usb};
}

// Whether set, stepped from where it was (or from 0) or loaded, an offset stays within 3 s either
// way (network speakers lag by seconds); a step never goes below zero.
TEST(Offsets, EveryValueIsHeldWithinThreeSeconds) {
    Offsets o(Map{{"s", 5}});
    EXPECT_TRUE(o.set("a", 3100) && o.set("b", -3100) && o.set("c", 2450.5) && o.set("d", -300));
    o.step("s", -20);
    o.step("new", 4000);
    EXPECT_EQ(
        o.values(),
        (Map{{"a", 3000}, {"b", -3000}, {"c", 2450.5}, {"d", -300}, {"new", 3000}, {"s", 0}}));
    EXPECT_EQ(o.of("nobody"), 0.0);
    EXPECT_FALSE(o.clampAll());
    Offsets loaded(Map{{"a", -9000}, {"b", 10}, {"c", 2999.5}});
    EXPECT_TRUE(loaded.clampAll());
    EXPECT_EQ(loaded.values(), (Map{{"a", -3000}, {"b", 10}, {"c", 2999.5}}));
}

TEST(Offsets, ShiftingStopsEachSpeakerAtZeroAndAtTheLimitAndLeavesOthersAlone) {
    Offsets o(Map{{"ref", 7}, {"a", 10}, {"b", 2990}});
    const Offsets::Shift down = o.shiftAll({"a", "b", "new"}, -15);
    EXPECT_TRUE(down.moved && down.reachedZero);
    EXPECT_EQ(o.values(), (Map{{"ref", 7}, {"a", 0}, {"b", 2975}, {"new", 0}}));
    const Offsets::Shift up = o.shiftAll({"a", "b"}, 30);
    EXPECT_TRUE(up.moved && !up.reachedZero);
    EXPECT_EQ(o.values(), (Map{{"ref", 7}, {"a", 30}, {"b", 3000}, {"new", 0}}));
}

// A listed speaker without an offset sat at 0 and moves with the others; with nobody below zero
// nothing moves.
TEST(Offsets, RebasingMovesEveryoneLaterUntilTheLowestIsZero) {
    Offsets o(Map{{"a", -12.5}, {"b", 40}});
    EXPECT_EQ(o.rebase({"a", "b", "listed"}), 12.5);
    EXPECT_EQ(o.values(), (Map{{"a", 0}, {"b", 52.5}, {"listed", 12.5}}));
    EXPECT_EQ(o.rebase({"other"}), 0.0);
    EXPECT_EQ(o.values(), (Map{{"a", 0}, {"b", 52.5}, {"listed", 12.5}}));
}

// A lone speaker has nobody to wait for and plays at once.
TEST(Offsets, TheEngineHoldsSpeakersBackOnlyAndNoFurtherThanItsDelayLine) {
    const Offsets o(Map{{"late", 37.5}, {"early", -20}, {"far", 7000}});
    EXPECT_EQ(
        o.played({speakerDev("late"), speakerDev("early"), speakerDev("far"), speakerDev("unset")},
                 5000),
        (std::vector<double>{37.5, 0, 5000, 0}));
    EXPECT_EQ(o.played({speakerDev("late")}, 5000), std::vector<double>{0.0});
    EXPECT_EQ(Offsets::heldBackMs(NAN, 5000), 0.0);
    EXPECT_EQ(Offsets::heldBackMs(5000, 5000), 5000.0);
}

}  // namespace
}  // namespace housetone
