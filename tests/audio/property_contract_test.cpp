// The property contract every backend answers through, and the one stream layout an aggregate's
// property answers and its callback buffers share, checked through the simulated hardware.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "audio/aggregate.h"
#include "audio/aggregate_layout.h"
#include "audio/device_access.h"
#include "audio/property_contract.h"
#include "audio/sim/sim_audio_system.h"
#include "support/sim_rooms.h"

namespace housetone {
namespace {

using testsupport::quietRoom;
using testsupport::speaker;

std::vector<std::uint32_t> channelsOf(const std::vector<LayoutStream>& streams) {
    std::vector<std::uint32_t> out;
    for (const auto& s : streams)
        out.push_back(s.channels);
    return out;
}

// Taps come first, then members in order, leaving out those without channels; a stacked
// aggregate plays one stream, as wide as its widest member, to every member.
TEST(AggregateLayout, TapsComeFirstThenMembersWithChannelsAndAStackedOnePlaysOneStreamToAll) {
    AggregateDescription d;
    d.taps = std::vector<SubdeviceRecord>{{"tap-a"}, {"tap-b"}};
    const std::vector<LayoutMember> members = {{0, 2}, {1, 6}, {0, 0}, {2, 2}};
    const StreamLayout apart = aggregateLayout(d, members);
    EXPECT_EQ(channelsOf(apart.inputs), (std::vector<std::uint32_t>{2, 2, 1, 2}));
    EXPECT_EQ(apart.inputs[1].tap, 1u);
    EXPECT_EQ(apart.inputs[3].members, (std::vector<std::size_t>{3}));
    EXPECT_EQ(channelsOf(apart.outputs), (std::vector<std::uint32_t>{2, 6, 2}));
    EXPECT_EQ(apart.outputs[2].members, (std::vector<std::size_t>{3}));
    EXPECT_EQ(channelsOf(aggregateLayout(d, members, false).inputs),
              (std::vector<std::uint32_t>{1, 2}));

    AggregateDescription s;
    s.stacked = 1;
    const StreamLayout stacked = aggregateLayout(s, {{0, 2}, {0, 6}, {0, 1}});
    ASSERT_EQ(stacked.outputs.size(), 1u);
    EXPECT_EQ(stacked.outputs[0].channels, 6u);
    EXPECT_EQ(stacked.outputs[0].members, (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_TRUE(aggregateLayout(s, {{1, 0}}).outputs.empty());
}

class Contract : public ::testing::Test {
  protected:
    sim::SimAudioSystem hw{quietRoom({speaker("spk", 0, 1)}), {.startWorld = false}};
    AudioObjectID spk = hw.idForUID("spk").value();
};

// A name is cut to the buffer but a scalar must fit whole; an unknown object is refused before an
// unknown property; a scope without streams answers the bare buffer list header.
TEST_F(Contract, SizesAndRefusalsAreAnsweredAsEveryBackendAnswersThem) {
    char name[2] = {};
    std::uint32_t size = sizeof name;
    ASSERT_EQ(hw.getPropertyData(spk, {sel::deviceUID, scope::global}, 0, nullptr, size, name),
              noErr);
    EXPECT_EQ(std::string(name, size), "sp");
    double rate = 0;
    size = sizeof rate - 1;
    EXPECT_EQ(
        hw.getPropertyData(spk, {sel::nominalSampleRate, scope::global}, 0, nullptr, size, &rate),
        status::badPropertySize);

    EXPECT_EQ(hw.getPropertyDataSize(9999, {sel::name, scope::global}, 0, nullptr, size),
              status::badObject);
    EXPECT_EQ(hw.getPropertyDataSize(spk, {sel::tapFormat, scope::global}, 0, nullptr, size),
              status::unknownProperty);
    EXPECT_FALSE(hw.hasProperty(9999, {sel::name, scope::global}));
    EXPECT_TRUE(hw.hasProperty(systemObject, {sel::translatePIDToProcessObject, scope::global}));

    ASSERT_EQ(
        hw.getPropertyDataSize(spk, {sel::streamConfiguration, scope::input}, 0, nullptr, size),
        noErr);
    EXPECT_EQ(size, offsetof(AudioBufferList, mBuffers));
    EXPECT_EQ(channelCount(hw, spk, scope::input), 0);
}

TEST_F(Contract, ATapReportsPackedStereoFloatAtTheSystemRate) {
    TapDescription td{.name = "t", .muteBehavior = TapMuteBehavior::muted, .uuid = "T"};
    AudioObjectID tap = 0;
    ASSERT_EQ(hw.createProcessTap(td, tap), noErr);
    AudioStreamBasicDescription f{};
    std::uint32_t size = sizeof f;
    ASSERT_EQ(hw.getPropertyData(tap, {sel::tapFormat, scope::global}, 0, nullptr, size, &f),
              noErr);
    const auto want = stereoFloatFormat(hw.sampleRate());
    EXPECT_EQ(std::memcmp(&f, &want, sizeof f), 0);
    EXPECT_EQ(f.mChannelsPerFrame * f.mBitsPerChannel / 8, f.mBytesPerFrame);
    EXPECT_EQ(f.mSampleRate, 48000);
}

// What the callback is handed, per scope: each buffer's channel count (0 for one that does not
// hold a whole buffer of 512 frames of them).
struct Shape {
    std::vector<std::uint32_t> in, out;
    static std::uint32_t channels(const AudioBuffer& b) {
        return b.mDataByteSize == b.mNumberChannels * 512 * 4 ? b.mNumberChannels : 0;
    }
    static OSStatus see(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in,
                        const AudioTimeStamp*, AudioBufferList* out, const AudioTimeStamp*,
                        void* client) {
        auto& s = *static_cast<Shape*>(client);
        if (!s.in.empty() || !s.out.empty()) return noErr;
        for (std::uint32_t b = 0; b < in->mNumberBuffers; ++b)
            s.in.push_back(channels(in->buffers()[b]));
        for (std::uint32_t b = 0; b < out->mNumberBuffers; ++b)
            s.out.push_back(channels(out->buffers()[b]));
        return noErr;
    }
};

std::vector<std::uint32_t> configured(AudioHardware& hw, AudioObjectID d, AudioScope sc) {
    BufferListStorage s(8);
    std::uint32_t size = static_cast<std::uint32_t>(s.byteSize());
    EXPECT_EQ(hw.getPropertyData(d, {sel::streamConfiguration, sc}, 0, nullptr, size, s.list()),
              noErr);
    std::vector<std::uint32_t> out;
    for (std::uint32_t b = 0; b < s.list()->mNumberBuffers; ++b)
        out.push_back(s.list()->buffers()[b].mNumberChannels);
    return out;
}

TEST(AggregateStreams, TheCallbackIsHandedExactlyTheStreamsTheAggregateReports) {
    sim::RoomSpec room = quietRoom({speaker("wide", 0, 1), speaker("pair", 0, 1)});
    room.outputs[0].channels = 4;
    sim::SimAudioSystem hw(room, {.startWorld = false});
    TapDescription td{.name = "t", .muteBehavior = TapMuteBehavior::mutedWhenTapped, .uuid = "T"};
    AudioObjectID tap = 0;
    ASSERT_EQ(hw.createProcessTap(td, tap), noErr);
    for (const int stacked : {0, 1}) {
        const std::string uid = "agg" + std::to_string(stacked);
        const auto agg = createAggregate(hw, {.name = uid,
                                              .uid = uid,
                                              .isPrivate = 1,
                                              .stacked = stacked,
                                              .master = "pair",
                                              .subdevices = {{"pair", 0}, {"wide", 1}, {"gone", 1}},
                                              .taps = std::vector<SubdeviceRecord>{{"T", 0}},
                                              .tapAutoStart = 1});
        ASSERT_TRUE(agg);
        Shape shape;
        AudioDeviceIOProcID id = 0;
        ASSERT_EQ(hw.createIOProcID(*agg, Shape::see, &shape, id), noErr);
        ASSERT_EQ(hw.deviceStart(*agg, id), noErr);
        hw.step();
        ASSERT_EQ(hw.deviceStop(*agg, id), noErr);
        EXPECT_EQ(shape.in, configured(hw, *agg, scope::input)) << stacked;
        EXPECT_EQ(shape.out, configured(hw, *agg, scope::output)) << stacked;
        EXPECT_EQ(shape.out,
                  (stacked ? std::vector<std::uint32_t>{4} : std::vector<std::uint32_t>{2, 4}));
        EXPECT_EQ(shape.in, (std::vector<std::uint32_t>{2}));
        // A tap made to deliver nothing leaves its stream out of the callback, not the property.
        hw.setTapDelivery(sim::TapDelivery::nothing);
        shape = {};
        ASSERT_EQ(hw.deviceStart(*agg, id), noErr);
        hw.step();
        EXPECT_TRUE(shape.in.empty());
        EXPECT_EQ(configured(hw, *agg, scope::input), (std::vector<std::uint32_t>{2}));
        hw.setTapDelivery(sim::TapDelivery::normal);
        ASSERT_EQ(hw.deviceStop(*agg, id), noErr);
    }
}

}  // namespace
}  // namespace housetone
