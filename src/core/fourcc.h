#pragma once

#include <cstdint>
#include <string>

namespace housetone {

// Four-character codes are stored big-endian in a UInt32, first character in the top byte,
// the way the audio hardware layer defines its selectors, scopes and transports.
constexpr std::uint32_t fourcc(const char (&s)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[3]));
}

// "usb " for fourcc("usb "); non-printable bytes become '?'.
std::string fourccString(std::uint32_t code);

}  // namespace housetone
