#include <gtest/gtest.h>

#include "core/dev.h"
#include "core/mode.h"

namespace housetone {
namespace {

TEST(Dev, TransportsGetTheirLabelsAndBluetoothLECountsAsBluetooth) {
    const Dev le{1, "Buds", "uid-b", fourcc("blea")};
    EXPECT_TRUE(le.isBluetooth() && !le.isBuiltIn() && le.transportLabel() == "bluetooth");
    EXPECT_TRUE(isBluetoothTransport(fourcc("blue")) &&
                transportLabel(fourcc("blue")) == "bluetooth");
    EXPECT_TRUE((Dev{1, "", "", fourcc("bltn")}.isBuiltIn()));
    EXPECT_FALSE((Dev{1, "", "", fourcc("bltn")}.isBluetooth()));
    EXPECT_EQ(transportLabel(fourcc("bltn")), "built-in");
    EXPECT_EQ(transportLabel(fourcc("dprt")), "displayport");
    EXPECT_EQ(transportLabel(fourcc("hdmi")), "hdmi");
    EXPECT_EQ(transportLabel(0x75736220u), "usb");  // 'usb ' big-endian, trailing space
    for (std::uint32_t other : {0u, fourcc("virt"), fourcc("grup"), fourcc("usb_")})
        EXPECT_EQ(transportLabel(other), "other") << other;
}

TEST(Mode, OnlyTheExactCapitalisedRawValuesBuildAMode) {
    ASSERT_EQ(allModes.size(), 3u);
    EXPECT_EQ(rawValue(allModes[0]), "Single");
    EXPECT_EQ(rawValue(allModes[1]), "Together");
    EXPECT_EQ(rawValue(allModes[2]), "Aligned");
    for (Mode m : allModes)
        EXPECT_EQ(modeFromRawValue(rawValue(m)), m);
    for (const char* raw : {"single", "SINGLE", "Single ", "", "aligned"})
        EXPECT_FALSE(modeFromRawValue(raw).has_value()) << raw;
}

}  // namespace
}  // namespace housetone
