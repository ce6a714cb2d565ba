#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace housetone {

// Reads the whole of a regular file of at most `maxBytes` into `out`. Anything else is refused
// before a byte is read: a FIFO would block the caller, and a directory, a device such as
// /dev/zero or a /proc file either fails halfway or never ends. On refusal `why` (when given)
// says what was wrong in a few words ("it is a directory", "it is larger than 4 MiB").
bool readRegularFile(const std::filesystem::path& path, std::size_t maxBytes, std::string& out,
                     std::string* why = nullptr);

}  // namespace housetone
