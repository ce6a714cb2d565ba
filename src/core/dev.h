#pragma once

#include <cstdint>
#include <string>

#include "core/fourcc.h"

namespace housetone {

namespace transport {
constexpr std::uint32_t builtIn = fourcc("bltn");
constexpr std::uint32_t bluetooth = fourcc("blue");
constexpr std::uint32_t bluetoothLE = fourcc("blea");
constexpr std::uint32_t displayPort = fourcc("dprt");
constexpr std::uint32_t hdmi = fourcc("hdmi");
constexpr std::uint32_t usb = fourcc("usb ");
constexpr std::uint32_t virtualDevice = fourcc("virt");
constexpr std::uint32_t network = fourcc("netw");
constexpr std::uint32_t aggregate = fourcc("grup");
}  // namespace transport

// The label shown next to a device; "other" for 0 and for every code not in the table.
std::string transportLabel(std::uint32_t transport);
constexpr bool isBluetoothTransport(std::uint32_t t) {
    return t == transport::bluetooth || t == transport::bluetoothLE;
}

// One audio device as the device layer found it. `id` is the row identity in lists (it may change
// on reconnect); `uid` is the persistent key of every per-speaker setting. hasVolume / hasMute need
// the hardware and live in audio/device_access.h.
struct Dev {
    std::uint32_t id = 0;
    std::string name;
    std::string uid;
    std::uint32_t transport = 0;

    bool isBuiltIn() const { return transport == transport::builtIn; }
    bool isBluetooth() const { return isBluetoothTransport(transport); }
    std::string transportLabel() const { return housetone::transportLabel(transport); }

    friend bool operator==(const Dev&, const Dev&) = default;
};

}  // namespace housetone
