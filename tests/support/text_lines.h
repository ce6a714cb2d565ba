#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace housetone::testsupport {

using Lines = std::vector<std::string>;

// The lines of `text` without their line ends; a last line without one counts too.
inline Lines splitLines(const std::string& text) {
    Lines lines;
    std::istringstream s(text);
    for (std::string line; std::getline(s, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace housetone::testsupport
