#include "core/mode.h"

namespace housetone {

std::string rawValue(Mode m) {
    switch (m) {
        case Mode::single:
            return "Single";
        case Mode::together:
            return "Together";
        case Mode::aligned:
            return "Aligned";
    }
    return "Single";
}

std::optional<Mode> modeFromRawValue(std::string_view raw) {
    for (Mode m : allModes) {
        if (rawValue(m) == raw) return m;
    }
    return std::nullopt;
}

}  // namespace housetone
