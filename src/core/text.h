#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/dev.h"

namespace housetone {

// Status lines, reports and logs are built from lists joined with a separator.
inline std::string joined(const std::vector<std::string>& items, std::string_view separator) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += separator;
        out += items[i];
    }
    return out;
}

inline std::vector<std::string> namesOf(const std::vector<Dev>& devs) {
    std::vector<std::string> out;
    out.reserve(devs.size());
    for (const Dev& d : devs)
        out.push_back(d.name);
    return out;
}

inline std::vector<std::string> uidsOf(const std::vector<Dev>& devs) {
    std::vector<std::string> out;
    out.reserve(devs.size());
    for (const Dev& d : devs)
        out.push_back(d.uid);
    return out;
}

}  // namespace housetone
