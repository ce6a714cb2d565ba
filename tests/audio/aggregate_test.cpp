#include "audio/aggregate.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "audio/device_access.h"
#include "audio/sim/sim_audio_system.h"

namespace housetone {
namespace {

using nlohmann::json;

Dev dev(const std::string& uid, std::uint32_t t) {
    return Dev{0, uid, uid, t};
}

TEST(AllSpeakersDescription, IsExactlyTheSixKeysWithTheFirstBuiltInElseTheFirstSpeakerAsMain) {
    const auto d = allSpeakersDescription(
        {dev("bt1", transport::bluetooth), dev("bt2", transport::bluetoothLE),
         dev("mac", transport::builtIn), dev("mac2", transport::builtIn)});
    const json expected = {{"name", "All Speakers"},
                           {"uid", "com.mirelo.housetone.allspeakers"},
                           {"private", 0},
                           {"stacked", 1},
                           {"master", "mac"},
                           {"subdevices",
                            {{{"uid", "bt1"}, {"drift", 1}},
                             {{"uid", "bt2"}, {"drift", 1}},
                             {{"uid", "mac"}, {"drift", 0}},
                             {{"uid", "mac2"}, {"drift", 1}}}}};
    EXPECT_EQ(d.toDictionary(), expected);

    const auto noBuiltIn =
        allSpeakersDescription({dev("tv", transport::hdmi), dev("bt", transport::bluetooth)});
    EXPECT_EQ(noBuiltIn.master, "tv");
    EXPECT_EQ(noBuiltIn.subdevices, (std::vector<SubdeviceRecord>{{"tv", 0}, {"bt", 1}}));
}

// A running world, so the settle time passes in audio time, 40 times faster than real time.
class AllSpeakers : public ::testing::Test {
  protected:
    sim::SimAudioSystem hw{sim::RoomSpec{}, {.speed = 40, .startWorld = true}};
    std::vector<Dev> speakers;
    int referenceAsked = 0;

    void SetUp() override {
        for (auto [name, t] : {std::pair{"Desk", transport::usb},
                               {"Kitchen", transport::bluetooth},
                               {"Mac", transport::builtIn}}) {
            const auto id = hw.addOutput({.name = name, .uid = name, .transport = t});
            speakers.push_back({id, name, name, t});
        }
    }
    std::optional<AudioObjectID> create(Dev reference) {
        return createAllSpeakers(hw, speakers, [this, reference]() -> std::optional<Dev> {
            ++referenceAsked;
            return reference;
        });
    }
    std::size_t copies() {
        std::size_t n = 0;
        for (AudioObjectID id : deviceIDs(hw))
            n += stringProperty(hw, id, sel::deviceUID) == allSpeakersUID;
        return n;
    }
};

TEST_F(AllSpeakers, CreatingAgainReplacesTheEarlierCopyIncludingOneFromAnEarlierRunAndSettles) {
    AudioObjectID leftOver = 0;
    ASSERT_EQ(hw.createAggregateDevice({.name = "Old", .uid = allSpeakersUID}, leftOver), noErr);

    const double before = hw.clock().now();
    const auto first = create(speakers[0]);
    ASSERT_TRUE(first);
    EXPECT_GE(hw.clock().now() - before, 0.4) << "the new device settles in audio time";
    EXPECT_NE(*first, leftOver);
    const auto second = create(speakers[0]);
    ASSERT_TRUE(second);

    EXPECT_EQ(copies(), 1u);
    EXPECT_EQ(hw.aggregateIDs(), std::vector<AudioObjectID>{*second});
    EXPECT_EQ(deviceForUID(hw, allSpeakersUID), second);
}

TEST_F(AllSpeakers, MovesTheDefaultOutputOffTheOldCopyToTheReferenceButLeavesAnyOtherAlone) {
    const auto old = create(speakers[0]);
    ASSERT_TRUE(old);
    ASSERT_TRUE(setDefaultOutput(hw, *old));

    // Not the first speaker, which is where the system itself falls back when the default goes.
    ASSERT_TRUE(create(speakers[1]));
    EXPECT_EQ(referenceAsked, 1);
    EXPECT_EQ(defaultOutput(hw), speakers[1].id);

    ASSERT_TRUE(setDefaultOutput(hw, speakers[2].id));
    ASSERT_TRUE(create(speakers[1]));
    EXPECT_EQ(referenceAsked, 1) << "the reference is asked for only when the default moves";
    EXPECT_EQ(defaultOutput(hw), speakers[2].id);
}

TEST_F(AllSpeakers, AFailedCreationReturnsWithoutSettlingWithTheOldCopyAlreadyGone) {
    // Real time, so nothing but the settle wait could move the audio clock by 400 ms.
    sim::SimAudioSystem slow{sim::RoomSpec{}, {.speed = 1, .startWorld = true}};
    const std::vector<Dev> included{dev("a", transport::usb), dev("b", transport::usb)};
    AudioObjectID old = 0;
    ASSERT_EQ(slow.createAggregateDevice({.name = "Old", .uid = allSpeakersUID}, old), noErr);

    // Refused, or answered without a device (an id of 0): no settle wait either way.
    for (const OSStatus st : {status::illegalOperation, noErr}) {
        slow.clearFaults();
        slow.injectFault({.call = sim::Call::createAggregate, .status = st});
        const double before = slow.clock().now();
        EXPECT_EQ(createAllSpeakers(slow, included, {}), std::nullopt) << st;
        EXPECT_LT(slow.clock().now() - before, 0.4) << st;
        EXPECT_TRUE(slow.aggregateIDs().empty()) << st;
    }
}

}  // namespace
}  // namespace housetone
