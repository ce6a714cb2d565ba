#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace housetone {

enum class Mode { single, together, aligned };

// Every case, in menu order.
inline constexpr std::array<Mode, 3> allModes{Mode::single, Mode::together, Mode::aligned};

// "Single", "Together", "Aligned".
std::string rawValue(Mode m);
// Only the three exact raw values are accepted ("single" is not).
std::optional<Mode> modeFromRawValue(std::string_view raw);

}  // namespace housetone
