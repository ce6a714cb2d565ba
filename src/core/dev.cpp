#include "core/dev.h"

namespace housetone {

std::string fourccString(std::uint32_t code) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
        s[static_cast<std::size_t>(i)] = (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

std::string transportLabel(std::uint32_t t) {
    switch (t) {
        case transport::builtIn:
            return "built-in";
        case transport::bluetooth:
        case transport::bluetoothLE:
            return "bluetooth";
        case transport::displayPort:
            return "displayport";
        case transport::hdmi:
            return "hdmi";
        case transport::usb:
            return "usb";
        case transport::network:
            return "network";
        default:
            return "other";
    }
}

}  // namespace housetone
