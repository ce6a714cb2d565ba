#include "audio/device_access.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/sim/sim_audio_system.h"

namespace housetone {
namespace {

// Property tests need no running world: nothing here sleeps on the audio clock.
class DeviceAccess : public ::testing::Test {
  protected:
    sim::SimAudioSystem hw{sim::RoomSpec{}, {.speed = 40, .startWorld = false}};

    AudioObjectID speaker(const std::string& name, const std::string& uid, std::uint32_t t) {
        return hw.addRawDevice({.name = name, .uid = uid, .transport = t, .outputChannels = 2});
    }
    AudioObjectID mic(const std::string& name, const std::string& uid, std::uint32_t t) {
        return hw.addRawDevice({.name = name, .uid = uid, .transport = t, .inputChannels = 1});
    }
    float scalar(AudioObjectID id, AudioSelector s, AudioElement e) {
        float v = -1;
        std::uint32_t size = sizeof v;
        EXPECT_EQ(hw.getPropertyData(id, {s, scope::output, e}, 0, nullptr, size, &v), noErr);
        return v;
    }
    void setStreams(AudioObjectID id, AudioScope sc, const std::vector<std::uint32_t>& channels) {
        BufferListStorage s(static_cast<std::uint32_t>(channels.size()));
        for (std::size_t i = 0; i < channels.size(); ++i)
            s.list()->buffers()[i].mNumberChannels = channels[i];
        const auto* p = reinterpret_cast<const std::uint8_t*>(s.list());
        hw.setRawProperty(id, {sel::streamConfiguration, sc}, {p, p + s.byteSize()});
    }
};

std::vector<std::string> uids(const std::vector<Dev>& devs) {
    std::vector<std::string> out;
    for (const Dev& d : devs)
        out.push_back(d.uid);
    return out;
}

TEST_F(DeviceAccess, SpeakersRankBluetoothThenBuiltInThenTheRestAndMicrophonesTheOtherWayRound) {
    speaker("Alpha", "usb", transport::usb);
    speaker("Alpha", "mac", transport::builtIn);
    speaker("Zeta", "le", transport::bluetoothLE);
    hw.addRawDevice({.name = "Amber", .uid = "bare", .outputChannels = 2});
    speaker("Beta", "bt", transport::bluetooth);
    speaker("Aardvark", "tv", transport::hdmi);
    mic("Alpha headset", "bt-in", transport::bluetooth);
    mic("Zoom", "usb-in", transport::usb);
    hw.addRawDevice({.name = "Aux", .uid = "bare-in", .inputChannels = 2});
    mic("Wide", "le-in", transport::bluetoothLE);
    mic("Mic", "mac-in", transport::builtIn);

    const auto out = outputDevices(hw);
    EXPECT_EQ(uids(out), (std::vector<std::string>{"bt", "le", "mac", "tv", "usb", "bare"}));
    EXPECT_EQ(out.back().transport, 0u) << "a device without a transport is one of the others";
    EXPECT_EQ(uids(inputDevices(hw)),
              (std::vector<std::string>{"mac-in", "bare-in", "usb-in", "bt-in", "le-in"}));
}

TEST_F(DeviceAccess, DevicesOfEqualRankAndNameKeepThePlatformOrder) {
    // Enough rows that an unstable sort would actually reorder equal ones.
    std::vector<std::string> same, other;
    for (int i = 0; i < 40; ++i) {
        const std::string uid = "u" + std::to_string(i);
        const bool isSame = i % 3 != 0;
        speaker(isSame ? "Same" : "Other", uid, i % 2 ? transport::usb : transport::hdmi);
        (isSame ? same : other).push_back(uid);
    }
    other.insert(other.end(), same.begin(), same.end());
    EXPECT_EQ(uids(outputDevices(hw)), other);
}

TEST_F(DeviceAccess, ListsNamedDevicesWithChannelsInTheScopeButNoAggregateOrVirtualDevice) {
    speaker("Desk", "desk", transport::usb);
    speaker("Group", "grp", transport::aggregate);
    speaker("Loopback", "virt", transport::virtualDevice);
    hw.addRawDevice({.name = "Capture",
                     .uid = captureAggregateUID,
                     .transport = transport::usb,
                     .outputChannels = 2,
                     .inputChannels = 2});
    hw.addRawDevice({.uid = "nameless", .transport = transport::usb, .outputChannels = 2});
    hw.addRawDevice({.name = "No UID", .transport = transport::usb, .outputChannels = 2});
    setStreams(speaker("Empty", "empty", transport::usb), scope::output, {0, 0});
    hw.addRawDevice({.name = "Headset",
                     .uid = "hs",
                     .transport = transport::bluetooth,
                     .outputChannels = 2,
                     .inputChannels = 1});
    AudioObjectID created = 0;
    ASSERT_EQ(hw.createAggregateDevice({.name = "All Speakers",
                                        .uid = allSpeakersUID,
                                        .stacked = 1,
                                        .master = "desk",
                                        .subdevices = {{"desk", 0}}},
                                       created),
              noErr);
    ASSERT_GT(channelCount(hw, created, scope::output), 0);

    EXPECT_EQ(uids(outputDevices(hw)), (std::vector<std::string>{"hs", "desk"}));
    EXPECT_EQ(uids(inputDevices(hw)), std::vector<std::string>{"hs"});
}

TEST_F(DeviceAccess, TheBuiltInMicrophoneIsTheFirstBuiltInInputInPlatformOrder) {
    mic("Aardvark", "usb", transport::usb);
    speaker("Abc speakers", "mac-out", transport::builtIn);
    EXPECT_EQ(builtInMicrophone(hw), std::nullopt) << "an output-only built-in device is no mic";

    const auto zeta = mic("Zeta", "mac-in", transport::builtIn);
    mic("Alpha", "mac-in-2", transport::builtIn);
    EXPECT_EQ(builtInMicrophone(hw), zeta);
}

TEST_F(DeviceAccess, VolumeTakesTheMainControlElseChannelsOneAndTwoAndMuteIsNoneWithoutAControl) {
    const auto plain = hw.addOutput({.name = "A", .uid = "a", .hasMute = false});
    const auto main = hw.addOutput({.name = "B", .uid = "b", .volume = 0.9});
    hw.removeProperty(plain, {sel::virtualMainVolume, scope::output});
    EXPECT_EQ(readVolume(hw, plain), std::nullopt);
    writeVolume(hw, plain, 0.25f);
    EXPECT_FLOAT_EQ(scalar(plain, sel::volumeScalar, 1), 0.25f);
    EXPECT_FLOAT_EQ(scalar(plain, sel::volumeScalar, 2), 0.25f);
    writeVolume(hw, main, 0.25f);
    EXPECT_FLOAT_EQ(readVolume(hw, main).value_or(-1), 0.25f);
    EXPECT_FLOAT_EQ(scalar(main, sel::volumeScalar, 1), 1.0f);
    EXPECT_FLOAT_EQ(scalar(main, sel::volumeScalar, 2), 1.0f);

    EXPECT_EQ(readMute(hw, plain), std::nullopt);
    EXPECT_EQ(readMute(hw, main), false);
    writeMute(hw, main, true);
    EXPECT_EQ(readMute(hw, main), true);
}

TEST_F(DeviceAccess, LookupsYieldNoneForAnUnknownUIDAnUnsetDefaultOrAFailedRead) {
    EXPECT_EQ(defaultOutput(hw), std::nullopt);
    const auto desk = speaker("Desk", "desk", transport::usb);
    EXPECT_EQ(deviceForUID(hw, "desk"), desk);
    EXPECT_EQ(deviceForUID(hw, "gone"), std::nullopt) << "not device 0";
    ASSERT_TRUE(setDefaultOutput(hw, desk));
    EXPECT_EQ(defaultOutput(hw), desk);

    hw.injectFault({.call = sim::Call::getPropertyData, .selector = sel::translateUIDToDevice});
    hw.injectFault({.call = sim::Call::getPropertyData, .selector = sel::defaultOutput});
    EXPECT_EQ(deviceForUID(hw, "desk"), std::nullopt);
    EXPECT_EQ(defaultOutput(hw), std::nullopt);
}

}  // namespace
}  // namespace housetone
